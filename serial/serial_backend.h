// The operating-system side of SerialPort: one implementation per platform, chosen by the build.
// Each call maps onto one Win32 communications function; the POSIX one gives the same
// observable behaviour with terminal attributes and poll().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/serial_port.h"

inline constexpr std::intptr_t kInvalidHandle = -1; // INVALID_HANDLE_VALUE, and no descriptor

// Why a call of the backend failed: the class, and the system's number (errno, GetLastError).
struct BackendError {
    OpenFailure failure = OpenFailure::other;
    int code = 0;
    NodeAccess node; // a refused permission's node
};

class SerialBackend {
public:
    virtual ~SerialBackend() = default;

    // Exclusive open of an existing port; kInvalidHandle on failure. A path longer than
    // SerialPort::kMaxPathLength fails rather than being cut.
    virtual std::intptr_t open(const char* device_path) = 0;
    virtual void close(std::intptr_t handle) = 0;
    // GetCommState: reads the driver's record and keeps it, so that set_line_settings changes only
    // what LineSettings holds and writes every other member back as the driver reported it.
    virtual bool get_line_settings(std::intptr_t handle, LineSettings& settings) = 0;
    virtual bool set_line_settings(std::intptr_t handle, const LineSettings& settings) = 0;
    virtual bool get_timeouts(std::intptr_t handle, CommTimeouts& timeouts) = 0;
    virtual bool set_timeouts(std::intptr_t handle, const CommTimeouts& timeouts) = 0;
    virtual bool set_queue_sizes(std::intptr_t handle, std::uint32_t input, std::uint32_t output) = 0;
    virtual void purge(std::intptr_t handle) = 0;
    // Blocking transfers under the time-outs in force; a time-out is success with a short count.
    virtual bool read(std::intptr_t handle, void* buffer, std::uint32_t count, std::uint32_t& done) = 0;
    virtual bool write(std::intptr_t handle, const void* buffer, std::uint32_t count,
                       std::uint32_t& done) = 0;

    // Why the last failed open or line-settings call failed, kept from the point of failure.
    virtual BackendError last_error() const { return {}; }
    // Whether the last open got the driver to pass short replies on at once.
    virtual LowLatency low_latency() const { return LowLatency::not_requested; }
};

// How a Win32 error number (GetLastError) reads as the reason an open failed. A port that another
// program holds gives ERROR_ACCESS_DENIED on Windows, so that means in use, not no permission.
OpenFailure OpenFailureOfWin32Error(std::uint32_t error);

// The platform's backend. On POSIX "\\.\COMn" opens <com_dir>/comn (links to real ports or
// pseudo-terminals), so the COM search runs natively too; the first form takes com_dir from
// $KV_COM_DIR, else /dev/kvcom. Windows opens every path as it is.
std::unique_ptr<SerialBackend> make_serial_backend();
std::unique_ptr<SerialBackend> make_serial_backend(const std::string& com_dir);
