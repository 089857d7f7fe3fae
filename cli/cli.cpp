#include "cli/cli.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/console_text.h"
#include "cli/many_devices.h"
#include "cli/discovery.h"
#include "cli/json.h"
#include "cli/platform.h"
#include "cli/progress.h"
#include "cli/record.h"
#include "cli/shown_text.h"
#include "cli/trace_sink.h"
#include "device/device_connection.h"
#include "log/file_path.h"
#include "log/log.h"
#include "package/package.h"
#include "package/upload.h"
#include "resources/version.h"
#include "serial/serial_backend.h"
#include "serial/serial_port.h"
#include "update/update_flow.h"

namespace {

constexpr char kProgram[] = "korvane-update";

constexpr char kUsage[] = "usage: korvane-update detect [--port PORT] [--json]\n"
                          "       korvane-update list [--port PORT] [--json]\n"
                          "       korvane-update check PACKAGE [--port PORT] [--json] [--require-signature]\n"
                          "       korvane-update flash PACKAGE [--port PORT]... [--all] [--watch]\n"
                          "                            [--record FILE] [--require-signature]\n"
                          "       korvane-update --help | --version\n";

void PrintHelp()
{
    std::fputs(kUsage, stdout);
    std::fputs("\n"
               "Updates the firmware of a Korvane device attached as a serial port.\n"
               "\n"
               "Commands:\n"
               "  detect           find the device; show its port, firmware version and hardware\n"
               "  list             every serial port with what the system says of it (USB ids,\n"
               "                   serial number, driver) and what a probe finds there\n"
               "  check PACKAGE    validate a firmware package (.qfw) for the attached device\n"
               "  flash PACKAGE    check the package, upload it, and identify the device again;\n"
               "                   progress goes to standard error, the outcome to standard output\n"
               "\n"
               "Options (before or after the command):\n",
               stdout);
    std::fputs(PortHelpText(), stdout);
    std::fputs("  --json           one JSON object on standard output (detect, list, check)\n"
               "  --require-signature\n"
               "                   check, flash: refuse a package without a signature\n"
               "                   (PACKAGE.sig beside it). Without it an unsigned package is\n"
               "                   accepted with a note on standard error. A signature that is\n"
               "                   there is always checked, before any device is looked for;\n"
               "                   one that does not match the package refuses it (status 3)\n"
               "  --trace[=FILE]   the diagnostic log (trace lines and hex dumps) to standard\n"
               "                   error or FILE; with several devices each line starts \"PORT: \"\n"
               "  --help           this text\n"
               "  --version        the program's version\n"
               "\n"
               "Several devices at once (flash):\n"
               "  --port PORT      given more than once: the devices are updated at the same\n"
               "                   time, each on its own; one that fails, falls silent or is\n"
               "                   unplugged never stops or slows the others\n"
               "  --all            instead of --port: every candidate port where a device answers\n"
               "  --watch          do not end when the ports are done: whenever a device is\n"
               "                   plugged in on a listed port (with --all: any candidate port),\n"
               "                   update it once; unplugged and plugged in again, it is a new\n"
               "                   unit. A port whose device does not answer yet is asked again.\n"
               "  --record FILE    after each device's attempt, append one JSON object on one\n"
               "                   line to FILE and sync it to the disk before going on (also\n"
               "                   with one device). Keys: time (UTC start), port, serial,\n"
               "                   description, old_version, new_version, package,\n"
               "                   package_sha256, signature (valid or none), signature_key,\n"
               "                   result (the result code, or the validation message id of a\n"
               "                   rejected package), result_name (KV_S_OK, ..., REJECTED),\n"
               "                   verified, seconds, status (the device's exit status)\n"
               "With several devices, progress goes to standard error (on a terminal one line\n"
               "per device redrawn in place, otherwise \"PORT: NN%\" at every 10 %). Standard\n"
               "output gets each device's outcome as it finishes, every line starting\n"
               "\"PORT: \" (\"PORT: waiting\" when a watched port goes away), and at the end\n"
               "\"N updated, M failed\": a device whose version does not match counts as\n"
               "updated, a port without a device and a rejected package as failed.\n"
               "\n"
               "An upload in progress is not stopped by Ctrl+C or by the signals that end a\n"
               "program; it finishes, the device is identified again, and the outcome is\n"
               "reported. With several devices such a signal lets no new update begin and ends\n"
               "the program at once when no update runs, otherwise as soon as the running ones\n"
               "have finished; then the summary line is printed. The package is read once,\n"
               "before any device is looked for, and exactly the bytes that passed the checks\n"
               "are sent. After the update the version the device reports is compared with\n"
               "the package's.\n"
               "\n"
               "Exit status:\n"
               "  0  done: device found, package accepted, update successful\n"
               "  1  usage error\n"
               "  2  no device found\n"
               "  3  package rejected, or it cannot be read\n"
               "  4  update failed\n"
               "  5  updated, but the device reports another version than the package's\n"
               "  6  the outcome could not be written (standard output or the record)\n"
               "With several devices: 0 when every device was updated and verified (or did\n"
               "not answer afterwards); otherwise the first that applies of 4 (an update failed),\n"
               "3 (the package was rejected for a device), 2 (a listed port had no device) and\n"
               "5 (a device reports another version than the package's).\n"
               "\n"
               "Example: a production line with two fixtures; each unit plugged in is updated\n"
               "and recorded, until Ctrl+C:\n",
               stdout);
    std::fputs(ProductionLineExample(), stdout);
}

void Error(const std::string& text) { WriteStreamText(stderr, std::string(kProgram) + ": " + text + "\n"); }

// What was meant for standard output and is not known to have got there, to repeat it on
// standard error, and the errno of the first failure. Once standard output has failed, a watch
// may go on for days: only the newest whole lines within kKeptOutput are repeated, and the others
// counted.
constexpr std::size_t kKeptOutput = std::size_t{1} << 20;
struct OutputState {
    std::string text;
    std::size_t lines_left_out = 0;
    int error = 0;

