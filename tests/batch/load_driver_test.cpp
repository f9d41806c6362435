// The rules of the benchmarks' turns, with targets that carry no load: who
// goes first, what is counted, and what happens to a road that breaks down.
#include "load_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace conf::bench {
namespace {

constexpr int kReceivers = 4;

// Writes each call to a shared log; its n-th slice (from 0) carries n + 1
// lines, so that a figure tells which slice it came from.
class FakeTarget final : public LoadTarget {
public:
    FakeTarget(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}

    int incomplete_at = -1;  // the slice that does not complete
    std::string trouble_after_failure;

    bool start(std::string*) override { return true; }
    ThroughputSlice push_slice() override {
        log_->push_back("slice " + name_);
        ThroughputSlice slice;
        slice.complete = pushed_ != incomplete_at;
        failed_ = failed_ || !slice.complete;
        slice.lines = ++pushed_;
        slice.deliveries = slice.lines * kReceivers;
        slice.seconds = 0.5;
        return slice;
    }
    void measure_latency(double seconds, std::vector<double>* latencies_us) override {
        log_->push_back("latency " + name_);
        latencies_us->push_back(seconds * 1000);
    }
    LoadTally tally() const override {
        LoadTally tally;
        tally.lines_sent = pushed_;
        return tally;
    }
    std::string trouble() const override { return failed_ ? trouble_after_failure : std::string(); }

private:
    std::string name_;
    std::vector<std::string>* log_;
    int pushed_ = 0;
    bool failed_ = false;
};

struct LoadTurns : ::testing::Test {
    std::vector<std::string> log;
    FakeTarget a{"a", &log}, b{"b", &log}, c{"c", &log};
    Contender ca, cb, cc;
    TurnPlan plan;

    void SetUp() override {
        ca.label = "a";
        ca.target = &a;
        cb.label = "b";
        cb.target = &b;
        cc.label = "c";
        cc.target = &c;
        plan.runs = 2;
        plan.latency_runs = 2;
        plan.latency_seconds = 0.25;
        plan.progress = nullptr;
    }
};

TEST_F(LoadTurns, EachTurnStartsWithTheNextContender) {
    take_turns({&ca, &cb, &cc}, plan);
    const std::vector<std::string> expected = {
        "slice a",   "slice b",   "slice c",                                  // warm-up
        "slice b",   "slice c",   "slice a",   "slice c", "slice a", "slice b",  // runs
        "latency a", "latency b", "latency c", "latency b", "latency c", "latency a"};
    EXPECT_EQ(log, expected);
}

TEST_F(LoadTurns, TheWarmUpSliceIsNotCounted) {
    std::vector<bool> seen_counted;
    ca.after_slice = [&](const ThroughputSlice&, bool counted) { seen_counted.push_back(counted); };
    take_turns({&ca, &cb, &cc}, plan);
    ASSERT_EQ(ca.slices.size(), 2u);
    EXPECT_EQ(ca.slices[0].lines, 2);  // the first slice was the warm-up
    EXPECT_EQ(ca.slices[1].lines, 3);
    EXPECT_EQ(seen_counted, (std::vector<bool>{false, true, true}));
    EXPECT_EQ(ca.tally.lines_sent, 3);
    EXPECT_EQ(ca.latencies_us, (std::vector<double>{250, 250}));
}

TEST_F(LoadTurns, AnIncompleteSliceTakesItsContenderOutAndTheOthersGoOn) {
    b.incomplete_at = 1;  // its first counted slice
    b.trouble_after_failure = "tab 3: connection reset";
    c.incomplete_at = 2;
    plan.slice_limit_seconds = 7.9;
    int after_c = 0;
    cc.after_slice = [&](const ThroughputSlice&, bool) { ++after_c; };
    take_turns({&ca, &cb, &cc}, plan);

    EXPECT_EQ(cb.failure, "tab 3: connection reset");
    EXPECT_EQ(cc.failure, "a slice did not complete within 7 s");
    EXPECT_TRUE(cb.slices.empty());
    EXPECT_EQ(cc.slices.size(), 1u);
    EXPECT_EQ(after_c, 2);  // not for the slice that failed
    EXPECT_EQ(ca.slices.size(), 2u);
    EXPECT_EQ(ca.latencies_us.size(), 2u);
    EXPECT_TRUE(cb.latencies_us.empty());
    EXPECT_EQ(std::count(log.begin(), log.end(), "slice b"), 2);
    EXPECT_EQ(cb.tally.lines_sent, 2);  // tallied all the same
}

TEST_F(LoadTurns, AContenderThatNeverStartedIsLeftAlone) {
    cb.target = nullptr;
    cb.failure = "no relay";
    take_turns({&ca, &cb, &cc}, plan);
    EXPECT_EQ(std::count(log.begin(), log.end(), "slice b"), 0);
    EXPECT_EQ(cb.failure, "no relay");
    EXPECT_EQ(cc.slices.size(), 2u);
}

TEST_F(LoadTurns, TheCheckFindsASliceThatDoesNotAddUp) {
    take_turns({&ca, &cb, &cc}, plan);
    std::string problems;
    check_figures(ca, kReceivers, "datagrams", &problems);
    EXPECT_EQ(problems, "");

    ca.slices[1].deliveries -= 1;
    ca.tally.malformed = 2;
    problems = "started late";
    check_figures(ca, kReceivers, "datagrams", &problems);
    EXPECT_EQ(problems, "started late; 2 malformed datagrams; a slice counted 11 copies of 3 lines for 4 receivers");
}

TEST(LoadFigures, RatiosPairTheRunsAndSkipWhatIsUnknown) {
    // The third run has no figure of mine, the fifth none of theirs.
    EXPECT_DOUBLE_EQ(median_ratio({2, 9, -1, 6, 5}, {1, 3, 4, 2}), 3);
    EXPECT_TRUE(std::isnan(median_ratio({-1}, {1})));
}

}  // namespace
}  // namespace conf::bench
