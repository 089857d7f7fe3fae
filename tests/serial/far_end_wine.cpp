#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/serial/far_end.h"
#include "tests/serial/far_end_protocol.h"

namespace kvtest {
namespace {

std::string com_path(int number)
{
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\COM%i", number);
    return path;
}

class WineFarEnd final : public FarEnd {
public:
    WineFarEnd()
    {
        control_ = CreateFileA(com_path(kControlComNumber).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (control_ == INVALID_HANDLE_VALUE) {
            return;
        }
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = 10000; // the longest TAKE a test asks for, and more
        t.WriteTotalTimeoutConstant = 2000;
        ready_ = SetCommTimeouts(control_, &t) != FALSE;
    }

    ~WineFarEnd() override
    {
        if (control_ != INVALID_HANDLE_VALUE) {
            CloseHandle(control_);
        }
    }

    bool ready() const override { return ready_; }
    std::string port_path(int port) const override { return com_path(kDataComNumber[port]); }
    std::string missing_port_path() const override { return "\\\\.\\COM0"; }
    std::string non_serial_path() const override { return "NUL"; }
    bool under_wine() const override
    {
        const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }

    FarLine line(int port) override
    {
        FarLine result;
        const std::string answer = request("LINE " + std::to_string(port));
        unsigned speed = 0;
        int eight = 0, parity = 0, two = 0, flow = 0, canonical = 0;
        if (std::sscanf(answer.c_str(), "OK %u %i %i %i %i %i", &speed, &eight, &parity, &two, &flow,
                        &canonical) == 6) {
            result.canonical = canonical != 0;
            result.speed = speed;
            result.eight_bits = eight != 0;
            result.parity = parity != 0;
            result.two_stop_bits = two != 0;
            result.hardware_flow = flow != 0;
            result.valid = true;
        }
        return result;
    }

    bool set_two_stop_bits(int port, bool on) override
    {
        return request("STOP " + std::to_string(port) + (on ? " 1" : " 0")) == "OK";
    }

    bool set_canonical(int port, bool on) override
    {
        return request("CANON " + std::to_string(port) + (on ? " 1" : " 0")) == "OK";
    }

    bool set_speed(int port, std::uint32_t bits_per_second) override
    {
        return request("SPEED " + std::to_string(port) + " " + std::to_string(bits_per_second)) == "OK";
    }

    bool send(int port, const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds delay) override
    {
        return request("SEND " + std::to_string(port) + " " + std::to_string(delay.count()) + " " +
                       to_hex(bytes)) == "OK";
    }

    std::vector<std::uint8_t> take_received(int port, std::size_t count,
                                            std::chrono::milliseconds timeout) override
    {
        const std::string answer = request("TAKE " + std::to_string(port) + " " + std::to_string(count) +
                                           " " + std::to_string(timeout.count()));
        if (answer.rfind("OK", 0) != 0) {
            return {};
        }
        std::vector<std::uint8_t> bytes;
        from_hex(answer.size() > 3 ? answer.substr(3) : std::string(), bytes);
        return bytes;
    }

    void reset(int port) override { request("RESET " + std::to_string(port)); }

private:
    std::string request(const std::string& line)
    {
        if (!ready_) {
            return {};
        }
        const std::string out = line + "\n";
        DWORD written = 0;
        if (!WriteFile(control_, out.data(), static_cast<DWORD>(out.size()), &written, nullptr) ||
            written != out.size()) {
            return {};
        }
        std::string answer;
        for (;;) {
            char c = 0;
            DWORD got = 0;
            if (!ReadFile(control_, &c, 1, &got, nullptr) || got != 1) {
                return {}; // the far end did not answer in time
            }
            if (c == '\n') {
                return answer;
            }
            answer += c;
        }
    }

    HANDLE control_ = INVALID_HANDLE_VALUE;
    bool ready_ = false;
};

} // namespace

std::unique_ptr<FarEnd> make_far_end() { return std::make_unique<WineFarEnd>(); }

} // namespace kvtest
