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
#include <pwd.h>
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

// Who may open the node for reading and writing, as far as its mode says: joining the group helps
// only when the group may.
std::string PermissionAdvice(const struct stat& st)
{
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        const group* g = getgrgid(st.st_gid);
        return " (the device belongs to group '" + (g != nullptr ? g->gr_name : std::to_string(st.st_gid)) +
               "'; add your user to it and log in again)";
    }
    if ((st.st_mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR)) {
        const passwd* owner = getpwuid(st.st_uid);
        return " (only its owner, '" + (owner != nullptr ? owner->pw_name : std::to_string(st.st_uid)) +
               "', may open it)";
    }
    return " (its permissions let nobody read and write it)";
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
        if (error == EACCES || error == EPERM)
            return "permission denied" + PermissionAdvice(st);
        return std::strerror(error);
    }
    // The serial port takes an exclusive lock on every port it opens.
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held ? "in use by another program" : "it cannot be set up as a serial port";
}
