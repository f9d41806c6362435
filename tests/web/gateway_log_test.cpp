// The gateway's log: a peer's repeats counted, never waiting on the sink,
// nothing of a stranger's that could drive a terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "gateway_log.h"

namespace conf::web {
namespace {

using namespace std::chrono_literals;

TEST(RepeatLimiter, WritesOnePerAddressAndReasonEachPeriodAndCountsTheRest) {
    RepeatLimiter limiter(10s, 100);
    const auto start = RepeatLimiter::Clock::time_point{} + 1h;
    const std::uint32_t a = 0x0A000001;
    const std::uint32_t b = 0x0A000002;
    EXPECT_TRUE(limiter.admit(a, "refused (403): host", start));
    for (int i = 0; i < 500; ++i) EXPECT_FALSE(limiter.admit(a, "refused (403): host", start + 1s));
    EXPECT_TRUE(limiter.admit(a, "closed (1009)", start + 1s)) << "another reason";
    EXPECT_TRUE(limiter.admit(b, "refused (403): host", start + 1s)) << "another address";
    EXPECT_TRUE(limiter.summaries(start + 9s, false).empty()) << "the period goes on";

    EXPECT_EQ(limiter.summaries(start + 10s, false),
              std::vector<std::string>{"10.0.0.1: 500 more like the last \"refused (403): host\""});
    EXPECT_TRUE(limiter.admit(a, "refused (403): host", start + 10s)) << "a new period";
    EXPECT_FALSE(limiter.admit(a, "refused (403): host", start + 11s));
    EXPECT_EQ(limiter.summaries(start + 12s, true),
              std::vector<std::string>{"10.0.0.1: 1 more like the last \"refused (403): host\""})
        << "all at the end, pairs without repeats say nothing";
}

TEST(RepeatLimiter, TooManyPairsAreCountedTogetherNotKept) {
    RepeatLimiter limiter(10s, 2);
    const auto now = RepeatLimiter::Clock::time_point{} + 1h;
    EXPECT_TRUE(limiter.admit(1, "x", now));
    EXPECT_TRUE(limiter.admit(2, "x", now));
    for (std::uint32_t address = 3; address < 1000; ++address) EXPECT_FALSE(limiter.admit(address, "x", now));
    EXPECT_EQ(limiter.summaries(now, true), std::vector<std::string>{"997 more lines from too many addresses"});
}

TEST(LogWriter, NeverWaitsForAStuckSinkAndSaysHowManyLinesItDropped) {
    std::mutex mutex;
    std::condition_variable changed;
    bool stuck = true;
    std::vector<std::string> written;
    {
        LogWriter writer(
            [&](const std::string& line) {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !stuck; });
                written.push_back(line);
            },
            100);
        const auto before = std::chrono::steady_clock::now();
        for (int i = 0; i < 10000; ++i) writer.write("line " + std::to_string(i) + "\n");
        EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "no write waited for the sink";
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stuck = false;
        }
        changed.notify_all();
    }  // the writer's end writes what waits
    ASSERT_GE(written.size(), 3u);
    EXPECT_EQ(written.front(), "line 0\n");
    EXPECT_LE(written.size(), 20u) << "100 bytes of lines waited at most";
    std::size_t kept = written.size() - 1;
    EXPECT_EQ(written.back(), "confweb: " + std::to_string(10000 - kept) +
                                  " log lines dropped: the log could not keep up\n");
}

TEST(Loggable, ShowsControlsOfEveryKindAsQuestionMarksAndKeepsOtherText) {
    EXPECT_EQ(loggable("evil.example:80"), "evil.example:80");
    EXPECT_EQ(loggable(u8"会議.example"), u8"会議.example");
    EXPECT_EQ(loggable("a\x1b]0;title\x07z\r\n\x7f"), "a?]0;title?z???");
    EXPECT_EQ(loggable("\xc2\x9b" "31m\xc2\x85"), "?31m?") << "C1 controls in UTF-8";
    EXPECT_EQ(loggable("\x9b" "31m\xff\xe3\x81"), "?31m???") << "bytes that are no UTF-8";
    EXPECT_EQ(loggable(std::string(150, 'x')), std::string(100, 'x') + "...");
}

}  // namespace
}  // namespace conf::web
