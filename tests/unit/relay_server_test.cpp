#include "relay_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "loopback_peer.h"
#include "protocol.h"
#include "ui_texts.h"

namespace conf {
namespace {

using conf::testing::LoopbackPeer;

struct Report {
    std::string text;
    std::string caption;
    ReportOwner owner;
};

class FakeRelayView final : public RelayView {
public:
    void show_report(const char* text, const char* caption, ReportOwner owner) override {
        reports.push_back({text, caption, owner});
        // A modal box keeps dispatching socket events until it is closed.
        if (while_report_open) while_report_open();
    }
    void show_count(std::uint32_t count) override { counts.push_back(count); }
    bool register_read_events(net::SocketHandle socket) override {
        return !refuse_registration && net::set_nonblocking(socket);
    }

    std::vector<Report> reports;
    std::vector<std::uint32_t> counts;
    std::function<void()> while_report_open;
    bool refuse_registration = false;
};

std::string entry_notice(std::string_view name) { return std::string(compose_entry_notice(name).view()); }
std::string exit_notice(std::string_view name) { return std::string(compose_exit_notice(name).view()); }

class Relay : public ::testing::Test {
protected:
    void SetUp() override {
        relay_.initialise_networking();
        ASSERT_TRUE(view_.reports.empty());
        port_ = conf::testing::unused_loopback_port();
        ASSERT_TRUE(relay_.start(port_));
        server_ = net::loopback_address(port_);
    }
    void TearDown() override { relay_.stop(); }

    // Hands the relay one read event per waiting datagram, as the window's
    // message loop does, until nothing more arrives.
    void pump(int quiet_ms = 20) {
        while (relay_.socket_open() && net::wait_readable(relay_.socket(), quiet_ms) == net::WaitStatus::Readable)
            relay_.on_socket_event(kReadEvent);
    }

    void send(const LoopbackPeer& peer, std::string_view bytes) {
        peer.send(bytes, server_);
        pump();
    }

    // Logs a peer in and reads away what the login brings it.
    void login(const LoopbackPeer& peer, std::string_view name) {
        send(peer, compose_login_request(name, "hi").view());
        peer.drain(20);
    }

    FakeRelayView view_;
    RelayServer relay_{view_};
    std::uint16_t port_ = 0;
    net::SocketAddress server_;
};

TEST_F(Relay, ANewParticipantGetsTheReplyItsEntryNoticeAndItsFirstLineInOrder) {
    LoopbackPeer alice;
    send(alice, "!alice+hello there");
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{std::string(text::kLoginAccepted), entry_notice("alice"),
                                                        "alice :hello there"}));
    EXPECT_EQ(view_.counts, (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(relay_.participant_count(), 1u);
    EXPECT_TRUE(view_.reports.empty());
}

TEST_F(Relay, EveryParticipantHearsEntriesLinesAndExits) {
    LoopbackPeer alice, bob, stranger;
    login(alice, "alice");
    send(bob, "!bob+yo");
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{entry_notice("bob"), "bob :yo"}));
    bob.drain();

    send(stranger, "stranger: hello");
    send(stranger, "");
    const std::vector<std::string> relayed{"stranger: hello", ""};
    EXPECT_EQ(alice.drain(), relayed) << "any datagram is relayed, a zero-length one as zero-length";
    EXPECT_EQ(bob.drain(), relayed);
    EXPECT_TRUE(stranger.drain().empty()) << "the stranger never logged in";

    send(bob, "#bob");
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{exit_notice("bob")}));
    EXPECT_TRUE(bob.drain().empty()) << "the leaving participant is removed before the notice";
    EXPECT_EQ(view_.counts, (std::vector<std::uint32_t>{1, 2, 1}));
}

TEST_F(Relay, TheReplyGoesToTheSenderOfTheRequest) {
    LoopbackPeer alice, bob;
    login(alice, "alice");
    send(bob, "!alice+again");
    EXPECT_EQ(bob.drain().front(), text::kLoginAccepted);
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{entry_notice("alice"), "alice :again"}));
}

TEST_F(Relay, LoginRequestsWithoutANameOrTextAreIgnored) {
    LoopbackPeer alice, guest;
    login(alice, "alice");
    for (const char* request : {"!", "!+", "!++", "!nameonly", "!\x82+half a character"}) send(guest, request);
    EXPECT_TRUE(guest.drain().empty()) << "nothing answered";
    EXPECT_TRUE(alice.drain().empty()) << "nothing broadcast";
    EXPECT_EQ(relay_.participant_count(), 1u) << "nothing counted";
    EXPECT_EQ(relay_.table().in_use(), 1);
}

