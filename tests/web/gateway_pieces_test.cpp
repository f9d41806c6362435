// The gateway's smaller pieces: the tab's messages, the shared frames of
// heard lines, the rate limit's clock, the places of each address, the names
// the page is served under.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "address_rates.h"
#include "heard_frames.h"
#include "host_names.h"
#include "http_caching.h"
#include "json.h"
#include "per_address_limit.h"
#include "tab_messages.h"
#include "token_bucket.h"

namespace conf::web {
namespace {

TEST(TabRequests, AreTheThreeKindsWithTheirFieldsAndNothingElse) {
    TabRequest request;
    std::string problem;
    ASSERT_TRUE(parse_tab_request(R"({"type":"join","name":"太郎","extra":1})", &request, &problem));
    EXPECT_EQ(request.kind, TabRequest::Kind::Join);
    EXPECT_EQ(request.text, u8"太郎");
    ASSERT_TRUE(parse_tab_request(R"({"type":"send","text":"a\nb\u0000c"})", &request, &problem));
    EXPECT_EQ(request.kind, TabRequest::Kind::Send);
    EXPECT_EQ(request.text, std::string("a\nb\0c", 5));
    ASSERT_TRUE(parse_tab_request(R"({"type":"leave"})", &request, &problem));
    EXPECT_EQ(request.kind, TabRequest::Kind::Leave);

    for (const char* bad : {"", "{", "nonsense", "[]", "\"join\"", R"({"name":"x"})", R"({"type":7})",
                            R"({"type":"JOIN","name":"x"})", R"({"type":"shout","text":"x"})",
                            R"({"type":"join"})", R"({"type":"join","name":null})", R"({"type":"send","text":["x"]})",
                            R"({"type":"send","text":"\ud800"})"}) {
        problem.clear();
        EXPECT_FALSE(parse_tab_request(bad, &request, &problem)) << bad;
        EXPECT_FALSE(problem.empty()) << bad;
    }
}

TEST(TabFrames, AreValidUtf8JsonWhateverTheyCarry) {
    const std::string broken = frame::line("ok \xFF\xC3", 1733650000123, false);
    EXPECT_EQ(nlohmann::json::parse(broken)["text"], u8"ok \uFFFD\uFFFD");
    EXPECT_EQ(nlohmann::json::parse(frame::notice("x", "\"quoted\"\n<b>"))["text"], "\"quoted\"\n<b>");
}

TEST(HeardFrames, BuildsEachDistinctLineOnceAMillisecondAndSharesIt) {
    HeardFrames frames(4);
    const std::int64_t t = 1733650000123;
    const Frame first = frames.frame_for("\x89\xEF\x8B\x63", t);  // 会議
    EXPECT_EQ(nlohmann::json::parse(*first),
              nlohmann::json({{"type", "line"}, {"text", u8"会議"}, {"time", t}}));
    EXPECT_EQ(frames.frame_for(std::string("\x89\xEF\x8B\x63"), t), first) << "the same bytes, the same frame";
    EXPECT_EQ(frames.built(), 1u);
    for (const char* other : {"a", "b", "c", "d", "e"}) {
        const Frame frame = frames.frame_for(other, t);
        EXPECT_EQ(nlohmann::json::parse(*frame)["text"], other);
    }
    const Frame again = frames.frame_for("\x89\xEF\x8B\x63", t);
    EXPECT_EQ(*again, *first) << "a full cache starts again without mixing lines up";
    EXPECT_EQ(frames.built(), 7u);
    const Frame later = frames.frame_for("\x89\xEF\x8B\x63", t + 1);
    EXPECT_EQ(nlohmann::json::parse(*later)["time"], t + 1) << "heard again later, with its own time";
    EXPECT_EQ(nlohmann::json::parse(*first)["time"], t) << "a frame handed out never changes";
}

TEST(TokenBucket, RefillsWithTimeUpToItsBurstAndNotFromAClockThatGoesBack) {
    const Clock::time_point start = Clock::time_point() + std::chrono::hours(1);
    TokenBucket bucket(10, 3);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(bucket.take(start));
    EXPECT_FALSE(bucket.take(start));
    EXPECT_FALSE(bucket.take(start - std::chrono::seconds(10)));
    EXPECT_FALSE(bucket.take(start + std::chrono::milliseconds(50))) << "the step back gave nothing either";
    EXPECT_TRUE(bucket.take(start + std::chrono::milliseconds(110)));
    const Clock::time_point later = start + std::chrono::hours(1);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(bucket.take(later));
    EXPECT_FALSE(bucket.take(later)) << "an hour's rest saves no more than the burst";
}

TEST(PerAddressLimit, GivesEachAddressItsOwnPlacesBackWhenTheirHoldersGoAnd127001NoLimit) {
    PerAddressLimit limit(2);
    const std::uint32_t host = 0xC0A8010A;  // 192.168.1.10
    {
        AddressPlace first(limit, host);
        AddressPlace second(limit, host);
        EXPECT_TRUE(first && second);
        EXPECT_FALSE(AddressPlace(limit, host)) << "a third from the same host";
        EXPECT_TRUE(AddressPlace(limit, host + 1)) << "another host has places of its own";
        std::vector<AddressPlace> local;
        for (std::uint32_t i = 0; i < 100; ++i) local.emplace_back(limit, 0x7F000001);
        for (const AddressPlace& place : local) EXPECT_TRUE(place);
        AddressPlace other_loopback(limit, 0x7F000002);
        AddressPlace more_loopback(limit, 0x7F000002);
        EXPECT_FALSE(AddressPlace(limit, 0x7F000002)) << "127.0.0.2 counts as a host of its own";
        const AddressPlace moved = std::move(first);
        EXPECT_FALSE(AddressPlace(limit, host)) << "a place that moved is still held";
    }
    EXPECT_TRUE(AddressPlace(limit, host)) << "given back";
    EXPECT_EQ(limit.addresses(), 0u) << "nothing is kept for an address that holds no place";
}

TEST(AddressRates, AreSharedByAnAddressSeparateBetweenAddressesAndForgottenOnlyWhenFullAgain) {
    AddressRates rates;
    const Clock::time_point start = Clock::time_point() + std::chrono::hours(1);
    const std::uint32_t host = 0xC0A8010A;
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(rates.take_line(host, start)) << i;
    EXPECT_FALSE(rates.take_line(host, start)) << "every tab and connection of the address draws on one allowance";
    EXPECT_TRUE(rates.take_line(host + 1, start));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(rates.take_join(host, start)) << i;
    EXPECT_FALSE(rates.take_join(host, start + std::chrono::seconds(5)));
    EXPECT_TRUE(rates.take_join(host, start + std::chrono::seconds(7))) << "one join each 6 s";
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(rates.take_line(0x7F000001, start) && rates.take_join(0x7F000001, start));

    rates.forget_idle(start + std::chrono::seconds(60));
    EXPECT_EQ(rates.addresses(), 2u) << "both used within the last 70 s";
    EXPECT_FALSE(rates.take_join(host, start + std::chrono::seconds(8)));
    rates.forget_idle(start + std::chrono::seconds(80));
    EXPECT_EQ(rates.addresses(), 0u);
}

TEST(HttpCaching, GzipOnlyWhereAcceptedAndTagsMatchedAsAGetCompares) {
    for (const char* yes : {"gzip", "gzip, deflate, br", "br;q=1.0, GZIP;q=0.5", "*", "deflate, *;q=0.1", "x-gzip"})
        EXPECT_TRUE(accepts_gzip(yes)) << yes;
    for (const char* no : {"", "identity", "br, deflate", "gzip;q=0", "gzip; q=0.000, *", "*;q=0", "gzipped"})
        EXPECT_FALSE(accepts_gzip(no)) << no;

    EXPECT_TRUE(etag_matches("\"abc\"", "\"abc\""));
    EXPECT_TRUE(etag_matches("\"x\", W/\"abc\"", "\"abc\"")) << "a weak tag in a list";
    EXPECT_TRUE(etag_matches("*", "\"abc\""));
    EXPECT_FALSE(etag_matches("\"abc-gz\"", "\"abc\"")) << "the other form's tag";
    EXPECT_FALSE(etag_matches("abc", "\"abc\"")) << "tags are quoted";
    EXPECT_FALSE(etag_matches("", "\"abc\""));
}

TEST(HostNames, AreIpv4AddressesLocalhostAndTheNamesGivenWithoutRegardToCase) {
    const HostNames names({"Pc1", "pc1.office.example", "conf.lan"});
    for (const char* host : {"192.168.1.10:8080", "127.0.0.1", "localhost:8080", "LOCALHOST", "pc1:80",
                             "PC1.office.example.", "conf.lan:8080"})
        EXPECT_TRUE(names.allows(host)) << host;
    for (const char* host : {"evil.example:8080", "pc1.evil.example", "evil.pc1", "localhost.evil.example", "",
                             ":8080", ".", "[::1]:8080", "192.168.1.256", "192.168.1", "1.2.3.4.5", "1..2.3",
                             "0x7f.0.0.1", "pc1:80x", "pc1 :80"})
        EXPECT_FALSE(names.allows(host)) << host;
}

}  // namespace
}  // namespace conf::web
