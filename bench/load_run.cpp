#include "load_run.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol.h"

namespace conf::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kReceiveBatch = 64;
constexpr std::size_t kReceiveCapacity = 2048;
// "Lss:nnnnnnnnnn": sender and line number, then '.' up to the payload size.
constexpr std::size_t kLineHeader = 14;
// The end of a phase waits this long after the last datagram for stragglers.
constexpr int kQuietMs = 1000;

std::int64_t realtime_ns() {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double process_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void compose_line(char* out, std::size_t payload, int sender, std::int64_t number) {
    char header[kLineHeader + 1];
    std::snprintf(header, sizeof header, "L%02d:%010lld", sender, static_cast<long long>(number));
    std::memcpy(out, header, kLineHeader);
    std::memset(out + kLineHeader, '.', payload - kLineHeader);
}

bool digits(const char* bytes, std::size_t count, std::int64_t* value) {
    std::int64_t result = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') return false;
        result = result * 10 + (bytes[i] - '0');
    }
    *value = result;
    return true;
}

bool parse_line(const char* bytes, std::size_t length, std::size_t payload, int* sender, std::int64_t* number) {
    if (length != payload || bytes[0] != 'L' || bytes[3] != ':') return false;
    std::int64_t sender_number = 0;
    if (!digits(bytes + 1, 2, &sender_number) || !digits(bytes + 4, 10, number)) return false;
    for (std::size_t i = kLineHeader; i < length; ++i)
        if (bytes[i] != '.') return false;
    *sender = static_cast<int>(sender_number);
    return true;
}

int open_participant_socket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    // A receiver that sleeps a moment must not lose what the relay sent meanwhile.
    const int queue_bytes = 4 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &queue_bytes, sizeof queue_bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
    // The kernel stamps each datagram as it is queued; latency is read from
    // those stamps, so the bench's own polling does not count.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct SenderState {
    int fd = -1;
    std::int64_t sent = 0;
    std::int64_t floor = 0;  // first line not yet everywhere and not given up
    Clock::time_point last_progress;
    std::vector<std::uint16_t> copies;  // per line: receivers that got it
};

class LoadSession {
public:
    LoadSession(std::uint16_t port, const LoadSettings& settings) : settings_(settings) {
        relay_.sin_family = AF_INET;
        relay_.sin_port = htons(port);
        relay_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        receive_buffers_.resize(std::size_t{kReceiveBatch} * kReceiveCapacity);
        line_.resize(settings.payload);
    }
    ~LoadSession() {
        for (const int fd : receivers_) ::close(fd);
        for (const SenderState& sender : senders_) ::close(sender.fd);
    }
    LoadSession(const LoadSession&) = delete;
    LoadSession& operator=(const LoadSession&) = delete;

    bool open(std::string* error);
    bool log_in(const std::function<bool()>& relay_alive, std::string* error);
    void measure_throughput(const std::function<ProcessorTime()>& relay_time, LoadResult* result);
    void measure_latency(LoadResult* result);
    void leave();
    void tally(LoadResult* result) const;

private:
    std::size_t sweep(bool with_stamps);
    void on_datagram(const char* bytes, std::size_t length, std::int64_t stamp_ns);
    void send_line(SenderState& sender, int index);
    void top_up();
    void advance(Clock::time_point now);
    void drain();
    bool all_delivered() const;
    void discard_until_quiet(int quiet_ms);

    const LoadSettings& settings_;
    sockaddr_in relay_{};
    std::vector<int> receivers_;
    std::vector<std::string> names_;
    std::vector<SenderState> senders_;
    std::vector<char> receive_buffers_;
    std::vector<char> line_;

    std::int64_t deliveries_ = 0;
    std::int64_t completed_ = 0;
    std::int64_t malformed_ = 0;

    // Latency phase: lines of sender 0 from this number on.
    bool timing_ = false;
    std::int64_t timed_from_ = 0;
    std::vector<std::int64_t> sent_at_ns_;
    std::vector<std::int64_t> last_copy_ns_;
    std::vector<double> latencies_us_;
};

