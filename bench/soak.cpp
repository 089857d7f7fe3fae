// Soak: uploads in a row through one connection to the simulated device, unpaced, about one in
// ten with a random device fault. Each must end with the code that fault gives and within its
// time-outs; open descriptors and resident memory after the last upload are compared with those
// after the tenth. Not a test: it measures. soak [uploads (1000)] [seed]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <unistd.h>

#include "device/device_connection.h"
#include "device/result.h"
#include "package/upload.h"
#include "tools/kvsim/sim_device.h"
#include "tools/qfwpack/package_builder.h"

namespace {

using Steady = std::chrono::steady_clock;

struct Fault {
    const char* name;
    std::int32_t expected;
    void (*apply)(kvsim::DeviceConfig&);
};

// One silence only: each waits out the upload's 6 s time-out (the fault matrix has the others).
const Fault kFaults[] = {
    {"command '?'", KV_E_INVALID_RESPONSE,
     [](kvsim::DeviceConfig& c) {
         c.faults = {{kvsim::kCmdUpload, kvsim::Fault::question, 0, 1}};
     }},
    {"chunk '?'", KV_E_REQUEST_NOT_SUPPORTED,
     [](kvsim::DeviceConfig& c) {
         c.chunk_answers = {{1, '?'}};
     }},
    {"chunk 'R'", KV_E_NVRAM_BUFFERING_FAILED,
     [](kvsim::DeviceConfig& c) {
         c.chunk_answers = {{2, 'R'}};
     }},
    {"chunk 'X' passed over", KV_S_OK,
     [](kvsim::DeviceConfig& c) {
         c.chunk_answers = {{0, 'X'}};
     }},
    {"chunk silent", KV_E_COMM_READ_FAILURE, [](kvsim::DeviceConfig& c) { c.silent_at_chunk = 1; }},
    {"disconnect at a chunk", KV_E_COMM_READ_FAILURE,
     [](kvsim::DeviceConfig& c) { c.disconnect_at_chunk = 2; }},
    {"status 'W'", KV_E_FIRMWARE_FLASH_FAILED, [](kvsim::DeviceConfig& c) { c.final_status = 'W'; }},
    {"status 'E'", KV_E_EXTERNAL_CS_INVALID, [](kvsim::DeviceConfig& c) { c.final_status = 'E'; }},
};
constexpr int kFaultKinds = sizeof kFaults / sizeof kFaults[0];
constexpr int kDisconnect = 5;

int OpenDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n - 1; // the iterator's own
}

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    const int uploads = argc > 1 ? std::atoi(argv[1]) : 1000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0)) : 20261208u;
    std::mt19937 random(seed);

    const std::string dir =
        (std::filesystem::temp_directory_path() / ("kv-soak-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(dir);
    const std::string package = dir + "/soak.qfw";
    const std::string link = dir + "/com3";
    qfwpack::PackageSpec spec;
    spec.body_size = 1000; // four chunks
    if (!qfwpack::WritePackage(package, spec)) {
        std::fprintf(stderr, "cannot write %s\n", package.c_str());
        return 1;
    }
    const std::uint32_t chunks = 4;
    const double bound_ms = 1200.0 + (chunks + 2) * 6001.0 + 500.0; // lock, every answer, and slack

    kvsim::DeviceConfig normal;
    normal.reconnect_after_ms = 0; // a device that went away is back at once, on a new pair
    kvsim::SimDevice sim(normal);
    DeviceConnection conn;
    if (!sim.start() || !sim.link_as(link) || conn.OpenPort(link.c_str()) != KV_S_OK) {
        std::fprintf(stderr, "the simulated device did not start\n");
        return 1;
    }
    conn.hardware_info.protocol_generation = 1;
    conn.hardware_letter = normal.hardware_letter;

    int wrong = 0, hangs = 0, faulted = 0, reopened = 0;
    int fds_10 = 0, fds_end = 0, fds_half = 0;
    long rss_10 = 0, rss_end = 0, rss_half = 0;
    double longest_ms = 0;
    int counts[kFaultKinds] = {};
    const auto begin = Steady::now();
    for (int i = 1; i <= uploads; ++i) {
        kvsim::DeviceConfig config = normal;
        const Fault* fault = nullptr;
        int k = -1;
        if (random() % 10 == 0) {
            k = static_cast<int>(random() % kFaultKinds);
            fault = &kFaults[k];
            fault->apply(config);
            ++counts[k];
            ++faulted;
        }
        sim.set_config(config);
        const auto start = Steady::now();
        const std::int32_t result = UploadFirmware(conn, package.c_str(), nullptr);
        const double ms = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
        longest_ms = std::max(longest_ms, ms);
        const std::int32_t expected = fault != nullptr ? fault->expected : KV_S_OK;
        if (result != expected) {
            ++wrong;
            std::printf("upload %d (%s): %s, expected %s\n", i, fault != nullptr ? fault->name : "no fault",
                        result_name(result), result_name(expected));
        }
        if (ms > bound_ms) {
            ++hangs;
            std::printf("upload %d took %.0f ms, beyond %.0f ms\n", i, ms, bound_ms);
        }
        // The simulated device keeps every frame it received; only the updater is measured.
        sim.clear_frames();
        if (conn.device_lock().held()) {
            ++wrong;
            std::printf("upload %d left the lock held\n", i);
        }
        // After a disconnect the port is dead: open the device's new line, as a new search would.
        if (k == kDisconnect) {
            for (int tries = 0; tries < 100 && !sim.connected(); ++tries)
                usleep(10000);
            if (conn.OpenPort(link.c_str()) != KV_S_OK) {
                std::printf("upload %d: the device's new line did not open\n", i);
                return 1;
            }
            ++reopened;
        }
        if (i == 10) {
            fds_10 = OpenDescriptors();
            rss_10 = ResidentKb();
        }
        if (i == uploads / 2) {
            fds_half = OpenDescriptors();
            rss_half = ResidentKb();
        }
    }
    fds_end = OpenDescriptors();
    rss_end = ResidentKb();
    const double total_s = std::chrono::duration<double>(Steady::now() - begin).count();
    std::filesystem::remove_all(dir);

    std::printf("%d uploads of a 1,000-byte body, unpaced, seed %u: %.1f s\n", uploads, seed, total_s);
    std::printf("with a fault: %d (", faulted);
    for (int k = 0; k < kFaultKinds; ++k)
        std::printf("%s%s %d", k == 0 ? "" : ", ", kFaults[k].name, counts[k]);
    std::printf("); port reopened after a disconnect: %d\n", reopened);
    std::printf(
        "wrong result or lock held: %d; beyond the time-outs: %d; longest upload %.0f ms (bound %.0f)\n",
        wrong, hangs, longest_ms, bound_ms);
    std::printf("open descriptors after upload 10: %d, after upload %d: %d, after upload %d: %d\n", fds_10,
                uploads / 2, fds_half, uploads, fds_end);
    std::printf("resident memory after upload 10: %ld kB, after upload %d: %ld kB, after upload %d: %ld kB\n",
                rss_10, uploads / 2, rss_half, uploads, rss_end);
    return wrong == 0 && hangs == 0 && fds_end == fds_10 ? 0 : 1;
}
