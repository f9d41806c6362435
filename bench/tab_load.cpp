#include "tab_load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

#include "json.h"
#include "protocol.h"

namespace conf::bench {
namespace {

using Clock = std::chrono::steady_clock;

// What one read takes from a tab's connection; a frame of the gateway's is a
// few KiB at most.
constexpr std::size_t kTabInput = 128 * 1024;
constexpr std::size_t kMaxFrame = kTabInput / 2;
constexpr int kMaxEvents = 128;
// As in LoadSession: a line overtaken by this many later lines that are
// everywhere is taken for lost; the end of a phase waits this long for
// stragglers.
constexpr std::int64_t kReorderMargin = 8;
constexpr int kQuietMs = 1000;
// However busy the gateway keeps them, reads and waits for quiet end.
constexpr int kMaxReadsPerReadiness = 16;
constexpr std::chrono::seconds kMaxDrain{10};
constexpr std::chrono::seconds kLoginWait{5};

constexpr unsigned kText = 1, kClose = 8, kPing = 9, kPong = 10;

// "ログインしました" and "定員オーバーでログインできません" as the gateway
// shows them to a tab.
constexpr std::string_view kLoginAcceptedUtf8 = u8"ログインしました";
constexpr std::string_view kCapacityRefusalUtf8 = u8"定員オーバーでログインできません";

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double process_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A frame from client to server, masked as the protocol demands of a client.
// The key does not matter here: it exists against caching proxies, and
// there are none on loopback.
std::string client_frame(unsigned opcode, std::string_view payload) {
    std::string frame;
    frame.push_back(static_cast<char>(0x80 | opcode));
    if (payload.size() < 126) {
        frame.push_back(static_cast<char>(0x80 | payload.size()));
    } else {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
        frame.push_back(static_cast<char>(payload.size() & 0xFF));
    }
    const unsigned char mask[4] = {0x5A, 0xC3, 0x17, 0x8E};
    for (const unsigned char byte : mask) frame.push_back(static_cast<char>(byte));
    for (std::size_t i = 0; i < payload.size(); ++i)
        frame.push_back(static_cast<char>(static_cast<unsigned char>(payload[i]) ^ mask[i % 4]));
    return frame;
}

// The text of a {"type":"line","text":"..."} message, in whatever order
// its keys come; the load's own lines need no escapes.
bool line_text(std::string_view message, std::string_view* text) {
    if (message.find(R"("type":"line")") == std::string_view::npos) return false;
    constexpr std::string_view key = R"("text":")";
    const std::size_t start = message.find(key);
    if (start == std::string_view::npos) return false;
    const std::size_t end = message.find('"', start + key.size());
    if (end == std::string_view::npos) return false;
    *text = message.substr(start + key.size(), end - start - key.size());
    return true;
}

struct Tab {
    int fd = -1;
    std::string name;
    std::vector<char> input = std::vector<char>(kTabInput);
    std::size_t filled = 0;
    std::vector<std::string> heard;  // while logging in: every text message
};

}  // namespace

