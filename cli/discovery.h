// What the command line says of ports: why a search found nothing, each port tried as JSON, the
// slow-adapter note once the device is found, and the list command.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "serial/port_list.h"
#include "update/update_flow.h"

// Why a search found nothing. For one named port its one reason ("no device answered on X");
// otherwise "no device found" and one line per port tried, in the order tried.
std::string NotFoundText(const FoundDevice& search, bool one_port);

// The USB serial adapters without a working port, each on its own lines with what to do:
// "\n  a USB serial adapter (...) is plugged in but has no driver\n    Load the kernel's driver ...".
std::string AdapterLines(const FoundDevice& search);

// Every adapter with its state, reason and fix: [{"usb_vendor_id": "1a86", ...}, ...].
std::string AdaptersJson(const std::vector<UsbAdapter>& adapters);

// The ModemManager note, once per run on standard error (and to the trace), for the first of the
// ports that ModemManager may probe.
void NoteModemManager(DeviceConnection& connection, const AdapterInventory* adapters,
                      const std::vector<std::string>& ports);

// Each port tried and what it turned out to be: [{"port": "COM3", "state": "silent"}, ...].
std::string PortAttemptsJson(const std::vector<PortAttempt>& attempts);

// The slow-adapter line ("QBKorvane: ...") for the port a device was found on, when the port list
// knows its adapter holds short replies back longer than 2 ms and the low-latency request did not
// take; none otherwise.
std::optional<std::string> SlowAdapterNote(const std::vector<PortInfo>& ports, const std::string& port,
                                           LowLatency request, LatencyAdvice advice);

// The slow-adapter line for the connection's open port, to the trace and as a note on standard
// error.
void NoteSlowAdapter(DeviceConnection& connection, const std::string& port);

// korvane-update list: every port the system lists with what it says of each, then what a probe
// found there, and the unlisted ports a search would try that turn out to be present (Bluetooth
// links are not opened unless named with --port). Output goes through `print`; the exit status
// is 0 once the list is made, whatever it holds.
// The adapters without a port follow the ports.
int RunList(DeviceConnection& connection, const CliOptions& options,
            const std::function<void(const std::string&)>& print, const AdapterInventory* adapters = nullptr);
