// The batched path against the per-datagram path, on real sockets.
//
// Every participant socket asks the kernel to stamp each datagram as it is
// queued. On loopback a send queues its datagram before the call returns, so
// sorting everything all participants received by those stamps gives the
// relay's send order across destinations: the sequence of (destination,
// bytes) that both paths must agree on.
#include "batched_relay_linux.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback_peer.h"
#include "protocol.h"
#include "relay_server.h"
#include "ui_texts.h"
#include "udp.h"

namespace conf {
namespace {

using Clock = std::chrono::steady_clock;

class RecordingView final : public RelayView {
public:
    void show_report(const char* text, const char*, ReportOwner) override { reports.emplace_back(text); }
    void show_count(std::uint32_t count) override { counts.push_back(count); }
    bool register_read_events(net::SocketHandle socket) override { return net::set_nonblocking(socket); }

    std::vector<std::string> reports;
    std::vector<std::uint32_t> counts;
};

// A participant whose received datagrams carry the time they were queued.
class StampedPeer {
public:
    StampedPeer() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        EXPECT_GE(fd_, 0);
        const int on = 1;
        EXPECT_EQ(::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
        const int queue_bytes = 8 << 20;
        if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &queue_bytes, sizeof queue_bytes) != 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
        const net::SocketHandle handle = static_cast<net::SocketHandle>(fd_);
        EXPECT_TRUE(net::bind_loopback_ephemeral(handle));
        EXPECT_TRUE(net::local_address(handle, &address_));
    }
    ~StampedPeer() { ::close(fd_); }
    StampedPeer(const StampedPeer&) = delete;
    StampedPeer& operator=(const StampedPeer&) = delete;

    const net::SocketAddress& address() const { return address_; }

    void send(std::string_view bytes, const net::SocketAddress& to) const {
        EXPECT_EQ(net::send_to(static_cast<net::SocketHandle>(fd_), bytes.data(), bytes.size(), to),
                  net::SendStatus::Sent);
    }

    struct Stamped {
        std::int64_t queued_ns;
        std::string bytes;
    };

    // Everything queued now, oldest first.
    std::vector<Stamped> take_all() const {
        std::vector<Stamped> taken;
        for (;;) {
            char bytes[65536];
            iovec vector{bytes, sizeof bytes};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr message{};
            message.msg_iov = &vector;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t length = ::recvmsg(fd_, &message, 0);
            if (length < 0) break;
            std::int64_t stamp = -1;
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
                 header = CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec when;
                    std::memcpy(&when, CMSG_DATA(header), sizeof when);
                    stamp = std::int64_t{when.tv_sec} * 1000000000 + when.tv_nsec;
                }
            }
            EXPECT_GE(stamp, 0) << "every datagram carries its queueing time";
            taken.push_back({stamp, std::string(bytes, static_cast<std::size_t>(length))});
        }
        return taken;
    }

private:
    int fd_ = -1;
    net::SocketAddress address_;
};

struct Delivery {
    int destination;
    std::string bytes;
    bool operator==(const Delivery& other) const {
        return destination == other.destination && bytes == other.bytes;
    }
};

std::ostream& operator<<(std::ostream& out, const Delivery& delivery) {
    out << "to participant " << delivery.destination << ": \"";
    const std::string_view shown = std::string_view(delivery.bytes).substr(0, 40);
    for (const char c : shown) {
        if (c >= 0x20 && c < 0x7F) out << c;
        else out << '.';
    }
    return out << (delivery.bytes.size() > shown.size() ? "...\"" : "\"") << " (" << delivery.bytes.size()
               << " bytes)";
}

