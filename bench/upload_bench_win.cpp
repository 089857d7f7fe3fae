// Upload benchmark of the Windows build: uploads a package to a device on a COM port in rounds,
// each round once without a log and twice with the diagnostic log as the program keeps it (in
// memory, its window closed, then open and following). Prints each time and what the log costs. Meant to run
// under Wine against the simulated device (bench/upload_bench_wine.sh); not a test, it only measures.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/log_window.h"
#include "app/log_window_win32.h"
#include "device/device_connection.h"
#include "device/result.h"
#include "log/log_buffer.h"
#include "package/upload.h"

namespace {

using Clock = std::chrono::steady_clock;

// Uploads on a worker while this thread handles the windows' messages, as the dialog's does.
double TimedUpload(DeviceConnection& connection, const char* package, std::int32_t* result)
{
    std::atomic<bool> done{false};
    const auto start = Clock::now();
    std::thread worker([&] {
        *result = UploadFirmware(connection, package, nullptr);
        done = true;
    });
    while (!done) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    worker.join();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const char* port = "\\\\.\\COM3";
    const char* package = nullptr;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port = argv[++i];
        else if (std::strcmp(argv[i], "--package") == 0 && i + 1 < argc)
            package = argv[++i];
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else
            package = nullptr, rounds = 0;
    }
    if (package == nullptr || rounds < 1) {
        std::fprintf(stderr, "usage: upload_bench_win --package PATH [--port \\\\.\\COMn] [--rounds N]\n");
        return 2;
    }

    DeviceConnection connection;
    if (connection.OpenPort(port) != KV_S_OK) {
        std::fprintf(stderr, "cannot open %s\n", port);
        return 1;
    }
    connection.hardware_info.protocol_generation = 1;
    connection.hardware_letter = 'A';

    LogBuffer buffer;
    LogSink sink{&buffer};
    LogWindow log_window(buffer);
    Win32LogWindowView view(log_window);
    log_window.OnOpen(view);
    if (!log_window.visible()) {
        std::fprintf(stderr, "no log window\n");
        return 1;
    }
    struct Mode {
        const char* name;
        LogSink* sink;
        bool window_open;
        std::vector<double> times;
    };
    std::vector<Mode> modes = {{"no log", nullptr, false, {}},
                               {"log, window closed", &sink, false, {}},
                               {"log, window open", &sink, true, {}}};
    for (int round = 1; round <= rounds; ++round) {
        for (Mode& mode : modes) {
            if (mode.window_open)
                log_window.OnOpen(view);
            else
                log_window.OnClose();
            AttachDiagnosticLog(connection, mode.sink);
            std::int32_t result = 0;
            mode.times.push_back(TimedUpload(connection, package, &result));
            std::printf("round %d %-18s %.3f s, result %d (%s)\n", round, mode.name, mode.times.back(),
                        result, result_name(result));
            std::fflush(stdout);
            if (result != KV_S_OK)
                return 1;
        }
    }
    const double without = Median(modes[0].times);
    std::printf("median without log: %.3f s\n", without);
    for (std::size_t i = 1; i < modes.size(); ++i)
        std::printf("median %s: %.3f s  ratio %.4f\n", modes[i].name, Median(modes[i].times),
                    Median(modes[i].times) / without);
    std::printf("log kept: %zu bytes\n", buffer.text_length());
    AttachDiagnosticLog(connection, nullptr);
    return 0;
}
