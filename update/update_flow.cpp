#include "update/update_flow.h"

#include <algorithm>
#include <utility>

#include "log/log.h"
#include "serial/port_list.h"

namespace {

constexpr std::size_t kSearchDescriptionCapacity = 260;

void LogCompletion(const DeviceConnection& connection, std::int32_t result)
{
    log_line(connection.log_sink, "FirmwareUpdateProc completed with result: %i", result);
}

// The results of a device that no longer answers on its port.
bool DeviceWentAway(std::int32_t result)
{
    return result == KV_E_COMM_READ_FAILURE || result == KV_E_COMM_READ_TIMEOUT ||
           result == KV_E_COMM_WRITE_FAILURE || result == KV_E_PORT_NOT_INITIALIZED;
}

} // namespace

FoundDevice UpdateFlow::Find(const SearchTarget& target, bool read_serial)
{
    FoundDevice search;
    const DeviceAcceptor usable = [](const HardwareInfo* info) { return UsableDevice(info); };
    if (target.com_search) {
        char description[kSearchDescriptionCapacity] = {};
        FirmwareVersion version;
        search.found = connection_.SearchForHardware(description, sizeof description, &version, usable);
        search.attempts = connection_.last_search();
        if (search.found) {
            search.port = ComName(connection_.last_port_number);
            search.version = version;
            search.description = description;
        }
    } else {
        search.one_port = target.ports.size() == 1;
        search.any_port = !target.ports.empty();
        for (const PortToTry& port : target.ports) {
            char description[kDescriptionCapacity] = {};
            FirmwareVersion version;
            const PortProbe probe =
                connection_.ProbePort(port.device_path.c_str(), description, sizeof description, &version);
            PortAttempt attempt = connection_.last_search().back();
            // The probe names the port by its path; the user knows it by the name given.
            attempt.port = port.name;
            attempt.accepted = probe == PortProbe::answered && UsableDevice(connection_.GetHardwareInfo());
            search.attempts.push_back(attempt);
            if (attempt.accepted) {
                search.found = true;
                search.port = port.name;
                search.version = version;
                search.description = description;
                break;
            }
            if (probe == PortProbe::answered)
                log_line(connection_.log_sink, "QBKorvane: Skipping %s: %s cannot be updated by this utility",
                         port.name.c_str(), description[0] != '\0' ? description : "its device");
            connection_.ClosePort();
        }
    }
    if (!search.found) {
        connection_.ClosePort();
        ExplainNotFound(target, search);
        return search;
    }
    search.hardware = connection_.hardware_info;
    if (read_serial)
        search.serial = SerialText(connection_);
    search.slow_adapter = SlowAdapterNote(connection_.port_inventory().ListPorts(), search.port,
                                          connection_.port.low_latency(), PlatformLatencyAdvice());
    if (search.slow_adapter)
        log_line(connection_.log_sink, "QBKorvane: %s", search.slow_adapter->c_str());
    return search;
}

void UpdateFlow::ExplainNotFound(const SearchTarget& target, FoundDevice& search) const
{
    if (adapters_ == nullptr)
        return;
    search.adapters = adapters_->Adapters();
    for (const UsbAdapter& adapter : search.adapters) {
        if (adapter.state != AdapterState::port)
            log_line(connection_.log_sink, "QBKorvane: No device found: %s", AdapterReason(adapter).c_str());
    }
    for (PortAttempt& attempt : search.attempts) {
        if (attempt.state != PortState::in_use)
            continue;
        // The system knows the port by the path that was opened, not by the name the user gave.
        const auto tried = std::find_if(target.ports.begin(), target.ports.end(),
                                        [&](const PortToTry& port) { return port.name == attempt.port; });
        attempt.holders =
            HoldersText(adapters_->Holders(tried != target.ports.end() ? tried->device_path : attempt.port));
    }
}

ExaminedPackage UpdateFlow::ReadPackageFile(const char* path) const
{
    ExaminedPackage package;
    package.path = path != nullptr ? path : "";
    PackageFile file;
    package.read = ReadPackage(file, path, PackageFile::Sharing::readers_allowed, &package.content);
    package.read_failure = file.failure();
    if (package.read != PackageRead::ok)
        return package;
    package.sha256 = PackageDigest(package.content);
    package.signature = CheckSignatureOf(package.path, package.sha256, BuiltInTrustedKeys());
    switch (package.signature.state) {
    case SignatureState::valid:
        log_line(connection_.log_sink, "QBKorvane: Package signed by key %s",
                 package.signature.key_id.c_str());
        break;
    case SignatureState::none: log_line(connection_.log_sink, "QBKorvane: Package is not signed"); break;
    default:
        log_line(connection_.log_sink, "QBKorvane: Package signature refused: %s",
                 SignatureRefusalReason(package.signature.state));
        break;
    }
    return package;
}

int UpdateFlow::SignatureVerdict(const ExaminedPackage& package) const
{
    if (package.read != PackageRead::ok)
        return 0; // the read's own refusal comes first
    if (SignatureRefused(package.signature.state))
        return IDS_PACKAGE_SIGNATURE_MISMATCH;
    if (package.signature.state == SignatureState::none && signature_policy_ == SignaturePolicy::require)
        return IDS_PACKAGE_NOT_SIGNED;
    return 0;
}

