#include "cli/discovery.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "cli/json.h"
#include "cli/platform.h"
#include "cli/shown_text.h"
#include "log/log.h"

namespace {

std::string UsbId(std::uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

// What the search found on one port for list. A Bluetooth link is not opened unless named.
PortAttempt Probe(UpdateFlow& flow, const PortInfo& port, bool named)
{
    if (port.bluetooth && !named)
        return PortAttempt(port.name, PortState::bluetooth);
    const FoundDevice found = flow.Find(SearchTarget::Ports({{port.name, port.device_path}}));
    flow.Close();
    return found.attempts.empty() ? PortAttempt(port.name) : found.attempts.front();
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

std::string PortJson(const PortInfo& port, const PortAttempt& probed)
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
        .add_json("usable", answered ? (probed.accepted ? "true" : "false") : "null");
    return object.text();
}

} // namespace

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

void NoteModemManager(const AdapterInventory* adapters, const FoundDevice& search)
{
    static bool noted = false;
    if (noted || adapters == nullptr)
        return;
    std::vector<std::string> ports;
    if (search.found)
        ports.push_back(search.port);
    else
        for (const PortAttempt& attempt : search.attempts)
            ports.push_back(attempt.port);
    for (const std::string& port : ports) {
        if (!adapters->ModemManagerMayProbe(port))
            continue;
        const std::vector<PortInfo> listed = ListedPorts();
        const PortInfo* info = FindPort(listed, port);
        const std::string note = ModemManagerNote(port, info != nullptr ? info->usb_vendor_id : std::nullopt,
                                                  info != nullptr ? info->usb_product_id : std::nullopt);
        std::fprintf(stderr, "korvane-update: note: %s\n", Shown(note).c_str());
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

int RunList(UpdateFlow& flow, const CliOptions& options, const std::function<void(const std::string&)>& print)
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
        const PortAttempt probed = Probe(flow, port, !options.port.empty());
        if (!candidate.listed && probed.state == PortState::absent)
            continue;
        shown = true;
        if (options.json) {
            entries += (entries.empty() ? "" : ", ") + PortJson(port, probed);
            continue;
        }
        const std::string facts = FactsText(port);
        print(Shown(port.name) + (facts.empty() ? "" : ": " + Shown(facts)) + "\n  " +
              Shown(PortStateWords(probed)) + "\n");
    }
    // With a port named, only that port is asked about.
    std::vector<UsbAdapter> adapters;
    if (flow.adapters() != nullptr && options.port.empty())
        adapters = flow.adapters()->Adapters();
    if (options.json) {
        print(JsonObject()
                  .add_json("ports", "[" + entries + "]")
                  .add_json("adapters", AdaptersJson(adapters))
                  .text() +
              "\n");
        return kExitDone;
    }
    const std::string without_port = AdaptersWithoutPortText(adapters, Shown);
    if (!shown && without_port.empty())
        print(std::string("No serial ports present (") + CandidatePortsText() + ").\n");
    if (!without_port.empty())
        print("USB serial adapters without a port:" + without_port + "\n");
    return kExitDone;
}
