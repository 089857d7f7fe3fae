#include "update/update_flow.h"

#include <utility>

#include "log/log.h"

namespace {

constexpr std::size_t kSearchDescriptionCapacity = 260;

void LogCompletion(const DeviceConnection& connection, std::int32_t result)
{
    log_line(connection.log_sink, "FirmwareUpdateProc completed with result: %i", result);
}

} // namespace

bool UpdateFlow::Usable(const HardwareInfo* info)
{
    return info != nullptr && info->capabilities != 0 && info->protocol_generation == 1;
}

FoundDevice UpdateFlow::Found(const FirmwareVersion& version, const char* description, std::string port)
{
    FoundDevice found;
    found.found = true;
    found.port = std::move(port);
    found.version = version;
    found.description = description;
    return found;
}

FoundDevice UpdateFlow::SearchComPorts()
{
    char description[kSearchDescriptionCapacity] = {};
    FirmwareVersion version;
    const bool answered = connection_.SearchForHardware(description, sizeof description, &version);
    const std::string port = "COM" + std::to_string(connection_.last_port_number);
    if (answered && Usable(connection_.GetHardwareInfo()))
        return Found(version, description, port);
    connection_.ClosePort();
    FoundDevice none;
    if (answered)
        none.notes.push_back({port, PortProbe::answered, description});
    return none;
}

FoundDevice UpdateFlow::SearchPorts(const std::vector<PortToTry>& ports)
{
    FoundDevice none;
    for (const PortToTry& port : ports) {
        char description[kDescriptionCapacity] = {};
        FirmwareVersion version;
        const PortProbe probe =
            connection_.ProbePort(port.device_path.c_str(), description, sizeof description, &version);
        if (probe == PortProbe::answered && Usable(connection_.GetHardwareInfo()))
            return Found(version, description, port.name);
        connection_.ClosePort();
        none.notes.push_back({port.name, probe, probe == PortProbe::answered ? description : ""});
    }
    return none;
}

ExaminedPackage UpdateFlow::ReadPackageFile(const char* path) const
{
    ExaminedPackage package;
    package.path = path != nullptr ? path : "";
    PackageFile file;
    package.read = ReadPackage(file, path, PackageFile::Sharing::readers_allowed, &package.content);
    package.read_failure = file.failure();
    if (package.read == PackageRead::ok)
        package.sha256 = PackageDigest(package.content);
    return package;
}

void UpdateFlow::Judge(ExaminedPackage& package, const EEPROMInfoReader& read_eeprom_info,
                       const FileVersionNumbers& own_version) const
{
    package.verdict = Verdict(package, read_eeprom_info, own_version);
}

int UpdateFlow::Verdict(const ExaminedPackage& package, const EEPROMInfoReader& read_eeprom_info,
                        const FileVersionNumbers& own_version) const
{
    return JudgePackage(package.read, package.content, read_eeprom_info, own_version);
}

ExaminedPackage UpdateFlow::Examine(const char* path, const EEPROMInfoReader& read_eeprom_info,
                                    const FileVersionNumbers& own_version) const
{
    ExaminedPackage package = ReadPackageFile(path);
    Judge(package, read_eeprom_info, own_version);
    return package;
}

EEPROMInfoReader UpdateFlow::DeviceEepromReader(bool port_in_use)
{
    if (port_in_use) {
        return [this](EEPROMInfo* info) {
            if (!connection_.last_eeprom_info_valid)
                return KV_E_PORT_BUSY;
            *info = connection_.last_eeprom_info;
            return KV_S_OK;
        };
    }
    return [this](EEPROMInfo* info) { return connection_.GetEEPROMInfo(info); };
}

std::int32_t UpdateFlow::FlashFile(const char* path, const Sha256Digest& examined,
                                   const ProgressCallback& callback, bool* changed)
{
    const std::int32_t result = UploadFirmware(connection_, path, callback, examined, changed);
    LogCompletion(connection_, result);
    return result;
}

std::int32_t UpdateFlow::FlashExamined(const ExaminedPackage& package, const ProgressCallback& callback)
{
    return FlashExamined(package, package.verdict, callback);
}

std::int32_t UpdateFlow::FlashExamined(const ExaminedPackage& package, int verdict,
                                       const ProgressCallback& callback)
{
    // Only a package that passed every check is ever sent.
    const std::int32_t result = verdict == 0 && package.readable()
                                    ? UploadPackage(connection_, package.content, callback)
                                    : KV_E_INVALID_FIRMWARE_IMAGE;
    LogCompletion(connection_, result);
    return result;
}

UpdateOutcome UpdateFlow::Conclude(std::int32_t result, const PackageHeader& sent,
                                   const std::function<FoundDevice()>& identify_again)
{
    UpdateOutcome outcome;
    outcome.result = result;
    if (result != KV_S_OK) {
        outcome.verdict = UpdateVerdict::failed;
        outcome.message = FailureOutcome(result);
        return outcome;
    }
    if (identify_again)
        outcome.device = identify_again();
    if (!outcome.device.found) {
        outcome.verdict = UpdateVerdict::unverified;
        outcome.message = SuccessOutcome(nullptr);
    } else if (VersionMatches(outcome.device.version, sent)) {
        outcome.verdict = UpdateVerdict::verified;
        outcome.message = SuccessOutcome(&outcome.device.version);
    } else {
        outcome.verdict = UpdateVerdict::version_mismatch;
        outcome.message = MismatchOutcome(outcome.device.version, sent);
        char device[kVersionTextSize];
        char package[kPackageVersionSize];
        FormatFirmwareVersion(device, outcome.device.version);
        FormatPackageVersion(package, sent);
        log_line(connection_.log_sink,
                 "QBKorvane: The device reports %s after the update; the package holds %s", device, package);
    }
    return outcome;
}

UpdateOutcome UpdateFlow::PackageChanged()
{
    UpdateOutcome outcome;
    outcome.result = KV_E_INVALID_FIRMWARE_IMAGE;
    outcome.verdict = UpdateVerdict::package_changed;
    outcome.message = PackageChangedOutcome();
    return outcome;
}
