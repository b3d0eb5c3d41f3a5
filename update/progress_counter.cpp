#include "update/progress_counter.h"

#include <algorithm>

namespace qv {

namespace {

// A count that may have gone below 0 for a moment (a take-back before its addition),
// read as what it means.
uint64_t NotBelowZero(int64_t value) noexcept {
    return value < 0 ? 0 : static_cast<uint64_t>(value);
}

// A difference of two byte counts, saturated to the counter's range.
int64_t Difference(uint64_t to, uint64_t from) noexcept {
    constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
    return to >= from ? static_cast<int64_t>(std::min(to - from, kMax))
                      : -static_cast<int64_t>(std::min(from - to, kMax));
}

}  // namespace

ProgressCounter::ProgressCounter(Notify notify, void* context, Clock clock) noexcept
    : notify_(notify), context_(context), clock_(clock) {}

uint64_t ProgressCounter::SystemClock() noexcept {
    return GetTickCount64();
}

void ProgressCounter::Reset() noexcept {
    received_.store(0);
    total_.store(0);
    last_report_.store(kNever);
    const LockGuard lock(reported_lock_);
    reported_ = ProgressFigures();
}

void ProgressCounter::Expect(int64_t change) noexcept {
    total_.fetch_add(change);
    MaybeReport();
}

void ProgressCounter::Received(int64_t change) noexcept {
    received_.fetch_add(change);
    MaybeReport();
}

void ProgressCounter::Finish() noexcept {
    const uint64_t now = clock_();
    last_report_.store(now);
    Report();
}

ProgressFigures ProgressCounter::Current() const noexcept {
    ProgressFigures figures;
    figures.received = NotBelowZero(received_.load());
    // A body without an announced length, or a transfer that counted its bytes before
    // another announced its size, never shows more received than to receive.
    figures.total = std::max(NotBelowZero(total_.load()), figures.received);
    return figures;
}

ProgressFigures ProgressCounter::Reported() const noexcept {
    const LockGuard lock(reported_lock_);
    return reported_;
}

void ProgressCounter::MaybeReport() noexcept {
    const uint64_t now = clock_();
    uint64_t last = last_report_.load();
    if (last != kNever && now - last < kProgressReportIntervalMs) {
        return;
    }
    // Of the threads that find the last report old, one reports.
    if (last_report_.compare_exchange_strong(last, now)) {
        Report();
    }
}

void ProgressCounter::Report() noexcept {
    {
        const LockGuard lock(reported_lock_);
        reported_ = Current();
    }
    if (notify_ != nullptr) {
        notify_(context_);
    }
}

void EntryProgress::Answered(uint64_t offset, std::optional<uint64_t> size) noexcept {
    if (counter_ == nullptr) {
        return;
    }
    if (!expected_) {
        // This answer's size takes the place of what an earlier one announced.
        ExpectAtLeast(size ? std::max(*size, offset) : offset, true);
    }
    OnDisk(offset);
}

void EntryProgress::OnDisk(uint64_t bytes) noexcept {
    if (counter_ == nullptr) {
        return;
    }
    if (!expected_) {
        ExpectAtLeast(bytes, false);  // a body without a length grows the total as it comes
    }
    if (bytes != on_disk_) {
        counter_->Received(Difference(bytes, on_disk_));
        on_disk_ = bytes;
    }
}

void EntryProgress::Reused() noexcept {
    if (counter_ != nullptr && expected_) {
        OnDisk(*expected_);
    }
}

void EntryProgress::ExpectAtLeast(uint64_t bytes, bool replace) noexcept {
    if (bytes == announced_ || (!replace && bytes < announced_)) {
        return;
    }
    counter_->Expect(Difference(bytes, announced_));
    announced_ = bytes;
}

}  // namespace qv
