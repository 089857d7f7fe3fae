#include "cli/cli.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/update_dialog.h"
#include "cli/json.h"
#include "cli/platform.h"
#include "cli/progress.h"
#include "cli/trace_sink.h"
#include "device/device_connection.h"
#include "log/log.h"
#include "package/package.h"
#include "package/upload.h"
#include "resources/version.h"

namespace {

constexpr char kProgram[] = "korvane-update";

constexpr char kUsage[] = "usage: korvane-update detect [--port PORT] [--json]\n"
                          "       korvane-update check PACKAGE [--port PORT] [--json]\n"
                          "       korvane-update flash PACKAGE [--port PORT]\n"
                          "       korvane-update --help | --version\n";

void PrintHelp()
{
    std::fputs(kUsage, stdout);
    std::fputs("\n"
               "Updates the firmware of a Korvane device attached as a serial port.\n"
               "\n"
               "Commands:\n"
               "  detect           find the device; show its port, firmware version and hardware\n"
               "  check PACKAGE    validate a firmware package (.qfw) for the attached device\n"
               "  flash PACKAGE    check the package, upload it, and identify the device again;\n"
               "                   progress goes to standard error, the outcome to standard output\n"
               "\n"
               "Options (before or after the command):\n",
               stdout);
    std::fputs(PortHelpText(), stdout);
    std::fputs("  --json           one JSON object on standard output (detect, check)\n"
               "  --trace[=FILE]   the diagnostic log (trace lines and hex dumps) to standard\n"
               "                   error or FILE\n"
               "  --help           this text\n"
               "  --version        the program's version\n"
               "\n"
               "An upload in progress is not stopped by Ctrl+C or by the signals that end a\n"
               "program; it finishes and reports its outcome.\n"
               "\n"
               "Exit status:\n"
               "  0  done: device found, package accepted, update successful\n"
               "  1  usage error\n"
               "  2  no device found\n"
               "  3  package rejected\n"
               "  4  update failed\n",
               stdout);
}

void Error(const std::string& text) { std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str()); }

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

struct FoundDevice {
    std::string port;
    FirmwareVersion version;
};

bool Usable(const DeviceConnection& connection)
{
    const HardwareInfo* info = connection.GetHardwareInfo();
    return info != nullptr && info->protocol_generation == 1;
}

std::string UnusableText(const std::string& port, const char* description)
{
    return "the device on " + port + " (\"" + description + "\") cannot be updated by this program";
}

// Finds the device as the dialog's search does, on the given port, the platform's candidates or
// the COM ports. On success the port stays open and the device identified.
bool FindDevice(DeviceConnection& connection, const std::string& only_port, FoundDevice& found,
                std::string& error)
{
    char description[kDescriptionCapacity] = {};
    if (only_port.empty() && UsesComSearch()) {
        const bool answered = connection.SearchForHardware(description, sizeof description, &found.version);
        found.port = "COM" + std::to_string(connection.last_port_number);
        if (answered && Usable(connection))
            return true;
        error = answered ? UnusableText(found.port, description) : "no device found on the COM ports";
        connection.ClosePort();
        return false;
    }

    const std::vector<std::string> ports =
        only_port.empty() ? CandidatePorts() : std::vector<std::string>{only_port};
    if (ports.empty()) {
        error = std::string("no device found: no serial ports present (") + CandidatePortsText() + ")";
        return false;
    }
    std::vector<std::string> notes;
    for (const std::string& port : ports) {
        const PortProbe probe =
            connection.ProbePort(DevicePathOf(port).c_str(), description, sizeof description, &found.version);
        if (probe == PortProbe::answered && Usable(connection)) {
            found.port = port;
            return true;
        }
        if (probe == PortProbe::not_opened)
            notes.push_back("cannot open " + port + ": " + DescribeOpenFailure(port));
        else if (probe == PortProbe::no_answer)
            notes.push_back("no device answered on " + port);
        else
            notes.push_back(UnusableText(port, description));
        connection.ClosePort();
    }
    if (only_port.empty()) {
        error = "no device found";
        for (const std::string& note : notes)
            error += "\n  " + note;
    } else {
        error = notes.front();
    }
    return false;
}

