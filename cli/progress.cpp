#include "cli/progress.h"

#include <algorithm>

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Minutes(double seconds)
{
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

} // namespace

ProgressDisplay::ProgressDisplay(std::FILE* out, bool terminal, std::uint64_t body_size)
    : out_(out), terminal_(terminal), body_size_(body_size)
{
}

std::string ProgressDisplay::Bar(std::uint64_t done, double seconds) const
{
    const int percent = body_size_ == 0 ? 100 : static_cast<int>(done * 100 / body_size_);
    const int filled = percent * kBarWidth / 100;
    std::string bar = "\r[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]";
    char text[128];
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const std::string left =
        rate > 0 ? Minutes(static_cast<double>(body_size_ - done) / rate) + " left" : "--:-- left";
    std::snprintf(text, sizeof text, " %3d%%  %llu/%llu bytes  %.1f KiB/s  %s  ", percent,
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(body_size_),
                  rate / 1024.0, left.c_str());
    return bar + text;
}

void ProgressDisplay::Update(const SendProgress& progress)
{
    const auto now = Clock::now();
    const bool end = progress.stage == SendProgress::Stage::end;
    if (progress.stage == SendProgress::Stage::begin) {
        start_ = now;
        tenths_shown_ = 0;
        drawn_ = false;
    }
    const std::uint64_t done = progress.done;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    if (terminal_) {
        if (end && !drawn_)
            return; // the upload stopped before it began: no bar to finish
        if (end || !drawn_ || done == body_size_ || now - last_draw_ >= kRedrawInterval) {
            std::fputs(Bar(done, seconds).c_str(), out_);
            if (end)
                std::fputc('\n', out_);
            std::fflush(out_);
            last_draw_ = now;
            drawn_ = true;
        }
        return;
    }
    const int tenths = body_size_ == 0 ? 10 : static_cast<int>(done * 10 / body_size_);
    if (end || tenths <= tenths_shown_)
        return;
    tenths_shown_ = tenths;
    std::fprintf(out_, "Uploading: %3d%% (%llu of %llu bytes)\n", tenths * 10,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(body_size_));
    std::fflush(out_);
}
