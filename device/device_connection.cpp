#include "device/device_connection.h"

#include <array>
#include <bitset>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "device/bounded_text.h"
#include "device/checksum.h"
#include "device/frames.h"
#include "log/log.h"
#include "serial/serial_backend.h"

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kSettleAfterOpen{100};
constexpr milliseconds kSettleBeforeProbe{60};
constexpr milliseconds kSettleAfterSpeedChange{10};

// The port's configuration for every device command.
constexpr std::uint32_t kReadIntervalMs = 200;
constexpr std::uint32_t kReadMultiplierMs = 1;
constexpr std::uint32_t kWriteMultiplierMs = 0;
constexpr std::uint32_t kWriteConstantMs = 300;

constexpr std::uint32_t kDefaultSpeedCode = 7; // 115200
constexpr std::uint32_t kFastSpeedCode = 0;    // 921600
constexpr std::uint32_t kSlowProbeBaud = 19200;

constexpr std::size_t kPortPathCapacity = 50;
constexpr std::size_t kComNumbers = 256; // COM0 to COM255, the search's candidates

} // namespace

DeviceConnection::DeviceConnection() : DeviceConnection(make_serial_backend(), SystemClock::instance()) {}

DeviceConnection::DeviceConnection(std::unique_ptr<SerialBackend> backend, WaitClock& clock)
    : DeviceConnection(std::move(backend), clock, MakePortInventory())
{
}

DeviceConnection::DeviceConnection(std::unique_ptr<SerialBackend> backend, WaitClock& clock,
                                   std::unique_ptr<PortInventory> inventory)
    : port(std::move(backend)), clock_(clock), inventory_(std::move(inventory))
{
}

DeviceConnection::~DeviceConnection()
{
    // The SerialPort destructor then closes (and logs) once more.
    port.close();
}

std::int32_t DeviceConnection::OpenPort(const char* device_path)
{
    if (port.is_open())
        port.close();
    const bool configured =
        device_path != nullptr && port.open(device_path) && port.set_queue_sizes() &&
        port.set_timeouts(kReadIntervalMs, kReadMultiplierMs, frames::kReadTimeoutStandardMs,
                          kWriteMultiplierMs, kWriteConstantMs);
    if (!configured) {
        port.close();
        return KV_E_PORT_NOT_INITIALIZED;
    }
    clock_.sleep_for(kSettleAfterOpen);
    return KV_S_OK;
}

void DeviceConnection::ClosePort()
{
    if (link_speed_code != kDefaultSpeedCode)
        SetUSBBaud(kDefaultSpeedCode);
    port.close();
    emulation_bank = 0;
    rw_bank = 0;
    hardware_info = HardwareInfo{};
    last_eeprom_info = EEPROMInfo{};
    last_eeprom_info_valid = false;
    log_line(log_sink, "QBKorvane: COM Port closed.");
}

const HardwareInfo* DeviceConnection::GetHardwareInfo() const
{
    return hardware_info.capabilities != 0 ? &hardware_info : nullptr;
}

const char* PortStateName(PortState state)
{
    switch (state) {
    case PortState::answered: return "answered";
    case PortState::in_use: return "in_use";
    case PortState::silent: return "silent";
    case PortState::absent: return "absent";
    case PortState::bluetooth: return "bluetooth";
    case PortState::no_permission: return "no_permission";
    case PortState::unusable: return "unusable";
    }
    return "unusable";
}

bool DeviceConnection::SearchForHardware(char* description, std::uint32_t capacity, FirmwareVersion* version,
                                         const DeviceAcceptor& accept)
{
    last_search_.clear();
    absent_unlisted_ = 0;
    // Taken once per search, so that each Bluetooth link is skipped (and said) once. Numbers past
    // the candidates' range are never tried.
    std::bitset<kComNumbers> listed, bluetooth;
    for (const PortInfo& info : inventory_->ListPorts()) {
        const std::optional<std::uint32_t> number = ComNumberOf(info.name);
        if (!number || *number >= kComNumbers)
            continue;
        listed.set(*number);
        if (info.bluetooth)
            bluetooth.set(*number);
    }

    for (const std::uint32_t n : ComCandidates(last_port_number)) {
        const bool known = n < kComNumbers;
        if (known && bluetooth.test(n)) {
            // Opening one costs seconds while the link tries to connect, and every version
            // request after it many more; no device of this family sits behind one.
            if (port.is_open())
                ClosePort();
            const std::string name = ComName(n);
            log_line(log_sink, "QBKorvane: Skipping %s: Bluetooth serial link", name.c_str());
            last_search_.emplace_back(name, PortState::bluetooth);
            continue;
        }
        char path[kPortPathCapacity];
        FormatComPortPath(path, sizeof path, n);
        PortAttempt attempt = Attempt(path, description, capacity, version);
        if (attempt.state == PortState::absent && !(known && listed.test(n))) {
            // Most numbers name nothing: counted, not kept.
            ++absent_unlisted_;
            continue;
        }
        attempt.port = ComName(n);
        if (attempt.state == PortState::answered && accept && !accept(GetHardwareInfo())) {
            // Another generation, or a device without capabilities: a usable one may sit on a
            // later port.
            log_line(log_sink, "QBKorvane: Skipping %s: %s cannot be updated by this utility",
                     attempt.port.c_str(), attempt.description.c_str());
            ClosePort();
            last_search_.push_back(std::move(attempt));
            continue;
        }
        const bool answered = attempt.state == PortState::answered;
        attempt.accepted = answered;
        last_search_.push_back(std::move(attempt));
        if (answered) {
            last_port_number = n;
            return true;
        }
    }
    LogWhyNotFound();
    return false;
}

