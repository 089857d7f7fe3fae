#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cli/platform.h"
#include "serial/port_list.h"
#include "serial/serial_backend.h"

const char* PortHelpText()
{
    return "  --port PORT      try only this port (COM3)\n"
           "Without --port the COM ports are searched as the Windows updater does.\n";
}

bool UsesComSearch() { return true; }

std::vector<std::string> CandidatePorts() { return {}; }

const char* CandidatePortsText() { return CandidatePortPatternsText(); }

namespace {

// The COM numbers the system holds a device name for. Wine's linked ports and some drivers are
// named here without a line in SERIALCOMM.
std::vector<std::uint32_t> NamedComNumbers()
{
    constexpr DWORD kNamesLimit = 1u << 20;
    std::vector<char> names(64 * 1024);
    DWORD length = 0;
    for (;;) {
        length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= kNamesLimit)
            break;
        names.resize(names.size() * 2);
    }
    std::vector<std::uint32_t> numbers;
    const char* end = names.data() + std::min<std::size_t>(length, names.size());
    for (const char* name = names.data(); name < end && *name != '\0';) {
        const std::size_t size = strnlen(name, static_cast<std::size_t>(end - name));
        if (const std::optional<std::uint32_t> n = ComNumberOf(std::string_view(name, size)))
            numbers.push_back(*n);
        name += size + 1;
    }
    return numbers;
}

} // namespace

std::vector<PortInfo> ListedPorts()
{
    std::vector<PortInfo> ports = ListPorts();
    for (const std::uint32_t n : NamedComNumbers()) {
        const std::string name = "COM" + std::to_string(n);
        if (FindPort(ports, name) != nullptr)
            continue;
        PortInfo info;
        info.name = name;
        info.device_path = DevicePathOf(name);
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return ComNumberOf(a.name) < ComNumberOf(b.name); });
    return ports;
}

std::string DevicePathOf(const std::string& port)
{
    const std::optional<std::uint32_t> n = ComNumberOf(port);
    return n ? "\\\\.\\COM" + std::to_string(*n) : port;
}

std::string DescribeOpenFailure(const std::string& port)
{
    const std::string path = DevicePathOf(port);
    const HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return "it cannot be set up as a serial port";
    }
    switch (OpenFailureOfWin32Error(GetLastError())) {
    case OpenFailure::in_use: return "in use by another program";
    case OpenFailure::absent: return "no such port";
    default: return "it cannot be opened";
    }
}
