#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/platform.h"
#include "cli/port_names.h"

namespace {

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

// Where the device nodes are; KV_DEV_DIR lets tests stand a folder of links in for /dev.
std::string DeviceFolder()
{
    const char* dir = std::getenv("KV_DEV_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/dev";
}

} // namespace

bool UsesComSearch() { return false; }

std::vector<std::string> CandidatePorts()
{
    const std::string folder = DeviceFolder();
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            for (const char* prefix : kSerialPortPrefixes) {
                if (name.size() > std::strlen(prefix) && name.compare(0, std::strlen(prefix), prefix) == 0) {
                    names.push_back(name);
                    break;
                }
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    std::vector<std::string> ports;
    for (const std::string& name : names)
        ports.push_back(folder + "/" + name);
    return ports;
}

const char* CandidatePortsText() { return kSerialPortPatternsText; }

std::vector<std::string> PortsForAll() { return CandidatePorts(); }

std::string PortIdentity(const std::string& device_path)
{
    // Through any link: a node made anew for a device plugged in has an inode of its own.
    struct stat st {};
    if (::stat(device_path.c_str(), &st) != 0)
        return "";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_rdev);
}

const char* PortHelpText() { return kPortHelpText; }

const char* ProductionLineExample()
{
    return "  korvane-update flash firmware-2.21.qfw --watch --record units.jsonl \\\n"
           "      --port /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0 \\\n"
           "      --port /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
           "  (by-path names stay with the fixture's socket, whichever unit is plugged in)\n";
}

std::string DevicePathOf(const std::string& port) { return port; }

std::string DescribeOpenFailure(const std::string& port)
{
    struct stat st {};
    if (stat(port.c_str(), &st) != 0)
        return errno == ENOENT ? "no such device" : std::strerror(errno);
    if (!S_ISCHR(st.st_mode))
        return "not a serial device";
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EBUSY)
            return "in use by another program";
        if (error == EACCES || error == EPERM) {
            std::string text = "permission denied";
            if (const group* g = getgrgid(st.st_gid))
                text += std::string(" (the device belongs to group '") + g->gr_name +
                        "'; add your user to it and log in again)";
            return text;
        }
        return std::strerror(error);
    }
    // The serial port takes an exclusive lock on every port it opens.
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held ? "in use by another program" : "it cannot be set up as a serial port";
}
