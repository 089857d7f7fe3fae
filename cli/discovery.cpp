#include "cli/discovery.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "cli/json.h"
#include "cli/platform.h"
#include "cli/shown_text.h"
#include "log/log.h"

namespace {

constexpr std::string_view kLogPrefix = "QBKorvane: ";

std::string UsbId(std::uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

std::string VersionText(const FirmwareVersion& version)
{
    char text[kVersionTextSize];
    FormatFirmwareVersion(text, version);
    return text;
}

std::string DescriptionOf(const FoundDevice& search, const std::string& port)
{
    for (const PortNote& note : search.notes)
        if (note.port == port)
            return note.description;
    return {};
}

std::string ReasonFor(const FoundDevice& search, const PortAttempt& attempt)
{
    const std::string port = Shown(attempt.port);
    switch (attempt.state) {
    case PortState::answered: {
        const std::string description = DescriptionOf(search, attempt.port);
        if (description.empty())
            return "the device on " + port + " cannot be updated by this program";
        return "the device on " + port + " (\"" + Shown(description) +
               "\") cannot be updated by this program";
    }
    case PortState::silent: return "no device answered on " + port;
    case PortState::bluetooth: return port + " is a Bluetooth serial link; it was not opened";
    case PortState::in_use: {
        const std::string holders = HoldersOf(search, port);
        return "cannot open " + port + ": in use by another program" +
               (holders.empty() ? "" : " (" + holders + ")");
    }
    case PortState::absent:
    case PortState::no_permission:
    case PortState::unusable: break;
    }
    // Asked again for the details the state leaves out (who may open the node).
    return "cannot open " + port + ": " + DescribeOpenFailure(attempt.port);
}

// A probe of one port for list.
struct ListedState {
    PortState state = PortState::absent;
    FirmwareVersion version;
    std::string description;
    bool usable = false;
    std::string holders; // of a port in use, where the system tells
};

ListedState Probe(DeviceConnection& connection, const PortInfo& port, bool named)
{
    ListedState probed;
    if (port.bluetooth && !named) {
        probed.state = PortState::bluetooth;
        return probed;
    }
    char description[kDescriptionCapacity] = {};
    const PortProbe probe =
        connection.ProbePort(port.device_path.c_str(), description, sizeof description, &probed.version);
    if (!connection.last_search().empty())
        probed.state = connection.last_search().back().state;
    if (probe == PortProbe::answered) {
        probed.description = description;
        probed.usable = UpdateFlow::Usable(connection.GetHardwareInfo());
    }
    connection.ClosePort();
    return probed;
}

std::string StateText(const ListedState& probed)
{
    switch (probed.state) {
    case PortState::answered:
        return "answered: " + probed.description + ", firmware " + VersionText(probed.version) +
               (probed.usable ? "" : " (cannot be updated by this program)");
    case PortState::in_use:
        return "in use by another program" + (probed.holders.empty() ? "" : " (" + probed.holders + ")");
    case PortState::silent: return "opened; no answer at any speed";
    case PortState::absent: return "not present";
    case PortState::bluetooth: return "not opened: a Bluetooth serial link";
    case PortState::no_permission: return "this user may not open it";
    case PortState::unusable: return "cannot be opened as a serial port";
    }
    return {};
}

std::string FactsText(const PortInfo& port)
{
    std::string facts;
    const auto add = [&facts](const std::string& fact) { facts += (facts.empty() ? "" : ", ") + fact; };
    if (port.usb_vendor_id && port.usb_product_id)
        add("USB " + UsbId(*port.usb_vendor_id) + ":" + UsbId(*port.usb_product_id));
    if (!port.serial_number.empty())
        add("serial number " + port.serial_number);
    if (!port.driver.empty())
        add("driver " + port.driver);
    if (port.bluetooth)
        add("Bluetooth");
    if (port.latency_timer_ms)
        add("latency timer " + std::to_string(*port.latency_timer_ms) + " ms");
    return facts;
}

std::string PortJson(const PortInfo& port, const ListedState& probed)
{
    const auto optional_text = [](bool known, const std::string& text) {
        return known ? JsonString(text) : std::string("null");
    };
    JsonObject object;
    object.add("port", port.name)
        .add("device_path", port.device_path)
        .add_json("usb_vendor_id",
                  optional_text(port.usb_vendor_id.has_value(), UsbId(port.usb_vendor_id.value_or(0))))
        .add_json("usb_product_id",
                  optional_text(port.usb_product_id.has_value(), UsbId(port.usb_product_id.value_or(0))))
        .add_json("serial_number", optional_text(!port.serial_number.empty(), port.serial_number))
        .add_json("driver", optional_text(!port.driver.empty(), port.driver))
        .add_bool("bluetooth", port.bluetooth)
        .add_json("latency_timer_ms", port.latency_timer_ms ? std::to_string(*port.latency_timer_ms) : "null")
        .add("state", PortStateName(probed.state))
        .add_json("held_by", probed.holders.empty() ? "null" : JsonString(probed.holders));
    const bool answered = probed.state == PortState::answered;
    object.add_json("firmware_version", optional_text(answered, VersionText(probed.version)))
        .add_json("description", optional_text(answered, probed.description))
        .add_json("usable", answered ? (probed.usable ? "true" : "false") : "null");
    return object.text();
}

} // namespace

std::string NotFoundText(const FoundDevice& search, bool one_port)
{
    if (search.attempts.empty())
        return "no device found: no serial port is present" + AdapterLines(search);
    // A named port that is not there may be an adapter that never became one.
    if (one_port)
        return ReasonFor(search, search.attempts.front()) +
               (search.attempts.front().state == PortState::absent ? AdapterLines(search) : "");
    std::string text = "no device found";
    for (const PortAttempt& attempt : search.attempts)
        text += "\n  " + ReasonFor(search, attempt);
    return text + AdapterLines(search);
}

std::string AdapterLines(const FoundDevice& search)
{
    std::string text;
    for (const UsbAdapter& adapter : search.adapters)
        if (adapter.state != AdapterState::port)
            text += "\n  " + AdapterReason(adapter) + "\n    " + AdapterFix(adapter);
    return text;
}

std::string AdaptersJson(const std::vector<UsbAdapter>& adapters)
{
    std::string text;
    for (const UsbAdapter& adapter : adapters) {
        JsonObject object;
        object.add("usb_vendor_id", UsbId(adapter.vendor_id))
            .add("usb_product_id", UsbId(adapter.product_id))
            .add_json("product", adapter.product.empty() ? "null" : JsonString(adapter.product))
            .add_json("driver", adapter.driver.empty() ? "null" : JsonString(adapter.driver))
            .add("state", AdapterStateName(adapter.state))
            .add_json("port", adapter.port.empty() ? "null" : JsonString(adapter.port))
            .add_json("problem_code",
                      adapter.problem_code != 0 ? std::to_string(adapter.problem_code) : "null")
            .add_json("holder", adapter.holder.empty() ? "null" : JsonString(adapter.holder))
            .add_json("holder_pid", adapter.holder_pid > 0 ? std::to_string(adapter.holder_pid) : "null")
            .add("reason", AdapterReason(adapter))
            .add_json("fix", adapter.state == AdapterState::port ? "null" : JsonString(AdapterFix(adapter)));
        text += (text.empty() ? "" : ", ") + object.text();
    }
    return "[" + text + "]";
}

void NoteModemManager(DeviceConnection& connection, const AdapterInventory* adapters,
                      const std::vector<std::string>& ports)
{
    static bool noted = false;
    if (noted || adapters == nullptr)
        return;
    for (const std::string& port : ports) {
        if (!adapters->ModemManagerMayProbe(port))
            continue;
        const std::vector<PortInfo> listed = ListedPorts();
        const PortInfo* info = FindPort(listed, port);
        const std::string note = ModemManagerNote(port, info != nullptr ? info->usb_vendor_id : std::nullopt,
                                                  info != nullptr ? info->usb_product_id : std::nullopt);
        log_line(connection.log_sink, "QBKorvane: %s", note.c_str());
        std::fprintf(stderr, "korvane-update: note: %s\n", note.c_str());
        noted = true;
        return;
    }
}

std::string PortAttemptsJson(const std::vector<PortAttempt>& attempts)
{
    std::string text = "[";
    for (const PortAttempt& attempt : attempts) {
        if (text.size() > 1)
            text += ", ";
        text += JsonObject().add("port", attempt.port).add("state", PortStateName(attempt.state)).text();
    }
    return text + "]";
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
    return SlowAdapterLine(info->name, *latency, advice);
}

void NoteSlowAdapter(DeviceConnection& connection, const std::string& port)
{
    const std::optional<std::string> line =
        SlowAdapterNote(ListedPorts(), port, connection.port.low_latency(), PlatformLatencyAdvice());
    if (!line)
        return;
    log_line(connection.log_sink, "%s", line->c_str());
    std::string_view note = *line;
    if (note.substr(0, kLogPrefix.size()) == kLogPrefix)
        note.remove_prefix(kLogPrefix.size());
    std::fprintf(stderr, "korvane-update: note: %.*s\n", static_cast<int>(note.size()), note.data());
}

int RunList(DeviceConnection& connection, const CliOptions& options,
            const std::function<void(const std::string&)>& print, const AdapterInventory* adapters)
{
    struct Candidate {
        PortInfo port;
        bool listed = true; // shown whatever the probe finds; the others only when present
    };
    std::vector<Candidate> candidates;
    const std::vector<PortInfo> listed = ListedPorts();
    if (!options.port.empty()) {
        const PortInfo* known = FindPort(listed, options.port);
        Candidate named{known != nullptr ? *known : PortInfo{}};
        named.port.name = options.port;
        named.port.device_path = DevicePathOf(options.port);
        candidates.push_back(named);
    } else {
        for (const PortInfo& port : listed)
            candidates.push_back({port});
        for (const std::string& name : UnlistedCandidates(listed)) {
            Candidate unlisted{PortInfo{}, false};
            unlisted.port.name = name;
            unlisted.port.device_path = DevicePathOf(name);
            candidates.push_back(unlisted);
        }
        std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
            return ComNumberOf(a.port.name) < ComNumberOf(b.port.name);
        });
    }

    std::string entries;
    bool shown = false;
    for (const Candidate& candidate : candidates) {
        const PortInfo& port = candidate.port;
        ListedState probed = Probe(connection, port, !options.port.empty());
        if (!candidate.listed && probed.state == PortState::absent)
            continue;
        if (probed.state == PortState::in_use && adapters != nullptr)
            probed.holders = HoldersText(adapters->Holders(port.device_path));
        shown = true;
        if (options.json) {
            entries += (entries.empty() ? "" : ", ") + PortJson(port, probed);
            continue;
        }
        const std::string facts = FactsText(port);
        print(Shown(port.name) + (facts.empty() ? "" : ": " + Shown(facts)) + "\n  " +
              Shown(StateText(probed)) + "\n");
    }
    // With a port named, only that port is asked about.
    FoundDevice usb;
    if (adapters != nullptr && options.port.empty())
        usb.adapters = adapters->Adapters();
    if (options.json) {
        print(JsonObject()
                  .add_json("ports", "[" + entries + "]")
                  .add_json("adapters", AdaptersJson(usb.adapters))
                  .text() +
              "\n");
        return kExitDone;
    }
    const std::string without_port = AdapterLines(usb);
    if (!shown && without_port.empty())
        print(std::string("No serial ports present (") + CandidatePortsText() + ").\n");
    if (!without_port.empty())
        print("USB serial adapters without a port:" + without_port + "\n");
    return kExitDone;
}