    // Keeps the newest whole lines within kKeptOutput (a longer line, its end).
    void LeaveOutOlderLines()
    {
        if (text.size() <= kKeptOutput)
            return;
        const std::size_t end = text.find('\n', text.size() - kKeptOutput);
        const std::size_t cut = end == std::string::npos ? text.size() - kKeptOutput : end + 1;
        lines_left_out += static_cast<std::size_t>(std::count(text.begin(), text.begin() + cut, '\n'));
        text.erase(0, cut);
    }
};
OutputState g_output;

// The dialog's static controls turn "&&" into "&"; this output is plain text.
std::string WithoutMnemonics(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '&' && p[1] != '\0')
            ++p;
        out += *p;
    }
    return out;
}

// Where to look: the given port, the platform's candidates or the COM ports.
SearchTarget TargetOf(const std::string& only_port)
{
    if (only_port.empty() && UsesComSearch())
        return SearchTarget::ComSearch();
    const std::vector<std::string> names =
        only_port.empty() ? CandidatePorts() : std::vector<std::string>{only_port};
    std::vector<PortToTry> ports;
    for (const std::string& name : names)
        ports.push_back({name, DevicePathOf(name)});
    return SearchTarget::Ports(std::move(ports));
}

// The search's note on a slow adapter, as a note on standard error.
void NoteSlowAdapter(const FoundDevice& found)
{
    if (found.slow_adapter)
        std::fprintf(stderr, "%s: note: %s\n", kProgram, found.slow_adapter->c_str());
}

int FailNoDevice(const CliOptions& options, const FoundDevice& search, bool with_ports)
{
    const std::string error = NotFoundText(search, Shown);
    Error(error);
    if (options.json) {
        JsonObject object;
        object.add("error", error).add("exit_status", std::int64_t{kExitNoDevice});
        if (with_ports)
            object.add_json("ports", PortAttemptsJson(search.attempts))
                .add_json("adapters", AdaptersJson(search.adapters));
        Print(object.text() + "\n");
    }
    return kExitNoDevice;
}

