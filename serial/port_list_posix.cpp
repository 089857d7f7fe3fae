// The port list of a POSIX system: the USB serial nodes of the device folder, and what sysfs
// says of each (Linux; elsewhere the sysfs folder is absent and only names are listed).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/port_list.h"
#include "serial/port_names_posix.h"
#include "serial/port_path_posix.h"

namespace {

namespace fs = std::filesystem;

// sysfs attributes are a line of text; anything longer is not what is looked for.
// From a tty's device up to its USB device is two or three levels; stop well after.
constexpr int kUsbDeviceSearchDepth = 8;

// Name order with digit runs compared as numbers: ttyUSB2 before ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie])))
                ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je])))
                ++je;
            const std::string da = a.substr(i, ie - i), db = b.substr(j, je - j);
            const std::size_t za = da.find_first_not_of('0'), zb = db.find_first_not_of('0');
            const std::string na = za == std::string::npos ? "" : da.substr(za);
            const std::string nb = zb == std::string::npos ? "" : db.substr(zb);
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// What sysfs says of the tty: its driver, the adapter's latency timer (FTDI), and the USB device
// above it with its ids and serial number.
void ReadSysfs(const fs::path& sysfs, const std::string& tty, PortInfo& info)
{
    std::error_code error;
    const fs::path device = sysfs / "class" / "tty" / tty / "device";
    const fs::path driver = fs::read_symlink(device / "driver", error);
    if (!error)
        info.driver = driver.filename().string();
    info.latency_timer_ms = ReadNumber(device / "latency_timer", 10);

    const fs::path root = fs::canonical(sysfs, error);
    if (error)
        return;
    fs::path at = fs::canonical(device, error);
    if (error)
        return;
    for (int depth = 0; depth < kUsbDeviceSearchDepth && at != root && at.has_parent_path(); ++depth) {
        const std::optional<std::uint32_t> vendor = ReadNumber(at / "idVendor", 16);
        const std::optional<std::uint32_t> product = ReadNumber(at / "idProduct", 16);
        if (vendor && product && *vendor <= 0xFFFF && *product <= 0xFFFF) {
            info.usb_vendor_id = static_cast<std::uint16_t>(*vendor);
            info.usb_product_id = static_cast<std::uint16_t>(*product);
            info.serial_number = ReadAttribute(at / "serial").value_or("");
            return;
        }
        at = at.parent_path();
    }
}

class SystemPortInventory final : public PortInventory {
public:
    explicit SystemPortInventory(PortRoots roots) : roots_(std::move(roots)) {}
    std::vector<PortInfo> ListPorts() const override { return ::ListPorts(roots_); }

private:
    PortRoots roots_;
};

} // namespace

std::vector<PortInfo> ListPorts(const PortRoots& roots)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(roots.dev_dir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            for (const char* prefix : kCandidatePortPrefixes) {
                const std::size_t length = std::strlen(prefix);
                if (name.size() > length && name.compare(0, length, prefix) == 0) {
                    names.push_back(name);
                    break;
                }
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    std::vector<PortInfo> ports;
    ports.reserve(names.size());
    const std::string folder =
        roots.dev_dir.empty() || roots.dev_dir.back() != '/' ? roots.dev_dir + "/" : roots.dev_dir;
    for (const std::string& name : names) {
        PortInfo info;
        info.name = folder + name;
        info.device_path = info.name;
        ReadSysfs(roots.sysfs_dir, name, info);
        ports.push_back(std::move(info));
    }
    return ports;
}

const char* CandidatePortPatternsText() { return kCandidatePortPatternsText; }

std::vector<std::string> PresentPorts(const std::vector<PortInfo>& listed)
{
    std::vector<std::string> ports;
    for (const PortInfo& info : listed)
        ports.push_back(info.name);
    return ports;
}

std::string PortNodeKey(const std::string& device_path)
{
    // The node itself when there is one (a character device by its number, so that two nodes
    // made for one device agree too); otherwise the name with its detours taken out.
    struct stat st {};
    if (::stat(device_path.c_str(), &st) == 0)
        return S_ISCHR(st.st_mode) ? "device " + std::to_string(st.st_rdev)
                                   : "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    return "name " + fs::path(device_path).lexically_normal().string();
}

std::string PortIdentity(const std::string& device_path)
{
    // Through any link: a node made anew for a device plugged in has an inode of its own.
    struct stat st {};
    if (::stat(device_path.c_str(), &st) != 0)
        return "";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_rdev);
}

std::unique_ptr<PortInventory> MakePortInventory(PortRoots roots)
{
    return std::make_unique<SystemPortInventory>(std::move(roots));
}

LatencyAdvice PlatformLatencyAdvice() { return LatencyAdvice::sysfs; }