bool LoadSession::open(std::string* error) {
    if (settings_.payload < kLineHeader || settings_.payload > kMaxDatagram) {
        *error = "payload must be " + std::to_string(kLineHeader) + " to " + std::to_string(kMaxDatagram) + " bytes";
        return false;
    }
    if (settings_.receivers < 1 || settings_.senders < 1 || settings_.senders > 99 || settings_.window < 1) {
        *error = "need at least one receiver, 1 to 99 senders and a window of at least one line";
        return false;
    }
    for (int i = 0; i < settings_.receivers; ++i) {
        const int fd = open_participant_socket();
        if (fd < 0) {
            *error = std::string("receiver socket: ") + std::strerror(errno);
            return false;
        }
        receivers_.push_back(fd);
        char name[16];
        std::snprintf(name, sizeof name, "cb%03d", i);
        names_.emplace_back(name);
    }
    for (int i = 0; i < settings_.senders; ++i) {
        SenderState sender;
        sender.fd = open_participant_socket();
        if (sender.fd < 0) {
            *error = std::string("sender socket: ") + std::strerror(errno);
            return false;
        }
        senders_.push_back(std::move(sender));
    }
    return true;
}

bool LoadSession::log_in(const std::function<bool()>& relay_alive, std::string* error) {
    char reply[kReceiveCapacity];
    for (std::size_t i = 0; i < receivers_.size(); ++i) {
        const Line request = compose_login_request(names_[i], "confbench");
        const int fd = receivers_[i];
        // The first login also waits for the relay to come up.
        const auto give_up = Clock::now() + std::chrono::seconds(i == 0 ? 5 : 2);
        auto last_sent = Clock::now() - std::chrono::seconds(1);
        bool accepted = false;
        bool asked = false;
        while (!accepted) {
            const auto now = Clock::now();
            if (now > give_up) {
                *error = "no login reply for receiver " + std::to_string(i);
                return false;
            }
            if (!relay_alive()) {
                *error = "the relay ended during the logins";
                return false;
            }
            if (!asked || (i == 0 && now - last_sent > std::chrono::milliseconds(200))) {
                ::sendto(fd, request.c_str(), request.size(), 0, reinterpret_cast<const sockaddr*>(&relay_),
                         sizeof relay_);
                last_sent = now;
                asked = true;
            }
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) continue;
            ssize_t length;
            while ((length = ::recv(fd, reply, sizeof reply, 0)) >= 0) {
                const std::string_view got(reply, static_cast<std::size_t>(length));
                if (got == text::kCapacityRefusal) {
                    *error = "the relay refused receiver " + std::to_string(i) + " (full)";
                    return false;
                }
                if (got == text::kLoginAccepted) accepted = true;
            }
        }
    }
    // Entry notices and first lines of the later logins are not lines of ours.
    discard_until_quiet(100);
    return true;
}

