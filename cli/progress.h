// The upload's progress on standard error: on a terminal one bar redrawn in place, otherwise a
// plain line at every tenth of the image.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "update/update_flow.h"

class ProgressDisplay {
public:
    ProgressDisplay(std::FILE* out, bool terminal, std::uint64_t body_size);
    void Update(const SendProgress& progress);

private:
    using Clock = std::chrono::steady_clock;
    std::string Bar(std::uint64_t done, double seconds) const;

    std::FILE* out_;
    bool terminal_;
    std::uint64_t body_size_;
    Clock::time_point start_{};
    Clock::time_point last_draw_{};
    int tenths_shown_ = 0;
    bool drawn_ = false;
};
