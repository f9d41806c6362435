// The service's own rules over real files in a folder of the test's own, on
// a clock moved by hand: a failed save tried again once a second, records
// lost and counted while the transcript cannot be written, a removed or
// rotated transcript begun again.
#include "relay_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <string>
#include <vector>

#include "fake_relay_clock.h"
#include "protocol.h"

namespace conf {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using conf::testing::FakeRelayClock;

class QuietView final : public RelayView {
public:
    void show_report(const char*, const char*, ReportOwner) override {}
    void show_count(std::uint32_t) override {}
    bool register_read_events(net::SocketHandle) override { return true; }
};

class Dropped final : public DatagramSender {
public:
    void send_datagram(const net::SocketAddress&, std::string_view) override {}
};

std::string read_all(const fs::path& path) {
    std::string bytes;
    std::string error;
    // As a reader beside the relay's own open transcript.
    return host::read_file_tail(path.string(), 1 << 20, &bytes, &error) == host::ReadStatus::Read ? bytes
                                                                                                 : std::string();
}

std::size_t lines_in(const fs::path& path) {
    const std::string text = read_all(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = fs::temp_directory_path() / (std::string("confrelay-service-") + info->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    Report collect() {
        return [this](const std::string& text) { reports_.push_back(text); };
    }
    // One datagram through the relay, as a loop hands it over.
    void hear(RelayServer& relay, const net::SocketAddress& from, std::string_view datagram) {
        relay.handle_datagram(datagram, from, out_);
        relay.save_now();
        relay.sends_left();
    }

    fs::path folder_;
    std::vector<std::string> reports_;
    FakeRelayClock clock_;
    Dropped out_;
};

TEST_F(Service, AFailedSaveIsReportedOnceAndTriedAgainOnceASecond) {
    const fs::path missing = folder_ / "not yet";
    StateFile state((missing / "room.state").string(), collect(), &clock_);
    ParticipantTable table;
    table.add(net::make_address(0x7F000001u, 5000), "sato");
    state.changed();
    state.save_if_changed(table);
    ASSERT_EQ(reports_.size(), 1u);
    fs::create_directories(missing);
    clock_.advance(999ms);
    state.save_if_changed(table);
    EXPECT_FALSE(fs::exists(missing / "room.state")) << "not tried again within the second";
    EXPECT_EQ(reports_.size(), 1u);
    clock_.advance(1ms);
    state.save_if_changed(table);
    EXPECT_NE(read_all(missing / "room.state").find("\"sato\""), std::string::npos);
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_NE(reports_[1].find("written again"), std::string::npos) << reports_[1];
}

TEST_F(Service, RecordsThatCannotBeWrittenAreCountedAndTheCountReportedWhenWritingResumes) {
    const fs::path missing = folder_ / "later";
    Transcript transcript((missing / "room.jsonl").string(), collect());
    transcript.open();
    transcript.append("{}\n");
    transcript.append("{}\n");
    ASSERT_EQ(reports_.size(), 1u) << "trouble is reported when it begins, not per record";
    fs::create_directories(missing);
    transcript.append("{}\n");
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_NE(reports_[1].find("written again after 2 lost records"), std::string::npos) << reports_[1];
    EXPECT_EQ(lines_in(missing / "room.jsonl"), 1u);
}

TEST_F(Service, ARemovedTranscriptIsNoticedWithinASecondAndARotatedOneReopenedOnTheSignal) {
    const fs::path path = folder_ / "room.jsonl";
    host::SignalFlags signals;
    ServiceOptions options;
    options.transcript_path = path.string();
    QuietView view;
    RelayServer relay(view);
    RelayService service(relay, options, collect(), {&clock_, &signals, &out_});
    service.begin();
    const net::SocketAddress sato = net::make_address(0x7F000001u, 5000);
    hear(relay, sato, "!sato+hi");
    service.tick();
    ASSERT_EQ(lines_in(path), 2u);

    std::error_code error;
    fs::rename(path, folder_ / "room.jsonl.1", error);
    if (error) GTEST_SKIP() << "an open file cannot be renamed here";
    signals.reopen = 1;
    service.tick();
    EXPECT_EQ(signals.reopen, 0);
    hear(relay, sato, "after the rotation");
    EXPECT_EQ(lines_in(path), 1u);
    EXPECT_EQ(lines_in(folder_ / "room.jsonl.1"), 2u);

    if (!fs::remove(path, error)) GTEST_SKIP() << "an open file cannot be removed here";
    hear(relay, sato, "into the removed file");
    clock_.advance(500ms);
    service.tick();
    EXPECT_TRUE(reports_.empty());
    clock_.advance(500ms);
    service.tick();
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_NE(reports_[0].find("up to 2 records"), std::string::npos) << reports_[0];
    hear(relay, sato, "into the new file");
    EXPECT_EQ(lines_in(path), 1u);
    service.finish();
}

}  // namespace
}  // namespace conf
