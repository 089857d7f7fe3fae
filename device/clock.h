// The one clock behind every wait of the device connection: the fixed pauses after opening a port
// and after a speed change, the device lock's wait, and the time-outs of the in-memory serial
// line. The program runs on real time; tests and the fuzzer give the connection a FakeClock, on
// which every wait passes at once and only moves the clock's reading forward.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class WaitClock {
public:
    virtual ~WaitClock() = default;

    // Time since an arbitrary start.
    virtual std::chrono::nanoseconds now() = 0;
    virtual void sleep_for(std::chrono::milliseconds duration) = 0;
    // With `lock` held on the mutex that guards `flag`: waits on `changed` until `flag` is true or
    // `timeout` has passed, and returns `flag`.
    virtual bool wait_for_flag(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                               std::chrono::milliseconds timeout, const bool& flag) = 0;
};

class SystemClock final : public WaitClock {
public:
    std::chrono::nanoseconds now() override { return std::chrono::steady_clock::now().time_since_epoch(); }
    void sleep_for(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
    bool wait_for_flag(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                       std::chrono::milliseconds timeout, const bool& flag) override
    {
        return changed.wait_for(lock, timeout, [&flag] { return flag; });
    }

    // The program's clock.
    static SystemClock& instance()
    {
        static SystemClock clock;
        return clock;
    }
};

// Time that moves only when something waits on it. A wait for a flag that nobody has set yet
// ends at once as timed out: only one thread runs against this clock.
class FakeClock final : public WaitClock {
public:
    std::chrono::nanoseconds now() override { return std::chrono::nanoseconds(now_ns_.load()); }
    void sleep_for(std::chrono::milliseconds duration) override { advance(duration); }
    bool wait_for_flag(std::condition_variable&, std::unique_lock<std::mutex>&,
                       std::chrono::milliseconds timeout, const bool& flag) override
    {
        if (!flag)
            advance(timeout);
        return flag;
    }

    void advance(std::chrono::nanoseconds duration)
    {
        if (duration.count() > 0)
            now_ns_ += duration.count();
    }

private:
    std::atomic<std::int64_t> now_ns_{0};
};
