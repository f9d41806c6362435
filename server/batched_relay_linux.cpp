// Linux only: recvmmsg and sendmmsg.
#ifdef __linux__

#include "batched_relay_linux.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "batched_path.h"
#include "protocol.h"
#include "udp_native_posix.h"

namespace conf {
namespace {

using Clock = std::chrono::steady_clock;
using net::from_native;
using net::to_native;

int fd_of(net::SocketHandle socket) { return static_cast<int>(socket); }

int system_send_many(int fd, mmsghdr* messages, unsigned int count, int flags) {
    return ::sendmmsg(fd, messages, count, flags);
}

}  // namespace

// OutgoingBatch -------------------------------------------------------------------

void OutgoingBatch::send_datagram(const net::SocketAddress& to, std::string_view bytes) {
    // A broadcast repeats the previous datagram's bytes for every participant;
    // the bytes are compared, not the pointer, because a composed line lives
    // in a temporary whose address the next one may reuse.
    if (!entries_.empty()) {
        const Entry& previous = entries_.back();
        if (previous.length == bytes.size() &&
            (bytes.empty() || std::memcmp(arena_.data() + previous.offset, bytes.data(), bytes.size()) == 0)) {
            entries_.push_back({to_native(to), previous.offset, previous.length});
            return;
        }
    }
    const std::size_t offset = arena_.size();
    arena_.insert(arena_.end(), bytes.begin(), bytes.end());
    entries_.push_back({to_native(to), offset, bytes.size()});
}

std::string_view OutgoingBatch::bytes(std::size_t index) const {
    const Entry& entry = entries_[index];
    return {arena_.data() + entry.offset, entry.length};
}

void OutgoingBatch::clear() {
    entries_.clear();
    arena_.clear();
}

void OutgoingBatch::prepare(std::vector<mmsghdr>* messages, std::vector<iovec>* vectors) {
    messages->resize(entries_.size());
    vectors->resize(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& entry = entries_[i];
        (*vectors)[i].iov_base = arena_.data() + entry.offset;
        (*vectors)[i].iov_len = entry.length;
        msghdr& header = (*messages)[i].msg_hdr;
        header = msghdr{};
        header.msg_name = &entry.to;
        header.msg_namelen = sizeof entry.to;
        header.msg_iov = &(*vectors)[i];
        header.msg_iovlen = 1;
        (*messages)[i].msg_len = 0;
    }
}

// BatchedRelay --------------------------------------------------------------------

BatchedRelay::BatchedRelay(RelayServer& relay, BatchedRelayOptions options)
    : relay_(relay),
      options_(options),
      receive_buffers_(kReceiveBatch * kDatagramBuffer),
      senders_(kReceiveBatch),
      receive_vectors_(kReceiveBatch),
      receive_messages_(kReceiveBatch) {
    if (options_.send_many == nullptr) options_.send_many = system_send_many;
}

bool BatchedRelay::stop_requested() const {
    return options_.stop_requested != nullptr && *options_.stop_requested != 0;
}

BatchedRelay::DrainResult BatchedRelay::drain() {
    while (relay_.socket_open()) {
        if (stop_requested()) return DrainResult::Stopped;

        // recvmmsg may leave fields behind; every call starts from clean headers.
        for (unsigned i = 0; i < kReceiveBatch; ++i) {
            // One byte short of the buffer, as a single receive reads: a longer
            // datagram comes back flagged MSG_TRUNC instead of cut silently.
            receive_vectors_[i].iov_base = receive_buffers_.data() + std::size_t{i} * kDatagramBuffer;
            receive_vectors_[i].iov_len = kMaxDatagram;
            msghdr& header = receive_messages_[i].msg_hdr;
            header = msghdr{};
            header.msg_name = &senders_[i];
            header.msg_namelen = sizeof senders_[i];
            header.msg_iov = &receive_vectors_[i];
            header.msg_iovlen = 1;
            receive_messages_[i].msg_len = 0;
        }
        // Bounce reports share the receive queue's memory: read them as
        // the datagrams are, a bounded number per turn.
        relay_.take_delivery_errors();
        ++counters_.receive_calls;
        const int received =
            ::recvmmsg(fd_of(relay_.socket()), receive_messages_.data(), kReceiveBatch, MSG_DONTWAIT, nullptr);
        if (received > 0) {
            handle_received(static_cast<unsigned>(received));
            if (options_.after_batch) options_.after_batch();
            continue;
        }
        if (received == 0) return DrainResult::Idle;
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return DrainResult::Idle;
        case ECONNREFUSED:
            // An earlier send hit a closed port. Reading the error cleared it;
            // the datagrams behind it are still queued.
            continue;
        default:
            // Anything else is the per-datagram path's to judge: its receive
            // meets the same condition and closes and reports exactly as the
            // window would.
            relay_.on_socket_event(kReadEvent);
            return relay_.socket_open() ? DrainResult::Idle : DrainResult::Broken;
        }
    }
    return DrainResult::Broken;
}

