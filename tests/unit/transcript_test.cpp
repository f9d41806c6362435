#include "transcript.h"

#include <gtest/gtest.h>

#include <string>

#include "json.h"

namespace conf {
namespace {

TEST(TranscriptTime, LocalTimeWithItsOffsetAcrossDaysAndYears) {
    EXPECT_EQ(format_rfc3339({1796602502, 123, 9 * 3600}), "2026-12-07T09:15:02.123+09:00");
    // Half-hour offsets west of UTC, back into a leap day.
    EXPECT_EQ(format_rfc3339({1709258400, 5, -(3 * 3600 + 1800)}), "2024-02-29T22:30:00.005-03:30");
    EXPECT_EQ(format_rfc3339({-1, 999, 0}), "1969-12-31T23:59:59.999+00:00");
}

nlohmann::json parse_record(const std::string& line) {
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one record, one line";
    return nlohmann::json::parse(line);
}

TEST(TranscriptRecord, ShowsWhoReallySentALineUnderAnotherName) {
    const LocalTime time{1796602502, 123, 9 * 3600};
    const net::SocketAddress sato = net::make_address(0xC0000207u, 50211);  // 192.0.2.7
    // 佐藤's endpoint sends "鈴木: 表示" with a CR LF, a quote and a backslash.
    const std::string line = transcript_record(time, HeardKind::Line, sato, "\x8D\xB2\x93\xA1",
                                               "\x97\xE9\x96\xD8: \x95\x5C\x8E\xA6\r\n\"\\");
    EXPECT_EQ(line.substr(0, line.find(",\"text\"")),
              u8R"({"time":"2026-12-07T09:15:02.123+09:00","kind":"line","from":"192.0.2.7:50211","member":"佐藤")");
    EXPECT_EQ(parse_record(line)["text"], u8"鈴木: 表示\r\n\"\\");

    const nlohmann::json stranger = parse_record(transcript_record(time, HeardKind::Exit, sato, nullptr, "x"));
    EXPECT_TRUE(stranger["member"].is_null());
    EXPECT_EQ(stranger["kind"], "exit");
}

TEST(TranscriptRecord, AnyBytesGiveOneValidRecordWithReplacementCharacters) {
    const LocalTime time{0, 0, 0};
    const net::SocketAddress from = net::make_address(0x7F000001u, 1);
    EXPECT_EQ(parse_record(transcript_record(time, HeardKind::Line, from, "\xFF", "ok \x82"))["text"], u8"ok \uFFFD");
    // Every pair of bytes, as text and as a name: never a throw, always one
    // line of JSON with UTF-8 strings.
    for (int first = 1; first < 256; ++first) {
        for (int second = 1; second < 256; second += 7) {
            const char bytes[] = {static_cast<char>(first), static_cast<char>(second), '\0'};
            const std::string line = transcript_record(time, HeardKind::Line, from, bytes, bytes);
            ASSERT_EQ(line.find('\n'), line.size() - 1);
            ASSERT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << first << " " << second;
        }
    }
}

}  // namespace
}  // namespace conf
