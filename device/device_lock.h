// The device lock: one exchange with the device at a time. A DeviceLockGuard takes it (waiting at
// most 1200 ms) and gives it back on every way out of its scope; nothing else can take or release it.
#pragma once

#include <atomic>
#include <chrono>

#include "device/auto_reset_event.h"
#include "device/clock.h"

class DeviceLock {
public:
    // Waits pass on the connection's clock.
    explicit DeviceLock(WaitClock& clock) : clock_(clock) {}
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Someone holds it now: for checks that every command handed it back.
    bool held() const { return held_.load(); }

private:
    friend class DeviceLockGuard;
    static constexpr std::chrono::milliseconds kWait{1200};

    bool take()
    {
        if (!free_.wait_for(clock_, kWait))
            return false;
        held_ = true;
        return true;
    }
    void give_back()
    {
        held_ = false;
        free_.set();
    }

    WaitClock& clock_;
    AutoResetEvent free_{true};
    std::atomic<bool> held_{false};
};

class DeviceLockGuard {
public:
    explicit DeviceLockGuard(DeviceLock& lock) : lock_(lock), held_(lock.take()), busy_(!held_) {}
    ~DeviceLockGuard() { release(); }
    DeviceLockGuard(const DeviceLockGuard&) = delete;
    DeviceLockGuard& operator=(const DeviceLockGuard&) = delete;

    // The wait timed out: the caller must end with KV_E_PORT_BUSY and touch nothing.
    bool busy() const { return busy_; }

    // Early release, for commands that log or sleep after their exchange.
    void release()
    {
        if (held_) {
            held_ = false;
            lock_.give_back();
        }
    }

private:
    DeviceLock& lock_;
    bool held_;
    const bool busy_;
};
