#include "update/update_flow.h"

#include <cctype>
#include <utility>

#include "log/log.h"

namespace {

constexpr std::size_t kSearchDescriptionCapacity = 260;

void LogCompletion(const DeviceConnection& connection, std::int32_t result)
{
    log_line(connection.log_sink, "FirmwareUpdateProc completed with result: %i", result);
}

} // namespace

NotFoundAdvice AdviseNotFound(const FoundDevice& search)
{
    NotFoundAdvice advice;
    if (search.found)
        return advice;
    const auto list = [](const std::vector<std::string>& ports) {
        std::string text;
        for (const std::string& port : ports)
            text += (text.empty() ? "" : ", ") + port;
        return text;
    };
    std::string& text = advice.text;
    for (const std::string& port : search.in_use) {
        const std::string holders = HoldersOf(search, port);
        text += port + " is in use by another program" + (holders.empty() ? "" : " (" + holders + ")") +
                ". Close that program, then press Detect.\n";
    }
    for (const std::string& port : search.no_permission)
        text += "This user may not open " + port + ". Install the udev rules that come with this program (" +
                kUdevRulesFile + ") or ask for access to it, then press Detect.\n";
    for (const UsbAdapter& adapter : search.adapters) {
        if (adapter.state == AdapterState::port)
            continue;
        std::string reason = AdapterReason(adapter);
        reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
        text += reason + ". " + AdapterFix(adapter) + "\n";
    }
    if (!search.unusable.empty())
        text += "The device on " + list(search.unusable) + " cannot be updated by this program.\n";
    if (!search.silent.empty())
        text += "No device answered on " + list(search.silent) +
                ". Check the cable and the device's driver, then press Detect.\n";
    // A charge-only cable is the likely cause only when nothing came through USB at all.
    if (text.empty() && !search.adapters.empty())
        text = "No serial port is present. Plug the device in, and check the device's driver.\n";
    if (text.empty())
        text =
            "No serial port is present. Plug the device in, and check the cable (a charge-only cable carries "
            "no data) and the device's driver.\n";
    text.pop_back();
    return advice;
}

std::string HoldersOf(const FoundDevice& search, const std::string& port)
{
    for (const auto& [held, holders] : search.holders)
        if (held == port)
            return holders;
    return {};
}

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

void UpdateFlow::NoteAttempts(FoundDevice& search) const
{
    for (const PortAttempt& attempt : connection_.last_search()) {
        search.attempts.push_back(attempt);
        switch (attempt.state) {
        case PortState::in_use: search.in_use.push_back(attempt.port); break;
        case PortState::silent: search.silent.push_back(attempt.port); break;
        case PortState::no_permission: search.no_permission.push_back(attempt.port); break;
        default: break;
        }
    }
}

void UpdateFlow::ExplainNotFound(FoundDevice& search) const
{
    if (adapters_ == nullptr)
        return;
    search.adapters = adapters_->Adapters();
    for (const UsbAdapter& adapter : search.adapters)
        if (adapter.state != AdapterState::port)
            log_line(connection_.log_sink, "QBKorvane: No device found: %s", AdapterReason(adapter).c_str());
    for (const PortAttempt& attempt : search.attempts) {
        if (attempt.state != PortState::in_use)
            continue;
        const std::string holders = HoldersText(adapters_->Holders(attempt.port));
        if (!holders.empty())
            search.holders.emplace_back(attempt.port, holders);
    }
}

FoundDevice UpdateFlow::SearchComPorts()
{
    char description[kSearchDescriptionCapacity] = {};
    FirmwareVersion version;
    const bool answered = connection_.SearchForHardware(description, sizeof description, &version);
    const std::string port = "COM" + std::to_string(connection_.last_port_number);
    if (answered && Usable(connection_.GetHardwareInfo())) {
        FoundDevice found = Found(version, description, port);
        NoteAttempts(found);
        return found;
    }
    connection_.ClosePort();
    FoundDevice none;
    NoteAttempts(none);
    if (answered) {
        none.notes.push_back({port, PortProbe::answered, description});
        none.unusable.push_back(port);
    }
    ExplainNotFound(none);
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
        // The probe names the port by its path; the user knows it by the name given.
        PortAttempt attempt{port.name, PortState::absent, 0};
        if (!connection_.last_search().empty()) {
            attempt.state = connection_.last_search().back().state;
            attempt.system_error = connection_.last_search().back().system_error;
        }
        if (probe == PortProbe::answered && Usable(connection_.GetHardwareInfo())) {
            FoundDevice found = Found(version, description, port.name);
            found.attempts = std::move(none.attempts);
            found.attempts.push_back(attempt);
            return found;
        }
        connection_.ClosePort();
        none.attempts.push_back(attempt);
        none.notes.push_back({port.name, probe, probe == PortProbe::answered ? description : ""});
        if (probe == PortProbe::answered)
            none.unusable.push_back(port.name);
        else if (attempt.state == PortState::in_use)
            none.in_use.push_back(port.name);
        else if (attempt.state == PortState::no_permission)
            none.no_permission.push_back(port.name);
        else if (probe == PortProbe::no_answer)
            none.silent.push_back(port.name);
    }
    ExplainNotFound(none);
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
