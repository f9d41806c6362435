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

ParticipantRegistry::Claim ParticipantRegistry::claim(std::string_view name) {
    for (const std::string& held : names_)
        if (stored_name(held) == stored_name(name)) return Claim::NameInUse;
    if (names_.size() >= capacity_) return Claim::Full;
    names_.emplace_back(name);
    return Claim::Granted;
}

void ParticipantRegistry::release(std::string_view name) {
    const auto held = std::find(names_.begin(), names_.end(), name);
    if (held != names_.end()) names_.erase(held);
}

}  // namespace conf::web
