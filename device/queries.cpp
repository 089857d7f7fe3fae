#include "device/checksum.h"
#include "device/device_connection.h"
#include "device/frames.h"
#include "device/model_table.h"
#include "log/log.h"

namespace {

constexpr std::uint16_t kWayfarerModeAddress = 0x100;
constexpr std::uint16_t kWayfarerBankAddress = 0x101;
constexpr std::uint8_t kUnreadEeprom = 0xFF;
constexpr std::uint32_t kWayfarerMemory = 0x80000;

} // namespace

std::int32_t DeviceConnection::GetEmulationBank(std::uint8_t* out, bool rw)
{
    const char* const name = rw ? "R/W" : "Active Emulation";
    if (!(hardware_info.capabilities & kCapBanked) || hardware_info.model_id == kModelHalcyon)
        return KV_E_REQUEST_NOT_SUPPORTED;
    const auto request = frames::BankRequest(rw ? frames::kBankReadWrite : frames::kBankActive);

    DeviceLockGuard lock(lock_);
    if (lock.busy())
        return KV_E_PORT_BUSY;
    port.purge();
    // A failed write shows as a missing answer.
    port.write(request.data(), static_cast<std::uint32_t>(request.size()));
    std::uint8_t bank = 0;
    if (port.read(&bank, 1) != 1 || bank == frames::kUnknownCommand) {
        log_line(log_sink, "QBKorvane: Get %s Bank Failed!", name);
        return KV_E_INVALID_RESPONSE;
    }
    log_line(log_sink, "QBKorvane: Get %s Bank Succeeded: Bank %i", name, static_cast<int>(bank));
    if (out != nullptr)
        *out = bank;
    (rw ? rw_bank : emulation_bank) = bank;
    return KV_S_OK;
}

std::int32_t DeviceConnection::GetWayfarerEmulationBank(std::uint8_t* out)
{
    std::uint8_t bank = kUnreadEeprom;
    const std::int32_t result = ReadEEPROM(&bank, kWayfarerBankAddress, 1);
    if (result >= 0) {
        if (out != nullptr)
            *out = bank;
        emulation_bank = bank;
    }
    return result;
}

std::int32_t DeviceConnection::GetWayfarerMode()
{
    if (hardware_info.model_id != kModelWayfarer) {
        log_line(log_sink, "QBKorvane: Wayfarer mode retrieval FAILED");
        return KV_E_REQUEST_NOT_SUPPORTED;
    }
    std::uint8_t mode = kUnreadEeprom;
    const std::int32_t result = ReadEEPROM(&mode, kWayfarerModeAddress, 1);
    if (result < 0) {
        log_line(log_sink, "QBKorvane: Wayfarer mode retrieval FAILED");
        return result;
    }
    wayfarer_mode = mode;
    hardware_info.bank_count = BankCount(*this);
    hardware_info.bank_size = BankSize(*this);
    log_line(log_sink, "QBKorvane: Wayfarer mode retrieved: %i", static_cast<int>(wayfarer_mode));
    return result;
}

std::int32_t DeviceConnection::GetFlashInfo(std::uint8_t* buffer16)
{
    if (buffer16 == nullptr)
        return KV_E_INVALID_FUNC_PARAM;
    if (!port.is_open())
        return KV_E_PORT_NOT_INITIALIZED;
    if (!(hardware_info.capabilities & kCapFlashInfo))
        return KV_E_REQUEST_NOT_SUPPORTED;
    log_line(log_sink, "QBKorvane: GetFlashInfo requested");

    port.set_read_timeout(frames::kReadTimeoutStandardMs);
    port.purge();
    const auto& request = frames::kFlashInfoRequest;
    if (port.write(request.data(), static_cast<std::uint32_t>(request.size())) < request.size())
        return KV_E_COMM_WRITE_FAILURE;
    if (port.read(buffer16, frames::kFlashInfoReplySize) < frames::kFlashInfoReplySize)
        return KV_E_COMM_READ_FAILURE;
    std::uint8_t checksum = 0;
    if (port.read(&checksum, 1) != 1)
        return KV_E_COMM_READ_FAILURE;
    const std::uint8_t computed =
        AdditiveChecksum(std::span<const std::uint8_t>(buffer16, frames::kFlashInfoReplySize));
    // Unlike the EEPROM read, a mismatch is only reported.
    if (computed != checksum)
        log_line(log_sink,
                 "QBKorvane: GetFlashInfo: Invalid external data checksum\r\n\tCS of recvd data: "
                 "%.2X\r\n\tCS from device: %.2x",
                 static_cast<unsigned>(computed), static_cast<unsigned>(checksum));
    return KV_S_OK;
}

std::uint32_t BankSize(const DeviceConnection& connection)
{
    const HardwareInfo& info = connection.hardware_info;
    if (info.model_id != kModelWayfarer)
        return info.bank_size;
    switch (connection.wayfarer_mode) {
    case 1:
    case 2:
    case 5: return 0x10000;
    case 3: return 0x20000;
    case 4: return 0x40000;
    default: return info.memory_size;
    }
}

std::uint32_t BankCount(const DeviceConnection& connection)
{
    const HardwareInfo& info = connection.hardware_info;
    if (!(info.capabilities & kCapBanked))
        return 1;
    if (info.model_id != kModelWayfarer)
        return info.bank_count;
    // A mode outside 1..5 leaves the size at memory_size, which is 0 for a Wayfarer: one bank
    // rather than a division by zero.
    const std::uint32_t size = BankSize(connection);
    return size == 0 ? 1 : kWayfarerMemory / size;
}
