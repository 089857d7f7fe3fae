#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/platform.h"
#include "cli/port_names.h"
#include "serial/port_list.h"

namespace {

// The device folder; KV_DEV_DIR lets tests stand a folder of links in for /dev. Only the front
// end reads it: the serial library takes the folder as a parameter.
PortRoots Roots()
{
    PortRoots roots;
    const char* dir = std::getenv("KV_DEV_DIR");
    if (dir != nullptr && *dir != '\0')
        roots.dev_dir = dir;
    return roots;
}

} // namespace

bool UsesComSearch() { return false; }

std::vector<std::string> CandidatePorts()
{
    std::vector<std::string> ports;
    for (const PortInfo& info : ListPorts(Roots()))
        ports.push_back(info.name);
    return ports;
}

const char* CandidatePortsText() { return CandidatePortPatternsText(); }

const char* PortHelpText() { return kPortHelpText; }

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
