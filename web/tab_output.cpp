#include "tab_output.h"

#include <utility>

namespace conf::web {

TabOutput::Push TabOutput::push(Frame frame) {
    if (closing_) return Push::Closed;
    if (bytes_ + frame->size() > limits_.bytes || queue_.size() >= limits_.frames) return Push::Overflow;
    bytes_ += frame->size();
    queue_.push_back(std::move(frame));
    return Push::Queued;
}

// The messages waiting when a write starts leave together: held back until
// the last of them is written. Those that come meanwhile make the next batch,
// so that under a steady stream nothing waits for more than one batch.
TabOutput::Step TabOutput::next() {
    if (in_flight_ != InFlight::Nothing) return Step::None;
    if (held_left_ == 0 || queue_.empty()) {
        held_left_ = 0;
        holding_ = false;
    }
    if (queue_.empty()) {
        if (!close_due_) return Step::None;
        close_due_ = false;
        in_flight_ = InFlight::CloseFrame;
        return Step::Close;
    }
    if (!holding_ && queue_.size() > 1) {
        holding_ = true;
        held_left_ = queue_.size();
    }
    if (held_left_ > 0) --held_left_;
    in_flight_ = InFlight::Message;
    return Step::Write;
}

void TabOutput::done() {
    if (in_flight_ == InFlight::Message) {
        bytes_ -= queue_.front()->size();
        queue_.pop_front();
    }
    in_flight_ = InFlight::Nothing;
}

void TabOutput::drop_waiting() {
    const std::size_t keep = in_flight_ == InFlight::Message ? 1 : 0;
    while (queue_.size() > keep) {
        bytes_ -= queue_.back()->size();
        queue_.pop_back();
    }
}

bool TabOutput::close() {
    if (closing_) return false;
    closing_ = true;
    close_due_ = true;
    drop_waiting();
    return true;
}

void TabOutput::abandon() {
    closing_ = true;
    close_due_ = false;
    drop_waiting();
}

}  // namespace conf::web
