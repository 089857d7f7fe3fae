// One serial port: open, configure, read and write under COMMTIMEOUTS-style time-outs.
// One implementation of the operating-system calls per platform sits behind this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct LogSink;
class SerialBackend;

// Why the last open failed. Configuring a port that did open counts as `other`, or `not_a_port`
// where what opened is no terminal.
enum class OpenFailure { none, absent, in_use, no_permission, not_a_port, path_too_long, other };

// Who may open a node that refused this user, as the system said when the open failed (POSIX
// only: Windows has no such node).
struct NodeAccess {
    bool known = false;
    std::string owner;      // user name, or the number when it has none
    std::string group;      // likewise
    std::uint32_t mode = 0; // the permission bits, 0660
};

// Whether the driver passes short replies on at once (POSIX: ASYNC_LOW_LATENCY). Windows keeps
// this in the adapter's own settings, so there it is never requested.
enum class LowLatency { not_requested, on, refused };

// The five time-out values in milliseconds, with the meaning of Win32's COMMTIMEOUTS.
struct CommTimeouts {
    std::uint32_t read_interval = 0;
    std::uint32_t read_total_multiplier = 0;
    std::uint32_t read_total_constant = 0;
    std::uint32_t write_total_multiplier = 0;
    std::uint32_t write_total_constant = 0;
};

// The line settings the port sets or reads back, as the driver last reported them.
struct LineSettings {
    std::uint32_t baud_rate = 0;
    std::uint8_t byte_size = 0;
    std::uint8_t parity = 0;    // 0 = none
    std::uint8_t stop_bits = 0; // 0 = one, 1 = one and a half, 2 = two (Win32 numbering)
    bool cts_flow = false;
    bool dsr_flow = false;
    bool dtr_on = false;
    bool rts_on = false;
};

class SerialPort {
public:
    static constexpr std::size_t kPathCapacity = 260; // 259 characters and the terminator
    static constexpr std::size_t kMaxPathLength = kPathCapacity - 1;

    // The owner chooses the operating-system side: the platform's (make_serial_backend) in the
    // program, an in-memory line in tests.
    explicit SerialPort(std::unique_ptr<SerialBackend> backend);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Fails (path_too_long) on a path longer than kMaxPathLength: a cut path could name another
    // device.
    bool open(const char* device_path);
    void close();
    bool is_open() const;
    bool set_queue_sizes();
    bool set_timeouts(std::uint32_t read_interval, std::uint32_t read_total_multiplier,
                      std::uint32_t read_total_constant, std::uint32_t write_total_multiplier,
                      std::uint32_t write_total_constant);
    bool set_read_timeout(std::uint32_t read_total_constant);
    bool set_baud_rate(std::uint32_t bits_per_second);
    void purge();
    std::uint32_t read(void* buffer, std::uint32_t count);
    std::uint32_t write(const void* buffer, std::uint32_t count);

    const char* device_path() const { return device_path_; }
    const CommTimeouts& timeouts() const { return timeouts_; }
    const LineSettings& line_settings() const { return line_settings_; }
    // Why the last open failed (none after a successful one), and the system's own number from
    // the point of failure (errno, GetLastError; 0 when there is none).
    OpenFailure last_open_failure() const { return open_failure_; }
    int last_open_error() const { return open_error_; }
    // For a refused permission: the node's owner, group and mode at that moment.
    const NodeAccess& last_open_node() const { return open_node_; }
    // The low-latency request of the last successful open.
    LowLatency low_latency() const;

    LogSink* log_sink = nullptr; // not owned

private:
    void close_handle();
    bool fail_open(OpenFailure failure, int error);

    std::intptr_t handle_;                   // operating-system handle; kInvalidHandle while closed
    std::unique_ptr<SerialBackend> backend_; // the platform's calls, and its native records
    char device_path_[kPathCapacity] = {};
    LineSettings line_settings_;
    CommTimeouts timeouts_;
    OpenFailure open_failure_ = OpenFailure::none;
    int open_error_ = 0;
    NodeAccess open_node_;
};