// Where the first difference is, with a little context; a plain EXPECT_EQ
// would print two sequences of ten thousand datagrams.
::testing::AssertionResult same_sequence(const std::vector<Delivery>& expected,
                                         const std::vector<Delivery>& actual) {
    const std::size_t common = std::min(expected.size(), actual.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (expected[i] == actual[i]) continue;
        return ::testing::AssertionFailure() << "datagram " << i << " of " << expected.size() << " differs:\n  expected "
                                             << expected[i] << "\n  actual   " << actual[i];
    }
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << "expected " << expected.size() << " datagrams, got " << actual.size()
                                             << (actual.size() > common ? "; first extra " : "; first missing ")
                                             << (actual.size() > common ? actual[common] : expected[common]);
    return ::testing::AssertionSuccess();
}

// The participants of a recorded scenario: indexes 0..100 log in (the last
// one is refused at first), the stranger only talks.
constexpr int kParticipants = kMaxParticipants + 1;
constexpr int kStranger = kParticipants;
constexpr int kNewcomer = kMaxParticipants;

struct Step {
    int from;
    std::string bytes;
};

std::string name_of(int index) {
    char name[8];
    std::snprintf(name, sizeof name, "p%02d", index);
    return name;
}

std::string entry_notice_of(std::string_view name) { return std::string(compose_entry_notice(name).view()); }

std::vector<Step> recorded_scenario() {
    std::vector<Step> steps;
    for (int i = 0; i < kMaxParticipants; ++i)
        steps.push_back({i, std::string(compose_login_request(name_of(i), "hello from " + name_of(i)).view())});
    steps.push_back({kStranger, "stranger: lines need no login"});
    steps.push_back({1, "p01: a plain line"});
    steps.push_back({1, ""});
    steps.push_back({2, std::string(kMaxDatagram, 'x')});
    steps.push_back({2, std::string(kMaxDatagram + 1, 'y')});
    steps.push_back({3, std::string(1500, 'z')});
    steps.push_back({4, std::string("cut here\0and not sent", 21)});
    steps.push_back({kNewcomer, std::string(compose_login_request("p100", "let me in").view())});
    steps.push_back({5, std::string(compose_leave_notice(name_of(5)).view())});
    steps.push_back({6, std::string(compose_leave_notice("nobody").view())});
    steps.push_back({9, "p09: right before the newcomer"});
    steps.push_back({kNewcomer, std::string(compose_login_request("p100", "now there is room").view())});
    steps.push_back({10, "p10: right after the newcomer"});
    steps.push_back({kNewcomer, std::string(compose_login_request("p100", "once more").view())});
    steps.push_back({0, std::string(compose_leave_notice(name_of(0)).view())});
    steps.push_back({11, std::string(compose_login_request(name_of(11), "twice").view())});
    steps.push_back({12, "!"});
    steps.push_back({12, "p12: the last line"});
    return steps;
}

// What a sendmmsg stand-in does; plain data because the stand-in is a plain
// function.
struct SendScript {
    unsigned most_per_call = BatchedRelay::kSendBatch;
    bool refuse_every_other_call = false;
    bool always_full = false;
    std::uint16_t refused_port_be = 0;
    // Raises this flag on the given call, as a signal would.
    volatile std::sig_atomic_t* stop_on_call_flag = nullptr;
    int stop_on_call = 0;
    int calls = 0;
};
SendScript g_script;

int scripted_send_many(int fd, mmsghdr* messages, unsigned count, int flags) {
    const int call = g_script.calls++;
    if (g_script.stop_on_call_flag != nullptr && call == g_script.stop_on_call) *g_script.stop_on_call_flag = 1;
    if (g_script.always_full || (g_script.refuse_every_other_call && call % 2 == 0)) {
        errno = EAGAIN;
        return -1;
    }
    unsigned take = std::min(count, g_script.most_per_call);
    for (unsigned i = 0; i < take; ++i) {
        const auto* to = static_cast<const sockaddr_in*>(messages[i].msg_hdr.msg_name);
        if (g_script.refused_port_be != 0 && to->sin_port == g_script.refused_port_be) {
            if (i == 0) {
                errno = EPERM;
                return -1;
            }
            take = i;
            break;
        }
    }
    return ::sendmmsg(fd, messages, take, flags);
}

