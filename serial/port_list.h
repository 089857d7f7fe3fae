// The serial ports the system knows of, with what can be learnt of each without opening it, and
// the facts the COM search needs (which ports are Bluetooth links). One implementation per
// platform: sysfs on Linux, the registry and SetupAPI on Windows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial_port.h"

struct PortInfo {
    std::string name;        // as the user types it: COM3, /dev/ttyUSB0
    std::string device_path; // what SerialPort::open takes: \\.\COM3, /dev/ttyUSB0
    std::optional<std::uint16_t> usb_vendor_id;
    std::optional<std::uint16_t> usb_product_id;
    std::string serial_number; // empty when unknown
    std::string driver;        // ftdi_sio, cdc_acm; FTSER2K, usbser; empty when unknown
    bool bluetooth = false;
    std::optional<std::uint32_t> latency_timer_ms; // how long the adapter holds short replies back
};

// Where a POSIX system keeps its device nodes and its driver facts; tests point these at a fake
// tree. Windows asks the system itself and ignores them.
struct PortRoots {
    std::string dev_dir = "/dev";
    std::string sysfs_dir = "/sys";
    std::string proc_dir = "/proc";
    std::string udev_data_dir = "/run/udev/data"; // udev's properties of each device node
};

// The candidate ports in the order a search without a named port tries them: USB serial nodes in
// name order (numbers compared as numbers) on POSIX, listed COM ports by number on Windows.
std::vector<PortInfo> ListPorts(const PortRoots& roots = {});
// What the candidates are, for messages: "/dev/ttyUSB*, /dev/ttyACM*", "COM ports".
const char* CandidatePortPatternsText();

// The system's ports as the COM search sees them; tests give their own.
class PortInventory {
public:
    virtual ~PortInventory() = default;
    virtual std::vector<PortInfo> ListPorts() const = 0;
};

std::unique_ptr<PortInventory> MakePortInventory(PortRoots roots = {});

// ---- COM numbers ----

// The COM numbers the program tries, in the order to try them, beginning at `first`: on up to
// 255, then on from 2, 254 numbers in all. From 0 that is COM0 to COM253 (the first search);
// from 1, COM1 to COM254 (the order list, --all and the watch use).
std::vector<std::uint32_t> ComCandidates(std::uint32_t first);
inline constexpr std::uint32_t kFirstListedComNumber = 1;

// The ports present that a search without a named port would try, in its order: the listed
// nodes on POSIX; on Windows the COM candidates from 1 that are there, listed or not (drivers, and
// Wine, do not always list their ports). Windows asks the system about each number, without
// opening any: call it seldom.
std::vector<std::string> PresentPorts(const std::vector<PortInfo>& listed);

// Who is at a device path now: empty when nothing is there, otherwise a text that changes when
// another device takes the path (a unit unplugged and another plugged in).
std::string PortIdentity(const std::string& device_path);

// What a port name reaches, the same for every name of one device: links, "." and "..", doubled
// slashes and the node itself on POSIX; the COM number on Windows. Two names with the same key
// are one device.
std::string PortNodeKey(const std::string& device_path);

// The list as one text that changes when a port comes or goes.
std::string PortListSignature(const std::vector<PortInfo>& ports);

// The number of "COM3", "com3" or "\\.\COM3"; none for anything else.
std::optional<std::uint32_t> ComNumberOf(std::string_view name);
// The port's name as the user knows it: "COM3" for 3.
std::string ComName(std::uint32_t number);

// The entry for a port given by name or device path (on POSIX also through a link such as
// /dev/serial/by-id/...); null when the list does not hold it.
const PortInfo* FindPort(const std::vector<PortInfo>& ports, const std::string& port);

// ---- Slow adapters ----

// Above this an adapter's latency timer noticeably slows an upload, whose every chunk waits for
// a one-byte answer.
inline constexpr std::uint32_t kSlowLatencyAboveMs = 2;

// The adapter's latency timer when it holds short replies back longer than kSlowLatencyAboveMs
// and the low-latency request did not take; none when fast or unknown.
std::optional<std::uint32_t> SlowAdapterLatency(const PortInfo& port, LowLatency request);

// Where the user changes the timer: Device Manager on Windows, sysfs on Linux.
enum class LatencyAdvice { device_manager, sysfs };
LatencyAdvice PlatformLatencyAdvice();

// "QBKorvane: COM5: the adapter's latency timer is 16 ms; at 1 ms updates run faster (...)".
std::string SlowAdapterLine(const std::string& port_name, std::uint32_t latency_ms, LatencyAdvice advice);

// ---- What the Windows listing is made of, kept apart from the system calls ----

// The four hex digits after the first "VID_" or "PID_" (the key) of a hardware or instance id.
std::optional<std::uint16_t> HexIdAfter(std::string_view id, std::string_view key);

// One value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: the driver's device name and the port.
struct SerialCommEntry {
    std::string device; // \Device\Serial0, \Device\BthModem0, \Device\VCP0
    std::string port;   // COM3
};

// One device instance of the COM port interface, as SetupAPI and its registry key report it.
struct ComDeviceRecord {
    std::string port;        // PortName of its "Device Parameters": COM3
    std::string instance_id; // USB\VID_2341&PID_0043\85735313, FTDIBUS\VID_0403+PID_6001+A1B2C3D4A\0000
    std::string hardware_id; // the first hardware id: USB\VID_2341&PID_0043&REV_0001
    std::string service;     // the driver's service: usbser, FTSER2K, BTHMODEM
    std::optional<std::uint32_t> latency_timer_ms; // LatencyTimer, where the key has one
};

// Both sources made into one list, sorted by COM number, one entry per port.
std::vector<PortInfo> MergeComPorts(const std::vector<SerialCommEntry>& serialcomm,
                                    const std::vector<ComDeviceRecord>& devices);