TEST_F(Relay, TheFirstLineStartsAfterThePlusThatEndsTheName) {
    LoopbackPeer alice;
    send(alice, "!++ab+cd");
    const std::vector<std::string> got = alice.drain();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], "ab :cd");
}

TEST_F(Relay, ALongNameIsCutAndItsLeaveNoticeStillMatches) {
    LoopbackPeer alice, bob;
    login(alice, "alice");
    std::string name;
    for (int i = 0; i < 20; ++i) name += "\x8A\xBF";  // 40 bytes of 漢
    send(bob, "!" + name + "+x");
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{entry_notice(name.substr(0, 30)), name.substr(0, 30) + " :x"}));
    EXPECT_EQ(std::string(relay_.table().slot(1).name), name.substr(0, 30));

    send(bob, "#" + name);
    EXPECT_EQ(relay_.participant_count(), 1u) << "the cut name matched the stored one";
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{exit_notice(name)}));
}

TEST_F(Relay, AnUnknownLeaveIsAnnouncedButTheCountNeverFallsBelowTheSlotsInUse) {
    LoopbackPeer alice, ghost;
    login(alice, "alice");
    view_.counts.clear();
    send(ghost, "#ghost");
    send(ghost, "#ghost");
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{exit_notice("ghost"), exit_notice("ghost")}));
    EXPECT_EQ(relay_.participant_count(), 1u);
    EXPECT_TRUE(view_.counts.empty()) << "the count did not change, so it is not shown again";

    send(alice, "#alice");
    send(alice, "#alice");
    EXPECT_EQ(relay_.participant_count(), 0u) << "never negative, never 4294967295";
    EXPECT_EQ(view_.counts, (std::vector<std::uint32_t>{0}));
}

TEST_F(Relay, ALoginTwiceTakesTwoSlotsAndTwoLeavesFreeBoth) {
    LoopbackPeer alice, bob;
    login(bob, "bob");
    login(alice, "alice");
    bob.drain();
    send(alice, "!alice+again");
    EXPECT_EQ(relay_.participant_count(), 3u);
    send(alice, "#alice");
    send(alice, "#alice");
    EXPECT_EQ(relay_.participant_count(), 1u);
    alice.drain();
    send(bob, "after");
    EXPECT_TRUE(alice.drain().empty()) << "alice left twice and hears nothing more";
}

TEST_F(Relay, MembersOnlyTakesLinesAndLeavesOnlyFromAnEndpointWithAPlace) {
    relay_.set_members_only(true);
    LoopbackPeer alice, bob, alice_other_port;
    login(alice, "alice");
    login(bob, "bob");
    alice.drain();

    // Same machine as alice, another port, alice's name: still no place.
    send(alice_other_port, "alice: forged");
    send(alice_other_port, "#alice");
    // bob holds a place, but his leave notice names nobody he could free.
    send(bob, "#nobody");
    EXPECT_TRUE(alice.drain().empty());
    EXPECT_TRUE(bob.drain().empty());
    EXPECT_EQ(relay_.participant_count(), 2u);
    EXPECT_EQ(relay_.members_only_drops().lines, 1u);
    EXPECT_EQ(relay_.members_only_drops().leave_notices, 2u);
    EXPECT_TRUE(net::same_endpoint(relay_.members_only_drops().last_sender, bob.address()));
    EXPECT_EQ(alice_other_port.drain(), (std::vector<std::string>{std::string(kNotAMemberReply)}))
        << "a sender without a place is told so, once for its two datagrams";

    send(alice_other_port, "!carol+hi");
    EXPECT_EQ(alice_other_port.drain().front(), text::kLoginAccepted) << "a login is answered from anyone";
    send(alice_other_port, "#carol");
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{entry_notice("carol"), "carol :hi", exit_notice("carol")}));
    EXPECT_EQ(relay_.participant_count(), 2u);
}