int Detect(UpdateFlow& flow, const CliOptions& options)
{
    const FoundDevice found = flow.Find(TargetOf(options.port));
    NoteModemManager(flow.adapters(), found);
    if (!found.found)
        return FailNoDevice(options, found, true);
    NoteSlowAdapter(found);
    const HardwareInfo& info = found.hardware;
    const std::string version = VersionText(found.version);
    if (options.json) {
        const char letter[2] = {static_cast<char>(found.version.hardware_letter), '\0'};
        Print(JsonObject()
                  .add("port", found.port)
                  .add("firmware_version", version)
                  .add("description", info.description)
                  .add("model_id", std::int64_t{info.model_id})
                  .add("protocol_generation", std::int64_t{info.protocol_generation})
                  .add("capabilities", std::int64_t{info.capabilities})
                  .add("hardware_letter", letter)
                  .add("interface_type", std::int64_t{info.interface_type})
                  .add_json("ports", PortAttemptsJson(found.attempts))
                  .text() +
              "\n");
    } else {
        Print("Port: " + Shown(found.port) + "\nCurrent Firmware Version: " + version +
              "\nHardware Description: " + Shown(info.description) + "\n");
    }
    return kExitDone;
}

// A package refused for its signature (or the lack of one) before any device is looked for: the
// message where check and flash put a refusal, and exit status 3.
bool RefusedForSignature(const UpdateFlow& flow, const CliOptions& options, const ExaminedPackage& package)
{
    const int refusal = flow.SignatureVerdict(package);
    if (refusal == 0) {
        if (package.signature.state == SignatureState::none && package.read == PackageRead::ok)
            Error("note: " + Shown(options.package) + " is not signed (no " +
                  Shown(SignaturePathFor(options.package)) + "); accepted as unsigned packages are");
        return false;
    }
    const char* message = PackageMessageText(refusal);
    if (options.json) {
        Print(JsonObject()
                  .add("package", options.package)
                  .add_bool("accepted", false)
                  .add("message_id", std::int64_t{refusal})
                  .add("message", message)
                  .add("signature", SignatureStateName(package.signature.state))
                  .add("signature_key",
                       package.signature.key_id.empty() ? nullptr : package.signature.key_id.c_str())
                  .add("exit_status", std::int64_t{kExitRejected})
                  .text() +
              "\n");
    } else if (options.command == CliCommand::check) {
        Print(std::string(message) + "\n");
    } else {
        std::fprintf(stderr, "%s\n", message);
    }
    if (SignatureRefused(package.signature.state))
        Error(Shown(options.package) + ": " + SignatureRefusalReason(package.signature.state));
    return true;
}

// The package, read once before any device is looked for; false (with the reason said) when the
// file cannot be had at all, or when its signature refuses it.
bool ReadPackageFirst(const UpdateFlow& flow, const CliOptions& options, ExaminedPackage& package)
{
    package = flow.ReadPackageFile(options.package.c_str());
    if (package.readable())
        return !RefusedForSignature(flow, options, package);
    const std::string reason =
        !package.read_failure.empty() ? package.read_failure : "it could not be read whole";
    const std::string error = "cannot read " + Shown(options.package) + ": " + reason;
    Error(error);
    if (options.json)
        Print(JsonObject()
                  .add("package", options.package)
                  .add("error", error)
                  .add("exit_status", std::int64_t{kExitRejected})
                  .text() +
              "\n");
    return false;
}

