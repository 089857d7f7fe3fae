// An auto-reset event: wait() consumes the signal, set() signals it again for one waiter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class AutoResetEvent {
public:
    explicit AutoResetEvent(bool signalled) : signalled_(signalled) {}

    // True when the event was signalled within the time-out (and is now reset).
    bool wait_for(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [this] { return signalled_; }))
            return false;
        signalled_ = false;
        return true;
    }

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
