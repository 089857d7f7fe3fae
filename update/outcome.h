// What an update says to its user, in the same words in the dialog and on the command line: the
// versions as they are shown, the names of the target hardware and the outcome of an upload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device_connection.h"
#include "package/package.h"

enum class MessageIcon { information, warning, error };

// The outcome's message box: its text, caption and icon.
struct OutcomeMessage {
    char text[255];
    const char* caption;
    MessageIcon icon;
};

// What the outcome box says for a result code other than success.
OutcomeMessage FailureOutcome(std::int32_t result);
// What the outcome box says after a successful upload: the version the device reports now, or,
// without one (the device did not answer the search afterwards), that it is unknown.
OutcomeMessage SuccessOutcome(const FirmwareVersion* new_version);
// A successful upload after which the device reports another version than the package holds.
OutcomeMessage MismatchOutcome(const FirmwareVersion& reported, const PackageHeader& sent);
// The package file changed between its check and the upload; nothing was sent.
OutcomeMessage PackageChangedOutcome();

inline constexpr std::size_t kVersionTextSize = 15;
inline constexpr std::size_t kPackageVersionSize = 50;
inline constexpr std::size_t kSuccessTextSize = 75; // 74 characters and the terminator
// A device's firmware version as the dialog shows it: "%.2i.%.2i.%c" (02.21.A).
void FormatFirmwareVersion(char (&text)[kVersionTextSize], const FirmwareVersion& version);
// A package's firmware version as its details show it: "%i.%i.%c" (2.21.A).
void FormatPackageVersion(char (&text)[kPackageVersionSize], const PackageHeader& header);

// True when the device reports the version the package names (major, minor and letter).
bool VersionMatches(const FirmwareVersion& reported, const PackageHeader& sent);

// The name shown for a package's target hardware letter ("Unknown" for letters without one).
// Written for a static control that processes ampersands.
const char* TargetHardwareName(std::uint8_t letter);
