#include "participant_table.h"

#include <cstring>

namespace conf {

namespace {

void occupy(ParticipantSlot& slot, const net::SocketAddress& address, std::string_view name) {
    const std::size_t length = name.size() < kMaxStoredName ? name.size() : kMaxStoredName;
    slot.address = address;
    slot.in_use = 1;
    std::memcpy(slot.name, name.data(), length);
    slot.name[length] = '\0';
}

}  // namespace

int ParticipantTable::add_at_lowest(const net::SocketAddress& address, std::string_view name) {
    for (int index = 0; index < kSlots; ++index) {
        if (slots_[index].in_use != 0) continue;
        occupy(slots_[index], address, name);
        ++in_use_;
        return index;
    }
    return -1;
}

bool ParticipantTable::restore(int index, const net::SocketAddress& address, std::string_view name) {
    if (index < 0 || index >= kSlots || slots_[index].in_use != 0) return false;
    occupy(slots_[index], address, name);
    ++in_use_;
    return true;
}

const ParticipantSlot* ParticipantTable::find_endpoint(const net::SocketAddress& address) const {
    const int index = find_endpoint_index(address);
    return index < 0 ? nullptr : &slots_[index];
}

int ParticipantTable::find_endpoint_index(const net::SocketAddress& address) const {
    for (int index = 0; index < kSlots; ++index) {
        if (slots_[index].in_use != 0 && net::same_endpoint(slots_[index].address, address)) return index;
    }
    return -1;
}

void ParticipantTable::rename(int index, std::string_view name) {
    if (index < 0 || index >= kSlots || slots_[index].in_use == 0) return;
    occupy(slots_[index], slots_[index].address, name);
}

bool ParticipantTable::free(int index) {
    if (index < 0 || index >= kSlots || slots_[index].in_use == 0) return false;
    slots_[index].in_use = 0;
    --in_use_;
    return true;
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

bool ParticipantTable::remove_endpoint(const net::SocketAddress& address, std::string_view name) {
    for (ParticipantSlot& slot : slots_) {
        if (slot.in_use == 0 || !net::same_endpoint(slot.address, address)) continue;
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
