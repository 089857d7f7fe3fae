// The state behind StopRequest, shared by its platform-neutral part and each platform's handler.
// Both are lock-free atomics, so a signal handler may touch them.
#pragma once

#include <atomic>

namespace stop_state {

static_assert(std::atomic<int>::is_always_lock_free);
extern std::atomic<int> requested; // how many times a stop was asked for
extern std::atomic<int> updates_running;

} // namespace stop_state
