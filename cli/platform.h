// What the command-line updater needs from the operating system: which ports to try, whether
// standard error is a terminal, and keeping an upload from being interrupted. One implementation per
// platform, chosen by the build.
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

// The same list for a device connection's search.
std::unique_ptr<PortInventory> SystemPorts();
// The ports a search also tries though the list above does not hold them: every other COM number
// on Windows (drivers, and Wine, do not always list their ports); none on POSIX.
std::vector<std::string> UnlistedCandidates(const std::vector<PortInfo>& listed);

// The device path that the serial port opens for a port name the user gave (COM3, /dev/ttyUSB0).
std::string DevicePathOf(const std::string& port);

bool StandardErrorIsTerminal();

// True when standard error is a terminal that takes cursor movement (the ANSI sequences), turned
// on where that needs asking for; the progress of several devices is then one line each, redrawn
// in place. Its width in columns, or 0 when unknown.
bool StandardErrorTakesCursorControl();
int StandardErrorColumns();
// Its height in lines, or 0 when unknown.
int StandardErrorRows();

// The signals a failed write raises (a closed pipe, the file-size limit) are ignored: the write
// fails with an error that the caller checks and reports, and the program goes on.
void IgnoreSignalsOfFailedWrites();

// Standard input, output or error closed when the program started would otherwise become the
// first file or port it opens (and get its progress or outcome text): each closed one is held by
// the null device. Returns true when standard output was closed, as its outcome cannot be
// written. Called before anything is opened.
bool HoldClosedStandardStreams();

// Why FILE must not take the trace, or empty when it may: it is the package or the port (the same
// file, whatever the path), or a terminal or another device other than this program's own
// standard error. An empty package or port path is not compared.
std::string TraceFileRefusal(const std::string& file, const std::string& package,
                             const std::string& port_path);

// Said on standard error when a stop is asked for while the upload of one device runs.
inline constexpr char kUpdateInProgressText[] =
    "\nkorvane-update: a firmware update is in progress and cannot be stopped; it finishes first.\n";

// The one stop mechanism of flash, for one device and many. From its creation to the end of the
// program, the requests that would end it (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl+C and
// Ctrl+Break on Windows) become a request to stop: none cuts an upload short, nor the outcome and
// record after it, and one more during the stop changes nothing. An update begins only through
// BeginUpdate, which cannot pass once a stop was asked for.
//  - `end_when_idle` (one device): a request before the update began ends the program as the
//    signal would, nothing sent; once it began, the handler answers each request on standard
//    error with kUpdateInProgressText and the program ends as usual.
//  - `by_the_run` (several devices): the handler writes nothing; the run waits in Wait, says what
//    a stop does in between the lines of its own display, and ends at once when no update runs,
//    otherwise as soon as the running ones have finished.
// One at a time; a new one starts from no request.
class StopRequest {
public:
    enum class Answer { end_when_idle, by_the_run };
    explicit StopRequest(Answer answer);
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
    // After BeginUpdate refused the one device's update: the program ends as the request asked.
    [[noreturn]] void EndAsAsked() const;
};
