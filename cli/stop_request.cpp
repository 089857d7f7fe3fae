#include "cli/platform.h"
#include "cli/stop_state.h"

namespace stop_state {

std::atomic<int> requested{0};
std::atomic<int> updates_running{0};
std::atomic<bool> update_began{false};
std::atomic<bool> end_when_idle{false};
std::atomic<int> last_request{0};

} // namespace stop_state

bool StopRequest::requested() const { return stop_state::requested.load() != 0; }

int StopRequest::requests() const { return stop_state::requested.load(); }

bool StopRequest::BeginUpdate()
{
    // Counted before the look at the request, while the handler counts the request before it
    // looks at the updates: whichever comes second sees the other, so a stop never misses an
    // update, and a request that ends the program never meets one.
    stop_state::updates_running.fetch_add(1);
    if (stop_state::requested.load() == 0) {
        // One device: from here to the end of the program, a request only gets its answer.
        stop_state::update_began = true;
        return true;
    }
    stop_state::updates_running.fetch_sub(1);
    return false;
}

void StopRequest::EndUpdate() { stop_state::updates_running.fetch_sub(1); }

int StopRequest::updates_running() const { return stop_state::updates_running.load(); }
