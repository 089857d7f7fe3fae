#include <windows.h>

#include <string>
#include <vector>

#include "cli/platform.h"
#include "serial/port_list.h"
#include "serial/serial_backend.h"

namespace {

// The last number the COM search tries.
constexpr std::uint32_t kLastComNumber = 255;

} // namespace

const char* PortHelpText()
{
    return "  --port PORT      try only this port (COM3)\n"
           "Without --port the COM ports are searched as the Windows updater does.\n";
}

bool UsesComSearch() { return true; }

std::vector<std::string> CandidatePorts() { return {}; }

const char* CandidatePortsText() { return CandidatePortPatternsText(); }

std::vector<PortInfo> ListedPorts() { return ListPorts(); }

std::vector<std::string> UnlistedCandidates(const std::vector<PortInfo>& listed)
{
    std::vector<std::string> names;
    for (std::uint32_t n = 1; n <= kLastComNumber; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (FindPort(listed, name) == nullptr)
            names.push_back(name);
    }
    return names;
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
