#include "participant_table.h"

#include <cstring>

namespace conf {

bool ParticipantTable::add(const net::SocketAddress& address, std::string_view name) {
    for (ParticipantSlot& slot : slots_) {
        if (slot.in_use != 0) continue;
        const std::size_t length = name.size() < kMaxStoredName ? name.size() : kMaxStoredName;
        slot.address = address;
        slot.in_use = 1;
        std::memcpy(slot.name, name.data(), length);
        slot.name[length] = '\0';
        ++in_use_;
        return true;
    }
    return false;
}

bool ParticipantTable::remove(const net::SocketAddress& address, std::string_view name) {
    for (ParticipantSlot& slot : slots_) {
        // Only slots in use can match: a participant stored twice must be
        // freed by two leave notices, not stay behind in the second slot.
        if (slot.in_use == 0) continue;
        if (slot.address.address_be != address.address_be) continue;
        if (std::string_view(slot.name) != name) continue;
        slot.in_use = 0;
        --in_use_;
        return true;
    }
    return false;
}

void ParticipantTable::broadcast(DatagramSender& sender, std::string_view text) const {
    for (const ParticipantSlot& slot : slots_) {
        if (slot.in_use != 0) sender.send_datagram(slot.address, text);
    }
}

}  // namespace conf
