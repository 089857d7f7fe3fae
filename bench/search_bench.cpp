// Times SearchForHardware finding a device on COM3 behind three ports that open and never
// answer (COM0 to COM2), and prints the time next to the fixed waits and read time-outs that
// the search's path is made of. With --models: finds one device of each model and prints its
// identification.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/device_connection.h"
#include "tests/device/test_support.h"
#include "tools/kvsim/pty_peer.h"
#include "tools/kvsim/sim_device.h"

namespace {

using Clock = std::chrono::steady_clock;

// The parts of one attempt, in milliseconds.
constexpr double kOpenSettle = 100;             // OpenPort
constexpr double kProbeSettle = 60;             // before the first version request
constexpr double kVersionTimeout = 110 + 3 * 1; // read constant + multiplier x 3 bytes
constexpr double kSpeedSettle = 10;             // after each successful SetUSBBaud
constexpr int kSilentPorts = 3;

double SilentAttemptMs()
{
    // Three version requests (115200, 921600, 19200) with the two speed changes between them.
    return kOpenSettle + kProbeSettle + 3 * kVersionTimeout + 2 * kSpeedSettle;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int Bench(int runs)
{
    kvtest::ComDir dir;
    std::vector<std::unique_ptr<kvsim::PtyPeer>> silent;
    for (int n = 0; n < kSilentPorts; ++n) {
        silent.push_back(std::make_unique<kvsim::PtyPeer>());
        if (!silent.back()->open() || !silent.back()->link_as(dir.link(n))) {
            std::fprintf(stderr, "cannot make the silent port COM%d\n", n);
            return 1;
        }
    }
    kvsim::DeviceConfig config; // a Korvane 2.20, answering at 115200
    kvsim::SimDevice sim(config);
    if (!sim.start() || !sim.link_as(dir.link(kSilentPorts))) {
        std::fprintf(stderr, "cannot start the simulated device\n");
        return 1;
    }

    // Identification alone on an open port: the exchanges without any fixed wait.
    double identify_ms = 0;
    {
        DeviceConnection c;
        if (c.OpenPort(kvtest::ComPath(kSilentPorts).c_str()) != KV_S_OK)
            return 1;
        const auto start = Clock::now();
        c.GetFirmwareVersion(nullptr);
        c.IdentifyHardware();
        identify_ms = Ms(Clock::now() - start);
    }

    std::vector<double> times;
    char description[100] = {};
    for (int i = 0; i < runs; ++i) {
        DeviceConnection c; // a first search: starts at COM0
        const auto start = Clock::now();
        const bool found = c.SearchForHardware(description, sizeof description, nullptr);
        times.push_back(Ms(Clock::now() - start));
        if (!found || c.last_port_number != static_cast<std::uint32_t>(kSilentPorts)) {
            std::fprintf(stderr, "search did not find the device on COM3\n");
            return 1;
        }
    }
    std::sort(times.begin(), times.end());

    const double silent_ms = SilentAttemptMs();
    const double found_fixed = kOpenSettle + kProbeSettle;
    const double fixed_total = kSilentPorts * silent_ms + found_fixed;
    std::printf("SearchForHardware: device on COM3, COM0..COM2 silent pseudo-terminals, %d runs\n", runs);
    std::printf("  found: %s\n", description);
    std::printf("  measured       min %.1f ms  median %.1f ms  max %.1f ms\n", times.front(),
                times[times.size() / 2], times.back());
    std::printf("  fixed by design %.1f ms = %d silent ports x %.1f ms + found port %.1f ms\n", fixed_total,
                kSilentPorts, silent_ms, found_fixed);
    std::printf(
        "    silent port: open 100 + settle 60 + 3 version reads x (110 + 3x1) + 2 speed changes x 10\n");
    std::printf("    found port:  open 100 + settle 60, then the identification exchanges\n");
    std::printf("  identification exchanges alone (version + EEPROM info) %.1f ms\n", identify_ms);
    std::printf("  fixed + identification %.1f ms; overhead of the median over it %.1f ms\n",
                fixed_total + identify_ms, times[times.size() / 2] - fixed_total - identify_ms);
    return 0;
}

int Models()
{
    struct Model {
        std::uint8_t letter, major, minor, device_id;
    };
    const Model models[] = {{'1', 1, 34, 'X'}, {'2', 1, 34, 'X'},  {'T', 1, 0, 'X'},   {'A', 2, 12, 'A'},
                            {'F', 1, 0, 'X'},  {'O', 10, 15, 'X'}, {'O', 10, 15, 'P'}, {'P', 1, 0, 'X'},
                            {'R', 1, 0, 'X'},  {'L', 1, 0, 'X'},   {'D', 49, 0, 'X'},  {'D', 50, 0, 'X'},
                            {'X', 1, 3, 'X'},  {'Q', 1, 0, 'X'},   {'J', 1, 0, 'X'},   {'Z', 1, 0, 'X'},
                            {'N', 1, 0, 'X'},  {'n', 1, 0, 'X'},   {'d', 1, 2, 'X'},   {'B', 1, 0, 'X'}};
    kvtest::ComDir dir;
    kvsim::SimDevice sim;
    bool started = false;
    DeviceConnection c;
    std::printf("letter  version  eeprom id  found  generation  model  capabilities  description\n");
    for (const Model& m : models) {
        kvsim::DeviceConfig config;
        config.hardware_letter = m.letter;
        config.firmware_major = m.major;
        config.firmware_minor = m.minor;
        config.eeprom[1] = m.device_id;
        config.eeprom[0x100] = 3;
        sim.set_config(config);
        if (!started && (!sim.start() || !sim.link_as(dir.link(3))))
            return 1;
        started = true;
        char description[100] = {};
        const bool found = c.SearchForHardware(description, sizeof description, nullptr);
        const HardwareInfo* info = c.GetHardwareInfo();
        std::printf("%c       %2u.%-2u    %c          %-5s  %-10u  %-5u  0x%03X         \"%s\"%s\n", m.letter,
                    m.major, m.minor, m.device_id, found ? "yes" : "no", info ? info->protocol_generation : 0,
                    info ? info->model_id : 0, info ? info->capabilities : 0, description,
                    info ? "" : "  (not identified: port closed)");
        c.last_port_number = 0;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--models") == 0)
        return Models();
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    return Bench(runs);
}
