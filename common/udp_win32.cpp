// Windows Sockets 1.1.
#ifdef _WIN32

#include "udp.h"

#include <windows.h>
#include <winsock.h>
#include <cstring>

namespace conf::net {
namespace {

SOCKET native_of(SocketHandle socket) { return static_cast<SOCKET>(socket); }

sockaddr_in to_native(const SocketAddress& address) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = address.port_be;
    native.sin_addr.s_addr = address.address_be;
    return native;
}

SocketAddress from_native(const sockaddr_in& native) {
    SocketAddress address;
    address.family = static_cast<std::uint16_t>(native.sin_family);
    address.port_be = native.sin_port;
    address.address_be = native.sin_addr.s_addr;
    return address;
}

}  // namespace

bool startup() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

SocketHandle open_udp() {
    const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socket == INVALID_SOCKET) return kInvalidSocket;
    return static_cast<SocketHandle>(socket);
}

namespace {
thread_local int t_bind_error = 0;
}  // namespace

bool bind_any(SocketHandle socket, std::uint16_t port_host_order) {
    const sockaddr_in native = to_native(make_address(INADDR_ANY, port_host_order));
    const bool bound =
        ::bind(native_of(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) != SOCKET_ERROR;
    t_bind_error = bound ? 0 : ::WSAGetLastError();
    return bound;
}

const char* last_bind_error() {
    switch (t_bind_error) {
    case 0: return nullptr;
    case WSAEADDRINUSE: return "address already in use";
    case WSAEACCES: return "permission denied";
    case WSAEADDRNOTAVAIL: return "address not available";
    default: return "cannot bind";
    }
}

bool bind_loopback_ephemeral(SocketHandle socket) {
    const sockaddr_in native = to_native(loopback_address(0));
    return ::bind(native_of(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) != SOCKET_ERROR;
}

bool local_address(SocketHandle socket, SocketAddress* address) {
    sockaddr_in native{};
    int length = sizeof native;
    if (::getsockname(native_of(socket), reinterpret_cast<sockaddr*>(&native), &length) == SOCKET_ERROR)
        return false;
    *address = from_native(native);
    return true;
}

bool set_nonblocking(SocketHandle socket) {
    u_long on = 1;
    return ::ioctlsocket(native_of(socket), static_cast<long>(FIONBIO), &on) != SOCKET_ERROR;
}

BufferSizes set_buffer_sizes(SocketHandle socket, int receive_bytes, int send_bytes) {
    const SOCKET native = native_of(socket);
    if (receive_bytes > 0)
        ::setsockopt(native, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_bytes), sizeof receive_bytes);
    if (send_bytes > 0)
        ::setsockopt(native, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_bytes), sizeof send_bytes);
    // Winsock grants what is asked for; there is no cap to report.
    BufferSizes sizes;
    int length = sizeof sizes.receive_bytes;
    ::getsockopt(native, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&sizes.receive_bytes), &length);
    length = sizeof sizes.send_bytes;
    ::getsockopt(native, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&sizes.send_bytes), &length);
    return sizes;
}

bool close_socket(SocketHandle socket) { return ::closesocket(native_of(socket)) != SOCKET_ERROR; }

SendStatus send_to(SocketHandle socket, const void* bytes, std::size_t length, const SocketAddress& to) {
    const sockaddr_in native = to_native(to);
    const int sent = ::sendto(native_of(socket), static_cast<const char*>(bytes), static_cast<int>(length), 0,
                              reinterpret_cast<const sockaddr*>(&native), sizeof native);
    if (sent != SOCKET_ERROR) return SendStatus::Sent;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? SendStatus::WouldBlock : SendStatus::Failed;
}

ReceiveResult receive_from(SocketHandle socket, void* buffer, std::size_t capacity, SocketAddress* from) {
    sockaddr_in native{};
    int native_length = sizeof native;
    ReceiveResult result;
    const int received = ::recvfrom(native_of(socket), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                                    reinterpret_cast<sockaddr*>(&native), &native_length);
    if (received == SOCKET_ERROR) {
        switch (::WSAGetLastError()) {
        case WSAEWOULDBLOCK:
            result.status = ReceiveStatus::WouldBlock;
            break;
        case WSAEMSGSIZE:
            result.status = ReceiveStatus::TooLong;
            break;
        case WSAECONNRESET:
            result.status = ReceiveStatus::PeerUnreachable;
            break;
        default:
            result.status = ReceiveStatus::Failed;
            break;
        }
        return result;
    }
    if (from != nullptr) *from = from_native(native);
    result.status = ReceiveStatus::Received;
    result.length = static_cast<std::size_t>(received);
    return result;
}

// Winsock 1.1 has no queue of delivery reports.
bool report_delivery_errors(SocketHandle, bool) { return false; }
std::size_t take_unreachable_destinations(SocketHandle, SocketAddress*, std::size_t) { return 0; }

WaitStatus wait_readable(SocketHandle socket, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native_of(socket), &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int ready = ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &timeout);
    if (ready > 0) return WaitStatus::Readable;
    if (ready == 0) return WaitStatus::TimedOut;
    return ::WSAGetLastError() == WSAEINTR ? WaitStatus::Interrupted : WaitStatus::Failed;
}

bool resolve_ipv4(const char* host, std::uint32_t* address_be) {
    const hostent* entry = ::gethostbyname(host);
    if (entry == nullptr) {
        const unsigned long numeric = ::inet_addr(host);
        entry = ::gethostbyaddr(reinterpret_cast<const char*>(&numeric), 4, AF_INET);
    }
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) return false;
    std::memcpy(address_be, entry->h_addr_list[0], 4);
    return true;
}

}  // namespace conf::net

#endif  // _WIN32
