// The one connection to a Korvane device: its serial port, the device lock, port discovery,
// identification and the device commands.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/clock.h"
#include "device/device_lock.h"
#include "device/result.h"
#include "serial/port_list.h"
#include "serial/serial_port.h"

struct LogSink;
class SerialBackend;

// Firmware version reply of the device: three bytes as they arrive.
struct FirmwareVersion {
    std::uint8_t firmware_major = 0;
    std::uint8_t firmware_minor = 0;
    std::uint8_t hardware_letter = 0;
};

inline constexpr std::size_t kDescriptionCapacity = 100; // 99 characters and the terminator

struct HardwareInfo {
    std::uint32_t protocol_generation = 0;
    std::uint32_t model_id = 0;
    std::uint32_t interface_type = 0;
    std::uint32_t capabilities = 0;
    std::uint32_t memory_size = 0;
    std::uint32_t bank_size = 0;
    std::uint32_t bank_count = 0;
    char description[kDescriptionCapacity] = {};
};

// Capability bits that change behaviour.
inline constexpr std::uint32_t kCapEncryption = 0x04;
inline constexpr std::uint32_t kCapBanked = 0x08;
inline constexpr std::uint32_t kCapFlashInfo = 0x80;

// Device EEPROM addresses 1 to 7.
struct EEPROMInfo {
    std::uint8_t device_id = 0;
    std::uint8_t reserved1[2] = {};
    std::uint8_t interface_letter = 0;
    std::uint8_t reserved2[3] = {};
};
static_assert(sizeof(EEPROMInfo) == 7);

// How one attempt of the hardware search on one port ended.
enum class PortProbe {
    not_opened, // no such port, held by another program, or it cannot be configured
    no_answer,  // opened, but no valid version reply at any of the three speeds
    answered,   // a device answered; identified when GetHardwareInfo() says so
};

// What one port of a search (or a ProbePort) turned out to be.
enum class PortState {
    answered,      // a device answered the version request
    in_use,        // another program holds the port
    silent,        // opened, but no answer at any of the three speeds
    absent,        // no such port
    bluetooth,     // a Bluetooth serial link, not opened
    no_permission, // the system refused to open it for this user
    unusable,      // not a serial port, or it could not be opened or configured for another reason
};

// The state's name as the command line's JSON gives it: "answered", "in_use", ...
const char* PortStateName(PortState state);

// One port tried, as it was found at the time: nothing is asked again afterwards.
struct PortAttempt {
    PortAttempt() = default;
    explicit PortAttempt(std::string name, PortState how = PortState::absent, int error = 0)
        : port(std::move(name)), state(how), system_error(error)
    {
    }

    std::string port; // as the user names it: COM3, /dev/ttyUSB0
    PortState state = PortState::absent;
    int system_error = 0; // errno or GetLastError of a failed open; 0 otherwise
    NodeAccess node;      // who may open it, when the system refused this user
    std::string holders;  // of a port in use, where the system tells: "minicom, process 4242"
    // A device that answered: its description and version, and whether the caller's rule
    // accepted it (a search passes those it does not accept).
    std::string description;
    FirmwareVersion version;
    bool accepted = false;
};

// Which identified devices a search takes; the others are closed and the search goes on.
using DeviceAcceptor = std::function<bool(const HardwareInfo*)>;

