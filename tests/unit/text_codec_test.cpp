#include "text_codec.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace conf {
namespace {

TEST(TextCodec, RoundTripsJapaneseThroughCodePage932) {
    std::string cp932;
    ASSERT_TRUE(utf8_to_cp932(u8"会議～ｱｲｳ abc", &cp932));
    EXPECT_EQ(cp932, "\x89\xEF\x8B\x63\x81\x60\xB1\xB2\xB3 abc");
    EXPECT_EQ(cp932_to_utf8(cp932), u8"会議～ｱｲｳ abc");
}

TEST(TextCodec, UsesTheWindowsMappingsOfCodePage932) {
    // Shift-JIS proper maps 81 60 to U+301C and 81 7C to U+2212; the
    // Windows code page uses U+FF5E and U+FF0D.
    EXPECT_EQ(cp932_to_utf8("\x81\x60"), u8"～");
    EXPECT_EQ(cp932_to_utf8("\x81\x7C"), u8"－");
    EXPECT_EQ(cp932_to_utf8("\x87\x40"), u8"①") << "NEC special characters";
}

TEST(TextCodec, GivesTheSameBytesForTheSameCharactersOnEveryPlatform) {
    // glibc takes these to the bytes of their look-alikes (Mac and iPhone
    // Japanese input types 〜 and ¥ so); Windows would refuse them.
    std::string cp932;
    ASSERT_TRUE(utf8_to_cp932(u8"〜−‖¢£¬¥‾—", &cp932));
    EXPECT_EQ(cp932, "\x81\x60\x81\x7C\x81\x61\x81\x91\x81\x92\x81\xCA\x5C\x7E\x81\x5C");
    // Windows alone takes these to single bytes that no receiver shows.
    for (const char* only_windows : {"\xC2\x80", "\xEF\xA3\xB0", "\xEF\xA3\xB3"})
        EXPECT_FALSE(utf8_to_cp932(only_windows, &cp932)) << only_windows;
}

TEST(TextCodec, RefusesWhatCodePage932CannotHold) {
    std::string out = "kept";
    EXPECT_FALSE(utf8_to_cp932(u8"emoji 😀", &out));
    EXPECT_FALSE(utf8_to_cp932(u8"한국어", &out));
    EXPECT_FALSE(utf8_to_cp932("\xFF\xFE broken", &out));
    EXPECT_EQ(out, "kept");
}

TEST(TextCodec, FindsEveryCharacterCodePage932LacksAndGoesOnAfterIt) {
    EXPECT_EQ(characters_without_cp932_form(u8"a😀b𠮷c😀한" "\xFF" "d"),
              (std::vector<std::string_view>{u8"😀", u8"𠮷", u8"😀", u8"한", "\xFF"}));
    EXPECT_TRUE(characters_without_cp932_form(u8"会議～ｱ ①").empty());
}

TEST(TextCodec, ShowsEachByteItCannotMapAsOneReplacementCharacterOnEveryPlatform) {
    // A lead byte at the end, one before a byte that cannot follow it (which
    // is then read on its own), and an unassigned pair among good text: each
    // bad byte becomes one U+FFFD and nothing else is lost.
    EXPECT_EQ(cp932_to_utf8(std::string("ok \x82", 4)), u8"ok \uFFFD");
    EXPECT_EQ(cp932_to_utf8("\x82 \x89\xEF"), u8"\uFFFD 会");
    EXPECT_EQ(cp932_to_utf8("\x85\x40\x8B" "c"), u8"\uFFFD@議");
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(cp932_to_utf8("\x80|\xA0|\xFD\xFE\xFF"), bad + "|" + bad + "|" + bad + bad + bad)
        << "Windows itself maps these to U+0080 and private-use characters";
    EXPECT_EQ(cp932_to_utf8("\xF0\x40\xDF"), u8"\uE000\uFF9F") << "user-defined and half-width are not broken";
}

}  // namespace
}  // namespace conf