std::string VersionText(const FirmwareVersion& version)
{
    char text[kVersionTextSize];
    FormatFirmwareVersion(text, version);
    return text;
}

int FailNoDevice(const CliOptions& options, const std::string& error)
{
    Error(error);
    if (options.json)
        std::printf(
            "%s\n",
            JsonObject().add("error", error).add("exit_status", std::int64_t{kExitNoDevice}).text().c_str());
    return kExitNoDevice;
}

int Detect(DeviceConnection& connection, const CliOptions& options)
{
    FoundDevice found;
    std::string error;
    if (!FindDevice(connection, options.port, found, error))
        return FailNoDevice(options, error);
    const HardwareInfo& info = connection.hardware_info;
    const std::string version = VersionText(found.version);
    if (options.json) {
        const char letter[2] = {static_cast<char>(found.version.hardware_letter), '\0'};
        std::printf("%s\n", JsonObject()
                                .add("port", found.port)
                                .add("firmware_version", version)
                                .add("description", info.description)
                                .add("model_id", std::int64_t{info.model_id})
                                .add("protocol_generation", std::int64_t{info.protocol_generation})
                                .add("capabilities", std::int64_t{info.capabilities})
                                .add("hardware_letter", letter)
                                .add("interface_type", std::int64_t{info.interface_type})
                                .text()
                                .c_str());
    } else {
        std::printf("Port: %s\nCurrent Firmware Version: %s\nHardware Description: %s\n", found.port.c_str(),
                    version.c_str(), info.description);
    }
    return kExitDone;
}

// Validation exactly as Browse runs it: the device's EEPROM information, this program's version.
int Validate(DeviceConnection& connection, const std::string& package)
{
    return ValidateFirmwarePackage(
        package.c_str(), [&connection](EEPROMInfo* info) { return connection.GetEEPROMInfo(info); },
        kBuiltInFileVersion);
}

int Check(DeviceConnection& connection, const CliOptions& options)
{
    FoundDevice found;
    std::string error;
    if (!FindDevice(connection, options.port, found, error))
        return FailNoDevice(options, error);
    const int verdict = Validate(connection, options.package);
    char version[kPackageVersionSize];
    FormatPackageVersion(version, current_package_header);
    const std::string target = WithoutMnemonics(TargetHardwareName(current_package_header.target_hw));
    if (options.json) {
        std::printf("%s\n", JsonObject()
                                .add("package", options.package)
                                .add("port", found.port)
                                .add_bool("accepted", verdict == 0)
                                .add("message_id", std::int64_t{verdict})
                                .add("message", verdict == 0 ? nullptr : PackageMessageText(verdict))
                                .add("update_version", verdict == 0 ? version : nullptr)
                                .add("target_hardware", verdict == 0 ? target.c_str() : nullptr)
                                .text()
                                .c_str());
    } else if (verdict == 0) {
        std::printf("Update Version: %s\nTarget Hardware: %s\n", version, target.c_str());
    } else {
        std::printf("%s\n", PackageMessageText(verdict));
    }
    return verdict == 0 ? kExitDone : kExitRejected;
}

