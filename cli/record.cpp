#include "cli/record.h"

#include <cstdio>

#include "cli/json.h"
#include "device/device_connection.h"
#include "device/result.h"
#include "update/update_flow.h"

namespace {

const char* OrNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

} // namespace

void AttemptRecord::Package(const std::string& path, const ExaminedPackage& examined)
{
    package = path;
    package_sha256 = examined.sha256;
    signature = SignatureStateName(examined.signature.state);
    signature_key.reset();
    if (examined.signature.state == SignatureState::valid)
        signature_key = examined.signature.key_id;
}

void AttemptRecord::Found(const FoundDevice& device)
{
    description = device.description;
    old_version = VersionText(device.version);
}

void AttemptRecord::Rejected(int verdict)
{
    result = verdict;
    result_name = "REJECTED";
}

void AttemptRecord::NoDevice()
{
    result = KV_E_DEVICE_NOT_FOUND;
    result_name = ::result_name(KV_E_DEVICE_NOT_FOUND);
}

void AttemptRecord::Stopped()
{
    result = KV_E_GENERAL_ERROR;
    result_name = "STOPPED";
}

void AttemptRecord::Outcome(const UpdateOutcome& outcome)
{
    result = outcome.result;
    result_name = ::result_name(outcome.result);
    verified = outcome.verdict == UpdateVerdict::verified;
    if (outcome.device.found)
        new_version = VersionText(outcome.device.version);
}

std::string IsoUtcTime(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string RecordLine(const AttemptRecord& record)
{
    return JsonObject()
        .add("time", IsoUtcTime(record.time))
        .add("port", OrNull(record.port))
        .add("serial", OrNull(record.serial))
        .add("description", OrNull(record.description))
        .add("old_version", OrNull(record.old_version))
        .add("new_version", OrNull(record.new_version))
        .add("package", record.package)
        .add("package_sha256", Sha256Hex(record.package_sha256))
        .add("signature", record.signature)
        .add("signature_key", OrNull(record.signature_key))
        .add("result", record.result)
        .add("result_name", record.result_name)
        .add_bool("verified", record.verified)
        .add_fixed("seconds", record.seconds, 3)
        .add("status", std::int64_t{record.status})
        .text();
}

bool RecordFile::Append(const AttemptRecord& record, std::string& error)
{
    return AppendText(RecordLine(record) + "\n", error);
}
