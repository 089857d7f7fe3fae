// Where the update looks for its device, what it found, and the words for each port it tried.
// A search records every port as it found it at the time; every list and message is a view of
// that record, and nothing is asked of a port a second time to explain it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/device_connection.h"
#include "serial/port_list.h"
#include "serial/usb_adapters.h"

// One port for the search to try: the name the user knows and the path the serial port opens.
struct PortToTry {
    std::string name;
    std::string device_path;
};

// Where to look: the COM search (from the port where a device was last found, on round all the
// numbers), or the given ports in order (one named port, the platform's candidates, one port of
// a many-device run).
struct SearchTarget {
    bool com_search = true;
    std::vector<PortToTry> ports;

    static SearchTarget ComSearch() { return {}; }
    static SearchTarget Ports(std::vector<PortToTry> ports) { return {false, std::move(ports)}; }
    // The same target, tried first at `port` (where the device was): the rule by which a device
    // is identified again after an upload, whichever front end runs it. The COM search starts
    // there by itself.
    SearchTarget StartingAt(const std::string& port) const;
};

// What a search found: the unit, when one is usable here, and one record per port tried, in
// the order tried. When `found`, the port stays open and the device is identified.
struct FoundDevice {
    bool found = false;
    std::string port;
    FirmwareVersion version;
    std::string description;
    HardwareInfo hardware;                   // the identification of the unit found
    std::optional<std::string> serial;       // when asked for, answered and printable
    std::optional<std::string> slow_adapter; // the note for a slow adapter, without its prefix
    std::vector<PortAttempt> attempts;       // every port tried, as it was then
    bool one_port = false;                   // the target was one named port
    bool any_port = true;                    // false: there was no port to try at all
    // Read only when nothing was found: the USB serial adapters plugged in, working or not.
    std::vector<UsbAdapter> adapters;

    // The attempts that answered but cannot be updated here.
    std::vector<const PortAttempt*> passed_over() const;
};

// The one rule for a device this program updates: identified, with capabilities, speaking the
// first command-set generation.
bool UsableDevice(const HardwareInfo* info);

// A device's firmware version as it is shown everywhere: "%.2i.%.2i.%c" (02.21.A).
std::string VersionText(const FirmwareVersion& version);

// What one port turned out to be, in words ("in use by another program"; for a refused
// permission, who may open the node).
std::string PortStateWords(const PortAttempt& attempt);

// Why a search found nothing: for one named port "PORT: <words>", otherwise "no device found"
// and a line "  PORT: <words>" per port tried. `shown` is applied to each port's part, so that a
// front end can make names and descriptions from outside safe for its output (a name holding a
// line end must not start a line of its own).
std::string NotFoundText(const FoundDevice& search,
                         const std::function<std::string(std::string_view)>& shown = nullptr);

// The adapters that have no working port, each as "\n  <reason>\n    <fix>"; empty when none.
// `shown` as above.
std::string AdaptersWithoutPortText(const std::vector<UsbAdapter>& adapters,
                                    const std::function<std::string(std::string_view)>& shown = nullptr);

// The same, for the dialog's balloon: a title and one line per port with what to do.
struct NotFoundAdvice {
    const char* title = "No device found";
    std::string text;
};
NotFoundAdvice AdviseNotFound(const FoundDevice& search);

// The slow-adapter note for the port a device was found on ("PORT: the adapter's latency timer
// is 16 ms; ..."), when the list knows its adapter holds short replies back longer than 2 ms and
// the low-latency request did not take; none otherwise.
std::optional<std::string> SlowAdapterNote(const std::vector<PortInfo>& ports, const std::string& port,
                                           LowLatency request, LatencyAdvice advice);

// The device's serial number (the nine data bytes of its reply) as text, when it answers and
// every byte is printable; otherwise none.
std::optional<std::string> SerialText(DeviceConnection& connection);
