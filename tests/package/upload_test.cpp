// The upload against the simulated device over a pseudo-terminal: exact wire bytes, every answer
// and final status, progress, the device lock and the time-outs on every way out.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/checksum.h"
#include "device/device_connection.h"
#include "device/device_lock.h"
#include "device/result.h"
#include "log/log.h"
#include "tests/log/memory_text_control.h"
#include "package/package.h"
#include "package/package_file.h"
#include "package/upload.h"
#include "serial/serial_backend.h"
#include "package/upload_steps.h"
#include "tests/package/package_test_support.h"
#include "tools/kvsim/sim_device.h"

namespace {

using kvtest::GoodSpec;
using kvtest::TempFolder;
using qfwpack::PackageSpec;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The bytes of every dump titled `title` in the port's log: one entry per write (or read).
std::vector<Bytes> DumpsTitled(const std::string& log, const std::string& title)
{
    std::vector<Bytes> dumps;
    std::istringstream lines(log);
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const bool data = line.size() >= 6 && line[4] == ':' && line[5] == ' ' &&
                          std::all_of(line.begin(), line.begin() + 4, [](char c) {
                              return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                          });
        if (!data) {
            inside = line == title;
            if (inside)
                dumps.emplace_back();
            continue;
        }
        if (!inside)
            continue;
        for (std::size_t at = 6; at + 2 <= line.size() && at < 6 + 48; at += 3) {
            if (line[at] == ' ')
                break;
            dumps.back().push_back(static_cast<std::uint8_t>(std::stoi(line.substr(at, 2), nullptr, 16)));
        }
    }
    return dumps;
}

Bytes Concat(const std::vector<Bytes>& parts, std::size_t from = 0)
{
    Bytes all;
    for (std::size_t i = from; i < parts.size(); ++i)
        all.insert(all.end(), parts[i].begin(), parts[i].end());
    return all;
}

struct Recorder {
    std::vector<UpdateProgress> calls;
    std::function<void(const UpdateProgress&)> also;
    ProgressCallback callback()
    {
        return [this](const UpdateProgress* p) {
            calls.push_back(*p);
            if (also)
                also(*p);
            return 0;
        };
    }
};

// One simulated device and one connection to it, as a real search would leave them.
class Bench {
public:
    explicit Bench(kvsim::DeviceConfig config = {}) : sim(config) {}

    ::testing::AssertionResult connect(std::uint8_t letter)
    {
        if (!sim.start())
            return ::testing::AssertionFailure() << "simulated device did not start";
        if (connection.OpenPort(sim.slave_path().c_str()) != KV_S_OK)
            return ::testing::AssertionFailure() << "cannot open " << sim.slave_path();
        connection.hardware_info.protocol_generation = 1;
        connection.hardware_letter = letter;
        sink.edit_control = &log;
        connection.port.log_sink = &sink;
        return ::testing::AssertionSuccess();
    }

    std::int32_t upload(const std::string& path)
    {
        return UploadFirmware(connection, path.c_str(), recorder.callback());
    }

    std::vector<Bytes> writes() const { return DumpsTitled(log.text(), "QBSerial: Write"); }
    std::uint32_t read_timeout() const { return connection.port.timeouts().read_total_constant; }

    // Free, and taken at once: the upload gave back what it took.
    bool lock_is_free()
    {
        const auto before = clock.now();
        DeviceLockGuard probe(connection.device_lock());
        return !probe.busy() && clock.now() == before;
    }

    // The lock's waits and the pause after opening pass on a fake clock; reads keep real time.
    FakeClock clock;
    // The connection goes first at the end: it still logs while it closes the port.
    kvsim::SimDevice sim;
    MemoryTextControl log;
    LogSink sink;
    Recorder recorder;
    DeviceConnection connection{make_serial_backend(), clock};
};

