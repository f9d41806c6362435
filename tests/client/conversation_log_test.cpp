#include "conversation_log.h"

#include <gtest/gtest.h>

#include <string>

namespace conf {
namespace {

TEST(ConversationLog, AsksToBeClearedOnlyPast64512Bytes) {
    ConversationLog log;
    const std::string line(1022, 'a');  // 1024 bytes with CR LF
    for (int i = 0; i < 63; ++i) ASSERT_TRUE(log.append_line(line));
    EXPECT_EQ(log.size(), 64512u);
    EXPECT_FALSE(log.needs_clearing());
    log.append_line("");
    EXPECT_TRUE(log.needs_clearing());
    log.clear();
    EXPECT_EQ(log.size(), 0u);
    EXPECT_STREQ(log.c_str(), "");
}

TEST(ConversationLog, ALogAtTheLimitTakesTheLongestLineAndNothingPastItsCapacity) {
    ConversationLog log;
    const std::string line(1022, 'a');
    for (int i = 0; i < 63; ++i) log.append_line(line);
    ASSERT_EQ(log.size(), ConversationLog::kClearAbove);
    EXPECT_TRUE(log.append_line(std::string(kMaxDatagram, 'z')));
    EXPECT_EQ(log.size(), ConversationLog::kCapacity - 1);
    EXPECT_FALSE(log.append_line("")) << "a log that was never emptied refuses";
    EXPECT_EQ(log.size(), ConversationLog::kCapacity - 1);
    EXPECT_EQ(log.view().substr(log.size() - 3), "z\r\n");
}

}  // namespace
}  // namespace conf
