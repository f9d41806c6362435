// Rate limits kept per remote IPv4 address rather than per connection, so
// that reconnecting does not start a fresh allowance: the lines a second
// and the joins (each one an entry and, later, an exit notice the whole room
// sees) of all the tabs of one address together.
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <unordered_map>

#include "per_address_limit.h"
#include "token_bucket.h"

namespace conf::web {

// Lines a second one address may send, and the burst it may save up.
constexpr double kLinesPerSecond = 20;
constexpr double kLineBurst = 40;
// Joins: one each 6 s, ten at once.
constexpr double kJoinsPerSecond = 1.0 / 6;
constexpr double kJoinBurst = 10;

class AddressRates {
public:
    bool take_line(std::uint32_t address, Clock::time_point now) {
        return unlimited_address(address) || entry(address, now).lines.take(now);
    }
    bool take_join(std::uint32_t address, Clock::time_point now) {
        return unlimited_address(address) || entry(address, now).joins.take(now);
    }

    // Forgets addresses whose allowances have been full again for a while;
    // forgetting one gives it what it would have by now anyway.
    void forget_idle(Clock::time_point now) {
        for (auto it = entries_.begin(); it != entries_.end();)
            it = now - it->second.last_used > kForgetAfter ? entries_.erase(it) : std::next(it);
    }

    std::size_t addresses() const { return entries_.size(); }

private:
    // Long enough for both buckets to be full again.
    static constexpr Clock::duration kForgetAfter = std::chrono::seconds(70);

    struct Entry {
        TokenBucket lines{kLinesPerSecond, kLineBurst};
        TokenBucket joins{kJoinsPerSecond, kJoinBurst};
        Clock::time_point last_used;
    };

    Entry& entry(std::uint32_t address, Clock::time_point now) {
        Entry& found = entries_[address];
        if (now > found.last_used) found.last_used = now;
        return found;
    }

    std::unordered_map<std::uint32_t, Entry> entries_;
};

}  // namespace conf::web
