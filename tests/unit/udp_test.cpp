#include "udp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <string>
#include <thread>

#include "loopback_peer.h"
#include "protocol.h"

namespace conf::net {
namespace {

using conf::testing::LoopbackPeer;

TEST(SocketAddress, HasTheWireLayoutOfAnIpv4Address) {
    const SocketAddress address = make_address(0xC0A80105u, 40000);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
    EXPECT_EQ(address.family, 2);
    EXPECT_EQ(bytes[2], 0x9C);  // 40000 = 0x9C40, network order
    EXPECT_EQ(bytes[3], 0x40);
    EXPECT_EQ(bytes[4], 192);
    EXPECT_EQ(bytes[7], 5);
    for (int i = 8; i < 16; ++i) EXPECT_EQ(bytes[i], 0);
    EXPECT_EQ(port_of(address), 40000);
}

class Udp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(startup());
        receiver_ = open_udp();
        ASSERT_NE(receiver_, kInvalidSocket);
        ASSERT_TRUE(bind_loopback_ephemeral(receiver_));
        ASSERT_TRUE(local_address(receiver_, &receiver_address_));
    }
    void TearDown() override { close_socket(receiver_); }

    ReceiveResult receive_one(char* buffer, std::size_t capacity) {
        EXPECT_EQ(wait_readable(receiver_, 2000), WaitStatus::Readable);
        return receive_from(receiver_, buffer, capacity, &from_);
    }

    SocketHandle receiver_ = kInvalidSocket;
    SocketAddress receiver_address_;
    SocketAddress from_;
    LoopbackPeer sender_;
};

TEST_F(Udp, ReceivesADatagramAndItsSender) {
    sender_.send("hello", receiver_address_);
    char buffer[kDatagramBuffer];
    const ReceiveResult result = receive_one(buffer, kMaxDatagram);
    ASSERT_EQ(result.status, ReceiveStatus::Received);
    EXPECT_EQ(std::string(buffer, result.length), "hello");
    EXPECT_TRUE(same_endpoint(from_, sender_.address()));
    EXPECT_EQ(from_.family, kAddressFamilyInet);
}

TEST_F(Udp, ZeroLengthDatagramIsADatagram) {
    sender_.send("", receiver_address_);
    char buffer[kDatagramBuffer];
    const ReceiveResult result = receive_one(buffer, kMaxDatagram);
    EXPECT_EQ(result.status, ReceiveStatus::Received);
    EXPECT_EQ(result.length, 0u);
}

TEST_F(Udp, ADatagramThatFillsTheLimitExactlyIsWhole) {
    const std::string longest(kMaxDatagram, 'x');
    sender_.send(longest, receiver_address_);
    char buffer[kDatagramBuffer];
    const ReceiveResult result = receive_one(buffer, kMaxDatagram);
    ASSERT_EQ(result.status, ReceiveStatus::Received);
    EXPECT_EQ(result.length, kMaxDatagram);
}

TEST_F(Udp, AnOverLongDatagramIsReportedNotCutAndIsGone) {
    sender_.send(std::string(kMaxDatagram + 1, 'x'), receiver_address_);
    sender_.send("next", receiver_address_);
    char buffer[kDatagramBuffer];
    EXPECT_EQ(receive_one(buffer, kMaxDatagram).status, ReceiveStatus::TooLong);
    const ReceiveResult next = receive_one(buffer, kMaxDatagram);
    ASSERT_EQ(next.status, ReceiveStatus::Received) << "the long datagram must not be read again";
    EXPECT_EQ(std::string(buffer, next.length), "next");
}

TEST_F(Udp, NonBlockingReceiveWithNothingWaitingWouldBlock) {
    ASSERT_TRUE(set_nonblocking(receiver_));
    char buffer[16];
    EXPECT_EQ(receive_from(receiver_, buffer, sizeof buffer, &from_).status, ReceiveStatus::WouldBlock);
}

TEST_F(Udp, WaitTimesOutWhenNothingArrives) {
    EXPECT_EQ(wait_readable(receiver_, 50), WaitStatus::TimedOut);
}

TEST_F(Udp, BindingAPortInUseFails) {
    const SocketHandle second = open_udp();
    ASSERT_NE(second, kInvalidSocket);
    EXPECT_FALSE(bind_any(second, port_of(receiver_address_)));
    EXPECT_TRUE(close_socket(second));
}

TEST(BounceReports, ComeForEverySendToAClosedPortWhileAskedForAndNotAfter) {
    ASSERT_TRUE(startup());
    const SocketHandle relay = open_udp();
    ASSERT_NE(relay, kInvalidSocket);
    ASSERT_TRUE(bind_loopback_ephemeral(relay));
    if (!report_delivery_errors(relay, true)) {
        close_socket(relay);
        GTEST_SKIP() << "this system does not report bounced sends";
    }
    const SocketAddress closed = make_address(0x7F000001u, conf::testing::unused_loopback_port());
    const auto bounce = [&](int times) {
        for (int i = 0; i < times; ++i) EXPECT_EQ(send_to(relay, "x", 1, closed), SendStatus::Sent);
    };
    SocketAddress bounced[512];
    const auto take_within = [&](std::size_t wanted, int milliseconds) {
        std::size_t taken = 0;
        for (int waited = 0;; waited += 10) {
            taken += take_unreachable_destinations(relay, bounced + taken, std::size(bounced) - taken);
            if (taken >= wanted || waited >= milliseconds) return taken;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };

    // More than one system call's batch, in one read; each send that the
    // previous bounce failed is sent again.
    bounce(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(take_unreachable_destinations(relay, bounced, std::size(bounced)), 100u);
    EXPECT_TRUE(same_endpoint(bounced[99], closed));

    ASSERT_TRUE(report_delivery_errors(relay, false));
    bounce(3);
    EXPECT_EQ(take_within(1, 100), 0u);

    ASSERT_TRUE(report_delivery_errors(relay, true));
    bounce(1);
    EXPECT_EQ(take_within(1, 2000), 1u);
    close_socket(relay);
}

TEST(Resolve, FindsLocalhostByNameAndByNumber) {
    ASSERT_TRUE(startup());
    std::uint32_t by_name = 0;
    std::uint32_t by_number = 0;
    ASSERT_TRUE(resolve_ipv4("localhost", &by_name));
    ASSERT_TRUE(resolve_ipv4("127.0.0.1", &by_number));
    EXPECT_EQ(by_number, loopback_address(0).address_be);
    const auto* first = reinterpret_cast<const unsigned char*>(&by_name);
    EXPECT_EQ(first[0], 127);
}

}  // namespace
}  // namespace conf::net
