#pragma once
// When the shell must draw again although no input arrived: a view that shows live engine
// data, a blinking caret or a figure that refreshes on a timer asks here; the main loop draws
// when the earliest wish falls due and otherwise sleeps in the window's event wait.
#include <algorithm>
#include <chrono>
#include <optional>

namespace platform {

class RedrawRequest {
public:
    using Clock = std::chrono::steady_clock;

    // Draw again within `ms` from `now` (the earliest of all wishes counts).
    void Within(int ms, Clock::time_point now = Clock::now()) {
        const Clock::time_point due = now + std::chrono::milliseconds(std::max(0, ms));
        if (!due_ || due < *due_) due_ = due;
    }
    bool Pending() const { return due_.has_value(); }
    bool DueAt(Clock::time_point now) const { return due_ && *due_ <= now; }
    // How long the loop may sleep from `now`: until the wish falls due, at most `limitMs`.
    int WaitMs(int limitMs, Clock::time_point now) const {
        if (!due_) return limitMs;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due_ - now).count();
        return static_cast<int>(std::clamp<long long>(left, 0, limitMs));
    }
    // A frame was drawn: the wishes it answered are gone; the views ask again while they need.
    void Clear() { due_.reset(); }

private:
    std::optional<Clock::time_point> due_;
};

}  // namespace platform
