// The client core against a test peer standing in for the server on
// 127.0.0.1, so that every byte the client sends can be read as it is.
#include "client_core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_client_window.h"
#include "loopback_peer.h"
#include "protocol.h"
#include "ui_texts.h"

namespace conf {
namespace {

using conf::testing::FakeClientWindow;
using conf::testing::LoopbackPeer;
using conf::testing::pump;

const std::string kKanji40 = [] {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "\x8A\xBF";  // 漢
    return text;
}();

class Client : public ::testing::Test {
protected:
    void SetUp() override { fill("alice", "127.0.0.1", server_port()); }

    std::string server_port() const { return std::to_string(net::port_of(server_.address())); }

    void fill(const std::string& name, const std::string& server, const std::string& port) {
        window_.controls[IDC_NAME].text = name;
        window_.controls[IDC_SERVER].text = server;
        window_.controls[IDC_PORT].text = port;
    }

    void join() {
        client_.join();
        ASSERT_TRUE(client_.joined());
    }

    void type_and_send(const std::string& text) {
        window_.controls[IDC_INPUT].text = text;
        client_.send();
    }

    // Joins and sends a first line, so that the client's socket has a port
    // the test peer can send to.
    void join_and_log_in() {
        join();
        type_and_send("hello");
        std::string request;
        ASSERT_TRUE(server_.receive(&request));
        ASSERT_EQ(request, "!alice+hello");
        net::set_buffer_sizes(client_.socket(), 1 << 20, 1 << 16);
    }

    std::string at_server(int timeout_ms = 2000) {
        std::string got;
        return server_.receive(&got, timeout_ms) ? got : "(nothing)";
    }

    net::SocketAddress client_address() {
        net::SocketAddress bound;
        EXPECT_TRUE(net::local_address(client_.socket(), &bound));
        return net::loopback_address(net::port_of(bound));
    }

    // Sends in small batches, each handled before the next, so that no
    // socket queue overflows.
    void deliver(const std::vector<std::string>& datagrams, const LoopbackPeer* from = nullptr) {
        const net::SocketAddress to = client_address();
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            (from != nullptr ? *from : server_).send(datagrams[i], to);
            if (i % 30 == 29 || i + 1 == datagrams.size()) pump(client_);
        }
    }

    // Lines that bring the log to `total` bytes.
    static std::vector<std::string> lines_totalling(std::size_t total) {
        std::vector<std::string> lines;
        for (; total > kMaxDatagram + 2; total -= kMaxDatagram + 2) lines.emplace_back(kMaxDatagram, 'f');
        lines.emplace_back(total - 2, 'g');
        return lines;
    }

