// The native far end of the Windows serial port tests. It makes the two data ports and the
// control port (pseudo-terminals), runs the given command with KV_COM_LINKS naming them, answers
// the control requests of far_end_protocol.h meanwhile, and exits with the command's status.
//
//   serial_far_end_peer run-in-wine.sh serial_port_test.exe [ARGS...]
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/serial/far_end.h"
#include "tests/serial/far_end_protocol.h"
#include "tools/kvsim/pty_peer.h"

extern char** environ;

namespace {

volatile sig_atomic_t g_child = 0;

void forward_signal(int signal_number)
{
    if (g_child > 0) {
        kill(static_cast<pid_t>(g_child), signal_number);
    }
}

std::string answer(kvtest::FarEnd& far, const std::string& request)
{
    std::istringstream in(request);
    std::string verb;
    int port = -1;
    in >> verb >> port;
    if (port != 0 && port != 1) {
        return "ERR";
    }
    if (verb == "LINE") {
        const kvtest::FarLine line = far.line(port);
        if (!line.valid) {
            return "ERR";
        }
        char text[96];
        std::snprintf(text, sizeof text, "OK %u %i %i %i %i %i", line.speed, line.eight_bits ? 1 : 0,
                      line.parity ? 1 : 0, line.two_stop_bits ? 1 : 0, line.hardware_flow ? 1 : 0,
                      line.canonical ? 1 : 0);
        return text;
    }
    if (verb == "STOP") {
        int on = 0;
        in >> on;
        return far.set_two_stop_bits(port, on != 0) ? "OK" : "ERR";
    }
    if (verb == "CANON") {
        int on = 0;
        in >> on;
        return far.set_canonical(port, on != 0) ? "OK" : "ERR";
    }
    if (verb == "SPEED") {
        std::uint32_t rate = 0;
        in >> rate;
        return far.set_speed(port, rate) ? "OK" : "ERR";
    }
    if (verb == "SEND") {
        long delay = 0;
        std::string hex;
        in >> delay >> hex;
        std::vector<std::uint8_t> bytes;
        if (delay < 0 || !kvtest::from_hex(hex, bytes)) {
            return "ERR";
        }
        return far.send(port, bytes, std::chrono::milliseconds(delay)) ? "OK" : "ERR";
    }
    if (verb == "TAKE") {
        std::size_t count = 0;
        long timeout = 0;
        in >> count >> timeout;
        const auto bytes = far.take_received(port, count, std::chrono::milliseconds(timeout));
        return "OK " + kvtest::to_hex(bytes);
    }
    if (verb == "RESET") {
        far.reset(port);
        return "OK";
    }
    return "ERR";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: serial_far_end_peer COMMAND [ARGS...]\n");
        return 2;
    }
    std::unique_ptr<kvtest::FarEnd> far = kvtest::make_far_end();
    if (!far->ready()) {
        std::fprintf(stderr, "serial_far_end_peer: cannot make the data ports\n");
        return 1;
    }

    kvsim::PtyPeer control;
    std::string pending;
    control.set_recording(false);
    control.set_arrival_handler([&](const kvsim::Arrival& arrival) {
        pending.append(arrival.bytes.begin(), arrival.bytes.end());
        std::size_t end = 0;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string request = pending.substr(0, end);
            pending.erase(0, end + 1);
            const std::string reply = answer(*far, request) + "\n";
            control.send(std::vector<std::uint8_t>(reply.begin(), reply.end()));
        }
    });
    if (!control.open()) {
        std::fprintf(stderr, "serial_far_end_peer: cannot make the control port\n");
        return 1;
    }

    std::string links = std::to_string(kvtest::kDataComNumber[0]) + "=" + far->port_path(0) + " " +
                        std::to_string(kvtest::kDataComNumber[1]) + "=" + far->port_path(1) + " " +
                        std::to_string(kvtest::kControlComNumber) + "=" + control.slave_path();
    if (const char* more = std::getenv("KV_COM_LINKS"); more != nullptr && more[0] != '\0') {
        links = std::string(more) + " " + links;
    }
    setenv("KV_COM_LINKS", links.c_str(), 1);

    struct sigaction action {};
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    pid_t child = 0;
    if (posix_spawnp(&child, argv[1], nullptr, nullptr, argv + 1, environ) != 0) {
        std::fprintf(stderr, "serial_far_end_peer: cannot run %s\n", argv[1]);
        return 1;
    }
    g_child = child;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    g_child = 0;
    control.close();
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
