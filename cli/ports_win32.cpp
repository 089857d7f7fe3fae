#include <windows.h>

#include <string>
#include <vector>

#include "cli/platform.h"
#include "serial/port_list.h"

const char* PortHelpText()
{
    return "  --port PORT      try only this port (COM3)\n"
           "Without --port the COM ports are searched as the Windows updater does.\n";
}

const char* ProductionLineExample()
{
    return "  korvane-update flash firmware-2.21.qfw --watch --record units.jsonl --port COM3 --port COM4\n";
}

bool UsesComSearch() { return true; }

std::vector<std::string> CandidatePorts() { return {}; }

const char* CandidatePortsText() { return CandidatePortPatternsText(); }

std::vector<PortInfo> ListedPorts() { return ListPorts(); }

std::unique_ptr<AdapterInventory> PlatformAdapters() { return MakeAdapterInventory(); }
std::unique_ptr<PortInventory> SystemPorts() { return MakePortInventory(); }

std::vector<std::string> UnlistedCandidates(const std::vector<PortInfo>& listed)
{
    std::vector<std::string> names;
    for (const std::uint32_t n : ComCandidates(kFirstListedComNumber)) {
        const std::string name = ComName(n);
        if (FindPort(listed, name) == nullptr)
            names.push_back(name);
    }
    return names;
}

std::string DevicePathOf(const std::string& port)
{
    const std::optional<std::uint32_t> n = ComNumberOf(port);
    return n ? "\\\\.\\COM" + std::to_string(*n) : port;
}