void LoadSession::discard_until_quiet(int quiet_ms) {
    char bytes[kReceiveCapacity];
    auto last = Clock::now();
    while (Clock::now() - last < std::chrono::milliseconds(quiet_ms)) {
        bool any = false;
        for (const int fd : receivers_)
            while (::recv(fd, bytes, sizeof bytes, 0) >= 0) any = true;
        if (any) last = Clock::now();
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void LoadSession::send_line(SenderState& sender, int index) {
    compose_line(line_.data(), line_.size(), index, sender.sent);
    if (timing_ && index == 0) sent_at_ns_.push_back(realtime_ns());
    ::sendto(sender.fd, line_.data(), line_.size(), 0, reinterpret_cast<const sockaddr*>(&relay_), sizeof relay_);
    sender.copies.push_back(0);
    if (timing_ && index == 0) last_copy_ns_.push_back(0);
    ++sender.sent;
}

void LoadSession::top_up() {
    for (std::size_t i = 0; i < senders_.size(); ++i) {
        SenderState& sender = senders_[i];
        while (sender.sent - sender.floor < settings_.window && sender.sent < settings_.max_lines)
            send_line(sender, static_cast<int>(i));
    }
}

void LoadSession::advance(Clock::time_point now) {
    const std::uint16_t everyone = static_cast<std::uint16_t>(receivers_.size());
    for (SenderState& sender : senders_) {
        while (sender.floor < sender.sent && sender.copies[static_cast<std::size_t>(sender.floor)] >= everyone) {
            ++sender.floor;
            sender.last_progress = now;
        }
        // A line that does not arrive everywhere would hold the window shut
        // for good; it is counted lost at the end unless it turns up late.
        if (sender.floor < sender.sent && now - sender.last_progress > std::chrono::milliseconds(settings_.stall_ms)) {
            ++sender.floor;
            sender.last_progress = now;
        }
    }
}

bool LoadSession::all_delivered() const {
    std::int64_t sent = 0;
    for (const SenderState& sender : senders_) sent += sender.sent;
    return completed_ == sent;
}

void LoadSession::drain() {
    auto last_datagram = Clock::now();
    for (;;) {
        const std::size_t got = sweep(timing_);
        const auto now = Clock::now();
        advance(now);
        if (all_delivered()) return;
        if (got > 0) last_datagram = now;
        else if (now - last_datagram > std::chrono::milliseconds(kQuietMs)) return;
        else std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

std::size_t LoadSession::sweep(bool with_stamps) {
    mmsghdr messages[kReceiveBatch];
    iovec vectors[kReceiveBatch];
    alignas(cmsghdr) char control[kReceiveBatch][CMSG_SPACE(sizeof(timespec))];
    std::size_t total = 0;
    for (const int fd : receivers_) {
        for (;;) {
            for (unsigned i = 0; i < kReceiveBatch; ++i) {
                vectors[i].iov_base = receive_buffers_.data() + std::size_t{i} * kReceiveCapacity;
                vectors[i].iov_len = kReceiveCapacity;
                messages[i].msg_hdr = msghdr{};
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
                if (with_stamps) {
                    messages[i].msg_hdr.msg_control = control[i];
                    messages[i].msg_hdr.msg_controllen = sizeof control[i];
                }
            }
            const int received = ::recvmmsg(fd, messages, kReceiveBatch, MSG_DONTWAIT, nullptr);
            if (received <= 0) break;
            for (int i = 0; i < received; ++i) {
                std::int64_t stamp = 0;
                if (with_stamps) {
                    msghdr& header = messages[i].msg_hdr;
                    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr; item = CMSG_NXTHDR(&header, item)) {
                        if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_TIMESTAMPNS) continue;
                        timespec when;
                        std::memcpy(&when, CMSG_DATA(item), sizeof when);
                        stamp = std::int64_t{when.tv_sec} * 1000000000 + when.tv_nsec;
                    }
                }
                const std::size_t length = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0
                                               ? kReceiveCapacity + 1
                                               : messages[i].msg_len;
                on_datagram(static_cast<const char*>(vectors[i].iov_base), length, stamp);
            }
            total += static_cast<std::size_t>(received);
            if (static_cast<unsigned>(received) < kReceiveBatch) break;
        }
    }
    return total;
}

void LoadSession::on_datagram(const char* bytes, std::size_t length, std::int64_t stamp_ns) {
    int sender_index = 0;
    std::int64_t number = 0;
    if (!parse_line(bytes, length, settings_.payload, &sender_index, &number) ||
        sender_index >= static_cast<int>(senders_.size()) ||
        number >= senders_[static_cast<std::size_t>(sender_index)].sent) {
        ++malformed_;
        return;
    }
    ++deliveries_;
    std::uint16_t& copies = senders_[static_cast<std::size_t>(sender_index)].copies[static_cast<std::size_t>(number)];
    if (copies < 0xFFFF) ++copies;
    const bool timed = timing_ && sender_index == 0 && number >= timed_from_;
    if (timed) {
        std::int64_t& last = last_copy_ns_[static_cast<std::size_t>(number - timed_from_)];
        last = std::max(last, stamp_ns);
    }
    if (std::size_t{copies} != receivers_.size()) return;
    ++completed_;
    if (timed) {
        const std::size_t index = static_cast<std::size_t>(number - timed_from_);
        latencies_us_.push_back(static_cast<double>(last_copy_ns_[index] - sent_at_ns_[index]) / 1000.0);
    }
}

void LoadSession::measure_throughput(const std::function<ProcessorTime()>& relay_time, LoadResult* result) {
    const auto start = Clock::now();
    const auto warm = start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(settings_.warmup_seconds));
    const auto end = warm + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings_.seconds));
    for (SenderState& sender : senders_) sender.last_progress = start;

    bool measuring = false;
    Clock::time_point measured_from;
    std::int64_t deliveries_before = 0, completed_before = 0;
    ProcessorTime relay_before;
    double bench_cpu_before = 0;
    for (;;) {
        const auto now = Clock::now();
        if (!measuring && now >= warm) {
            measuring = true;
            measured_from = now;
            deliveries_before = deliveries_;
            completed_before = completed_;
            relay_before = relay_time();
            bench_cpu_before = process_cpu_seconds();
        }
        if (now >= end) break;
        top_up();
        const std::size_t got = sweep(false);
        advance(Clock::now());
        // Less than a line's worth: let copies gather rather than spend the
        // core on empty receives. The window keeps the relay busy meanwhile.
        if (got < receivers_.size()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const auto measured_to = Clock::now();
    const ProcessorTime relay_after = relay_time();
    const double interval = seconds_between(measured_from, measured_to);
    const std::int64_t deliveries = deliveries_ - deliveries_before;
    result->deliveries_per_second = static_cast<double>(deliveries) / interval;
    result->lines_per_second = static_cast<double>(completed_ - completed_before) / interval;
    result->bench_cpu_share = (process_cpu_seconds() - bench_cpu_before) / interval;
    if (relay_before.running_ns >= 0 && relay_after.running_ns >= relay_before.running_ns) {
        const double running = static_cast<double>(relay_after.running_ns - relay_before.running_ns) / 1e9;
        result->relay_cpu_share = running / interval;
        if (running > 0) result->deliveries_per_relay_cpu_second = static_cast<double>(deliveries) / running;
    }
    if (relay_before.waiting_ns >= 0 && relay_after.waiting_ns >= relay_before.waiting_ns)
        result->relay_wait_share = static_cast<double>(relay_after.waiting_ns - relay_before.waiting_ns) / 1e9 / interval;
    drain();
}

void LoadSession::measure_latency(LoadResult* result) {
    SenderState& sender = senders_[0];
    timing_ = true;
    timed_from_ = sender.sent;
    const auto spacing = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / std::max(settings_.latency_rate, 1.0)));
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(settings_.latency_seconds));
    auto next = start;
    sender.last_progress = start;
    for (auto now = start; now < end; now = Clock::now()) {
        if (now >= next) {
            send_line(sender, 0);
            next += spacing;
        }
        const std::size_t got = sweep(true);
        advance(Clock::now());
        if (got == 0) std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::microseconds(100), next - now));
    }
    drain();
    timing_ = false;

    std::vector<double> sorted = latencies_us_;
    std::sort(sorted.begin(), sorted.end());
    result->latency_samples = static_cast<std::int64_t>(sorted.size());
    if (!sorted.empty()) {
        result->latency_p50_us = sorted[sorted.size() / 2];
        const std::size_t p99 = (sorted.size() * 99 + 99) / 100;  // ceiling of 0.99 n
        result->latency_p99_us = sorted[std::min(sorted.size(), p99) - 1];
    }
}

