#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/platform.h"
#include "cli/stop_state.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The handler writes a byte here and Wait polls the other end. Made once and never closed: a
// handler running late must never write into a descriptor that has become a file.
int g_wake_pipe[2] = {-1, -1};

void OnStopRequest(int signal)
{
    // The interrupted code may be between a failed call and its look at errno.
    const int saved = errno;
    stop_state::last_request = signal;
    stop_state::requested.fetch_add(1);
    if (stop_state::EndsAtOnce()) {
        // Nothing was sent: the program ends as the signal asks, once this handler returns.
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
        ::raise(signal);
    } else if (stop_state::end_when_idle.load()) {
        // write() is safe in a handler; a failed write has nowhere better to go.
        [[maybe_unused]] const ssize_t n =
            ::write(STDERR_FILENO, kUpdateInProgressText, sizeof kUpdateInProgressText - 1);
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_wake_pipe[1], &byte, 1); // full pipe: already awake
    errno = saved;
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

int StandardErrorRows()
{
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_row : 0;
}

void IgnoreSignalsOfFailedWrites()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool HoldClosedStandardStreams()
{
    bool output_closed = false;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one, as the lower ones are open or were just held.
        const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
        if (fd == STDOUT_FILENO)
            output_closed = true;
    }
    return output_closed;
}

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

StopRequest::StopRequest(Answer answer)
{
    stop_state::requested = 0;
    stop_state::updates_running = 0;
    stop_state::update_began = false;
    stop_state::end_when_idle = answer == Answer::end_when_idle;
    if (g_wake_pipe[0] < 0 && ::pipe(g_wake_pipe) == 0) {
        for (const int fd : g_wake_pipe) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    struct sigaction action {};
    action.sa_handler = OnStopRequest;
    sigemptyset(&action.sa_mask);
    // A request that comes while the handler answers another waits for it.
    for (const int signal : kStopSignals)
        sigaddset(&action.sa_mask, signal);
    // Interrupted calls restart; the serial port's waits also retry on EINTR themselves.
    action.sa_flags = SA_RESTART;
    // Never given back: the default action of a request during the program's end would undo
    // what the stop promised. A signal the program was started with ignored (nohup, a
    // background job) stays ignored.
    for (const int signal : kStopSignals) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
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

void StopRequest::EndAsAsked() const
{
    const int signal = stop_state::last_request.load();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);
}