    LoopbackPeer server_;
    FakeClientWindow window_;
    ClientNetwork network_;
    ClientCore client_{window_, network_};
};

TEST_F(Client, JoinChecksPortServerAndNameInThatOrderAndAFailureChangesNothing) {
    const std::string port = server_port();
    struct Case {
        std::string port, server, name;
        const char* message;
    };
    const Case cases[] = {
        {"", "", "", ui::kPortInvalid},          {"0", "127.0.0.1", "a", ui::kPortInvalid},
        {"65536", "127.0.0.1", "a", ui::kPortInvalid}, {"4294967296", "127.0.0.1", "a", ui::kPortInvalid},
        {"80x", "127.0.0.1", "a", ui::kPortInvalid},   {"-1", "127.0.0.1", "a", ui::kPortInvalid},
        {port, "", "", ui::kServerNameInvalid},  {port, "127.0.0.1", "", ui::kNameInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("port '" + c.port + "' server '" + c.server + "' name '" + c.name + "'");
        window_.boxes.clear();
        fill(c.name, c.server, c.port);
        client_.join();
        ASSERT_EQ(window_.boxes.size(), 1u);
        EXPECT_EQ(window_.boxes[0].text, c.message);
        EXPECT_EQ(window_.boxes[0].caption, "Error");
        EXPECT_FALSE(client_.joined());
        EXPECT_FALSE(client_.socket_open());
        EXPECT_TRUE(shows_not_joined(window_));
        EXPECT_EQ(window_.focus, 0);
    }

    fill("alice", "127.0.0.1", port);
    network_.resolve = [](const char*, std::uint32_t*) { return false; };
    window_.boxes.clear();
    client_.join();
    network_.resolve = net::resolve_ipv4;
    network_.open = [] { return net::kInvalidSocket; };
    client_.join();
    ASSERT_EQ(window_.boxes.size(), 2u);
    EXPECT_EQ(window_.boxes[0].text, ui::kServerUnknown);
    EXPECT_EQ(window_.boxes[1].text, ui::kSocketOpenFailed);
    EXPECT_FALSE(client_.socket_open());
    EXPECT_TRUE(shows_not_joined(window_));
    EXPECT_EQ(window_.focus, 0);
}

TEST_F(Client, AJoinSendsNothingAndSwitchesToTheJoinedState) {
    fill("alice", "localhost", "  " + server_port());  // leading blanks are skipped
    join();
    EXPECT_TRUE(window_.boxes.empty());
    EXPECT_TRUE(shows_joined(window_));
    EXPECT_EQ(window_.focus, IDC_INPUT);
    EXPECT_TRUE(net::same_endpoint(client_.server_address(), server_.address()));
    EXPECT_EQ(client_.server_address().family, net::kAddressFamilyInet);
    EXPECT_EQ(at_server(200), "(nothing)");
}

TEST_F(Client, AStartupFailureIsReportedAndTheJoinGoesOn) {
    network_.startup = [] { return false; };
    join();
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kSocketInitFailed);
}

TEST_F(Client, AFailedRegistrationClosesTheSocketBeforeItsBox) {
    window_.refuse_registration = true;
    bool open_during_box = true;
    window_.while_box_open = [&] { open_during_box = client_.socket_open(); };
    client_.join();
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kAsyncFailed);
    EXPECT_FALSE(open_during_box);
    EXPECT_FALSE(client_.joined());
    EXPECT_TRUE(shows_not_joined(window_));
}

TEST_F(Client, TheNameIsReadUpTo63BytesWithoutEndingInHalfACharacter) {
    fill(kKanji40, "127.0.0.1", server_port());
    join();
    type_and_send("hi");
    EXPECT_EQ(at_server(), "!" + kKanji40.substr(0, 62) + "+hi");
}

TEST_F(Client, TheFirstLineIsALoginRequestAndLaterOnesChatLinesWithoutWaitingForTheReply) {
    join();
    type_and_send("hello");
    EXPECT_EQ(window_.text(IDC_INPUT), "");
    EXPECT_EQ(window_.focus, IDC_INPUT);
    type_and_send("second line");
    EXPECT_EQ(at_server(), "!alice+hello");
    EXPECT_EQ(at_server(), "alice: second line");
    EXPECT_FALSE(client_.logged_in());
    EXPECT_TRUE(window_.boxes.empty());
}

TEST_F(Client, AnEmptyInputIsRefusedAndTheNextLineIsStillTheLoginRequest) {
    join();
    type_and_send("");
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kInputEmpty);
    type_and_send("now");
    EXPECT_EQ(at_server(), "!alice+now");
}

TEST_F(Client, AFailedFirstSendKeepsTheInputAndTheNextLineIsAChatLine) {
    join();
    network_.send_to = [](net::SocketHandle, const void*, std::size_t, const net::SocketAddress&) {
        return net::SendStatus::Failed;
    };
    type_and_send("lost");
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kSendFailed);
    EXPECT_EQ(window_.text(IDC_INPUT), "lost");
    network_.send_to = net::send_to;
    client_.send();
    EXPECT_EQ(at_server(), "alice: lost");
}

TEST_F(Client, AnOverLongLineIsCutAtACharacterBoundary) {
    std::string input;
    for (int i = 0; i < 15; ++i) input += kKanji40;  // 1200 bytes
    join();
    type_and_send(input);
    type_and_send(input);
    EXPECT_EQ(at_server(), "!alice+" + input.substr(0, 1016));
    EXPECT_EQ(at_server(), "alice: " + input.substr(0, 1016));
}

