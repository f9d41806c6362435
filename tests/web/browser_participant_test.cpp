// A browser participant driven without sockets: requests in, datagrams and
// the tab's messages out.
#include "browser_participant.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "json.h"
#include "protocol.h"
#include "text_codec.h"

namespace conf::web {
namespace {

using nlohmann::json;

std::string cp932(const char* utf8) {
    std::string out;
    EXPECT_TRUE(utf8_to_cp932(utf8, &out)) << utf8;
    return out;
}

std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

class FakeHost final : public ParticipantHost {
public:
    bool open_relay_socket() override {
        if (!sockets_open) return false;
        ++opened;
        open = true;
        return true;
    }
    DatagramSend send_datagram(std::string_view bytes) override {
        if (!open) return DatagramSend::Failed;  // it would go nowhere
        datagrams.emplace_back(bytes);
        return next_send;
    }
    void close_relay_socket() override {
        ++closed;
        open = false;
    }
    std::string resume_token() override { return token; }
    void send_to_tab(Frame frame) override {
        raw_frames.push_back(frame);
        frames.push_back(json::parse(*frame));  // throws on anything but valid JSON
    }

    std::string last_datagram() const { return datagrams.empty() ? "(none)" : datagrams.back(); }
    const json& last() const { return frames.back(); }

    std::string token;
    bool sockets_open = true;
    DatagramSend next_send = DatagramSend::Sent;
    bool open = false;
    int opened = 0;
    int closed = 0;
    std::vector<std::string> datagrams;
    std::vector<Frame> raw_frames;
    std::vector<json> frames;
};

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

// Each tab from a browser of its own: 10.0.0.1, 10.0.0.2 and so on.
std::uint32_t next_address() {
    static std::uint32_t last = 0x0A000000;
    return ++last;
}

struct Tab {
    explicit Tab(GatewayState& gateway, std::uint32_t address = next_address())
        : participant(host, gateway, address) {}
    FakeHost host;
    BrowserParticipant participant;

