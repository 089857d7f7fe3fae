// The platform-neutral part of the adapter facts: the words for each state and its fix, and the
// Windows listing made from SetupAPI's records (plain data, so it is tested everywhere).
#include "serial/usb_adapters.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

struct KnownChip {
    std::uint16_t vendor_id;
    std::uint16_t product_id;
    const char* name;
};

// The bridges users meet most; others are named by their product string.
constexpr KnownChip kKnownChips[] = {
    {0x1A86, 0x7523, "WCH CH340"},           {0x1A86, 0x5523, "WCH CH341"},
    {0x1A86, 0x55D4, "WCH CH9102"},          {0x1A86, 0x55D3, "WCH CH343"},
    {0x10C4, 0xEA60, "Silicon Labs CP210x"}, {0x10C4, 0xEA70, "Silicon Labs CP2105"},
    {0x10C4, 0xEA71, "Silicon Labs CP2108"}, {0x0403, 0x6001, "FTDI FT232R"},
    {0x0403, 0x6010, "FTDI FT2232"},         {0x0403, 0x6011, "FTDI FT4232"},
    {0x0403, 0x6014, "FTDI FT232H"},         {0x0403, 0x6015, "FTDI FT-X"},
    {0x067B, 0x2303, "Prolific PL2303"},     {0x067B, 0x23A3, "Prolific PL2303GC"},
};

struct BridgeVendor {
    std::uint16_t vendor_id;
    const char* name;
    const char* linux_module; // the kernel's driver for its bridges
};

constexpr BridgeVendor kBridgeVendors[] = {
    {0x0403, "FTDI", "ftdi_sio"},
    {0x10C4, "Silicon Labs", "cp210x"},
    {0x1A86, "WCH", "ch341"},
    {0x067B, "Prolific", "pl2303"},
};

const BridgeVendor* BridgeVendorOf(std::uint16_t vendor_id)
{
    for (const BridgeVendor& vendor : kBridgeVendors)
        if (vendor.vendor_id == vendor_id)
            return &vendor;
    return nullptr;
}

std::string Hex4(std::uint16_t value, bool upper)
{
    char text[8];
    std::snprintf(text, sizeof text, upper ? "%04X" : "%04x", static_cast<unsigned>(value));
    return text;
}

// What the adapter is and its USB ids as this system writes them.
std::string AdapterName(const UsbAdapter& adapter)
{
    std::string name;
    for (const KnownChip& chip : kKnownChips)
        if (chip.vendor_id == adapter.vendor_id && chip.product_id == adapter.product_id)
            name = chip.name;
    if (name.empty())
        name = adapter.product;
    if (name.empty()) {
        const BridgeVendor* vendor = BridgeVendorOf(adapter.vendor_id);
        name = vendor != nullptr ? std::string(vendor->name) + " adapter" : "CDC-ACM device";
    }
    const std::string ids =
        adapter.system == AdapterSystem::windows
            ? "USB\\VID_" + Hex4(adapter.vendor_id, true) + "&PID_" + Hex4(adapter.product_id, true)
            : "USB " + Hex4(adapter.vendor_id, false) + ":" + Hex4(adapter.product_id, false);
    return name + ", " + ids;
}

// The braille daemon claims bridges through usbfs; some systems give its own name as the driver.
bool TakenByBrailleDaemon(const UsbAdapter& adapter)
{
    return adapter.holder.rfind("brltty", 0) == 0 || adapter.driver.rfind("brltty", 0) == 0;
}

std::string ProblemCode(const UsbAdapter& adapter)
{
    return " (problem code " + std::to_string(adapter.problem_code) + ")";
}

std::string HolderText(const UsbAdapter& adapter)
{
    const std::string& program = adapter.holder.empty() ? adapter.driver : adapter.holder;
    return adapter.holder_pid > 0 ? program + ", process " + std::to_string(adapter.holder_pid) : program;
}

std::string DriverMaker(const UsbAdapter& adapter)
{
    const BridgeVendor* vendor = BridgeVendorOf(adapter.vendor_id);
    return vendor != nullptr ? std::string(vendor->name) : "the maker of the adapter's chip";
}

