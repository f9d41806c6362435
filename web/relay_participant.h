// A tab's participant with its UDP socket to the relay, owned apart from the
// WebSocket connection that carries it to the page: the connection may end
// while the participant goes on.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "library_headers_begin.h"
#include <boost/asio/any_io_executor.hpp>
#include "library_headers_end.h"

#include "browser_participant.h"
#include "hub.h"
#include "resume_desk.h"

namespace conf::web {

// The connection that carries a participant's messages to its page.
class TabLink {
public:
    virtual void deliver(Frame frame) = 0;
    // A newer connection resumed the participant: this one ends.
    virtual void replaced() = 0;

protected:
    ~TabLink() = default;
};

struct RelayLink;

class RelayParticipant final : public ParticipantHost, public std::enable_shared_from_this<RelayParticipant> {
public:
    RelayParticipant(boost::asio::any_io_executor executor, std::shared_ptr<Hub> hub, std::string peer,
                     std::uint32_t address);
    ~RelayParticipant();
    RelayParticipant(const RelayParticipant&) = delete;
    RelayParticipant& operator=(const RelayParticipant&) = delete;

    BrowserParticipant& participant() { return participant_; }

    // The connection that now carries the participant; one that carried it
    // before is told it was replaced.
    void attach(TabLink* tab);
    // No connection any more, for good.
    void detach() { tab_ = nullptr; }
    // No connection for now: what the participant hears is held.
    void go_away() {
        tab_ = nullptr;
        away_ = true;
    }
    // What was held while away, and how much was missed.
    std::deque<Frame> take_held(std::size_t* missed) {
        away_ = false;
        return held_.take(missed);
    }

    // ParticipantHost
    bool open_relay_socket() override;
    DatagramSend send_datagram(std::string_view bytes) override;
    void close_relay_socket() override;
    void send_to_tab(Frame frame) override;
    std::string resume_token() override;

private:
    void receive_next(const std::shared_ptr<RelayLink>& link);
    bool take_datagram(const boost::system::error_code& ec, std::size_t length, RelayLink& link);
    void on_datagram(const std::shared_ptr<RelayLink>& link, const boost::system::error_code& ec,
                     std::size_t length);

    std::shared_ptr<Hub> hub_;  // first: the participant gives its name back to it
    boost::asio::any_io_executor executor_;
    std::string peer_;
    TabLink* tab_ = nullptr;
    bool away_ = false;
    HeldMessages held_{2000, 1 << 20};
    std::shared_ptr<RelayLink> link_;
    BrowserParticipant participant_;
};

}  // namespace conf::web
