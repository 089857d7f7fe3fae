// korvane-update: the command-line front end of the updater. Parses the arguments, finds the
// device, and runs detect, list, check or flash on the same core as the dialog, with its texts.
#pragma once

#include <string>
#include <vector>

struct UpdateOutcome;

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
    std::string port;               // the one port given; empty: search (or several given)
    std::vector<std::string> ports; // every --port, in the order given
    bool all = false;               // flash: every candidate port where a device answers
    bool watch = false;             // flash: keep updating units as they are plugged in
    std::string record;             // flash: append one JSON line per attempt here
    bool json = false;
    bool require_signature = false; // check, flash: a package without a .sig is refused
    bool trace = false;
    std::string trace_file; // empty: standard error
};

// False with a message for a usage error. Options may stand anywhere; "--" ends them.
bool ParseCliArguments(int argc, const char* const* argv, CliOptions& options, std::string& error);

int RunCli(int argc, const char* const* argv);

// Standard output for every part of the program. Each write is checked: a script that finds
// nothing there must never read that as success, so a failure decides the exit status. Not
// thread-safe; a run over several devices writes under its own lock.
void Print(const std::string& text);
// Flushes standard output; false once anything meant for it was lost.
bool FinishOutput();
// `status`, or (said on standard error) kExitOutputFailed when standard output failed.
int StatusAfterOutput(int status);

// One device's exit status after its update.
int ExitStatusOf(const UpdateOutcome& outcome);
