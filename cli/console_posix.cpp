#include <csignal>

#include <unistd.h>

#include "cli/platform.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t g_stop_requested = 0;
struct sigaction g_previous[3];
struct sigaction g_previous_pipe;

void OnStopSignal(int)
{
    g_stop_requested = 1;
    // write() is safe in a handler; a failed write has nowhere better to go.
    [[maybe_unused]] const ssize_t n =
        ::write(STDERR_FILENO, kUpdateInProgressText, sizeof kUpdateInProgressText - 1);
}

} // namespace

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

UploadSignalGuard::UploadSignalGuard()
{
    g_stop_requested = 0;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted calls restart; the serial port's waits also retry on EINTR themselves.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &action, &g_previous[i]);
    // A reader of the progress that went away must not end the upload either.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &g_previous_pipe);
}

UploadSignalGuard::~UploadSignalGuard()
{
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &g_previous[i], nullptr);
    sigaction(SIGPIPE, &g_previous_pipe, nullptr);
}

bool UploadSignalGuard::stop_requested() const { return g_stop_requested != 0; }
