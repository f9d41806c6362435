// Client cores talking through a real relay on 127.0.0.1, all in this
// process and on this thread: each socket event is handed over in turn.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client_core.h"
#include "fake_client_window.h"
#include "loopback_peer.h"
#include "protocol.h"
#include "relay_server.h"
#include "ui_texts.h"

namespace conf {
namespace {

using conf::testing::FakeClientWindow;
using conf::testing::LoopbackPeer;

class QuietRelayView final : public RelayView {
public:
    void show_report(const char*, const char*, ReportOwner) override { ++reports; }
    void show_count(std::uint32_t) override {}
    bool register_read_events(net::SocketHandle socket) override { return net::set_nonblocking(socket); }
    int reports = 0;
};

struct Participant {
    Participant(const std::string& name, std::uint16_t port) {
        window.controls[IDC_NAME].text = name;
        window.controls[IDC_SERVER].text = "127.0.0.1";
        window.controls[IDC_PORT].text = std::to_string(port);
    }
    FakeClientWindow window;
    ClientCore core{window};
};

std::vector<std::string> log_lines(const ClientCore& client) {
    std::vector<std::string> lines;
    std::string_view rest = client.log().view();
    for (std::size_t end; (end = rest.find("\r\n")) != std::string_view::npos; rest.remove_prefix(end + 2))
        lines.emplace_back(rest.substr(0, end));
    return lines;
}

std::string entry(std::string_view name) { return std::string(compose_entry_notice(name).view()); }
std::string exit_notice(std::string_view name) { return std::string(compose_exit_notice(name).view()); }

class ThroughTheRelay : public ::testing::Test {
protected:
    void SetUp() override {
        relay_.initialise_networking();
        port_ = conf::testing::unused_loopback_port();
        ASSERT_TRUE(relay_.start(port_));
    }
    void TearDown() override { relay_.stop(); }

    Participant& participant(const std::string& name) {
        participants_.push_back(std::make_unique<Participant>(name, port_));
        return *participants_.back();
    }

    // Hands out socket events, relay and clients in turn, until everything
    // has been quiet for a while; bounded in time.
    void settle() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int quiet = 0; quiet < 3 && std::chrono::steady_clock::now() < deadline;) {
            bool busy = false;
            if (net::wait_readable(relay_.socket(), 0) == net::WaitStatus::Readable) {
                relay_.on_socket_event(kReadEvent);
                busy = true;
            }
            for (auto& p : participants_) {
                if (p->core.socket_open() && net::wait_readable(p->core.socket(), 0) == net::WaitStatus::Readable) {
                    p->core.on_socket_event(kReadEvent);
                    busy = true;
                }
            }
            quiet = busy ? 0 : quiet + 1;
            if (!busy) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void say(Participant& who, const std::string& text) {
        who.window.controls[IDC_INPUT].text = text;
        who.core.send();
        settle();
    }

    QuietRelayView relay_view_;
    RelayServer relay_{relay_view_};
    std::uint16_t port_ = 0;
    std::vector<std::unique_ptr<Participant>> participants_;
};

TEST_F(ThroughTheRelay, TwoClientsConverseAndALeaveIsAnnounced) {
    const std::string taro = "\x91\xBE\x98Y";                  // 太郎
    const std::string greeting = "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD";  // こんにちは
    Participant& alice = participant(taro);
    Participant& bob = participant("bob");

    alice.core.join();
    say(alice, greeting);
    EXPECT_EQ(log_lines(alice.core), (std::vector<std::string>{std::string(text::kLoginAccepted), entry(taro),
                                                               taro + " :" + greeting}));
    EXPECT_TRUE(alice.core.logged_in());

    bob.core.join();
    say(bob, "hi");
    say(bob, "second");
    EXPECT_EQ(log_lines(bob.core), (std::vector<std::string>{std::string(text::kLoginAccepted), entry("bob"),
                                                             "bob :hi", "bob: second"}));
    const std::vector<std::string> alice_heard = log_lines(alice.core);
    ASSERT_EQ(alice_heard.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(alice_heard.begin() + 3, alice_heard.end()),
              (std::vector<std::string>{entry("bob"), "bob :hi", "bob: second"}));

    bob.core.leave();
    settle();
    EXPECT_EQ(log_lines(alice.core).back(), exit_notice("bob"));
    EXPECT_EQ(relay_.participant_count(), 1u);
    EXPECT_TRUE(alice.window.boxes.empty());
    EXPECT_TRUE(bob.window.boxes.empty());
    EXPECT_EQ(relay_view_.reports, 0);
}

TEST_F(ThroughTheRelay, TheHundredAndFirstIsRefusedAndAfterAJoinAgainItsLineIsALoginRequestOnceMore) {
    std::vector<std::unique_ptr<LoopbackPeer>> peers;
    const net::SocketAddress relay_address = net::loopback_address(port_);
    for (int i = 0; i < kMaxParticipants; ++i) {
        peers.push_back(std::make_unique<LoopbackPeer>());
        peers.back()->send(compose_login_request("p" + std::to_string(i), "hi").view(), relay_address);
        if (i % 10 == 9) settle();
    }
    ASSERT_EQ(relay_.participant_count(), 100u);

    Participant& late = participant("late");
    late.core.join();
    say(late, "hello");
    EXPECT_EQ(log_lines(late.core), (std::vector<std::string>{std::string(text::kCapacityRefusal)}));
    ASSERT_EQ(late.window.boxes.size(), 1u);
    EXPECT_EQ(late.window.boxes[0].text, ui::kLoginLater);
    EXPECT_TRUE(shows_not_joined(late.window));
    EXPECT_EQ(late.window.focus, IDC_JOIN);
    EXPECT_EQ(relay_.participant_count(), 100u);

    peers[41]->send("#p41", relay_address);
    settle();
    late.window.controls[IDC_NAME].text = "newcomer";
    late.core.join();
    ASSERT_TRUE(late.core.joined());
    say(late, "hello again");
    EXPECT_EQ(log_lines(late.core),
              (std::vector<std::string>{std::string(text::kCapacityRefusal), std::string(text::kLoginAccepted),
                                        entry("newcomer"), "newcomer :hello again"}));
    EXPECT_TRUE(late.core.logged_in());
    EXPECT_EQ(relay_.participant_count(), 100u);
}

}  // namespace
}  // namespace conf