int Flash(DeviceConnection& connection, const CliOptions& options)
{
    FoundDevice found;
    std::string error;
    if (!FindDevice(connection, options.port, found, error))
        return FailNoDevice(options, error);
    const int verdict = Validate(connection, options.package);
    if (verdict != 0) {
        // Never sent: the same answer as check gives, as an error of flash.
        std::fprintf(stderr, "%s\n", PackageMessageText(verdict));
        return kExitRejected;
    }
    char version[kPackageVersionSize];
    FormatPackageVersion(version, current_package_header);
    std::fprintf(stderr, "Updating %s on %s to %s\n", connection.hardware_info.description,
                 found.port.c_str(), version);

    const std::uint32_t file_size = GetFileSizeByName(options.package.c_str());
    ProgressDisplay display(stderr, StandardErrorIsTerminal(),
                            file_size > kPackageHeaderSize ? file_size - kPackageHeaderSize : 0);
    std::int32_t result = 0;
    {
        const UploadSignalGuard guard;
        result =
            UploadFirmware(connection, options.package.c_str(), [&display](const UpdateProgress* progress) {
                if (progress != nullptr)
                    display.Update(*progress);
                return 0;
            });
        log_line(connection.log_sink, "FirmwareUpdateProc completed with result: %i", result);
    }

    if (result != KV_S_OK) {
        std::printf("%s\n", FailureOutcome(result).text);
        return kExitUpdateFailed;
    }
    // As the dialog does after a successful update: find and identify the device again, first
    // where it was, then (without --port) wherever it is now.
    FoundDevice again;
    std::string ignored;
    bool found_again = FindDevice(connection, found.port, again, ignored);
    if (!found_again && options.port.empty())
        found_again = FindDevice(connection, std::string(), again, ignored);
    std::printf("%s\n", SuccessOutcome(found_again ? &again.version : nullptr).text);
    return kExitDone;
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
        return true;
    }
    if (arg.compare(0, n, name) == 0 && arg.size() > n && arg[n] == '=') {
        matched = true;
        value = arg.substr(n + 1);
        return true;
    }
    return true;
}

} // namespace

bool ParseCliArguments(int argc, const char* const* argv, CliOptions& options, std::string& error)
{
    std::vector<std::string> words;
    bool help = false;
    bool version = false;
    bool port_given = false;
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
            if (port_given) {
                error = "--port given twice";
                return false;
            }
            if (value.empty()) {
                error = "--port needs a value";
                return false;
            }
            port_given = true;
            options.port = value;
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
    if (options.json && options.command == CliCommand::flash) {
        error = "--json is for detect and check; flash reports its outcome as text";
        return false;
    }
    return true;
}

int RunCli(int argc, const char* const* argv)
{
    CliOptions options;
    std::string error;
    if (!ParseCliArguments(argc, argv, options, error)) {
        Error(error);
        std::fputs(kUsage, stderr);
        std::fprintf(stderr, "Run '%s --help' for more.\n", kProgram);
        return kExitUsage;
    }
    if (options.command == CliCommand::help) {
        PrintHelp();
        return kExitDone;
    }
    if (options.command == CliCommand::version) {
        std::printf("%s %s\n", kProgram, KV_FILE_VERSION_TEXT);
        return kExitDone;
    }

    std::FILE* trace_out = nullptr;
    if (options.trace) {
        trace_out = options.trace_file.empty() ? stderr : std::fopen(options.trace_file.c_str(), "w");
        if (trace_out == nullptr) {
            Error("cannot write the trace to '" + options.trace_file + "': " + std::strerror(errno));
            return kExitUsage;
        }
    }
    StreamTextControl trace_control(trace_out);
    LogSink trace_sink{&trace_control};

    int status = kExitUsage;
    {
        DeviceConnection connection;
        if (trace_out != nullptr) {
            connection.log_sink = &trace_sink;
            connection.port.log_sink = &trace_sink;
        }
        switch (options.command) {
        case CliCommand::detect: status = Detect(connection, options); break;
        case CliCommand::check: status = Check(connection, options); break;
        case CliCommand::flash: status = Flash(connection, options); break;
        default: break;
        }
        std::fflush(stdout);
        // As the dialog's end does: the device back at its normal speed, the port closed.
        connection.ClosePort();
        connection.log_sink = nullptr;
        connection.port.log_sink = nullptr;
    }
    if (trace_out != nullptr && trace_out != stderr)
        std::fclose(trace_out);
    return status;
}
