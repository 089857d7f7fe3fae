#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/platform.h"
#include "cli/port_names.h"
#include "serial/port_list.h"

namespace {

// The device folder and sysfs; KV_DEV_DIR and KV_SYSFS_DIR let tests stand a folder of links in
// for /dev and made-up trees for /sys, /proc and udev's database. Only the front end reads them: the serial
// library takes the folders as parameters.
PortRoots Roots()
{
    PortRoots roots;
    const char* dir = std::getenv("KV_DEV_DIR");
    if (dir != nullptr && *dir != '\0')
        roots.dev_dir = dir;
    const char* sysfs = std::getenv("KV_SYSFS_DIR");
    if (sysfs != nullptr && *sysfs != '\0')
        roots.sysfs_dir = sysfs;
    const char* proc = std::getenv("KV_PROC_DIR");
    if (proc != nullptr && *proc != '\0')
        roots.proc_dir = proc;
    const char* udev = std::getenv("KV_UDEV_DATA_DIR");
    if (udev != nullptr && *udev != '\0')
        roots.udev_data_dir = udev;
    return roots;
}

// Who may open the node for reading and writing, as far as its mode says: joining the group helps
// only when the group may.
std::string PermissionAdvice(const struct stat& st)
{
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        const group* g = getgrgid(st.st_gid);
        return " (the device belongs to group '" + (g != nullptr ? g->gr_name : std::to_string(st.st_gid)) +
               "'; add your user to it and log in again, or install the udev rules that come with this "
               "program, " +
               kUdevRulesFile + ")";
    }
    if ((st.st_mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR)) {
        const passwd* owner = getpwuid(st.st_uid);
        return " (only its owner, '" + (owner != nullptr ? owner->pw_name : std::to_string(st.st_uid)) +
               "', may open it; the udev rules that come with this program, " + kUdevRulesFile +
               ", let the logged-in user open it)";
    }
    return " (its permissions let nobody read and write it)";
}

} // namespace

bool UsesComSearch() { return false; }

std::vector<PortInfo> ListedPorts() { return ListPorts(Roots()); }

std::unique_ptr<AdapterInventory> PlatformAdapters() { return MakeAdapterInventory(Roots()); }

std::vector<std::string> UnlistedCandidates(const std::vector<PortInfo>&) { return {}; }

std::vector<std::string> CandidatePorts()
{
    std::vector<std::string> ports;
    for (const PortInfo& info : ListedPorts())
        ports.push_back(info.name);
    return ports;
}

const char* CandidatePortsText() { return CandidatePortPatternsText(); }

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
        if (error == EACCES || error == EPERM)
            return "permission denied" + PermissionAdvice(st);
        return std::strerror(error);
    }
    // The serial port takes an exclusive lock on every port it opens.
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held ? "in use by another program" : "it cannot be set up as a serial port";
}
