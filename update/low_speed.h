#pragma once
// The slow-transfer rule: a transfer that moves less than a rate over a whole window
// fails, so that a server dripping a byte now and then cannot hold the job (and its
// mutex) for hours. Each receive is bounded by the time-out; this bounds the whole.

#include <windows.h>

#include <cstdint>

namespace qv {

inline constexpr uint32_t kLowSpeedBytesPerSecond = 1024;
inline constexpr DWORD kLowSpeedWindowMs = 60000;

class LowSpeedGuard {
public:
    explicit LowSpeedGuard(DWORD window_ms = kLowSpeedWindowMs,
                           uint32_t bytes_per_second = kLowSpeedBytesPerSecond) noexcept
        : window_ms_(window_ms), bytes_per_second_(bytes_per_second) {}

    // A transfer starts at `now_ms` (a tick count).
    void Start(DWORD now_ms) noexcept {
        window_start_ = now_ms;
        window_bytes_ = 0;
    }
    // Counts bytes that arrived at `now_ms`; false once a whole window has passed with
    // fewer bytes than the rate asks for. Each window is judged on its own.
    [[nodiscard]] bool Arrived(uint64_t count, DWORD now_ms) noexcept {
        window_bytes_ += count;
        const DWORD elapsed = now_ms - window_start_;  // wraps with the tick count
        if (elapsed < window_ms_) {
            return true;
        }
        if (window_bytes_ * 1000 < uint64_t{bytes_per_second_} * elapsed) {
            return false;
        }
        Start(now_ms);
        return true;
    }

private:
    DWORD window_ms_;
    uint32_t bytes_per_second_;
    DWORD window_start_ = 0;
    uint64_t window_bytes_ = 0;
};

}  // namespace qv
