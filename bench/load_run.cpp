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
// Lines by which a later line may overtake an earlier one before the earlier
// one is taken for lost.
constexpr std::int64_t kReorderMargin = 8;
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

// The fields are fixed-width: the last `count` decimal digits of `value`,
// written without a terminator; digits() reads them.
void put_digits(char* out, std::size_t count, std::int64_t value) {
    for (std::size_t i = count; i > 0; --i, value /= 10) out[i - 1] = static_cast<char>('0' + value % 10);
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

}  // namespace

void compose_load_line(char* out, std::size_t payload, int sender, std::int64_t number) {
    out[0] = 'L';
    put_digits(out + 1, 2, sender);
    out[3] = ':';
    put_digits(out + 4, 10, number);
    std::memset(out + kLineHeader, '.', payload - kLineHeader);
}

bool parse_load_line(const char* bytes, std::size_t length, std::size_t payload, int* sender, std::int64_t* number) {
    if (length != payload || bytes[0] != 'L' || bytes[3] != ':') return false;
    std::int64_t sender_number = 0;
    if (!digits(bytes + 1, 2, &sender_number) || !digits(bytes + 4, 10, number)) return false;
    for (std::size_t i = kLineHeader; i < length; ++i)
        if (bytes[i] != '.') return false;
    *sender = static_cast<int>(sender_number);
    return true;
}

namespace {

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
    std::int64_t slice_end = 0;
    Clock::time_point last_progress;
    std::vector<std::uint16_t> copies;  // per line: receivers that got it
};

}  // namespace

