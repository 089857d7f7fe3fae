#include <cstdlib>
#include <string>
#include <vector>

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

} // namespace

bool UsesComSearch() { return false; }

std::vector<PortInfo> ListedPorts() { return ListPorts(Roots()); }

std::unique_ptr<AdapterInventory> PlatformAdapters() { return MakeAdapterInventory(Roots()); }
std::unique_ptr<PortInventory> SystemPorts() { return MakePortInventory(Roots()); }

std::vector<std::string> UnlistedCandidates(const std::vector<PortInfo>&) { return {}; }

std::vector<std::string> CandidatePorts()
{
    std::vector<std::string> ports;
    for (const PortInfo& info : ListedPorts())
        ports.push_back(info.name);
    return ports;
}

const char* CandidatePortsText() { return CandidatePortPatternsText(); }

const char* PortHelpText() { return kPortHelpText; }

const char* ProductionLineExample()
{
    return "  korvane-update flash firmware-2.21.qfw --watch --record units.jsonl \\\n"
           "      --port /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0 \\\n"
           "      --port /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
           "  (by-path names stay with the fixture's socket, whichever unit is plugged in)\n";
}

std::string DevicePathOf(const std::string& port) { return port; }
