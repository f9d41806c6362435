#include "port_number.h"

#include <gtest/gtest.h>

namespace conf {
namespace {

TEST(PortNumber, AcceptsTheWholeRange) {
    std::uint16_t port = 0;
    ASSERT_TRUE(parse_port("1", &port));
    EXPECT_EQ(port, 1);
    ASSERT_TRUE(parse_port("65535", &port));
    EXPECT_EQ(port, 65535);
    ASSERT_TRUE(parse_port("  40000", &port)) << "leading blanks are skipped";
    EXPECT_EQ(port, 40000);
    ASSERT_TRUE(parse_port("00080", &port));
    EXPECT_EQ(port, 80);
}

TEST(PortNumber, RefusesWhatIsNoPort) {
    std::uint16_t port = 7;
    for (const char* text : {"0", "65536", "-1", "+5", "abc", "", "   ", "12ab", "4294967296", "99999999999"}) {
        EXPECT_FALSE(parse_port(text, &port)) << '"' << text << '"';
    }
    EXPECT_EQ(port, 7) << "a refused text leaves the port alone";
}

TEST(UnsignedDecimal, ReadsUpToThirtyTwoBits) {
    std::uint32_t value = 0;
    ASSERT_TRUE(parse_unsigned_decimal("4294967295", &value));
    EXPECT_EQ(value, 4294967295u);
    EXPECT_FALSE(parse_unsigned_decimal("4294967296", &value));
}

}  // namespace
}  // namespace conf
