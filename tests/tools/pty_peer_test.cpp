#include "tools/kvsim/pty_peer.h"

#include <thread>

#include <gtest/gtest.h>

#include "tests/tools/slave_fd.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kvsim::PtyPeer;
using kvtest::SlaveFd;

TEST(PtyPeer, RecordsArrivalsWithTheSpeedTheSlaveSet)
{
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    SlaveFd slave(peer.slave_path(), B115200);
    ASSERT_TRUE(slave.ok());
    EXPECT_EQ(peer.current_baud(), 115200u);
    ASSERT_TRUE(slave.write_all({0x56, 0x56}));
    ASSERT_TRUE(peer.wait_for_bytes(2, 2000ms));
    ASSERT_TRUE(slave.set_speed(B921600));
    EXPECT_EQ(peer.current_baud(), 921600u);
    ASSERT_TRUE(slave.write_all({0x53, 0x00, 0x53}));
    ASSERT_TRUE(peer.wait_for_bytes(5, 2000ms));

    const auto arrivals = peer.arrivals();
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[0].bytes, (std::vector<std::uint8_t>{0x56, 0x56}));
    EXPECT_EQ(arrivals[0].baud, 115200u);
    EXPECT_EQ(arrivals[1].baud, 921600u);
    EXPECT_LE(arrivals[0].when, arrivals[1].when);
    EXPECT_EQ(peer.received(), (std::vector<std::uint8_t>{0x56, 0x56, 0x53, 0x00, 0x53}));
    peer.clear_received();
    EXPECT_TRUE(peer.received().empty());
}

TEST(PtyPeer, QueuedRepliesKeepOrderAndDelays)
{
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    SlaveFd slave(peer.slave_path());
    ASSERT_TRUE(slave.ok());
    const auto start = Clock::now();
    peer.send({1, 2});
    peer.send({3}, 150ms);
    const auto first = slave.read_exact(2, 1000ms);
    const auto first_at = Clock::now();
    const auto second = slave.read_exact(1, 1000ms);
    const auto second_at = Clock::now();
    EXPECT_EQ(first, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(second, (std::vector<std::uint8_t>{3}));
    EXPECT_LT(first_at - start, 100ms);
    EXPECT_GE(second_at - start, 150ms);
    EXPECT_LT(second_at - start, 600ms);
}

TEST(PtyPeer, PacedOutputTakesTheLineTime)
{
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    SlaveFd slave(peer.slave_path());
    ASSERT_TRUE(slave.ok());
    // 100 bytes at 1 ms each: a real line would need 100 ms.
    const auto start = Clock::now();
    peer.send_paced(std::vector<std::uint8_t>(100, 0xAA), {}, 1ms);
    EXPECT_EQ(slave.read_exact(100, 2000ms).size(), 100u);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 95ms);
    EXPECT_LT(took, 1000ms);
}

TEST(PtyPeer, CloseHangsUpTheSlave)
{
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    SlaveFd slave(peer.slave_path());
    ASSERT_TRUE(slave.ok());
    peer.close();
    EXPECT_FALSE(peer.is_open());
    EXPECT_TRUE(slave.read_exact(1, 1000ms).empty());
    EXPECT_TRUE(slave.hung_up());
}

TEST(PtyPeer, SlaveCanBeClosedAndReopened)
{
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    {
        SlaveFd slave(peer.slave_path(), B921600);
        ASSERT_TRUE(slave.ok());
    }
    std::this_thread::sleep_for(20ms);
    SlaveFd again(peer.slave_path(), B19200);
    ASSERT_TRUE(again.ok());
    ASSERT_TRUE(again.write_all({7}));
    ASSERT_TRUE(peer.wait_for_bytes(1, 2000ms));
    EXPECT_EQ(peer.arrivals().back().baud, 19200u);
}

TEST(PtyPeer, HandlerAnswersAndMayHangUpFromItsOwnThread)
{
    PtyPeer peer;
    peer.set_arrival_handler([&](const kvsim::Arrival& a) {
        if (a.bytes[0] == 'x')
            peer.close();
        else
            peer.send({static_cast<std::uint8_t>(a.bytes[0] + 1)});
    });
    ASSERT_TRUE(peer.open());
    SlaveFd slave(peer.slave_path());
    ASSERT_TRUE(slave.ok());
    EXPECT_EQ(slave.exchange({'a'}, 1), (std::vector<std::uint8_t>{'b'}));
    ASSERT_TRUE(slave.write_all({'x'}));
    EXPECT_TRUE(slave.read_exact(1, 1000ms).empty());
    EXPECT_TRUE(slave.hung_up());
}

TEST(PtyPeer, LinkReplacesAnExistingLinkButNoFile)
{
    PtyPeer peer;
    ASSERT_TRUE(peer.open());
    const std::string link = ::testing::TempDir() + "kv_pty_link_" + std::to_string(getpid());
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0);
    ASSERT_TRUE(peer.link_as(link));
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), peer.slave_path());
    ::unlink(link.c_str());

    const std::string file = ::testing::TempDir() + "kv_pty_file_" + std::to_string(getpid());
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_FALSE(peer.link_as(file));
    ::unlink(file.c_str());
}

} // namespace
