#include "participant_table.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace conf {
namespace {

class RecordingSender final : public DatagramSender {
public:
    void send_datagram(const net::SocketAddress& to, std::string_view bytes) override {
        sent.emplace_back(net::port_of(to), std::string(bytes));
    }
    std::vector<std::pair<std::uint16_t, std::string>> sent;
};

net::SocketAddress host(std::uint8_t last_octet, std::uint16_t port) {
    return net::make_address(0x0A000000u | last_octet, port);
}

TEST(ParticipantTable, TakesTheLowestFreeSlotAndBroadcastsInSlotOrder) {
    ParticipantTable table;
    ASSERT_TRUE(table.add(host(1, 1001), "a"));
    ASSERT_TRUE(table.add(host(2, 1002), "b"));
    ASSERT_TRUE(table.add(host(3, 1003), "c"));
    ASSERT_TRUE(table.remove(host(1, 9999), "a")) << "the port is not part of the match";
    ASSERT_TRUE(table.add(host(4, 1004), "d"));
    EXPECT_EQ(std::string(table.slot(0).name), "d");
    EXPECT_EQ(table.in_use(), 3);

    RecordingSender sender;
    table.broadcast(sender, "x");
    ASSERT_EQ(sender.sent.size(), 3u);
    EXPECT_EQ(sender.sent[0].first, 1004);
    EXPECT_EQ(sender.sent[1].first, 1002);
    EXPECT_EQ(sender.sent[2].first, 1003);
}

TEST(ParticipantTable, SameMachineParticipantsLeaveIndependently) {
    ParticipantTable table;
    table.add(host(1, 1001), "a");
    table.add(host(1, 1002), "b");
    ASSERT_TRUE(table.remove(host(1, 1002), "b"));
    EXPECT_EQ(table.slot(0).in_use, 1);
    EXPECT_EQ(table.slot(1).in_use, 0);

    // Same machine, same name: either leave notice frees the lower slot.
    table.add(host(1, 1003), "a");
    ASSERT_TRUE(table.remove(host(1, 1003), "a"));
    EXPECT_EQ(table.slot(0).in_use, 0);
    EXPECT_EQ(table.slot(1).in_use, 1);
}

TEST(ParticipantTable, AParticipantStoredTwiceIsFreedByTwoLeaveNotices) {
    ParticipantTable table;
    table.add(host(1, 1001), "a");
    table.add(host(1, 1001), "a");
    EXPECT_TRUE(table.remove(host(1, 1001), "a"));
    EXPECT_TRUE(table.remove(host(1, 1001), "a"));
    EXPECT_EQ(table.in_use(), 0);
    RecordingSender sender;
    table.broadcast(sender, "x");
    EXPECT_TRUE(sender.sent.empty()) << "nobody keeps receiving after leaving";
    EXPECT_FALSE(table.remove(host(1, 1001), "a")) << "a third notice matches nothing";
}

TEST(ParticipantTable, UnknownLeaveChangesNothing) {
    ParticipantTable table;
    table.add(host(1, 1001), "a");
    EXPECT_FALSE(table.remove(host(1, 1001), "b"));
    EXPECT_FALSE(table.remove(host(2, 1001), "a"));
    EXPECT_FALSE(table.remove(host(1, 1001), "A")) << "names compare byte for byte";
    EXPECT_EQ(table.in_use(), 1);
}

TEST(ParticipantTable, AFullTableStoresNothingMore) {
    ParticipantTable table;
    for (int i = 0; i < ParticipantTable::kSlots; ++i)
        ASSERT_TRUE(table.add(host(1, static_cast<std::uint16_t>(2000 + i)), "p"));
    EXPECT_FALSE(table.add(host(9, 9), "late"));
    RecordingSender sender;
    table.broadcast(sender, "x");
    EXPECT_EQ(sender.sent.size(), 100u);
    for (const auto& sent : sender.sent) EXPECT_NE(sent.first, 9);
}

TEST(ParticipantTable, StoresNamesOfExactlyThirtyOneBytes) {
    ParticipantTable table;
    const std::string longest(kMaxStoredName, 'n');
    table.add(host(1, 1), longest);
    EXPECT_EQ(std::string(table.slot(0).name), longest);
    EXPECT_TRUE(table.remove(host(1, 1), longest));
}

TEST(ParticipantTable, AReusedSlotForgetsTheLongerOldName) {
    ParticipantTable table;
    table.add(host(1, 1), "longname");
    table.remove(host(1, 1), "longname");
    table.add(host(1, 2), "ab");
    EXPECT_EQ(std::string(table.slot(0).name), "ab");
}

}  // namespace
}  // namespace conf
