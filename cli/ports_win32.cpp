#include <windows.h>

#include <string>
#include <vector>

#include "cli/platform.h"
#include "serial/port_list.h"
#include "serial/serial_backend.h"

namespace {

// The last number the COM search tries.
constexpr unsigned kLastComPort = 255;

// What COMn stands for (\Device\Serial0, \Device\USBSER000), or empty when there is no such
// port: another adapter plugged in under the same name usually stands for another device
// object. Wine links its COM ports outside the device names, so a name the system does not list
// is opened without any access to see whether it is there (nothing is sent, and on Windows only
// names of absent ports get this far).
std::string ComPortTarget(unsigned n)
{
    const std::string name = "COM" + std::to_string(n);
    char target[1024] = {};
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0)
        return target;
    const HANDLE handle = CreateFileA(("\\\\.\\" + name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return name;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? std::string() : name;
}

} // namespace

const char* PortHelpText()
{
    return "  --port PORT      try only this port (COM3)\n"
           "Without --port the COM ports are searched as the Windows updater does.\n";
}

const char* ProductionLineExample()
{
    return "  korvane-update flash firmware-2.21.qfw --watch --record units.jsonl --port COM3 --port COM4\n";
}

bool UsesComSearch() { return true; }

std::vector<std::string> CandidatePorts() { return {}; }

std::vector<std::string> PortsForAll()
{
    std::vector<std::string> ports;
    for (unsigned n = 1; n <= kLastComPort; ++n) {
        if (!ComPortTarget(n).empty())
            ports.push_back("COM" + std::to_string(n));
    }
    return ports;
}

const char* CandidatePortsText() { return CandidatePortPatternsText(); }

std::string PortIdentity(const std::string& device_path)
{
    const std::optional<std::uint32_t> n = ComNumberOf(device_path);
    return n && *n >= 1 && *n <= kLastComPort ? ComPortTarget(*n) : std::string();
}

std::vector<PortInfo> ListedPorts() { return ListPorts(); }

std::unique_ptr<AdapterInventory> PlatformAdapters() { return MakeAdapterInventory(); }

std::vector<std::string> UnlistedCandidates(const std::vector<PortInfo>& listed)
{
    std::vector<std::string> names;
    for (unsigned n = 1; n <= kLastComPort; ++n) {
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
