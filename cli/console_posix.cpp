#include <cerrno>
#include <csignal>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "cli/platform.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct sigaction g_previous[3];

void OnStopSignal(int)
{
    // The interrupted code may be between a failed call and its look at errno.
    const int saved = errno;
    // write() is safe in a handler; a failed write has nowhere better to go.
    [[maybe_unused]] const ssize_t n =
        ::write(STDERR_FILENO, kUpdateInProgressText, sizeof kUpdateInProgressText - 1);
    errno = saved;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

std::string TraceFileRefusal(const std::string& file, const std::string& package,
                             const std::string& port_path)
{
    struct stat target {};
    if (::stat(file.c_str(), &target) != 0)
        return ""; // a new file is none of these
    struct stat other {};
    if (!package.empty() && ::stat(package.c_str(), &other) == 0 && SameFile(target, other))
        return "that is the package";
    if (!port_path.empty() && ::stat(port_path.c_str(), &other) == 0 && SameFile(target, other))
        return "that is the port";
    if (S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode)) {
        struct stat own {};
        if (::fstat(STDERR_FILENO, &own) == 0 && SameFile(target, own))
            return "";
        return "that is a terminal or another device, not a file";
    }
    return "";
}

UploadSignalGuard::UploadSignalGuard()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted calls restart; the serial port's waits also retry on EINTR themselves.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &action, &g_previous[i]);
}

UploadSignalGuard::~UploadSignalGuard()
{
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &g_previous[i], nullptr);
}
