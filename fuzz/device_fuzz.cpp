// Fuzz target that plays the device: the input scripts the far end of whole conversations through
// a serial line in memory, on a fake clock. For each read it says what arrives (all of it, part,
// nothing, late, an echo of the request, '?') or that the port vanishes; other input bytes choose
// the commands. After every command it checks what must always hold: the lock is free, the read
// time-out is where the command leaves it, no read could wait longer than the time-outs allow,
// the description is terminated within its 100 characters and the result is one the command can
// give. A violation aborts, so libFuzzer keeps the input.
//
// With KV_DEVICE_FUZZ_SEEDS=<folder> in the environment it writes seed inputs instead: the same
// conversations against the simulated device on a pseudo-terminal, its replies recorded in the
// input format.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "device/checksum.h"
#include "device/device_connection.h"
#include "device/device_lock.h"
#include "tools/memline/memory_serial_backend.h"
#include "device/result.h"
#include "log/log.h"
#include "package/upload.h"
#include "tools/qfwpack/package_builder.h"

namespace {

using std::chrono::milliseconds;

// Read steps, the low 3 bits of a step's first byte.
enum StepKind : std::uint8_t {
    kExact = 0,       // a 16-bit length, then that many bytes
    kFull = 1,        // as many bytes as the read still misses
    kChecksummed = 2, // as many as it misses, then their additive sum (for the next read)
    kSilence = 3,
    kLate = 4,   // an 8-bit length, then bytes that arrive after the read's time-out
    kVanish = 5, // the port goes away
    kEcho = 6,   // the request comes back
    kQuestion = 7,
};

enum Op : std::uint8_t {
    kOpVersion,
    kOpIdentify,
    kOpEepromInfo,
    kOpSerial,
    kOpReadEeprom,
    kOpBank,
    kOpWayfarerBank,
    kOpWayfarerMode,
    kOpFlashInfo,
    kOpSpeed,
    kOpUpload,
    kOpClose,
    kOpOpen,
    kOpSearch,
    kOpBusy, // another holder keeps the lock while a command runs
    kOpCount
};

const char* const kOpNames[] = {"GetFirmwareVersion",
                                "IdentifyHardware",
                                "GetEEPROMInfo",
                                "RequestSerial",
                                "ReadEEPROM",
                                "GetEmulationBank",
                                "GetWayfarerEmulationBank",
                                "GetWayfarerMode",
                                "GetFlashInfo",
                                "SetUSBBaud",
                                "UploadFirmware",
                                "ClosePort",
                                "OpenPort",
                                "SearchForHardware",
                                "busy command"};

constexpr int kMaxOps = 12;
constexpr std::uint32_t kIdentifyUnknownLetter = 0x8007048F;
const char* const kDevicePath = "\\\\.\\COM3";

[[noreturn]] void Violation(int op, const char* what, long long value = 0)
{
    std::fprintf(stderr, "device fuzz: after %s: %s (%lld)\n", op >= 0 ? kOpNames[op] : "start", what, value);
    std::abort();
}

// Sequential reader of the input; zeros once it is used up.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16()
    {
        const std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | (u8() << 8));
    }
    std::vector<std::uint8_t> bytes(std::size_t count)
    {
        const std::size_t n = std::min(count, size_ - at_);
        std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Where the conversation's choices come from: the input when fuzzing, a fixed list (written
// out into the seed) when recording.
struct Choices {
    std::function<bool()> more;
    std::function<std::uint8_t()> next;
};

// Log lines are formatted as in the program, then dropped.
class DiscardingControl final : public TextControl {
public:
    std::size_t text_length() override { return 0; }
    void set_selection(std::size_t, std::size_t) override {}
    void replace_selection(const char* text) override { characters_ += std::strlen(text); }

private:
    std::size_t characters_ = 0;
};

// The system's ports as the search sees them, the same on every machine: the line in memory and a
// Bluetooth link the search must pass over without opening. Reading the machine's own /dev on
// every search would make each run slower and its path depend on the machine.
class FixedInventory final : public PortInventory {
public:
    std::vector<PortInfo> ListPorts() const override
    {
        PortInfo line;
        line.name = "COM3";
        line.device_path = kDevicePath;
        PortInfo bluetooth;
        bluetooth.name = "COM7";
        bluetooth.device_path = "\\\\.\\COM7";
        bluetooth.bluetooth = true;
        return {line, bluetooth};
    }
};

struct Package {
    std::string path;
    std::uint32_t chunks = 0;
};

std::vector<Package>& Packages()
{
    static std::vector<Package> packages;
    return packages;
}

void WritePackages()
{
    const char* dir = std::getenv("TMPDIR");
    const std::string base = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kv-device-fuzz-" +
                             std::to_string(::getpid());
    for (std::size_t size : {1, 255, 256, 300, 512, 1000}) {
        qfwpack::PackageSpec spec;
        spec.body_size = size;
        spec.seed = static_cast<std::uint32_t>(size);
        Package p{base + "-" + std::to_string(size) + ".qfw", static_cast<std::uint32_t>((size + 255) / 256)};
        if (!qfwpack::WritePackage(p.path, spec)) {
            std::fprintf(stderr, "device fuzz: cannot write %s\n", p.path.c_str());
            std::exit(1);
        }
        Packages().push_back(p);
    }
    std::atexit([] {
        for (const Package& p : Packages())
            std::remove(p.path.c_str());
    });
}

bool OneOf(std::int32_t code, std::initializer_list<std::int32_t> allowed)
{
    return std::find(allowed.begin(), allowed.end(), code) != allowed.end();
}

#define KV_EEPROM_CODES                                                                                      \
    KV_S_OK, KV_E_PORT_NOT_INITIALIZED, KV_E_COMM_WRITE_FAILURE, KV_E_COMM_READ_FAILURE,                     \
        KV_E_UNKNOWN_COMMAND, KV_E_EXTERNAL_CS_INVALID, KV_E_INVALID_FUNC_PARAM, KV_E_PORT_BUSY

bool ResultAllowed(int op, std::int32_t r)
{
    switch (op) {
    case kOpVersion:
        return OneOf(r, {KV_S_OK, KV_E_PORT_NOT_INITIALIZED, KV_E_PORT_BUSY, KV_E_COMM_WRITE_FAILURE,
                         KV_E_COMM_READ_FAILURE, KV_E_INVALID_RESPONSE});
    case kOpIdentify:
        return static_cast<std::uint32_t>(r) == kIdentifyUnknownLetter ||
               OneOf(r, {KV_EEPROM_CODES, KV_E_REQUEST_NOT_SUPPORTED, KV_E_INVALID_RESPONSE});
    case kOpEepromInfo:
    case kOpReadEeprom:
    case kOpWayfarerBank: return OneOf(r, {KV_EEPROM_CODES});
    case kOpWayfarerMode: return OneOf(r, {KV_EEPROM_CODES, KV_E_REQUEST_NOT_SUPPORTED});
    case kOpSerial:
        return OneOf(r, {KV_S_OK, KV_E_INVALID_FUNC_PARAM, KV_E_PORT_BUSY, KV_E_COMM_WRITE_FAILURE,
                         KV_E_COMM_READ_TIMEOUT, KV_E_COMM_READ_FAILURE});
    case kOpBank:
        return OneOf(r, {KV_S_OK, KV_E_REQUEST_NOT_SUPPORTED, KV_E_PORT_BUSY, KV_E_INVALID_RESPONSE});
    case kOpFlashInfo:
        return OneOf(r, {KV_S_OK, KV_E_INVALID_FUNC_PARAM, KV_E_PORT_NOT_INITIALIZED,
                         KV_E_REQUEST_NOT_SUPPORTED, KV_E_COMM_WRITE_FAILURE, KV_E_COMM_READ_FAILURE});
    case kOpSpeed:
        return OneOf(r, {KV_S_OK, KV_E_INVALID_FUNC_PARAM, KV_E_PORT_BUSY, KV_E_COMM_WRITE_FAILURE,
                         KV_E_COMM_READ_FAILURE});
    case kOpUpload:
        return OneOf(r, {KV_S_OK, KV_E_GENERAL_ERROR, KV_E_PORT_NOT_INITIALIZED, KV_E_REQUEST_NOT_SUPPORTED,
                         KV_E_COMM_WRITE_FAILURE, KV_E_COMM_READ_FAILURE, KV_E_INVALID_RESPONSE,
                         KV_E_EXTERNAL_CS_INVALID, KV_E_NVRAM_BUFFERING_FAILED, KV_E_INTERNAL_CS_INVALID,
                         KV_E_INVALID_FIRMWARE_IMAGE, KV_E_FIRMWARE_FLASH_FAILED, KV_E_PORT_BUSY,
                         KV_E_INVALID_VERSION, KV_E_INVALID_HARDWARE_ID});
    case kOpOpen: return OneOf(r, {KV_S_OK, KV_E_PORT_NOT_INITIALIZED});
    default: return true;
    }
}

// One conversation: a search, then commands chosen by the input, each followed by the checks.
class Conversation {
public:
    // line is null when recording against the simulated device (no checks of the line's state).
    Conversation(DeviceConnection& conn, MemorySerialBackend* line, Choices choices)
        : conn_(conn), line_(line), clock_(conn.clock()), choices_(std::move(choices))
    {
    }
    ~Conversation()
    {
        conn_.log_sink = nullptr;
        conn_.port.log_sink = nullptr;
    }
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    void run()
    {
        // The log formats every reply it is shown, in half the runs and outside the searches: a
        // search over 254 ports writes many lines and few of them depend on a reply.
        const std::uint8_t first = next();
        search(-1, first);
        conn_.log_sink = (first & 0x80) != 0 ? &sink_ : nullptr;
        conn_.port.log_sink = conn_.log_sink;
        for (int i = 0; i < kMaxOps && choices_.more(); ++i)
            one(choices_.next() % kOpCount);
    }

private:
    std::uint8_t next() { return choices_.next(); }

    void search(int op, std::uint8_t choice)
    {
        const std::uint8_t capacity = choice % 128;
        // Exactly the given capacity, so that a write past it is a fault the sanitizer sees.
        std::unique_ptr<char[]> description(capacity != 0 ? new char[capacity] : nullptr);
        if (capacity != 0)
            std::memset(description.get(), 'Z', capacity);
        FirmwareVersion version{0xEE, 0xEE, 0xEE};
        LogSink* const sink = conn_.log_sink;
        conn_.log_sink = conn_.port.log_sink = nullptr;
        const auto start = clock_.now();
        conn_.SearchForHardware(description.get(), capacity, &version);
        conn_.log_sink = conn_.port.log_sink = sink;
        check_elapsed(op, start, 80000);
        if (capacity != 0) {
            const std::size_t bound = std::min<std::size_t>(capacity, kDescriptionCapacity);
            const bool untouched =
                std::all_of(description.get(), description.get() + capacity, [](char c) { return c == 'Z'; });
            if (!untouched && std::memchr(description.get(), '\0', bound) == nullptr)
                Violation(op, "search description not terminated within its bound", capacity);
        }
        check_always(op);
        check_timeouts(op, {300, 600});
    }

    void one(int op)
    {
        const std::uint32_t before = read_constant();
        const auto start = clock_.now();
        std::int32_t r = KV_S_OK;
        std::uint8_t buffer[257];
        switch (op) {
        case kOpVersion: r = conn_.GetFirmwareVersion(next() & 1 ? nullptr : &version_); break;
        case kOpIdentify: r = conn_.IdentifyHardware(); break;
        case kOpEepromInfo: r = conn_.GetEEPROMInfo(reinterpret_cast<EEPROMInfo*>(buffer)); break;
        case kOpSerial: r = conn_.RequestSerial(buffer); break;
        case kOpReadEeprom: {
            const std::uint16_t address = choices_.next();
            // 0 and 257 are refused; 1 to 256 are what the device can answer.
            const std::uint16_t count =
                static_cast<std::uint16_t>(next() % 8 == 0 ? next() % 258 : 1 + next() % 16);
            r = conn_.ReadEEPROM(buffer, address, count);
            break;
        }
        case kOpBank: {
            std::uint8_t* out = (next() & 1) != 0 ? nullptr : buffer;
            const bool rw = (next() & 1) != 0;
            r = conn_.GetEmulationBank(out, rw);
            break;
        }
        case kOpWayfarerBank: r = conn_.GetWayfarerEmulationBank(buffer); break;
        case kOpWayfarerMode: r = conn_.GetWayfarerMode(); break;
        case kOpFlashInfo: r = conn_.GetFlashInfo(buffer); break;
        case kOpSpeed: r = conn_.SetUSBBaud(next() % 9); break;
        case kOpUpload: r = upload(op, next()); break;
        case kOpClose: conn_.ClosePort(); break;
        case kOpOpen: r = conn_.OpenPort(kDevicePath); break;
        case kOpSearch: search(op, next()); return;
        case kOpBusy: busy(next()); return;
        default: return;
        }
        if (!ResultAllowed(op, r))
            Violation(op, "result the command cannot give", r);
        check_elapsed(op, start, op == kOpIdentify ? 40000 : op == kOpUpload ? upload_bound_ : 4000);
        check_always(op);

        switch (op) {
        case kOpBank: check_timeouts(op, {before}); break;
        case kOpSerial: check_timeouts(op, {r == KV_E_INVALID_FUNC_PARAM ? before : 600u}); break;
        case kOpIdentify: check_timeouts(op, {300, 600, before}); break;
        case kOpReadEeprom:
        case kOpFlashInfo:
        case kOpWayfarerMode:
            // Refused before the exchange: nothing touched.
            check_timeouts(op,
                           {r == KV_E_INVALID_FUNC_PARAM || r == KV_E_REQUEST_NOT_SUPPORTED ? before : 300u});
            break;
        case kOpClose:
            if (conn_.port.is_open())
                Violation(op, "port still open");
            break;
        default: check_timeouts(op, {300}); break;
        }
    }

    std::int32_t upload(int op, std::uint8_t choice)
    {
        const Package& p = Packages()[choice % Packages().size()];
        // The lock, then every answer (command, chunks, status) at most 6000 ms plus 1 ms.
        upload_bound_ = 1200 + (p.chunks + 2) * 6001;
        std::uint32_t calls = 0;
        bool ended = false;
        const ProgressCallback progress = [&](const UpdateProgress* u) {
            if (ended || u == nullptr || u->size != sizeof(UpdateProgress))
                Violation(op, "progress call after the end or malformed");
            if (u->flags == kProgressEnd)
                ended = true;
            if (u->position > p.chunks)
                Violation(op, "progress past the chunk count", u->position);
            ++calls;
            return 0;
        };
        const std::int32_t r = UploadFirmware(conn_, p.path.c_str(), progress);
        if (r == KV_S_OK && !ended)
            Violation(op, "upload ended without its end call");
        return r;
    }

    // A command while another holder keeps the lock: it gives up after 1200 ms without sending,
    // releasing, or changing the holder's 6000 ms read time-out (the upload sets its own 300 ms
    // back on every exit).
    void busy(std::uint8_t choice)
    {
        DeviceLockGuard holder(conn_.device_lock());
        if (holder.busy())
            Violation(kOpBusy, "lock not free before the busy command");
        const bool open = conn_.port.is_open() && line_usable();
        if (open)
            conn_.port.set_read_timeout(6000);
        const std::uint64_t writes = line_ != nullptr ? line_->statistics().writes : 0;
        const auto start = clock_.now();
        std::uint8_t buffer[16];
        std::int32_t r = KV_S_OK;
        const int which = choice % 6;
        switch (which) {
        case 0: r = conn_.GetFirmwareVersion(nullptr); break;
        case 1: r = conn_.ReadEEPROM(buffer, 1, 7); break;
        case 2: r = conn_.RequestSerial(buffer); break;
        case 3: r = conn_.GetEmulationBank(buffer, false); break;
        case 4: r = conn_.SetUSBBaud(0); break;
        default: r = upload(kOpBusy, choice); break;
        }
        if (r != KV_E_PORT_BUSY && !OneOf(r, {KV_E_PORT_NOT_INITIALIZED, KV_E_REQUEST_NOT_SUPPORTED,
                                              KV_E_INVALID_FUNC_PARAM, KV_S_OK}))
            Violation(kOpBusy, "busy command gave an unexpected result", r);
        if (r == KV_S_OK && which != 4)
            Violation(kOpBusy, "a command ran while another held the lock", which);
        if (line_ != nullptr) {
            if (r == KV_E_PORT_BUSY && clock_.now() - start != milliseconds(1200))
                Violation(kOpBusy, "busy wait other than 1200 ms", (clock_.now() - start).count());
            if (line_->statistics().writes != writes)
                Violation(kOpBusy, "busy command wrote to the device", which);
        }
        if (!conn_.device_lock().held())
            Violation(kOpBusy, "busy command released the holder's lock", which);
        // The upload sets 300 ms on every way out, a busy wait included; a speed change that needs
        // no device (not identified) takes no lock and ends at 300 ms as always.
        const bool sets_300 = which == 5 || (which == 4 && r == KV_S_OK);
        check_timeouts(kOpBusy, {sets_300 ? 300u : 6000u});
        holder.release();
        if (open && line_usable())
            conn_.port.set_read_timeout(300);
    }

    bool line_usable() const { return line_ == nullptr || !line_->vanished(); }

    std::uint32_t read_constant() const
    {
        return line_ != nullptr && line_->is_open() ? line_->timeouts().read_total_constant : 0;
    }

    void check_elapsed(int op, std::chrono::nanoseconds start, std::int64_t bound_ms)
    {
        if (line_ == nullptr)
            return;
        const auto ms = std::chrono::duration_cast<milliseconds>(clock_.now() - start).count();
        if (ms > bound_ms)
            Violation(op, "command took longer than its time-outs allow (ms)", ms);
    }

    void check_always(int op)
    {
        if (conn_.device_lock().held())
            Violation(op, "lock still held");
        const auto before = clock_.now();
        if (DeviceLockGuard probe(conn_.device_lock());
            probe.busy() || (line_ != nullptr && clock_.now() != before))
            Violation(op, "lock not free at once");
        if (std::memchr(conn_.hardware_info.description, '\0', kDescriptionCapacity) == nullptr)
            Violation(op, "description not terminated");
        if ((conn_.GetHardwareInfo() != nullptr) != (conn_.hardware_info.capabilities != 0))
            Violation(op, "identification reported against the capabilities");
        if (line_ == nullptr)
            return;
        const auto& stats = line_->statistics();
        if (stats.unbounded_wait)
            Violation(op, "a read could wait for ever");
        if (stats.longest_wait_ms > 6000 + 257)
            Violation(op, "a read waited longer than any time-out", stats.longest_wait_ms);
    }

    void check_timeouts(int op, std::initializer_list<std::uint32_t> allowed)
    {
        if (line_ == nullptr || !conn_.port.is_open() || !line_->is_open() || line_->vanished())
            return;
        const CommTimeouts& t = line_->timeouts();
        if (t.read_interval != 200 || t.read_total_multiplier != 1 || t.write_total_multiplier != 0 ||
            t.write_total_constant != 300)
            Violation(op, "the connection's other time-outs changed");
        if (std::find(allowed.begin(), allowed.end(), t.read_total_constant) == allowed.end())
            Violation(op, "read time-out left at", t.read_total_constant);
    }

    DeviceConnection& conn_;
    MemorySerialBackend* line_;
    WaitClock& clock_;
    Choices choices_;
    DiscardingControl control_;
    LogSink sink_{&control_};
    FirmwareVersion version_;
    std::int64_t upload_bound_ = 0;
};

ReadStep StepOfKind(Input& in, std::uint8_t kind, std::uint32_t missing,
                    const std::vector<std::uint8_t>& written);

ReadStep NextStep(Input& in, std::uint32_t missing, const std::vector<std::uint8_t>& written)
{
    if (!in.more())
        return ReadStep{};
    const std::uint8_t kind = in.u8();
    ReadStep step = StepOfKind(in, kind, missing, written);
    // Bit 3: the port goes away at the next write, after this read has had its bytes.
    step.vanish_at_write = (kind & 0x08) != 0;
    return step;
}

ReadStep StepOfKind(Input& in, std::uint8_t kind, std::uint32_t missing,
                    const std::vector<std::uint8_t>& written)
{
    switch (kind & 7) {
    case kExact: return ReadStep{in.bytes(in.u16() % 512)};
    case kFull: return ReadStep{in.bytes(missing)};
    case kChecksummed: {
        ReadStep step{in.bytes(missing)};
        step.bytes.push_back(
            AdditiveChecksum(step.bytes.data(), static_cast<std::int32_t>(step.bytes.size())));
        return step;
    }
    case kLate: {
        ReadStep step{in.bytes(in.u8())};
        step.late = true;
        return step;
    }
    case kVanish: {
        ReadStep step;
        step.vanish = true;
        return step;
    }
    case kEcho: return ReadStep{written};
    case kQuestion: return ReadStep{{0x3F}};
    default: return ReadStep{};
    }
}

// Seeds: the same conversations against the simulated device, its replies written down as
// exact read steps and the choices as they were made.
int WriteSeeds(const char* folder);

} // namespace

// Each conversation makes and drops its own connection, so a use after free shows within it. A
// small quarantine keeps reusing warm memory; the default 256 MB had every run fault in fresh pages.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    WritePackages();
    if (const char* folder = std::getenv("KV_DEVICE_FUZZ_SEEDS"))
        std::exit(WriteSeeds(folder));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FakeClock clock;
    Input in(data, size);
    auto backend = std::make_unique<MemorySerialBackend>(clock);
    MemorySerialBackend* line = backend.get();
    line->add_port(kDevicePath);
    line->set_script([&in](std::uint32_t missing, const std::vector<std::uint8_t>& written) {
        return NextStep(in, missing, written);
    });
    DeviceConnection conn(std::move(backend), clock, std::make_unique<FixedInventory>());
    Conversation(conn, line, Choices{[&in] { return in.more(); }, [&in] { return in.u8(); }}).run();
    return 0;
}

#include "device_fuzz_seeds.inc"
