#include "table_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace conf {
namespace {

net::SocketAddress endpoint(std::uint32_t address, std::uint16_t port) { return net::make_address(address, port); }

void expect_same_places(const ParticipantTable& a, const ParticipantTable& b) {
    ASSERT_EQ(a.in_use(), b.in_use());
    for (int i = 0; i < ParticipantTable::kSlots; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(a.slot(i).in_use, b.slot(i).in_use);
        if (a.slot(i).in_use == 0) continue;
        EXPECT_TRUE(net::same_endpoint(a.slot(i).address, b.slot(i).address));
        EXPECT_EQ(a.slot(i).address.family, b.slot(i).address.family);
        EXPECT_EQ(std::string(a.slot(i).name), std::string(b.slot(i).name));
    }
}

TEST(TableState, ATableComesBackSlotForSlotWithItsNamesByteForByte) {
    ParticipantTable table;
    table.add(endpoint(0xC0000207u, 50211), "\x8D\xB2\x93\xA1");        // 佐藤
    table.add(endpoint(0x0A000001u, 1), "\x95\x5C\x8E\xA6 \xB1\xB2");    // 表示 ｱｲ: 0x5C as a trail byte
    table.add(endpoint(0xFFFFFFFFu, 65535), "bytes \x80\xFD\xFF #!");     // not code page 932 text at all
    table.add(endpoint(0xC0000207u, 50211), "1234567890123456789012345678901");  // same endpoint again, 31 bytes
    table.remove(endpoint(0x0A000001u, 9), "\x95\x5C\x8E\xA6 \xB1\xB2");  // a hole at slot 1
    table.add(endpoint(0, 0), "z");

    const std::string document = table_document(table);
    EXPECT_EQ(document.back(), '\n');
    ParticipantTable read;
    std::string fault;
    ASSERT_TRUE(read_table_document(document, &read, &fault)) << fault;
    expect_same_places(table, read);
    EXPECT_EQ(table_document(read), document);

    ASSERT_TRUE(read_table_document(table_document(ParticipantTable()), &read, &fault)) << fault;
    EXPECT_EQ(read.in_use(), 0);
}

TEST(TableState, AnythingButAWholeValidTableOfThisVersionIsRefusedAndLeavesTheTableAlone) {
    const std::string head = R"({"format":"confrelay participant table","version":1,"participants":[)";
    const std::string sato = R"({"slot":3,"address":"192.0.2.7","port":50211,"name":"佐藤","name_cp932":"8db293a1"})";
    const std::string valid = head + sato + "]}";
    ParticipantTable table;
    std::string fault;
    ASSERT_TRUE(read_table_document(valid, &table, &fault)) << fault;
    ASSERT_EQ(table.slot(3).in_use, 1);

    auto participant = [&](const std::string& from, const std::string& to) {
        std::string changed = sato;
        changed.replace(changed.find(from), from.size(), to);
        return head + changed + "]}";
    };
    const std::vector<std::string> refused = {
        "",
        valid.substr(0, valid.size() / 2),
        valid.substr(0, valid.size() - 1),
        std::string("\0\xFF garbage", 10),
        "[]",
        R"({"format":"something else","version":1,"participants":[]})",
        R"({"format":"confrelay participant table","version":2,"participants":[]})",
        R"({"format":"confrelay participant table","version":"1","participants":[]})",
        R"({"format":"confrelay participant table","version":1.0,"participants":[]})",
        R"({"format":"confrelay participant table","version":1})",
        R"({"format":"confrelay participant table","version":1,"participants":{}})",
        R"({"format":"confrelay participant table","version":1,"participants":[],"more":0})",
        head + sato + "," + sato + "]}",
        head + "1]}",
        participant("\"slot\":3", "\"slot\":100"),
        participant("\"slot\":3", "\"slot\":-1"),
        participant("192.0.2.7", "192.0.2"),
        participant("192.0.2.7", "192.0.2.07"),
        participant("192.0.2.7", "192.0.2.256"),
        participant("192.0.2.7", " 192.0.2.7"),
        participant("50211", "65536"),
        participant("\"name\":\"佐藤\",", ""),
        participant("\"name\":\"佐藤\"", "\"name\":null"),
        participant("}", ",\"extra\":1}"),
        participant("8db293a1", "8DB293A1"),
        participant("8db293a1", "8db293a"),
        participant("8db293a1", ""),
        participant("8db293a1", "8db22b93a1"),          // '+' ends a name
        participant("8db293a1", "8db200a1"),            // NUL
        participant("8db293a1", "8db293"),              // half a character
        participant("8db293a1", std::string(64, '4')),  // 32 bytes
    };
    for (const std::string& document : refused) {
        SCOPED_TRACE(document);
        ParticipantTable kept = table;
        fault.clear();
        EXPECT_FALSE(read_table_document(document, &kept, &fault));
        EXPECT_FALSE(fault.empty());
        expect_same_places(table, kept);
    }
}

}  // namespace
}  // namespace conf