class BatchedPath : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        peers_ = new std::vector<std::unique_ptr<StampedPeer>>;
        for (int i = 0; i <= kStranger; ++i) peers_->push_back(std::make_unique<StampedPeer>());
    }
    static void TearDownTestSuite() {
        delete peers_;
        peers_ = nullptr;
    }

    void SetUp() override {
        g_script = SendScript{};
        for (const auto& peer : *peers_) peer->take_all();
        wait_for_queueing_stamps();
    }

    // The kernel switches stamping on for the whole system a moment after
    // the first socket asks; until then a datagram is stamped when it is
    // read, which says nothing about the send order.
    void wait_for_queueing_stamps() {
        const StampedPeer& probe = *(*peers_)[0];
        const auto give_up = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < give_up) {
            probe.send("probe", probe.address());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            timespec now;
            ::clock_gettime(CLOCK_REALTIME, &now);
            const std::vector<StampedPeer::Stamped> got = probe.take_all();
            const std::int64_t now_ns = std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
            if (got.size() == 1 && now_ns - got[0].queued_ns >= 15000000) return;
        }
        FAIL() << "datagrams are not stamped when they are queued";
    }

    // A fresh relay for each run, so that both paths start from an empty table.
    struct Run {
        RecordingView view;
        RelayServer relay{view};
        net::SocketAddress address;
    };

    std::unique_ptr<Run> start_relay() {
        auto run = std::make_unique<Run>();
        const std::uint16_t port = conf::testing::unused_loopback_port();
        EXPECT_TRUE(run->relay.start(port));
        net::set_buffer_sizes(run->relay.socket(), 8 << 20, 4 << 20);
        run->address = net::loopback_address(port);
        return run;
    }

    // The whole scenario arrives before the relay looks, so that the batched
    // path gets it in large batches.
    void send_scenario(const Run& run, const std::vector<Step>& steps) {
        for (const Step& step : steps) (*peers_)[static_cast<std::size_t>(step.from)]->send(step.bytes, run.address);
    }

    static void serve_per_datagram(Run& run) {
        while (run.relay.socket_open() && net::wait_readable(run.relay.socket(), 50) == net::WaitStatus::Readable)
            run.relay.on_socket_event(kReadEvent);
    }

    static void serve_batched(Run& run, BatchedRelay& batched) {
        while (run.relay.socket_open() && net::wait_readable(run.relay.socket(), 50) == net::WaitStatus::Readable)
            ASSERT_EQ(batched.drain(), BatchedRelay::DrainResult::Idle);
    }

    // Everything the participants received, in the order it was sent.
    std::vector<Delivery> deliveries() {
        struct Stamped {
            std::int64_t queued_ns;
            Delivery delivery;
        };
        std::vector<Stamped> all;
        for (std::size_t i = 0; i < peers_->size(); ++i) {
            for (StampedPeer::Stamped& got : (*peers_)[i]->take_all())
                all.push_back({got.queued_ns, {static_cast<int>(i), std::move(got.bytes)}});
        }
        std::stable_sort(all.begin(), all.end(),
                         [](const Stamped& a, const Stamped& b) { return a.queued_ns < b.queued_ns; });
        for (std::size_t i = 1; i < all.size(); ++i) {
            EXPECT_LT(all[i - 1].queued_ns, all[i].queued_ns)
                << "two datagrams queued at the same instant leave their order open";
        }
        std::vector<Delivery> ordered;
        ordered.reserve(all.size());
        for (Stamped& stamped : all) ordered.push_back(std::move(stamped.delivery));
        return ordered;
    }

    std::vector<Delivery> per_datagram_reference(const std::vector<Step>& steps) {
        std::unique_ptr<Run> run = start_relay();
        send_scenario(*run, steps);
        serve_per_datagram(*run);
        run->relay.stop();
        return deliveries();
    }

    static std::vector<std::string> received_by(const std::vector<Delivery>& sequence, int participant) {
        std::vector<std::string> received;
        for (const Delivery& delivery : sequence)
            if (delivery.destination == participant) received.push_back(delivery.bytes);
        return received;
    }

    static std::vector<std::unique_ptr<StampedPeer>>* peers_;
};

