// The state behind StopRequest, shared by its platform-neutral part and each platform's handler.
// All lock-free atomics, so a signal handler may touch them.
#pragma once

#include <atomic>

namespace stop_state {

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
extern std::atomic<int> requested; // how many times a stop was asked for
extern std::atomic<int> updates_running;
extern std::atomic<bool> update_began;  // an update passed the gate since the request was made
extern std::atomic<bool> end_when_idle; // StopRequest::Answer::end_when_idle
extern std::atomic<int> last_request;   // the signal (or console event) of the latest request

// Whether a request that comes now ends the program at once: one device, before its update.
// Read by the handler after it counted the request, while BeginUpdate counts the update before it
// looks at the requests: whichever comes second sees the other.
inline bool EndsAtOnce()
{
    return end_when_idle.load() && updates_running.load() == 0 && !update_began.load();
}

} // namespace stop_state
