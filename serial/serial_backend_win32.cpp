#include <windows.h>

#include <cstring>

#include "serial/serial_backend.h"

namespace {

HANDLE as_handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

class Win32SerialBackend final : public SerialBackend {
public:
    std::intptr_t open(const char* device_path) override
    {
        if (device_path == nullptr ||
            strnlen(device_path, SerialPort::kPathCapacity) > SerialPort::kMaxPathLength) {
            error_ = {OpenFailure::path_too_long, ERROR_FILENAME_EXCED_RANGE, {}};
            return kInvalidHandle;
        }
        const HANDLE handle =
            CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            error_ = {OpenFailureOfWin32Error(code), static_cast<int>(code), {}};
        }
        return reinterpret_cast<std::intptr_t>(handle);
    }

    BackendError last_error() const override { return error_; }

    void close(std::intptr_t handle) override { CloseHandle(as_handle(handle)); }

    bool get_line_settings(std::intptr_t handle, LineSettings& settings) override
    {
        dcb_ = {};
        dcb_.DCBlength = sizeof dcb_;
        if (!GetCommState(as_handle(handle), &dcb_)) {
            return fail_call();
        }
        settings.baud_rate = dcb_.BaudRate;
        settings.byte_size = dcb_.ByteSize;
        settings.parity = dcb_.Parity;
        settings.stop_bits = dcb_.StopBits;
        settings.cts_flow = dcb_.fOutxCtsFlow != 0;
        settings.dsr_flow = dcb_.fOutxDsrFlow != 0;
        settings.dtr_on = dcb_.fDtrControl != DTR_CONTROL_DISABLE;
        settings.rts_on = dcb_.fRtsControl != RTS_CONTROL_DISABLE;
        return true;
    }

    bool set_line_settings(std::intptr_t handle, const LineSettings& settings) override
    {
        dcb_.DCBlength = sizeof dcb_;
        dcb_.BaudRate = settings.baud_rate;
        dcb_.ByteSize = settings.byte_size;
        dcb_.Parity = settings.parity;
        dcb_.StopBits = settings.stop_bits;
        dcb_.fOutxCtsFlow = settings.cts_flow ? TRUE : FALSE;
        dcb_.fOutxDsrFlow = settings.dsr_flow ? TRUE : FALSE;
        dcb_.fDtrControl = settings.dtr_on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb_.fRtsControl = settings.rts_on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        return SetCommState(as_handle(handle), &dcb_) != FALSE || fail_call();
    }

    bool get_timeouts(std::intptr_t handle, CommTimeouts& timeouts) override
    {
        COMMTIMEOUTS native{};
        if (!GetCommTimeouts(as_handle(handle), &native)) {
            return false;
        }
        timeouts.read_interval = native.ReadIntervalTimeout;
        timeouts.read_total_multiplier = native.ReadTotalTimeoutMultiplier;
        timeouts.read_total_constant = native.ReadTotalTimeoutConstant;
        timeouts.write_total_multiplier = native.WriteTotalTimeoutMultiplier;
        timeouts.write_total_constant = native.WriteTotalTimeoutConstant;
        return true;
    }

    bool set_timeouts(std::intptr_t handle, const CommTimeouts& timeouts) override
    {
        COMMTIMEOUTS native{};
        native.ReadIntervalTimeout = timeouts.read_interval;
        native.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
        native.ReadTotalTimeoutConstant = timeouts.read_total_constant;
        native.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
        native.WriteTotalTimeoutConstant = timeouts.write_total_constant;
        return SetCommTimeouts(as_handle(handle), &native) != FALSE;
    }

    bool set_queue_sizes(std::intptr_t handle, std::uint32_t input, std::uint32_t output) override
    {
        return SetupComm(as_handle(handle), input, output) != FALSE;
    }

    void purge(std::intptr_t handle) override { PurgeComm(as_handle(handle), PURGE_TXCLEAR | PURGE_RXCLEAR); }

    bool read(std::intptr_t handle, void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        DWORD got = 0;
        if (!ReadFile(as_handle(handle), buffer, count, &got, nullptr)) {
            return false;
        }
        done = got;
        return true;
    }

    bool write(std::intptr_t handle, const void* buffer, std::uint32_t count, std::uint32_t& done) override
    {
        DWORD put = 0;
        if (!WriteFile(as_handle(handle), buffer, count, &put, nullptr)) {
            return false;
        }
        done = put;
        return true;
    }

private:
    // A handle that takes no communications calls is no serial port (a file, NUL).
    bool fail_call()
    {
        const DWORD code = GetLastError();
        const bool no_port =
            code == ERROR_INVALID_FUNCTION || code == ERROR_INVALID_HANDLE || code == ERROR_NOT_SUPPORTED;
        error_ = {no_port ? OpenFailure::not_a_port : OpenFailure::other, static_cast<int>(code), {}};
        return false;
    }

    DCB dcb_{};
    BackendError error_;
};

} // namespace

std::unique_ptr<SerialBackend> make_serial_backend() { return std::make_unique<Win32SerialBackend>(); }

std::unique_ptr<SerialBackend> make_serial_backend(const std::string&) { return make_serial_backend(); }
