#pragma once
// How far the downloads of a pass have come: bytes received and bytes to receive,
// counted by every transfer thread at once and reported to the window at most twice
// a second. The engine only counts; the window reads the figures and formats them.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "win/lock.h"

namespace qv {

// The least time between two reports, in milliseconds: at most twice a second.
inline constexpr uint64_t kProgressReportIntervalMs = 500;

// One reading of the counter; received never exceeds total.
struct ProgressFigures {
    uint64_t received = 0;
    uint64_t total = 0;  // 0 while nothing is known about the bytes to come
};

// The counter of one pass. Thread-safe: every transfer counts into it directly.
class ProgressCounter {
public:
    // Called (on a counting thread) for each report; must not block.
    using Notify = void (*)(void* context) noexcept;
    // Milliseconds from any fixed point; tests pass their own.
    using Clock = uint64_t (*)() noexcept;

    ProgressCounter(Notify notify, void* context, Clock clock = &SystemClock) noexcept;
    ProgressCounter(const ProgressCounter&) = delete;
    ProgressCounter& operator=(const ProgressCounter&) = delete;

    // A new pass: nothing to receive and nothing received; the next change reports at
    // once. Also clears the figures last reported.
    void Reset() noexcept;
    // The bytes to receive change by `change` (an entry's announced size, or a patch
    // taking the place of a full file and back). The total never goes below 0.
    void Expect(int64_t change) noexcept;
    // The bytes received change by `change`: negative when a failed attempt's bytes
    // are no longer there.
    void Received(int64_t change) noexcept;
    // The end of the downloads: reports the exact figures, whatever the last report's
    // time.
    void Finish() noexcept;

    // The figures as they are now.
    [[nodiscard]] ProgressFigures Current() const noexcept;
    // The figures of the last report, read by the window when it is told.
    [[nodiscard]] ProgressFigures Reported() const noexcept;

    // GetTickCount64.
    static uint64_t SystemClock() noexcept;

private:
    // Reports when the last report is old enough; one thread wins each interval.
    void MaybeReport() noexcept;
    // Keeps the figures for Reported() and tells the owner.
    void Report() noexcept;

    static constexpr uint64_t kNever = UINT64_MAX;

    Notify notify_;
    void* context_;
    Clock clock_;
    std::atomic<int64_t> received_{0};
    std::atomic<int64_t> total_{0};
    std::atomic<uint64_t> last_report_{kNever};
    mutable ExclusiveLock reported_lock_;
    ProgressFigures reported_;
};

// What a file transfer tells about its body (update/downloader.h). Called on the
// transfer's own thread.
class TransferProgress {
public:
    virtual ~TransferProgress() = default;
    // An answer's body starts: `offset` bytes of the file are kept on disk (a resumed
    // file), and the whole file will have `size` bytes when the answer says so.
    virtual void Answered(uint64_t offset, std::optional<uint64_t> size) noexcept = 0;
    // The file on disk has `bytes` bytes now.
    virtual void OnDisk(uint64_t bytes) noexcept = 0;
};

// One entry's share of the pass's counter: counts what is on disk for it, so that a
// retried attempt never counts its bytes twice and a resumed file counts what it has.
// A patch fetched in place of a file: Expect(patch size - file size), an EntryProgress
// with the patch's signed size for its transfer; on falling back, OnDisk(0) on it and
// Expect(file size - patch size) before the file's own transfer.
class EntryProgress final : public TransferProgress {
public:
    // `counter` may be null (counts nothing). `expected`: the entry's signed size, already
    // in the counter's total; without it each answer's announced size counts instead.
    EntryProgress(ProgressCounter* counter, std::optional<uint64_t> expected) noexcept
        : counter_(counter), expected_(expected) {}

    void Answered(uint64_t offset, std::optional<uint64_t> size) noexcept override;
    void OnDisk(uint64_t bytes) noexcept override;
    // A staged file of an earlier run is taken as it is: its signed size is received.
    void Reused() noexcept;

private:
    // This entry's share of the total follows `bytes` (unsigned mode only).
    void ExpectAtLeast(uint64_t bytes, bool replace) noexcept;

    ProgressCounter* counter_;
    std::optional<uint64_t> expected_;
    uint64_t on_disk_ = 0;    // counted as received for this entry
    uint64_t announced_ = 0;  // counted in the total for this entry (unsigned mode)
};

}  // namespace qv
