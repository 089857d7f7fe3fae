// The adapter facts of Linux: the USB devices in sysfs as the kernel lays them out, the open file
// descriptors in /proc, and udev's database. Elsewhere the folders are absent and nothing is found.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "serial/port_path_posix.h"
#include "serial/usb_adapters.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t kBridgeVendors[] = {0x0403, 0x10C4, 0x1A86, 0x067B};
constexpr std::uint32_t kVendorSpecificClass = 0xFF;
constexpr std::uint32_t kCommunicationsClass = 0x02;
constexpr std::uint32_t kAbstractControlSubclass = 0x02;

// Drivers that make a tty of what they take; one of them without a tty child is a port still (or
// no longer) being set up.
constexpr const char* kSerialDrivers[] = {"ftdi_sio",          "cp210x",    "ch341",     "pl2303", "cdc_acm",
                                          "usbserial_generic", "usb_ch341", "usb_ch343", "ch343"};

std::vector<std::string> Entries(const fs::path& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool IsTtyName(const std::string& name)
{
    return (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) && name.size() > 6;
}

// The tty the interface was made into: a usb-serial driver's port is a child of the interface,
// cdc_acm's lies one level further down, below tty/.
std::string TtyOf(const fs::path& interface)
{
    for (const fs::path& dir : {interface, interface / "tty"})
        for (const std::string& name : Entries(dir))
            if (IsTtyName(name))
                return name;
    return {};
}

std::string DriverOf(const fs::path& interface)
{
    std::error_code error;
    const fs::path driver = fs::read_symlink(interface / "driver", error);
    return error ? std::string() : driver.filename().string();
}

bool IsPid(const std::string& name)
{
    return !name.empty() && std::all_of(name.begin(), name.end(),
                                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The processes with a descriptor open on the same file as `node`, compared by device and inode
// through the links, so a node reached by another name still matches. Processes of other users
// are skipped where the system hides their descriptors.
std::vector<PortHolder> ProcessesHolding(const std::string& node, const fs::path& proc)
{
    std::vector<PortHolder> holders;
    struct stat target {};
    if (::stat(node.c_str(), &target) != 0)
        return holders;
    const int self = static_cast<int>(::getpid());
    for (const std::string& name : Entries(proc)) {
        if (!IsPid(name) || name.size() > 9 || std::stoi(name) == self)
            continue;
        const fs::path fd_dir = proc / name / "fd";
        for (const std::string& fd : Entries(fd_dir)) {
            struct stat st {};
            if (::stat((fd_dir / fd).c_str(), &st) != 0 || st.st_dev != target.st_dev ||
                st.st_ino != target.st_ino)
                continue;
            holders.push_back({std::stoi(name), ReadAttribute(proc / name / "comm").value_or("?")});
            break;
        }
    }
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return holders;
}

bool ProcessRuns(const fs::path& proc, const std::string& program)
{
    for (const std::string& name : Entries(proc))
        if (IsPid(name) && ReadAttribute(proc / name / "comm") == program)
            return true;
    return false;
}

class LinuxAdapterInventory final : public AdapterInventory {
public:
    explicit LinuxAdapterInventory(PortRoots roots) : roots_(std::move(roots)) {}

    // Read where a PC with no device pays for it: one small read for most interfaces, the
    // device's ids only for a candidate.
    std::vector<UsbAdapter> Adapters() const override
    {
        std::vector<UsbAdapter> adapters;
        const fs::path devices = fs::path(roots_.sysfs_dir) / "bus" / "usb" / "devices";
        // The interfaces are listed beside the devices, named after theirs: 1-2:1.0, 1-2:1.1.
        for (const std::string& name : Entries(devices)) {
            const std::size_t colon = name.find(':');
            if (colon == std::string::npos)
                continue;
            const fs::path interface = devices / name;
            const std::uint32_t type = ReadNumber(interface / "bInterfaceClass", 16).value_or(0);
            if (type != kCommunicationsClass && type != kVendorSpecificClass)
                continue;
            const bool acm = type == kCommunicationsClass &&
                             ReadNumber(interface / "bInterfaceSubClass", 16) == kAbstractControlSubclass;
            const fs::path device = devices / name.substr(0, colon);
            const std::optional<std::uint32_t> vendor = ReadNumber(device / "idVendor", 16);
            const std::optional<std::uint32_t> product = ReadNumber(device / "idProduct", 16);
            if (!vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF)
                continue;
            const bool bridge = std::find(std::begin(kBridgeVendors), std::end(kBridgeVendors), *vendor) !=
                                std::end(kBridgeVendors);
            if (acm || (bridge && type == kVendorSpecificClass))
                adapters.push_back(AdapterOf(device, interface, *vendor, *product));
        }
        return adapters;
    }

    std::vector<PortHolder> Holders(const std::string& port) const override
    {
        return ProcessesHolding(port, roots_.proc_dir);
    }

    bool ModemManagerMayProbe(const std::string& port) const override
    {
        const std::string tty = fs::path(port).filename().string();
        std::error_code error;
        const fs::path resolved = fs::canonical(port, error);
        const std::string node = error ? tty : resolved.filename().string();
        if (node.rfind("ttyACM", 0) != 0 && tty.rfind("ttyACM", 0) != 0)
            return false;
        if (!ProcessRuns(roots_.proc_dir, "ModemManager"))
            return false;
        // A rule that set ID_MM_DEVICE_IGNORE left its mark in udev's record of the node.
        struct stat st {};
        if (::stat(port.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
            const fs::path record =
                fs::path(roots_.udev_data_dir) /
                ("c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
            if (Mentions(record, "E:ID_MM_DEVICE_IGNORE=1"))
                return false;
        }
        return true;
    }

private:
    UsbAdapter AdapterOf(const fs::path& device, const fs::path& interface, std::uint32_t vendor,
                         std::uint32_t product) const
    {
        UsbAdapter adapter;
        adapter.system = AdapterSystem::linux;
        adapter.vendor_id = static_cast<std::uint16_t>(vendor);
        adapter.product_id = static_cast<std::uint16_t>(product);
        adapter.product = ReadAttribute(device / "product").value_or("");
        adapter.driver = DriverOf(interface);
        const std::string tty = TtyOf(interface);
        if (!tty.empty()) {
            adapter.state = AdapterState::port;
            adapter.port = (fs::path(roots_.dev_dir) / tty).string();
        } else if (adapter.driver.empty()) {
            adapter.state = AdapterState::no_driver;
        } else if (std::find_if(std::begin(kSerialDrivers), std::end(kSerialDrivers), [&](const char* d) {
                       return adapter.driver == d;
                   }) != std::end(kSerialDrivers)) {
            adapter.state = AdapterState::no_port;
        } else {
            adapter.state = AdapterState::claimed;
            if (adapter.driver == "usbfs") {
                // A program claimed the interface through the device's usbfs node; it holds that
                // node open.
                const std::optional<std::uint32_t> bus = ReadNumber(device / "busnum", 10);
                const std::optional<std::uint32_t> number = ReadNumber(device / "devnum", 10);
                if (bus && number && *bus < 1000 && *number < 1000) {
                    char node[32];
                    std::snprintf(node, sizeof node, "/bus/usb/%03u/%03u", *bus, *number);
                    const std::vector<PortHolder> holders =
                        ProcessesHolding(roots_.dev_dir + node, roots_.proc_dir);
                    if (!holders.empty()) {
                        adapter.holder = holders.front().program;
                        adapter.holder_pid = holders.front().pid;
                    }
                }
            }
        }
        return adapter;
    }

    static bool Mentions(const fs::path& file, const std::string& line)
    {
        const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        std::string text;
        char buffer[4096];
        ssize_t got = 0;
        while (text.size() < 65536 && (got = ::read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        ::close(fd);
        return ("\n" + text).find("\n" + line + "\n") != std::string::npos ||
               ("\n" + text).ends_with("\n" + line);
    }

    PortRoots roots_;
};

} // namespace

std::unique_ptr<AdapterInventory> MakeAdapterInventory(PortRoots roots)
{
    return std::make_unique<LinuxAdapterInventory>(std::move(roots));
}
