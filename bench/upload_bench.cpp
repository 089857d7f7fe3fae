// Upload benchmark: a 65,536-byte body through the real serial backend to the simulated device,
// which paces both directions as a 115200 bit/s line would. Prints the wall time against the
// time the bytes alone need on the wire. With --log it uploads in rounds, alternately without a log
// and with the diagnostic log kept in memory as the program keeps it, and prints what the log
// costs. Not a test: it only measures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "device/device_connection.h"
#include "device/result.h"
#include "log/log_buffer.h"
#include "package/upload.h"
#include "tools/kvsim/sim_device.h"
#include "tools/qfwpack/package_builder.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

} // namespace

int main(int argc, char** argv)
{
    bool paced = true;
    std::size_t body = 65536;
    int log_rounds = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--unpaced") == 0)
            paced = false;
        else if (std::strcmp(argv[i], "--body") == 0 && i + 1 < argc)
            body = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (std::strcmp(argv[i], "--log") == 0 && i + 1 < argc)
            log_rounds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: upload_bench [--unpaced] [--body N] [--log ROUNDS]\n");
            return 2;
        }
    }
    if (body == 0 || body > 65536) {
        std::fprintf(stderr, "body must be 1 to 65536 bytes\n");
        return 2;
    }
    constexpr std::uint32_t kBaud = 115200;

    kvsim::DeviceConfig config;
    config.wire_pacing = paced;
    kvsim::SimDevice sim(config);
    if (!sim.start()) {
        std::fprintf(stderr, "simulated device did not start\n");
        return 1;
    }
    DeviceConnection connection;
    if (connection.OpenPort(sim.slave_path().c_str()) != KV_S_OK) {
        std::fprintf(stderr, "cannot open %s\n", sim.slave_path().c_str());
        return 1;
    }
    connection.hardware_info.protocol_generation = 1;
    connection.hardware_letter = config.hardware_letter;

    const std::string path =
        (std::filesystem::temp_directory_path() / ("kv-upload-bench-" + std::to_string(::getpid()) + ".qfw"))
            .string();
    qfwpack::PackageSpec spec;
    spec.body_size = body;
    if (!qfwpack::WritePackage(path, spec)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }

    // Time of every acknowledgement, to split the wall time into the image and its ends.
    std::vector<Clock::time_point> acks;
    acks.reserve(body / 256 + 2);
    const ProgressCallback progress = [&](const UpdateProgress* p) {
        if (p->flags == kProgressChunk)
            acks.push_back(Clock::now());
        return 0;
    };

    if (log_rounds > 0) {
        LogBuffer buffer;
        LogSink sink{&buffer};
        std::vector<double> times[2];
        for (int round = 0; round < log_rounds; ++round) {
            for (int with_log = 0; with_log < 2; ++with_log) {
                connection.log_sink = with_log ? &sink : nullptr;
                connection.port.log_sink = connection.log_sink;
                const auto start = Clock::now();
                const std::int32_t r = UploadFirmware(connection, path.c_str(), nullptr);
                times[with_log].push_back(Seconds(Clock::now() - start));
                if (r != KV_S_OK || sim.received_image() != qfwpack::BuildBody(spec)) {
                    connection.log_sink = nullptr;
                    connection.port.log_sink = nullptr;
                    std::fprintf(stderr, "upload failed: %d (%s)\n", r, result_name(r));
                    return 1;
                }
                std::printf("round %d %-8s %.3f s\n", round + 1, with_log ? "log" : "no log",
                            times[with_log].back());
            }
        }
        std::filesystem::remove(path);
        // The port's closing line must not go to a log that is gone by then.
        connection.log_sink = nullptr;
        connection.port.log_sink = nullptr;
        for (auto& t : times)
            std::sort(t.begin(), t.end());
        const double without = times[0][times[0].size() / 2];
        const double with = times[1][times[1].size() / 2];
        std::printf("upload of a %zu-byte body, %s, %d rounds\n", body,
                    paced ? "paced at 115200 bit/s" : "unpaced", log_rounds);
        std::printf("median without log: %.3f s\nmedian with log:    %.3f s\nratio:              %.4f\n",
                    without, with, with / without);
        const std::string kept = buffer.text();
        std::printf("log kept: %zu bytes, %zu lines\n", kept.size(),
                    static_cast<std::size_t>(std::count(kept.begin(), kept.end(), '\n')) + 1);
        return 0;
    }

    const auto t0 = Clock::now();
    const std::int32_t result = UploadFirmware(connection, path.c_str(), progress);
    const auto t1 = Clock::now();
    std::filesystem::remove(path);

    const std::size_t chunks = (body + 255) / 256;
    // Host to device: command, body, trailer. Device to host: command answer, one per chunk, status.
    const std::size_t to_device = 4 + body + 1;
    const std::size_t to_host = 1 + chunks + 1;
    const double wire = static_cast<double>(to_device + to_host) * 10.0 / kBaud;
    const double wall = Seconds(t1 - t0);

    std::printf("upload of a %zu-byte body, %s, result %d (%s)\n", body,
                paced ? "paced at 115200 bit/s" : "unpaced", result, result_name(result));
    std::printf("image received intact: %s\n",
                sim.received_image() == qfwpack::BuildBody(spec) && sim.upload_trailer_ok() ? "yes" : "NO");
    std::printf("bytes on the wire: %zu to the device + %zu to the host = %zu\n", to_device, to_host,
                to_device + to_host);
    std::printf("wall time:        %.3f s\n", wall);
    std::printf("wire-time bound:  %.3f s\n", wire);
    std::printf("ratio:            %.3f\n", wire > 0 ? wall / wire : 0.0);
    if (acks.size() >= 2) {
        std::vector<double> gaps;
        for (std::size_t i = 1; i < acks.size(); ++i)
            gaps.push_back(Seconds(acks[i] - acks[i - 1]) * 1000.0);
        std::sort(gaps.begin(), gaps.end());
        const double chunk_wire = (256.0 + 1.0) * 10.0 / kBaud * 1000.0;
        double sum = 0;
        for (double g : gaps)
            sum += g;
        std::printf("per chunk round trip: median %.3f ms, max %.3f ms, mean %.3f ms; wire %.3f ms each\n",
                    gaps[gaps.size() / 2], gaps.back(), sum / static_cast<double>(gaps.size()), chunk_wire);
        std::printf(
            "until the first chunk's answer (file, lock, command, chunk): %.3f s; after the last: %.3f s\n",
            Seconds(acks.front() - t0), Seconds(t1 - acks.back()));
    }
    return result == KV_S_OK ? 0 : 1;
}
