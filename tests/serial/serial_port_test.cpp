// The serial port against a real pseudo-terminal, natively and under Wine: one set of cases for
// both backends. Time-outs are bounded from both sides, with margins for a loaded machine.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/log.h"
#include "tests/log/memory_text_control.h"
#include "serial/serial_backend.h"
#include "serial/serial_port.h"
#include "tests/serial/far_end.h"

namespace kvtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

constexpr int kA = FarEnd::kPortA;
constexpr int kB = FarEnd::kPortB;

FarEnd& far_end()
{
    static std::unique_ptr<FarEnd> instance = make_far_end();
    return *instance;
}

long long elapsed_ms(Clock::time_point since)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(far_end().ready()) << "the far end of the test ports is not there";
        for (int port : {kA, kB}) {
            far_end().reset(port);
            far_end().set_two_stop_bits(port, false);
            far_end().set_canonical(port, false);
        }
        sink_.edit_control = &log_;
        port_.log_sink = &sink_;
    }

    void TearDown() override
    {
        port_.close();
        port_.log_sink = nullptr;
    }

    // Opens port A with the connection's settings, and forgets the log lines of that.
    void open_with_connection_timeouts()
    {
        ASSERT_TRUE(port_.open(far_end().port_path(kA).c_str()));
        ASSERT_TRUE(port_.set_queue_sizes());
        ASSERT_TRUE(port_.set_timeouts(200, 1, 300, 0, 300));
        log_.clear();
    }

    std::vector<std::string> log_lines() const { return SplitLogLines(log_.text()); }

    MemoryTextControl log_;
    LogSink sink_;
    SerialPort port_{make_serial_backend()};
};

// --- open, close and their log lines ---

TEST_F(SerialPortTest, OpenSetsTheLineAndLogsOpenedAtBaud)
{
    const std::string path = far_end().port_path(kA);
    ASSERT_TRUE(port_.open(path.c_str()));
    EXPECT_TRUE(port_.is_open());
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"QBSerial: Successfully opened " + path,
                                                     "QBSerial: " + path + " opened at 115200 baud"}));
    const FarLine line = far_end().line(kA);
    ASSERT_TRUE(line.valid);
    EXPECT_EQ(line.speed, 115200u);
    EXPECT_TRUE(line.eight_bits);
    EXPECT_FALSE(line.parity);
    EXPECT_FALSE(line.hardware_flow);

    const LineSettings& s = port_.line_settings();
    EXPECT_EQ(s.baud_rate, 115200u);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.parity, 0);
    EXPECT_FALSE(s.cts_flow);
    EXPECT_FALSE(s.dsr_flow);
    EXPECT_TRUE(s.dtr_on);
    EXPECT_TRUE(s.rts_on);
    const CommTimeouts& t = port_.timeouts();
    EXPECT_EQ(t.read_interval, 40u);
    EXPECT_EQ(t.read_total_multiplier, 0u);
    EXPECT_EQ(t.read_total_constant, 300u);
    EXPECT_EQ(t.write_total_multiplier, 0u);
    EXPECT_EQ(t.write_total_constant, 300u);
}

TEST_F(SerialPortTest, OpenKeepsTheStopBitsTheDriverHad)
{
    ASSERT_TRUE(far_end().set_two_stop_bits(kA, true));
    ASSERT_TRUE(port_.open(far_end().port_path(kA).c_str()));
    EXPECT_EQ(port_.line_settings().stop_bits, 2);
    EXPECT_TRUE(far_end().line(kA).two_stop_bits);
    port_.close();

    ASSERT_TRUE(far_end().set_two_stop_bits(kA, false));
    ASSERT_TRUE(port_.open(far_end().port_path(kA).c_str()));
    EXPECT_EQ(port_.line_settings().stop_bits, 0);
    EXPECT_FALSE(far_end().line(kA).two_stop_bits);
}

TEST_F(SerialPortTest, FailedOpenLogsItsLineThenPortClosed)
{
    const std::string missing = far_end().missing_port_path();
    EXPECT_FALSE(port_.open(missing.c_str()));
    EXPECT_FALSE(port_.is_open());
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"QBSerial: Open Port " + missing + " Failed",
                                                     "QBSerial: Port Closed"}));
}

// --- why an open failed ---

