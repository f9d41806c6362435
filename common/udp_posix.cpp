// POSIX sockets (Linux).
#ifndef _WIN32

#include "udp.h"
#include "udp_native_posix.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/errqueue.h>
#endif

namespace conf::net {
namespace {

int fd_of(SocketHandle socket) { return static_cast<int>(socket); }

}  // namespace

bool startup() { return true; }

SocketHandle open_udp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return kInvalidSocket;
    return static_cast<SocketHandle>(fd);
}

namespace {
thread_local int t_bind_errno = 0;
}  // namespace

bool bind_any(SocketHandle socket, std::uint16_t port_host_order) {
    const sockaddr_in native = to_native(make_address(INADDR_ANY, port_host_order));
    if (::bind(fd_of(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0) {
        t_bind_errno = 0;
        return true;
    }
    t_bind_errno = errno;
    return false;
}

const char* last_bind_error() {
    switch (t_bind_errno) {
    case 0: return nullptr;
    case EADDRINUSE: return "address already in use";
    // EPERM: a service manager's bind filter (SocketBindDeny=) refused it.
    case EACCES:
    case EPERM: return "permission denied";
    case EADDRNOTAVAIL: return "address not available";
    default: return "cannot bind";
    }
}

bool bind_loopback_ephemeral(SocketHandle socket) {
    const sockaddr_in native = to_native(loopback_address(0));
    return ::bind(fd_of(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0;
}

bool local_address(SocketHandle socket, SocketAddress* address) {
    sockaddr_in native{};
    socklen_t length = sizeof native;
    if (::getsockname(fd_of(socket), reinterpret_cast<sockaddr*>(&native), &length) != 0) return false;
    *address = from_native(native);
    return true;
}

bool set_nonblocking(SocketHandle socket) {
    const int flags = ::fcntl(fd_of(socket), F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd_of(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

BufferSizes set_buffer_sizes(SocketHandle socket, int receive_bytes, int send_bytes) {
    // SO_*BUFFORCE lifts the sysctl cap where we may (CAP_NET_ADMIN); the
    // plain option is the fallback and silently caps at net.core.*mem_max.
    const int fd = fd_of(socket);
    BufferSizes sizes;
    if (receive_bytes > 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_bytes, sizeof receive_bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof receive_bytes);
        sizes.capped = true;
    }
    if (send_bytes > 0 && ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &send_bytes, sizeof send_bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof send_bytes);
        sizes.capped = true;
    }
    socklen_t length = sizeof sizes.receive_bytes;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &sizes.receive_bytes, &length);
    length = sizeof sizes.send_bytes;
    ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sizes.send_bytes, &length);
    return sizes;
}

bool close_socket(SocketHandle socket) { return ::close(fd_of(socket)) == 0; }

#ifdef __linux__
bool report_delivery_errors(SocketHandle socket, bool on) {
    const int value = on ? 1 : 0;
    return ::setsockopt(fd_of(socket), IPPROTO_IP, IP_RECVERR, &value, sizeof value) == 0;
}

std::size_t take_unreachable_destinations(SocketHandle socket, SocketAddress* destinations, std::size_t capacity) {
    // A busy room with closed receivers queues a report per bounced send:
    // read them in batches, one system call for many.
    constexpr unsigned kBatch = 64;
    struct Report {
        sockaddr_in destination;
        char payload[64];
        alignas(cmsghdr) char control[128];
        iovec vector;
    };
    Report reports[kBatch];
    mmsghdr messages[kBatch];
    std::size_t stored = 0;
    std::size_t read = 0;
    while (read < capacity) {
        const unsigned wanted = static_cast<unsigned>(std::min<std::size_t>(kBatch, capacity - read));
        for (unsigned i = 0; i < wanted; ++i) {
            Report& report = reports[i];
            report.destination = sockaddr_in{};
            report.vector = iovec{report.payload, sizeof report.payload};
            msghdr& message = messages[i].msg_hdr;
            message = msghdr{};
            message.msg_name = &report.destination;
            message.msg_namelen = sizeof report.destination;
            message.msg_iov = &report.vector;
            message.msg_iovlen = 1;
            message.msg_control = report.control;
            message.msg_controllen = sizeof report.control;
            messages[i].msg_len = 0;
        }
        const int got = ::recvmmsg(fd_of(socket), messages, wanted, MSG_ERRQUEUE | MSG_DONTWAIT, nullptr);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < got; ++i) {
            msghdr& message = messages[i].msg_hdr;
            const sockaddr_in& destination = reports[i].destination;
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
                 header = CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_RECVERR) continue;
                sock_extended_err report{};
                std::memcpy(&report, CMSG_DATA(header), sizeof report);
                const bool unreachable = report.ee_origin == SO_EE_ORIGIN_ICMP && report.ee_type == 3 &&
                                         (report.ee_code == 1 || report.ee_code == 3);
                if (unreachable && destination.sin_family == AF_INET) destinations[stored++] = from_native(destination);
                break;
            }
        }
        read += static_cast<std::size_t>(got);
        if (static_cast<unsigned>(got) < wanted) break;
    }
    return stored;
}
#else
bool report_delivery_errors(SocketHandle, bool) { return false; }
std::size_t take_unreachable_destinations(SocketHandle, SocketAddress*, std::size_t) { return 0; }
#endif