void DeviceConnection::LogWhyNotFound() const
{
    bool present = false;
    for (const PortAttempt& a : last_search_) {
        if (a.state == PortState::in_use) {
            log_line(log_sink, "QBKorvane: No device found: %s is in use by another program", a.port.c_str());
            present = true;
        }
    }
    for (const PortAttempt& a : last_search_) {
        if (a.state == PortState::no_permission) {
            log_line(log_sink, "QBKorvane: No device found: no permission to open %s", a.port.c_str());
            present = true;
        }
    }
    std::string silent;
    for (const PortAttempt& a : last_search_) {
        if (a.state == PortState::silent)
            silent += (silent.empty() ? "" : ", ") + a.port;
    }
    if (!silent.empty()) {
        log_line(log_sink, "QBKorvane: No device found: no answer on %s", silent.c_str());
        present = true;
    }
    // A device passed over was said as it was skipped.
    for (const PortAttempt& a : last_search_)
        present = present || a.state == PortState::answered;
    // A port that opened but takes no serial settings is no serial port either.
    if (!present)
        log_line(log_sink, "QBKorvane: No device found: no serial port is present");
}

PortProbe DeviceConnection::ProbePort(const char* device_path, char* description, std::uint32_t capacity,
                                      FirmwareVersion* version)
{
    last_search_.clear();
    absent_unlisted_ = 0;
    PortAttempt attempt = Attempt(device_path, description, capacity, version);
    attempt.port = device_path != nullptr ? device_path : "";
    if (const std::optional<std::uint32_t> number = ComNumberOf(attempt.port))
        attempt.port = ComName(*number);
    attempt.accepted = attempt.state == PortState::answered;
    last_search_.push_back(std::move(attempt));
    switch (last_search_.back().state) {
    case PortState::answered: return PortProbe::answered;
    case PortState::silent: return PortProbe::no_answer;
    default: return PortProbe::not_opened;
    }
}

PortAttempt DeviceConnection::Attempt(const char* device_path, char* description, std::uint32_t capacity,
                                      FirmwareVersion* version)
{
    PortAttempt attempt;
    ClosePort();
    if (OpenPort(device_path) != KV_S_OK) {
        ClosePort(); // the end of every attempt, as after one that opened
        if (device_path == nullptr)
            return attempt; // absent: the port kept the reason of an earlier open
        attempt.system_error = port.last_open_error();
        switch (port.last_open_failure()) {
        case OpenFailure::absent: attempt.state = PortState::absent; break;
        case OpenFailure::in_use: attempt.state = PortState::in_use; break;
        case OpenFailure::no_permission:
            attempt.state = PortState::no_permission;
            attempt.node = port.last_open_node();
            break;
        default: attempt.state = PortState::unusable; break; // not configured, or failed otherwise
        }
        return attempt;
    }
    attempt.state = PortState::silent;
    clock_.sleep_for(kSettleBeforeProbe);
    // The device may still run at the fast speed a previous session left it at, or
    // be one of the slow models.
    std::int32_t result = GetFirmwareVersion(nullptr);
    if (result != KV_S_OK && SetUSBBaud(kFastSpeedCode) == KV_S_OK)
        result = GetFirmwareVersion(nullptr);
    if (result != KV_S_OK) {
        SetUSBBaud(kDefaultSpeedCode);
        if (port.set_baud_rate(kSlowProbeBaud))
            result = GetFirmwareVersion(nullptr);
    }

    if (result == KV_S_OK) {
        attempt.state = PortState::answered;
        IdentifyHardware();
        attempt.description = hardware_info.description;
        attempt.version = FirmwareVersion{firmware_major, firmware_minor, hardware_letter};
        if (description != nullptr && capacity != 0)
            CopyText(description, capacity < kDescriptionCapacity ? capacity : kDescriptionCapacity,
                     hardware_info.description);
        if (version != nullptr)
            *version = attempt.version;
        if (hardware_info.capabilities != 0)
            return attempt;
    } else {
        if (description != nullptr && capacity != 0)
            description[0] = '\0';
        firmware_major = firmware_minor = hardware_letter = 0;
        if (version != nullptr)
            *version = FirmwareVersion{};
    }
    ClosePort();
    return attempt;
}

