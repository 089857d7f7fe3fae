// A serial line in memory, for tests and the fuzzer: the real SerialPort runs on it unchanged.
// What the program writes is kept; what each read receives comes from a script. A read that gets
// fewer bytes than it asked for ends on its time-out, which passes on the given clock with the
// COMMTIMEOUTS rules (a FakeClock makes it instant).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/clock.h"
#include "serial/serial_backend.h"

// What the far end does while one read waits.
struct ReadStep {
    std::vector<std::uint8_t> bytes; // what arrives; beyond the count asked for it waits for the next read
    bool late = false;               // arrives only after the read has ended on its time-out
    bool vanish = false;             // the port goes away: this and every later call fails
    bool vanish_at_write = false;    // the read gets its bytes; the port goes away at the next write
};

class MemorySerialBackend final : public SerialBackend {
public:
    // Called for each read that the bytes already waiting do not satisfy, with the count still
    // missing and every byte written since the previous read.
    using Script = std::function<ReadStep(std::uint32_t missing, const std::vector<std::uint8_t>& written)>;

    explicit MemorySerialBackend(WaitClock& clock);

    // Device paths that open (as given to SerialPort::open); every other path fails to open, as
    // absent (error 2, ENOENT and ERROR_FILE_NOT_FOUND alike) unless refuse_port names a reason.
    void add_port(const std::string& device_path) { ports_.insert(device_path); }
    void refuse_port(const std::string& device_path, OpenFailure failure, int code)
    {
        refused_[device_path] = {failure, code, {}};
    }
    // The path the line is open on (empty while closed), so that a script can answer on one
    // port only.
    const std::string& open_path() const { return open_path_; }
    void set_script(Script script) { script_ = std::move(script); }
    // Without a script, reads take these steps in order; when they run out the line is silent.
    void queue(ReadStep step) { steps_.push_back(std::move(step)); }

    // Statistics of the line since construction (or reset_statistics).
    struct Statistics {
        std::uint32_t opens = 0;
        std::uint32_t reads = 0;
        std::uint32_t writes = 0;
        std::uint64_t bytes_written = 0;
        std::uint32_t read_timeouts = 0;    // reads that ended short
        std::int64_t longest_wait_ms = 0;   // the longest time-out a read waited
        bool unbounded_wait = false;        // a read that would have waited for ever
        CommTimeouts timeouts_at_last_read; // the time-outs in force when the last read began
    };
    const Statistics& statistics() const { return stats_; }
    void reset_statistics() { stats_ = Statistics{}; }

    bool is_open() const { return handle_open_; }
    bool vanished() const { return vanished_; }
    const CommTimeouts& timeouts() const { return timeouts_; }
    std::uint32_t baud_rate() const { return settings_.baud_rate; }
    // The bytes written since the last read (the request being answered).
    const std::vector<std::uint8_t>& pending_written() const { return written_; }

    std::intptr_t open(const char* device_path) override;
    void close(std::intptr_t handle) override;
    bool get_line_settings(std::intptr_t handle, LineSettings& settings) override;
    bool set_line_settings(std::intptr_t handle, const LineSettings& settings) override;
    bool get_timeouts(std::intptr_t handle, CommTimeouts& timeouts) override;
    bool set_timeouts(std::intptr_t handle, const CommTimeouts& timeouts) override;
    bool set_queue_sizes(std::intptr_t handle, std::uint32_t input, std::uint32_t output) override;
    void purge(std::intptr_t handle) override;
    bool read(std::intptr_t handle, void* buffer, std::uint32_t count, std::uint32_t& done) override;
    bool write(std::intptr_t handle, const void* buffer, std::uint32_t count, std::uint32_t& done) override;
    BackendError last_error() const override { return error_; }

private:
    bool usable(std::intptr_t handle) const;
    ReadStep next_step(std::uint32_t missing);
    void wait_out(std::uint32_t count, std::uint32_t got);

    WaitClock& clock_;
    std::set<std::string, std::less<>> ports_;
    std::map<std::string, BackendError, std::less<>> refused_;
    std::string open_path_;
    BackendError error_;
    Script script_;
    std::deque<ReadStep> steps_;
    std::deque<std::uint8_t> waiting_; // arrived and not yet read
    std::vector<std::uint8_t> written_;
    bool handle_open_ = false;
    bool vanished_ = false;
    bool vanish_at_write_ = false;
    LineSettings settings_{};
    CommTimeouts timeouts_{};
    Statistics stats_;
};