class Upload : public ::testing::Test {
protected:
    void start(kvsim::DeviceConfig config = {})
    {
        bench = std::make_unique<Bench>(config);
        ASSERT_TRUE(bench->connect(config.hardware_letter));
        // Anything but the normal value, so that the restore is seen.
        ASSERT_TRUE(bench->connection.port.set_read_timeout(777));
    }
    std::int32_t upload(const PackageSpec& spec)
    {
        path = folder.package(spec);
        return bench->upload(path);
    }
    std::vector<UpdateProgress>& calls() { return bench->recorder.calls; }

    // Cleanup seen from outside: normal time-out, lock free, end call last.
    void expect_clean_exit()
    {
        EXPECT_EQ(bench->read_timeout(), 300u);
        EXPECT_TRUE(bench->lock_is_free());
        ASSERT_FALSE(calls().empty());
        EXPECT_EQ(calls().back().flags, kProgressEnd);
        EXPECT_EQ(std::count_if(calls().begin(), calls().end(),
                                [](const UpdateProgress& p) { return p.flags == kProgressEnd; }),
                  1);
    }

    TempFolder folder;
    std::string path;
    std::unique_ptr<Bench> bench;
};

struct WireCase {
    std::size_t body;
    Bytes command;
    std::size_t chunk_writes;
    std::size_t last_write;
};

class UploadWire : public Upload, public ::testing::WithParamInterface<WireCase> {};

TEST_P(UploadWire, CommandChunksAndTrailerAreExact)
{
    const WireCase& c = GetParam();
    start();
    PackageSpec spec = GoodSpec(c.body);
    spec.seed = static_cast<std::uint32_t>(c.body);
    ASSERT_EQ(upload(spec), KV_S_OK);

    const std::vector<Bytes> writes = bench->writes();
    ASSERT_EQ(writes.size(), 1 + c.chunk_writes);
    EXPECT_EQ(writes[0], c.command);
    for (std::size_t i = 1; i + 1 < writes.size(); ++i)
        ASSERT_EQ(writes[i].size(), 256u) << "write " << i;
    EXPECT_EQ(writes.back().size(), c.last_write);

    // The chunks carry the body in order and then the trailer: the sum of all n body bytes.
    const Bytes body = qfwpack::BuildBody(spec);
    Bytes sent = Concat(writes, 1);
    ASSERT_EQ(sent.size(), body.size() + 1);
    const std::uint8_t trailer = sent.back();
    sent.pop_back();
    EXPECT_EQ(sent, body);
    EXPECT_EQ(trailer, AdditiveChecksum(body.data(), static_cast<std::int32_t>(body.size())));

    EXPECT_EQ(bench->sim.received_image(), body);
    EXPECT_TRUE(bench->sim.upload_trailer_ok());
    expect_clean_exit();
}

INSTANTIATE_TEST_SUITE_P(Bodies, UploadWire,
                         ::testing::Values(WireCase{300, {0x66, 0x01, 0x2C, 0x93}, 2, 45},
                                           WireCase{512, {0x66, 0x02, 0x00, 0x68}, 2, 257},
                                           WireCase{65536, {0x66, 0x00, 0x00, 0x66}, 256, 257},
                                           WireCase{200, {0x66, 0x00, 0xC8, 0x2E}, 1, 201},
                                           WireCase{1, {0x66, 0x00, 0x01, 0x67}, 1, 2},
                                           WireCase{65535, {0x66, 0xFF, 0xFF, 0x64}, 256, 256}),
                         [](const auto& param_info) {
                             return "body" + std::to_string(param_info.param.body);
                         });

TEST_F(Upload, HardwareRGetsTheCommandTwiceBeforeOneAnswerIsRead)
{
    kvsim::DeviceConfig config;
    config.hardware_letter = 'R';
    start(config);
    const PackageSpec spec = GoodSpec(512);
    ASSERT_EQ(upload(spec), KV_S_OK);
    const std::vector<Bytes> writes = bench->writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0], (Bytes{0x66, 0x02, 0x00, 0x68}));
    EXPECT_EQ(writes[1], writes[0]);
    EXPECT_EQ(DumpsTitled(bench->log.text(), "QBSerial: Read").size(), 4u); // command, 2 chunks, status
    EXPECT_EQ(bench->sim.received_image(), qfwpack::BuildBody(spec));
}

