// Feeds the relay arbitrary datagrams from a handful of senders and checks
// what must hold whatever arrives: nothing is sent longer than a datagram may
// be; the count is the number of slots in use and never passes 100; whoever
// is not in the table hears only the two fixed replies; every stored name
// fits its field and does not end in half a double-byte character.
//
// The relay lives for the whole run, as the server's does for the whole
// conference, so one input starts where the last one left the table: that is
// how a long-lived server meets a full table, stale slots and names stored
// twice. The first byte of an input may ask for a fresh relay instead, and
// for a number of participants to log in first.
//
// Input: [header] then records [sender][length][bytes...].
//   header bit 7     start from a fresh relay
//   header bit 6     with bit 7: log in 2 x (bits 0-5) filler participants
//                    first (up to 126, so that a single input can pass the
//                    limit of 100)
//   header bit 0     with bit 7 alone: the fresh relay runs as an office
//                    service does: members only, with a history of the last
//                    20 lines and the roster for every newcomer. Strangers
//                    then may also be told that they hold no place, and no
//                    endpoint ever holds two places.
//   sender           one of 16 addresses on two hosts (bits 0-2 port, bit 3
//                    host)
//   length           a length byte of 255 takes a second byte, counted in
//                    steps of 4, so that datagrams past 1023 bytes can be
//                    expressed; those the socket layer reports as too long,
//                    and the relay never sees them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz_target.h"
#include "participant_table.h"
#include "protocol.h"
#include "relay_server.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "relay invariant broken: %s\n", what);
    std::abort();
}

class QuietView final : public conf::RelayView {
public:
    void show_report(const char*, const char*, conf::ReportOwner) override {}
    void show_count(std::uint32_t count) override { last_count = count; }
    bool register_read_events(conf::net::SocketHandle) override { return true; }
    std::uint32_t last_count = 0;
};

// The endpoints of the slots in use, looked up for every datagram sent.
// Handling one datagram changes at most one slot, and that change moves the
// count; so the set is forgotten before each datagram and made anew when the
// count moves.
class TableEndpoints {
public:
    bool contains(const conf::ParticipantTable& table, const conf::net::SocketAddress& address) {
        if (!valid_ || table.in_use() != made_for_count_) remake(table);
        return std::binary_search(keys_.begin(), keys_.end(), key(address));
    }
    void forget() { valid_ = false; }

private:
    static std::uint64_t key(const conf::net::SocketAddress& address) {
        return (std::uint64_t{address.address_be} << 16) | address.port_be;
    }
    void remake(const conf::ParticipantTable& table) {
        keys_.clear();
        for (int slot = 0; slot < conf::ParticipantTable::kSlots; ++slot) {
            if (table.slot(slot).in_use == 1) keys_.push_back(key(table.slot(slot).address));
        }
        std::sort(keys_.begin(), keys_.end());
        made_for_count_ = table.in_use();
        valid_ = true;
    }

    std::vector<std::uint64_t> keys_;
    int made_for_count_ = 0;
    bool valid_ = false;
};

struct Relay {
    QuietView view;
    conf::RelayServer server{view};
    TableEndpoints endpoints;
    bool members_only = false;
};

std::unique_ptr<Relay> g_relay;

class CheckingSender final : public conf::DatagramSender {
public:
    CheckingSender(const conf::ParticipantTable& table, TableEndpoints& endpoints,
                   const conf::net::SocketAddress& sender, bool members_only)
        : table_(table), endpoints_(endpoints), sender_(sender), members_only_(members_only) {}

    void send_datagram(const conf::net::SocketAddress& to, std::string_view bytes) override {
        require(bytes.size() <= conf::kMaxDatagram, "a datagram longer than 1023 bytes was sent");
        require(to.family == conf::net::kAddressFamilyInet, "sent to an address that is not IPv4");
        if (!endpoints_.contains(table_, to)) {
            require(conf::net::same_endpoint(to, sender_), "sent to a stranger that did not write");
            require(bytes == conf::text::kLoginAccepted || bytes == conf::text::kCapacityRefusal ||
                        (members_only_ && bytes == conf::kNotAMemberReply),
                    "a sender outside the table was sent something but a fixed reply");
        }
    }

private:
    const conf::ParticipantTable& table_;
    TableEndpoints& endpoints_;
    conf::net::SocketAddress sender_;
    bool members_only_;
};

