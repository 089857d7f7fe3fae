#include "tools/kvsim/sim_device.h"

#include <sys/stat.h>

#include <memory>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include "tests/tools/slave_fd.h"
#include "tools/qfwpack/package_builder.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using kvsim::DeviceConfig;
using kvsim::Fault;
using kvsim::SimDevice;
using kvtest::SlaveFd;

std::uint8_t Sum(const Bytes& b)
{
    return static_cast<std::uint8_t>(std::accumulate(b.begin(), b.end(), 0u));
}

Bytes WithSum(Bytes b)
{
    b.push_back(Sum(b));
    return b;
}

class SimDeviceTest : public ::testing::Test {
protected:
    void Start(DeviceConfig config = {}, speed_t speed = B115200)
    {
        device_ = std::make_unique<SimDevice>(std::move(config));
        ASSERT_TRUE(device_->start());
        slave_ = std::make_unique<SlaveFd>(device_->slave_path(), speed);
        ASSERT_TRUE(slave_->ok());
    }
    Bytes Ask(const Bytes& request, std::size_t reply_size, std::chrono::milliseconds timeout = 1000ms)
    {
        return slave_->exchange(request, reply_size, timeout);
    }
    // No answer: waits long enough for one that a correct device would have sent by now.
    bool Silent(const Bytes& request) { return Ask(request, 1, 150ms).empty(); }

    std::unique_ptr<SimDevice> device_;
    std::unique_ptr<SlaveFd> slave_;
};

DeviceConfig Configured()
{
    DeviceConfig c;
    c.firmware_major = 10;
    c.firmware_minor = 15;
    c.hardware_letter = 'O';
    for (std::size_t i = 0; i < c.eeprom.size(); ++i)
        c.eeprom[i] = static_cast<std::uint8_t>(i * 7 + 3);
    c.eeprom[kvsim::kEepromDeviceId] = 'P';
    c.eeprom[kvsim::kEepromInterface] = 'U';
    c.active_bank = 5;
    c.rw_bank = 0xFE;
    for (std::size_t i = 0; i < 16; ++i)
        c.flash_info[i] = static_cast<std::uint8_t>(0xF0 + i);
    c.serial = {'A', 1, 2, 3, 4, 5, 6, 7, 8};
    c.serial_trailer = 0x5A;
    return c;
}

TEST_F(SimDeviceTest, AnswersEachQueryWithItsExactBytes)
{
    const DeviceConfig c = Configured();
    Start(c);
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{10, 15, 'O'}));

    // Generation-1 EEPROM read, 7 bytes at 1 (the EEPROM information record).
    Bytes info(c.eeprom.begin() + 1, c.eeprom.begin() + 8);
    EXPECT_EQ(Ask({0x48, 0x52, 0x07, 0x00, 0x01, 0xA2}, 8), WithSum(info));
    // The other generations' form: 'E', count, address, count zero bytes, sum.
    Bytes other = {0x45, 0x07, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(Sum(other), 0x4D);
    EXPECT_EQ(Ask(WithSum(other), 8), WithSum(info));
    // Count byte 0 stands for 256.
    Bytes request = {0x48, 0x52, 0x00, 0x01, 0x00};
    Bytes block(c.eeprom.begin() + 0x100, c.eeprom.begin() + 0x200);
    EXPECT_EQ(Ask(WithSum(request), 257), WithSum(block));

    EXPECT_EQ(Ask({0x42, 0x45, 0x45, 0xCC}, 1), (Bytes{5}));
    EXPECT_EQ(Ask({0x42, 0x52, 0x52, 0xE6}, 1), (Bytes{0xFE}));
    EXPECT_EQ(Ask({0x44, 0x4F, 0x4C, 0x49, 0x28}, 17),
              WithSum(Bytes(c.flash_info.begin(), c.flash_info.end())));
    EXPECT_EQ(Ask({0x4E, 0x53, 0xA1}, 10), (Bytes{'A', 1, 2, 3, 4, 5, 6, 7, 8, 0x5A}));

    const auto frames = device_->frames();
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(frames[0].bytes, (Bytes{'V', 'V'}));
    EXPECT_EQ(frames[3].bytes.size(), 6u);
    EXPECT_EQ(frames[0].baud, 115200u);
    EXPECT_FALSE(frames[0].ignored);
}

