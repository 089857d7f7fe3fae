// One serial port: open, configure, read and write under COMMTIMEOUTS-style time-outs.
// One implementation of the operating-system calls per platform sits behind this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct LogSink;
class SerialBackend;

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

    // The owner chooses the operating-system side: the platform's (make_serial_backend) in the
    // program, an in-memory line in tests.
    explicit SerialPort(std::unique_ptr<SerialBackend> backend);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

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

    LogSink* log_sink = nullptr; // not owned

private:
    void close_handle();
    bool fail_open();

    std::intptr_t handle_;                   // operating-system handle; kInvalidHandle while closed
    std::unique_ptr<SerialBackend> backend_; // the platform's calls, and its native records
    char device_path_[kPathCapacity] = {};
    LineSettings line_settings_;
    CommTimeouts timeouts_;
};
