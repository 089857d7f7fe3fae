// Fault matrix: every device command and every step of the upload against the simulated device
// on a real pseudo-terminal, through the platform's serial backend and real time, under each
// fault the device can show. Prints one table: result code, time until the result against the
// time-out that bounds it, whether the lock is free afterwards and the read time-out where the
// command leaves it; each cell is checked against the expected outcome. Not a test: it measures.
// fault_matrix [--quick]: --quick leaves out the faults that wait for the upload's 6 s.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "device/device_connection.h"
#include "device/result.h"
#include "package/upload.h"
#include "tools/kvsim/sim_device.h"
#include "tools/qfwpack/package_builder.h"

namespace {

using kvsim::Fault;
using Steady = std::chrono::steady_clock;

const Fault kFaults[] = {Fault::silence, Fault::short_reply, Fault::bad_checksum, Fault::question,
                         Fault::echo,    Fault::delay,       Fault::disconnect};
const char* const kFaultNames[] = {"silence", "short reply", "wrong checksum", "'?'",
                                   "echo",    "late",        "disconnect"};
constexpr int kFaultCount = 7;
constexpr int kLateMarginMs = 60; // a late reply comes this long after the time-out

struct Expect {
    std::int32_t code;
    int timeout_ms; // the time-out that ends the command under this fault; 0: none is waited for
};

// One row: how to reach the command, its fault rule target, its expected outcomes by fault.
struct Row {
    const char* name;
    std::uint8_t command;        // request letter the fault applies to, or an upload answer
    int time_out_ms;             // the read time-out of the answer this row faults
    std::uint32_t timeout_after; // read total constant the command leaves behind
    std::function<std::int32_t(DeviceConnection&, const std::string&)> run;
    Expect expect[kFaultCount];
};

// Which of the body's bytes the device's echo of the first chunk puts where the answers are read.
std::vector<std::uint8_t> Body()
{
    std::vector<std::uint8_t> body(299);
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<std::uint8_t>('a' + i % 26); // no 'O', '?' or 'R' among them
    return body;
}

std::int32_t Upload(DeviceConnection& conn, const std::string& path)
{
    return UploadFirmware(conn, path.c_str(), nullptr);
}

std::vector<Row> Rows()
{
    const std::int32_t ok = KV_S_OK, rf = KV_E_COMM_READ_FAILURE, ir = KV_E_INVALID_RESPONSE,
                       rt = KV_E_COMM_READ_TIMEOUT;
    std::vector<Row> rows;
    // Version: 3 bytes under 110 ms + 3 x 1 ms; a short or stray reply is a short count.
    rows.push_back({"GetFirmwareVersion",
                    kvsim::kCmdVersion,
                    113,
                    300,
                    [](DeviceConnection& c, const std::string&) { return c.GetFirmwareVersion(nullptr); },
                    {{rf, 113}, {rf, 113}, {ok, 0}, {rf, 113}, {rf, 113}, {rf, 113}, {rf, 0}}});
    // Speed change of an identified device: 1 byte under 110 + 1 ms; any answer but 'O' keeps
    // both ends where they are and is still success.
    rows.push_back({"SetUSBBaud(0)",
                    kvsim::kCmdSpeed,
                    111,
                    300,
                    [](DeviceConnection& c, const std::string&) { return c.SetUSBBaud(0); },
                    {{rf, 111}, {ok, 0}, {ok, 0}, {ok, 0}, {ok, 0}, {rf, 111}, {rf, 0}}});
    // EEPROM, generation-1 form, 7 bytes: 300 + 7 ms; a short reply ends 200 ms after its byte.
    rows.push_back({"ReadEEPROM gen 1 (7 at 1)",
                    kvsim::kCmdEepromGen1,
                    307,
                    300,
                    [](DeviceConnection& c, const std::string&) {
                        std::uint8_t b[7];
                        return c.ReadEEPROM(b, 1, 7);
                    },
                    {{rf, 307},
                     {rf, 200},
                     {KV_E_EXTERNAL_CS_INVALID, 0},
                     {KV_E_UNKNOWN_COMMAND, 200},
                     {rf, 200},
                     {rf, 307},
                     {rf, 0}}});
    rows.push_back({"ReadEEPROM other (7 at 1)",
                    kvsim::kCmdEepromOther,
                    307,
                    300,
                    [](DeviceConnection& c, const std::string&) {
                        c.hardware_info.protocol_generation = 2;
                        std::uint8_t b[7];
                        const std::int32_t r = c.ReadEEPROM(b, 1, 7);
                        c.hardware_info.protocol_generation = 1;
                        return r;
                    },
                    // The 12-byte request echoed fills the 7 data bytes and the checksum byte.
                    {{rf, 307},
                     {rf, 200},
                     {KV_E_EXTERNAL_CS_INVALID, 0},
                     {KV_E_UNKNOWN_COMMAND, 200},
                     {KV_E_EXTERNAL_CS_INVALID, 0},
                     {rf, 307},
                     {rf, 0}}});
    // Bank: 1 byte under the standing 300 + 1 ms; a 1-byte reply has no short form or checksum.
    // The echo's first byte 'B' is taken as bank 66, as any byte but '?' is.
    rows.push_back({"GetEmulationBank(E)",
                    kvsim::kCmdBank,
                    301,
                    300,
                    [](DeviceConnection& c, const std::string&) {
                        std::uint8_t bank = 0;
                        return c.GetEmulationBank(&bank, false);
                    },
                    {{ir, 301}, {ok, 0}, {ok, 0}, {ir, 0}, {ok, 0}, {ir, 301}, {ir, 0}}});
    rows.push_back({"GetWayfarerMode",
                    kvsim::kCmdEepromGen1,
                    301,
                    300,
                    [](DeviceConnection& c, const std::string&) {
                        c.hardware_info.model_id = 13;
                        const std::int32_t r = c.GetWayfarerMode();
                        c.hardware_info.model_id = 16;
                        return r;
                    },
                    // 1 data byte: a short reply is the data byte without its checksum (301 ms for
                    // the checksum read); the echo's 'H' 'R' read as data and a wrong checksum.
                    {{rf, 301},
                     {rf, 301},
                     {KV_E_EXTERNAL_CS_INVALID, 0},
                     {rf, 301},
                     {KV_E_EXTERNAL_CS_INVALID, 0},
                     {rf, 301},
                     {rf, 0}}});
    // Flash information: 16 bytes under 300 + 16 ms; a wrong checksum is logged, not failed.
    rows.push_back({"GetFlashInfo",
                    kvsim::kCmdFlashInfo,
                    316,
                    300,
                    [](DeviceConnection& c, const std::string&) {
                        std::uint8_t b[16];
                        return c.GetFlashInfo(b);
                    },
                    {{rf, 316}, {rf, 200}, {ok, 0}, {rf, 200}, {rf, 200}, {rf, 316}, {rf, 0}}});
    // Serial: 9 bytes under 600 + 9 ms, and the read time-out stays at 600 ms.
    rows.push_back({"RequestSerial",
                    kvsim::kCmdSerial,
                    609,
                    600,
                    [](DeviceConnection& c, const std::string&) {
                        std::uint8_t b[9];
                        return c.RequestSerial(b);
                    },
                    {{rt, 609}, {rt, 200}, {ok, 0}, {rt, 200}, {rt, 200}, {rt, 609}, {rt, 0}}});
    // Upload, 299 + trailer = 300-byte body in two chunks; every answer under 6000 + 1 ms.
    // Command answer: anything but 'O' (the echo's 'f', the checksum fault's 'P') stops it.
    rows.push_back({"UploadFirmware: command",
                    kvsim::kCmdUpload,
                    6001,
                    300,
                    Upload,
                    {{rf, 6001}, {ok, 0}, {ir, 0}, {ir, 0}, {ir, 0}, {rf, 6001}, {rf, 0}}});
    // Chunk answer: '?' stops it; any other byte is passed over. The echo of the first chunk
    // puts its bytes 'a', 'b', 'c' where the next answers are read: 'c' as the final status.
    rows.push_back(
        {"UploadFirmware: chunk 1",
         kvsim::kAnswerChunk,
         6001,
         300,
         Upload,
         {{rf, 6001}, {ok, 0}, {ok, 0}, {KV_E_REQUEST_NOT_SUPPORTED, 0}, {ok, 0}, {rf, 6001}, {rf, 0}}});
    // Final status: 'C' + 1 = 'D' is not in the table and reads as success, as does the echo's
    // first byte of the last chunk.
    rows.push_back(
        {"UploadFirmware: final status",
         kvsim::kAnswerStatus,
         6001,
         300,
         Upload,
         {{rf, 6001}, {ok, 0}, {ok, 0}, {KV_E_REQUEST_NOT_SUPPORTED, 0}, {ok, 0}, {rf, 6001}, {rf, 0}}});
    return rows;
}

struct Cell {
    std::int32_t code = 0;
    double ms = 0;
    bool lock_free = false;
    std::uint32_t read_timeout = 0;
    bool ok = false;
};

Cell RunCell(const Row& row, int fault_index, const std::string& package)
{
    kvsim::DeviceConfig config;
    config.hardware_letter = 'N'; // TOLV: generation 1, banked, flash information
    config.firmware_major = 1;
    config.eeprom[kvsim::kEepromWayfarerMode] = 3;
    config.serial[0] = 'A';
    kvsim::SimDevice sim(config);
    Cell cell;
    if (!sim.start())
        return cell;
    DeviceConnection conn;
    if (conn.OpenPort(sim.slave_path().c_str()) != KV_S_OK || conn.GetFirmwareVersion(nullptr) != KV_S_OK)
        return cell;
    conn.IdentifyHardware();
    if (conn.hardware_info.capabilities == 0)
        return cell;

    const Fault fault = kFaults[fault_index];
    kvsim::FaultRule rule{row.command, fault, 0, 1};
    if (fault == Fault::delay)
        rule.fault_arg = row.time_out_ms + kLateMarginMs;
    config.faults = {rule};
    sim.set_config(config);

    const auto start = Steady::now();
    cell.code = row.run(conn, package);
    cell.ms = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
    cell.lock_free = !conn.device_lock().held();
    cell.read_timeout = conn.port.timeouts().read_total_constant;

    const Expect& e = row.expect[fault_index];
    // A wait for a time-out takes it and not much more; a prompt outcome waits for none.
    const bool time_ok =
        e.timeout_ms == 0 ? cell.ms < 150.0 : cell.ms >= e.timeout_ms - 2 && cell.ms < e.timeout_ms + 100;
    cell.ok = cell.code == e.code && time_ok && cell.lock_free && cell.read_timeout == row.timeout_after;
    return cell;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::string package =
        (std::filesystem::temp_directory_path() / ("kv-fault-matrix-" + std::to_string(::getpid()) + ".qfw"))
            .string();
    qfwpack::PackageSpec spec;
    spec.payload = Body();
    if (!qfwpack::WritePackage(package, spec)) {
        std::fprintf(stderr, "cannot write %s\n", package.c_str());
        return 1;
    }

    const std::vector<Row> rows = Rows();
    int mismatches = 0;
    std::printf("Each cell: result code, ms until the result / the time-out that bounds it (- when none is\n"
                "waited for), L = lock free afterwards, T = read time-out left where the command leaves it\n"
                "(300 ms; 600 ms after RequestSerial); ok when all match the expected outcome.\n\n");
    std::printf("| command | fault | result | ms / time-out | lock free | read time-out | verdict |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        for (int f = 0; f < kFaultCount; ++f) {
            const Expect& e = row.expect[f];
            const bool slow = e.timeout_ms >= 6000 || (kFaults[f] == Fault::delay && row.time_out_ms >= 6000);
            if (quick && slow) {
                std::printf("| %s | %s | (left out) | | | | |\n", row.name, kFaultNames[f]);
                continue;
            }
            const Cell c = RunCell(row, f, package);
            char timing[64];
            if (e.timeout_ms > 0)
                std::snprintf(timing, sizeof timing, "%.1f / %d", c.ms, e.timeout_ms);
            else
                std::snprintf(timing, sizeof timing, "%.1f / -", c.ms);
            char verdict[96] = "ok";
            if (!c.ok) {
                ++mismatches;
                std::snprintf(verdict, sizeof verdict, "MISMATCH (expected %s)", result_name(e.code));
            }
            std::printf("| %s | %s | %s | %s | %s | %u ms | %s |\n", row.name, kFaultNames[f],
                        result_name(c.code), timing, c.lock_free ? "yes" : "NO", c.read_timeout, verdict);
            std::fflush(stdout);
        }
    }
    std::filesystem::remove(package);
    std::printf("\n%d cells, %d mismatches\n", static_cast<int>(rows.size()) * kFaultCount, mismatches);
    return mismatches == 0 ? 0 : 1;
}
