#include "protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace conf {
namespace {

std::string hex_bytes(std::string_view bytes) {
    std::string out;
    char cell[4];
    for (char c : bytes) {
        std::snprintf(cell, sizeof cell, "%02X ", static_cast<unsigned char>(c));
        out += cell;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

TEST(FixedTexts, AreTheExactCodePage932Bytes) {
    EXPECT_EQ(hex_bytes(text::kLoginAccepted), "83 8D 83 4F 83 43 83 93 82 B5 82 DC 82 B5 82 BD");
    EXPECT_EQ(hex_bytes(text::kCapacityRefusal),
              "92 E8 88 F5 83 49 81 5B 83 6F 81 5B 82 C5 83 8D 83 4F 83 43 83 93 82 C5 82 AB 82 DC 82 B9 82 F1");
    EXPECT_EQ(hex_bytes(text::kEntrySuffix), "82 B3 82 F1 82 AA 93 FC 8E BA 82 B5 82 DC 82 B5 82 BD");
    EXPECT_EQ(hex_bytes(text::kExitSuffix), "82 B3 82 F1 82 AA 91 DE 8E BA 82 B5 82 DC 82 B5 82 BD");
    EXPECT_EQ(text::kLoginAccepted.size(), 16u);
    EXPECT_EQ(text::kCapacityRefusal.size(), 32u);
    EXPECT_EQ(text::kEntrySuffix.size(), 18u);
    EXPECT_EQ(text::kExitSuffix.size(), 18u);
}

TEST(Cp932Fit, NeverSplitsADoubleByteCharacter) {
    const std::string_view ka = "\x82\xA9";  // か
    const std::string mixed = std::string("a") + std::string(ka) + "b";
    EXPECT_EQ(cp932_fit(mixed, 10), 4u);
    EXPECT_EQ(cp932_fit(mixed, 3), 3u);
    EXPECT_EQ(cp932_fit(mixed, 2), 1u) << "a limit inside か keeps only a";
    EXPECT_EQ(cp932_fit(mixed, 0), 0u);
}

TEST(Cp932Fit, TrailBytesInTheLeadRangeAreNotLeads) {
    // ソ is 83 5C and ー is 81 5B: second bytes 0x5C and 0x5B, and 表 is
    // 95 5C. A trail byte 0x81..0x9F must not be taken for a new lead.
    const std::string_view kana = "\x83\x81\x83\x81";  // メメ
    EXPECT_EQ(cp932_fit(kana, 3), 2u);
    EXPECT_EQ(cp932_fit(kana, 4), 4u);
}

TEST(Cp932Fit, HalfWidthKatakanaAreSingleBytes) {
    const std::string_view half = "\xBF\xB9\xAF\xC4";  // ｿｹｯﾄ
    EXPECT_EQ(cp932_fit(half, 3), 3u);
}

TEST(Cp932Fit, DropsALoneLeadByteAtTheEnd) {
    EXPECT_EQ(cp932_fit("ab\x82", 10), 2u);
    EXPECT_EQ(cp932_fit("\xE0", 10), 0u);
    EXPECT_EQ(cp932_fit("\xFC\x40", 10), 2u);
    EXPECT_EQ(cp932_fit("\xFD", 10), 1u) << "0xFD is no lead byte";
}

TEST(Line, CutsALongLineAtACharacterBoundary) {
    std::string name(1022, 'x');
    const Line line = compose_chat_line(name, "\x82\xA9");
    EXPECT_EQ(line.size(), 1023u);
    EXPECT_TRUE(line.cut());
    EXPECT_EQ(line.view().substr(1022), ":");

    const Line odd = compose_chat_line(std::string(1019, 'x'), "\x82\xA9\x82\xA9");
    // 1019 + ": " = 1021, one か fits (1023), the second does not.
    EXPECT_EQ(odd.size(), 1023u);
    EXPECT_EQ(odd.view().substr(1021), "\x82\xA9");

    const Line split = compose_chat_line(std::string(1020, 'x'), "\x82\xA9");
    EXPECT_EQ(split.size(), 1022u) << "か would straddle the limit and is dropped whole";
    EXPECT_EQ(split.c_str()[split.size()], '\0');
}

TEST(Line, ShortLinesAreComposedExactly) {
    EXPECT_EQ(compose_login_request("ab", "cd").view(), "!ab+cd");
    EXPECT_EQ(compose_chat_line("ab", "cd").view(), "ab: cd");
    EXPECT_EQ(compose_leave_notice("ab").view(), "#ab");
    EXPECT_EQ(compose_first_line("ab", "cd").view(), "ab :cd");
    EXPECT_EQ(compose_entry_notice("ab").view(), std::string("ab") + std::string(text::kEntrySuffix));
    EXPECT_EQ(compose_exit_notice("ab").view(), std::string("ab") + std::string(text::kExitSuffix));
    EXPECT_FALSE(compose_chat_line("ab", "cd").cut());
}

struct LoginCase {
    const char* datagram;
    const char* name;
    const char* text;
};

// Shown in test names: the bytes in hex, since they need not be printable.
void PrintTo(const LoginCase& login, std::ostream* out) { *out << hex_bytes(login.datagram); }

class LoginParsing : public ::testing::TestWithParam<LoginCase> {};

TEST_P(LoginParsing, SplitsNameAndText) {
    LoginRequest request;
    ASSERT_TRUE(parse_login_request(GetParam().datagram, &request));
    EXPECT_EQ(request.name, GetParam().name);
    EXPECT_EQ(request.text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginParsing,
    ::testing::Values(LoginCase{"!ab+cd+ef", "ab", "cd+ef"},
                      LoginCase{"!ab+", "ab", ""},
                      // The text starts after the '+' that ends the name,
                      // however many '+' bytes precede the name.
                      LoginCase{"!+ab+cd", "ab", "cd"},
                      LoginCase{"!++ab+cd", "ab", "cd"},
                      LoginCase{"!\x93\x63\x92\x86+\x82\xB1\x82\xF1", "\x93\x63\x92\x86", "\x82\xB1\x82\xF1"}),
    [](const ::testing::TestParamInfo<LoginCase>& param) { return "Case" + std::to_string(param.index); });

TEST(LoginParsingRejects, RequestsWithoutANameOrWithoutText) {
    LoginRequest request;
    EXPECT_FALSE(parse_login_request("!", &request));
    EXPECT_FALSE(parse_login_request("!+", &request));
    EXPECT_FALSE(parse_login_request("!+++", &request));
    EXPECT_FALSE(parse_login_request("!ab", &request)) << "no '+' after the name";
    EXPECT_FALSE(parse_login_request("!\x81+text", &request)) << "a name of half a character";
    EXPECT_FALSE(parse_login_request("!++\xE0+", &request)) << "a name of half a character";
    EXPECT_FALSE(parse_login_request("#ab+cd", &request));
    EXPECT_FALSE(parse_login_request("", &request));
}

TEST(LoginParsingCuts, LongNamesToThirtyOneBytesAtACharacterBoundary) {
    LoginRequest request;
    const std::string ascii = "!" + std::string(40, 'n') + "+hi";
    ASSERT_TRUE(parse_login_request(ascii, &request));
    EXPECT_EQ(request.name, std::string(31, 'n'));
    EXPECT_EQ(request.text, "hi");

    std::string kanji;
    for (int i = 0; i < 20; ++i) kanji += "\x8A\xBF";  // 漢 x 20 = 40 bytes
    const std::string datagram = "!" + kanji + "+x";
    ASSERT_TRUE(parse_login_request(datagram, &request));
    EXPECT_EQ(request.name.size(), 30u) << "15 whole characters, not 15.5";
    EXPECT_EQ(request.name, kanji.substr(0, 30));
}

TEST(LeaveNotice, NameIsCutLikeAStoredName) {
    EXPECT_EQ(leave_notice_name("#ab"), "ab");
    EXPECT_EQ(leave_notice_name("#"), "");
    EXPECT_EQ(leave_notice_name("#" + std::string(40, 'n')), std::string(31, 'n'));
    EXPECT_EQ(leave_notice_name("ab"), "");
}

TEST(ReceivedText, EndsAtTheFirstNul) {
    const char bytes[] = {'a', 'b', '\0', 'c'};
    EXPECT_EQ(as_received_text(bytes, 4), "ab");
    EXPECT_EQ(as_received_text(bytes, 2), "ab");
    EXPECT_EQ(as_received_text(bytes, 0), "");
}

}  // namespace
}  // namespace conf