class TabLoadSession::State {
public:
    State(std::uint16_t web_port, std::uint16_t relay_port, const LoadSettings& settings,
          std::function<ProcessorTime()> gateway_time, std::function<bool()> gateway_alive)
        : web_port_(web_port), relay_(loopback(relay_port)), settings_(settings),
          gateway_time_(std::move(gateway_time)), gateway_alive_(std::move(gateway_alive)) {
        line_.resize(settings.payload);
    }
    ~State() {
        for (const Tab& tab : tabs_)
            if (tab.fd >= 0) ::close(tab.fd);
        if (sender_ >= 0) ::close(sender_);
        if (epoll_ >= 0) ::close(epoll_);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    bool start(std::string* error);
    ThroughputSlice push_slice();
    void measure_latency(double seconds, std::vector<double>* latencies_us);
    LoadTally tally() const;
    const std::string& trouble() const { return trouble_; }

private:
    enum class Phase { LoggingIn, Measuring };

    bool open_tab(std::size_t index, std::string* error);
    bool log_in(std::size_t index, std::string* error);
    bool send_to_tab(Tab& tab, const std::string& bytes);
    bool wait_for_message(std::size_t index, const std::function<bool(const nlohmann::json&)>& wanted,
                          const char* what, std::string* error);
    std::size_t pump(int timeout_ms);
    std::size_t read_tab(std::size_t index);
    std::size_t take_frames(std::size_t index, std::int64_t read_ns);
    void on_message(std::size_t index, std::string_view message, std::int64_t read_ns);
    void tab_ended(std::size_t index, const std::string& why);
    void send_line();
    void advance(Clock::time_point now);
    void drain();
    void discard_until_quiet(int quiet_ms);

    const std::uint16_t web_port_;
    const sockaddr_in relay_;
    const LoadSettings settings_;
    const std::function<ProcessorTime()> gateway_time_;
    const std::function<bool()> gateway_alive_;
    int epoll_ = -1;
    int sender_ = -1;
    std::vector<Tab> tabs_;
    std::vector<char> line_;
    std::string trouble_;
    Phase phase_ = Phase::LoggingIn;

    // Per line: copies that arrived, and which tabs had one (a bit each).
    std::size_t words_per_line_ = 0;
    std::vector<std::uint16_t> copies_;
    std::vector<std::uint64_t> seen_;
    std::vector<std::int64_t> sent_ns_;
    std::int64_t sent_ = 0;
    std::int64_t floor_ = 0;  // first line not yet everywhere and not given up
    std::int64_t slice_end_ = 0;
    Clock::time_point last_progress_;
    std::int64_t deliveries_ = 0;
    std::int64_t completed_ = 0;
    std::int64_t duplicates_ = 0;
    std::int64_t malformed_ = 0;

    bool timing_ = false;
    std::int64_t timed_from_ = 0;
    std::vector<double>* latencies_us_ = nullptr;
};

bool TabLoadSession::State::start(std::string* error) {
    if (settings_.payload < kLineHeader || settings_.payload > kMaxDatagram) {
        *error = "payload must be " + std::to_string(kLineHeader) + " to " + std::to_string(kMaxDatagram) + " bytes";
        return false;
    }
    if (settings_.receivers < 1 || settings_.receivers > kMaxParticipants || settings_.window < 1) {
        *error = "need 1 to " + std::to_string(kMaxParticipants) + " tabs and a window of at least one line";
        return false;
    }
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    sender_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (epoll_ < 0 || sender_ < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    tabs_.resize(static_cast<std::size_t>(settings_.receivers));
    words_per_line_ = (tabs_.size() + 63) / 64;
    for (std::size_t i = 0; i < tabs_.size(); ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "wb%03zu", i);
        tabs_[i].name = name;
        if (!open_tab(i, error) || !log_in(i, error)) return false;
    }
    // Entry notices of the later logins are not lines of ours.
    discard_until_quiet(100);
    for (Tab& tab : tabs_) tab.heard.clear();
    phase_ = Phase::Measuring;
    return true;
}

bool TabLoadSession::State::open_tab(std::size_t index, std::string* error) {
    Tab& tab = tabs_[index];
    const sockaddr_in gateway = loopback(web_port_);
    // The first tab also waits for the gateway to come up.
    const auto give_up = Clock::now() + kLoginWait;
    for (;;) {
        tab.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (tab.fd < 0) {
            *error = std::string("tab socket: ") + std::strerror(errno);
            return false;
        }
        if (::connect(tab.fd, reinterpret_cast<const sockaddr*>(&gateway), sizeof gateway) == 0) break;
        const int failure = errno;
        ::close(tab.fd);
        tab.fd = -1;
        if (index > 0 || failure != ECONNREFUSED || Clock::now() > give_up || !gateway_alive_()) {
            *error = "tab " + std::to_string(index) + " cannot connect to the gateway: " + std::strerror(failure);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int on = 1;
    ::setsockopt(tab.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::string host = "127.0.0.1:" + std::to_string(web_port_);
    const std::string request = "GET /ws HTTP/1.1\r\nHost: " + host +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                                "Origin: http://" + host + "\r\n\r\n";
    if (::send(tab.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        *error = "tab " + std::to_string(index) + ": the upgrade request did not go out";
        return false;
    }
    // The answer's head; whatever follows it is the first frames.
    const auto deadline = Clock::now() + kLoginWait;
    std::string_view head;
    while (head.empty()) {
        pollfd entry{tab.fd, POLLIN, 0};
        if (Clock::now() > deadline || ::poll(&entry, 1, 100) < 0) break;
        const ssize_t got = ::recv(tab.fd, tab.input.data() + tab.filled, tab.input.size() - tab.filled, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN)) break;
        if (got > 0) tab.filled += static_cast<std::size_t>(got);
        const std::string_view received(tab.input.data(), tab.filled);
        const std::size_t end = received.find("\r\n\r\n");
        if (end != std::string_view::npos) head = received.substr(0, end + 4);
    }
    if (head.substr(0, 13) != "HTTP/1.1 101 ") {
        *error = "tab " + std::to_string(index) + ": the gateway did not take the WebSocket upgrade: " +
                 std::string(head.substr(0, head.find('\r')));
        return false;
    }
    const std::size_t consumed = head.size();
    std::memmove(tab.input.data(), tab.input.data() + consumed, tab.filled - consumed);
    tab.filled -= consumed;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = index;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, tab.fd, &event) != 0) {
        *error = std::string("epoll: ") + std::strerror(errno);
        return false;
    }
    take_frames(index, now_ns());
    return true;
}

bool TabLoadSession::State::send_to_tab(Tab& tab, const std::string& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (done < bytes.size() && Clock::now() < deadline) {
        const ssize_t sent = ::send(tab.fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EAGAIN) {
            pollfd entry{tab.fd, POLLOUT, 0};
            ::poll(&entry, 1, 10);
        } else {
            break;
        }
    }
    return done == bytes.size();
}

bool TabLoadSession::State::wait_for_message(std::size_t index,
                                             const std::function<bool(const nlohmann::json&)>& wanted,
                                             const char* what, std::string* error) {
    Tab& tab = tabs_[index];
    const auto give_up = Clock::now() + kLoginWait;
    std::size_t looked_at = 0;
    while (Clock::now() < give_up && trouble_.empty()) {
        for (; looked_at < tab.heard.size(); ++looked_at) {
            const nlohmann::json message = nlohmann::json::parse(tab.heard[looked_at], nullptr, false);
            if (!message.is_object()) continue;
            if (message.value("type", "") == "line" && message.value("text", "") == kCapacityRefusalUtf8) {
                *error = "the relay refused tab " + std::to_string(index) + " (full)";
                return false;
            }
            if (message.value("type", "") == "notice") {
                *error = "tab " + std::to_string(index) + " was told " + tab.heard[looked_at];
                return false;
            }
            if (wanted(message)) return true;
        }
        pump(50);
    }
    *error = "tab " + std::to_string(index) + ": " + (trouble_.empty() ? std::string("no ") + what : trouble_);
    return false;
}

bool TabLoadSession::State::log_in(std::size_t index, std::string* error) {
    Tab& tab = tabs_[index];
    const std::string join = nlohmann::json{{"type", "join"}, {"name", tab.name}}.dump();
    if (!send_to_tab(tab, client_frame(kText, join))) {
        *error = "tab " + std::to_string(index) + ": the join did not go out";
        return false;
    }
    if (!wait_for_message(
            index, [](const nlohmann::json& m) { return m.value("type", "") == "state" && m.value("state", "") == "joined"; },
            "answer to its join", error))
        return false;
    // The first line after a join is the login request.
    const std::string first = nlohmann::json{{"type", "send"}, {"text", "confwebbench"}}.dump();
    if (!send_to_tab(tab, client_frame(kText, first))) {
        *error = "tab " + std::to_string(index) + ": the login line did not go out";
        return false;
    }
    return wait_for_message(
        index,
        [](const nlohmann::json& m) { return m.value("type", "") == "line" && m.value("text", "") == kLoginAcceptedUtf8; },
        "login reply", error);
}

std::size_t TabLoadSession::State::pump(int timeout_ms) {
    epoll_event events[kMaxEvents];
    const int ready = ::epoll_wait(epoll_, events, kMaxEvents, timeout_ms);
    std::size_t frames = 0;
    for (int i = 0; i < ready; ++i) frames += read_tab(static_cast<std::size_t>(events[i].data.u64));
    return frames;
}

std::size_t TabLoadSession::State::read_tab(std::size_t index) {
    Tab& tab = tabs_[index];
    std::size_t frames = 0;
    for (int reads = 0; reads < kMaxReadsPerReadiness && tab.fd >= 0; ++reads) {
        const std::size_t room = tab.input.size() - tab.filled;
        const ssize_t got = ::recv(tab.fd, tab.input.data() + tab.filled, room, MSG_DONTWAIT);
        if (got == 0) {
            tab_ended(index, "the gateway closed the connection");
            break;
        }
        if (got < 0) {
            if (errno != EAGAIN && errno != EINTR) tab_ended(index, std::string("receive: ") + std::strerror(errno));
            break;
        }
        tab.filled += static_cast<std::size_t>(got);
        frames += take_frames(index, now_ns());
        // Less than a full buffer: nothing more was waiting. Level-triggered
        // readiness tells of anything that came since.
        if (static_cast<std::size_t>(got) < room) break;
    }
    return frames;
}

std::size_t TabLoadSession::State::take_frames(std::size_t index, std::int64_t read_ns) {
    Tab& tab = tabs_[index];
    std::size_t at = 0, frames = 0;
    while (tab.fd >= 0 && tab.filled - at >= 2) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(tab.input.data() + at);
        const std::size_t available = tab.filled - at;
        const bool final_frame = (bytes[0] & 0x80) != 0;
        const unsigned opcode = bytes[0] & 0x0Fu;
        std::uint64_t length = bytes[1] & 0x7Fu;
        std::size_t header = 2;
        if (length == 126) {
            if (available < 4) break;
            length = std::uint64_t{bytes[2]} << 8 | bytes[3];
            header = 4;
        } else if (length == 127) {
            if (available < 10) break;
            length = 0;
            for (std::size_t i = 2; i < 10; ++i) length = length << 8 | bytes[i];
            header = 10;
        }
        // A server never masks, uses no extension bits here, and sends
        // nothing this large.
        if ((bytes[0] & 0x70) != 0 || (bytes[1] & 0x80) != 0 || length > kMaxFrame) {
            ++malformed_;
            tab_ended(index, "a frame no gateway of ours sends");
            return frames;
        }
        if (available - header < length) break;
        const std::string_view payload(tab.input.data() + at + header, static_cast<std::size_t>(length));
        at += header + static_cast<std::size_t>(length);
        ++frames;
        if (opcode == kText && final_frame) {
            on_message(index, payload, read_ns);
        } else if (opcode == kPing) {
            // The gateway pings a tab that has been silent for a while.
            send_to_tab(tab, client_frame(kPong, payload));
        } else if (opcode == kClose) {
            unsigned code = 0;
            if (payload.size() >= 2)
                code = static_cast<unsigned>(static_cast<unsigned char>(payload[0])) << 8 |
                       static_cast<unsigned char>(payload[1]);
            tab_ended(index, "the gateway closed the WebSocket (" + std::to_string(code) + " " +
                                 std::string(payload.substr(std::min<std::size_t>(2, payload.size()))) + ")");
        } else if (opcode != kPong) {
            ++malformed_;  // binary, or a message in fragments: not what the gateway sends
        }
    }
    if (tab.fd >= 0) {
        std::memmove(tab.input.data(), tab.input.data() + at, tab.filled - at);
        tab.filled -= at;
    }
    return frames;
}

void TabLoadSession::State::on_message(std::size_t index, std::string_view message, std::int64_t read_ns) {
    if (phase_ == Phase::LoggingIn) {
        tabs_[index].heard.emplace_back(message);
        return;
    }
    std::string_view text;
    int sender = 0;
    std::int64_t number = 0;
    if (!line_text(message, &text) || !parse_load_line(text.data(), text.size(), settings_.payload, &sender, &number) ||
        sender != 0 || number >= sent_) {
        ++malformed_;
        return;
    }
    const std::size_t line = static_cast<std::size_t>(number);
    std::uint64_t& word = seen_[line * words_per_line_ + index / 64];
    const std::uint64_t bit = std::uint64_t{1} << (index % 64);
    if ((word & bit) != 0) {
        ++duplicates_;
        return;
    }
    word |= bit;
    ++deliveries_;
    if (++copies_[line] != tabs_.size()) return;
    ++completed_;
    if (timing_ && number >= timed_from_) latencies_us_->push_back(static_cast<double>(read_ns - sent_ns_[line]) / 1e3);
}

void TabLoadSession::State::tab_ended(std::size_t index, const std::string& why) {
    Tab& tab = tabs_[index];
    if (trouble_.empty()) trouble_ = "tab " + tab.name + ": " + why;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, tab.fd, nullptr);
    ::close(tab.fd);
    tab.fd = -1;
}