std::vector<std::unique_ptr<StampedPeer>>* BatchedPath::peers_ = nullptr;

TEST_F(BatchedPath, SendsWhatThePerDatagramPathSendsInTheSameOrder) {
    const std::vector<Step> steps = recorded_scenario();
    const std::vector<Delivery> reference = per_datagram_reference(steps);

    std::unique_ptr<Run> run = start_relay();
    BatchedRelay batched(run->relay);
    send_scenario(*run, steps);
    serve_batched(*run, batched);
    run->relay.stop();
    const std::vector<Delivery> actual = deliveries();

    EXPECT_TRUE(same_sequence(reference, actual));
    EXPECT_TRUE(run->view.reports.empty());

    // The scenario exercised what it is meant to.
    const std::vector<std::string> newcomer = received_by(reference, kNewcomer);
    ASSERT_GE(newcomer.size(), 3u);
    EXPECT_EQ(newcomer[0], text::kCapacityRefusal) << "the 101st login is refused";
    EXPECT_EQ(newcomer[1], text::kLoginAccepted) << "and accepted once a slot is free";
    EXPECT_EQ(std::count(newcomer.begin(), newcomer.end(), "p09: right before the newcomer"), 0)
        << "a line that arrived before the login is not sent to the newcomer";
    EXPECT_EQ(std::count(newcomer.begin(), newcomer.end(), "p10: right after the newcomer"), 1);
    for (const Delivery& delivery : reference) ASSERT_LE(delivery.bytes.size(), kMaxDatagram);
    EXPECT_EQ(received_by(reference, 7).back(), "p12: the last line");

    const BatchedRelayCounters& counters = batched.counters();
    EXPECT_EQ(counters.datagrams_received, steps.size());
    EXPECT_EQ(counters.over_long_dropped, 2u);
    EXPECT_EQ(counters.datagrams_sent, reference.size());
    EXPECT_EQ(counters.sends_abandoned + counters.sends_failed, 0u);
    EXPECT_LE(counters.receive_calls, steps.size() / 8) << "the queue is taken in batches";
    EXPECT_GE(counters.datagrams_sent, counters.send_calls * 100) << "and sent in batches";
}

TEST_F(BatchedPath, AFullRoomsBroadcastLeavesBeforeTheNextDatagramIsHandled) {
    std::unique_ptr<Run> run = start_relay();
    {
        BatchedRelay logins(run->relay);
        for (int i = 0; i < kMaxParticipants; ++i)
            (*peers_)[static_cast<std::size_t>(i)]->send(compose_login_request(name_of(i), "hi").view(), run->address);
        serve_batched(*run, logins);
        deliveries();
    }
    ASSERT_EQ(run->relay.participant_count(), static_cast<std::uint32_t>(kMaxParticipants));

    // Eight lines wait together, so that one receive takes them all; each
    // must still leave in a call of its own, not after the last is handled.
    BatchedRelay batched(run->relay);
    for (int line = 0; line < 8; ++line) (*peers_)[kStranger]->send("line " + std::to_string(line), run->address);
    serve_batched(*run, batched);
    run->relay.stop();

    EXPECT_EQ(deliveries().size(), 800u);
    EXPECT_EQ(batched.counters().datagrams_received, 8u);
    EXPECT_LE(batched.counters().receive_calls, 3u) << "the lines were taken together";
    EXPECT_EQ(batched.counters().send_calls, 8u) << "one call per broadcast";
}

// Keeps what the room heard until the relay says its datagram's sends have
// left, and checks then that they have: the room's queues hold every text
// kept. What it writes then is one datagram's, never more.
class HoldingObserver final : public RelayObserver {
public:
    explicit HoldingObserver(std::vector<const StampedPeer*> room) : room_(std::move(room)) {}

