// The update, written once: find the device, examine a package once, send exactly the bytes that
// passed the checks, identify the device again by one rule and judge the outcome. The command
// line runs it whole (Run) for one device and for each of many; the dialog runs the same steps
// as the user reaches them (Find at Detect, Examine at Browse, SendFile on its worker, Conclude
// on completion). The front ends only show what this layer returns and never touch the device
// connection themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/device_connection.h"
#include "package/package.h"
#include "package/sha256.h"
#include "package/signature_check.h"
#include "package/upload.h"
#include "serial/usb_adapters.h"
#include "update/outcome.h"
#include "update/search.h"

// A package file read once and judged: its bytes, header and digest stay as they were read.
struct ExaminedPackage {
    std::string path;
    PackageRead read = PackageRead::cannot_open;
    std::string read_failure;          // the system's reason, when the file could not be read
    LoadedPackage content;             // the header as far as the file holds it, and the body
    Sha256Digest sha256{};             // of header and body, for a package read whole
    SignatureCheck signature;          // the .sig beside it, checked against `sha256`
    int verdict = IDS_PACKAGE_INVALID; // 0 when accepted, otherwise a string-table id

    bool accepted() const { return verdict == 0; }
    // False when the file itself could not be had (missing, a folder, no permission, unreadable),
    // as opposed to a file that was read and found wanting.
    bool readable() const { return read != PackageRead::cannot_open && read != PackageRead::body_unread; }
};

// The upload's progress as the front ends show it: bytes of the image the device has taken.
struct SendProgress {
    enum class Stage { begin, sent, end };
    Stage stage = Stage::begin;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
};
using SendObserver = std::function<void(const SendProgress&)>;

enum class UpdateVerdict {
    verified,         // updated, and the device reports the package's version
    unverified,       // updated, but the device did not answer afterwards
    version_mismatch, // updated by the device's account, but it reports another version
    failed,           // the upload failed, or the device went away while the package was judged
    package_changed,  // the file no longer held the examined bytes; nothing was sent
    no_device,        // no usable device was found; nothing was sent
    rejected,         // the package was rejected for this device; nothing was sent
    not_begun,        // the front end stopped the update before anything was sent
};

struct UpdateOutcome {
    std::int32_t result = KV_E_GENERAL_ERROR;
    UpdateVerdict verdict = UpdateVerdict::failed;
    FoundDevice before;      // the search that found the device (or found none)
    int package_verdict = 0; // the validation message id of a rejected package
    FoundDevice device;      // the device as identified afterwards
    OutcomeMessage message{};

    bool updated() const
    {
        return verdict == UpdateVerdict::verified || verdict == UpdateVerdict::unverified ||
               verdict == UpdateVerdict::version_mismatch;
    }
};

// Whether a package without a signature may be sent. Signed packages are always checked.
enum class SignaturePolicy {
    accept_unsigned,
    require,
};

// One update from start to end, as the command line runs it for one device, for each device of a
// many-device run and for each unit a watch sees.
struct UpdateRequest {
    SearchTarget target;
    const ExaminedPackage* package = nullptr; // read once, before any device is looked for
    FileVersionNumbers own_version;
    bool read_serial = false; // the device's serial number into the search result
    // The device found, before the package is judged for it.
    std::function<void(const FoundDevice&)> found;
    // Asked just before the first byte is sent: false sends nothing (a stop was asked for).
    std::function<bool()> may_send;
    SendObserver progress;
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

    const AdapterInventory* adapters() const { return adapters_; }

    // Finds a device this program updates, going on past ports whose device it cannot update.
    // A usable device's port stays open; otherwise every port tried is closed.
    FoundDevice Find(const SearchTarget& target, bool read_serial = false);

    void set_signature_policy(SignaturePolicy policy) { signature_policy_ = policy; }

    // Reads the file once, and checks its signature, without asking the device anything.
    ExaminedPackage ReadPackageFile(const char* path) const;
    // The refusal a package read before earns without any device: its signature, or the lack of one
    // when signatures are required (IDS_PACKAGE_SIGNATURE_MISMATCH, IDS_PACKAGE_NOT_SIGNED); 0 when
    // it may go on to the other checks.
    int SignatureVerdict(const ExaminedPackage& package) const;
    // The one place a package is judged: its own checks, the device's hardware id, this
    // program's version. Returned and not kept: one package read once can be judged for several
    // devices, each on its own connection.
    int Verdict(const ExaminedPackage& package, const EEPROMInfoReader& read_eeprom_info,
                const FileVersionNumbers& own_version) const;
    ExaminedPackage Examine(const char* path, const EEPROMInfoReader& read_eeprom_info,
                            const FileVersionNumbers& own_version) const;
    // How validation asks the device for its hardware id: the device itself, or, while an upload
    // owns the port, what it last answered.
    EEPROMInfoReader DeviceEepromReader(bool port_in_use);

    // Sends the file at `path` when it still holds the examined bytes (see UploadFirmware).
    std::int32_t SendFile(const char* path, const Sha256Digest& examined, const ProgressCallback& callback,
                          bool* changed);
    // Sends the examined bytes themselves, when `verdict` (this device's) accepted them.
    std::int32_t Send(const ExaminedPackage& package, int verdict, const SendObserver& progress);

    // After an upload: for a success, the device identified again (the same target, tried first
    // where the device was) and its version compared with the header of the package that was
    // sent; the outcome and its message.
    UpdateOutcome Conclude(std::int32_t result, const PackageHeader& sent, const SearchTarget& target,
                           const std::string& port);
    static UpdateOutcome PackageChanged();

    // True while the device found last still answers on its open port.
    bool StillAnswers();
    // The end of a session: the device back at its normal speed, the port closed.
    void Close();

    // Find, judge, send and conclude.
    UpdateOutcome Run(const UpdateRequest& request);

private:
    // For a search that found nothing: the adapters without a working port (each logged) and the
    // holders of the ports in use.
    void ExplainNotFound(const SearchTarget& target, FoundDevice& search) const;

    DeviceConnection& connection_;
    const AdapterInventory* adapters_;
    SignaturePolicy signature_policy_ = SignaturePolicy::accept_unsigned;
};