void TabLoadSession::State::discard_until_quiet(int quiet_ms) {
    const auto give_up = Clock::now() + kMaxDrain;
    auto last = Clock::now();
    while (Clock::now() - last < std::chrono::milliseconds(quiet_ms) && Clock::now() < give_up)
        if (pump(10) > 0) last = Clock::now();
}

void TabLoadSession::State::send_line() {
    compose_load_line(line_.data(), line_.size(), 0, sent_);
    sent_ns_.push_back(now_ns());
    copies_.push_back(0);
    seen_.resize(seen_.size() + words_per_line_);
    ++sent_;
    ::sendto(sender_, line_.data(), line_.size(), 0, reinterpret_cast<const sockaddr*>(&relay_), sizeof relay_);
}

void TabLoadSession::State::advance(Clock::time_point now) {
    auto everywhere = [&](std::int64_t line) { return copies_[static_cast<std::size_t>(line)] >= tabs_.size(); };
    while (floor_ < sent_) {
        if (everywhere(floor_)) {
            ++floor_;
            last_progress_ = now;
            continue;
        }
        // As in LoadSession: each tab hears the lines in order, so a line
        // overtaken by later ones that are everywhere is lost; failing that,
        // a stall says so. It counts as lost at the end unless it turns up.
        const std::int64_t witness = floor_ + kReorderMargin;
        const bool overtaken = witness < sent_ && everywhere(witness);
        if (!overtaken && now - last_progress_ <= std::chrono::milliseconds(settings_.stall_ms)) break;
        ++floor_;
        last_progress_ = now;
    }
}