    bool on_heard(HeardKind, std::string_view text, const net::SocketAddress&, const char*, const char*) override {
        held_.emplace_back(text);
        return true;
    }
    void on_sends_left() override {
        for (const StampedPeer* member : room_) {
            std::vector<std::string> arrived;
            for (StampedPeer::Stamped& got : member->take_all()) arrived.push_back(std::move(got.bytes));
            EXPECT_EQ(arrived, held_) << "the sends left before the record was written";
        }
        written.push_back(std::move(held_));
        held_.clear();
    }
    void on_table_changed() override {}

    std::vector<std::vector<std::string>> written;

private:
    std::vector<const StampedPeer*> room_;
    std::vector<std::string> held_;
};

TEST_F(BatchedPath, AnObserversRecordsWaitForTheirDatagramsSendsAndNoLonger) {
    constexpr int kRoom = 8;
    std::vector<std::string> said;
    for (int line = 0; line < 6; ++line) said.push_back("line " + std::to_string(line));
    said.insert(said.begin() + 3, std::string(compose_login_request("late", "hi").view()));
    const std::vector<std::vector<std::string>> written_per_datagram{
        {"line 0"}, {"line 1"}, {"line 2"}, {entry_notice_of("late"), "late :hi"}, {"line 3"}, {"line 4"}, {"line 5"}};

    for (const bool batched_path : {false, true}) {
        SCOPED_TRACE(batched_path ? "batched" : "per datagram");
        std::unique_ptr<Run> run = start_relay();
        BatchedRelay batched(run->relay);
        std::vector<const StampedPeer*> room;
        for (int i = 0; i < kRoom; ++i) {
            room.push_back((*peers_)[static_cast<std::size_t>(i)].get());
            room.back()->send(compose_login_request(name_of(i), "hi").view(), run->address);
        }
        serve_per_datagram(*run);
        deliveries();

        HoldingObserver observer(room);
        run->relay.set_observer(&observer);
        // They wait together, so that the batched path takes them in one go.
        for (const std::string& datagram : said) (*peers_)[kStranger]->send(datagram, run->address);
        if (batched_path) serve_batched(*run, batched);
        else serve_per_datagram(*run);
        run->relay.stop();

        EXPECT_EQ(observer.written, written_per_datagram);
        if (batched_path) {
            EXPECT_LE(batched.counters().receive_calls, 3u) << "the datagrams were taken together";
        }
    }
}

// Notes when the relay asks for the table to be put on file, on the clock
// the peers' arrival stamps use.
class SavingObserver final : public RelayObserver {
public:
    bool on_heard(HeardKind, std::string_view, const net::SocketAddress&, const char*, const char*) override {
        return false;
    }
    void on_sends_left() override {}
    void on_table_changed() override {}
    void on_save_due() override {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        saved_ns.push_back(std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec);
    }
    std::vector<std::int64_t> saved_ns;
};

TEST_F(BatchedPath, ALoginIsAnsweredOnlyAfterItsPlaceWasSavedAndABatchSavesOnce) {
    constexpr int kLogins = 3;
    for (const bool batched_path : {false, true}) {
        SCOPED_TRACE(batched_path ? "batched" : "per datagram");
        std::unique_ptr<Run> run = start_relay();
        BatchedRelay batched(run->relay);
        SavingObserver observer;
        run->relay.set_observer(&observer);
        run->relay.set_save_before_reply(true);
        for (int i = 0; i < kLogins; ++i)
            (*peers_)[static_cast<std::size_t>(i)]->send(compose_login_request(name_of(i), "hi").view(), run->address);
        if (batched_path) serve_batched(*run, batched);
        else serve_per_datagram(*run);
        run->relay.stop();

        ASSERT_EQ(observer.saved_ns.size(), batched_path ? 1u : std::size_t{kLogins});
        for (int i = 0; i < kLogins; ++i) {
            const std::vector<StampedPeer::Stamped> got = (*peers_)[static_cast<std::size_t>(i)]->take_all();
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.front().bytes, text::kLoginAccepted);
            const std::int64_t saved = observer.saved_ns[batched_path ? 0 : static_cast<std::size_t>(i)];
            EXPECT_GE(got.front().queued_ns, saved) << "participant " << i << " was answered before the save";
        }
        deliveries();
    }
}

