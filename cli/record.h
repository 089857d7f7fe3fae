// The record of a run: one JSON object per line for every attempt on a device, each on the disk
// before the run goes on, so that whatever was recorded survives the program being stopped.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "package/sha256.h"

struct ExaminedPackage;
struct FoundDevice;
struct UpdateOutcome;

struct AttemptRecord {
    std::chrono::system_clock::time_point time; // when the attempt began
    std::optional<std::string> port;            // none: searched, and no device found
    std::optional<std::string> serial;
    std::optional<std::string> description;
    std::optional<std::string> old_version;
    std::optional<std::string> new_version;
    std::string package; // the path as given
    Sha256Digest package_sha256{};
    std::string signature = "none";           // "valid" or "none": a refused one is never attempted
    std::optional<std::string> signature_key; // the key of a valid signature
    std::int64_t result = 0;
    std::string result_name;
    bool verified = false;
    double seconds = 0;
    int status = 0;

    // The package as read and checked, once for every attempt.
    void Package(const std::string& path, const ExaminedPackage& examined);
    // The device as found before the update: its description and version.
    void Found(const FoundDevice& device);
    // The package rejected for this device: the validation message id.
    void Rejected(int verdict);
    // No usable device on the port; the summary's way of saying so.
    void NoDevice();
    // The run was stopped after the device answered and before anything was sent.
    void Stopped();
    // The upload and what the device said afterwards.
    void Outcome(const UpdateOutcome& outcome);
};

// One line of the record, without its line end. The keys in a fixed order.
std::string RecordLine(const AttemptRecord& record);

// UTC, ISO 8601, to the millisecond: 2026-11-01T08:15:02.125Z.
std::string IsoUtcTime(std::chrono::system_clock::time_point time);

// The record file: a regular file only, appended to by one write per record, under a lock that
// other runs on the same file take too. One implementation per platform.
class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opened to append (created when missing); false with the reason. Anything but a regular
    // file (a FIFO, a device, a folder) is refused before it is opened for writing, so a FIFO
    // without a reader cannot hold the program up.
    bool Open(const std::string& path, std::string& error);
    // True when `path` names this file, whatever the name (a link, another spelling).
    bool Is(const std::string& path) const;
    // Appends the record as one line and syncs it to the disk; false with the reason when either
    // failed, and then the file is as it was. A last line without its line end (a run that was
    // killed, a file edited by hand) is ended first, so every record stays a line of its own.
    bool Append(const AttemptRecord& record, std::string& error);
    const std::string& path() const { return path_; }

private:
    bool AppendText(const std::string& line, std::string& error);

    std::intptr_t handle_ = -1; // a descriptor, or a Windows handle
    std::string path_;
};
