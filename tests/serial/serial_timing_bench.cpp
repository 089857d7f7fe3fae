// Read time-outs of the serial port as measured on this machine, against what COMMTIMEOUTS
// promise under the connection's settings {200, 1, 300, 0, 300}. Prints one line per case.
// Natively: serial_timing_bench. Windows backend: serial_far_end_peer run-in-wine.sh
// serial_timing_bench.exe (see run_timing_bench.sh).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "serial/serial_backend.h"
#include "serial/serial_port.h"
#include "tests/serial/far_end.h"

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
constexpr const char* kBackend = "win32 (Wine)";
#else
constexpr const char* kBackend = "posix";
#endif

constexpr int kRuns = 5;

void report(const char* name, double expected, std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    std::printf("%-14s %-44s expected %6.1f ms  measured min %6.1f  median %6.1f  max %6.1f ms\n", kBackend,
                name, expected, samples.front(), samples[samples.size() / 2], samples.back());
}

double timed_read(SerialPort& port, std::uint32_t count, std::uint32_t expected_bytes, bool& ok)
{
    std::uint8_t buffer[64];
    const auto start = Clock::now();
    const std::uint32_t got = port.read(buffer, count);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ok = ok && got == expected_bytes;
    return ms;
}

} // namespace

int main()
{
    std::unique_ptr<kvtest::FarEnd> far = kvtest::make_far_end();
    SerialPort port{make_serial_backend()};
    if (!far->ready() || !port.open(far->port_path(kvtest::FarEnd::kPortA).c_str()) ||
        !port.set_queue_sizes() || !port.set_timeouts(200, 1, 300, 0, 300)) {
        std::fprintf(stderr, "serial_timing_bench: no port to measure on\n");
        return 1;
    }
    bool ok = true;
    std::vector<double> samples;

    for (int i = 0; i < kRuns; ++i) {
        samples.push_back(timed_read(port, 16, 0, ok));
    }
    report("16-byte read, nothing arrives", 316, samples);

    samples.clear();
    for (int i = 0; i < kRuns; ++i) {
        far->send(kvtest::FarEnd::kPortA, {0x41, 0x42, 0x43});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        samples.push_back(timed_read(port, 16, 3, ok));
    }
    report("16-byte read, 3 bytes there (after last)", 200, samples);

    samples.clear();
    for (int i = 0; i < kRuns; ++i) {
        samples.push_back(timed_read(port, 1, 0, ok));
    }
    report("1-byte read, nothing arrives", 301, samples);

    if (!ok) {
        std::fprintf(stderr, "serial_timing_bench: a read returned an unexpected count\n");
        return 1;
    }
    return 0;
}