bool EqualNoCase(const std::string& a, const char* b)
{
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

bool IsCdcAcm(const UsbDeviceRecord& record)
{
    for (const std::string& id : record.compatible_ids) {
        // USB\Class_02&SubClass_02, with or without &Prot_xx.
        const std::string prefix = id.substr(0, std::min<std::size_t>(id.size(), 24));
        if (EqualNoCase(prefix, "USB\\Class_02&SubClass_02"))
            return true;
    }
    return false;
}

} // namespace

const char* AdapterStateName(AdapterState state)
{
    switch (state) {
    case AdapterState::port: return "port";
    case AdapterState::no_driver: return "no_driver";
    case AdapterState::driver_failed: return "driver_failed";
    case AdapterState::driver_blocked: return "driver_blocked";
    case AdapterState::problem: return "problem";
    case AdapterState::claimed: return "claimed";
    case AdapterState::no_port: return "no_port";
    }
    return "unknown";
}

std::string AdapterReason(const UsbAdapter& adapter)
{
    const bool windows = adapter.system == AdapterSystem::windows;
    std::string text = "a USB serial adapter (" + AdapterName(adapter) + ") is plugged in";
    switch (adapter.state) {
    case AdapterState::port: return text + " as " + adapter.port;
    case AdapterState::no_driver: return text + " but has no driver" + (windows ? ProblemCode(adapter) : "");
    case AdapterState::driver_failed: return text + " but its driver cannot start it" + ProblemCode(adapter);
    case AdapterState::driver_blocked: return text + " but Windows blocked its driver" + ProblemCode(adapter);
    case AdapterState::problem: return text + " but does not work" + ProblemCode(adapter);
    case AdapterState::claimed:
        if (TakenByBrailleDaemon(adapter))
            return text + " but the braille display daemon (" + HolderText(adapter) + ") took it";
        if (!adapter.holder.empty())
            return text + " but another program (" + HolderText(adapter) + ") took it";
        if (adapter.driver == "usbfs")
            return text + " but another program took it";
        return text + " but the driver " + adapter.driver + " took it";
    case AdapterState::no_port:
        return text + " and the driver " + adapter.driver + " has it, but it has no serial port";
    }
    return text;
}

std::string AdapterFix(const UsbAdapter& adapter)
{
    const std::string again = ", then plug the adapter in again.";
    if (adapter.system == AdapterSystem::windows) {
        switch (adapter.state) {
        case AdapterState::port: return {};
        case AdapterState::no_driver:
            if (adapter.arm64_host)
                return "Windows on ARM has no driver for many adapter chips: install an ARM64 driver from " +
                       DriverMaker(adapter) + " if there is one, or use an adapter whose chip has one" +
                       again;
            return "Install the adapter's driver (from " + DriverMaker(adapter) +
                   "; Windows Update may offer it too)" + again;
        case AdapterState::driver_failed:
            return "Install a driver version that supports this chip (clone chips and some driver versions "
                   "do "
                   "not go together; try the current and an older version from " +
                   DriverMaker(adapter) + ")" + again;
        case AdapterState::driver_blocked:
            return "Install a current signed driver from " + DriverMaker(adapter) +
                   " (Memory Integrity under Core isolation blocks drivers not made for it, and unsigned "
                   "drivers are refused)" +
                   again;
        case AdapterState::problem:
        case AdapterState::claimed:
        case AdapterState::no_port:
            return "Look at the adapter in Device Manager and reinstall its driver" + again;
        }
        return {};
    }
    switch (adapter.state) {
    case AdapterState::port: return {};
    case AdapterState::no_driver: {
        const BridgeVendor* vendor = BridgeVendorOf(adapter.vendor_id);
        return std::string("Load the kernel's driver for it (as root: modprobe ") +
               (vendor != nullptr ? vendor->linux_module : "cdc_acm") + ")" + again;
    }
    case AdapterState::claimed:
        if (TakenByBrailleDaemon(adapter))
            return "The braille display daemon takes serial adapters as they are plugged in. Without a "
                   "braille "
                   "display, stop it doing so (as root: systemctl mask brltty-udev.service && systemctl stop "
                   "brltty.service, or remove the brltty package)" +
                   again;
        if (!adapter.holder.empty())
            return "Close " + HolderText(adapter) + again;
        if (adapter.driver == "usbfs")
            return "Close the program that uses the adapter directly" + again;
        return "Unload the driver " + adapter.driver + " (as root: modprobe -r " + adapter.driver + ")" +
               again;
    case AdapterState::no_port:
    case AdapterState::driver_failed:
    case AdapterState::driver_blocked:
    case AdapterState::problem: return "Unplug the adapter and plug it in again.";
    }
    return {};
}

