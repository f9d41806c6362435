// Resuming a participant after a drop: tokens good once, deadlines, and
// what is held meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "resume_desk.h"

namespace conf::web {
namespace {

using namespace std::chrono_literals;
using Desk = ResumeDesk<int>;

TEST(ResumeTokens, Are43Base64urlCharactersAndNeverRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string token = new_resume_token();
        ASSERT_EQ(token.size(), 43u);
        EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos)
            << token;
        EXPECT_TRUE(seen.insert(token).second) << token;
    }
}

TEST(ResumeDesk, ATokenIsGoodOnceAndOnlyForItsOwnParticipantWhileItLives) {
    int counter = 0;
    Desk desk([&counter] { return "t" + std::to_string(++counter); });
    auto alice = std::make_shared<int>(1);
    auto bob = std::make_shared<int>(2);
    const std::string first = desk.issue(alice);
    const std::string second = desk.issue(alice);
    EXPECT_NE(first, second);
    EXPECT_EQ(desk.redeem(first), nullptr) << "a new token replaces the old";
    const std::string for_bob = desk.issue(bob);
    EXPECT_EQ(desk.redeem(second), alice);
    EXPECT_EQ(desk.redeem(second), nullptr) << "used";
    EXPECT_EQ(desk.redeem("unknown"), nullptr);
    bob.reset();
    EXPECT_EQ(desk.redeem(for_bob), nullptr) << "gone";
    const std::string again = desk.issue(alice);
    desk.forget(alice.get());
    EXPECT_EQ(desk.redeem(again), nullptr) << "left";
    EXPECT_EQ(desk.tokens(), 0u);

    Desk broken([] { return std::string(); });
    EXPECT_EQ(broken.issue(alice), "") << "no random source, no token";
    EXPECT_EQ(broken.tokens(), 0u);
}

TEST(ResumeDesk, KeepsAParkedParticipantUntilItsDeadlineOrItsResume) {
    int counter = 0;
    Desk desk([&counter] { return "t" + std::to_string(++counter); });
    const auto t0 = Desk::Clock::time_point{} + 1h;
    auto dropped = std::make_shared<int>(1);
    auto back = std::make_shared<int>(2);
    const std::string token = desk.issue(back);
    desk.park(dropped, t0 + 120s);
    desk.park(back, t0 + 120s);
    std::weak_ptr<int> watch = dropped;
    dropped.reset();
    EXPECT_FALSE(watch.expired()) << "kept alive while parked";
    EXPECT_EQ(desk.redeem(token), back);
    EXPECT_EQ(desk.parked(), 1u) << "resumed: no longer parked";
    EXPECT_TRUE(desk.expired(t0 + 119s).empty());
    const auto gone = desk.expired(t0 + 120s);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(*gone[0], 1);
    EXPECT_EQ(desk.parked(), 0u);
    desk.park(back, t0 + 500s);
    EXPECT_EQ(desk.take_all_parked().size(), 1u);
    EXPECT_EQ(desk.parked(), 0u);
}

TEST(HeldMessages, KeepsTheOldestWithinBothLimitsAndCountsTheRest) {
    HeldMessages by_count(3, 1000);
    for (const char* text : {"a", "b", "c", "d", "e"}) by_count.hold(std::make_shared<const std::string>(text));
    std::size_t missed = 0;
    const auto kept = by_count.take(&missed);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(*kept.front(), "a");
    EXPECT_EQ(*kept.back(), "c");
    EXPECT_EQ(missed, 2u);
    EXPECT_EQ(by_count.take(&missed).size(), 0u);
    EXPECT_EQ(missed, 0u) << "taken: counted afresh";

    HeldMessages by_bytes(100, 10);
    by_bytes.hold(std::make_shared<const std::string>("123456"));
    by_bytes.hold(std::make_shared<const std::string>("12345"));
    by_bytes.hold(std::make_shared<const std::string>("1234"));
    EXPECT_EQ(by_bytes.take(&missed).size(), 2u);
    EXPECT_EQ(missed, 1u);
}

}  // namespace
}  // namespace conf::web
