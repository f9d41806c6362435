// reference_relay PORT: the yardstick for confbench. The plainest relay of
// the conference's design: one blocking receive, then one send to each
// registered participant, one after another. A datagram starting with '!'
// registers its sender (up to 100) and is answered with the login reply, or
// the capacity refusal when all 100 places are taken; there is no other
// protocol. SIGINT or SIGTERM ends it.
//
// It gets the same socket queue sizes as confrelay, so that the two differ
// only in how they receive and send.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "port_number.h"
#include "protocol.h"

namespace {

volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void request_stop(int) { g_stop_requested = 1; }

void set_queue_size(int fd, int force_option, int plain_option, int bytes) {
    if (::setsockopt(fd, SOL_SOCKET, force_option, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, plain_option, &bytes, sizeof bytes);
}

bool same_sender(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t port = 0;
    if (argc != 2 || !conf::parse_port(argv[1], &port)) {
        std::fprintf(stderr, "usage: reference_relay PORT\n");
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::perror("reference_relay");
        return 1;
    }
    set_queue_size(fd, SO_RCVBUFFORCE, SO_RCVBUF, 8 << 20);
    set_queue_size(fd, SO_SNDBUFFORCE, SO_SNDBUF, 4 << 20);

    // No SA_RESTART: the blocking receive must end on a signal.
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    sockaddr_in members[conf::kMaxParticipants];
    int member_count = 0;
    char datagram[conf::kDatagramBuffer];
    while (g_stop_requested == 0) {
        sockaddr_in sender{};
        socklen_t sender_length = sizeof sender;
        const ssize_t received = ::recvfrom(fd, datagram, conf::kMaxDatagram, 0,
                                            reinterpret_cast<sockaddr*>(&sender), &sender_length);
        if (received < 0) continue;
        const std::size_t length = static_cast<std::size_t>(received);

        if (length > 0 && datagram[0] == conf::kLoginMark) {
            bool known = false;
            for (int i = 0; i < member_count; ++i) known = known || same_sender(members[i], sender);
            const bool room = known || member_count < conf::kMaxParticipants;
            if (!known && room) members[member_count++] = sender;
            const std::string_view reply = room ? conf::text::kLoginAccepted : conf::text::kCapacityRefusal;
            ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&sender), sizeof sender);
            continue;
        }
        for (int i = 0; i < member_count; ++i) {
            ::sendto(fd, datagram, length, 0, reinterpret_cast<const sockaddr*>(&members[i]), sizeof members[i]);
        }
    }
    ::close(fd);
    return 0;
}
