#include "service_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string read_all(const std::string& path) {
    std::string bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
        std::fclose(file);
    }
    return bytes;
}

class ServiceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "service_log_test_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(path_.c_str());
        std::remove((path_ + ".old").c_str());
    }
    void TearDown() override {
        std::remove(path_.c_str());
        std::remove((path_ + ".old").c_str());
    }
    std::string path_;
};

std::string fixed_stamp() { return "T "; }

TEST_F(ServiceLogTest, LinesArriveInPiecesAndAreStampedAndMadeHarmless) {
    {
        conf::service::ServiceLog log(path_, 1 << 20, fixed_stamp);
        std::string error;
        ASSERT_TRUE(log.open(&error)) << error;
        log.take("confrelay: list");
        log.take("ening\r\nname \x1b[2Jx\x07\tend\n");
        // Code page 932 pairs are kept whole; an unfinished line at the end too.
        log.take("\x83\x8d\x83O\x7f");
        log.finish();
    }
    EXPECT_EQ(read_all(path_), "T confrelay: listening\r\nT name ?[2Jx?\tend\r\nT \x83\x8d\x83O?\r\n");
}

TEST_F(ServiceLogTest, AppendsToWhatAnEarlierRunWroteAndCutsOverlongLines) {
    for (int run = 0; run < 2; ++run) {
        conf::service::ServiceLog log(path_, 1 << 20, fixed_stamp);
        std::string error;
        ASSERT_TRUE(log.open(&error)) << error;
        log.take("run\n");
        if (run == 1) log.take(std::string(conf::service::ServiceLog::kMaxLineBytes + 5, 'a') + "\n");
    }
    const std::string expected = "T run\r\nT run\r\nT " + std::string(conf::service::ServiceLog::kMaxLineBytes, 'a') +
                                 "\r\nT aaaaa\r\n";
    EXPECT_EQ(read_all(path_), expected);
}

TEST_F(ServiceLogTest, AFloodKeepsAtMostTheLimitInEachOfTwoFiles) {
    constexpr std::size_t kLimit = 1000;
    conf::service::ServiceLog log(path_, kLimit, fixed_stamp);
    std::string error;
    ASSERT_TRUE(log.open(&error)) << error;
    for (int i = 0; i < 500; ++i) log.take("participants: " + std::to_string(i) + "\n");
    log.finish();
    const std::string current = read_all(path_);
    const std::string old = read_all(path_ + ".old");
    EXPECT_LE(current.size(), kLimit);
    EXPECT_LE(old.size(), kLimit);
    EXPECT_GT(old.size(), kLimit - 40);  // begun again only when full
    // The newest line is in the current file, the lines before it in the old.
    EXPECT_EQ(current.substr(current.size() - 21), "T participants: 499\r\n");
    EXPECT_NE(old.find("participants: "), std::string::npos);
    EXPECT_EQ(current.find("participants: 0\r"), std::string::npos);
}

TEST_F(ServiceLogTest, AFolderThatCannotBeWrittenFailsToOpen) {
    conf::service::ServiceLog log(path_ + ".missing-folder/x.log", 1000, fixed_stamp);
    std::string error;
    EXPECT_FALSE(log.open(&error));
    EXPECT_NE(error.find("x.log"), std::string::npos);
}

}  // namespace
