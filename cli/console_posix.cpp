#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/platform.h"
#include "cli/stop_state.h"

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

// The run's stop request: the handler touches only the stop state and this pipe, with calls
// that are safe in a handler.
int g_wake_pipe[2] = {-1, -1}; // the handler writes a byte; Wait polls the other end
struct sigaction g_previous_stop[3];

void OnStopRequest(int)
{
    const int saved = errno;
    stop_state::requested.fetch_add(1);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_wake_pipe[1], &byte, 1); // full pipe: already awake
    errno = saved;
}

void TakeStopSignals(void (*handler)(int), struct sigaction (&previous)[3])
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Interrupted calls restart; the serial port's waits also retry on EINTR themselves.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &action, &previous[i]);
}

void RestoreStopSignals(const struct sigaction (&previous)[3])
{
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &previous[i], nullptr);
}

} // namespace

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StandardErrorTakesCursorControl()
{
    const char* term = std::getenv("TERM");
    return StandardErrorIsTerminal() && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

int StandardErrorColumns()
{
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool SyncToDisk(std::FILE* file)
{
    if (::fsync(fileno(file)) == 0)
        return true;
    return errno == EINVAL || errno == EROFS || errno == ENOTSUP; // a pipe, terminal or the like
}

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

UploadSignalGuard::UploadSignalGuard() { TakeStopSignals(OnStopSignal, g_previous); }

UploadSignalGuard::~UploadSignalGuard() { RestoreStopSignals(g_previous); }

StopRequest::StopRequest()
{
    stop_state::requested = 0;
    stop_state::updates_running = 0;
    if (::pipe(g_wake_pipe) == 0) {
        for (const int fd : g_wake_pipe) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    TakeStopSignals(OnStopRequest, g_previous_stop);
}

StopRequest::~StopRequest()
{
    RestoreStopSignals(g_previous_stop);
    for (int& fd : g_wake_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool StopRequest::Wait(std::chrono::milliseconds timeout)
{
    if (requested())
        return true;
    pollfd wake{g_wake_pipe[0], POLLIN, 0};
    if (::poll(&wake, wake.fd >= 0 ? 1 : 0, static_cast<int>(timeout.count())) > 0) {
        char drain[16];
        while (::read(g_wake_pipe[0], drain, sizeof drain) > 0) {
        }
    }
    return requested();
}
