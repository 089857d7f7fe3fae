// The update as both front ends run it: find the device, examine a package once, send exactly the
// bytes that passed the checks, identify the device again and judge the outcome. The dialog and
// the command line only show what this layer returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/device_connection.h"
#include "package/package.h"
#include "package/sha256.h"
#include "package/upload.h"
#include "serial/usb_adapters.h"
#include "update/outcome.h"

// A package file read once and judged: its bytes, header and digest stay as they were read.
struct ExaminedPackage {
    std::string path;
    PackageRead read = PackageRead::cannot_open;
    std::string read_failure;          // the system's reason, when the file could not be read
    LoadedPackage content;             // the header as far as the file holds it, and the body
    Sha256Digest sha256{};             // of header and body, for a package read whole
    int verdict = IDS_PACKAGE_INVALID; // 0 when accepted, otherwise a string-table id

    bool accepted() const { return verdict == 0; }
    // False when the file itself could not be had (missing, a folder, no permission, unreadable),
    // as opposed to a file that was read and found wanting.
    bool readable() const { return read != PackageRead::cannot_open && read != PackageRead::body_unread; }
};

// One port for the search to try: the name the user knows and the path the serial port opens.
struct PortToTry {
    std::string name;
    std::string device_path;
};

// A port tried that gave no usable device, and how it ended.
struct PortNote {
    std::string port;
    PortProbe probe = PortProbe::not_opened;
    std::string description; // of a device that answered but cannot be updated
};

// What a search found. When `found`, the port stays open and the device is identified.
struct FoundDevice {
    bool found = false;
    std::string port;
    FirmwareVersion version;
    std::string description;
    std::vector<PortNote> notes; // every port that gave no usable device, in the order tried
    // Why nothing was found, port by port in search order.
    std::vector<std::string> in_use;        // held by another program
    std::vector<std::string> silent;        // opened, but nothing answered at any speed
    std::vector<std::string> unusable;      // a device answered that this program does not update
    std::vector<std::string> no_permission; // the system would not let this user open it
    std::vector<PortAttempt> attempts;      // every port tried, with what it turned out to be
    // Read only when nothing was found: the USB serial adapters plugged in, working or not, and
    // who holds each port in use, where the system tells ("minicom, process 4242").
    std::vector<UsbAdapter> adapters;
    std::vector<std::pair<std::string, std::string>> holders; // port in use, its holders
};

// The programs holding a port in use, as `search` knows them; empty when unknown.
std::string HoldersOf(const FoundDevice& search, const std::string& port);

// Why a search found nothing, in plain words with what to do; empty text when it found a device.
struct NotFoundAdvice {
    const char* title = "No device found";
    std::string text;
};
NotFoundAdvice AdviseNotFound(const FoundDevice& search);

enum class UpdateVerdict {
    verified,         // updated, and the device reports the package's version
    unverified,       // updated, but the device did not answer afterwards
    version_mismatch, // updated by the device's account, but it reports another version
    failed,           // the upload failed; the result code says how
    package_changed,  // the file no longer held the examined bytes; nothing was sent
};

struct UpdateOutcome {
    std::int32_t result = KV_E_GENERAL_ERROR;
    UpdateVerdict verdict = UpdateVerdict::failed;
    FoundDevice device; // the device as identified afterwards
    OutcomeMessage message{};

    bool updated() const
    {
        return verdict == UpdateVerdict::verified || verdict == UpdateVerdict::unverified ||
               verdict == UpdateVerdict::version_mismatch;
    }
};

class UpdateFlow {
public:
    // `adapters` (not owned; none: not asked) says why a search found nothing when no port shows
    // the device.
    explicit UpdateFlow(DeviceConnection& connection, const AdapterInventory* adapters = nullptr)
        : connection_(connection), adapters_(adapters)
    {
    }
    UpdateFlow(const UpdateFlow&) = delete;
    UpdateFlow& operator=(const UpdateFlow&) = delete;

    DeviceConnection& connection() { return connection_; }
    const AdapterInventory* adapters() const { return adapters_; }

    // The one rule for a device this program updates: identified, with capabilities, speaking
    // the first command-set generation.
    static bool Usable(const HardwareInfo* info);

    // The COM search. A usable device's port stays open; otherwise the port is closed.
    FoundDevice SearchComPorts();
    // The given ports in order, until one holds a usable device.
    FoundDevice SearchPorts(const std::vector<PortToTry>& ports);

    // Reads the file once, without asking the device anything.
    ExaminedPackage ReadPackageFile(const char* path) const;
    // Judges a package read before: its own checks, the device's hardware id, this program's
    // version.
    void Judge(ExaminedPackage& package, const EEPROMInfoReader& read_eeprom_info,
               const FileVersionNumbers& own_version) const;
    // The same verdict, returned and not kept: one package read once can be judged for several
    // devices, each on its own connection.
    int Verdict(const ExaminedPackage& package, const EEPROMInfoReader& read_eeprom_info,
                const FileVersionNumbers& own_version) const;
    ExaminedPackage Examine(const char* path, const EEPROMInfoReader& read_eeprom_info,
                            const FileVersionNumbers& own_version) const;
    // How validation asks the device for its hardware id: the device itself, or, while an upload
    // owns the port, what it last answered.
    EEPROMInfoReader DeviceEepromReader(bool port_in_use);

    // Sends the file at `path` when it still holds the examined bytes (see UploadFirmware).
    std::int32_t FlashFile(const char* path, const Sha256Digest& examined, const ProgressCallback& callback,
                           bool* changed);
    // Sends the examined bytes themselves.
    std::int32_t FlashExamined(const ExaminedPackage& package, const ProgressCallback& callback);
    // As above, when `verdict` (this device's, from Verdict) accepted them.
    std::int32_t FlashExamined(const ExaminedPackage& package, int verdict, const ProgressCallback& callback);

    // After an upload: for a success, the device found again by `identify_again` and its version
    // compared with the header of the package that was sent; the outcome and its message.
    UpdateOutcome Conclude(std::int32_t result, const PackageHeader& sent,
                           const std::function<FoundDevice()>& identify_again);
    static UpdateOutcome PackageChanged();

private:
    // The reasons of the last search (or probe), sorted into `search`.
    void NoteAttempts(FoundDevice& search) const;
    // For a search that found nothing: the adapters without a working port and the holders of
    // ports in use, each adapter's reason logged.
    void ExplainNotFound(FoundDevice& search) const;
    FoundDevice Found(const FirmwareVersion& version, const char* description, std::string port);

    DeviceConnection& connection_;
    const AdapterInventory* adapters_;
};