TEST_F(Relay, MembersOnlyALeaveNoticeFreesOnlyItsSendersOwnPlace) {
    relay_.set_members_only(true);
    // Both on 127.0.0.1, as participants behind one NAT or on one terminal
    // server are: mallory holds a place and names alice.
    LoopbackPeer alice, mallory;
    login(alice, "alice");
    login(mallory, "mallory");
    alice.drain();

    send(mallory, "#alice");
    EXPECT_EQ(relay_.participant_count(), 2u);
    EXPECT_EQ(relay_.members_only_drops().leave_notices, 1u);
    send(alice, "alice: still here");
    EXPECT_EQ(mallory.drain(), (std::vector<std::string>{"alice: still here"}))
        << "no exit announced, and alice is still heard";

    send(alice, "#alice");
    EXPECT_EQ(mallory.drain(), (std::vector<std::string>{exit_notice("alice")}));
    EXPECT_EQ(relay_.participant_count(), 1u);
}

TEST_F(Relay, TheHundredAndFirstLoginIsRefusedWithTheRefusalOnly) {
    std::vector<std::unique_ptr<LoopbackPeer>> peers;
    for (int i = 0; i < kMaxParticipants; ++i) {
        peers.push_back(std::make_unique<LoopbackPeer>());
        peers.back()->send(compose_login_request("p" + std::to_string(i), "hi").view(), server_);
        pump(20);
    }
    ASSERT_EQ(relay_.participant_count(), 100u);
    for (auto& peer : peers) peer->drain(5);

    LoopbackPeer late;
    send(late, "!late+hello");
    EXPECT_EQ(late.drain(), (std::vector<std::string>{std::string(text::kCapacityRefusal)}));
    EXPECT_EQ(relay_.participant_count(), 100u);
    EXPECT_TRUE(peers.front()->drain(20).empty()) << "nothing is broadcast for a refused login";

    // One leaves, and the late one gets in.
    send(*peers[41], "#p41");
    send(late, "!late+hello");
    EXPECT_EQ(late.drain().front(), text::kLoginAccepted);
    EXPECT_EQ(std::string(relay_.table().slot(41).name), "late");
    EXPECT_EQ(view_.counts.back(), 100u);
}

TEST_F(Relay, AnOverLongDatagramCostsOnlyItself) {
    LoopbackPeer alice, stranger;
    login(alice, "alice");
    stranger.send(std::string(kMaxDatagram + 1, 'x'), server_);
    stranger.send(std::string(kMaxDatagram, 'y'), server_);
    pump();
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{std::string(kMaxDatagram, 'y')}));
    EXPECT_TRUE(view_.reports.empty()) << "no box for a stranger's datagram";
    EXPECT_TRUE(relay_.socket_open());
}

TEST_F(Relay, AParticipantThatVanishedWithoutLeavingDoesNotMakeTheServerDeaf) {
    LoopbackPeer alice;
    auto crashed = std::make_unique<LoopbackPeer>();
    login(alice, "alice");
    login(*crashed, "crashed");
    alice.drain();
    crashed.reset();  // its port is closed now; sends to it draw an ICMP error

    for (int i = 0; i < 3; ++i) send(alice, "line " + std::to_string(i));
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{"line 0", "line 1", "line 2"}));
    EXPECT_TRUE(relay_.socket_open());
    EXPECT_TRUE(view_.reports.empty());
}

TEST_F(Relay, AnotherEventThanReadIsReportedAndChangesNothing) {
    relay_.on_socket_event(2 /* write */);
    ASSERT_EQ(view_.reports.size(), 1u);
    EXPECT_EQ(view_.reports[0].text, ui::kOtherEvent);
    EXPECT_EQ(view_.reports[0].caption, ui::kCaptionSystem);
    EXPECT_EQ(view_.reports[0].owner, ReportOwner::Window);
    EXPECT_TRUE(relay_.socket_open());
    // The error half of the parameter is not looked at.
    LoopbackPeer alice;
    alice.send("!alice+x", server_);
    ASSERT_EQ(net::wait_readable(relay_.socket(), 2000), net::WaitStatus::Readable);
    relay_.on_socket_event(0x27450000u | kReadEvent);
    EXPECT_EQ(relay_.participant_count(), 1u);
}