class DeviceConnection {
public:
    // The program's connection: the platform's serial port, real time.
    DeviceConnection();
    // A connection over the given serial line whose waits pass on the given clock, and whose
    // search learns of the system's ports (which are Bluetooth links) from the given inventory
    // (by default the platform's).
    DeviceConnection(std::unique_ptr<SerialBackend> backend, WaitClock& clock);
    DeviceConnection(std::unique_ptr<SerialBackend> backend, WaitClock& clock,
                     std::unique_ptr<PortInventory> inventory);
    ~DeviceConnection(); // closes the port; sends nothing to the device
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    // Port and discovery.
    std::int32_t OpenPort(const char* device_path);
    void ClosePort();
    // Skips the COM numbers that the inventory lists as Bluetooth links. When it finds nothing
    // it logs why, port by port. Given an acceptor, a device it does not accept is logged,
    // closed and passed, and the search goes on in the same order; true only for an accepted one.
    bool SearchForHardware(char* description, std::uint32_t capacity, FirmwareVersion* version,
                           const DeviceAcceptor& accept = nullptr);
    // One attempt of the search on one device path: open, the speed probe and identification.
    // The port stays open only for an identified device. Fills description and version as the
    // search does. Bluetooth links are not skipped here: the caller named the port.
    PortProbe ProbePort(const char* device_path, char* description, std::uint32_t capacity,
                        FirmwareVersion* version);
    // The ports that the last SearchForHardware tried, in order, or the one of the last
    // ProbePort. Absent COM numbers that the inventory does not list are only counted: a search
    // tries up to 254 numbers, most of which name nothing.
    const std::vector<PortAttempt>& last_search() const { return last_search_; }
    std::uint32_t last_search_absent_unlisted() const { return absent_unlisted_; }
    PortInventory& port_inventory() const { return *inventory_; }
    const HardwareInfo* GetHardwareInfo() const;

    // Every command takes it with a DeviceLockGuard; so does the upload, which holds it for all of
    // its exchanges.
    DeviceLock& device_lock() { return lock_; }

    // Link speed and EEPROM.
    std::int32_t SetUSBBaud(std::uint32_t code);
    std::int32_t ReadEEPROM(std::uint8_t* destination, std::uint16_t address, std::uint16_t count);

    // Identification.
    std::int32_t GetFirmwareVersion(FirmwareVersion* version);
    std::int32_t IdentifyHardware();
    std::int32_t GetEEPROMInfo(EEPROMInfo* info);
    std::int32_t RequestSerial(std::uint8_t* serial9);

    // Bank, mode and flash-information queries.
    std::int32_t GetEmulationBank(std::uint8_t* out, bool rw);
    std::int32_t GetWayfarerEmulationBank(std::uint8_t* out);
    std::int32_t GetWayfarerMode();
    std::int32_t GetFlashInfo(std::uint8_t* buffer16);

    // The embedded port comes first so that it is constructed before anything that uses it.
    SerialPort port;

    LogSink* log_sink = nullptr; // not owned; null means silent
    std::uint32_t link_speed_code = 7;
    std::uint8_t firmware_major = 0;
    std::uint8_t firmware_minor = 0;
    std::uint8_t hardware_letter = 0;
    std::uint8_t emulation_bank = 0;
    std::uint8_t rw_bank = 0;
    HardwareInfo hardware_info;
    std::uint32_t wayfarer_mode = 0;
    std::uint8_t flash_info[16] = {};
    std::uint32_t last_port_number = 0;

    // The last EEPROM information that the device returned successfully since the port was
    // opened (cleared by ClosePort). Lets the dialog check a package against the attached
    // device without touching the port while an upload holds it.
    EEPROMInfo last_eeprom_info;
    bool last_eeprom_info_valid = false;

    WaitClock& clock() const { return clock_; }

private:
    PortAttempt Attempt(const char* device_path, char* description, std::uint32_t capacity,
                        FirmwareVersion* version);
    void LogWhyNotFound() const;

    WaitClock& clock_;
    DeviceLock lock_{clock_};
    std::unique_ptr<PortInventory> inventory_;
    std::vector<PortAttempt> last_search_;
    std::uint32_t absent_unlisted_ = 0;
};

// A version meets the threshold (M, N) unless its major equals M and its minor is below N.
bool MeetsVersion(std::uint8_t major, std::uint8_t minor, std::uint8_t threshold_major,
                  std::uint8_t threshold_minor);

// Wayfarer bank geometry from the memory mode.
std::uint32_t BankSize(const DeviceConnection& connection);
std::uint32_t BankCount(const DeviceConnection& connection);

// Device path of COM port n ("\\.\COMn"). False, with an empty buffer, when it does not fit:
// a cut path names another port.
bool FormatComPortPath(char* buffer, std::size_t capacity, std::uint32_t port_number);
