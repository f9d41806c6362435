// Feeds a joined client arbitrary datagrams, nested inside its own report
// boxes as a window's message loop would, and checks what must hold whatever
// arrives: the log never passes its capacity and never drops a line,
// report boxes never nest, and every line it sends goes to the server it
// joined.
//
// Input: a sequence of records [flags][length][bytes...], the length counted
// in steps of 5 bytes. Flag bit 0 delivers the next datagram from inside the
// box that this one raises, if it raises one; bit 1 delivers the datagram 70
// times, so that short inputs can fill the log; bit 2 makes the socket
// report the datagram as too long instead, as it does for one past 1023
// bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <string>

#include "client_core.h"
#include "fuzz_target.h"
#include "protocol.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "client invariant broken: %s\n", what);
    std::abort();
}

struct Feed {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    std::size_t repeat_from = 0;
    int repeats_left = 0;
    bool repeating = false;
    bool nest_next = false;
    bool too_long = false;
    bool sent_elsewhere = false;
    // What the log must hold: every datagram handed over, in order, each
    // followed by CR LF, emptied right after the append that passes the limit.
    std::string expected_log;
    conf::net::SocketAddress server;
};

Feed g_feed;

bool next_datagram(char* buffer, std::size_t capacity, std::size_t* length) {
    if (g_feed.repeats_left > 0) {
        --g_feed.repeats_left;
        g_feed.pos = g_feed.repeat_from;
    } else {
        g_feed.repeating = false;
    }
    if (g_feed.pos + 2 > g_feed.size) {
        g_feed.pos = g_feed.size;
        return false;
    }
    const std::uint8_t flags = g_feed.data[g_feed.pos];
    if ((flags & 2) != 0 && !g_feed.repeating) {
        g_feed.repeating = true;
        g_feed.repeat_from = g_feed.pos;
        g_feed.repeats_left = 69;
    }
    g_feed.nest_next = (flags & 1) != 0;
    g_feed.too_long = (flags & 4) != 0;
    std::size_t wanted = static_cast<std::size_t>(g_feed.data[g_feed.pos + 1]) * 5;
    g_feed.pos += 2;
    if (wanted > g_feed.size - g_feed.pos) wanted = g_feed.size - g_feed.pos;
    if (wanted > capacity) wanted = capacity;
    std::memcpy(buffer, g_feed.data + g_feed.pos, wanted);
    g_feed.pos += wanted;
    *length = wanted;
    return true;
}

bool fake_startup() { return true; }
bool fake_resolve(const char*, std::uint32_t* address) {
    *address = conf::net::loopback_address(0).address_be;
    return true;
}
conf::net::SocketHandle fake_open() { return 7; }
bool fake_close(conf::net::SocketHandle) { return true; }
conf::net::SendStatus fake_send(conf::net::SocketHandle, const void*, std::size_t length,
                                const conf::net::SocketAddress& to) {
    require(length <= conf::kMaxDatagram, "a datagram longer than 1023 bytes was sent");
    if (!conf::net::same_endpoint(to, g_feed.server)) g_feed.sent_elsewhere = true;
    return conf::net::SendStatus::Sent;
}
conf::net::ReceiveResult fake_receive(conf::net::SocketHandle, void* buffer, std::size_t capacity,
                                      conf::net::SocketAddress* from) {
    conf::net::ReceiveResult result;
    std::size_t length = 0;
    if (!next_datagram(static_cast<char*>(buffer), capacity, &length)) {
        result.status = conf::net::ReceiveStatus::WouldBlock;
        return result;
    }
    if (g_feed.too_long) {
        result.status = conf::net::ReceiveStatus::TooLong;
        return result;
    }
    if (from != nullptr) *from = conf::net::make_address(0x0A000009u, 9);
    result.status = conf::net::ReceiveStatus::Received;
    result.length = length;
    g_feed.expected_log.append(conf::as_received_text(static_cast<const char*>(buffer), length));
    g_feed.expected_log.append("\r\n");
    if (g_feed.expected_log.size() > conf::ConversationLog::kClearAbove) g_feed.expected_log.clear();
    return result;
}

class FuzzView final : public conf::ClientView {
public:
    explicit FuzzView(conf::ClientCore** core) : core_(core) {}
    std::string field_text(int control, std::size_t max_bytes) override {
        const char* text = control == IDC_NAME ? "\x96\xBC\x91\x4F" : control == IDC_SERVER ? "server" : "hello";
        return std::string(text).substr(0, max_bytes);
    }
    bool field_unsigned(int, std::uint32_t* value) override {
        *value = 40000;
        return true;
    }
    void set_field_text(int, const char*) override {}
    void enable_control(int, bool) override {}
    void set_read_only(int, bool) override {}
    void focus_control(int) override {}
    int line_count(int) override { return 1; }
    void scroll_lines(int, int) override {}
    void show_report(const char*, const char*) override {
        require(depth_ == 0, "a report box opened inside another");
        ++depth_;
        // The box's message loop delivers what is waiting, as long as each
        // datagram asks to be delivered inside the box.
        while (g_feed.nest_next && g_feed.pos < g_feed.size) {
            g_feed.nest_next = false;
            (*core_)->on_socket_event(conf::kReadEvent);
        }
        --depth_;
    }
    bool register_socket_events(conf::net::SocketHandle) override { return true; }

private:
    conf::ClientCore** core_;
    int depth_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    g_feed = Feed{};
    g_feed.data = data;
    g_feed.size = size;
    g_feed.server = conf::net::loopback_address(40000);

    conf::ClientNetwork network;
    network.startup = fake_startup;
    network.resolve = fake_resolve;
    network.open = fake_open;
    network.close = fake_close;
    network.send_to = fake_send;
    network.receive_from = fake_receive;

    conf::ClientCore* core_pointer = nullptr;
    FuzzView view(&core_pointer);
    // The core holds a 64 KB log: keep it off the fuzzer's stack.
    auto* core = new conf::ClientCore(view, network);
    core_pointer = core;
    core->join();
    while (g_feed.pos < g_feed.size) {
        const std::size_t before = g_feed.pos;
        const int repeats_before = g_feed.repeats_left;
        core->on_socket_event(conf::kReadEvent);
        // Only a socket that is not open receives nothing; then the rest of
        // the input cannot arrive.
        if (g_feed.pos == before && g_feed.repeats_left == repeats_before) break;
        if (!core->joined()) core->join();
        core->send();
        const conf::ConversationLog& log = core->log();
        require(log.size() < conf::ConversationLog::kCapacity, "the log passed its capacity");
        require(log.view() == g_feed.expected_log, "the log lost, changed or kept a line");
    }
    core->leave();
    require(!g_feed.sent_elsewhere, "a line went to someone other than the server");
    delete core;
    return 0;
}