TEST_F(SerialPortTest, AMissingPortIsAbsentWithTheSystemsNumber)
{
    EXPECT_EQ(port_.last_open_failure(), OpenFailure::none);
    EXPECT_FALSE(port_.open(far_end().missing_port_path().c_str()));
    EXPECT_EQ(port_.last_open_failure(), OpenFailure::absent);
    EXPECT_EQ(port_.last_open_error(), 2); // ENOENT, ERROR_FILE_NOT_FOUND
    // A successful open forgets it; closing does not.
    ASSERT_TRUE(port_.open(far_end().port_path(kA).c_str()));
    EXPECT_EQ(port_.last_open_failure(), OpenFailure::none);
    EXPECT_EQ(port_.last_open_error(), 0);
    EXPECT_FALSE(port_.open(far_end().missing_port_path().c_str()));
    port_.close();
    EXPECT_EQ(port_.last_open_failure(), OpenFailure::absent);
}

TEST_F(SerialPortTest, OpenOfSomethingThatIsNoPortFailsAtGetCommState)
{
    const std::string path = far_end().non_serial_path();
    EXPECT_FALSE(port_.open(path.c_str()));
    EXPECT_FALSE(port_.is_open());
    EXPECT_EQ(port_.last_open_failure(), OpenFailure::not_a_port);
    EXPECT_NE(port_.last_open_error(), 0);
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{"QBSerial: Successfully opened " + path,
                                        "QBSerial: GetCommState Failed", "QBSerial: Port Closed"}));
}

TEST_F(SerialPortTest, OpenOnAnOpenPortClosesItFirstAndReleasesIt)
{
    const std::string a = far_end().port_path(kA);
    const std::string b = far_end().port_path(kB);
    ASSERT_TRUE(port_.open(a.c_str()));
    log_.clear();
    ASSERT_TRUE(port_.open(b.c_str()));
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{"QBSerial: Port Closed", "QBSerial: Successfully opened " + b,
                                        "QBSerial: " + b + " opened at 115200 baud"}));
    EXPECT_EQ(std::string(port_.device_path()), b);
    SerialPort other{make_serial_backend()};
    EXPECT_TRUE(other.open(a.c_str())) << "the first port was not released";
}

TEST_F(SerialPortTest, SecondOpenOfAnOpenPortFailsAsInUse)
{
    if (far_end().under_wine()) {
        GTEST_SKIP() << "Wine does not enforce share mode 0 on serial devices";
    }
    const std::string a = far_end().port_path(kA);
    ASSERT_TRUE(port_.open(a.c_str()));
    SerialPort second{make_serial_backend()};
    MemoryTextControl second_log;
    LogSink second_sink{&second_log};
    second.log_sink = &second_sink;
    EXPECT_FALSE(second.open(a.c_str()));
    EXPECT_FALSE(second.is_open());
    EXPECT_EQ(second.last_open_failure(), OpenFailure::in_use);
    EXPECT_EQ(SplitLogLines(second_log.text()),
              (std::vector<std::string>{"QBSerial: Open Port " + a + " Failed", "QBSerial: Port Closed"}));
    second.log_sink = nullptr;
    port_.close();
    EXPECT_TRUE(second.open(a.c_str())) << "a closed port must open again";
}

TEST_F(SerialPortTest, APathLongerThan259CharactersIsRefusedWholeNotCut)
{
    const std::string missing = far_end().missing_port_path();
    for (std::size_t length : {260u, 300u}) {
        SCOPED_TRACE(length);
        log_.clear();
        const std::string path = missing + std::string(length - missing.size(), 'x');
        EXPECT_FALSE(port_.open(path.c_str()));
        EXPECT_EQ(port_.last_open_failure(), OpenFailure::path_too_long);
        EXPECT_EQ(std::string(port_.device_path()), "");
        EXPECT_EQ(log_lines(),
                  (std::vector<std::string>{"QBSerial: Open Port Failed: the path is longer than 259 "
                                            "characters",
                                            "QBSerial: Port Closed"}));
    }
    // 259 characters fit: the system is asked, and says it has no such port.
    log_.clear();
    const std::string fits = missing + std::string(259 - missing.size(), 'x');
    EXPECT_FALSE(port_.open(fits.c_str()));
    EXPECT_NE(port_.last_open_failure(), OpenFailure::path_too_long);
    EXPECT_EQ(std::string(port_.device_path()), fits);
    EXPECT_EQ(log_lines().front(), "QBSerial: Open Port " + fits + " Failed");
}

TEST_F(SerialPortTest, TheBackendItselfRefusesAPathThatDoesNotFit)
{
    const std::unique_ptr<SerialBackend> backend = make_serial_backend();
    const std::string path = far_end().port_path(kA) + std::string(300, '/');
    EXPECT_EQ(backend->open(path.c_str()), kInvalidHandle);
    EXPECT_EQ(backend->last_error().failure, OpenFailure::path_too_long);
}