TEST_F(SimDeviceTest, UnknownOrMisSummedRequestsGetAQuestionMark)
{
    Start(Configured());
    EXPECT_EQ(Ask({'Z', 1, 2}, 1), (Bytes{'?'}));
    EXPECT_EQ(Ask({0x48, 0x52, 0x07, 0x00, 0x01, 0xA3}, 1), (Bytes{'?'}));
    EXPECT_EQ(Ask({0x42, 0x45, 0x52, 0xD9}, 1), (Bytes{'?'})); // selectors disagree
    // The device is still in step after them.
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{10, 15, 'O'}));
}

TEST_F(SimDeviceTest, FollowsAConfirmedSpeedChangeAndIgnoresOtherSpeeds)
{
    Start();
    EXPECT_EQ(Ask({0x53, 0x00, 0x53}, 1), (Bytes{'O'}));
    EXPECT_EQ(device_->current_speed(), 921600u);
    EXPECT_TRUE(Silent({'V', 'V'})); // host stayed at 115200
    ASSERT_TRUE(slave_->set_speed(B921600));
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{2, 20, 'A'}));
    EXPECT_EQ(Ask({0x53, 0x07, 0x5A}, 1), (Bytes{'O'}));
    ASSERT_TRUE(slave_->set_speed(B115200));
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{2, 20, 'A'}));

    const auto frames = device_->frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_TRUE(frames[1].ignored);
    EXPECT_EQ(frames[1].baud, 115200u);
    EXPECT_EQ(frames[2].baud, 921600u);
    EXPECT_FALSE(frames[2].ignored);
    EXPECT_EQ(frames[3].baud, 921600u); // the return request goes at the old speed
}

TEST_F(SimDeviceTest, ADeviceAtOneSpeedShowsTheProbeAtEachSpeed)
{
    DeviceConfig c;
    c.speeds = {19200};
    Start(c);
    EXPECT_TRUE(Silent({'V', 'V'}));
    ASSERT_TRUE(slave_->set_speed(B921600));
    EXPECT_TRUE(Silent({'V', 'V'}));
    ASSERT_TRUE(slave_->set_speed(B19200));
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{2, 20, 'A'}));
    const auto frames = device_->frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].baud, 115200u);
    EXPECT_EQ(frames[1].baud, 921600u);
    EXPECT_EQ(frames[2].baud, 19200u);
    EXPECT_TRUE(frames[0].ignored && frames[1].ignored && !frames[2].ignored);
    EXPECT_EQ(device_->accepted_frames().size(), 1u);
}

TEST_F(SimDeviceTest, RefusedSpeedChangesLeaveTheDeviceWhereItWas)
{
    DeviceConfig c;
    c.accepts_speed_change = false;
    Start(c);
    EXPECT_EQ(Ask({0x53, 0x00, 0x53}, 1), (Bytes{'?'}));
    EXPECT_EQ(Ask({0x53, 0x02, 0x55}, 1), (Bytes{'?'})); // code 2 is no speed
    EXPECT_EQ(device_->current_speed(), 115200u);
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{2, 20, 'A'}));

    c.accepts_speed_change = true;
    c.faults = {{kvsim::kCmdSpeed, Fault::silence, 0, 1}};
    device_->set_config(c);
    EXPECT_TRUE(Silent({0x53, 0x00, 0x53})); // unconfirmed: the device stays
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{2, 20, 'A'}));
}

TEST_F(SimDeviceTest, FaultsApplyToTheirCommandForTheirCount)
{
    DeviceConfig c = Configured();
    c.faults = {
        {kvsim::kCmdVersion, Fault::echo, 0, 1},
        {kvsim::kCmdEepromGen1, Fault::bad_checksum, 0, 1},
        {kvsim::kCmdFlashInfo, Fault::short_reply, 10, 1},
        {kvsim::kCmdSerial, Fault::question, 0, -1},
    };
    Start(c);
    EXPECT_EQ(Ask({'V', 'V'}, 2), (Bytes{'V', 'V'}));
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{10, 15, 'O'}));
    Bytes info = WithSum(Bytes(c.eeprom.begin() + 1, c.eeprom.begin() + 8));
    info.back() = static_cast<std::uint8_t>(info.back() + 1);
    EXPECT_EQ(Ask({0x48, 0x52, 0x07, 0x00, 0x01, 0xA2}, 8), info);
    EXPECT_EQ(Ask({0x44, 0x4F, 0x4C, 0x49, 0x28}, 17, 150ms).size(), 10u);
    EXPECT_EQ(Ask({0x4E, 0x53, 0xA1}, 1), (Bytes{'?'}));
    EXPECT_EQ(Ask({0x4E, 0x53, 0xA1}, 10, 150ms), (Bytes{'?'})); // every time
}