int UpdateFlow::Verdict(const ExaminedPackage& package, const EEPROMInfoReader& read_eeprom_info,
                        const FileVersionNumbers& own_version) const
{
    // Before the file's own sums: a .sig that does not vouch for these bytes says more about them
    // than a sum an alterer may have fixed up; and before the device is asked anything.
    if (const int refusal = SignatureVerdict(package); refusal != 0)
        return refusal;
    return JudgePackage(package.read, package.content, read_eeprom_info, own_version);
}

ExaminedPackage UpdateFlow::Examine(const char* path, const EEPROMInfoReader& read_eeprom_info,
                                    const FileVersionNumbers& own_version) const
{
    ExaminedPackage package = ReadPackageFile(path);
    package.verdict = Verdict(package, read_eeprom_info, own_version);
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

std::int32_t UpdateFlow::SendFile(const char* path, const Sha256Digest& examined,
                                  const ProgressCallback& callback, bool* changed)
{
    const std::int32_t result = UploadFirmware(connection_, path, callback, examined, changed);
    LogCompletion(connection_, result);
    return result;
}

std::int32_t UpdateFlow::Send(const ExaminedPackage& package, int verdict, const SendObserver& progress)
{
    const std::uint64_t total = package.content.body_size;
    const ProgressCallback in_bytes = [&progress, total](const UpdateProgress* chunks) {
        if (progress && chunks != nullptr) {
            SendProgress bytes;
            bytes.stage = (chunks->flags & kProgressBegin) != 0 ? SendProgress::Stage::begin
                          : (chunks->flags & kProgressEnd) != 0 ? SendProgress::Stage::end
                                                                : SendProgress::Stage::sent;
            // The last chunk may be short: positions count up to the body's end, not past it.
            bytes.done = std::min<std::uint64_t>(std::uint64_t{chunks->position} * kUploadChunkSize, total);
            bytes.total = total;
            progress(bytes);
        }
        return 0;
    };
    // Only a package that passed every check is ever sent.
    const std::int32_t result = verdict == 0 && package.readable()
                                    ? UploadPackage(connection_, package.content, in_bytes)
                                    : KV_E_INVALID_FIRMWARE_IMAGE;
    LogCompletion(connection_, result);
    return result;
}

UpdateOutcome UpdateFlow::Conclude(std::int32_t result, const PackageHeader& sent, const SearchTarget& target,
                                   const std::string& port)
{
    UpdateOutcome outcome;
    outcome.result = result;
    if (result != KV_S_OK) {
        outcome.verdict = UpdateVerdict::failed;
        outcome.message = FailureOutcome(result);
        return outcome;
    }
    outcome.device = Find(target.StartingAt(port));
    if (!outcome.device.found) {
        outcome.verdict = UpdateVerdict::unverified;
        outcome.message = SuccessOutcome(nullptr);
    } else if (VersionMatches(outcome.device.version, sent)) {
        outcome.verdict = UpdateVerdict::verified;
        outcome.message = SuccessOutcome(&outcome.device.version);
    } else {
        outcome.verdict = UpdateVerdict::version_mismatch;
        outcome.message = MismatchOutcome(outcome.device.version, sent);
        char package[kPackageVersionSize];
        FormatPackageVersion(package, sent);
        log_line(connection_.log_sink,
                 "QBKorvane: The device reports %s after the update; the package holds %s",
                 VersionText(outcome.device.version).c_str(), package);
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

bool UpdateFlow::StillAnswers()
{
    FirmwareVersion version;
    return connection_.port.is_open() && connection_.GetFirmwareVersion(&version) == KV_S_OK;
}

void UpdateFlow::Close() { connection_.ClosePort(); }

UpdateOutcome UpdateFlow::Run(const UpdateRequest& request)
{
    UpdateOutcome outcome;
    outcome.before = Find(request.target, request.read_serial);
    if (!outcome.before.found) {
        outcome.result = KV_E_DEVICE_NOT_FOUND;
        outcome.verdict = UpdateVerdict::no_device;
        return outcome;
    }
    if (request.found)
        request.found(outcome.before);
    const ExaminedPackage& package = *request.package;
    // Judged exactly as Browse judges it: this device's EEPROM information, this program's version.
    const EEPROMInfoReader device = DeviceEepromReader(false);
    std::int32_t asked = KV_S_OK;
    outcome.package_verdict = Verdict(
        package,
        [&](EEPROMInfo* info) {
            asked = device(info);
            return asked;
        },
        request.own_version);
    if (DeviceWentAway(asked)) {
        // Not the package's fault: the device stopped answering while it was asked for its id.
        outcome.result = asked;
        outcome.verdict = UpdateVerdict::failed;
        outcome.message = FailureOutcome(asked);
        return outcome;
    }
    if (outcome.package_verdict != 0) {
        outcome.verdict = UpdateVerdict::rejected;
        return outcome;
    }
    if (request.may_send && !request.may_send()) {
        outcome.verdict = UpdateVerdict::not_begun;
        return outcome;
    }
    const std::int32_t result = Send(package, outcome.package_verdict, request.progress);
    UpdateOutcome concluded = Conclude(result, package.content.header, request.target, outcome.before.port);
    concluded.before = std::move(outcome.before);
    return concluded;
}
