// The rules confrelay adds for a room that runs for weeks: one place per
// endpoint, strangers told why nobody hears them, places of the gone freed,
// a newcomer's history and roster, the count printed at most once a second.
// Handled datagram by datagram on a clock moved by hand, without a socket.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_relay_clock.h"
#include "protocol.h"
#include "relay_server.h"
#include "relay_service.h"
#include "room_history.h"

namespace conf {
namespace {

using namespace std::chrono_literals;
using conf::testing::FakeRelayClock;

class QuietView final : public RelayView {
public:
    void show_report(const char*, const char*, ReportOwner) override {}
    void show_count(std::uint32_t count) override { counts.push_back(count); }
    bool register_read_events(net::SocketHandle) override { return true; }
    std::vector<std::uint32_t> counts;
};

struct Sent {
    net::SocketAddress to;
    std::string bytes;
};

class Collected final : public DatagramSender {
public:
    void send_datagram(const net::SocketAddress& to, std::string_view bytes) override {
        sent.push_back({to, std::string(bytes)});
    }
    // What one endpoint was sent, taken away.
    std::vector<std::string> take(const net::SocketAddress& to) {
        std::vector<std::string> got;
        std::vector<Sent> rest;
        for (Sent& datagram : sent) {
            if (net::same_endpoint(datagram.to, to)) got.push_back(std::move(datagram.bytes));
            else rest.push_back(std::move(datagram));
        }
        sent = std::move(rest);
        return got;
    }
    std::vector<Sent> sent;
};

struct Heard {
    HeardKind kind;
    std::string text;
    std::string reason;
};

class Watcher final : public RelayObserver {
public:
    bool on_heard(HeardKind kind, std::string_view text, const net::SocketAddress&, const char*,
                  const char* reason) override {
        heard.push_back({kind, std::string(text), reason != nullptr ? reason : ""});
        return false;
    }
    void on_sends_left() override {}
    void on_table_changed() override { ++changes; }
    void on_save_due() override { ++saves; }
    std::vector<Heard> heard;
    int changes = 0;
    int saves = 0;
};

net::SocketAddress at(std::uint32_t host, std::uint16_t port) { return net::make_address(0x0A000000u + host, port); }
std::string entry_notice(std::string_view name) { return std::string(compose_entry_notice(name).view()); }
std::string exit_notice(std::string_view name) { return std::string(compose_exit_notice(name).view()); }

class Rules : public ::testing::Test {
protected:
    Rules() {
        relay_.set_clock(&clock_);
        relay_.set_observer(&watcher_);
    }
    void hear(const net::SocketAddress& from, std::string_view datagram) { relay_.handle_datagram(datagram, from, out_); }
    void login(const net::SocketAddress& from, std::string_view name, std::string_view text = "hi") {
        hear(from, compose_login_request(name, text).view());
    }