TEST_F(SerialPortTest, CloseLogsPortClosedWhetherOrNotOpen)
{
    port_.close();
    ASSERT_TRUE(port_.open(far_end().port_path(kA).c_str()));
    port_.close();
    EXPECT_FALSE(port_.is_open());
    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "QBSerial: Port Closed");
    EXPECT_EQ(lines[3], "QBSerial: Port Closed");
}

TEST_F(SerialPortTest, DestructionLogsPortClosedEvenWhenClosed)
{
    {
        SerialPort closed{make_serial_backend()};
        closed.log_sink = &sink_;
    }
    EXPECT_EQ(log_lines(), std::vector<std::string>{"QBSerial: Port Closed"});
}

TEST_F(SerialPortTest, ClosedPortRefusesEverythingSilently)
{
    std::uint8_t buffer[4] = {1, 2, 3, 4};
    EXPECT_FALSE(port_.set_queue_sizes());
    EXPECT_FALSE(port_.set_timeouts(200, 1, 300, 0, 300));
    EXPECT_FALSE(port_.set_read_timeout(600));
    EXPECT_FALSE(port_.set_baud_rate(921600));
    port_.purge();
    EXPECT_EQ(port_.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(port_.write(buffer, sizeof buffer), 0u);
    EXPECT_EQ(log_.text(), "");
    EXPECT_EQ(log_.replace_count(), 0u);
}

TEST_F(SerialPortTest, WithoutASinkEverythingWorksTheSame)
{
    port_.log_sink = nullptr;
    ASSERT_TRUE(port_.open(far_end().port_path(kA).c_str()));
    ASSERT_TRUE(port_.set_timeouts(200, 1, 300, 0, 300));
    const Bytes out = {0x10, 0x20};
    EXPECT_EQ(port_.write(out.data(), 2), 2u);
    EXPECT_EQ(far_end().take_received(kA, 2, milliseconds(2000)), out);
    ASSERT_TRUE(far_end().send(kA, {0x55}));
    std::uint8_t in[4] = {};
    EXPECT_EQ(port_.read(in, 1), 1u);
    EXPECT_EQ(in[0], 0x55);
    port_.close();
    EXPECT_EQ(log_.replace_count(), 0u);
}

// --- line speed ---

TEST_F(SerialPortTest, SetBaudRateChangesTheLineAndLogs)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_baud_rate(921600));
    EXPECT_EQ(far_end().line(kA).speed, 921600u);
    EXPECT_EQ(port_.line_settings().baud_rate, 921600u);
    ASSERT_TRUE(port_.set_baud_rate(19200));
    EXPECT_EQ(far_end().line(kA).speed, 19200u);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"QBSerial: Baud changed to 921600",
                                                     "QBSerial: Baud changed to 19200"}));
}

TEST_F(SerialPortTest, SetBaudRateWithTheRateInForceWritesAndLogsNothing)
{
    open_with_connection_timeouts();
    // Line editing switched on behind the port's back: any write of the line settings would
    // switch it off again, so it staying on shows that nothing was written.
    ASSERT_TRUE(far_end().set_canonical(kA, true));
    EXPECT_TRUE(port_.set_baud_rate(115200));
    EXPECT_EQ(log_.replace_count(), 0u);
    const FarLine line = far_end().line(kA);
    EXPECT_EQ(line.speed, 115200u);
    EXPECT_TRUE(line.canonical);
    EXPECT_TRUE(port_.set_baud_rate(57600));
    EXPECT_FALSE(far_end().line(kA).canonical) << "a real change writes the line settings";
}

TEST_F(SerialPortTest, SetBaudRateComparesWithTheDriversSpeedNotTheCache)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(far_end().set_speed(kA, 9600));
    // The driver now runs at 9600: asking for it changes nothing.
    EXPECT_TRUE(port_.set_baud_rate(9600));
    EXPECT_EQ(log_.replace_count(), 0u);
    EXPECT_EQ(port_.line_settings().baud_rate, 9600u);
    // Asking for the speed of the cache before is a real change again.
    EXPECT_TRUE(port_.set_baud_rate(115200));
    EXPECT_EQ(log_lines(), std::vector<std::string>{"QBSerial: Baud changed to 115200"});
    EXPECT_EQ(far_end().line(kA).speed, 115200u);
}

// --- time-outs ---

TEST_F(SerialPortTest, SetReadTimeoutChangesOnlyTheReadConstant)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_read_timeout(6000));
    const CommTimeouts& t = port_.timeouts();
    EXPECT_EQ(t.read_interval, 200u);
    EXPECT_EQ(t.read_total_multiplier, 1u);
    EXPECT_EQ(t.read_total_constant, 6000u);
    EXPECT_EQ(t.write_total_multiplier, 0u);
    EXPECT_EQ(t.write_total_constant, 300u);
    EXPECT_EQ(log_.replace_count(), 0u);
}