TEST_F(Client, EveryDatagramIsLoggedWithCrLfAndScrolledIntoView) {
    join_and_log_in();
    deliver({"one", std::string("two\0tail", 8)});
    EXPECT_EQ(client_.log().view(), "one\r\ntwo\r\n") << "a datagram ends at its first NUL";
    EXPECT_EQ(window_.text(IDC_LOG), "one\r\ntwo\r\n");
    EXPECT_EQ(window_.scrolls, (std::vector<int>{2, 3}));
    EXPECT_TRUE(window_.boxes.empty());
}

TEST_F(Client, DatagramsOf1022And1023BytesKeepTheirLineBreak) {
    join_and_log_in();
    const std::string a(1022, 'a'), b(1023, 'b');
    deliver({a, b});
    EXPECT_EQ(client_.log().view(), a + "\r\n" + b + "\r\n");
}

TEST_F(Client, AStrangersDatagramIsLoggedButLinesStillGoToTheServer) {
    join_and_log_in();
    LoopbackPeer stranger;
    deliver({"stranger: over here"}, &stranger);
    EXPECT_EQ(client_.log().view(), "stranger: over here\r\n");
    type_and_send("to the server");
    EXPECT_EQ(at_server(), "alice: to the server");
    std::string got;
    EXPECT_FALSE(stranger.receive(&got, 200)) << got;
}

TEST_F(Client, TheLogIsEmptiedBeforeTheClearingBoxAndLinesDuringTheBoxStartTheNewLog) {
    join_and_log_in();
    deliver(lines_totalling(64000));
    ASSERT_EQ(client_.log().size(), 64000u);
    std::size_t size_in_box = 1;
    window_.while_box_open = [&] {
        size_in_box = client_.log().size() + window_.text(IDC_LOG).size();
        deliver({"during the box"});
    };
    const std::string line(600, 'L');
    deliver({line});

    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kLogCleared);
    EXPECT_EQ(size_in_box, 0u) << "log and field were empty while the box was open";
    const std::size_t n = window_.log_texts.size();
    ASSERT_GE(n, 3u);
    EXPECT_EQ(window_.log_texts[n - 3].size(), 64602u) << "the line was shown before the log was emptied";
    EXPECT_EQ(window_.log_texts[n - 3].substr(64000), line + "\r\n");
    EXPECT_EQ(window_.log_texts[n - 2], "");
    EXPECT_EQ(window_.log_texts[n - 1], "during the box\r\n");
    EXPECT_EQ(client_.log().view(), "during the box\r\n");
}

TEST_F(Client, AFloodDuringABoxNeitherStacksBoxesNorOverfillsTheLog) {
    join_and_log_in();
    bool flooded = false;
    window_.while_box_open = [&] {
        if (flooded) return;
        flooded = true;
        // 63 lines fill the log once more, so it is cleared again, inside
        // the box, with no box of its own.
        deliver(std::vector<std::string>(70, std::string(kMaxDatagram, 'n')));
    };
    deliver(std::vector<std::string>(63, std::string(kMaxDatagram, 'o')));

    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.deepest_box, 1);
    EXPECT_EQ(client_.log().size(), 7u * (kMaxDatagram + 2));
    for (const std::string& shown : window_.log_texts) EXPECT_LE(shown.size(), ConversationLog::kCapacity - 1);
}

TEST_F(Client, NestedRefusalsRaiseNoBoxesButEachStillTakesEffect) {
    join_and_log_in();
    window_.while_box_open = [&] { pump(client_); };
    deliver(std::vector<std::string>(20, std::string(text::kCapacityRefusal)));
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kLoginLater);
    EXPECT_EQ(window_.deepest_box, 1);
    EXPECT_EQ(client_.log().size(), 20u * 34u);
    EXPECT_TRUE(shows_not_joined(window_));
}