void LoadSession::leave() {
    for (std::size_t i = 0; i < receivers_.size(); ++i) {
        const Line notice = compose_leave_notice(names_[i]);
        ::sendto(receivers_[i], notice.c_str(), notice.size(), 0, reinterpret_cast<const sockaddr*>(&relay_),
                 sizeof relay_);
    }
}

void LoadSession::tally(LoadResult* result) const {
    const std::size_t everyone = receivers_.size();
    for (const SenderState& sender : senders_) {
        result->lines_sent += sender.sent;
        for (const std::uint16_t copies : sender.copies) {
            if (std::size_t{copies} < everyone) ++result->lines_lost;
            if (std::size_t{copies} > everyone) result->duplicates += std::int64_t{copies} - static_cast<std::int64_t>(everyone);
        }
    }
    result->malformed = malformed_;
}

}  // namespace

LoadResult measure_relay(std::uint16_t port, const LoadSettings& settings,
                         const std::function<ProcessorTime()>& relay_time,
                         const std::function<bool()>& relay_alive) {
    LoadResult result;
    LoadSession session(port, settings);
    if (!session.open(&result.error) || !session.log_in(relay_alive, &result.error)) return result;
    session.measure_throughput(relay_time, &result);
    session.measure_latency(&result);
    session.tally(&result);
    if (settings.leave_afterwards) session.leave();
    result.ok = true;
    return result;
}

}  // namespace conf::bench