SendStatus send_to(SocketHandle socket, const void* bytes, std::size_t length, const SocketAddress& to) {
    const sockaddr_in native = to_native(to);
    // A bounce reported for an earlier send to someone else may fail this
    // one (once delivery errors are asked for); the error was taken with it.
    bool retried = false;
    for (;;) {
        const ssize_t sent = ::sendto(fd_of(socket), bytes, length, 0,
                                      reinterpret_cast<const sockaddr*>(&native), sizeof native);
        if (sent >= 0) return SendStatus::Sent;
        if (errno == EINTR) continue;
        if (!retried && (errno == ECONNREFUSED || errno == EHOSTUNREACH)) {
            retried = true;
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return SendStatus::WouldBlock;
        return SendStatus::Failed;
    }
}

ReceiveResult receive_from(SocketHandle socket, void* buffer, std::size_t capacity, SocketAddress* from) {
    sockaddr_in native{};
    iovec vector{buffer, capacity};
    msghdr message{};
    message.msg_name = &native;
    message.msg_namelen = sizeof native;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;

    ReceiveResult result;
    ssize_t received;
    do {
        received = ::recvmsg(fd_of(socket), &message, 0);
    } while (received < 0 && errno == EINTR);

    if (received < 0) {
        switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            result.status = ReceiveStatus::WouldBlock;
            break;
        case ECONNREFUSED:
            result.status = ReceiveStatus::PeerUnreachable;
            break;
        default:
            result.status = ReceiveStatus::Failed;
            break;
        }
        return result;
    }
    if (from != nullptr) *from = from_native(native);
    // Linux hands over the head of an over-long datagram without complaint;
    // Winsock fails the call with WSAEMSGSIZE. Report it the Winsock way so
    // that no caller ever treats a cut datagram as a whole line.
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        result.status = ReceiveStatus::TooLong;
        return result;
    }
    result.status = ReceiveStatus::Received;
    result.length = static_cast<std::size_t>(received);
    return result;
}

WaitStatus wait_readable(SocketHandle socket, int timeout_ms) {
    pollfd entry{fd_of(socket), POLLIN, 0};
    const int ready = ::poll(&entry, 1, timeout_ms);
    if (ready > 0) return WaitStatus::Readable;
    if (ready == 0) return WaitStatus::TimedOut;
    return errno == EINTR ? WaitStatus::Interrupted : WaitStatus::Failed;
}

bool resolve_ipv4(const char* host, std::uint32_t* address_be) {
    const hostent* entry = ::gethostbyname(host);
    if (entry == nullptr) {
        const in_addr_t numeric = ::inet_addr(host);
        entry = ::gethostbyaddr(&numeric, 4, AF_INET);
    }
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) return false;
    std::memcpy(address_be, entry->h_addr_list[0], 4);
    return true;
}

}  // namespace conf::net

#endif  // !_WIN32
