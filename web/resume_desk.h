// What lets a participant outlive the connection that carried it: the
// token its page resumes with, the time it may wait for that, and the
// messages it hears meanwhile. No sockets here, and the time and the tokens
// come from the caller, so that tests need neither a clock nor randomness.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tab_messages.h"

namespace conf::web {

// 256 bits as base64url without padding: 43 characters. Empty if the
// system's random source failed.
std::string new_resume_token();

// Messages held for a page that is away, oldest first, bounded; what does
// not fit is counted.
class HeldMessages {
public:
    HeldMessages(std::size_t max_messages, std::size_t max_bytes) : max_messages_(max_messages), max_bytes_(max_bytes) {}

    void hold(Frame frame) {
        if (frames_.size() >= max_messages_ || bytes_ + frame->size() > max_bytes_) {
            ++missed_;
            return;
        }
        bytes_ += frame->size();
        frames_.push_back(std::move(frame));
    }
    // Everything held, and the count of what was missed; empties it.
    std::deque<Frame> take(std::size_t* missed) {
        *missed = missed_;
        missed_ = 0;
        bytes_ = 0;
        return std::exchange(frames_, {});
    }
    std::size_t size() const { return frames_.size(); }

private:
    std::size_t max_messages_;
    std::size_t max_bytes_;
    std::deque<Frame> frames_;
    std::size_t bytes_ = 0;
    std::size_t missed_ = 0;
};

// The participants that may be resumed, by token, and those waiting for it
// without a connection, each until its deadline.
template <class Participant>
class ResumeDesk {
public:
    using Clock = std::chrono::steady_clock;

    explicit ResumeDesk(std::function<std::string()> new_token) : new_token_(std::move(new_token)) {}

    // A token for `participant`, in place of any it had. Empty if none could
    // be made.
    std::string issue(const std::shared_ptr<Participant>& participant) {
        forget(participant.get());
        std::string token = new_token_();
        if (token.empty()) return token;
        tokens_[token] = participant;
        return token;
    }

    // The participant a token stands for, once: the token is used up
    // whatever comes of it. Null if unknown, used or gone.
    std::shared_ptr<Participant> redeem(const std::string& token) {
        const auto found = tokens_.find(token);
        if (found == tokens_.end()) return nullptr;
        std::shared_ptr<Participant> participant = found->second.lock();
        tokens_.erase(found);
        if (participant) unpark(participant.get());
        return participant;
    }

    // No token stands for it any more (it left, or is gone).
    void forget(const Participant* participant) {
        for (auto entry = tokens_.begin(); entry != tokens_.end();)
            entry = entry->second.lock().get() == participant || entry->second.expired() ? tokens_.erase(entry)
                                                                                          : std::next(entry);
        unpark(participant);
    }

    // Kept without a connection until `deadline`.
    void park(std::shared_ptr<Participant> participant, Clock::time_point deadline) {
        parked_.push_back({std::move(participant), deadline});
    }

    // Those whose time is up, no longer kept.
    std::vector<std::shared_ptr<Participant>> expired(Clock::time_point now) {
        std::vector<std::shared_ptr<Participant>> out;
        for (auto entry = parked_.begin(); entry != parked_.end();) {
            if (now < entry->deadline) {
                ++entry;
                continue;
            }
            out.push_back(std::move(entry->participant));
            entry = parked_.erase(entry);
        }
        return out;
    }

    // Everyone parked, no longer kept (the gateway stops).
    std::vector<std::shared_ptr<Participant>> take_all_parked() {
        std::vector<std::shared_ptr<Participant>> out;
        for (Parked& entry : parked_) out.push_back(std::move(entry.participant));
        parked_.clear();
        return out;
    }

    std::size_t parked() const { return parked_.size(); }
    std::size_t tokens() const { return tokens_.size(); }

private:
    struct Parked {
        std::shared_ptr<Participant> participant;
        Clock::time_point deadline;
    };

    void unpark(const Participant* participant) {
        for (auto entry = parked_.begin(); entry != parked_.end(); ++entry)
            if (entry->participant.get() == participant) {
                parked_.erase(entry);
                return;
            }
    }

    std::function<std::string()> new_token_;
    std::unordered_map<std::string, std::weak_ptr<Participant>> tokens_;
    std::vector<Parked> parked_;
};

}  // namespace conf::web