int Check(UpdateFlow& flow, const CliOptions& options)
{
    ExaminedPackage package;
    if (!ReadPackageFirst(flow, options, package))
        return kExitRejected;
    const FoundDevice found = flow.Find(TargetOf(options.port));
    NoteModemManager(flow.adapters(), found);
    if (!found.found)
        return FailNoDevice(options, found, false);
    NoteSlowAdapter(found);
    // Judged exactly as Browse judges it: the device's EEPROM information, this program's version.
    const int verdict = flow.Verdict(package, flow.DeviceEepromReader(false), kBuiltInFileVersion);
    char version[kPackageVersionSize];
    FormatPackageVersion(version, package.content.header);
    const std::string target = WithoutMnemonics(TargetHardwareName(package.content.header.target_hw));
    if (options.json) {
        Print(JsonObject()
                  .add("package", options.package)
                  .add("port", found.port)
                  .add_bool("accepted", verdict == 0)
                  .add("message_id", std::int64_t{verdict})
                  .add("message", verdict == 0 ? nullptr : PackageMessageText(verdict))
                  .add("update_version", verdict == 0 ? version : nullptr)
                  .add("target_hardware", verdict == 0 ? target.c_str() : nullptr)
                  .text() +
              "\n");
    } else if (verdict == 0) {
        Print(std::string("Update Version: ") + version + "\nTarget Hardware: " + target + "\n");
    } else {
        Print(std::string(PackageMessageText(verdict)) + "\n");
    }
    return verdict == 0 ? kExitDone : kExitRejected;
}

// Ends one attempt of flash with its line in the record (when there is one), on the disk before
// anything else happens.
int Recorded(RecordFile* record, AttemptRecord& entry, std::chrono::steady_clock::time_point start,
             int status)
{
    if (record == nullptr)
        return status;
    entry.status = status;
    entry.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string error;
    if (record->Append(entry, error))
        return status;
    Error("the record could not be written to " + Shown(record->path()) + " (" + error + ")");
    return kExitOutputFailed;
}

int Flash(UpdateFlow& flow, const CliOptions& options, RecordFile* record)
{
    StopRequest stop(StopRequest::Answer::end_when_idle);
    ExaminedPackage package;
    if (!ReadPackageFirst(flow, options, package))
        return kExitRejected;
    AttemptRecord entry;
    entry.time = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    entry.Package(options.package, package);
    if (!options.port.empty())
        entry.port = options.port;

    ProgressDisplay display(stderr, StandardErrorIsTerminal(), package.content.body_size);
    UpdateRequest request;
    request.target = TargetOf(options.port);
    request.package = &package;
    request.own_version = kBuiltInFileVersion;
    request.read_serial = record != nullptr;
    std::string updating;
    request.found = [&](const FoundDevice& found) {
        NoteSlowAdapter(found);
        NoteModemManager(flow.adapters(), found);
        char version[kPackageVersionSize];
        FormatPackageVersion(version, package.content.header);
        updating =
            "Updating " + Shown(found.description) + " on " + Shown(found.port) + " to " + version + "\n";
    };
    request.may_send = [&] {
        // From here to the end of the program nothing ends it: an update cut short, or one whose
        // outcome nobody saw, is the worst that can happen here.
        if (!stop.BeginUpdate())
            stop.EndAsAsked();
        WriteStreamText(stderr, updating);
        return true;
    };
    request.progress = [&display](const SendProgress& progress) { display.Update(progress); };
    const UpdateOutcome outcome = flow.Run(request);

    if (outcome.verdict == UpdateVerdict::no_device) {
        NoteModemManager(flow.adapters(), outcome.before);
        entry.NoDevice();
        return Recorded(record, entry, start, FailNoDevice(options, outcome.before, false));
    }
    entry.port = outcome.before.port;
    entry.Found(outcome.before);
    entry.serial = outcome.before.serial;
    if (outcome.verdict == UpdateVerdict::rejected) {
        // Never sent: the same answer as check gives, as an error of flash.
        std::fprintf(stderr, "%s\n", PackageMessageText(outcome.package_verdict));
        entry.Rejected(outcome.package_verdict);
        return Recorded(record, entry, start, kExitRejected);
    }
    entry.Outcome(outcome);
    const int status = Recorded(record, entry, start, ExitStatusOf(outcome));
    Print(std::string(outcome.message.text) + "\n");
    FinishOutput();
    stop.EndUpdate();
    return status;
}

