// korvane-update: the command-line front end of the updater. Parses the arguments, finds the
// device, and runs detect, list, check or flash on the same core as the dialog, with its texts.
#pragma once

#include <string>

// Exit statuses, as --help lists them.
inline constexpr int kExitDone = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitNoDevice = 2;
inline constexpr int kExitRejected = 3;
inline constexpr int kExitUpdateFailed = 4;
inline constexpr int kExitVersionMismatch = 5;
inline constexpr int kExitOutputFailed = 6;

enum class CliCommand { none, detect, list, check, flash, help, version };

struct CliOptions {
    CliCommand command = CliCommand::none;
    std::string package;
    std::string port; // empty: search
    bool json = false;
    bool trace = false;
    std::string trace_file; // empty: standard error
};

// False with a message for a usage error. Options may stand anywhere; "--" ends them.
bool ParseCliArguments(int argc, const char* const* argv, CliOptions& options, std::string& error);

int RunCli(int argc, const char* const* argv);