TEST_F(SerialPortTest, ReadWithNothingArrivingEndsOnTheTotalTimeout)
{
    open_with_connection_timeouts();
    std::uint8_t buffer[16] = {};
    auto start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 16), 0u);
    long long ms = elapsed_ms(start);
    EXPECT_GE(ms, 300); // 1 x 16 + 300 = 316
    EXPECT_LE(ms, 450);

    start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 1), 0u);
    ms = elapsed_ms(start);
    EXPECT_GE(ms, 290); // 1 x 1 + 300 = 301
    EXPECT_LE(ms, 430);
    EXPECT_EQ(log_.replace_count(), 0u) << "a read of nothing dumps nothing";
}

TEST_F(SerialPortTest, ReadAfterThreeBytesEndsOnTheIntervalAndDumpsThem)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_read_timeout(2000));
    ASSERT_TRUE(far_end().send(kA, {0x41, 0x42, 0x0A}));
    std::this_thread::sleep_for(milliseconds(100));
    std::uint8_t buffer[16] = {};
    const auto start = Clock::now();
    ASSERT_EQ(port_.read(buffer, 16), 3u);
    const long long ms = elapsed_ms(start);
    EXPECT_GE(ms, 185); // the interval, 200, after the last byte
    EXPECT_LE(ms, 330);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x41, 0x42, 0x0A}));
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{"QBSerial: Read", "0000: 41 42 0A " + std::string(39, ' ') + "AB."}));
}

TEST_F(SerialPortTest, TheTotalTimeoutEndsAReadThatKeepsReceiving)
{
    open_with_connection_timeouts();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(far_end().send(kA, {static_cast<std::uint8_t>(i)}, milliseconds(i == 0 ? 0 : 120)));
    }
    std::uint8_t buffer[16] = {};
    const auto start = Clock::now();
    const std::uint32_t got = port_.read(buffer, 16);
    const long long ms = elapsed_ms(start);
    EXPECT_GE(got, 2u);
    EXPECT_LE(got, 4u);
    EXPECT_GE(ms, 300); // 316, though no gap ever reaches the interval
    EXPECT_LE(ms, 450);
}

TEST_F(SerialPortTest, BytesCloserThanTheIntervalKeepTheReadGoing)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_timeouts(200, 0, 3000, 0, 300));
    std::uint8_t buffer[16] = {};
    ASSERT_TRUE(far_end().send(kA, {1}, milliseconds(50)));
    ASSERT_TRUE(far_end().send(kA, {2}, milliseconds(120)));
    ASSERT_TRUE(far_end().send(kA, {3}, milliseconds(120)));
    const auto start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 16), 3u);
    const long long ms = elapsed_ms(start);
    // Last byte about 290 ms after the first was queued, then the interval; the read started a
    // little after the queueing (a control round trip under Wine).
    EXPECT_GE(ms, 430);
    EXPECT_LE(ms, 700);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));
}

TEST_F(SerialPortTest, AGapLongerThanTheIntervalEndsTheRead)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_timeouts(60, 0, 3000, 0, 300));
    std::uint8_t buffer[16] = {};
    ASSERT_TRUE(far_end().send(kA, {1}, milliseconds(50)));
    ASSERT_TRUE(far_end().send(kA, {2}, milliseconds(300)));
    const auto start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 16), 1u);
    const long long ms = elapsed_ms(start);
    EXPECT_GE(ms, 60);
    EXPECT_LE(ms, 300);
    // The late byte is still there for the next read.
    EXPECT_EQ(port_.read(buffer, 16), 1u);
    EXPECT_EQ(buffer[0], 2);
}

TEST_F(SerialPortTest, ReadEndsAsSoonAsTheCountArrived)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_read_timeout(3000));
    ASSERT_TRUE(far_end().send(kA, {9, 8, 7, 6}, milliseconds(100)));
    std::uint8_t buffer[4] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 4), 4u);
    const long long ms = elapsed_ms(start);
    EXPECT_GE(ms, 80);
    EXPECT_LE(ms, 400);
}

TEST_F(SerialPortTest, AllZeroTimeoutsWaitForTheWholeCount)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_timeouts(0, 0, 0, 0, 300));
    ASSERT_TRUE(far_end().send(kA, {1, 2}, milliseconds(50)));
    ASSERT_TRUE(far_end().send(kA, {3, 4}, milliseconds(400)));
    std::uint8_t buffer[4] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 4), 4u);
    const long long ms = elapsed_ms(start);
    EXPECT_GE(ms, 400);
    EXPECT_LE(ms, 800);
}