std::int32_t DeviceConnection::SetUSBBaud(std::uint32_t code)
{
    const std::uint32_t new_speed = frames::SpeedOfCode(code);
    std::uint32_t logged_speed = new_speed;
    std::int32_t result = KV_S_OK;

    if (new_speed == 0) {
        logged_speed = frames::SpeedOfCode(link_speed_code);
        result = KV_E_INVALID_FUNC_PARAM;
    } else if (hardware_info.capabilities == 0) {
        // Nobody to ask: only the port follows.
        link_speed_code = code;
        port.set_baud_rate(new_speed);
    }

    if (new_speed != 0 && hardware_info.capabilities != 0) {
        DeviceLockGuard lock(lock_);
        if (lock.busy()) {
            // The port belongs to the holder's exchange: its time-outs are left alone.
            result = KV_E_PORT_BUSY;
        } else {
            port.set_read_timeout(frames::kReadTimeoutQuickMs);
            port.purge();
            const auto request = frames::SpeedRequest(static_cast<std::uint8_t>(code));
            std::uint8_t answer = 0;
            if (port.write(request.data(), static_cast<std::uint32_t>(request.size())) < request.size()) {
                result = KV_E_COMM_WRITE_FAILURE;
            } else if (port.read(&answer, 1) != 1) {
                result = KV_E_COMM_READ_FAILURE;
            } else if (answer == frames::kAck) {
                link_speed_code = code;
                port.set_baud_rate(new_speed);
            }
            // Any other answer: the device stays at its speed, and so does the port.
            if (port.is_open())
                port.set_read_timeout(frames::kReadTimeoutStandardMs);
        }
    } else if (port.is_open()) {
        port.set_read_timeout(frames::kReadTimeoutStandardMs);
    }

    if (result == KV_S_OK) {
        log_line(log_sink, "QBKorvane: SetUSBBaud to %i, Force = %s SUCCEEDED",
                 static_cast<int>(logged_speed), "TRUE");
        clock_.sleep_for(kSettleAfterSpeedChange);
    } else {
        log_line(log_sink, "QBKorvane: SetUSBBaud to %i, Force = %s FAILED with %s",
                 static_cast<int>(logged_speed), "TRUE", result_name(result));
    }
    return result;
}

std::int32_t DeviceConnection::ReadEEPROM(std::uint8_t* destination, std::uint16_t address,
                                          std::uint16_t count)
{
    if (!port.is_open())
        return KV_E_PORT_NOT_INITIALIZED;
    // The count byte carries 1 to 256; anything else could not be matched with its reply.
    if (destination == nullptr || count == 0 || count > frames::kMaxEepromCount)
        return KV_E_INVALID_FUNC_PARAM;
    log_line(log_sink, "QBKorvane: ReadEEPROM requested, %i bytes from address %X", static_cast<int>(count),
             static_cast<unsigned>(address));

    std::array<std::uint8_t, frames::kMaxEepromRequestSize> request{};
    const std::size_t request_size =
        frames::BuildEepromRequest(hardware_info.protocol_generation, address, count, request);

    DeviceLockGuard lock(lock_);
    if (lock.busy())
        return KV_E_PORT_BUSY;
    if (port.is_open())
        port.set_read_timeout(frames::kReadTimeoutStandardMs);
    port.purge();

    if (port.write(request.data(), static_cast<std::uint32_t>(request_size)) < request_size)
        return KV_E_COMM_WRITE_FAILURE;
    const std::uint32_t received = port.read(destination, count);
    if (received < count) {
        if (count >= 2 && received >= 1 && destination[0] == frames::kUnknownCommand)
            return KV_E_UNKNOWN_COMMAND;
        return KV_E_COMM_READ_FAILURE;
    }
    std::uint8_t checksum = 0;
    if (port.read(&checksum, 1) != 1)
        return KV_E_COMM_READ_FAILURE;
    const std::uint8_t computed = AdditiveChecksum(std::span<const std::uint8_t>(destination, count));
    if (computed != checksum) {
        log_line(log_sink,
                 "QBKorvane: ReadEEPROM: Invalid external data checksum\r\n\tCS of recvd data: "
                 "%.2X\r\n\tCS from device: %.2x",
                 static_cast<unsigned>(computed), static_cast<unsigned>(checksum));
        return KV_E_EXTERNAL_CS_INVALID;
    }
    return KV_S_OK;
}

bool FormatComPortPath(char* buffer, std::size_t capacity, std::uint32_t port_number)
{
    if (buffer == nullptr || capacity == 0)
        return false;
    // By hand: a search formats one for each of its 254 numbers.
    static constexpr char kPrefix[] = "\\\\.\\COM";
    constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
    char digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + port_number % 10);
        port_number /= 10;
    } while (port_number != 0);
    if (kPrefixLength + count >= capacity) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, kPrefix, kPrefixLength);
    std::size_t at = kPrefixLength;
    while (count != 0)
        buffer[at++] = digits[--count];
    buffer[at] = '\0';
    return true;
}
