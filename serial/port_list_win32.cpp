// The port list of Windows: the SERIALCOMM map of the registry, which every serial driver is
// meant to fill, and the device instances of the COM port interface from SetupAPI, which say
// what sits behind each port (USB ids, driver, Bluetooth, an FTDI adapter's latency timer).
#include <windows.h>

#include <setupapi.h>

#include "serial/port_list.h"

namespace {

// GUID_DEVINTERFACE_COMPORT, spelt out so that no GUID library has to be linked.
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

constexpr DWORD kTextLimit = 512;

std::string RegistryText(HKEY key, const char* name)
{
    char buffer[kTextLimit] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    buffer[size < sizeof buffer ? size : sizeof buffer - 1] = '\0';
    return buffer;
}

std::optional<std::uint32_t> RegistryNumber(HKEY key, const char* name)
{
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

std::vector<SerialCommEntry> ReadSerialComm()
{
    std::vector<SerialCommEntry> entries;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return entries;
    for (DWORD index = 0;; ++index) {
        char name[kTextLimit] = {};
        char data[kTextLimit] = {};
        DWORD name_size = sizeof name;
        DWORD data_size = sizeof data - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, name, &name_size, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &data_size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue; // a value too long for the buffers is no port name
        data[data_size < sizeof data ? data_size : sizeof data - 1] = '\0';
        entries.push_back({name, data});
    }
    RegCloseKey(key);
    return entries;
}

std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property)
{
    char buffer[kTextLimit] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - 2, nullptr))
        return {};
    return buffer; // a REG_MULTI_SZ reads as its first string
}

std::vector<ComDeviceRecord> ReadComDevices()
{
    std::vector<ComDeviceRecord> records;
    const HDEVINFO set =
        SetupDiGetClassDevsA(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return records;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        ComDeviceRecord record;
        char instance[kTextLimit] = {};
        if (SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr))
            record.instance_id = instance;
        record.hardware_id = DeviceProperty(set, device, SPDRP_HARDWAREID);
        record.service = DeviceProperty(set, device, SPDRP_SERVICE);
        // The instance's "Device Parameters" key.
        const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            record.port = RegistryText(key, "PortName");
            record.latency_timer_ms = RegistryNumber(key, "LatencyTimer");
            RegCloseKey(key);
        }
        if (!record.port.empty())
            records.push_back(std::move(record));
    }
    SetupDiDestroyDeviceInfoList(set);
    return records;
}

// What COMn stands for (\Device\Serial0, \Device\USBSER000), or empty when there is no such
// port: another adapter plugged in under the same name usually stands for another device
// object. Wine links its COM ports outside the device names, so a name the system does not list
// is opened without any access to see whether it is there (nothing is sent, and on Windows only
// names of absent ports get this far).
std::string ComPortTarget(std::uint32_t n)
{
    const std::string name = ComName(n);
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

class SystemPortInventory final : public PortInventory {
public:
    std::vector<PortInfo> ListPorts() const override { return ::ListPorts(); }
};

} // namespace

std::vector<PortInfo> ListPorts(const PortRoots&)
{
    return MergeComPorts(ReadSerialComm(), ReadComDevices());
}

const char* CandidatePortPatternsText() { return "COM ports"; }

std::vector<std::string> PresentPorts(const std::vector<PortInfo>&)
{
    std::vector<std::string> ports;
    for (const std::uint32_t n : ComCandidates(kFirstListedComNumber)) {
        if (!ComPortTarget(n).empty())
            ports.push_back(ComName(n));
    }
    return ports;
}

std::string PortNodeKey(const std::string& device_path)
{
    const std::optional<std::uint32_t> n = ComNumberOf(device_path);
    return n ? ComName(*n) : device_path;
}

std::string PortIdentity(const std::string& device_path)
{
    const std::optional<std::uint32_t> n = ComNumberOf(device_path);
    return n ? ComPortTarget(*n) : std::string();
}

std::unique_ptr<PortInventory> MakePortInventory(PortRoots)
{
    return std::make_unique<SystemPortInventory>();
}

LatencyAdvice PlatformLatencyAdvice() { return LatencyAdvice::device_manager; }