// Several ports, every port with a device (--all), or the watch: each device on its own
// connection, the package read once for all of them.
int FlashSeveral(UpdateFlow& flow, const CliOptions& options, RecordFile* record, std::FILE* trace)
{
    ExaminedPackage package;
    if (!ReadPackageFirst(flow, options, package))
        return kExitRejected;
    return RunManyDevices(ManyDevicesSetup{options, package, record, trace});
}

bool TakesValue(const std::string& arg, const char* name, int& i, int argc, const char* const* argv,
                std::string& value, bool& matched, std::string& error)
{
    const std::size_t n = std::strlen(name);
    matched = false;
    if (arg == name) {
        matched = true;
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return false;
        }
        value = argv[++i];
        // "--port --json" forgot the port: taking the next option as its value would hide that.
        if (value.rfind("--", 0) == 0) {
            error = std::string(name) + " needs a value (got the option '" + value + "')";
            return false;
        }
        return true;
    }
    if (arg.compare(0, n, name) == 0 && arg.size() > n && arg[n] == '=') {
        matched = true;
        value = arg.substr(n + 1);
        return true;
    }
    return true;
}

// --port, --all, --watch and --record: which command takes them, and in which combinations.
bool CheckPortOptions(CliOptions& options, std::string& error)
{
    const bool flash = options.command == CliCommand::flash;
    if (options.ports.size() > 1 && !flash) {
        error = "--port given twice (only flash takes several ports)";
        return false;
    }
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            // Two threads on one device would each see the other's bytes, and one unit would be
            // updated twice.
            if (PortNodeKey(DevicePathOf(options.ports[i])) != PortNodeKey(DevicePathOf(options.ports[j])))
                continue;
            error = options.ports[i] == options.ports[j]
                        ? "--port " + options.ports[i] + " given twice"
                        : "--port " + options.ports[i] + " is the same device as --port " + options.ports[j];
            return false;
        }
    }
    if (options.ports.size() == 1)
        options.port = options.ports.front();
    const char* flash_only = options.all               ? "--all"
                             : options.watch           ? "--watch"
                             : !options.record.empty() ? "--record"
                                                       : nullptr;
    if (flash_only != nullptr && !flash) {
        error = std::string(flash_only) + " is for flash";
        return false;
    }
    if (options.all && !options.ports.empty()) {
        error = "--all stands instead of --port";
        return false;
    }
    if (options.watch && options.ports.empty() && !options.all) {
        error = "--watch needs the ports to watch (--port, or --all)";
        return false;
    }
    return true;
}

} // namespace

void Print(const std::string& text)
{
    g_output.text += text;
    errno = 0;
    if (!WriteStreamText(stdout, text) && g_output.error == 0)
        g_output.error = errno != 0 ? errno : EIO;
    // Twice the room before each trim, so that lines are not moved again for each one added.
    if (g_output.text.size() > 2 * kKeptOutput)
        g_output.LeaveOutOlderLines();
}

bool FinishOutput()
{
    errno = 0;
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && g_output.error == 0)
        g_output.error = errno != 0 ? errno : EIO;
    // What went out needs no repeating; a watch that runs for days keeps nothing of it.
    if (g_output.error == 0) {
        g_output.text.clear();
        g_output.lines_left_out = 0;
    }
    return g_output.error == 0;
}