    FakeRelayClock clock_;
    QuietView view_;
    RelayServer relay_{view_};
    Watcher watcher_;
    Collected out_;
};

TEST_F(Rules, MembersOnlyALoginFromAPlacesEndpointTakesThatPlaceAgainUnderItsNewName) {
    const net::SocketAddress alice = at(1, 5000), bob = at(2, 5000);
    for (const bool members_only : {false, true}) {
        SCOPED_TRACE(members_only);
        RelayServer relay(view_);
        relay.set_members_only(members_only);
        relay.handle_datagram("!alice+hi", alice, out_);
        relay.handle_datagram("!bob+hi", bob, out_);
        relay.handle_datagram("!alicia+back again", alice, out_);
        EXPECT_EQ(out_.take(alice).front(), text::kLoginAccepted);
        out_.sent.clear();
        relay.handle_datagram("a line", bob, out_);
        if (members_only) {
            EXPECT_EQ(relay.participant_count(), 2u);
            EXPECT_EQ(std::string(relay.table().slot(0).name), "alicia");
            EXPECT_EQ(out_.take(alice).size(), 1u) << "one copy of every line";
            // In a full room too: the place is the endpoint's own.
            for (std::uint16_t port = 1; relay.participant_count() < 100; ++port)
                relay.handle_datagram("!p+hi", at(3, port), out_);
            out_.sent.clear();
            relay.handle_datagram("!ali+again", alice, out_);
            EXPECT_EQ(out_.take(alice), (std::vector<std::string>{std::string(text::kLoginAccepted),
                                                                   entry_notice("ali"), "ali :again"}));
        } else {
            EXPECT_EQ(relay.participant_count(), 3u) << "the protocol's own way: a second place";
            EXPECT_EQ(out_.take(alice).size(), 2u);
        }
    }
}

TEST_F(Rules, MembersOnlyAStrangerIsToldOncePerAddressEveryTenSeconds) {
    relay_.set_members_only(true);
    const net::SocketAddress member = at(1, 1), stranger = at(7, 4000), same_machine = at(7, 4001);
    login(member, "member");
    out_.sent.clear();
    const std::vector<std::string> told{std::string(kNotAMemberReply)};

    hear(stranger, "stranger: hello");
    hear(same_machine, "#stranger");
    EXPECT_EQ(out_.take(stranger), told);
    EXPECT_TRUE(out_.take(same_machine).empty()) << "one per address, whatever the port";
    EXPECT_TRUE(out_.take(member).empty()) << "nothing of theirs is passed on";
    clock_.advance(9999ms);
    hear(stranger, "again");
    EXPECT_TRUE(out_.take(stranger).empty());
    clock_.advance(1ms);
    hear(same_machine, "again");
    EXPECT_EQ(out_.take(same_machine), told);
    EXPECT_NE(kNotAMemberReply, text::kLoginAccepted);
    EXPECT_NE(kNotAMemberReply, text::kCapacityRefusal);
}

TEST(ReplyLimiter, RemembersABoundedNumberOfAddressesAndForgetsOnlyTheOld) {
    ReplyLimiter limiter;
    const RelayClock::Moment start{std::chrono::hours(1)};
    for (std::uint32_t address = 0; address < ReplyLimiter::kRemembered; ++address)
        ASSERT_TRUE(limiter.allow(address, start));
    EXPECT_FALSE(limiter.allow(5000, start + 1s)) << "full of recent addresses: no reply rather than more memory";
    EXPECT_FALSE(limiter.allow(5001, start + 2s)) << "and no second walk within the interval";
    EXPECT_TRUE(limiter.allow(5002, start + 11s)) << "the old ones are forgotten";
    EXPECT_FALSE(limiter.allow(5002, start + 12s));
}

TEST(BounceReportBudget, ReportsPauseForTheRestOfASecondOnceItsShareIsTaken) {
    BounceReportBudget budget;
    const RelayClock::Moment start{std::chrono::hours(1)};
    EXPECT_TRUE(budget.keep_listening(start, 0));
    EXPECT_TRUE(budget.keep_listening(start + 100ms, BounceReportBudget::kPerSecond - 1));
    EXPECT_FALSE(budget.keep_listening(start + 200ms, 1));
    EXPECT_FALSE(budget.keep_listening(start + 999ms, 0)) << "off for the rest of that second";
    EXPECT_TRUE(budget.keep_listening(start + 1s, 0)) << "and on again after it";
    EXPECT_FALSE(budget.keep_listening(start + 1500ms, BounceReportBudget::kPerSecond));
    EXPECT_TRUE(budget.keep_listening(start + 10s, 3)) << "a quiet while later, counted afresh";
}

TEST_F(Rules, PlacesSilentForTheTimeAllowedAreFreedWithAnExitNoticeAndTheirReason) {
    relay_.set_forget_after(12h);
    const net::SocketAddress talker = at(1, 1), sleeper = at(2, 2);
    login(talker, "talker");
    login(sleeper, "sleeper");
    clock_.advance(12h - 1min);
    hear(talker, "talker: still here");
    EXPECT_EQ(relay_.free_places_of_the_gone(out_), 0);
    clock_.advance(1min);
    out_.sent.clear();
    const int changes = watcher_.changes;
    EXPECT_EQ(relay_.free_places_of_the_gone(out_), 1);
    EXPECT_EQ(out_.take(talker), (std::vector<std::string>{exit_notice("sleeper")}));
    EXPECT_TRUE(out_.take(sleeper).empty());
    EXPECT_EQ(relay_.participant_count(), 1u);
    EXPECT_EQ(watcher_.changes, changes + 1) << "the table is saved";
    ASSERT_FALSE(watcher_.heard.empty());
    EXPECT_EQ(watcher_.heard.back().kind, HeardKind::Exit);
    EXPECT_EQ(watcher_.heard.back().reason, "silent");
    clock_.advance(12h - 2min);
    EXPECT_EQ(relay_.free_places_of_the_gone(out_), 0) << "counted from the talker's last line";
    clock_.advance(1min);
    EXPECT_EQ(relay_.free_places_of_the_gone(out_), 1);
}

TEST_F(Rules, APlaceIsUnreachableAfterThreeBouncesOverTenSecondsWithNothingHeardMeanwhile) {
    const net::SocketAddress alive = at(1, 1), gone = at(2, 2);
    login(alive, "alive");
    login(gone, "gone");
    // Two bounces and a reply: whoever answers is not gone.
    relay_.note_unreachable(gone);
    clock_.advance(6s);
    relay_.note_unreachable(gone);
    hear(gone, "gone: back");
    clock_.advance(6s);
    relay_.note_unreachable(gone);
    EXPECT_EQ(relay_.free_places_of_the_gone(out_), 0);
    // Three in less than ten seconds: one stray burst.
    clock_.advance(4s);
    relay_.note_unreachable(gone);
    clock_.advance(5s);
    relay_.note_unreachable(gone);
    EXPECT_EQ(relay_.free_places_of_the_gone(out_), 0);
    relay_.note_unreachable(at(3, 3));  // nobody's place
    clock_.advance(1s);
    relay_.note_unreachable(gone);
    out_.sent.clear();
    EXPECT_EQ(relay_.free_places_of_the_gone(out_), 1);
    EXPECT_EQ(out_.take(alive), (std::vector<std::string>{exit_notice("gone")}));
    EXPECT_EQ(watcher_.heard.back().reason, "unreachable");
    EXPECT_EQ(relay_.participant_count(), 1u);
}

TEST_F(Rules, ANewcomerGetsTheReplyTheHistoryItsEndTheRosterThenTheEntryAndFirstLine) {
    relay_.set_history(2);
    relay_.set_roster(true);
    const net::SocketAddress alice = at(1, 1), bob = at(2, 2), carol = at(3, 3);
    login(alice, "alice", "first");  // 09:15 on 7 December, local
    clock_.advance(24h + 2h);         // 11:15 on the 8th
    hear(alice, "alice: one");
    clock_.advance(1min);
    out_.sent.clear();
    login(bob, "bob");
    EXPECT_EQ(out_.take(bob), (std::vector<std::string>{
                                  std::string(text::kLoginAccepted), "[12/7 09:15] alice :first",
                                  "[11:15] alice: one", std::string(kHistoryEnd),
                                  "\x8E\x51\x89\xC1\x8E\xD2 2\x90\x6C: alice\x81\x41" "bob",  // 参加者 2人: alice、bob
                                  entry_notice("bob"), "bob :hi"}));
    EXPECT_EQ(out_.take(alice), (std::vector<std::string>{entry_notice("bob"), "bob :hi"}))
        << "history and roster go to the newcomer alone";

    // The last two broadcasts only; a refused login gets none of it.
    for (std::uint16_t i = 0; i < 98; ++i) login(at(4, static_cast<std::uint16_t>(i + 1)), "x");
    out_.sent.clear();
    login(carol, "carol");
    EXPECT_EQ(out_.take(carol), (std::vector<std::string>{std::string(text::kCapacityRefusal)}));
}

TEST(RoomHistoryLines, StampedInLocalTimeAndCutOnACharacterBoundary) {
    const LocalTime heard{1796602502, 0, 9 * 3600};  // 2026-12-07T09:15:02+09:00
    EXPECT_EQ(std::string(history_line(heard, heard, "x").view()), "[09:15] x");
    const LocalTime new_year{1798729200, 0, 9 * 3600};  // 2027-01-01T00:00:00+09:00
    EXPECT_EQ(std::string(history_line(heard, new_year, "x").view()), "[12/7 09:15] x");
    std::string long_line = "ab";
    for (int i = 0; i < 600; ++i) long_line += "\x8A\xBF";  // 漢
    const Line cut = history_line(heard, heard, long_line);
    EXPECT_EQ(cut.size(), 1022u) << "8 bytes of stamp, 'ab', then whole characters only";
    EXPECT_TRUE(cut.cut());
    EXPECT_EQ(cut.view().substr(cut.size() - 2), "\x8A\xBF");
}

TEST(RoomHistoryLines, ARosterTooLongForADatagramEndsWithHowManyItLeftOut) {
    ParticipantTable table;
    for (std::uint16_t i = 0; i < 100; ++i) table.add(at(1, i), std::string(30, static_cast<char>('A' + i % 26)));
    const Line roster = roster_line(table);
    const std::string text(roster.view());
    EXPECT_LE(text.size(), kMaxDatagram);
    const std::string head = "\x8E\x51\x89\xC1\x8E\xD2 100\x90\x6C: ";  // 参加者 100人:
    EXPECT_EQ(text.substr(0, head.size() + 32), head + std::string(30, 'A') + "\x81\x41");
    // 14 bytes of head, 31 names of 30 bytes with 30 separators, and the
    // note of the other 69: 1014 bytes; a 32nd name would not leave room.
    EXPECT_EQ(text.size(), 1014u);
    EXPECT_EQ(text.substr(text.size() - 12), std::string("EE\x81\x63\x82\xD9\x82\xA9") + "69\x90\x6C");
    EXPECT_FALSE(roster.cut());
}

TEST(TranscriptTail, TheLastWholeRecordsOldestFirstWithTheirTimes) {
    const std::string tail =
        "ed-off record\"}\n"
        "{\"time\":\"2026-12-07T09:15:02.123+09:00\",\"kind\":\"line\",\"text\":\"\xE4\xBD\x90: a\"}\n"
        "not json\n"
        "{\"time\":\"yesterday\",\"text\":\"no time\"}\n"
        "{\"time\":\"2026-12-07T00:16:00.000Z\",\"text\":\"Z is not an offset the relay writes\"}\n"
        "{\"time\":\"2026-12-06T23:59:00.000-01:00\",\"kind\":\"exit\",\"text\":\"\xF0\x9F\x98\x80 b\"}\n";
    const std::vector<HeardLine> lines = last_heard_lines(tail, 5);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "\x8D\xB2: a");  // 佐
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(lines[0].time.time_since_epoch()).count(),
              1796602502123);
    EXPECT_EQ(lines[1].text, "? b") << "a character without a code-page-932 form";
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(lines[1].time.time_since_epoch()).count(),
              1796605140);
    EXPECT_EQ(last_heard_lines(tail, 1).size(), 1u);
    EXPECT_EQ(last_heard_lines(tail, 1)[0].text, "? b");
    EXPECT_TRUE(last_heard_lines("no line feed at all", 5).empty());
}

