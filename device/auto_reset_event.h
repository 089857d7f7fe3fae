// An auto-reset event: wait() consumes the signal, set() signals it again for one waiter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "device/clock.h"

class AutoResetEvent {
public:
    explicit AutoResetEvent(bool signalled) : signalled_(signalled) {}

    // True when the event was signalled within the time-out (and is now reset), as the clock tells.
    bool wait_for(WaitClock& clock, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        if (!clock.wait_for_flag(ready_, lock, timeout, signalled_))
            return false;
        signalled_ = false;
        return true;
    }
    bool wait_for(std::chrono::milliseconds timeout) { return wait_for(SystemClock::instance(), timeout); }

    void set()
    {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        ready_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    bool signalled_;
};