    void send(const char* text, Clock::time_point at = t0) { participant.send(text, at); }
    void hear(std::string_view bytes) { participant.heard(bytes); }
};

class Participant : public ::testing::Test {
protected:
    GatewayState gateway_{"relay.example:40000"};
    Tab tab_{gateway_};
    FakeHost& host_ = tab_.host;
    BrowserParticipant& participant_ = tab_.participant;
};

TEST_F(Participant, JoinsThenSendsTheLoginRequestThenChatLinesWithWindowsLineBreaks) {
    participant_.join(u8"太郎");
    EXPECT_EQ(host_.last(), json({{"type", "state"}, {"state", "joined"}, {"name", u8"太郎"}}));
    EXPECT_TRUE(host_.open);
    EXPECT_TRUE(host_.datagrams.empty()) << "joining sends nothing";

    tab_.send(u8"こんにちは");
    EXPECT_EQ(host_.last_datagram(), cp932(u8"!太郎+こんにちは"));
    ASSERT_GE(host_.frames.size(), 2u);
    EXPECT_EQ(host_.frames[host_.frames.size() - 2], json({{"type", "sent"}}));
    EXPECT_EQ(host_.last(), json({{"type", "entered"}})) << "the first line went out: in the room";
    tab_.send(u8"一行目\n二行目\r\n三\r四");
    EXPECT_EQ(host_.last_datagram(), cp932(u8"太郎: 一行目\r\n二行目\r\n三\r\n四"))
        << "the login reply need not have come: the second line is a chat line";
}

TEST_F(Participant, CutsTheNameAndTheInputOnCharacterBoundariesAsTheClientReadsThem) {
    participant_.join(repeat(u8"亜", 40).c_str());  // 80 bytes
    EXPECT_EQ(host_.last()["name"], repeat(u8"亜", 31)) << "63 bytes leave 31 characters";
    tab_.send(("x" + repeat(u8"亜", 600)).c_str());
    const std::string sent = host_.last_datagram();
    // "!" + 62 + "+" + "x" leave 958 bytes: 479 characters.
    EXPECT_EQ(sent, "!" + repeat(cp932(u8"亜"), 31) + "+x" + repeat(cp932(u8"亜"), 479));
    EXPECT_EQ(sent.size(), 1023u);
    tab_.send(("ab" + repeat(u8"亜", 600)).c_str());
    EXPECT_EQ(host_.last_datagram().size(), 1022u) << "never half a character at the end";
}

TEST_F(Participant, ALineWithCharactersCodePage932LacksIsRefusedNamingThemAndKeepsTheLoginDue) {
    participant_.join(u8"太郎");
    tab_.send(u8"𠮷野家で😀と𠮷");
    ASSERT_EQ(host_.last()["type"], "unsent");
    EXPECT_EQ(host_.last()["code"], "unencodable");
    EXPECT_NE(host_.last()["text"].get<std::string>().find(u8"「𠮷」「😀」"), std::string::npos)
        << host_.last()["text"];
    EXPECT_TRUE(host_.datagrams.empty());
    tab_.send(u8"吉野家");
    EXPECT_EQ(host_.last_datagram(), cp932(u8"!太郎+吉野家")) << "the refused line was not the login request";

    Tab other(gateway_);
    other.participant.join(u8"😀");
    EXPECT_EQ(other.host.last()["code"], "name_unencodable");
    EXPECT_EQ(other.host.opened, 0);
    EXPECT_FALSE(other.participant.joined());
}

TEST_F(Participant, LooksOnlyAtWhatCouldBeSentAndOnlyWithinTheRateLimit) {
    // Each character is a byte at least: those past the limit could never be
    // sent, and are neither converted nor named.
    participant_.join((repeat("n", 63) + u8"😀").c_str());
    EXPECT_EQ(host_.last()["name"], repeat("n", 63));
    participant_.leave();
    participant_.join(u8"太郎");
    // Half-width katakana take three bytes of UTF-8 and one of code page
    // 932: "!太郎+x" leaves room for 1016 of them.
    tab_.send(("x" + repeat(u8"ｱ", 1100) + u8"😀").c_str());
    EXPECT_EQ(host_.last_datagram(), cp932(u8"!太郎+x") + repeat("\xB1", 1016));
    for (int i = 1; i < 40; ++i) tab_.send("burst");
    tab_.send(u8"😀");
    EXPECT_EQ(host_.last()["code"], "rate_limited") << "before the line is looked at";
}

TEST_F(Participant, EmptyAndFailedLinesAreReportedWithTheClientsTexts) {
    participant_.join("");
    EXPECT_EQ(host_.last(), json({{"type", "notice"}, {"code", "name_empty"}, {"text", u8"IDが不正です"}}));
    tab_.send("x");
    EXPECT_EQ(host_.last()["code"], "not_joined");

    participant_.join(u8"太郎");
    tab_.send("");
    EXPECT_EQ(host_.last(), json({{"type", "unsent"}, {"code", "empty"}, {"text", u8"何か記入してください"}}));
    host_.next_send = DatagramSend::Failed;
    tab_.send("first");
    EXPECT_EQ(host_.last(), json({{"type", "unsent"}, {"code", "send_failed"}, {"text", u8"送信に失敗しました"}}));
    host_.next_send = DatagramSend::Unreachable;
    tab_.send("second");
    EXPECT_EQ(host_.last_datagram(), cp932(u8"太郎: second")) << "the flag fell before the first send's outcome";
    EXPECT_EQ(host_.last()["code"], "unreachable");
    EXPECT_NE(host_.last()["text"].get<std::string>().find("relay.example:40000"), std::string::npos);
}

TEST_F(Participant, ShowsEveryDatagramAsTextCuttingAtNulAndReplacingWhatDoesNotConvert) {
    participant_.join(u8"太郎");
    tab_.hear(cp932(u8"山田: はい～"));
    EXPECT_EQ(host_.last(), json({{"type", "line"}, {"text", u8"山田: はい～"}, {"time", 0}}));
    tab_.hear(std::string_view("ok\x85\x40\x80!\0hidden", 14));
    EXPECT_EQ(host_.last()["text"], u8"ok\uFFFD@\uFFFD!");
    tab_.hear("<img src=x onerror=alert(1)>");
    EXPECT_EQ(host_.last()["text"], "<img src=x onerror=alert(1)>") << "text, for the page to show as text";
    tab_.participant.receive_failed(ReceiveTrouble::TooLong);
    EXPECT_EQ(host_.last(), json({{"type", "notice"}, {"code", "receive_failed"}, {"text", u8"受信エラーです"}}));
    tab_.participant.receive_failed(ReceiveTrouble::Unreachable);
    EXPECT_EQ(host_.last()["code"], "unreachable");
}

TEST_F(Participant, SaysGoodbyeOnlyOnceTheExactAcceptHasArrived) {
    participant_.join(u8"太郎");
    tab_.send("hi");
    tab_.hear(std::string(text::kLoginAccepted) + "!");
    EXPECT_FALSE(participant_.logged_in());
    participant_.leave();
    EXPECT_EQ(host_.last_datagram(), cp932(u8"#太郎")) << "the login request still waits for its answer";
    EXPECT_EQ(host_.last(), json({{"type", "state"}, {"state", "not_joined"}}));
    EXPECT_FALSE(host_.open);

    participant_.join(u8"太郎");
    tab_.send("again");
    EXPECT_EQ(host_.last_datagram(), cp932(u8"!太郎+again")) << "a new join logs in again";
    tab_.hear(text::kLoginAccepted);
    EXPECT_TRUE(participant_.logged_in());
    participant_.tab_gone();
    EXPECT_EQ(host_.last_datagram(), cp932(u8"#太郎"));
    EXPECT_FALSE(host_.open);
    const std::size_t sent = host_.datagrams.size();
    participant_.leave();
    participant_.tab_gone();
    EXPECT_EQ(host_.datagrams.size(), sent) << "one goodbye only";
}

TEST_F(Participant, SaysGoodbyeWhileTheLoginRequestWaitsForItsAnswerButNotAfterARefusal) {
    // The relay may accept the request after the socket is gone: only a
    // leave notice behind it frees that place.
    participant_.join(u8"太郎");
    tab_.send("hi");
    participant_.tab_gone();
    participant_.join(u8"太郎");
    tab_.send("hi");
    tab_.hear(text::kCapacityRefusal);
    participant_.join(u8"太郎");
    host_.next_send = DatagramSend::Failed;
    tab_.send("lost");
    participant_.leave();
    EXPECT_EQ(host_.datagrams, (std::vector<std::string>{cp932(u8"!太郎+hi"), cp932(u8"#太郎"), cp932(u8"!太郎+hi"),
                                                         cp932(u8"!太郎+lost")}))
        << "nothing after a refusal, nor after a login request that did not go out";
}

TEST_F(Participant, ARefusalReturnsToNotJoinedFreesTheNameAndTheNextJoinLogsInOnANewSocket) {
    participant_.join(u8"太郎");
    tab_.send("hi");
    tab_.hear(text::kCapacityRefusal);
    ASSERT_GE(host_.frames.size(), 3u);
    const std::size_t n = host_.frames.size();
    EXPECT_EQ(host_.frames[n - 3], json({{"type", "line"}, {"text", u8"定員オーバーでログインできません"}, {"time", 0}}));
    EXPECT_EQ(host_.frames[n - 2],
              json({{"type", "notice"}, {"code", "refused"}, {"text", u8"後でもう一度ログインしてください"}}));
    EXPECT_EQ(host_.frames[n - 1], json({{"type", "state"}, {"state", "not_joined"}}));
    EXPECT_TRUE(host_.open) << "the socket stays open until the next join, as the client's";
    tab_.hear("still heard");
    EXPECT_EQ(host_.last()["text"], "still heard");

    Tab other(gateway_);
    other.participant.join(u8"太郎");
    EXPECT_TRUE(other.participant.joined()) << "the refused name was freed";
    other.participant.leave();

    participant_.join(u8"太郎");
    EXPECT_EQ(host_.closed, 1);
    EXPECT_EQ(host_.opened, 2);
    tab_.send("again");
    EXPECT_EQ(host_.last_datagram(), cp932(u8"!太郎+again"));
}

TEST_F(Participant, ALoggedInParticipantTakesTheRefusalsTextForALineOfTheLogOnly) {
    // Anyone can send the refusal's text as a chat line; the relay passes it
    // on to everyone logged in.
    participant_.join(u8"太郎");
    tab_.send("hi");
    tab_.hear(text::kLoginAccepted);
    tab_.hear(text::kCapacityRefusal);
    EXPECT_EQ(host_.last(), json({{"type", "line"}, {"text", u8"定員オーバーでログインできません"}, {"time", 0}}));
    EXPECT_TRUE(participant_.joined());
    tab_.send("still here");
    EXPECT_EQ(host_.last_datagram(), cp932(u8"太郎: still here")) << "no second login request";
    Tab other(gateway_);
    other.participant.join(u8"太郎");
    EXPECT_EQ(other.host.last()["code"], "name_in_use");
    participant_.leave();
    EXPECT_EQ(host_.last_datagram(), cp932(u8"#太郎"));
}

TEST_F(Participant, AJoinLetsAnOldSocketThatMayStillHoldAPlaceSayGoodbyeFirst) {
    participant_.join(u8"太郎");
    tab_.send("hi");
    tab_.hear(text::kCapacityRefusal);
    tab_.hear(text::kLoginAccepted);  // a late answer: the relay holds a place after all
    participant_.join(u8"次郎");
    EXPECT_EQ(host_.datagrams, (std::vector<std::string>{cp932(u8"!太郎+hi"), cp932(u8"#太郎")}))
        << "under the old name, before its socket closed";
    EXPECT_EQ(host_.closed, 1);
    EXPECT_TRUE(participant_.joined());
}

TEST(ParticipantNames, AreComparedAsTheRelayStoresThemAndFreedWhenTheTabGoes) {
    GatewayState gateway("relay:1");
    Tab first(gateway);
    first.participant.join((repeat(u8"亜", 15) + "ab").c_str());  // 32 bytes
    first.send("hi");  // entered: the relay knows it under that name
    Tab second(gateway);
    second.participant.join((repeat(u8"亜", 15) + "ac").c_str());
    EXPECT_EQ(second.host.last(), json({{"type", "notice"},
                                        {"code", "name_in_use"},
                                        {"text", u8"その名前は使われています。別の名前で参加してください"}}))
        << "the relay keeps 31 bytes of each: the same name";
    EXPECT_EQ(second.host.opened, 0);
    first.participant.tab_gone();
    second.participant.join((repeat(u8"亜", 15) + "ac").c_str());
    EXPECT_TRUE(second.participant.joined());
    EXPECT_EQ(gateway.registry.count(), 1u);
    {
        Tab brief(gateway);
        brief.participant.join("brief");
        EXPECT_EQ(gateway.registry.count(), 2u);
    }
    EXPECT_EQ(gateway.registry.count(), 1u) << "a participant that is destroyed gives its name back";
}

TEST(ParticipantNames, HeldByOneThatNeverEnteredGoToANewcomerOrLapseAtTheDeadline) {
    GatewayState gateway("relay:1");
    gateway.enter_limit = std::chrono::seconds(600);
    Tab squatter(gateway);
    squatter.participant.join(u8"太郎", t0);
    Tab newcomer(gateway);
    newcomer.participant.join(u8"太郎", t0 + std::chrono::seconds(1));
    EXPECT_TRUE(newcomer.participant.joined());
    EXPECT_FALSE(squatter.participant.joined());
    ASSERT_GE(squatter.host.frames.size(), 2u);
    EXPECT_EQ(squatter.host.frames[squatter.host.frames.size() - 2]["code"], "name_taken");
    EXPECT_EQ(squatter.host.last(), json({{"type", "state"}, {"state", "not_joined"}}));
    EXPECT_TRUE(squatter.host.datagrams.empty()) << "never entered: no leave notice";
    EXPECT_FALSE(squatter.host.open);
    EXPECT_EQ(gateway.registry.count(), 1u);

    newcomer.send("hi", t0 + std::chrono::seconds(2));
    Tab late(gateway);
    late.participant.join(u8"太郎", t0 + std::chrono::seconds(3));
    EXPECT_EQ(late.host.last()["code"], "name_in_use") << "an entered holder keeps its name";

    Tab idle(gateway);
    idle.participant.join(u8"花子", t0);
    gateway.registry.check_enter_deadlines(t0 + std::chrono::seconds(599));
    EXPECT_TRUE(idle.participant.joined());
    gateway.registry.check_enter_deadlines(t0 + std::chrono::seconds(600));
    EXPECT_FALSE(idle.participant.joined());
    ASSERT_GE(idle.host.frames.size(), 2u);
    EXPECT_EQ(idle.host.frames[idle.host.frames.size() - 2],
              json({{"type", "notice"}, {"code", "enter_timeout"}, {"text", u8"発言がないまま時間が過ぎたため退室しました"}}));
    EXPECT_EQ(idle.host.last(), json({{"type", "state"}, {"state", "not_joined"}}));
    EXPECT_TRUE(newcomer.participant.joined()) << "one that entered has no deadline";
    EXPECT_EQ(gateway.registry.count(), 1u) << "the place is given back";
}

TEST_F(Participant, MarksItsOwnLinesByTheirEchoAndEveryLineWithItsTime) {
    participant_.join(u8"太郎");
    tab_.send(u8"はじめまして");
    tab_.send("x");
    tab_.participant.heard(cp932(u8"山田: x"), 1000);
    EXPECT_EQ(host_.last(), json({{"type", "line"}, {"text", u8"山田: x"}, {"time", 1000}}));
    tab_.participant.heard(cp932(u8"太郎 :はじめまして"), 1001);
    EXPECT_EQ(host_.last(), json({{"type", "line"}, {"text", u8"太郎 :はじめまして"}, {"time", 1001}, {"own", true}}))
        << "the relay's rebuilt first line";
    tab_.participant.heard(cp932(u8"太郎: x"), 1002);
    EXPECT_EQ(host_.last()["own"], true);
    tab_.participant.heard(cp932(u8"太郎: x"), 1003);
    EXPECT_FALSE(host_.last().contains("own")) << "one echo per line sent: the same text from another is not ours";
}

TEST(ParticipantNames, ThatTheRelayWouldReadAsPartOfACommandAreRefused) {
    // '!': each chat line with a '+' a login request; '#': each chat line a
    // leave notice; '+': stored cut, so the leave notice frees nothing.
    GatewayState gateway("relay:1");
    for (const char* name : {"!bob", "#bob", "bob+x", "+", u8"山田+"}) {
        Tab tab(gateway);
        tab.participant.join(name);
        EXPECT_EQ(tab.host.last(),
                  json({{"type", "notice"},
                        {"code", "name_invalid"},
                        {"text", u8"お名前の先頭に「!」や「#」は使えません。「+」はお名前のどこにも使えません"}}))
            << name;
        EXPECT_EQ(tab.host.opened, 0) << name;
    }
    EXPECT_EQ(gateway.registry.count(), 0u);
    for (const char* name : {"b!o#b", u8"！ボブ", u8"＃ボブ＋"}) {
        Tab tab(gateway);
        tab.participant.join(name);
        EXPECT_TRUE(tab.participant.joined()) << name;
    }
}

TEST(ParticipantCount, TheHundredAndFirstIsToldTheGatewayIsFull) {
    GatewayState gateway("relay:1");
    std::vector<std::unique_ptr<Tab>> tabs;
    for (int i = 0; i < kMaxParticipants; ++i) {
        tabs.push_back(std::make_unique<Tab>(gateway));
        tabs.back()->participant.join(("p" + std::to_string(i)).c_str());
        ASSERT_TRUE(tabs.back()->participant.joined()) << i;
    }
    Tab late(gateway);
    late.participant.join("late");
    EXPECT_EQ(late.host.last()["code"], "full");
    EXPECT_NE(late.host.last()["text"].get<std::string>().find(u8"100人"), std::string::npos);
    EXPECT_EQ(late.host.opened, 0);
    tabs[7]->participant.leave();
    late.participant.join("late");
    EXPECT_TRUE(late.participant.joined());

    tabs[8]->participant.tab_gone();
    Tab refused(gateway);
    refused.host.sockets_open = false;
    refused.participant.join("nosocket");
    EXPECT_EQ(refused.host.last(),
              json({{"type", "notice"}, {"code", "socket_failed"}, {"text", u8"ソケットをオープンできません"}}));
    EXPECT_EQ(gateway.registry.count(), static_cast<std::size_t>(kMaxParticipants - 1)) << "no socket, no place";
}

TEST_F(Participant, LinesOverTheRateLimitAreNotSentAndSaySo) {
    participant_.join(u8"太郎");
    for (int i = 0; i < 40; ++i) tab_.send("burst");
    EXPECT_EQ(host_.datagrams.size(), 40u);
    tab_.send("one too many");
    EXPECT_EQ(host_.datagrams.size(), 40u);
    EXPECT_EQ(host_.last()["code"], "rate_limited");
    tab_.send("too soon", t0 + std::chrono::milliseconds(40));
    EXPECT_EQ(host_.datagrams.size(), 40u);
    tab_.send("a token later", t0 + std::chrono::milliseconds(60));
    EXPECT_EQ(host_.last_datagram(), cp932(u8"太郎: a token later"));
    tab_.hear(text::kLoginAccepted);
    participant_.leave();  // and its leave notice
    participant_.join(u8"太郎");
    tab_.send("rejoined", t0 + std::chrono::milliseconds(60));
    EXPECT_EQ(host_.last()["code"], "rate_limited") << "leaving and joining again refills nothing";
    for (int i = 0; i < 100; ++i) tab_.send("steady", t0 + std::chrono::seconds(1) + i * std::chrono::milliseconds(50));
    EXPECT_EQ(host_.datagrams.size(), 42u + 100u) << "20 lines a second go through for ever";
}

}  // namespace
}  // namespace conf::web
