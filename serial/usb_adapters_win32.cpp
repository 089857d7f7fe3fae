// The adapter facts of Windows: every present device of the USB and FTDIBUS enumerators with its
// ids, driver service, the configuration manager's problem code and its port name. SetupAPI is
// delay-loaded (the configuration-manager call is one of its exports too), so a search that finds
// its device never loads it.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include "serial/usb_adapters.h"

namespace {

constexpr DWORD kTextLimit = 1024;

std::string Utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

// A text or multi-text property; a multi-text one gives each of its strings.
std::vector<std::string> DeviceTexts(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property)
{
    wchar_t buffer[kTextLimit] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - 2 * sizeof(wchar_t), nullptr))
        return {};
    std::vector<std::string> texts;
    for (const wchar_t* at = buffer; *at != L'\0' && at < buffer + kTextLimit; at += wcslen(at) + 1) {
        texts.push_back(Utf8(at));
        if (type != REG_MULTI_SZ)
            break;
    }
    return texts;
}

std::string DeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property)
{
    const std::vector<std::string> texts = DeviceTexts(set, device, property);
    return texts.empty() ? std::string() : texts.front();
}

std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    wchar_t buffer[256] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer - sizeof(wchar_t);
    std::string port;
    if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        port = Utf8(buffer);
    RegCloseKey(key);
    return port;
}

void ReadEnumerator(const wchar_t* enumerator, std::vector<UsbDeviceRecord>& records)
{
    const HDEVINFO set = SetupDiGetClassDevsW(nullptr, enumerator, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        UsbDeviceRecord record;
        wchar_t instance[kTextLimit] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &device, instance, kTextLimit, nullptr))
            record.instance_id = Utf8(instance);
        record.hardware_id = DeviceText(set, device, SPDRP_HARDWAREID);
        record.compatible_ids = DeviceTexts(set, device, SPDRP_COMPATIBLEIDS);
        record.description = DeviceText(set, device, SPDRP_FRIENDLYNAME);
        if (record.description.empty())
            record.description = DeviceText(set, device, SPDRP_DEVICEDESC);
        record.service = DeviceText(set, device, SPDRP_SERVICE);
        ULONG status = 0;
        ULONG problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
            (status & DN_HAS_PROBLEM) != 0)
            record.problem_code = problem;
        record.port = PortNameOf(set, device);
        records.push_back(std::move(record));
    }
    SetupDiDestroyDeviceInfoList(set);
}

class SetupApiDeviceSource final : public UsbDeviceSource {
public:
    std::vector<UsbDeviceRecord> UsbDevices() const override
    {
        std::vector<UsbDeviceRecord> records;
        ReadEnumerator(L"USB", records);
        ReadEnumerator(L"FTDIBUS", records);
        return records;
    }

    // An x64 program runs emulated on Windows on ARM; only IsWow64Process2 (Windows 10 1709 on)
    // tells the machine underneath.
    bool Arm64Host() const override
    {
        using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
        const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        const auto query = kernel != nullptr ? reinterpret_cast<IsWow64Process2Fn>(reinterpret_cast<void*>(
                                                   GetProcAddress(kernel, "IsWow64Process2")))
                                             : nullptr;
        USHORT process = 0;
        USHORT native = 0;
        constexpr USHORT kMachineArm64 = 0xAA64; // IMAGE_FILE_MACHINE_ARM64
        return query != nullptr && query(GetCurrentProcess(), &process, &native) && native == kMachineArm64;
    }
};

} // namespace

std::unique_ptr<AdapterInventory> MakeAdapterInventory(PortRoots)
{
    return MakeWindowsAdapterInventory(std::make_unique<SetupApiDeviceSource>());
}
