#include "participant_registry.h"

#include <algorithm>

#include "protocol.h"

namespace conf::web {

bool relay_reads_as_a_name(std::string_view name) {
    if (!name.empty() && (name.front() == kLoginMark || name.front() == kLeaveMark)) return false;
    return name.find(kNameEnd) == std::string_view::npos;
}

ParticipantRegistry::ParticipantRegistry(std::size_t capacity) : capacity_(capacity) {
    names_.reserve(capacity);
}

ParticipantRegistry::Claim ParticipantRegistry::claim(std::string_view name, NameHolder* holder) {
    for (auto held = names_.begin(); held != names_.end(); ++held) {
        if (stored_name(held->name) != stored_name(name)) continue;
        if (held->holder == nullptr || held->holder == holder || held->holder->entered()) return Claim::NameInUse;
        NameHolder* const squatter = held->holder;
        names_.erase(held);
        squatter->name_taken();
        break;
    }
    if (names_.size() >= capacity_) return Claim::Full;
    names_.push_back(Held{std::string(name), holder});
    return Claim::Granted;
}

void ParticipantRegistry::release(std::string_view name) {
    const auto held = std::find_if(names_.begin(), names_.end(), [name](const Held& h) { return h.name == name; });
    if (held != names_.end()) names_.erase(held);
}

void ParticipantRegistry::check_enter_deadlines(std::chrono::steady_clock::time_point now) {
    std::vector<NameHolder*> waiting;
    for (const Held& held : names_)
        if (held.holder != nullptr && !held.holder->entered()) waiting.push_back(held.holder);
    for (NameHolder* holder : waiting) holder->check_enter_deadline(now);
}

}  // namespace conf::web
