// Scoped hold on the device lock: takes it at construction (waiting at most 1200 ms) and
// releases it at the end of the scope only when this guard took it.
#pragma once

#include "device/device_connection.h"

class DeviceLockGuard {
public:
    explicit DeviceLockGuard(DeviceConnection& connection)
        : connection_(connection), outcome_(connection.AcquireDeviceLock()),
          held_(outcome_ == LockResult::acquired)
    {
    }
    ~DeviceLockGuard() { release(); }
    DeviceLockGuard(const DeviceLockGuard&) = delete;
    DeviceLockGuard& operator=(const DeviceLockGuard&) = delete;

    // The wait timed out: the caller must end with KV_E_PORT_BUSY and touch nothing.
    bool busy() const { return outcome_ == LockResult::busy; }

    // Early release, for commands that log or sleep after their exchange.
    void release()
    {
        if (held_) {
            held_ = false;
            connection_.ReleaseDeviceLock();
        }
    }

private:
    DeviceConnection& connection_;
    LockResult outcome_;
    bool held_;
};
