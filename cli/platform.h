// What the command-line updater needs from the operating system: which ports to try, why a port
// would not open, whether standard error is a terminal, and keeping an upload from being
// interrupted. One implementation per platform, chosen by the build.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "serial/port_list.h"
#include "serial/usb_adapters.h"

// "--port" help text and the search without --port, for --help.
const char* PortHelpText();

// The production-line example of --help, with this platform's port names.
const char* ProductionLineExample();

// True where the search without --port is the dialog's COM search (SearchForHardware).
bool UsesComSearch();

// Ports to try without --port, in the order to try them; what they are, for messages.
std::vector<std::string> CandidatePorts();
const char* CandidatePortsText();

// The ports the system lists, with what it says of each without opening them (for list and the
// slow-adapter note): the candidate nodes on POSIX, the listed COM ports on Windows.
std::vector<PortInfo> ListedPorts();
// The USB serial adapters and the programs holding ports, read from the system (on Linux below
// the folders the test hooks name).
std::unique_ptr<AdapterInventory> PlatformAdapters();

// The ports a search also tries though the list above does not hold them: every other COM number
// on Windows (drivers, and Wine, do not always list their ports); none on POSIX.
std::vector<std::string> UnlistedCandidates(const std::vector<PortInfo>& listed);

// The device path that the serial port opens for a port name the user gave (COM3, /dev/ttyUSB0).
std::string DevicePathOf(const std::string& port);

// Why a port that the serial port could not open does not open ("in use by another program").
std::string DescribeOpenFailure(const std::string& port);

bool StandardErrorIsTerminal();

// True when standard error is a terminal that takes cursor movement (the ANSI sequences), turned
// on where that needs asking for; the progress of several devices is then one line each, redrawn
// in place. Its width in columns, or 0 when unknown.
bool StandardErrorTakesCursorControl();
int StandardErrorColumns();

// The ports --all tries: the candidates above; on Windows the COM ports present.
std::vector<std::string> PortsForAll();

// Who is at a device path now: empty when nothing is there, otherwise a text that changes when
// another device takes the path (a unit unplugged and another plugged in).
std::string PortIdentity(const std::string& device_path);

// Writes what `file` holds through to the disk (after fflush); true when done, or when the file
// is a pipe or terminal that has nothing to sync.
bool SyncToDisk(std::FILE* file);

// A closed pipe on an output becomes a failed write (checked by the caller), not the end of the
// program.
void IgnoreBrokenPipe();

// Why FILE must not take the trace, or empty when it may: it is the package or the port (the same
// file, whatever the path), or a terminal or another device other than this program's own
// standard error. An empty package or port path is not compared.
std::string TraceFileRefusal(const std::string& file, const std::string& package,
                             const std::string& port_path);

// Said on standard error when a stop is asked for while an upload runs.
inline constexpr char kUpdateInProgressText[] =
    "\nkorvane-update: a firmware update is in progress and cannot be stopped; it finishes first.\n";

// While one exists, the requests that would end the program (SIGINT, SIGTERM, SIGHUP; Ctrl+C and
// Ctrl+Break on Windows) do not: each says that an update is in progress. Afterwards they end
// the program as usual again.
class UploadSignalGuard {
public:
    UploadSignalGuard();
    ~UploadSignalGuard();
    UploadSignalGuard(const UploadSignalGuard&) = delete;
    UploadSignalGuard& operator=(const UploadSignalGuard&) = delete;
};

// For a run over several devices, for as long as it exists (one at a time): the requests that
// would end the program (SIGINT, SIGTERM, SIGHUP; Ctrl+C and Ctrl+Break on Windows) become a
// request to stop that the run answers itself, at once when no update runs and otherwise after
// the running ones finish. An update begins only through BeginUpdate, which cannot pass once a
// stop was asked for, so nothing begins that a stop would have to cut short. The handler itself
// writes nothing: the run says what a stop does, in between the lines of its own display.
class StopRequest {
public:
    StopRequest();
    ~StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    bool requested() const;
    // How many times a stop was asked for.
    int requests() const;
    // False (and nothing counted) when a stop was asked for first.
    bool BeginUpdate();
    void EndUpdate();
    int updates_running() const;
    // Waits for at most `timeout`; returns early, true, when a stop is asked for.
    bool Wait(std::chrono::milliseconds timeout);
};