TEST_F(BatchedPath, TheSameInputGivesTheSameCountsAndTable) {
    const std::vector<Step> steps = recorded_scenario();

    std::unique_ptr<Run> single = start_relay();
    send_scenario(*single, steps);
    serve_per_datagram(*single);
    deliveries();

    std::unique_ptr<Run> batch = start_relay();
    BatchedRelay batched(batch->relay);
    send_scenario(*batch, steps);
    serve_batched(*batch, batched);
    deliveries();

    EXPECT_EQ(batch->view.counts, single->view.counts);
    ASSERT_EQ(batch->relay.participant_count(), single->relay.participant_count());
    for (int slot = 0; slot < ParticipantTable::kSlots; ++slot) {
        const ParticipantSlot& a = single->relay.table().slot(slot);
        const ParticipantSlot& b = batch->relay.table().slot(slot);
        EXPECT_EQ(a.in_use, b.in_use) << "slot " << slot;
        EXPECT_TRUE(net::same_endpoint(a.address, b.address)) << "slot " << slot;
        EXPECT_STREQ(a.name, b.name) << "slot " << slot;
    }
}

TEST_F(BatchedPath, AFullSocketIsWaitedForAndNothingIsLostOrReordered) {
    const std::vector<Step> steps = recorded_scenario();
    const std::vector<Delivery> reference = per_datagram_reference(steps);

    g_script.refuse_every_other_call = true;
    g_script.most_per_call = 7;
    BatchedRelayOptions options;
    options.send_many = scripted_send_many;
    std::unique_ptr<Run> run = start_relay();
    BatchedRelay batched(run->relay, options);
    send_scenario(*run, steps);
    serve_batched(*run, batched);
    run->relay.stop();

    EXPECT_TRUE(same_sequence(reference, deliveries()));
    EXPECT_GT(batched.counters().sends_waited, 0u);
    EXPECT_EQ(batched.counters().sends_abandoned, 0u);
}

TEST_F(BatchedPath, ARefusedDatagramCostsOnlyItself) {
    const std::vector<Step> steps = recorded_scenario();
    std::vector<Delivery> expected = per_datagram_reference(steps);
    const int refused = 42;
    const std::size_t refused_count = received_by(expected, refused).size();
    expected.erase(std::remove_if(expected.begin(), expected.end(),
                                  [&](const Delivery& delivery) { return delivery.destination == refused; }),
                   expected.end());

    g_script.refused_port_be = (*peers_)[refused]->address().port_be;
    BatchedRelayOptions options;
    options.send_many = scripted_send_many;
    std::unique_ptr<Run> run = start_relay();
    BatchedRelay batched(run->relay, options);
    send_scenario(*run, steps);
    serve_batched(*run, batched);
    run->relay.stop();

    EXPECT_TRUE(same_sequence(expected, deliveries()));
    EXPECT_EQ(batched.counters().sends_failed, refused_count);
}

TEST_F(BatchedPath, ASocketThatStaysFullCannotHangTheRelay) {
    g_script.always_full = true;
    BatchedRelayOptions options;
    options.send_many = scripted_send_many;
    options.send_stall_limit_ms = 100;
    std::unique_ptr<Run> run = start_relay();
    BatchedRelay batched(run->relay, options);
    StampedPeer& alice = *(*peers_)[0];
    StampedPeer& bob = *(*peers_)[1];

    alice.send("!alice+hi", run->address);
    bob.send("!bob+hi", run->address);
    const auto began = Clock::now();
    serve_batched(*run, batched);
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(3));
    EXPECT_GT(batched.counters().sends_abandoned, 0u);
    EXPECT_TRUE(deliveries().empty());

    g_script.always_full = false;
    alice.send("alice: still there?", run->address);
    serve_batched(*run, batched);
    run->relay.stop();
    const std::vector<Delivery> after = deliveries();
    EXPECT_EQ(after, (std::vector<Delivery>{{0, "alice: still there?"}, {1, "alice: still there?"}}))
        << "both logins were handled even though their answers were lost";
}