TEST_F(SimDeviceTest, DelayedAnswerComesLateButComes)
{
    DeviceConfig c;
    c.faults = {{0, Fault::delay, 200, 1}};
    Start(c);
    const auto start = Clock::now();
    EXPECT_EQ(Ask({'V', 'V'}, 3, 2000ms), (Bytes{2, 20, 'A'}));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 195ms);
    EXPECT_LT(took, 1000ms);
}

TEST_F(SimDeviceTest, DisconnectHangsUpAndTheDeviceComesBackOnTheLink)
{
    const std::string link = ::testing::TempDir() + "kv_sim_link_" + std::to_string(getpid());
    ::unlink(link.c_str());
    DeviceConfig c;
    c.faults = {{kvsim::kCmdVersion, Fault::disconnect, 0, 1}};
    c.reconnect_after_ms = 50;
    Start(c);
    ASSERT_TRUE(device_->link_as(link));
    const std::string first = device_->current_slave_path();
    EXPECT_TRUE(Ask({'V', 'V'}, 3).empty());
    EXPECT_TRUE(slave_->hung_up());

    std::string second;
    for (int i = 0; i < 100 && (second = device_->current_slave_path()) == first; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(second, first);
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), second);
    EXPECT_TRUE(device_->connected());
    SlaveFd again(link);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.exchange({'V', 'V'}, 3), (Bytes{2, 20, 'A'})); // the fault was used up
    ::unlink(link.c_str());
}

TEST_F(SimDeviceTest, WirePacingTakesTheLineTimeBothWays)
{
    DeviceConfig c;
    c.speeds = {19200};
    c.wire_pacing = true;
    Start(c, B19200);
    // 261 request bytes and 257 reply bytes at 19200: about 136 ms plus 134 ms on a real line.
    Bytes request = {0x45, 0x00, 0x00, 0x00};
    request.resize(260, 0);
    const auto start = Clock::now();
    EXPECT_EQ(Ask(WithSum(request), 257, 3000ms).size(), 257u);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 260ms);
    EXPECT_LT(took, 2000ms);
}

// --- Upload side -------------------------------------------------------------------------

Bytes UploadCommand(std::size_t n)
{
    return WithSum({0x66, static_cast<std::uint8_t>((n >> 8) & 0xFF), static_cast<std::uint8_t>(n & 0xFF)});
}

// Sends body in the product's chunking, reading one answer per write; returns all answers
// (the final status included when it comes).
Bytes SendImage(SlaveFd& slave, const Bytes& body, std::chrono::milliseconds timeout = 1000ms)
{
    Bytes answers;
    const std::uint8_t trailer = Sum(body);
    for (std::size_t at = 0; at < body.size(); at += 256) {
        const std::size_t len = std::min<std::size_t>(256, body.size() - at);
        Bytes chunk(body.begin() + static_cast<long>(at), body.begin() + static_cast<long>(at + len));
        if (at + len == body.size())
            chunk.push_back(trailer);
        if (!slave.write_all(chunk))
            break;
        const Bytes a = slave.read_exact(1, timeout);
        if (a.empty())
            return answers;
        answers.push_back(a[0]);
        if (a[0] == '?' || a[0] == 'R')
            return answers;
    }
    const Bytes status = slave.read_exact(1, timeout);
    answers.insert(answers.end(), status.begin(), status.end());
    return answers;
}

Bytes Body(std::size_t n, std::uint32_t seed = 5)
{
    qfwpack::PackageSpec spec;
    spec.body_size = n;
    spec.seed = seed;
    return qfwpack::BuildBody(spec);
}

TEST_F(SimDeviceTest, UploadReceivesTheImageByteExactAndReportsTheNewVersion)
{
    DeviceConfig c;
    c.new_major = 2;
    c.new_minor = 21;
    Start(c);
    const Bytes body = Body(300);
    ASSERT_EQ(UploadCommand(300), (Bytes{0x66, 0x01, 0x2C, 0x93}));
    EXPECT_EQ(Ask(UploadCommand(300), 1), (Bytes{'O'}));
    EXPECT_EQ(SendImage(*slave_, body), (Bytes{'O', 'O', 'C'}));
    EXPECT_EQ(device_->received_image(), body);
    EXPECT_TRUE(device_->upload_trailer_ok());
    EXPECT_EQ(device_->uploads_completed(), 1);
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{2, 21, 'A'}));

    const auto frames = device_->frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[1].bytes.size(), 256u);
    EXPECT_EQ(frames[2].bytes.size(), 45u); // 44 body bytes and the trailer
}