TEST_F(Upload, OtherHardwareGetsTheCommandOnce)
{
    start();
    ASSERT_EQ(upload(GoodSpec(512)), KV_S_OK);
    const std::vector<Bytes> writes = bench->writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1].size(), 256u);
}

TEST_F(Upload, ProgressCountsAcknowledgedChunks)
{
    start();
    ASSERT_EQ(upload(GoodSpec(1000)), KV_S_OK);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {0, kProgressBegin}, {1, kProgressChunk}, {2, kProgressChunk},
        {3, kProgressChunk}, {4, kProgressChunk}, {4, kProgressEnd}};
    ASSERT_EQ(calls().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const UpdateProgress& p = calls()[i];
        EXPECT_EQ(p.size, 24u);
        EXPECT_EQ(p.total, 3u) << i;
        EXPECT_EQ(p.position, expected[i].first) << i;
        EXPECT_EQ(p.flags, expected[i].second) << i;
        EXPECT_EQ(p.reserved1, 0u);
        EXPECT_EQ(p.reserved2, 0u);
    }
}

TEST_F(Upload, ABodyUnderOneBlockHasNoTotal)
{
    start();
    ASSERT_EQ(upload(GoodSpec(100)), KV_S_OK);
    ASSERT_EQ(calls().size(), 3u);
    EXPECT_EQ(calls()[0].flags, kProgressBegin);
    EXPECT_EQ(calls()[0].total, 0u);
    EXPECT_EQ(calls()[1].position, 1u);
    EXPECT_EQ(calls()[2].flags, kProgressEnd);
    EXPECT_EQ(calls()[2].position, 1u);
}

TEST_F(Upload, ChunksRunUnderTheLockAndTheLongTimeOut)
{
    start();
    std::vector<std::string> seen;
    bench->recorder.also = [&](const UpdateProgress& p) {
        std::ostringstream s;
        s << p.flags << ":" << !bench->connection.device_lock().held() << ":" << bench->read_timeout();
        seen.push_back(s.str());
    };
    ASSERT_EQ(upload(GoodSpec(512)), KV_S_OK);
    // Begin before the lock and the time-out change; end after both are undone.
    EXPECT_EQ(seen, (std::vector<std::string>{"1:1:777", "0:0:6000", "0:0:6000", "2:1:300"}));
}

TEST_F(Upload, AnotherCommandDuringTheUploadFindsThePortBusy)
{
    start();
    std::int32_t other = 1;
    long long waited = 0;
    bench->recorder.also = [&](const UpdateProgress& p) {
        if (p.flags != kProgressChunk || p.position != 1)
            return;
        std::thread t([&] {
            const auto t0 = bench->clock.now();
            EEPROMInfo info{};
            other = bench->connection.GetEEPROMInfo(&info);
            waited = std::chrono::duration_cast<std::chrono::milliseconds>(bench->clock.now() - t0).count();
        });
        t.join();
    };
    ASSERT_EQ(upload(GoodSpec(512)), KV_S_OK);
    EXPECT_EQ(other, KV_E_PORT_BUSY);
    EXPECT_EQ(waited, 1200);
    EXPECT_EQ(bench->sim.received_image(), qfwpack::BuildBody(GoodSpec(512)));
}

TEST_F(Upload, ThePackageIsFreeOnceItsImageIsInMemory)
{
    start();
    std::string during_path;
    int during = -1;
    bench->recorder.also = [&](const UpdateProgress& p) {
        if (p.flags == kProgressChunk && p.position == 1)
            during = ValidateFirmwarePackage(
                path.c_str(),
                [](EEPROMInfo* i) {
                    i->device_id = 'A';
                    return 0;
                },
                kBuiltInFileVersion);
    };
    ASSERT_EQ(upload(GoodSpec(512)), KV_S_OK);
    EXPECT_EQ(during, 0);
    EXPECT_EQ(ValidateFirmwarePackage(
                  path.c_str(),
                  [](EEPROMInfo* i) {
                      i->device_id = 'A';
                      return 0;
                  },
                  kBuiltInFileVersion),
              0);
}