TEST_F(BatchedPath, AStopEndsAWaitForRoom) {
    g_script.always_full = true;
    volatile std::sig_atomic_t stop = 0;
    BatchedRelayOptions options;
    options.send_many = scripted_send_many;
    options.send_stall_limit_ms = 60000;
    options.stop_requested = &stop;
    std::unique_ptr<Run> run = start_relay();
    BatchedRelay batched(run->relay, options);

    g_script.stop_on_call_flag = &stop;
    g_script.stop_on_call = 50;

    (*peers_)[0]->send("!alice+hi", run->address);
    (*peers_)[1]->send("!bob+hi", run->address);
    ASSERT_EQ(net::wait_readable(run->relay.socket(), 2000), net::WaitStatus::Readable);
    const auto began = Clock::now();
    const BatchedRelay::DrainResult result = batched.drain();
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(5));
    EXPECT_EQ(result, BatchedRelay::DrainResult::Stopped);
    EXPECT_EQ(batched.counters().sends_abandoned, 8u) << "both logins' answers, given up";
    EXPECT_EQ(run->relay.participant_count(), 2u);
}

TEST_F(BatchedPath, AReceiveFailureClosesAndReportsAsTheWindowWould) {
    std::unique_ptr<Run> run = start_relay();
    BatchedRelay batched(run->relay);
    // Put something that is not a socket where the relay's socket was; the
    // relay closes it in turn.
    const int not_a_socket = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(not_a_socket, 0);
    ASSERT_GE(::dup2(not_a_socket, static_cast<int>(run->relay.socket())), 0);
    ::close(not_a_socket);

    EXPECT_EQ(batched.drain(), BatchedRelay::DrainResult::Broken);
    EXPECT_FALSE(run->relay.socket_open());
    EXPECT_EQ(run->view.reports, std::vector<std::string>{ui::kReceiveFailed});
}

TEST(OutgoingBatch, SharesTheBytesOfABroadcastAndKeepsEveryDestination) {
    OutgoingBatch batch;
    const net::SocketAddress a = net::loopback_address(1001), b = net::loopback_address(1002);
    {
        const Line first("first");
        batch.send_datagram(a, first.view());
        batch.send_datagram(b, first.view());
    }
    {
        // Likely in the same place as `first`, with other bytes.
        const Line second("other");
        batch.send_datagram(a, second.view());
    }
    batch.send_datagram(b, "");
    ASSERT_EQ(batch.size(), 4u);
    EXPECT_EQ(batch.bytes(0), "first");
    EXPECT_EQ(batch.bytes(1), "first");
    EXPECT_EQ(batch.entry(0).offset, batch.entry(1).offset);
    EXPECT_EQ(batch.bytes(2), "other");
    EXPECT_EQ(batch.bytes(3), "");
    EXPECT_EQ(batch.entry(1).to.sin_port, b.port_be);
    EXPECT_EQ(batch.entry(2).to.sin_port, a.port_be);

    std::vector<mmsghdr> messages;
    std::vector<iovec> vectors;
    batch.prepare(&messages, &vectors);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(std::string_view(static_cast<const char*>(messages[2].msg_hdr.msg_iov->iov_base),
                               messages[2].msg_hdr.msg_iov->iov_len),
              "other");
    EXPECT_EQ(messages[3].msg_hdr.msg_iov->iov_len, 0u);
}

}  // namespace
}  // namespace conf
