// A tab's output: order, the held batch, the limits and the close frame.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tab_output.h"

namespace conf::web {
namespace {

Frame message(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

TEST(TabOutput, WritesOneAtATimeInOrderAndHoldsOnlyABatchThatWaited) {
    TabOutput out({1000, 100});
    ASSERT_EQ(out.push(message("a")), TabOutput::Push::Queued);
    ASSERT_EQ(out.next(), TabOutput::Step::Write);
    EXPECT_EQ(out.front(), "a");
    EXPECT_FALSE(out.holding()) << "a lone message is not held back";
    ASSERT_EQ(out.push(message("b")), TabOutput::Push::Queued);
    ASSERT_EQ(out.push(message("c")), TabOutput::Push::Queued);
    EXPECT_EQ(out.next(), TabOutput::Step::None) << "one write in flight at a time";
    out.done();

    // b and c waited: they leave together, d that comes meanwhile does not
    // join their batch.
    ASSERT_EQ(out.next(), TabOutput::Step::Write);
    EXPECT_EQ(out.front(), "b");
    EXPECT_TRUE(out.holding());
    ASSERT_EQ(out.push(message("d")), TabOutput::Push::Queued);
    out.done();
    ASSERT_EQ(out.next(), TabOutput::Step::Write);
    EXPECT_EQ(out.front(), "c");
    EXPECT_TRUE(out.holding()) << "held until the batch's last message is written";
    out.done();
    ASSERT_EQ(out.next(), TabOutput::Step::Write);
    EXPECT_EQ(out.front(), "d");
    EXPECT_FALSE(out.holding());
    out.done();
    EXPECT_EQ(out.next(), TabOutput::Step::None);
    EXPECT_EQ(out.bytes(), 0u);
    EXPECT_EQ(out.frames(), 0u);
}

TEST(TabOutput, RefusesWhatWouldPassEitherLimitAndKeepsNothingOfIt) {
    TabOutput by_bytes({10, 100});
    ASSERT_EQ(by_bytes.push(message("123456")), TabOutput::Push::Queued);
    EXPECT_EQ(by_bytes.push(message("12345")), TabOutput::Push::Overflow);
    EXPECT_EQ(by_bytes.bytes(), 6u);
    EXPECT_EQ(by_bytes.push(message("1234")), TabOutput::Push::Queued) << "exactly the limit fits";

    TabOutput by_frames({1000, 2});
    ASSERT_EQ(by_frames.push(message("a")), TabOutput::Push::Queued);
    ASSERT_EQ(by_frames.push(message("b")), TabOutput::Push::Queued);
    EXPECT_EQ(by_frames.push(message("c")), TabOutput::Push::Overflow);
    EXPECT_EQ(by_frames.frames(), 2u);
}

TEST(TabOutput, CloseFinishesTheWriteInFlightDropsTheRestAndEndsWithOneCloseFrame) {
    TabOutput out({1000, 100});
    out.push(message("a"));
    out.push(message("b"));
    out.push(message("c"));
    ASSERT_EQ(out.next(), TabOutput::Step::Write);
    ASSERT_TRUE(out.close());
    EXPECT_FALSE(out.close()) << "closing already";
    EXPECT_EQ(out.push(message("late")), TabOutput::Push::Closed);
    EXPECT_EQ(out.frames(), 1u) << "only the message being written is left";
    EXPECT_EQ(out.next(), TabOutput::Step::None) << "the close frame waits for the write";
    out.done();
    EXPECT_EQ(out.next(), TabOutput::Step::Close);
    EXPECT_FALSE(out.holding()) << "the cut batch leaves";
    EXPECT_TRUE(out.in_flight());
    EXPECT_EQ(out.next(), TabOutput::Step::None);
    out.done();
    EXPECT_EQ(out.next(), TabOutput::Step::None) << "one close frame only";
    EXPECT_EQ(out.bytes(), 0u);

    TabOutput idle({1000, 100});
    ASSERT_TRUE(idle.close());
    EXPECT_EQ(idle.next(), TabOutput::Step::Close);
}

TEST(TabOutput, AbandonedSendsNothingMoreNotEvenTheCloseFrame) {
    TabOutput out({1000, 100});
    out.push(message("a"));
    out.push(message("b"));
    ASSERT_EQ(out.next(), TabOutput::Step::Write);
    ASSERT_TRUE(out.close());
    out.abandon();
    out.done();
    EXPECT_EQ(out.next(), TabOutput::Step::None);
    EXPECT_EQ(out.push(message("c")), TabOutput::Push::Closed);
    EXPECT_EQ(out.frames(), 0u);
}

}  // namespace
}  // namespace conf::web