std::string HoldersText(const std::vector<PortHolder>& holders)
{
    std::string text;
    for (const PortHolder& holder : holders)
        text += (text.empty() ? "" : "; ") + holder.program + ", process " + std::to_string(holder.pid);
    return text;
}

std::string ModemManagerNote(const std::string& port, std::optional<std::uint16_t> vendor_id,
                             std::optional<std::uint16_t> product_id)
{
    std::string text = "ModemManager is running and may open " + port +
                       " to send modem commands to the device, which disturbs an update if it comes in the "
                       "middle; to make it leave the device alone, give the device the udev property "
                       "ID_MM_DEVICE_IGNORE=1";
    if (vendor_id && product_id)
        text += " (as root, a file in /etc/udev/rules.d holding the line: ATTRS{idVendor}==\"" +
                Hex4(*vendor_id, false) + "\", ATTRS{idProduct}==\"" + Hex4(*product_id, false) +
                "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"; then udevadm control --reload and plug it in again)";
    return text;
}

std::vector<UsbAdapter> AdaptersOfWindowsDevices(const std::vector<UsbDeviceRecord>& records, bool arm64_host)
{
    std::vector<UsbAdapter> adapters;
    for (const UsbDeviceRecord& record : records) {
        std::optional<std::uint16_t> vendor, product;
        for (const std::string* id : {&record.hardware_id, &record.instance_id}) {
            vendor = HexIdAfter(*id, "VID_");
            product = HexIdAfter(*id, "PID_");
            if (vendor && product)
                break;
        }
        if (!vendor || !product || (BridgeVendorOf(*vendor) == nullptr && !IsCdcAcm(record)))
            continue;
        if (record.problem_code == 0 && record.port.empty())
            continue;
        UsbAdapter adapter;
        adapter.system = AdapterSystem::windows;
        adapter.vendor_id = *vendor;
        adapter.product_id = *product;
        adapter.product = record.description;
        adapter.driver = record.service;
        adapter.problem_code = record.problem_code;
        adapter.port = record.port;
        adapter.arm64_host = arm64_host;
        switch (record.problem_code) {
        case 0: adapter.state = AdapterState::port; break;
        case 1:  // not configured
        case 18: // to be reinstalled
        case 28: // no driver installed
            adapter.state = AdapterState::no_driver;
            break;
        case 10: // cannot start
        case 43: // stopped after reporting a problem
            adapter.state = AdapterState::driver_failed;
            break;
        case 39: // the driver failed to load
        case 52: // the driver's signature was not accepted
            adapter.state = AdapterState::driver_blocked;
            break;
        default: adapter.state = AdapterState::problem; break;
        }
        // A device with a problem keeps its port name from when it worked; it has no port now.
        if (adapter.state != AdapterState::port)
            adapter.port.clear();
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

namespace {

class WindowsAdapterInventory final : public AdapterInventory {
public:
    explicit WindowsAdapterInventory(std::unique_ptr<UsbDeviceSource> source) : source_(std::move(source)) {}

    std::vector<UsbAdapter> Adapters() const override
    {
        return AdaptersOfWindowsDevices(source_->UsbDevices(), source_->Arm64Host());
    }
    // Windows does not tell which program holds a COM port without walking every process's
    // handles, which needs more rights than a user has.
    std::vector<PortHolder> Holders(const std::string&) const override { return {}; }
    bool ModemManagerMayProbe(const std::string&) const override { return false; }

private:
    std::unique_ptr<UsbDeviceSource> source_;
};

} // namespace

std::unique_ptr<AdapterInventory> MakeWindowsAdapterInventory(std::unique_ptr<UsbDeviceSource> source)
{
    return std::make_unique<WindowsAdapterInventory>(std::move(source));
}