void TabLoadSession::State::drain() {
    const auto give_up = Clock::now() + kMaxDrain;
    auto last_frame = Clock::now();
    while (trouble_.empty() && Clock::now() < give_up) {
        const std::size_t got = pump(1);
        const auto now = Clock::now();
        advance(now);
        if (completed_ == sent_) return;
        if (got > 0) last_frame = now;
        else if (now - last_frame > std::chrono::milliseconds(kQuietMs)) return;
    }
}

ThroughputSlice TabLoadSession::State::push_slice() {
    ThroughputSlice slice;
    const std::int64_t deliveries_before = deliveries_, completed_before = completed_;
    const ProcessorTime gateway_before = gateway_time_();
    const double bench_before = process_cpu_seconds();
    const auto start = Clock::now();
    const auto limit = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(settings_.slice_limit_seconds));
    last_progress_ = start;
    slice_end_ = sent_ + settings_.slice_lines;
    for (;;) {
        while (sent_ - floor_ < settings_.window && sent_ < slice_end_) send_line();
        const std::size_t got = pump(0);
        const auto now = Clock::now();
        advance(now);
        if (floor_ >= slice_end_) {
            slice.complete = true;
            break;
        }
        if (now > limit || !trouble_.empty() || !gateway_alive_()) break;
        // Less than a line's worth: let messages gather rather than spend the
        // core on reads of a frame each. The window keeps the gateway busy.
        if (got < tabs_.size()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    slice.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const ProcessorTime gateway_after = gateway_time_();
    slice.deliveries = deliveries_ - deliveries_before;
    slice.lines = completed_ - completed_before;
    slice.bench_seconds = process_cpu_seconds() - bench_before;
    if (gateway_before.running_ns >= 0 && gateway_after.running_ns >= gateway_before.running_ns)
        slice.relay_running_seconds = static_cast<double>(gateway_after.running_ns - gateway_before.running_ns) / 1e9;
    if (gateway_before.waiting_ns >= 0 && gateway_after.waiting_ns >= gateway_before.waiting_ns)
        slice.relay_waiting_seconds = static_cast<double>(gateway_after.waiting_ns - gateway_before.waiting_ns) / 1e9;
    // Stragglers of lines given up must not count in the next slice.
    if (!slice.complete || completed_ != sent_) drain();
    return slice;
}

void TabLoadSession::State::measure_latency(double seconds, std::vector<double>* latencies_us) {
    timing_ = true;
    timed_from_ = sent_;
    latencies_us_ = latencies_us;
    const auto spacing = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / std::max(settings_.latency_rate, 1.0)));
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto next = start;
    last_progress_ = start;
    for (auto now = start; now < end && trouble_.empty(); now = Clock::now()) {
        if (now >= next) {
            send_line();
            next += spacing;
        }
        // Asleep in the wait until the next send: a copy is read as soon as
        // it arrives.
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
        pump(static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 100)));
        advance(Clock::now());
    }
    drain();
    timing_ = false;
    latencies_us_ = nullptr;
}

LoadTally TabLoadSession::State::tally() const {
    LoadTally tally;
    tally.lines_sent = sent_;
    for (const std::uint16_t copies : copies_)
        if (copies < tabs_.size()) ++tally.lines_lost;
    tally.duplicates = duplicates_;
    tally.malformed = malformed_;
    return tally;
}

TabLoadSession::TabLoadSession(std::uint16_t web_port, std::uint16_t relay_port, const LoadSettings& settings,
                               std::function<ProcessorTime()> gateway_time, std::function<bool()> gateway_alive)
    : state_(std::make_unique<State>(web_port, relay_port, settings, std::move(gateway_time),
                                     std::move(gateway_alive))) {}

TabLoadSession::~TabLoadSession() = default;

bool TabLoadSession::start(std::string* error) { return state_->start(error); }
ThroughputSlice TabLoadSession::push_slice() { return state_->push_slice(); }
void TabLoadSession::measure_latency(double seconds, std::vector<double>* latencies_us) {
    state_->measure_latency(seconds, latencies_us);
}
LoadTally TabLoadSession::tally() const { return state_->tally(); }
std::string TabLoadSession::trouble() const { return state_->trouble(); }

}  // namespace conf::bench