TEST(ServiceOptionsText, DurationsAndCountsAreStrict) {
    std::chrono::seconds duration{};
    const std::pair<const char*, long long> good[] = {{"90s", 90}, {"15m", 900}, {"12h", 43200}, {"366d", 31622400}};
    for (const auto& [text, seconds] : good) {
        EXPECT_TRUE(parse_duration(text, &duration)) << text;
        EXPECT_EQ(duration.count(), seconds);
    }
    for (const char* bad : {"", "s", "12", "0s", "-5m", "+5m", "1.5h", "5 m", "5M", "367d", "99999999999s", "12hh"})
        EXPECT_FALSE(parse_duration(bad, &duration)) << bad;
    std::size_t count = 7;
    EXPECT_TRUE(parse_count("0", 500, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(parse_count("500", 500, &count));
    EXPECT_EQ(count, 500u);
    for (const char* bad : {"", "501", "-1", "+1", "1e2", " 5", "5x"}) EXPECT_FALSE(parse_count(bad, 500, &count)) << bad;
}

TEST(CoalescedCount, AtMostOneLineASecondAndTheLastCountAlways) {
    FakeRelayClock clock;
    std::vector<std::uint32_t> printed;
    CoalescedCount count(clock, [&](std::uint32_t n) { printed.push_back(n); });
    for (std::uint32_t n = 1; n <= 3000; ++n) count.changed(n % 2 == 0 ? 1 : 2);
    count.changed(5);
    EXPECT_EQ(printed, (std::vector<std::uint32_t>{2}));
    clock.advance(999ms);
    count.tick();
    EXPECT_EQ(printed.size(), 1u);
    clock.advance(1ms);
    count.tick();
    EXPECT_EQ(printed, (std::vector<std::uint32_t>{2, 5}));
    count.changed(2);
    count.changed(5);
    clock.advance(2s);
    count.tick();
    EXPECT_EQ(printed.size(), 2u) << "back where it was printed last: nothing new to say";
    count.changed(4);
    count.changed(3);
    EXPECT_EQ(printed, (std::vector<std::uint32_t>{2, 5, 4})) << "a second after the last line: at once";
    count.tick(true);
    EXPECT_EQ(printed, (std::vector<std::uint32_t>{2, 5, 4, 3})) << "at the end, the last count at once";
}

}  // namespace
}  // namespace conf