conf::net::SocketAddress sender_address(std::uint8_t selector) {
    const std::uint32_t host = (selector & 0x08) != 0 ? 0x0A000002u : 0x0A000001u;
    return conf::net::make_address(host, static_cast<std::uint16_t>(40000 + (selector & 0x07)));
}

// Written out here rather than taken from the code under test: the check
// must not share its mistakes.
bool ends_on_a_character_boundary(const char* name, std::size_t length) {
    std::size_t pos = 0;
    while (pos < length) {
        const auto byte = static_cast<unsigned char>(name[pos]);
        const bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        pos += lead ? 2 : 1;
    }
    return pos == length;
}

void check_table(const Relay& relay) {
    const conf::ParticipantTable& table = relay.server.table();
    std::uint32_t slots_in_use = 0;
    for (int slot = 0; slot < conf::ParticipantTable::kSlots; ++slot) {
        const conf::ParticipantSlot& entry = table.slot(slot);
        require(entry.in_use == 0 || entry.in_use == 1, "an in-use flag other than 0 or 1");
        slots_in_use += entry.in_use == 1 ? 1u : 0u;
        const void* end = std::memchr(entry.name, '\0', sizeof entry.name);
        require(end != nullptr, "a stored name fills its field without a NUL");
        const auto length = static_cast<std::size_t>(static_cast<const char*>(end) - entry.name);
        require(length <= conf::kMaxStoredName, "a stored name longer than 31 bytes");
        require(ends_on_a_character_boundary(entry.name, length), "a stored name ends in half a character");
    }
    require(slots_in_use <= conf::kMaxParticipants, "more than 100 slots in use");
    if (relay.members_only) {
        for (int slot = 0; slot < conf::ParticipantTable::kSlots; ++slot) {
            if (table.slot(slot).in_use == 0) continue;
            require(table.find_endpoint_index(table.slot(slot).address) == slot, "an endpoint holds two places");
        }
    }
    require(relay.server.participant_count() == slots_in_use, "the count is not the slots in use");
    require(relay.view.last_count == slots_in_use, "the count shown is not the slots in use");
}

void handle(Relay& relay, std::string_view datagram, const conf::net::SocketAddress& from) {
    const std::uint32_t before = relay.server.participant_count();
    relay.endpoints.forget();
    CheckingSender out(relay.server.table(), relay.endpoints, from, relay.members_only);
    relay.server.handle_datagram(datagram, from, out);
    const std::uint32_t after = relay.server.participant_count();
    const char kind = datagram.empty() ? '\0' : datagram[0];
    if (kind == conf::kLoginMark) {
        require(after == before || after == before + 1, "a login changed the count by more than one");
    } else if (kind == conf::kLeaveMark) {
        require(after == before || after + 1 == before, "a leave changed the count by more than one");
    } else {
        require(after == before, "a relayed line changed the count");
    }
    check_table(relay);
}

void log_in_fillers(Relay& relay, int how_many) {
    char login[32];
    for (int i = 0; i < how_many; ++i) {
        const int length = std::snprintf(login, sizeof login, "!filler%d+hello", i);
        const auto port = static_cast<std::uint16_t>(41000 + i);
        handle(relay, std::string_view(login, static_cast<std::size_t>(length)),
               conf::net::make_address(0x0A000100u + static_cast<std::uint32_t>(i % 4), port));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t header = data[0];
    if (!g_relay || (header & 0x80) != 0) {
        g_relay = std::make_unique<Relay>();
        if ((header & 0xC1) == 0x81) {
            g_relay->members_only = true;
            g_relay->server.set_members_only(true);
            g_relay->server.set_history(20);
            g_relay->server.set_roster(true);
        }
    }
    Relay& relay = *g_relay;
    if ((header & 0xC0) == 0xC0) log_in_fillers(relay, (header & 0x3F) * 2);

    char datagram[conf::kDatagramBuffer];
    std::size_t pos = 1;
    while (pos + 2 <= size) {
        const std::uint8_t selector = data[pos];
        std::size_t length = data[pos + 1];
        pos += 2;
        if (length == 0xFF && pos < size) length += static_cast<std::size_t>(data[pos++]) * 4;
        if (length > size - pos) length = size - pos;
        const std::uint8_t* bytes = data + pos;
        pos += length;
        if (length > conf::kMaxDatagram) continue;

        std::memcpy(datagram, bytes, length);
        datagram[length] = '\0';
        handle(relay, conf::as_received_text(datagram, length), sender_address(selector));
    }
    return 0;
}
