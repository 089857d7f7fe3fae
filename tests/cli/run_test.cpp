// The parts of a run that the end-to-end tests cannot reach: the stop request's signal handling,
// the record's time stamps, and what is kept of output that could not be written.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "cli/cli.h"
#include "cli/platform.h"
#include "cli/record.h"

namespace {

using namespace std::chrono;

TEST(StopRequest, ASignalWakesTheWait)
{
    StopRequest stop(StopRequest::Answer::by_the_run);
    EXPECT_FALSE(stop.requested());
    EXPECT_FALSE(stop.Wait(milliseconds(10)));

    std::thread sender([] {
        std::this_thread::sleep_for(milliseconds(200));
        std::raise(SIGTERM);
    });
    const auto start = steady_clock::now();
    EXPECT_TRUE(stop.Wait(seconds(10)));
    const auto waited = steady_clock::now() - start;
    sender.join();
    EXPECT_GE(waited, milliseconds(150));
    EXPECT_LT(waited, seconds(5)); // woken, not timed out
    EXPECT_TRUE(stop.requested());
}

TEST(StopRequest, TheHandlerLeavesErrnoAsItWas)
{
    StopRequest stop(StopRequest::Answer::by_the_run);
    // Each request writes a byte to wake the run; once its pipe is full, that write fails.
    for (int i = 0; i < 70000; ++i)
        std::raise(SIGINT);
    errno = ENOENT; // as between a failed call and its look at errno
    std::raise(SIGINT);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(stop.requests(), 70001);
}

TEST(StopRequest, NoUpdateBeginsAfterAStopAndRunningOnesStayCounted)
{
    StopRequest stop(StopRequest::Answer::by_the_run);
    ASSERT_TRUE(stop.BeginUpdate());
    ASSERT_TRUE(stop.BeginUpdate());
    std::raise(SIGINT);
    EXPECT_TRUE(stop.requested());
    EXPECT_FALSE(stop.BeginUpdate());
    EXPECT_EQ(stop.updates_running(), 2);
    stop.EndUpdate();
    stop.EndUpdate();
    EXPECT_EQ(stop.updates_running(), 0);
}

TEST(StopRequest, OneDeviceEndsAtARequestBeforeItsUpdateAndNeverOnceItBegan)
{
    EXPECT_EXIT(
        {
            StopRequest stop(StopRequest::Answer::end_when_idle);
            std::raise(SIGQUIT);
        },
        testing::KilledBySignal(SIGQUIT), "");
    // After the update, while the outcome is written and the port closed, requests are answered
    // and the program ends as it would have.
    EXPECT_EXIT(
        {
            StopRequest stop(StopRequest::Answer::end_when_idle);
            if (!stop.BeginUpdate())
                std::_Exit(2);
            stop.EndUpdate();
            for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
                std::raise(signal);
            std::_Exit(stop.requests() == 4 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "in progress and cannot be stopped");
    // Refused at the gate: the program ends by the signal that asked.
    EXPECT_EXIT(
        {
            StopRequest stop(StopRequest::Answer::by_the_run);
            std::raise(SIGHUP);
            if (stop.BeginUpdate())
                std::_Exit(2);
            stop.EndAsAsked();
        },
        testing::KilledBySignal(SIGHUP), "");
}

TEST(StopRequest, ASignalThatCameIgnoredStaysIgnored)
{
    // As under nohup: a hang-up neither ends the program nor asks it to stop.
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            StopRequest stop(StopRequest::Answer::end_when_idle);
            std::raise(SIGHUP);
            std::_Exit(stop.requested() ? 2 : 0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StopRequest, ARequestAfterTheRunStoppedChangesNothing)
{
    EXPECT_EXIT(
        {
            {
                StopRequest stop(StopRequest::Answer::by_the_run);
                std::raise(SIGINT);
            }
            for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
                std::raise(signal);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Record, TimesAreUtcIso8601ToTheMillisecond)
{
    EXPECT_EQ(IsoUtcTime(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
    const auto leap_day = sys_days{year{2028} / February / 29} + hours(23) + minutes(59) + seconds(59) +
                          milliseconds(999) + microseconds(900);
    EXPECT_EQ(IsoUtcTime(leap_day), "2028-02-29T23:59:59.999Z"); // cut, never rounded into the next day
    EXPECT_EQ(IsoUtcTime(sys_days{year{2026} / November / 1} + hours(8) + minutes(15) + seconds(2) +
                         milliseconds(125)),
              "2026-11-01T08:15:02.125Z");
}

TEST(Record, AnAttemptWithoutADeviceHasNullsAndItsKeysInOrder)
{
    AttemptRecord record;
    record.port = "/dev/ttyUSB0";
    record.package = "fw \"2\".qfw";
    record.NoDevice();
    record.status = 2;
    record.seconds = 1.23456;
    EXPECT_EQ(
        RecordLine(record),
        "{\"time\": \"1970-01-01T00:00:00.000Z\", \"port\": \"/dev/ttyUSB0\", \"serial\": null, "
        "\"description\": null, \"old_version\": null, \"new_version\": null, \"package\": "
        "\"fw \\\"2\\\".qfw\", \"package_sha256\": "
        "\"0000000000000000000000000000000000000000000000000000000000000000\", \"signature\": \"none\", "
        "\"signature_key\": null, \"result\": -6, "
        "\"result_name\": \"KV_E_DEVICE_NOT_FOUND\", \"verified\": false, \"seconds\": 1.235, "
        "\"status\": 2}");
}

// Standard output gone for good, as a watch might find it on its first day: what it could not
// take is repeated at the end, but only the newest whole lines of the last mebibyte.
TEST(OutputDeathTest, OutputThatFailedKeepsOnlyItsNewestLines)
{
    const std::string errors = testing::TempDir() + "kv-kept-output.txt";
    const auto print_three_mebibytes = [&errors] {
        if (std::freopen(errors.c_str(), "w", stderr) == nullptr ||
            std::freopen("/dev/full", "w", stdout) == nullptr)
            std::_Exit(99);
        const std::string padding(90, '.');
        for (int i = 0; i < 30000; ++i)
            Print("unit " + std::to_string(i) + " " + padding + "\n");
        const int status = StatusAfterOutput(0);
        std::fflush(stderr);
        std::_Exit(status);
    };
    EXPECT_EXIT(print_three_mebibytes(), testing::ExitedWithCode(kExitOutputFailed), "");

    std::FILE* in = std::fopen(errors.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::string text;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) != 0;)
        text.append(chunk, n);
    std::fclose(in);
    std::remove(errors.c_str());

    const std::string head =
        "korvane-update: the outcome could not be written to standard output (No space left "
        "on device):\n(";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text.substr(0, 200);
    const std::size_t count_end = text.find(" earlier lines left out)\n", head.size());
    ASSERT_NE(count_end, std::string::npos);
    const int left_out = std::stoi(text.substr(head.size(), count_end - head.size()));
    const std::size_t kept = text.find('\n', count_end) + 1;
    // Whole lines from the one after the last left out to the very last, within the mebibyte.
    EXPECT_EQ(text.compare(kept, 11, "unit " + std::to_string(left_out) + " "), 0);
    EXPECT_LE(text.size() - kept, std::size_t{1} << 20);
    EXPECT_GT(left_out, 15000);
    const std::string last = "unit 29999 " + std::string(90, '.') + "\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.compare(text.size() - last.size(), last.size(), last), 0);
}

} // namespace
