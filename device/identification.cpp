#include <cstdio>

#include "device/bounded_text.h"
#include "device/device_connection.h"
#include "device/frames.h"
#include "device/model_table.h"
#include "log/log.h"

namespace {

constexpr std::uint16_t kEepromInfoAddress = 1;
constexpr std::uint8_t kCinderDeviceId = 0x44;   // 'D'
constexpr std::uint8_t kCinderIIDeviceId = 0x64; // 'd'
constexpr std::uint8_t kCinderFixupMinMajor = 2;
constexpr std::uint8_t kSerialEncryptionOff = 0x6E; // 'n'; 0 means the same
constexpr std::size_t kSuffixCapacity = 25;

std::uint32_t InterfaceTypeOf(std::uint8_t letter)
{
    switch (letter) {
    case 0x55: return 1; // 'U'
    case 0x42: return 2; // 'B'
    case 0x53: return 3; // 'S'
    default: return 0;
    }
}

bool HasRwWindow(std::uint32_t model_id)
{
    return model_id == kModelLarkin || model_id == kModelLarkinII || model_id == kModelCinder ||
           model_id == kModelTolv || model_id == kModelTolv2;
}

bool HasFlashInfo(std::uint32_t model_id)
{
    return model_id == kModelMeridian || model_id == kModelCinder || model_id == kModelTolv ||
           model_id == kModelTolv2;
}

} // namespace

bool MeetsVersion(std::uint8_t major, std::uint8_t minor, std::uint8_t threshold_major,
                  std::uint8_t threshold_minor)
{
    return !(major == threshold_major && minor < threshold_minor);
}

std::int32_t DeviceConnection::GetFirmwareVersion(FirmwareVersion* version)
{
    if (!port.is_open())
        return KV_E_PORT_NOT_INITIALIZED;
    log_line(log_sink, "QBKorvane: Firmware Version string requested");

    DeviceLockGuard lock(lock_);
    if (lock.busy())
        return KV_E_PORT_BUSY; // the holder's time-outs are not ours to restore

    std::int32_t result = KV_S_OK;
    port.set_read_timeout(frames::kReadTimeoutQuickMs);
    firmware_major = firmware_minor = hardware_letter = 0;
    port.purge();

    const auto& request = frames::kVersionRequest;
    std::uint8_t reply[frames::kVersionReplySize] = {};
    if (port.write(request.data(), static_cast<std::uint32_t>(request.size())) < request.size()) {
        result = KV_E_COMM_WRITE_FAILURE;
    } else {
        const std::uint32_t received = port.read(reply, sizeof reply);
        // Whatever arrived is kept, valid or not; the rest stays zero.
        firmware_major = reply[0];
        firmware_minor = reply[1];
        hardware_letter = reply[2];
        if (received < sizeof reply)
            result = KV_E_COMM_READ_FAILURE;
        else if (!frames::IsValidVersionReply(reply))
            result = KV_E_INVALID_RESPONSE;
        else if (version != nullptr)
            *version = FirmwareVersion{firmware_major, firmware_minor, hardware_letter};
    }

    if (port.is_open())
        port.set_read_timeout(frames::kReadTimeoutStandardMs);
    return result;
}

std::int32_t DeviceConnection::GetEEPROMInfo(EEPROMInfo* info)
{
    if (info == nullptr)
        return KV_E_INVALID_FUNC_PARAM;
    log_line(log_sink, "QBKorvane: EEPROM Information requested");

    auto* bytes = reinterpret_cast<std::uint8_t*>(info);
    const std::int32_t result = ReadEEPROM(bytes, kEepromInfoAddress, sizeof(EEPROMInfo));

    // Cinder II firmware reports the Cinder's id; packages know it by 'd'.
    if (hardware_letter == kLetterCinder && firmware_major >= kCinderFixupMinMajor &&
        info->device_id == kCinderDeviceId) {
        info->device_id = kCinderIIDeviceId;
        log_line(log_sink, "Cinder2 device ID fixup applied");
    }
    if (result == KV_S_OK) {
        last_eeprom_info = *info;
        last_eeprom_info_valid = true;
    }
    return result;
}