int StatusAfterOutput(int status)
{
    if (FinishOutput())
        return status;
    g_output.LeaveOutOlderLines();
    std::string text = g_output.text;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (g_output.lines_left_out != 0)
        text = "(" + std::to_string(g_output.lines_left_out) +
               (g_output.lines_left_out == 1 ? " earlier line" : " earlier lines") + " left out)\n" + text;
    Error(std::string("the outcome could not be written to standard output (") +
          std::strerror(g_output.error) + ")" + (text.empty() ? std::string() : ":\n" + text));
    return kExitOutputFailed;
}

int ExitStatusOf(const UpdateOutcome& outcome)
{
    switch (outcome.verdict) {
    case UpdateVerdict::verified:
    case UpdateVerdict::unverified: return kExitDone;
    case UpdateVerdict::version_mismatch: return kExitVersionMismatch;
    case UpdateVerdict::no_device: return kExitNoDevice;
    case UpdateVerdict::rejected: return kExitRejected;
    case UpdateVerdict::failed:
    case UpdateVerdict::package_changed:
    case UpdateVerdict::not_begun: break;
    }
    return kExitUpdateFailed;
}

bool ParseCliArguments(int argc, const char* const* argv, CliOptions& options, std::string& error)
{
    std::vector<std::string> words;
    bool help = false;
    bool version = false;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
            words.push_back(arg);
            continue;
        }
        bool matched = false;
        std::string value;
        if (arg == "--") {
            options_end = true;
        } else if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--all") {
            options.all = true;
        } else if (arg == "--watch") {
            options.watch = true;
        } else if (arg == "--require-signature") {
            options.require_signature = true;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg.rfind("--trace=", 0) == 0) {
            options.trace = true;
            options.trace_file = arg.substr(8);
            if (options.trace_file.empty()) {
                error = "--trace= needs a file name";
                return false;
            }
        } else if (!TakesValue(arg, "--port", i, argc, argv, value, matched, error)) {
            return false;
        } else if (matched) {
            if (value.empty()) {
                error = "--port needs a value";
                return false;
            }
            options.ports.push_back(value);
        } else if (!TakesValue(arg, "--record", i, argc, argv, value, matched, error)) {
            return false;
        } else if (matched) {
            if (value.empty()) {
                error = "--record needs a file name";
                return false;
            }
            if (!options.record.empty()) {
                error = "--record given twice";
                return false;
            }
            options.record = value;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    if (help) {
        options.command = CliCommand::help;
        return true;
    }
    if (version) {
        options.command = CliCommand::version;
        return true;
    }
    if (words.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& command = words[0];
    std::size_t arguments = 0;
    if (command == "detect") {
        options.command = CliCommand::detect;
    } else if (command == "list") {
        options.command = CliCommand::list;
    } else if (command == "check") {
        options.command = CliCommand::check;
        arguments = 1;
    } else if (command == "flash") {
        options.command = CliCommand::flash;
        arguments = 1;
    } else {
        error = "unknown command '" + command + "'";
        return false;
    }
    if (words.size() < 1 + arguments) {
        error = command + " needs a PACKAGE";
        return false;
    }
    if (words.size() > 1 + arguments) {
        error = "unexpected argument '" + words[1 + arguments] + "'";
        return false;
    }
    if (arguments == 1)
        options.package = words[1];
    if (options.require_signature && options.command != CliCommand::check &&
        options.command != CliCommand::flash) {
        error = "--require-signature is for check and flash";
        return false;
    }
    if (options.json && options.command == CliCommand::flash) {
        error = "--json is for detect and check; flash reports its outcome as text";
        return false;
    }
    return CheckPortOptions(options, error);
}

int RunCli(int argc, const char* const* argv)
{
    if (HoldClosedStandardStreams())
        g_output.error = EBADF;
    CliOptions options;
    std::string error;
    if (!ParseCliArguments(argc, argv, options, error)) {
        Error(Shown(error));
        std::fputs(kUsage, stderr);
        std::fprintf(stderr, "Run '%s --help' for more.\n", kProgram);
        return kExitUsage;
    }
    // A reader that went away or a full file must not kill the program in the middle of its
    // work: every write is checked instead.
    IgnoreSignalsOfFailedWrites();
    // The help goes to standard output directly, and the flush still sees a failure.
    if (options.command == CliCommand::help) {
        PrintHelp();
        return StatusAfterOutput(kExitDone);
    }
    if (options.command == CliCommand::version) {
        Print(std::string(kProgram) + " " + KV_FILE_VERSION_TEXT + "\n");
        return StatusAfterOutput(kExitDone);
    }

    std::vector<std::string> port_paths;
    for (const std::string& port : options.ports) {
        port_paths.push_back(DevicePathOf(port));
        if (port_paths.back().size() >= SerialPort::kPathCapacity) {
            // Cut to fit, it would name another device.
            Error("the port name is too long (" + std::to_string(port_paths.back().size()) +
                  " characters; at most " + std::to_string(SerialPort::kPathCapacity - 1) + ")");
            return kExitUsage;
        }
    }
    if (port_paths.empty())
        port_paths.emplace_back(); // nothing to compare with
    // A regular file only, so what follows compares it with the package and the ports.
    RecordFile record;
    if (!options.record.empty() && !record.Open(options.record, error)) {
        Error("cannot write the record to '" + Shown(options.record) + "': " + error);
        return kExitUsage;
    }
    for (const auto& [option, file] :
         {std::pair{"--trace=", options.trace_file}, std::pair{"--record=", options.record}}) {
        for (const std::string& port_path : port_paths) {
            const std::string refusal =
                file.empty() ? std::string() : TraceFileRefusal(file, options.package, port_path);
            if (!refusal.empty()) {
                Error(option + Shown(file) + ": " + refusal);
                return kExitUsage;
            }
        }
    }

    // Opened for writing, the trace would empty the record (whatever names the two are given).
    if (!options.trace_file.empty() && record.Is(options.trace_file)) {
        Error("--trace=" + Shown(options.trace_file) + ": that is the record (--record " +
              Shown(options.record) + ")");
        return kExitUsage;
    }
    std::FILE* trace_out = nullptr;
    if (options.trace) {
        trace_out = options.trace_file.empty() ? stderr : OpenFileByPath(options.trace_file.c_str(), "w");
        if (trace_out == nullptr) {
            const std::string reason = std::strerror(errno);
            Error("cannot write the trace to '" + Shown(options.trace_file) + "': " + reason);
            return kExitUsage;
        }
    }
    StreamTextControl trace_control(trace_out, trace_out == stderr ? nullptr : stderr);
    LogSink trace_sink{&trace_control};

    RecordFile* record_file = options.record.empty() ? nullptr : &record;
    const bool several = options.ports.size() > 1 || options.all || options.watch;
    int status = kExitUsage;
    {
        DeviceConnection connection(make_serial_backend(), SystemClock::instance(), SystemPorts());
        // Several devices trace on connections of their own; this one stays unused.
        if (trace_out != nullptr && !several) {
            connection.log_sink = &trace_sink;
            connection.port.log_sink = &trace_sink;
        }
        const std::unique_ptr<AdapterInventory> adapters = PlatformAdapters();
        UpdateFlow flow(connection, adapters.get());
        if (options.require_signature)
            flow.set_signature_policy(SignaturePolicy::require);
        switch (options.command) {
        case CliCommand::detect: status = Detect(flow, options); break;
        case CliCommand::list: status = RunList(flow, options, Print); break;
        case CliCommand::check: status = Check(flow, options); break;
        case CliCommand::flash:
            status = several ? FlashSeveral(flow, options, record_file, trace_out)
                             : Flash(flow, options, record_file);
            break;
        default: break;
        }
        // As the dialog's end does: the device back at its normal speed, the port closed.
        flow.Close();
        connection.log_sink = nullptr;
        connection.port.log_sink = nullptr;
    }
    if (trace_out != nullptr && trace_out != stderr)
        std::fclose(trace_out);
    return StatusAfterOutput(status);
}