void BatchedRelay::handle_received(unsigned count) {
    counters_.datagrams_received += count;
    for (unsigned i = 0; i < count; ++i) {
        const mmsghdr& message = receive_messages_[i];
        if ((message.msg_hdr.msg_flags & MSG_TRUNC) != 0) {
            // Over-long: dropped whole, as the single receive drops it.
            ++counters_.over_long_dropped;
            continue;
        }
        char* bytes = receive_buffers_.data() + std::size_t{i} * kDatagramBuffer;
        bytes[message.msg_len] = '\0';
        relay_.handle_datagram(as_received_text(bytes, message.msg_len), from_native(senders_[i]), outgoing_);
        // The transcript's records wait for their datagram's sends, and are
        // written before the next datagram is handled: these sends leave now.
        // Otherwise a full room's broadcast goes out at once, as the
        // per-datagram path would send it; a small room's answers wait at
        // most for the rest of this short batch, whose handling takes
        // microseconds.
        if (relay_.awaits_sends_left()) {
            flush();
            relay_.sends_left();
        } else if (outgoing_.size() >= kFlushAt) {
            flush();
        }
    }
    flush();
}

void BatchedRelay::flush() {
    // A login accepted reply may be among them: the place goes on file first.
    relay_.save_now();
    if (outgoing_.empty()) return;
    outgoing_.prepare(&send_messages_, &send_vectors_);
    const int fd = fd_of(relay_.socket());
    const std::size_t total = send_messages_.size();
    std::size_t next = 0;
    bool stalled = false;
    Clock::time_point stall_began;
    // A bounce of an earlier send to someone else can fail the next one
    // once; that datagram is tried again, once.
    std::size_t retried = total;

    while (next < total) {
        if (stop_requested()) break;
        const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(total - next, kSendBatch));
        ++counters_.send_calls;
        const int sent = options_.send_many(fd, send_messages_.data() + next, chunk, 0);
        if (sent > 0) {
            next += static_cast<std::size_t>(sent);
            counters_.datagrams_sent += static_cast<std::uint64_t>(sent);
            stalled = false;
            continue;
        }
        const int error = sent < 0 ? errno : EAGAIN;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // The queue towards the network is full. A blocking sendto would
            // have waited, so wait for room, but never without limit: the
            // datagrams waiting in our own receive queue must get their turn.
            const Clock::time_point now = Clock::now();
            if (!stalled) {
                stalled = true;
                stall_began = now;
            }
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - stall_began).count();
            if (waited >= options_.send_stall_limit_ms) break;
            ++counters_.sends_waited;
            pollfd entry{fd, POLLOUT, 0};
            const long slice = std::min<long>(100, options_.send_stall_limit_ms - waited);
            ::poll(&entry, 1, static_cast<int>(slice));
            continue;
        }
        if ((error == ECONNREFUSED || error == EHOSTUNREACH) && retried != next) {
            retried = next;
            continue;
        }
        // This one datagram is refused (say, an unreachable address); a
        // single send's failure is ignored, so go on with the next.
        ++counters_.sends_failed;
        ++next;
    }
    counters_.sends_abandoned += total - next;
    outgoing_.clear();
}

// The console relay's batched loop -------------------------------------------------

bool batched_path_available() { return true; }

void serve_batched(RelayServer& relay, const volatile std::sig_atomic_t& stop_requested,
                   const std::function<void()>& after_batch) {
    BatchedRelayOptions options;
    options.stop_requested = &stop_requested;
    options.after_batch = after_batch;
    BatchedRelay batched(relay, options);
    while (stop_requested == 0 && relay.socket_open()) {
        const net::WaitStatus status = net::wait_readable(relay.socket(), 500);
        if (status == net::WaitStatus::Failed) break;
        if (status != net::WaitStatus::Readable) {
            if (after_batch) after_batch();
            continue;
        }
        if (batched.drain() != BatchedRelay::DrainResult::Idle) break;
        // A wake-up for bounce reports alone receives nothing: read them.
        relay.take_delivery_errors();
    }
}

}  // namespace conf

#endif  // __linux__
