// Who takes part in the conference: a fixed table of 100 slots, each holding
// the address that broadcasts go to and the name the participant logged in
// with.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol.h"
#include "udp.h"

namespace conf {

// Where broadcasts and replies go. The relay sends through this so that the
// same handling can send at once or collect a batch.
class DatagramSender {
public:
    virtual void send_datagram(const net::SocketAddress& to, std::string_view bytes) = 0;

protected:
    ~DatagramSender() = default;
};

struct ParticipantSlot {
    std::int32_t in_use = 0;
    net::SocketAddress address;
    char name[kMaxStoredName + 1] = {};
};

class ParticipantTable {
public:
    static constexpr int kSlots = kMaxParticipants;

    // Stores the participant in the lowest free slot. The name must already
    // be cut to kMaxStoredName bytes. Returns false when every slot is taken.
    bool add(const net::SocketAddress& address, std::string_view name) { return add_at_lowest(address, name) >= 0; }
    // The same, returning the slot taken or -1.
    int add_at_lowest(const net::SocketAddress& address, std::string_view name);

    // Frees the first slot in use whose IPv4 address (not port) and name
    // both match. Returns whether a slot was freed.
    bool remove(const net::SocketAddress& address, std::string_view name);

    // Frees the first slot in use that holds exactly this endpoint (address
    // and port) under this name: a leave notice that can free only its
    // sender's own place, even when others share the sender's address.
    bool remove_endpoint(const net::SocketAddress& address, std::string_view name);

    // The slot in use that holds exactly this endpoint (address and port),
    // the lowest one if there are several; null when none does.
    const ParticipantSlot* find_endpoint(const net::SocketAddress& address) const;
    // The same as a slot number, or -1.
    int find_endpoint_index(const net::SocketAddress& address) const;

    // Gives a slot in use a new name, as when its holder logs in again. The
    // name must already be cut to kMaxStoredName bytes.
    void rename(int index, std::string_view name);
    // Frees a slot in use. Returns false when it was free.
    bool free(int index);

    // Puts a participant back into a given slot, as a table read back from a
    // file has it. Returns false when the index is out of range or the slot
    // is taken. The name must already be cut to kMaxStoredName bytes.
    bool restore(int index, const net::SocketAddress& address, std::string_view name);

    // Sends `text` to every slot in use, in slot order. Send failures are
    // the sender's business; the walk always visits every slot.
    void broadcast(DatagramSender& sender, std::string_view text) const;

    int in_use() const { return in_use_; }
    const ParticipantSlot& slot(int index) const { return slots_[index]; }

private:
    ParticipantSlot slots_[kSlots];
    int in_use_ = 0;
};

}  // namespace conf
