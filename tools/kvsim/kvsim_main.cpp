// kvsim: a simulated device on a pseudo-terminal, for end-to-end runs of the program.
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/kvsim/sim_device.h"

namespace {

const char kUsage[] =
    "usage: kvsim [--link PATH] [options]\n"
    "Creates a pseudo-terminal, links PATH to its slave (replacing an existing link), prints the\n"
    "slave path and then \"ready\" on stdout, and answers as a device until SIGTERM or SIGINT;\n"
    "then removes the link. After a reconnect it prints \"reconnected SLAVE\".\n"
    "Byte values (B) are one character or 0xNN; numbers (N) are decimal or 0x hex.\n"
    "Identity:\n"
    "  --letter B              hardware letter of the version reply (default A)\n"
    "  --version M.N           firmware version (default 2.20)\n"
    "  --eeprom-id B           EEPROM byte 1, the device id (default A)\n"
    "  --interface B           EEPROM byte 4, the interface letter (default U)\n"
    "  --mode N                EEPROM byte 0x100, Wayfarer mode\n"
    "  --wayfarer-bank N       EEPROM byte 0x101, Wayfarer bank\n"
    "  --eeprom ADDR=B         any EEPROM byte, ADDR below 0x200 (repeatable)\n"
    "  --bank N                active emulation bank (default 0)\n"
    "  --rw-bank N             R/W window bank (default 0)\n"
    "  --flash-info HEX        16 bytes as 32 hex digits\n"
    "  --serial HEX            9 serial bytes as 18 hex digits\n"
    "  --serial-trailer B      byte after the serial (default 0)\n"
    "Link:\n"
    "  --speeds N,N,...        speeds it answers at (default 115200)\n"
    "  --no-speed-change       answer speed requests with '?'\n"
    "  --pacing                pace bytes as a real line at the speed in force would\n"
    "Faults:\n"
    "  --fault CMD:KIND[:ARG[:COUNT]]  CMD a request's first byte (V S H E B D N f) or any;\n"
    "                          KIND silence|short|bad-checksum|echo|question|delay|disconnect;\n"
    "                          ARG bytes for short, ms for delay; COUNT times (default every time)\n"
    "  --unknown-answer B|none answer to an unknown request (default ?)\n"
    "  --reconnect-after MS    after a disconnect, come back on a new pair after MS ms\n"
    "Upload:\n"
    "  --final-status B        final status byte (default C)\n"
    "  --swap-after MS         MS after the first completed upload another unit stands on the same\n"
    "                          line: the first version again, and the serial of --swap-serial\n"
    "  --swap-serial HEX       that unit's 9 serial bytes\n"
    "  --bad-trailer-status B  final status when the image trailer fails (default: --final-status)\n"
    "  --final-status-delay MS pause before the final status\n"
    "  --new-version M.N       version reported after a successful upload\n"
    "  --answer-delay-after-upload MS  every answer after a completed upload comes MS ms late\n"
    "  --chunk-answer K=B      answer B to chunk K (0-based) instead of O (repeatable)\n"
    "  --disconnect-at-chunk K go away instead of answering chunk K\n"
    "  --silent-at-chunk K     never answer chunk K\n"
    "  --silent-after-command  never answer the upload command\n"
    "  --silent-before-final   acknowledge every chunk, never send the final status\n"
    "Output:\n"
    "  --frames-log FILE       one line per received frame: seconds speed ok|ignored size: hex\n"
    "  --image-out FILE        the received image, rewritten after each completed upload\n"
    "  --help                  this text\n";

bool ParseNumber(const char* text, unsigned long max, unsigned long* out)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

bool ParseByte(const char* text, std::uint8_t* out)
{
    if (text == nullptr)
        return false;
    if (std::strlen(text) == 1) {
        *out = static_cast<std::uint8_t>(text[0]);
        return true;
    }
    unsigned long v = 0;
    if (std::strncmp(text, "0x", 2) != 0 || !ParseNumber(text, 0xFF, &v))
        return false;
    *out = static_cast<std::uint8_t>(v);
    return true;
}

bool ParseVersion(const char* text, std::uint8_t* major, std::uint8_t* minor)
{
    const char* dot = text ? std::strchr(text, '.') : nullptr;
    if (dot == nullptr)
        return false;
    const std::string a(text, dot);
    unsigned long m = 0, n = 0;
    if (a.find_first_not_of("0123456789") != std::string::npos ||
        std::strspn(dot + 1, "0123456789") != std::strlen(dot + 1))
        return false;
    if (!ParseNumber(a.c_str(), 255, &m) || !ParseNumber(dot + 1, 255, &n))
        return false;
    *major = static_cast<std::uint8_t>(m);
    *minor = static_cast<std::uint8_t>(n);
    return true;
}

template <std::size_t N>
bool ParseHex(const char* text, std::array<std::uint8_t, N>* out)
{
    if (text == nullptr || std::strlen(text) != 2 * N)
        return false;
    for (std::size_t i = 0; i < N; ++i) {
        char pair[3] = {text[2 * i], text[2 * i + 1], 0};
        char* end = nullptr;
        if (std::strspn(pair, "0123456789abcdefABCDEF") != 2)
            return false;
        (*out)[i] = static_cast<std::uint8_t>(std::strtoul(pair, &end, 16));
    }
    return true;
}

// "K=B" or "ADDR=B".
bool ParseAssignment(const char* text, unsigned long max_key, unsigned long* key, std::uint8_t* value)
{
    const char* eq = text ? std::strchr(text, '=') : nullptr;
    if (eq == nullptr)
        return false;
    const std::string k(text, eq);
    return ParseNumber(k.c_str(), max_key, key) && ParseByte(eq + 1, value);
}

bool ParseFault(const char* text, kvsim::FaultRule* rule)
{
    std::string s = text ? text : "";
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = s.find(':', start);
        parts.push_back(s.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 4)
        return false;
    if (parts[0] == "any")
        rule->command = 0;
    else if (parts[0].size() == 1)
        rule->command = static_cast<std::uint8_t>(parts[0][0]);
    else
        return false;
    static const std::pair<const char*, kvsim::Fault> kinds[] = {
        {"silence", kvsim::Fault::silence},           {"short", kvsim::Fault::short_reply},
        {"bad-checksum", kvsim::Fault::bad_checksum}, {"echo", kvsim::Fault::echo},
        {"question", kvsim::Fault::question},         {"delay", kvsim::Fault::delay},
        {"disconnect", kvsim::Fault::disconnect}};
    rule->fault = kvsim::Fault::none;
    for (const auto& [name, kind] : kinds)
        if (parts[1] == name)
            rule->fault = kind;
    if (rule->fault == kvsim::Fault::none)
        return false;
    unsigned long v = 0;
    if (parts.size() > 2) {
        if (!ParseNumber(parts[2].c_str(), 600000, &v))
            return false;
        rule->fault_arg = static_cast<int>(v);
    }
    if (parts.size() > 3) {
        if (!ParseNumber(parts[3].c_str(), 1000000, &v))
            return false;
        rule->count = static_cast<int>(v);
    }
    return true;
}

int Fail(const std::string& what, const char* value)
{
    std::fprintf(stderr, "kvsim: bad %s '%s' (see --help)\n", what.c_str(), value ? value : "");
    return 2;
}

std::mutex g_out_mutex;
std::FILE* g_frames_log = nullptr;
std::chrono::steady_clock::time_point g_start;

void LogFrame(const kvsim::Frame& f)
{
    if (g_frames_log == nullptr)
        return;
    std::lock_guard lock(g_out_mutex);
    const double t = std::chrono::duration<double>(f.when - g_start).count();
    std::fprintf(g_frames_log, "%.3f %u %s %zu:", t, f.baud, f.ignored ? "ignored" : "ok", f.bytes.size());
    for (std::uint8_t b : f.bytes)
        std::fprintf(g_frames_log, " %02X", b);
    std::fputc('\n', g_frames_log);
    std::fflush(g_frames_log);
}

} // namespace