struct AnswerCase {
    const char* name;
    std::map<int, std::uint8_t> chunk_answers;
    std::int32_t result;
    std::size_t chunk_writes;   // chunk writes made before the upload ended
    std::uint32_t end_position; // acknowledged chunks
};

class UploadChunkAnswers : public Upload, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(UploadChunkAnswers, EachAnswerHasItsEffect)
{
    const AnswerCase& c = GetParam();
    kvsim::DeviceConfig config;
    config.chunk_answers = c.chunk_answers;
    start(config);
    EXPECT_EQ(upload(GoodSpec(1000)), c.result); // four chunks
    EXPECT_EQ(bench->writes().size(), 1 + c.chunk_writes);
    EXPECT_EQ(calls().back().position, c.end_position);
    expect_clean_exit();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UploadChunkAnswers,
    ::testing::Values(AnswerCase{"question_first", {{0, '?'}}, KV_E_REQUEST_NOT_SUPPORTED, 1, 0},
                      AnswerCase{"question_third", {{2, '?'}}, KV_E_REQUEST_NOT_SUPPORTED, 3, 2},
                      AnswerCase{"buffering_second", {{1, 'R'}}, KV_E_NVRAM_BUFFERING_FAILED, 2, 1},
                      AnswerCase{"buffering_last", {{3, 'R'}}, KV_E_NVRAM_BUFFERING_FAILED, 4, 3},
                      AnswerCase{"other_ignored", {{1, 'X'}}, KV_S_OK, 4, 3},
                      AnswerCase{"status_letters_ignored", {{0, 'C'}, {3, 'F'}}, KV_S_OK, 4, 2}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(Upload, FinalStatusTable)
{
    start();
    const std::pair<std::uint8_t, std::int32_t> table[] = {
        {'C', KV_S_OK},
        {'O', KV_S_OK},
        {'?', KV_E_REQUEST_NOT_SUPPORTED},
        {'E', KV_E_EXTERNAL_CS_INVALID},
        {'F', KV_E_INVALID_RESPONSE},
        {'H', KV_E_INVALID_HARDWARE_ID},
        {'I', KV_E_INTERNAL_CS_INVALID},
        {'R', KV_E_NVRAM_BUFFERING_FAILED},
        {'V', KV_E_INVALID_VERSION},
        {'W', KV_E_FIRMWARE_FLASH_FAILED},
        {'Z', KV_S_OK},
        {0x00, KV_S_OK},
    };
    for (const auto& [status, code] : table) {
        kvsim::DeviceConfig config = bench->sim.config();
        config.final_status = status;
        bench->sim.set_config(config);
        bench->recorder.calls.clear();
        EXPECT_EQ(upload(GoodSpec(300)), code) << "status " << int{status};
        expect_clean_exit();
        EXPECT_EQ(calls().back().position, 2u);
    }
}

TEST_F(Upload, AnyAnswerToTheCommandButOStopsBeforeTheImage)
{
    kvsim::DeviceConfig config;
    config.faults = {kvsim::FaultRule{kvsim::kCmdUpload, kvsim::Fault::question, 0, 1},
                     kvsim::FaultRule{kvsim::kCmdUpload, kvsim::Fault::echo, 0, 1}};
    start(config);
    EXPECT_EQ(upload(GoodSpec(512)), KV_E_INVALID_RESPONSE); // '?'
    EXPECT_EQ(bench->writes().size(), 1u);
    expect_clean_exit();
    EXPECT_EQ(upload(GoodSpec(512)), KV_E_INVALID_RESPONSE); // the command echoed: 'f'
    EXPECT_EQ(bench->writes().size(), 2u);
    EXPECT_EQ(calls().back().position, 0u);
}

TEST_F(Upload, PreconditionsInTheirOrder)
{
    start();
    const std::string good = folder.package(GoodSpec(512), "good.qfw");

    EXPECT_EQ(UploadFirmware(bench->connection, nullptr, bench->recorder.callback()), KV_E_GENERAL_ERROR);
    EXPECT_EQ(bench->upload(""), KV_E_GENERAL_ERROR);
    bench->connection.hardware_info.protocol_generation = 2;
    EXPECT_EQ(UploadFirmware(bench->connection, nullptr, bench->recorder.callback()), KV_E_GENERAL_ERROR);
    EXPECT_EQ(bench->upload(good), KV_E_REQUEST_NOT_SUPPORTED);
    bench->connection.hardware_info.protocol_generation = 0;
    EXPECT_EQ(bench->upload(good), KV_E_REQUEST_NOT_SUPPORTED);
    bench->connection.hardware_info.protocol_generation = 1;
    EXPECT_EQ(bench->upload(folder.file("absent.qfw")), KV_E_GENERAL_ERROR);

    // Only end calls, no begin: none of these reached the package checks.
    ASSERT_EQ(calls().size(), 6u);
    for (const UpdateProgress& p : calls())
        EXPECT_EQ(p.flags, kProgressEnd);
    EXPECT_TRUE(bench->writes().empty());
    EXPECT_EQ(bench->read_timeout(), 300u);
    EXPECT_TRUE(bench->lock_is_free());

    bench->connection.port.close();
    bench->connection.hardware_info.protocol_generation = 2;
    EXPECT_EQ(bench->upload(good), KV_E_REQUEST_NOT_SUPPORTED);
    bench->connection.hardware_info.protocol_generation = 1;
    EXPECT_EQ(bench->upload(good), KV_E_PORT_NOT_INITIALIZED);
    EXPECT_EQ(calls().back().flags, kProgressEnd);
    EXPECT_TRUE(bench->lock_is_free());
}

TEST_F(Upload, UnsendablePackagesStopBeforeTheLockAndTheDevice)
{
    start();
    // Another command holds the lock: a package refused on its own must not wait for it.
    DeviceLockGuard other(bench->connection.device_lock());
    ASSERT_FALSE(other.busy());
    PackageSpec bad_trailer = GoodSpec(512);
    bad_trailer.bad_trailer = true;
    PackageSpec bad_sum = GoodSpec(512);
    bad_sum.bad_checksum = true;
    PackageSpec bad_magic = GoodSpec(512);
    bad_magic.magic = {'Q', 'C', 'F', 'W'};
    PackageSpec cut = GoodSpec(512);
    cut.truncate_to = 200;
    for (const PackageSpec& spec : {bad_trailer, bad_sum, bad_magic, GoodSpec(0), cut, GoodSpec(65537)}) {
        bench->recorder.calls.clear();
        const auto t0 = Clock::now();
        EXPECT_EQ(upload(spec), KV_E_INVALID_FIRMWARE_IMAGE);
        EXPECT_LT(MsSince(t0), 1000);
        ASSERT_EQ(calls().size(), 1u);
        EXPECT_EQ(calls()[0].flags, kProgressEnd);
        EXPECT_EQ(calls()[0].total, 0u);
    }
    EXPECT_TRUE(bench->writes().empty());
    EXPECT_TRUE(bench->connection.device_lock().held()); // still the other holder's
    other.release();
    EXPECT_EQ(bench->read_timeout(), 300u);
    EXPECT_TRUE(bench->sim.frames().empty());
}

TEST_F(Upload, ABusyLockGives20AndIsLeftToItsHolder)
{
    start();
    DeviceLockGuard other(bench->connection.device_lock());
    ASSERT_FALSE(other.busy());
    const auto t0 = bench->clock.now();
    EXPECT_EQ(upload(GoodSpec(512)), KV_E_PORT_BUSY);
    EXPECT_EQ(bench->clock.now() - t0, std::chrono::milliseconds(1200));
    // The upload gave back nothing it never had: a third party still finds the lock taken.
    EXPECT_TRUE(DeviceLockGuard(bench->connection.device_lock()).busy());
    EXPECT_EQ(bench->read_timeout(), 300u);
    ASSERT_EQ(calls().size(), 2u);
    EXPECT_EQ(calls()[0].flags, kProgressBegin);
    EXPECT_EQ(calls()[0].total, 2u);
    EXPECT_EQ(calls()[1].flags, kProgressEnd);
    EXPECT_EQ(calls()[1].position, 0u);
    EXPECT_TRUE(bench->writes().empty());
    other.release();
    EXPECT_TRUE(bench->lock_is_free());
}

TEST_F(Upload, NoCallbackIsFine)
{
    start();
    path = folder.package(GoodSpec(600));
    EXPECT_EQ(UploadFirmware(bench->connection, path.c_str(), ProgressCallback{}), KV_S_OK);
    EXPECT_EQ(bench->sim.received_image(), qfwpack::BuildBody(GoodSpec(600)));
    EXPECT_EQ(bench->read_timeout(), 300u);
}

TEST_F(Upload, ADeviceThatGoesAwayEndsTheUploadAtOnce)
{
    kvsim::DeviceConfig config;
    config.disconnect_at_chunk = 2;
    start(config);
    const auto t0 = Clock::now();
    const std::int32_t result = upload(GoodSpec(1000));
    const long long took = MsSince(t0);
    // The hang-up ends the wait for the chunk's answer without waiting for the time-out.
    EXPECT_EQ(result, KV_E_COMM_READ_FAILURE);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(calls().back().position, 2u);
    expect_clean_exit();
}

// Silence at each place where the upload waits for the device. The three run side by side, each on
// its own device and connection, so the suite pays one 6-second wait for all of them.
TEST(UploadSilence, EachSilenceEndsWithAReadFailureAfterTheLongTimeOut)
{
    struct Case {
        const char* where;
        kvsim::DeviceConfig config;
        std::uint32_t position;
    };
    std::vector<Case> cases(3);
    cases[0] = {"after the command", {}, 0};
    cases[0].config.silent_after_command = true;
    cases[1] = {"after chunk 1", {}, 1};
    cases[1].config.silent_at_chunk = 1;
    cases[2] = {"before the final status", {}, 4};
    cases[2].config.silent_before_final = true;

    TempFolder folder;
    struct Outcome {
        std::int32_t result = 1;
        long long took = 0;
    };
    std::vector<std::unique_ptr<Bench>> benches;
    for (const Case& c : cases) {
        benches.push_back(std::make_unique<Bench>(c.config));
        ASSERT_TRUE(benches.back()->connect('A')) << c.where;
    }
    std::vector<std::future<Outcome>> running;
    for (std::size_t i = 0; i < benches.size(); ++i)
        running.push_back(
            std::async(std::launch::async,
                       [&b = benches[i], path = folder.package(GoodSpec(1000), std::to_string(i) + ".qfw")] {
                           const auto t0 = Clock::now();
                           Outcome o;
                           o.result = b->upload(path);
                           o.took = MsSince(t0);
                           return o;
                       }));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Outcome o = running[i].get();
        Bench& b = *benches[i];
        EXPECT_EQ(o.result, KV_E_COMM_READ_FAILURE) << cases[i].where;
        // One 1-byte read of 6000 ms plus 1 ms per byte; nothing else in the upload takes long.
        EXPECT_GE(o.took, 6000) << cases[i].where;
        EXPECT_LT(o.took, 7500) << cases[i].where;
        EXPECT_EQ(b.read_timeout(), 300u) << cases[i].where;
        EXPECT_TRUE(b.lock_is_free()) << cases[i].where;
        ASSERT_FALSE(b.recorder.calls.empty());
        EXPECT_EQ(b.recorder.calls.back().flags, kProgressEnd) << cases[i].where;
        EXPECT_EQ(b.recorder.calls.back().position, cases[i].position) << cases[i].where;
    }
}

} // namespace
