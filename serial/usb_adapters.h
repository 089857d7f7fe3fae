// The USB serial adapters plugged in, whether or not the system made a port of them, and the other
// programs that stand between this one and a port. A device that never became a port is invisible
// to the search; these facts say why, and what the user can do. Read only once a search found
// nothing (or a port would not open), so a search that finds the device pays nothing for them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_list.h"

enum class AdapterState {
    port,           // the system made a port of it
    no_driver,      // no driver has taken it
    driver_failed,  // its driver would not start it (Windows problem codes 10, 43)
    driver_blocked, // Windows would not load its driver (problem codes 39, 52)
    problem,        // Windows reports another problem code
    claimed,        // another driver or program took the interface (Linux)
    no_port,        // a serial driver has it, yet there is no port
};

// The state's name as the command line's JSON gives it: "port", "no_driver", ...
const char* AdapterStateName(AdapterState state);

// Whose words describe the adapter: Windows names USB devices by hardware id and has problem
// codes, Linux by vendor:product with kernel drivers.
enum class AdapterSystem { windows, linux };

struct UsbAdapter {
    AdapterSystem system = AdapterSystem::linux;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string product; // the device's product string, or Windows' description of it
    AdapterState state = AdapterState::no_driver;
    std::string port;               // COM3, /dev/ttyUSB0; only in state `port`
    std::string driver;             // ch341, usbfs; CH341SER_A64, usbser; empty when none
    std::uint32_t problem_code = 0; // Windows; 0 when it reports none
    std::string holder;             // the program that took the interface (brltty), when known
    int holder_pid = 0;
    bool arm64_host = false; // Windows on ARM, where many bridge chips have no driver at all
};

// "a USB serial adapter (WCH CH340, USB\VID_1A86&PID_7523) is plugged in but has no driver
// (problem code 28)"; for a working one, where its port is.
std::string AdapterReason(const UsbAdapter& adapter);
// What the user can do about it, in plain words, as one or more sentences; empty for a working one.
std::string AdapterFix(const UsbAdapter& adapter);

// ---- Ports held by other programs (Linux) ----

struct PortHolder {
    int pid = 0;
    std::string program;
};

// "minicom, process 4242" (several joined by "; "); empty when none is known.
std::string HoldersText(const std::vector<PortHolder>& holders);

// The note for a port ModemManager may open and send modem commands to.
std::string ModemManagerNote(const std::string& port, std::optional<std::uint16_t> vendor_id,
                             std::optional<std::uint16_t> product_id);

// The udev rules file this program ships for Linux, as the advice names it.
inline constexpr char kUdevRulesFile[] = "60-korvane-update.rules";

// ---- What the system says, through one seam ----

class AdapterInventory {
public:
    virtual ~AdapterInventory() = default;
    // Every USB serial adapter plugged in (the bridge vendors' and CDC-ACM devices), in a stable
    // order.
    virtual std::vector<UsbAdapter> Adapters() const = 0;
    // The programs that have the port open, as far as this user may see (root sees all); none
    // where the system does not tell.
    virtual std::vector<PortHolder> Holders(const std::string& port) const = 0;
    // True when ModemManager runs and may probe this port (a CDC-ACM port it was not told to
    // leave alone).
    virtual bool ModemManagerMayProbe(const std::string& port) const = 0;
};

// The platform's: sysfs, /proc and the udev database below the given roots on Linux; SetupAPI
// and the configuration manager on Windows.
std::unique_ptr<AdapterInventory> MakeAdapterInventory(PortRoots roots = {});

// ---- What the Windows listing is made of, kept apart from the system calls ----

// One present device of the USB (or FTDIBUS) enumerator, as SetupAPI and the configuration
// manager report it.
struct UsbDeviceRecord {
    std::string instance_id;                 // USB\VID_1A86&PID_7523\5&2C3B1A4&0&3
    std::string hardware_id;                 // the first hardware id: USB\VID_1A86&PID_7523&REV_0264
    std::vector<std::string> compatible_ids; // USB\Class_02&SubClass_02&Prot_01, ...
    std::string description;                 // friendly name, else device description
    std::string service;                     // the driver's service; empty when none is installed
    std::uint32_t problem_code = 0;          // CM_Get_DevNode_Status; 0 when it has no problem
    std::string port;                        // PortName of its "Device Parameters"
};

// The Windows system calls behind the Windows inventory; tests give a fake.
class UsbDeviceSource {
public:
    virtual ~UsbDeviceSource() = default;
    virtual std::vector<UsbDeviceRecord> UsbDevices() const = 0;
    virtual bool Arm64Host() const = 0;
};

// The adapters among the records: the bridge vendors' serial devices and CDC-ACM functions that
// have a port or a problem. A working device without a port is a parent whose port hangs on a
// child record (an FTDI chip's FTDIBUS port, a composite device's interface), so it is left out.
std::vector<UsbAdapter> AdaptersOfWindowsDevices(const std::vector<UsbDeviceRecord>& records,
                                                 bool arm64_host);

std::unique_ptr<AdapterInventory> MakeWindowsAdapterInventory(std::unique_ptr<UsbDeviceSource> source);