class LoadSession::State {
public:
    State(std::uint16_t port, const LoadSettings& settings, std::function<ProcessorTime()> relay_time,
          std::function<bool()> relay_alive)
        : settings_(settings), relay_time_(std::move(relay_time)), relay_alive_(std::move(relay_alive)) {
        relay_.sin_family = AF_INET;
        relay_.sin_port = htons(port);
        relay_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        receive_buffers_.resize(std::size_t{kReceiveBatch} * kReceiveCapacity);
        line_.resize(settings.payload);
    }
    ~State() {
        for (const int fd : receivers_) ::close(fd);
        for (const SenderState& sender : senders_) ::close(sender.fd);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    bool open(std::string* error);
    bool log_in(std::string* error);
    ThroughputSlice push_slice();
    void measure_latency(double seconds, std::vector<double>* latencies_us);
    void close_receivers(int count);
    void leave();
    LoadTally tally() const;

private:
    std::size_t sweep(bool with_stamps);
    void on_datagram(const char* bytes, std::size_t length, std::int64_t stamp_ns);
    void send_line(SenderState& sender, int index);
    void top_up();
    void advance(Clock::time_point now);
    bool slice_done() const;
    void drain();
    bool all_delivered() const;
    void discard_until_quiet(int quiet_ms);

    const LoadSettings settings_;
    const std::function<ProcessorTime()> relay_time_;
    const std::function<bool()> relay_alive_;
    sockaddr_in relay_{};
    std::vector<int> receivers_;
    std::vector<std::string> names_;
    std::vector<std::string> exit_notices_;  // as the relay would announce each closed receiver
    std::vector<SenderState> senders_;
    std::vector<char> receive_buffers_;
    std::vector<char> line_;

    std::int64_t deliveries_ = 0;
    std::int64_t completed_ = 0;
    std::int64_t malformed_ = 0;
    std::int64_t exits_heard_ = 0;

    // Latency measurement: lines of sender 0 from this number on.
    bool timing_ = false;
    std::int64_t timed_from_ = 0;
    std::vector<std::int64_t> sent_at_ns_;
    std::vector<std::int64_t> last_copy_ns_;
    std::vector<double>* latencies_us_ = nullptr;
};

bool LoadSession::State::open(std::string* error) {
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

bool LoadSession::State::log_in(std::string* error) {
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
            if (!relay_alive_()) {
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

void LoadSession::State::discard_until_quiet(int quiet_ms) {
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

void LoadSession::State::send_line(SenderState& sender, int index) {
    compose_load_line(line_.data(), line_.size(), index, sender.sent);
    if (timing_ && index == 0) sent_at_ns_.push_back(realtime_ns());
    ::sendto(sender.fd, line_.data(), line_.size(), 0, reinterpret_cast<const sockaddr*>(&relay_), sizeof relay_);
    sender.copies.push_back(0);
    if (timing_ && index == 0) last_copy_ns_.push_back(0);
    ++sender.sent;
}

void LoadSession::State::top_up() {
    for (std::size_t i = 0; i < senders_.size(); ++i) {
        SenderState& sender = senders_[i];
        while (sender.sent - sender.floor < settings_.window && sender.sent < sender.slice_end)
            send_line(sender, static_cast<int>(i));
    }
}

void LoadSession::State::advance(Clock::time_point now) {
    const std::uint16_t everyone = static_cast<std::uint16_t>(receivers_.size());
    for (SenderState& sender : senders_) {
        auto everywhere = [&](std::int64_t line) {
            return sender.copies[static_cast<std::size_t>(line)] >= everyone;
        };
        while (sender.floor < sender.sent) {
            if (everywhere(sender.floor)) {
                ++sender.floor;
                sender.last_progress = now;
                continue;
            }
            // A line that does not arrive everywhere would hold the window
            // shut. Loopback keeps each receiver's datagrams in order, so once
            // later lines are everywhere it is lost; failing that, a stall
            // says so. It is counted lost at the end unless it turns up late.
            const std::int64_t witness = sender.floor + kReorderMargin;
            const bool overtaken = witness < sender.sent && everywhere(witness);
            if (!overtaken && now - sender.last_progress <= std::chrono::milliseconds(settings_.stall_ms)) break;
            ++sender.floor;
            sender.last_progress = now;
        }
    }
}

bool LoadSession::State::slice_done() const {
    for (const SenderState& sender : senders_)
        if (sender.floor < sender.slice_end) return false;
    return true;
}

bool LoadSession::State::all_delivered() const {
    std::int64_t sent = 0;
    for (const SenderState& sender : senders_) sent += sender.sent;
    return completed_ == sent;
}

void LoadSession::State::drain() {
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

std::size_t LoadSession::State::sweep(bool with_stamps) {
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

void LoadSession::State::on_datagram(const char* bytes, std::size_t length, std::int64_t stamp_ns) {
    int sender_index = 0;
    std::int64_t number = 0;
    if (!parse_load_line(bytes, length, settings_.payload, &sender_index, &number) ||
        sender_index >= static_cast<int>(senders_.size()) ||
        number >= senders_[static_cast<std::size_t>(sender_index)].sent) {
        const std::string_view datagram(bytes, std::min(length, kReceiveCapacity));
        if (std::find(exit_notices_.begin(), exit_notices_.end(), datagram) != exit_notices_.end()) ++exits_heard_;
        else ++malformed_;
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
        latencies_us_->push_back(static_cast<double>(last_copy_ns_[index] - sent_at_ns_[index]) / 1000.0);
    }
}

ThroughputSlice LoadSession::State::push_slice() {
    ThroughputSlice slice;
    const std::int64_t deliveries_before = deliveries_, completed_before = completed_;
    const ProcessorTime relay_before = relay_time_();
    const double bench_before = process_cpu_seconds();
    const auto start = Clock::now();
    const auto limit = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(settings_.slice_limit_seconds));
    for (SenderState& sender : senders_) {
        sender.last_progress = start;
        sender.slice_end = sender.sent + settings_.slice_lines;
    }

    for (;;) {
        top_up();
        const std::size_t got = sweep(false);
        const auto now = Clock::now();
        advance(now);
        if (slice_done()) {
            slice.complete = true;
            break;
        }
        if (now > limit || !relay_alive_()) break;
        // Less than a line's worth: let copies gather rather than spend the
        // core on empty receives. The window keeps the relay busy meanwhile.
        if (got < receivers_.size()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    slice.seconds = seconds_between(start, Clock::now());
    const ProcessorTime relay_after = relay_time_();
    slice.deliveries = deliveries_ - deliveries_before;
    slice.lines = completed_ - completed_before;
    slice.bench_seconds = process_cpu_seconds() - bench_before;
    if (relay_before.running_ns >= 0 && relay_after.running_ns >= relay_before.running_ns)
        slice.relay_running_seconds = static_cast<double>(relay_after.running_ns - relay_before.running_ns) / 1e9;
    if (relay_before.waiting_ns >= 0 && relay_after.waiting_ns >= relay_before.waiting_ns)
        slice.relay_waiting_seconds = static_cast<double>(relay_after.waiting_ns - relay_before.waiting_ns) / 1e9;
    // Stragglers of lines given up must not count in the next slice.
    if (!slice.complete || !all_delivered()) drain();
    return slice;
}

void LoadSession::State::measure_latency(double seconds, std::vector<double>* latencies_us) {
    SenderState& sender = senders_[0];
    timing_ = true;
    timed_from_ = sender.sent;
    sent_at_ns_.clear();
    last_copy_ns_.clear();
    latencies_us_ = latencies_us;
    const auto spacing = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / std::max(settings_.latency_rate, 1.0)));
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
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
    latencies_us_ = nullptr;
}

void LoadSession::State::close_receivers(int count) {
    for (int i = 0; i < count && receivers_.size() > 1; ++i) {
        ::close(receivers_.back());
        receivers_.pop_back();
        const Line notice = compose_exit_notice(names_.back());
        exit_notices_.emplace_back(notice.c_str(), notice.size());
        names_.pop_back();
    }
}

void LoadSession::State::leave() {
    for (std::size_t i = 0; i < receivers_.size(); ++i) {
        const Line notice = compose_leave_notice(names_[i]);
        ::sendto(receivers_[i], notice.c_str(), notice.size(), 0, reinterpret_cast<const sockaddr*>(&relay_),
                 sizeof relay_);
    }
}

LoadTally LoadSession::State::tally() const {
    LoadTally tally;
    const std::size_t everyone = receivers_.size();
    for (const SenderState& sender : senders_) {
        tally.lines_sent += sender.sent;
        for (const std::uint16_t copies : sender.copies) {
            if (std::size_t{copies} < everyone) ++tally.lines_lost;
            if (std::size_t{copies} > everyone) tally.duplicates += std::int64_t{copies} - static_cast<std::int64_t>(everyone);
        }
    }
    tally.malformed = malformed_;
    tally.exit_notices = exits_heard_;
    return tally;
}

LoadSession::LoadSession(std::uint16_t port, const LoadSettings& settings, std::function<ProcessorTime()> relay_time,
                         std::function<bool()> relay_alive)
    : state_(std::make_unique<State>(port, settings, std::move(relay_time), std::move(relay_alive))) {}

LoadSession::~LoadSession() = default;

bool LoadSession::start(std::string* error) { return state_->open(error) && state_->log_in(error); }
ThroughputSlice LoadSession::push_slice() { return state_->push_slice(); }
void LoadSession::measure_latency(double seconds, std::vector<double>* latencies_us) {
    state_->measure_latency(seconds, latencies_us);
}
void LoadSession::close_receivers(int count) { state_->close_receivers(count); }
void LoadSession::leave() { state_->leave(); }
LoadTally LoadSession::tally() const { return state_->tally(); }

}  // namespace conf::bench
