#pragma once
// Applies a patch made by MakePatch: decodes it with the base file as reference into
// an output of exactly the expected size. The base, the patch and the output are
// mapped, and the decoder writes straight into the output, so the private memory it
// needs is a few hundred KiB whatever the file size.

#include <atomic>
#include <cstdint>

namespace qv::delta {

// The largest window a patch uses or an applier accepts (2 GiB: a base and a target
// of at most 1 GiB each).
inline constexpr int kMaxWindowLog = 31;

// The window (as a power of two) that covers a base and a target of these sizes.
[[nodiscard]] int PatchWindowLog(uint64_t base_size, uint64_t target_size) noexcept;

enum class ApplyResult {
    kApplied,
    kStopped,    // the stop flag was set
    kCorrupt,    // not a patch, a truncated or damaged one, or the wrong base
    kWrongSize,  // the patch makes a file of another size than expected
    kFailed,     // a file could not be opened, created, mapped or written
};

// Decodes `patch` against `base` into `output`, which holds exactly `expected_size`
// bytes; nothing is written past it. The stop flag, when given, is read between
// slices of 1 KiB of the patch.
[[nodiscard]] ApplyResult ApplyPatch(const uint8_t* base, size_t base_size, const uint8_t* patch,
                                     size_t patch_size, uint8_t* output, size_t expected_size,
                                     const std::atomic<bool>* stop = nullptr) noexcept;

// The same over files: `output_path` must not exist; it is created with
// `expected_size` bytes, and removed again unless the result is kApplied. It is not
// forced to disk here: the installer flushes every staged file before it moves it.
// The base and the output are at most `max_size` bytes.
[[nodiscard]] ApplyResult ApplyPatchFile(const wchar_t* base_path, const wchar_t* patch_path,
                                         const wchar_t* output_path, uint64_t expected_size,
                                         uint64_t max_size,
                                         const std::atomic<bool>* stop = nullptr) noexcept;

}  // namespace qv::delta
