// What waits to go out to one tab and in which order: its messages, the batch
// held back while it is written, and the close frame that ends them. No
// sockets here: the connection asks next() what to start whenever nothing of
// its own is in flight, and reports back when it is done.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "tab_messages.h"

namespace conf::web {

class TabOutput {
public:
    // What may wait for one tab. A tab that does not read its messages is
    // dropped when either is reached rather than holding memory without end.
    struct Limits {
        std::size_t bytes;
        std::size_t frames;
    };

    enum class Push { Queued, Overflow, Closed };
    enum class Step { None, Write, Close };

    explicit TabOutput(Limits limits) : limits_(limits) {}

    // Overflow: the message would pass a limit and is not kept; the tab is to
    // be dropped. Closed: nothing goes to the tab any more.
    Push push(Frame frame);

    // What to start now: a write of front(), the close frame, or nothing
    // (something is in flight already, or nothing waits).
    Step next();
    const std::string& front() const { return *queue_.front(); }
    // The write of front() or the close frame has finished, well or not.
    void done();

    // Nothing more is taken; what waits is dropped, except a write in flight,
    // and the close frame follows it. False if closing already.
    bool close();
    // Nothing more is taken or sent, not even the close frame.
    void abandon();

    // Whether writes are held back now, to leave together (see tcp_hold.h).
    bool holding() const { return holding_; }
    bool closing() const { return closing_; }
    bool in_flight() const { return in_flight_ != InFlight::Nothing; }
    std::size_t bytes() const { return bytes_; }
    std::size_t frames() const { return queue_.size(); }

private:
    enum class InFlight { Nothing, Message, CloseFrame };

    void drop_waiting();

    Limits limits_;
    std::deque<Frame> queue_;
    std::size_t bytes_ = 0;
    InFlight in_flight_ = InFlight::Nothing;
    bool holding_ = false;
    std::size_t held_left_ = 0;  // messages of the held batch not yet started
    bool closing_ = false;
    bool close_due_ = false;
};

}  // namespace conf::web
