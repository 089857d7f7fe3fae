#include "serial/serial_port.h"

#include <cstring>
#include <utility>

#include "log/log.h"
#include "serial/serial_backend.h"

namespace {

constexpr std::uint32_t kOpenBaudRate = 115200;
constexpr std::uint32_t kQueueSize = 1024;
// In force only until the connection sets its own; written without reading the driver's first.
constexpr CommTimeouts kOpenTimeouts{40, 0, 300, 0, 300};

// Win32 error numbers, here so that the mapping builds and is tested on every platform.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorDevNotExist = 55;
constexpr std::uint32_t kErrorFilenameExcedRange = 206;

} // namespace

OpenFailure OpenFailureOfWin32Error(std::uint32_t error)
{
    switch (error) {
    case kErrorFileNotFound:
    case kErrorPathNotFound:
    case kErrorDevNotExist: return OpenFailure::absent;
    case kErrorAccessDenied:
    case kErrorSharingViolation: return OpenFailure::in_use;
    case kErrorFilenameExcedRange: return OpenFailure::path_too_long;
    default: return OpenFailure::other;
    }
}

SerialPort::SerialPort(std::unique_ptr<SerialBackend> backend)
    : handle_(kInvalidHandle), backend_(std::move(backend))
{
}

SerialPort::~SerialPort() { close(); }

void SerialPort::close_handle()
{
    backend_->close(handle_);
    handle_ = kInvalidHandle;
}

bool SerialPort::fail_open(OpenFailure failure, int error)
{
    open_failure_ = failure;
    open_error_ = error;
    if (failure != OpenFailure::no_permission)
        open_node_ = NodeAccess{};
    if (is_open()) {
        close_handle();
    }
    log_line(log_sink, "QBSerial: Port Closed");
    return false;
}

bool SerialPort::open(const char* device_path)
{
    if (is_open()) {
        close_handle();
        log_line(log_sink, "QBSerial: Port Closed");
    }

    const char* source = device_path != nullptr ? device_path : "";
    const std::size_t length = strnlen(source, kPathCapacity);
    if (length > kMaxPathLength) {
        // A path cut to fit could name another device: refuse it whole.
        device_path_[0] = '\0';
        log_line(log_sink, "QBSerial: Open Port Failed: the path is longer than %u characters",
                 static_cast<unsigned>(kMaxPathLength));
        return fail_open(OpenFailure::path_too_long, 0);
    }
    std::memcpy(device_path_, source, length);
    device_path_[length] = '\0';

    handle_ = backend_->open(device_path_);
    if (!is_open()) {
        BackendError error = backend_->last_error();
        log_line(log_sink, "QBSerial: Open Port %s Failed", device_path_);
        if (error.failure == OpenFailure::no_permission)
            open_node_ = std::move(error.node);
        return fail_open(error.failure, error.code);
    }
    log_line(log_sink, "QBSerial: Successfully opened %s", device_path_);

    if (!backend_->get_line_settings(handle_, line_settings_)) {
        const BackendError error = backend_->last_error();
        log_line(log_sink, "QBSerial: GetCommState Failed");
        return fail_open(error.failure == OpenFailure::not_a_port ? error.failure : OpenFailure::other,
                         error.code);
    }
    line_settings_.baud_rate = kOpenBaudRate;
    line_settings_.byte_size = 8;
    line_settings_.parity = 0;
    line_settings_.cts_flow = false;
    line_settings_.dsr_flow = false;
    line_settings_.dtr_on = true;
    line_settings_.rts_on = true;
    if (!backend_->set_line_settings(handle_, line_settings_)) {
        const BackendError error = backend_->last_error();
        log_line(log_sink, "QBSerial: SetCommState Failed");
        return fail_open(error.failure == OpenFailure::not_a_port ? error.failure : OpenFailure::other,
                         error.code);
    }

    timeouts_ = kOpenTimeouts;
    backend_->set_timeouts(handle_, timeouts_);
    open_failure_ = OpenFailure::none;
    open_error_ = 0;
    log_line(log_sink, "QBSerial: %s opened at %u baud", device_path_, kOpenBaudRate);
    return true;
}

void SerialPort::close()
{
    if (is_open()) {
        close_handle();
    }
    log_line(log_sink, "QBSerial: Port Closed");
}

bool SerialPort::is_open() const { return handle_ != kInvalidHandle; }

LowLatency SerialPort::low_latency() const { return backend_->low_latency(); }

bool SerialPort::set_queue_sizes()
{
    if (!is_open()) {
        return false;
    }
    return backend_->set_queue_sizes(handle_, kQueueSize, kQueueSize);
}

bool SerialPort::set_timeouts(std::uint32_t read_interval, std::uint32_t read_total_multiplier,
                              std::uint32_t read_total_constant, std::uint32_t write_total_multiplier,
                              std::uint32_t write_total_constant)
{
    if (!is_open() || !backend_->get_timeouts(handle_, timeouts_)) {
        return false;
    }
    const CommTimeouts reported = timeouts_;
    timeouts_ = {read_interval, read_total_multiplier, read_total_constant, write_total_multiplier,
                 write_total_constant};
    if (!backend_->set_timeouts(handle_, timeouts_)) {
        timeouts_ = reported;
        return false;
    }
    return true;
}

bool SerialPort::set_read_timeout(std::uint32_t read_total_constant)
{
    if (!is_open() || !backend_->get_timeouts(handle_, timeouts_)) {
        return false;
    }
    const CommTimeouts reported = timeouts_;
    timeouts_.read_total_constant = read_total_constant;
    if (!backend_->set_timeouts(handle_, timeouts_)) {
        timeouts_ = reported;
        return false;
    }
    return true;
}

bool SerialPort::set_baud_rate(std::uint32_t bits_per_second)
{
    if (!is_open()) {
        return false;
    }
    if (!backend_->get_line_settings(handle_, line_settings_)) {
        log_line(log_sink, "QBSerial: GetCommState Failed");
        return false;
    }
    if (line_settings_.baud_rate == bits_per_second) {
        return true;
    }
    const std::uint32_t reported = line_settings_.baud_rate;
    line_settings_.baud_rate = bits_per_second;
    if (!backend_->set_line_settings(handle_, line_settings_)) {
        line_settings_.baud_rate = reported;
        log_line(log_sink, "QBSerial: SetCommState Failed");
        return false;
    }
    log_line(log_sink, "QBSerial: Baud changed to %u", bits_per_second);
    return true;
}

void SerialPort::purge()
{
    if (is_open()) {
        backend_->purge(handle_);
    }
}

std::uint32_t SerialPort::read(void* buffer, std::uint32_t count)
{
    if (!is_open() || buffer == nullptr || count == 0) {
        return 0;
    }
    std::uint32_t done = 0;
    if (!backend_->read(handle_, buffer, count, done)) {
        return 0;
    }
    log_hex_dump(log_sink, "QBSerial: Read", buffer, done);
    return done;
}

std::uint32_t SerialPort::write(const void* buffer, std::uint32_t count)
{
    if (!is_open() || buffer == nullptr || count == 0) {
        return 0;
    }
    std::uint32_t done = 0;
    if (!backend_->write(handle_, buffer, count, done)) {
        return 0;
    }
    log_hex_dump(log_sink, "QBSerial: Write", buffer, done);
    return done;
}