int main(int argc, char** argv)
{
    kvsim::DeviceConfig config;
    std::string link;
    std::string frames_log;
    std::string image_out;
    int swap_after_ms = -1;
    std::array<std::uint8_t, 9> swapped_serial{};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        std::uint8_t b = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--no-speed-change") {
            config.accepts_speed_change = false;
            continue;
        }
        if (arg == "--pacing") {
            config.wire_pacing = true;
            continue;
        }
        if (arg == "--silent-after-command") {
            config.silent_after_command = true;
            continue;
        }
        if (arg == "--silent-before-final") {
            config.silent_before_final = true;
            continue;
        }
        if (v == nullptr)
            return Fail("option (or missing value)", arg.c_str());
        ++i;
        if (arg == "--link") {
            link = v;
        } else if (arg == "--letter") {
            if (!ParseByte(v, &config.hardware_letter))
                return Fail(arg, v);
        } else if (arg == "--version") {
            if (!ParseVersion(v, &config.firmware_major, &config.firmware_minor))
                return Fail(arg, v);
        } else if (arg == "--new-version") {
            if (!ParseVersion(v, &config.new_major, &config.new_minor))
                return Fail(arg, v);
        } else if (arg == "--eeprom-id") {
            if (!ParseByte(v, &config.eeprom[kvsim::kEepromDeviceId]))
                return Fail(arg, v);
        } else if (arg == "--interface") {
            if (!ParseByte(v, &config.eeprom[kvsim::kEepromInterface]))
                return Fail(arg, v);
        } else if (arg == "--mode") {
            if (!ParseNumber(v, 255, &n))
                return Fail(arg, v);
            config.eeprom[kvsim::kEepromWayfarerMode] = static_cast<std::uint8_t>(n);
        } else if (arg == "--wayfarer-bank") {
            if (!ParseNumber(v, 255, &n))
                return Fail(arg, v);
            config.eeprom[kvsim::kEepromWayfarerBank] = static_cast<std::uint8_t>(n);
        } else if (arg == "--eeprom") {
            if (!ParseAssignment(v, config.eeprom.size() - 1, &n, &b))
                return Fail(arg, v);
            config.eeprom[n] = b;
        } else if (arg == "--bank") {
            if (!ParseNumber(v, 255, &n))
                return Fail(arg, v);
            config.active_bank = static_cast<std::uint8_t>(n);
        } else if (arg == "--rw-bank") {
            if (!ParseNumber(v, 255, &n))
                return Fail(arg, v);
            config.rw_bank = static_cast<std::uint8_t>(n);
        } else if (arg == "--flash-info") {
            if (!ParseHex(v, &config.flash_info))
                return Fail(arg, v);
        } else if (arg == "--serial") {
            if (!ParseHex(v, &config.serial))
                return Fail(arg, v);
        } else if (arg == "--swap-serial") {
            if (!ParseHex(v, &swapped_serial))
                return Fail(arg, v);
        } else if (arg == "--swap-after") {
            if (!ParseNumber(v, 600000, &n))
                return Fail(arg, v);
            swap_after_ms = static_cast<int>(n);
        } else if (arg == "--serial-trailer") {
            if (!ParseByte(v, &config.serial_trailer))
                return Fail(arg, v);
        } else if (arg == "--speeds") {
            config.speeds.clear();
            std::string list = v;
            std::size_t start = 0;
            for (;;) {
                const std::size_t comma = list.find(',', start);
                const std::string item =
                    list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (!ParseNumber(item.c_str(), 4000000, &n) || n == 0)
                    return Fail(arg, v);
                config.speeds.insert(static_cast<std::uint32_t>(n));
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (arg == "--fault") {
            kvsim::FaultRule rule;
            if (!ParseFault(v, &rule))
                return Fail(arg, v);
            config.faults.push_back(rule);
        } else if (arg == "--unknown-answer") {
            if (std::strcmp(v, "none") == 0)
                config.unknown_answer = -1;
            else if (ParseByte(v, &b))
                config.unknown_answer = b;
            else
                return Fail(arg, v);
        } else if (arg == "--reconnect-after") {
            if (!ParseNumber(v, 600000, &n))
                return Fail(arg, v);
            config.reconnect_after_ms = static_cast<int>(n);
        } else if (arg == "--final-status") {
            if (!ParseByte(v, &config.final_status))
                return Fail(arg, v);
        } else if (arg == "--bad-trailer-status") {
            if (!ParseByte(v, &b))
                return Fail(arg, v);
            config.bad_trailer_status = b;
        } else if (arg == "--final-status-delay") {
            if (!ParseNumber(v, 600000, &n))
                return Fail(arg, v);
            config.final_status_delay_ms = static_cast<int>(n);
        } else if (arg == "--answer-delay-after-upload") {
            if (!ParseNumber(v, 600000, &n))
                return Fail(arg, v);
            config.answer_delay_after_upload_ms = static_cast<int>(n);
        } else if (arg == "--chunk-answer") {
            if (!ParseAssignment(v, 65535, &n, &b))
                return Fail(arg, v);
            config.chunk_answers[static_cast<int>(n)] = b;
        } else if (arg == "--disconnect-at-chunk") {
            if (!ParseNumber(v, 65535, &n))
                return Fail(arg, v);
            config.disconnect_at_chunk = static_cast<int>(n);
        } else if (arg == "--silent-at-chunk") {
            if (!ParseNumber(v, 65535, &n))
                return Fail(arg, v);
            config.silent_at_chunk = static_cast<int>(n);
        } else if (arg == "--frames-log") {
            frames_log = v;
        } else if (arg == "--image-out") {
            image_out = v;
        } else {
            return Fail("option", arg.c_str());
        }
    }

    if (!frames_log.empty()) {
        g_frames_log = std::fopen(frames_log.c_str(), "w");
        if (g_frames_log == nullptr)
            return Fail("--frames-log (cannot write)", frames_log.c_str());
    }
    g_start = std::chrono::steady_clock::now();

    // Signals are taken by sigwait below; every thread started from here inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    kvsim::SimDevice device(config);
    int last_upload_written = 0;
    device.set_frame_observer([&](const kvsim::Frame& f) {
        LogFrame(f);
        if (image_out.empty())
            return;
        const int done = device.uploads_completed();
        if (done == last_upload_written)
            return;
        last_upload_written = done;
        const auto image = device.received_image();
        if (std::FILE* out = std::fopen(image_out.c_str(), "wb")) {
            std::fwrite(image.data(), 1, image.size(), out);
            std::fclose(out);
        }
    });
    device.set_reconnect_observer([](const std::string& path) {
        std::lock_guard lock(g_out_mutex);
        std::printf("reconnected %s\n", path.c_str());
        std::fflush(stdout);
    });
    if (!device.start()) {
        std::fprintf(stderr, "kvsim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (!link.empty() && !device.link_as(link)) {
        std::fprintf(stderr, "kvsim: cannot link '%s' (an existing file that is not a link is kept)\n",
                     link.c_str());
        return 1;
    }
    {
        std::lock_guard lock(g_out_mutex);
        std::printf("%s\nready\n", device.current_slave_path().c_str());
        std::fflush(stdout);
    }

    // A unit swapped on a line that stays open (the node keeps its numbers).
    std::atomic<bool> stopping{false};
    std::thread swapper;
    if (swap_after_ms >= 0) {
        swapper = std::thread([&] {
            while (!stopping && device.uploads_completed() == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(swap_after_ms);
            while (!stopping && std::chrono::steady_clock::now() < at)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (stopping)
                return;
            kvsim::DeviceConfig other = config;
            other.serial = swapped_serial;
            device.set_config(other);
        });
    }

    int sig = 0;
    sigwait(&signals, &sig);
    stopping = true;
    if (swapper.joinable())
        swapper.join();
    device.stop();
    if (!link.empty()) {
        struct stat st {};
        if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(link.c_str());
    }
    if (g_frames_log != nullptr)
        std::fclose(g_frames_log);
    return 0;
}
