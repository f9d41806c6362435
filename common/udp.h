// A small UDP/IPv4 socket layer over Winsock 1.1 and POSIX sockets.
//
// One implementation file per platform; operating-system error codes are
// turned into the few outcomes below at this boundary and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace conf::net {

// SOCKET on Windows is an unsigned pointer-sized integer, a file descriptor
// elsewhere; this type holds either.
using SocketHandle = std::uintptr_t;
constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

// The 16-byte IPv4 socket address record, field for field: family, port and
// address in network byte order, eight zero bytes.
struct SocketAddress {
    std::uint16_t family = 0;
    std::uint16_t port_be = 0;
    std::uint32_t address_be = 0;
    std::uint8_t zero[8] = {};
};
static_assert(sizeof(SocketAddress) == 16, "an IPv4 socket address is 16 bytes");

constexpr std::uint16_t kAddressFamilyInet = 2;

SocketAddress make_address(std::uint32_t address_host_order, std::uint16_t port_host_order);
SocketAddress loopback_address(std::uint16_t port_host_order);
std::uint16_t port_of(const SocketAddress& address);
bool same_endpoint(const SocketAddress& a, const SocketAddress& b);

enum class ReceiveStatus {
    Received,         // `length` bytes are in the buffer
    WouldBlock,       // nothing waiting on a non-blocking socket
    TooLong,          // the datagram did not fit the buffer; it is gone
    PeerUnreachable,  // an earlier send hit a closed port
    Failed,           // anything else
};

struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::Failed;
    std::size_t length = 0;
};

enum class SendStatus { Sent, WouldBlock, Failed };

enum class WaitStatus { Readable, TimedOut, Interrupted, Failed };

// Winsock needs WSAStartup (version 1.1) before any other call; elsewhere
// this does nothing. Returns false when the library cannot be started.
bool startup();

SocketHandle open_udp();
bool bind_any(SocketHandle socket, std::uint16_t port_host_order);
// Why the last bind_any of this thread failed, in lower case for a message
// such as "port 40000: address already in use"; null when it succeeded.
const char* last_bind_error();
// Binds to 127.0.0.1 and an ephemeral port; for tests and local tools.
bool bind_loopback_ephemeral(SocketHandle socket);
bool local_address(SocketHandle socket, SocketAddress* address);
bool set_nonblocking(SocketHandle socket);
// Asks the system for larger queues so that a burst is not dropped at the
// socket (a size of 0 leaves that queue as it is). Best effort: the system
// may grant less.
// The sizes the system granted, which may be smaller than asked for;
// `capped` is set when they were limited by the system's own maximum (on
// Linux: SO_RCVBUFFORCE or SO_SNDBUFFORCE refused, without CAP_NET_ADMIN).
struct BufferSizes {
    int receive_bytes = 0;
    int send_bytes = 0;
    bool capped = false;
};
BufferSizes set_buffer_sizes(SocketHandle socket, int receive_bytes, int send_bytes);
bool close_socket(SocketHandle socket);

// Asks the system to queue a report for every send that bounces (an ICMP
// port or host unreachable), to be read with take_unreachable_destinations,
// or no longer (which drops the reports still queued). Returns false where
// the system offers no such reports.
bool report_delivery_errors(SocketHandle socket, bool on);
// Reads, without waiting, at most `capacity` queued reports and stores the
// destination of each that says port or host unreachable; others are read
// and dropped. Returns how many were stored.
std::size_t take_unreachable_destinations(SocketHandle socket, SocketAddress* destinations, std::size_t capacity);

SendStatus send_to(SocketHandle socket, const void* bytes, std::size_t length, const SocketAddress& to);
// Receives one datagram of at most `capacity` bytes. A longer one is reported
// as TooLong on every platform and never handed over cut.
ReceiveResult receive_from(SocketHandle socket, void* buffer, std::size_t capacity, SocketAddress* from);

// Waits until a datagram is waiting, a signal arrives or the time is up.
WaitStatus wait_readable(SocketHandle socket, int timeout_ms);

// Host name resolution as the client does it: the name as a host name
// first; failing that, the text as a dotted address looked up in reverse.
// Fills the first address of the host entry, in network order.
bool resolve_ipv4(const char* host, std::uint32_t* address_be);

}  // namespace conf::net