TEST_F(Relay, ANestedEventDuringAReportRunsToItsEndOnItsOwnBuffers) {
    LoopbackPeer alice, bob;
    login(alice, "alice");
    bob.send("!bob+first words", server_);
    bob.send("bob: second", server_);
    ASSERT_EQ(net::wait_readable(relay_.socket(), 2000), net::WaitStatus::Readable);

    int depth = 0;
    view_.while_report_open = [&] {
        ++depth;
        // Inside the box: the queued login and line arrive, and one nested
        // event raises a box of its own.
        if (depth == 1) {
            relay_.on_socket_event(kReadEvent);
            relay_.on_socket_event(2);
            pump();
        }
        --depth;
    };
    relay_.on_socket_event(2);

    ASSERT_EQ(view_.reports.size(), 2u);
    EXPECT_EQ(alice.drain(), (std::vector<std::string>{entry_notice("bob"), "bob :first words", "bob: second"}));
    EXPECT_EQ(bob.drain(), (std::vector<std::string>{std::string(text::kLoginAccepted), entry_notice("bob"),
                                                      "bob :first words", "bob: second"}));
    EXPECT_EQ(relay_.participant_count(), 2u);
}

TEST_F(Relay, AFailedReceiveClosesTheSocketOnceAndLaterEventsOnlyReport) {
    LoopbackPeer alice;
    login(alice, "alice");
    int nested_events = 0;
    view_.while_report_open = [&] {
        if (nested_events++ == 0) relay_.on_socket_event(kReadEvent);  // already queued
    };
    // Pull the socket away underneath the relay, as a broken stack would.
    net::close_socket(relay_.socket());
    relay_.on_socket_event(kReadEvent);

    EXPECT_FALSE(relay_.socket_open());
    EXPECT_TRUE(relay_.running()) << "the window keeps showing the running state";
    ASSERT_EQ(view_.reports.size(), 2u);
    EXPECT_EQ(view_.reports[0].text, ui::kReceiveFailed);
    EXPECT_EQ(view_.reports[1].text, ui::kReceiveFailed);
    EXPECT_EQ(relay_.participant_count(), 1u);
}

TEST_F(Relay, ASecondStartWhileRunningDoesNothing) {
    const net::SocketHandle socket = relay_.socket();
    EXPECT_FALSE(relay_.start(conf::testing::unused_loopback_port()));
    EXPECT_EQ(relay_.socket(), socket);
    EXPECT_TRUE(view_.reports.empty());
    LoopbackPeer alice;
    send(alice, "!alice+still here");
    EXPECT_EQ(alice.drain().size(), 3u);
}

TEST_F(Relay, StopClosesTheSocket) {
    relay_.stop();
    EXPECT_FALSE(relay_.socket_open());
    EXPECT_TRUE(view_.reports.empty());
    // The port is free again.
    const net::SocketHandle again = net::open_udp();
    EXPECT_TRUE(net::bind_any(again, port_));
    net::close_socket(again);
}

TEST(RelayStart, APortInUseReportsBindAndAnotherPortStarts) {
    FakeRelayView view;
    RelayServer relay(view);
    relay.initialise_networking();
    net::SocketHandle holder = net::open_udp();
    const std::uint16_t busy = conf::testing::unused_loopback_port();
    ASSERT_TRUE(net::bind_any(holder, busy));

    EXPECT_FALSE(relay.start(busy));
    ASSERT_EQ(view.reports.size(), 1u);
    EXPECT_EQ(view.reports[0].text, ui::kBindFailed);
    EXPECT_EQ(view.reports[0].caption, ui::kCaptionSystem);
    EXPECT_FALSE(relay.socket_open());
    EXPECT_FALSE(relay.running());

    EXPECT_TRUE(relay.start(conf::testing::unused_loopback_port()));
    EXPECT_TRUE(relay.running());
    relay.stop();
    net::close_socket(holder);
}

TEST(RelayStart, AFailedRegistrationReportsAndClosesTheSocket) {
    FakeRelayView view;
    view.refuse_registration = true;
    RelayServer relay(view);
    relay.initialise_networking();
    const std::uint16_t port = conf::testing::unused_loopback_port();
    EXPECT_FALSE(relay.start(port));
    ASSERT_EQ(view.reports.size(), 1u);
    EXPECT_EQ(view.reports[0].text, ui::kAsyncFailed);
    EXPECT_FALSE(relay.socket_open());
    const net::SocketHandle again = net::open_udp();
    EXPECT_TRUE(net::bind_any(again, port)) << "the socket was closed";
    net::close_socket(again);
}

}  // namespace
}  // namespace conf
