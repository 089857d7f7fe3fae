#include "update/search.h"

#include <algorithm>
#include <cctype>

#include "device/frames.h"
#include "update/outcome.h"

namespace {

// Who may open a node that refused this user, as far as its mode says: joining the group helps
// only when the group may.
std::string AccessAdvice(const NodeAccess& node)
{
    constexpr std::uint32_t kGroupReadWrite = 0060;
    constexpr std::uint32_t kOwnerReadWrite = 0600;
    if (!node.known)
        return {};
    if ((node.mode & kGroupReadWrite) == kGroupReadWrite)
        return " (the device belongs to group '" + node.group +
               "'; add your user to it and log in again, or install the udev rules that come with this "
               "program, " +
               kUdevRulesFile + ")";
    if ((node.mode & kOwnerReadWrite) == kOwnerReadWrite)
        return " (only its owner, '" + node.owner +
               "', may open it; the udev rules that come with this program, " + kUdevRulesFile +
               ", let the logged-in user open it)";
    return " (its permissions let nobody read and write it)";
}

std::string JoinPorts(const std::vector<std::string>& ports)
{
    std::string text;
    for (const std::string& port : ports)
        text += (text.empty() ? "" : ", ") + port;
    return text;
}

} // namespace

SearchTarget SearchTarget::StartingAt(const std::string& port) const
{
    SearchTarget again = *this;
    const auto here = std::find_if(again.ports.begin(), again.ports.end(),
                                   [&](const PortToTry& p) { return p.name == port; });
    if (here != again.ports.end())
        std::rotate(again.ports.begin(), here, again.ports.end());
    return again;
}

std::vector<const PortAttempt*> FoundDevice::passed_over() const
{
    std::vector<const PortAttempt*> passed;
    for (const PortAttempt& attempt : attempts) {
        if (attempt.state == PortState::answered && !attempt.accepted)
            passed.push_back(&attempt);
    }
    return passed;
}

bool UsableDevice(const HardwareInfo* info)
{
    return info != nullptr && info->capabilities != 0 && info->protocol_generation == 1;
}

std::string VersionText(const FirmwareVersion& version)
{
    char text[kVersionTextSize];
    FormatFirmwareVersion(text, version);
    return text;
}

std::string PortStateWords(const PortAttempt& attempt)
{
    switch (attempt.state) {
    case PortState::answered:
        return (attempt.description.empty() ? std::string("answered without a description")
                                            : "answered: " + attempt.description) +
               ", firmware " + VersionText(attempt.version) +
               (attempt.accepted ? "" : " (cannot be updated by this program)");
    case PortState::in_use:
        return "in use by another program" + (attempt.holders.empty() ? "" : " (" + attempt.holders + ")");
    case PortState::silent: return "no device answered";
    case PortState::absent: return "not present";
    case PortState::bluetooth: return "a Bluetooth serial link; not opened";
    case PortState::no_permission: return "this user may not open it" + AccessAdvice(attempt.node);
    case PortState::unusable: break;
    }
    return "cannot be opened as a serial port";
}

std::string AdaptersWithoutPortText(const std::vector<UsbAdapter>& adapters,
                                    const std::function<std::string(std::string_view)>& shown)
{
    std::string text;
    for (const UsbAdapter& adapter : adapters) {
        if (adapter.state == AdapterState::port)
            continue;
        const std::string reason = AdapterReason(adapter);
        text += "\n  " + (shown ? shown(reason) : reason) + "\n    " + AdapterFix(adapter);
    }
    return text;
}

std::string NotFoundText(const FoundDevice& search, const std::function<std::string(std::string_view)>& shown)
{
    const std::string adapters = AdaptersWithoutPortText(search.adapters, shown);
    if (!search.any_port || search.attempts.empty())
        return std::string("no device found: no serial port is present (") + CandidatePortPatternsText() +
               ")" + adapters;
    const auto line = [&shown](const PortAttempt& attempt) {
        const std::string text = attempt.port + ": " + PortStateWords(attempt);
        return shown ? shown(text) : text;
    };
    // A named port that is not there may be an adapter that never became one.
    if (search.one_port)
        return line(search.attempts.front()) +
               (search.attempts.front().state == PortState::absent ? adapters : "");
    std::string text = "no device found";
    for (const PortAttempt& attempt : search.attempts)
        text += "\n  " + line(attempt);
    return text + adapters;
}

NotFoundAdvice AdviseNotFound(const FoundDevice& search)
{
    NotFoundAdvice advice;
    if (search.found)
        return advice;
    std::string& text = advice.text;
    std::vector<std::string> silent;
    for (const PortAttempt& attempt : search.attempts) {
        if (attempt.state == PortState::in_use)
            text += attempt.port + " is in use by another program" +
                    (attempt.holders.empty() ? "" : " (" + attempt.holders + ")") +
                    ". Close that program, then press Detect.\n";
    }
    for (const PortAttempt& attempt : search.attempts) {
        if (attempt.state == PortState::no_permission)
            text +=
                "This user may not open " + attempt.port +
                (attempt.node.known ? std::string(". Install the udev rules that come with this program (") +
                                          kUdevRulesFile + ") or ask for access to it"
                                    : std::string(". Ask for access to it")) +
                ", then press Detect.\n";
    }
    for (const UsbAdapter& adapter : search.adapters) {
        if (adapter.state == AdapterState::port)
            continue;
        std::string reason = AdapterReason(adapter);
        reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
        text += reason + ". " + AdapterFix(adapter) + "\n";
    }
    for (const PortAttempt* attempt : search.passed_over())
        text += "The device on " + attempt->port +
                (attempt->description.empty() ? std::string() : " (" + attempt->description + ")") +
                " cannot be updated by this program.\n";
    for (const PortAttempt& attempt : search.attempts) {
        if (attempt.state == PortState::silent)
            silent.push_back(attempt.port);
    }
    if (!silent.empty())
        text += "No device answered on " + JoinPorts(silent) + ". Check the cable" +
                (search.adapters.empty() ? " (a charge-only cable carries no data)" : "") +
                " and the device's driver, then press Detect.\n";
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

std::optional<std::string> SlowAdapterNote(const std::vector<PortInfo>& ports, const std::string& port,
                                           LowLatency request, LatencyAdvice advice)
{
    const PortInfo* info = FindPort(ports, port);
    if (info == nullptr)
        return std::nullopt;
    const std::optional<std::uint32_t> latency = SlowAdapterLatency(*info, request);
    if (!latency)
        return std::nullopt;
    // The listed name: through a /dev/serial/by-id link it is still the node sysfs knows.
    const std::string line = SlowAdapterLine(info->name, *latency, advice);
    return line.substr(line.find(' ') + 1);
}

std::optional<std::string> SerialText(DeviceConnection& connection)
{
    std::uint8_t serial[frames::kSerialReplySize] = {};
    if (connection.RequestSerial(serial) != KV_S_OK)
        return std::nullopt;
    std::string text;
    for (const std::uint8_t byte : serial) {
        if (byte < 0x20 || byte > 0x7E)
            return std::nullopt;
        text += static_cast<char>(byte);
    }
    return text;
}