std::int32_t DeviceConnection::RequestSerial(std::uint8_t* serial9)
{
    if (serial9 == nullptr)
        return KV_E_INVALID_FUNC_PARAM;
    log_line(log_sink, "SkyWay: Serial requested");

    DeviceLockGuard lock(lock_);
    if (lock.busy())
        return KV_E_PORT_BUSY;
    port.set_read_timeout(frames::kReadTimeoutSerialMs);
    port.purge();

    const auto& request = frames::kSerialRequest;
    if (!port.is_open() ||
        port.write(request.data(), static_cast<std::uint32_t>(request.size())) < request.size())
        return KV_E_COMM_WRITE_FAILURE;
    if (port.read(serial9, frames::kSerialReplySize) < frames::kSerialReplySize) {
        log_line(log_sink, "Serial request timed out");
        return KV_E_COMM_READ_TIMEOUT;
    }
    std::uint8_t trailer = 0;
    if (port.read(&trailer, 1) != 1)
        return KV_E_COMM_READ_FAILURE;
    return KV_S_OK;
}

std::int32_t DeviceConnection::IdentifyHardware()
{
    hardware_info = HardwareInfo{};
    HardwareInfo& info = hardware_info;

    if (hardware_letter == kLetterLarkin) {
        EEPROMInfo eeprom{};
        if (GetEEPROMInfo(&eeprom) == KV_S_OK) {
            ApplyModelRow(info, hardware_letter, firmware_major, firmware_minor,
                          eeprom.device_id == kDeviceIdLarkinII);
        } else {
            // Without the id the model is a Larkin of unknown firmware features: no name.
            info.protocol_generation = 1;
            info.model_id = kModelLarkin;
            info.capabilities = 0x0A;
            info.memory_size = 0x80000;
            info.bank_size = 0x10000;
            info.bank_count = 9;
        }
    } else if (ApplyModelRow(info, hardware_letter, firmware_major, firmware_minor, false) ==
               ModelMatch::unknown) {
        log_line(log_sink, "QBKorvane: Could not determine hardware type from version ID.");
        return KV_E_UNKNOWN_HARDWARE;
    }

    char suffix[kSuffixCapacity];
    std::snprintf(suffix, sizeof suffix, " v%i.%i.%c", static_cast<int>(firmware_major),
                  static_cast<int>(firmware_minor), static_cast<char>(hardware_letter));
    AppendText(info.description, sizeof info.description, suffix);

    if (info.protocol_generation == 1) {
        EEPROMInfo eeprom{};
        if (GetEEPROMInfo(&eeprom) == KV_S_OK) {
            info.interface_type = InterfaceTypeOf(eeprom.interface_letter);
            if (info.interface_type == 0)
                log_line(log_sink, "QuenbyWare: Could not get communication interface type.");
        }
    }

    if (info.capabilities & kCapBanked) {
        const std::int32_t bank = info.model_id == kModelWayfarer ? GetWayfarerEmulationBank(&emulation_bank)
                                                                  : GetEmulationBank(&emulation_bank, false);
        if (bank != KV_S_OK)
            return bank;
        if (HasRwWindow(info.model_id)) {
            const std::int32_t window = GetEmulationBank(&rw_bank, true);
            if (window != KV_S_OK)
                return window;
        }
    }
    if (info.model_id == kModelWayfarer) {
        const std::int32_t mode = GetWayfarerMode();
        if (mode != KV_S_OK)
            return mode;
    }
    if (HasFlashInfo(info.model_id)) {
        const std::int32_t flash = GetFlashInfo(flash_info);
        if (flash != KV_S_OK)
            return flash;
    }

    if (info.capabilities & kCapEncryption) {
        std::uint8_t serial[frames::kSerialReplySize] = {};
        if (RequestSerial(serial) == KV_S_OK && serial[0] != 0 && serial[0] != kSerialEncryptionOff) {
            log_line(log_sink, "Encryption Enabled");
        } else {
            info.capabilities &= ~kCapEncryption;
            log_line(log_sink, "Encryption possible, but disabled");
        }
    }
    return KV_S_OK;
}