TEST_F(Client, AfterTheClearingBoxTheOuterDatagramKeepsItsOwnMeaning) {
    join_and_log_in();
    deliver(lines_totalling(64500));  // the refusal's 34 bytes pass the limit
    window_.while_box_open = [&] {
        if (window_.boxes.size() == 1) deliver({"nested line"});
    };
    deliver({std::string(text::kCapacityRefusal)});
    ASSERT_EQ(window_.boxes.size(), 2u);
    EXPECT_EQ(window_.boxes[0].text, ui::kLogCleared);
    EXPECT_EQ(window_.boxes[1].text, ui::kLoginLater);
    EXPECT_FALSE(client_.joined());
    EXPECT_EQ(client_.log().view(), "nested line\r\n");
}

TEST_F(Client, ARefusalReturnsToNotJoinedAndTheNextJoinReplacesTheSocketAndLogsInAgain) {
    join_and_log_in();
    const std::uint16_t old_port = net::port_of(client_address());
    deliver({std::string(text::kLoginAccepted), std::string(text::kCapacityRefusal)});
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kLoginLater);
    EXPECT_TRUE(shows_not_joined(window_));
    EXPECT_EQ(window_.focus, IDC_JOIN);
    EXPECT_TRUE(client_.next_line_is_login_request());
    EXPECT_TRUE(client_.logged_in()) << "a refusal leaves the logged-in flag alone";
    EXPECT_TRUE(client_.socket_open());

    fill("bob", "127.0.0.1", server_port());
    join();
    EXPECT_TRUE(shows_joined(window_));
    const net::SocketHandle probe = net::open_udp();
    EXPECT_TRUE(net::bind_any(probe, old_port)) << "the refused socket was closed";
    net::close_socket(probe);
    type_and_send("again");
    type_and_send("and on");
    EXPECT_EQ(at_server(), "!bob+again");
    EXPECT_EQ(at_server(), "bob: and on");
}

TEST_F(Client, LeaveSendsTheNoticeOnlyOnceTheExactAcceptHasArrived) {
    join_and_log_in();
    deliver({std::string(text::kLoginAccepted) + "!", "x" + std::string(text::kLoginAccepted)});
    EXPECT_FALSE(client_.logged_in()) << "only the exact text logs in";
    const std::uint16_t port = net::port_of(client_address());
    client_.leave();
    EXPECT_EQ(at_server(200), "(nothing)");
    EXPECT_FALSE(client_.socket_open());
    const net::SocketHandle probe = net::open_udp();
    EXPECT_TRUE(net::bind_any(probe, port)) << "the socket was closed";
    net::close_socket(probe);
    EXPECT_TRUE(window_.boxes.empty());
}

TEST_F(Client, ALoggedInClientSaysGoodbyeAndReportsAFailedClose) {
    join_and_log_in();
    deliver({std::string(text::kLoginAccepted)});
    EXPECT_TRUE(client_.logged_in());
    network_.close = [](net::SocketHandle socket) {
        net::close_socket(socket);
        return false;
    };
    client_.leave();
    EXPECT_EQ(at_server(), "#alice");
    EXPECT_FALSE(client_.logged_in());
    EXPECT_FALSE(client_.socket_open());
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kCloseFailed);
    client_.leave();
    EXPECT_EQ(at_server(200), "(nothing)") << "a second leave has nothing to do";
}

TEST_F(Client, ReceiveTroubleAndStrayEvents) {
    client_.on_socket_event(kReadEvent);  // no socket yet
    join_and_log_in();
    client_.on_socket_event(kReadEvent);  // nothing waiting: a nested event took it
    EXPECT_TRUE(window_.boxes.empty());

    server_.send("waiting", client_address());
    ASSERT_EQ(net::wait_readable(client_.socket(), 2000), net::WaitStatus::Readable);
    client_.on_socket_event(2 /* write */);
    EXPECT_EQ(client_.log().size(), 0u) << "only a read event reads";
    client_.on_socket_event(0x27450000u | kReadEvent);  // the error half is not looked at
    EXPECT_EQ(client_.log().view(), "waiting\r\n");

    deliver({std::string(kMaxDatagram + 1, 'x'), "after"});
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, ui::kReceiveFailed);
    EXPECT_EQ(client_.log().view(), "waiting\r\nafter\r\n") << "the socket stays open and goes on";
}

}  // namespace
}  // namespace conf
