#include "catch_up.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

#include "load_run.h"
#include "protocol.h"
#include "room_history.h"
#include "udp.h"

namespace conf::bench {
namespace {

using Clock = std::chrono::steady_clock;

// A participant socket on 127.0.0.1 with a queue that holds a whole
// catch-up, reading kernel arrival stamps.
class Participant {
public:
    Participant() : socket_(net::open_udp()) {
        if (socket_ == net::kInvalidSocket || !net::bind_loopback_ephemeral(socket_)) return;
        net::set_buffer_sizes(socket_, 8 << 20, 0);
        const int on = 1;
        ::setsockopt(fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        usable_ = true;
    }
    ~Participant() {
        if (socket_ != net::kInvalidSocket) net::close_socket(socket_);
    }
    Participant(const Participant&) = delete;
    Participant& operator=(const Participant&) = delete;

    bool usable() const { return usable_; }
    void send(std::string_view bytes, const net::SocketAddress& to) const {
        net::send_to(socket_, bytes.data(), bytes.size(), to);
    }
    // The next datagram within `timeout_ms`, with its arrival stamp in
    // nanoseconds; false when none came.
    bool receive(std::string* bytes, std::int64_t* stamp_ns, int timeout_ms) const {
        pollfd entry{fd(), POLLIN, 0};
        if (::poll(&entry, 1, timeout_ms) <= 0) return false;
        char buffer[kDatagramBuffer];
        alignas(cmsghdr) char control[64];
        iovec vector{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(fd(), &message, MSG_DONTWAIT);
        if (got < 0) return false;
        bytes->assign(buffer, static_cast<std::size_t>(got));
        *stamp_ns = -1;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_TIMESTAMPNS) continue;
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            *stamp_ns = std::int64_t{stamp.tv_sec} * 1000000000 + stamp.tv_nsec;
        }
        return true;
    }
    // Reads until nothing came for `quiet_ms`; returns whether `wanted` was
    // among what came.
    bool drain(std::string_view wanted, int quiet_ms) const {
        std::string bytes;
        std::int64_t stamp = 0;
        bool seen = false;
        while (receive(&bytes, &stamp, quiet_ms)) seen = seen || bytes == wanted;
        return seen;
    }

private:
    int fd() const { return static_cast<int>(socket_); }
    net::SocketHandle socket_;
    bool usable_ = false;
};

}  // namespace

CatchUpFigures measure_catch_ups(std::uint16_t port, int lines, std::size_t payload, int logins) {
    CatchUpFigures figures;
    const net::SocketAddress relay = net::make_address(0x7F000001u, port);
    Participant talker;
    if (!talker.usable()) {
        figures.failure = "no socket";
        return figures;
    }
    // The relay may still be starting: the login is repeated until answered.
    const Line login = compose_login_request("talker", "confbench");
    bool answered = false;
    for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
        talker.send(login.view(), relay);
        answered = talker.drain(text::kLoginAccepted, 100);
    }
    if (!answered) {
        figures.failure = "no login reply";
        return figures;
    }
    std::string line(payload, '.');
    for (int i = 0; i < lines; ++i) {
        compose_load_line(line.data(), payload, 0, i);
        talker.send(line, relay);
        // In steps the relay's own queue and ours keep up with.
        if (i % 50 == 49 || i == lines - 1) {
            if (!talker.drain(line, 200)) {
                figures.failure = "a history line did not come back";
                return figures;
            }
        }
    }

    for (int i = 0; i < logins; ++i) {
        Participant late;
        const std::string name = "late" + std::to_string(i);
        late.send(compose_login_request(name, "hi").view(), relay);
        std::string bytes;
        std::int64_t reply_ns = -1, stamp_ns = -1;
        if (!late.receive(&bytes, &reply_ns, 2000) || bytes != text::kLoginAccepted) {
            figures.failure = "login " + std::to_string(i) + " was not accepted";
            return figures;
        }
        int received = 0;
        bool closed = false;
        while (!closed && late.receive(&bytes, &stamp_ns, 1000)) {
            closed = bytes == kHistoryEnd;
            received += closed ? 0 : 1;
        }
        if (!closed || reply_ns < 0 || stamp_ns < 0) {
            figures.failure = "login " + std::to_string(i) + " got " + std::to_string(received) +
                              " history lines and no closing line";
            return figures;
        }
        figures.milliseconds.push_back(static_cast<double>(stamp_ns - reply_ns) / 1e6);
        figures.fewest_lines = figures.fewest_lines < 0 ? received : std::min(figures.fewest_lines, received);
        late.send(compose_leave_notice(name).view(), relay);
        talker.drain({}, 20);
    }
    return figures;
}

}  // namespace conf::bench