TEST_F(SerialPortTest, MaxIntervalWithoutTotalsReturnsAtOnce)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_timeouts(0xFFFFFFFFu, 0, 0, 0, 300));
    std::uint8_t buffer[8] = {};
    auto start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 8), 0u);
    EXPECT_LE(elapsed_ms(start), 100);

    ASSERT_TRUE(far_end().send(kA, {5, 6}));
    std::this_thread::sleep_for(milliseconds(100));
    start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 8), 2u);
    EXPECT_LE(elapsed_ms(start), 100);
}

TEST_F(SerialPortTest, MaxIntervalAndMultiplierReturnOnTheFirstByte)
{
    if (far_end().under_wine()) {
        GTEST_SKIP() << "Wine waits for the whole constant under MAXDWORD, MAXDWORD, constant";
    }
    open_with_connection_timeouts();
    ASSERT_TRUE(port_.set_timeouts(0xFFFFFFFFu, 0xFFFFFFFFu, 1000, 0, 300));
    ASSERT_TRUE(far_end().send(kA, {7}, milliseconds(150)));
    std::uint8_t buffer[8] = {};
    auto start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 8), 1u);
    long long ms = elapsed_ms(start);
    EXPECT_GE(ms, 120);
    EXPECT_LE(ms, 500);

    start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 8), 0u);
    ms = elapsed_ms(start);
    EXPECT_GE(ms, 980);
    EXPECT_LE(ms, 1300);
}

// --- transfers and their dumps ---

TEST_F(SerialPortTest, WriteSendsTheBytesAndDumpsThem)
{
    open_with_connection_timeouts();
    const Bytes out = {0x66, 0x00, 0x01, 0x7F, 0x80, 0xFF, 0x20, 0x7E, 0x11,
                       0x13, 0x0D, 0x0A, 0x03, 0x1C, 0x41, 0x42, 0x43};
    EXPECT_EQ(port_.write(out.data(), static_cast<std::uint32_t>(out.size())), 17u);
    EXPECT_EQ(far_end().take_received(kA, out.size(), milliseconds(2000)), out);
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{
                  "QBSerial: Write", "0000: 66 00 01 7F 80 FF 20 7E 11 13 0D 0A 03 1C 41 42 f..... ~......AB",
                  "0010: 43 " + std::string(45, ' ') + "C"}));
}

TEST_F(SerialPortTest, EveryByteValueCrossesUnchangedBothWays)
{
    open_with_connection_timeouts();
    port_.log_sink = nullptr;
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(port_.write(all.data(), 256), 256u);
    EXPECT_EQ(far_end().take_received(kA, 256, milliseconds(2000)), all);
    ASSERT_TRUE(port_.set_read_timeout(2000));
    ASSERT_TRUE(far_end().send(kA, all));
    Bytes in(256);
    std::uint32_t got = 0;
    for (int tries = 0; tries < 8 && got < 256; ++tries) {
        got += port_.read(in.data() + got, 256 - got);
    }
    EXPECT_EQ(got, 256u);
    EXPECT_EQ(in, all);
}

TEST_F(SerialPortTest, ZeroCountOrNullBufferMovesNothingAndLogsNothing)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(far_end().send(kA, {1}));
    std::this_thread::sleep_for(milliseconds(50));
    std::uint8_t buffer[1] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port_.read(buffer, 0), 0u);
    EXPECT_EQ(port_.read(nullptr, 1), 0u);
    EXPECT_EQ(port_.write(buffer, 0), 0u);
    EXPECT_EQ(port_.write(nullptr, 1), 0u);
    EXPECT_LE(elapsed_ms(start), 100);
    EXPECT_EQ(log_.replace_count(), 0u);
    EXPECT_EQ(port_.read(buffer, 1), 1u) << "the waiting byte must still be there";
}

TEST_F(SerialPortTest, PurgeDropsWhatWaitsInTheInputQueue)
{
    open_with_connection_timeouts();
    ASSERT_TRUE(far_end().send(kA, {1, 2, 3}));
    std::this_thread::sleep_for(milliseconds(100));
    port_.purge();
    ASSERT_TRUE(far_end().send(kA, {4}));
    std::uint8_t buffer[4] = {};
    ASSERT_EQ(port_.read(buffer, 4), 1u);
    EXPECT_EQ(buffer[0], 4);
}

} // namespace
} // namespace kvtest
