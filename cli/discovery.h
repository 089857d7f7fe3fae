// What the command line says of ports: each port tried as JSON, and the list command.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "serial/port_list.h"
#include "update/update_flow.h"

// Every adapter with its state, reason and fix: [{"usb_vendor_id": "1a86", ...}, ...].
std::string AdaptersJson(const std::vector<UsbAdapter>& adapters);

// The ModemManager note, once per run on standard error, for the port found or else the first
// port tried that ModemManager may probe.
void NoteModemManager(const AdapterInventory* adapters, const FoundDevice& search);

// Each port tried and what it turned out to be: [{"port": "COM3", "state": "silent"}, ...].
std::string PortAttemptsJson(const std::vector<PortAttempt>& attempts);

// korvane-update list: every port the system lists with what it says of each, then what a probe
// found there, and the unlisted ports a search would try that turn out to be present (Bluetooth
// links are not opened unless named with --port). Output goes through `print`; the exit status
// is 0 once the list is made, whatever it holds.
int RunList(UpdateFlow& flow, const CliOptions& options,
            const std::function<void(const std::string&)>& print);
