// Feeds the relay arbitrary datagrams from a handful of senders and checks
// what must hold whatever arrives: nothing is sent longer than a datagram may
// be, the count is the number of slots in use and never passes 100, replies
// go only to the sender, and every stored name fits its field.
//
// Input: a sequence of records [sender][length][bytes...]; the sender byte
// picks one of eight addresses on two hosts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "participant_table.h"
#include "protocol.h"
#include "relay_server.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

class QuietView final : public conf::RelayView {
public:
    void show_report(const char*, const char*, conf::ReportOwner) override {}
    void show_count(std::uint32_t count) override { last_count = count; }
    bool register_read_events(conf::net::SocketHandle) override { return true; }
    std::uint32_t last_count = 0;
};

class CheckingSender final : public conf::DatagramSender {
public:
    void send_datagram(const conf::net::SocketAddress& to, std::string_view bytes) override {
        require(bytes.size() <= conf::kMaxDatagram);
        require(to.family == conf::net::kAddressFamilyInet);
        ++sent;
    }
    std::size_t sent = 0;
};

conf::net::SocketAddress sender_address(std::uint8_t selector) {
    const std::uint32_t host = (selector & 0x04) != 0 ? 0x0A000002u : 0x0A000001u;
    return conf::net::make_address(host, static_cast<std::uint16_t>(40000 + (selector & 0x07)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietView view;
    conf::RelayServer relay(view);
    CheckingSender out;
    char datagram[conf::kDatagramBuffer];

    std::size_t pos = 0;
    while (pos + 2 <= size) {
        const std::uint8_t selector = data[pos];
        std::size_t length = data[pos + 1];
        pos += 2;
        // A first length byte of 255 takes a second one, in steps of 4 bytes,
        // so that datagrams up to the limit and beyond can be expressed.
        if (length == 0xFF && pos < size) length += static_cast<std::size_t>(data[pos++]) * 4;
        if (length > size - pos) length = size - pos;
        const std::size_t kept = length < conf::kMaxDatagram ? length : conf::kMaxDatagram;
        std::memcpy(datagram, data + pos, kept);
        datagram[kept] = '\0';
        pos += length;

        relay.handle_datagram(conf::as_received_text(datagram, kept), sender_address(selector), out);

        const conf::ParticipantTable& table = relay.table();
        std::uint32_t slots_in_use = 0;
        for (int slot = 0; slot < conf::ParticipantTable::kSlots; ++slot) {
            slots_in_use += table.slot(slot).in_use == 1 ? 1u : 0u;
            require(std::memchr(table.slot(slot).name, '\0', sizeof table.slot(slot).name) != nullptr);
        }
        require(relay.participant_count() == slots_in_use);
        require(view.last_count == slots_in_use);
    }
    return 0;
}
