// The relay's batched path on Linux: recvmmsg takes everything that waits on
// the socket, RelayServer::handle_datagram handles each datagram in arrival
// order exactly as a single read event would, and the replies and broadcasts
// leave with sendmmsg in that same order. Only the number of system calls
// changes: who receives what, and in which order, stays the per-datagram
// path's.
#pragma once

#include <sys/socket.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <string_view>
#include <vector>

#include "relay_server.h"

namespace conf {

// Collects the datagrams that handling produces. A broadcast hands the same
// bytes to every participant, so they are stored once and shared.
class OutgoingBatch final : public DatagramSender {
public:
    struct Entry {
        sockaddr_in to;
        std::size_t offset;
        std::size_t length;
    };

    void send_datagram(const net::SocketAddress& to, std::string_view bytes) override;

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const Entry& entry(std::size_t index) const { return entries_[index]; }
    std::string_view bytes(std::size_t index) const;
    void clear();

    // Fills `messages` (and the vectors they point into) for a sendmmsg of
    // every collected datagram. Valid until the batch changes.
    void prepare(std::vector<mmsghdr>* messages, std::vector<iovec>* vectors);

private:
    std::vector<Entry> entries_;
    std::vector<char> arena_;
};

// sendmmsg itself, or a stand-in with the same contract.
using SendManyCall = int (*)(int fd, mmsghdr* messages, unsigned int count, int flags);

struct BatchedRelayOptions {
    // Null means ::sendmmsg.
    SendManyCall send_many = nullptr;
    // How long a batch may wait for a socket that takes nothing before the
    // rest of it is given up, so that a jammed interface cannot hang the relay.
    int send_stall_limit_ms = 1000;
    // Polled between calls; when set, the relay stops as soon as it can.
    const volatile std::sig_atomic_t* stop_requested = nullptr;
    // Runs after each received batch has been handled and sent.
    std::function<void()> after_batch;
};

struct BatchedRelayCounters {
    std::uint64_t receive_calls = 0;
    std::uint64_t datagrams_received = 0;
    std::uint64_t over_long_dropped = 0;
    std::uint64_t send_calls = 0;
    std::uint64_t datagrams_sent = 0;
    std::uint64_t sends_waited = 0;      // times the socket was full and we waited
    std::uint64_t sends_failed = 0;      // refused for good, one by one
    std::uint64_t sends_abandoned = 0;   // left after a stall or a stop
};

class BatchedRelay {
public:
    // Datagrams taken per recvmmsg: few enough that the first of them is
    // not kept waiting while the others are copied in.
    static constexpr unsigned kReceiveBatch = 16;
    // What is collected leaves as soon as it fills a call this large (one
    // broadcast to a full room), without waiting for the rest of the
    // received batch: batching saves system calls, never time.
    static constexpr unsigned kFlushAt = ParticipantTable::kSlots;
    // The most sendmmsg takes in one call.
    static constexpr unsigned kSendBatch = 1024;

    enum class DrainResult { Idle, Stopped, Broken };

    BatchedRelay(RelayServer& relay, BatchedRelayOptions options = {});
    BatchedRelay(const BatchedRelay&) = delete;
    BatchedRelay& operator=(const BatchedRelay&) = delete;

    // Receives, handles and sends until nothing is waiting (Idle), a stop is
    // requested (Stopped) or the socket broke (Broken: the relay has closed
    // it and reported, as its per-datagram path does).
    DrainResult drain();

    const BatchedRelayCounters& counters() const { return counters_; }

private:
    void handle_received(unsigned count);
    void flush();
    bool stop_requested() const;

    RelayServer& relay_;
    BatchedRelayOptions options_;
    BatchedRelayCounters counters_;

    std::vector<char> receive_buffers_;
    std::vector<sockaddr_in> senders_;
    std::vector<iovec> receive_vectors_;
    std::vector<mmsghdr> receive_messages_;

    OutgoingBatch outgoing_;
    std::vector<mmsghdr> send_messages_;
    std::vector<iovec> send_vectors_;
};

}  // namespace conf
