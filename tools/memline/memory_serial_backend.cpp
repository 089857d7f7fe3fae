#include "tools/memline/memory_serial_backend.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

constexpr std::intptr_t kMemoryHandle = 1;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

} // namespace

MemorySerialBackend::MemorySerialBackend(WaitClock& clock) : clock_(clock) {}

bool MemorySerialBackend::usable(std::intptr_t handle) const
{
    return handle == kMemoryHandle && handle_open_ && !vanished_;
}

std::intptr_t MemorySerialBackend::open(const char* device_path)
{
    // A port that vanished stays away; one handle at a time, as share mode 0 gives.
    constexpr int kNotFound = 2;
    if (device_path == nullptr || vanished_) {
        error_ = {OpenFailure::absent, kNotFound, {}};
        return kInvalidHandle;
    }
    const std::string_view path = device_path;
    if (const auto refused = refused_.find(path); refused != refused_.end()) {
        error_ = refused->second;
        return kInvalidHandle;
    }
    if (handle_open_) {
        error_ = {OpenFailure::in_use, 0, {}};
        return kInvalidHandle;
    }
    if (ports_.find(path) == ports_.end()) {
        error_ = {OpenFailure::absent, kNotFound, {}};
        return kInvalidHandle;
    }
    handle_open_ = true;
    open_path_ = device_path;
    ++stats_.opens;
    settings_ = LineSettings{};
    settings_.baud_rate = 9600;
    settings_.byte_size = 8;
    waiting_.clear();
    written_.clear();
    return kMemoryHandle;
}

void MemorySerialBackend::close(std::intptr_t handle)
{
    if (handle == kMemoryHandle) {
        handle_open_ = false;
        open_path_.clear();
    }
}

bool MemorySerialBackend::get_line_settings(std::intptr_t handle, LineSettings& settings)
{
    if (!usable(handle))
        return false;
    settings = settings_;
    return true;
}

bool MemorySerialBackend::set_line_settings(std::intptr_t handle, const LineSettings& settings)
{
    if (!usable(handle))
        return false;
    settings_ = settings;
    return true;
}

bool MemorySerialBackend::get_timeouts(std::intptr_t handle, CommTimeouts& timeouts)
{
    if (!usable(handle))
        return false;
    timeouts = timeouts_;
    return true;
}

bool MemorySerialBackend::set_timeouts(std::intptr_t handle, const CommTimeouts& timeouts)
{
    if (!usable(handle))
        return false;
    timeouts_ = timeouts;
    return true;
}

bool MemorySerialBackend::set_queue_sizes(std::intptr_t handle, std::uint32_t, std::uint32_t)
{
    return usable(handle);
}

void MemorySerialBackend::purge(std::intptr_t handle)
{
    if (usable(handle))
        waiting_.clear();
}

ReadStep MemorySerialBackend::next_step(std::uint32_t missing)
{
    if (script_)
        return script_(missing, written_);
    if (steps_.empty())
        return ReadStep{};
    ReadStep step = std::move(steps_.front());
    steps_.pop_front();
    return step;
}

// The time a read that got `got` of `count` bytes waited before it ended, on the clock.
void MemorySerialBackend::wait_out(std::uint32_t count, std::uint32_t got)
{
    const CommTimeouts& t = timeouts_;
    ++stats_.read_timeouts;
    if (t.read_interval == kMaxDword && t.read_total_multiplier == 0 && t.read_total_constant == 0)
        return; // returns at once with what is there
    const std::uint64_t total =
        static_cast<std::uint64_t>(t.read_total_multiplier) * count + t.read_total_constant;
    std::uint64_t wait = total;
    if (total == 0) {
        // No total time-out: only the gap after a byte ends the read; with nothing arriving it
        // would wait for ever.
        if (got == 0 || t.read_interval == 0) {
            stats_.unbounded_wait = true;
            return;
        }
        wait = t.read_interval;
    } else if (got > 0 && t.read_interval != 0) {
        wait = std::min<std::uint64_t>(total, t.read_interval);
    }
    stats_.longest_wait_ms = std::max<std::int64_t>(stats_.longest_wait_ms, static_cast<std::int64_t>(wait));
    clock_.sleep_for(std::chrono::milliseconds(wait));
}

bool MemorySerialBackend::read(std::intptr_t handle, void* buffer, std::uint32_t count, std::uint32_t& done)
{
    if (!usable(handle))
        return false;
    ++stats_.reads;
    stats_.timeouts_at_last_read = timeouts_;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t got = 0;
    auto take_waiting = [&] {
        while (got < count && !waiting_.empty()) {
            out[got++] = waiting_.front();
            waiting_.pop_front();
        }
    };
    take_waiting();
    if (got < count) {
        ReadStep step = next_step(count - got);
        if (step.vanish) {
            vanished_ = true;
            written_.clear();
            // Bytes already taken from the line are still reported, as a hang-up does.
            if (got == 0)
                return false;
            done = got;
            return true;
        }
        vanish_at_write_ = vanish_at_write_ || step.vanish_at_write;
        if (step.late) {
            waiting_.insert(waiting_.end(), step.bytes.begin(), step.bytes.end());
            wait_out(count, got);
            written_.clear();
            done = got;
            return true;
        }
        waiting_.insert(waiting_.end(), step.bytes.begin(), step.bytes.end());
        take_waiting();
        if (got < count)
            wait_out(count, got);
    }
    written_.clear();
    done = got;
    return true;
}

bool MemorySerialBackend::write(std::intptr_t handle, const void* buffer, std::uint32_t count,
                                std::uint32_t& done)
{
    if (!usable(handle))
        return false;
    if (vanish_at_write_) {
        vanished_ = true;
        return false;
    }
    ++stats_.writes;
    stats_.bytes_written += count;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    // Only the request being answered is kept; an image's chunks are not worth the memory.
    if (written_.size() < 4096)
        written_.insert(written_.end(), bytes, bytes + std::min<std::uint32_t>(count, 4096));
    done = count;
    return true;
}