TEST_F(SimDeviceTest, UploadOfSixtyFourKilobytesIsAnnouncedAsZero)
{
    Start();
    const Bytes body = Body(65536);
    ASSERT_EQ(UploadCommand(65536), (Bytes{0x66, 0x00, 0x00, 0x66}));
    EXPECT_EQ(Ask(UploadCommand(65536), 1), (Bytes{'O'}));
    const Bytes answers = SendImage(*slave_, body);
    ASSERT_EQ(answers.size(), 257u);
    EXPECT_EQ(answers.back(), 'C');
    EXPECT_EQ(device_->received_image(), body);
    EXPECT_TRUE(device_->upload_trailer_ok());
    EXPECT_EQ(device_->frames().back().bytes.size(), 257u);
}

TEST_F(SimDeviceTest, LetterRDeviceAnswersOnlyAfterTheDoubledCommand)
{
    DeviceConfig c;
    c.hardware_letter = 'R';
    Start(c);
    const Bytes command = UploadCommand(100);
    slave_->purge();
    ASSERT_TRUE(slave_->write_all(command));
    EXPECT_TRUE(slave_->read_exact(1, 150ms).empty());
    ASSERT_TRUE(slave_->write_all(command));
    EXPECT_EQ(slave_->read_exact(1, 1000ms), (Bytes{'O'}));
    const Bytes body = Body(100);
    EXPECT_EQ(SendImage(*slave_, body), (Bytes{'O', 'C'}));
    EXPECT_EQ(device_->received_image(), body);
}

TEST_F(SimDeviceTest, ChunkAnswersFinalStatusAndBadTrailerAreConfigurable)
{
    DeviceConfig c;
    c.chunk_answers = {{1, 'X'}};
    c.final_status = 'W';
    c.new_major = 9;
    Start(c);
    const Bytes body = Body(600);
    EXPECT_EQ(Ask(UploadCommand(600), 1), (Bytes{'O'}));
    EXPECT_EQ(SendImage(*slave_, body), (Bytes{'O', 'X', 'O', 'W'}));
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{2, 20, 'A'})); // a failed update keeps the version

    c.chunk_answers = {{0, '?'}};
    device_->set_config(c);
    EXPECT_EQ(Ask(UploadCommand(600), 1), (Bytes{'O'}));
    EXPECT_EQ(SendImage(*slave_, body), (Bytes{'?'}));
    EXPECT_EQ(Ask({'V', 'V'}, 3), (Bytes{2, 20, 'A'})); // back to answering requests

    c.chunk_answers.clear();
    c.final_status = 'C';
    c.bad_trailer_status = 'I';
    device_->set_config(c);
    // Chunks by hand, so the trailer itself can be wrong.
    EXPECT_EQ(Ask(UploadCommand(600), 1), (Bytes{'O'}));
    ASSERT_TRUE(slave_->write_all(Bytes(body.begin(), body.begin() + 256)));
    EXPECT_EQ(slave_->read_exact(1, 1000ms), (Bytes{'O'}));
    ASSERT_TRUE(slave_->write_all(Bytes(body.begin() + 256, body.begin() + 512)));
    EXPECT_EQ(slave_->read_exact(1, 1000ms), (Bytes{'O'}));
    Bytes last(body.begin() + 512, body.end());
    last.push_back(static_cast<std::uint8_t>(Sum(body) + 1));
    ASSERT_TRUE(slave_->write_all(last));
    EXPECT_EQ(slave_->read_exact(2, 1000ms), (Bytes{'O', 'I'}));
    EXPECT_FALSE(device_->upload_trailer_ok());
    EXPECT_EQ(device_->received_image(), body);
}

TEST_F(SimDeviceTest, UploadSilencesAndDisconnect)
{
    DeviceConfig c;
    c.silent_after_command = true;
    Start(c);
    EXPECT_TRUE(Silent(UploadCommand(512)));

    c.silent_after_command = false;
    c.silent_before_final = true;
    device_->set_config(c);
    EXPECT_EQ(Ask(UploadCommand(512), 1), (Bytes{'O'}));
    EXPECT_EQ(SendImage(*slave_, Body(512), 150ms), (Bytes{'O', 'O'}));

    c.silent_before_final = false;
    c.disconnect_at_chunk = 1;
    device_->set_config(c);
    EXPECT_EQ(Ask(UploadCommand(512), 1), (Bytes{'O'}));
    EXPECT_EQ(SendImage(*slave_, Body(512)), (Bytes{'O'}));
    EXPECT_TRUE(slave_->hung_up());
    EXPECT_FALSE(device_->connected());
}

} // namespace
