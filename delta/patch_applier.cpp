#include "delta/patch_applier.h"

#include <zstd.h>

#include <algorithm>
#include <memory>

#include "delta/mapped_file.h"

namespace qv::delta {

namespace {

// Input is fed in slices of this size, so that the stop flag is read often: a patch of
// long copies from its base may make 128 KiB of output from ten bytes of input, so a
// slice is small (at most some 13 MB of output between two reads of the flag).
constexpr size_t kInputSlice = 1024;

struct DCtxDeleter {
    void operator()(ZSTD_DCtx* context) const noexcept { ZSTD_freeDCtx(context); }
};

bool StopRequested(const std::atomic<bool>* stop) noexcept {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

}  // namespace

int PatchWindowLog(uint64_t base_size, uint64_t target_size) noexcept {
    const uint64_t span = base_size + target_size;
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < kMaxWindowLog && (uint64_t{1} << log) < span) {
        ++log;
    }
    return log;
}

ApplyResult ApplyPatch(const uint8_t* base, size_t base_size, const uint8_t* patch,
                       size_t patch_size, uint8_t* output, size_t expected_size,
                       const std::atomic<bool>* stop) noexcept {
    // The frame says what it makes; a patch for another size is refused before any
    // byte is written.
    const unsigned long long content_size = ZSTD_getFrameContentSize(patch, patch_size);
    if (content_size == ZSTD_CONTENTSIZE_ERROR || content_size == ZSTD_CONTENTSIZE_UNKNOWN) {
        return ApplyResult::kCorrupt;
    }
    if (content_size != expected_size) {
        return ApplyResult::kWrongSize;
    }
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> context(ZSTD_createDCtx());
    ZSTD_DCtx* const d = context.get();
    // The window may reach back over the whole base, no further; the output buffer
    // stays put, so the decoder keeps no window of its own.
    if (d == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax,
                                            PatchWindowLog(base_size, expected_size))) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_stableOutBuffer, 1)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(d, base_size > 0 ? base : nullptr, base_size))) {
        return ApplyResult::kFailed;
    }
    ZSTD_outBuffer out = {output, expected_size, 0};
    ZSTD_inBuffer in = {patch, 0, 0};
    for (;;) {
        if (StopRequested(stop)) {
            return ApplyResult::kStopped;
        }
        const size_t in_before = in.pos, out_before = out.pos;
        in.size = std::min(patch_size, in.pos + kInputSlice);
        const size_t result = ZSTD_decompressStream(d, &out, &in);
        if (ZSTD_isError(result)) {
            // Running out of output too: the data contradicts its own header.
            return ApplyResult::kCorrupt;
        }
        if (result == 0) {
            // One frame, and nothing after it.
            if (in.pos != patch_size) {
                return ApplyResult::kCorrupt;
            }
            return out.pos == expected_size ? ApplyResult::kApplied : ApplyResult::kWrongSize;
        }
        if (in.pos == patch_size && in.pos == in_before && out.pos == out_before) {
            return ApplyResult::kCorrupt;  // truncated: the frame wants more than there is
        }
    }
}

ApplyResult ApplyPatchFile(const wchar_t* base_path, const wchar_t* patch_path,
                           const wchar_t* output_path, uint64_t expected_size, uint64_t max_size,
                           const std::atomic<bool>* stop) noexcept {
    if (expected_size > max_size) {
        return ApplyResult::kWrongSize;
    }
    MappedFile base, patch, output;
    // A patch is never larger than the largest file it may make, plus zstd's framing
    // (the bound's macro form: the function would link the whole compressor in).
    if (!base.OpenRead(base_path, max_size) ||
        !patch.OpenRead(patch_path, ZSTD_COMPRESSBOUND(static_cast<size_t>(max_size))) ||
        !output.CreateWrite(output_path, expected_size)) {
        return ApplyResult::kFailed;
    }
    const ApplyResult result =
        ApplyPatch(base.data(), static_cast<size_t>(base.size()), patch.data(),
                   static_cast<size_t>(patch.size()), output.writable_data(),
                   static_cast<size_t>(expected_size), stop);
    output.Close();
    if (result != ApplyResult::kApplied) {
        DeleteFileW(output_path);
    }
    return result;
}

}  // namespace qv::delta
