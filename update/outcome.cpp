#include "update/outcome.h"

#include <cstdio>

#include "device/bounded_text.h"
#include "device/result.h"

namespace {

constexpr char kUnknown[] = "Unknown";

struct TargetName {
    std::uint8_t letter;
    const char* name;
};

constexpr TargetName kTargetNames[] = {
    {'A', "Korvane"}, {'C', "Bramble"},   {'D', "Cinder"},    {'F', "Pike && Wren"}, {'L', "Meridian"},
    {'N', "TOLV"},    {'O', "Larkin"},    {'P', "Larkin II"}, {'Q', "Wayfarer"},     {'R', "Skyway"},
    {'X', "J7"},      {'d', "Cinder II"}, {'n', "TOLV2"},
};

} // namespace

void FormatFirmwareVersion(char (&text)[kVersionTextSize], const FirmwareVersion& version)
{
    std::snprintf(text, sizeof text, "%.2i.%.2i.%c", version.firmware_major, version.firmware_minor,
                  static_cast<char>(version.hardware_letter));
}

void FormatPackageVersion(char (&text)[kPackageVersionSize], const PackageHeader& header)
{
    std::snprintf(text, sizeof text, "%i.%i.%c", header.fw_major, header.fw_minor,
                  static_cast<char>(header.fw_letter));
}

bool VersionMatches(const FirmwareVersion& reported, const PackageHeader& sent)
{
    return reported.firmware_major == sent.fw_major && reported.firmware_minor == sent.fw_minor &&
           reported.hardware_letter == sent.fw_letter;
}

const char* TargetHardwareName(std::uint8_t letter)
{
    for (const TargetName& entry : kTargetNames) {
        if (entry.letter == letter)
            return entry.name;
    }
    return kUnknown;
}

OutcomeMessage FailureOutcome(std::int32_t result)
{
    OutcomeMessage message{};
    message.caption = "Update failed";
    message.icon = MessageIcon::error;
    const char* text = nullptr;
    switch (result) {
    case KV_E_DEVICE_NOT_FOUND:
        text = "HW Message: Device not found. Be sure it is connected and configured.";
        message.caption = "Approved Device Not Connected";
        break;
    case KV_E_INVALID_RESPONSE: text = "HW Message: Korvane returned an invalid response."; break;
    case KV_E_EXTERNAL_CS_INVALID:
        text = "HW Message: Firmware image is invalid or corrupt, or upload failed. (Ext. CS).";
        break;
    case KV_E_NVRAM_BUFFERING_FAILED:
        text = "HW Message: Firmware buffering failed. You may try again. If it fails, contact support.";
        break;
    case KV_E_INTERNAL_CS_INVALID:
        text = "HW Message: Firmware image is invalid or corrupt. (Int. CS).";
        break;
    case KV_E_INVALID_FIRMWARE_IMAGE:
        text = "HW Message: Invalid Image File. Firmware update not performed.";
        message.caption = "Error!";
        break;
    case KV_E_FIRMWARE_FLASH_FAILED:
        text = "HW Message: Firmware failed during flash process.\n"
               "You will need to cold-reboot the hardware and try again.";
        message.caption = "Flash failed";
        break;
    default:
        std::snprintf(message.text, sizeof message.text, "HW Message: Update Failed with error: 0x%.8X (%s)",
                      static_cast<unsigned>(static_cast<std::uint32_t>(result)), result_name(result));
        message.caption = "Error!";
        return message;
    }
    CopyText(message.text, sizeof message.text, text);
    return message;
}

OutcomeMessage SuccessOutcome(const FirmwareVersion* new_version)
{
    OutcomeMessage message{};
    message.caption = "Success";
    message.icon = MessageIcon::information;
    char text[kSuccessTextSize];
    if (new_version != nullptr) {
        char version_text[kVersionTextSize];
        FormatFirmwareVersion(version_text, *new_version);
        std::snprintf(text, sizeof text, "Update Successful. New version is %s", version_text);
    } else {
        // The image went in, but the device did not answer afterwards: say so rather than
        // name a version nobody reported.
        CopyText(text, sizeof text, "Update Successful. New version is unknown (device not found).");
    }
    CopyText(message.text, sizeof message.text, text);
    return message;
}

OutcomeMessage MismatchOutcome(const FirmwareVersion& reported, const PackageHeader& sent)
{
    // The device took the image by its own account, but it does not run what was sent: it may
    // have kept its old firmware or started another one.
    OutcomeMessage message = SuccessOutcome(&reported);
    message.icon = MessageIcon::warning;
    char device[kVersionTextSize];
    char package[kPackageVersionSize];
    FormatFirmwareVersion(device, reported);
    FormatPackageVersion(package, sent);
    char note[sizeof message.text];
    std::snprintf(note, sizeof note,
                  "\n\nThe device reports %s, but the package holds %s. If the device does not work as "
                  "expected, update it again.",
                  device, package);
    AppendText(message.text, sizeof message.text, note);
    return message;
}

OutcomeMessage PackageChangedOutcome()
{
    OutcomeMessage message{};
    CopyText(message.text, sizeof message.text,
             "The firmware package has changed since it was checked. Select it again with Browse.");
    message.caption = "Error!";
    message.icon = MessageIcon::warning;
    return message;
}
