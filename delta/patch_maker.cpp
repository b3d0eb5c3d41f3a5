#include "delta/patch_maker.h"

#include <zstd.h>

#include <memory>

#include "delta/mapped_file.h"
#include "delta/patch_applier.h"  // the window both sides agree on

namespace qv::delta {

namespace {

constexpr int kLevel = 19;
constexpr size_t kOutputStep = 256u << 10;

struct CCtxDeleter {
    void operator()(ZSTD_CCtx* context) const noexcept { ZSTD_freeCCtx(context); }
};

bool Set(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value) noexcept {
    return !ZSTD_isError(ZSTD_CCtx_setParameter(context, parameter, value));
}

}  // namespace

MakeResult MakePatch(const uint8_t* base, size_t base_size, const uint8_t* target,
                     size_t target_size, uint64_t max_size, std::string& patch) noexcept {
    try {
        patch.clear();
        std::unique_ptr<ZSTD_CCtx, CCtxDeleter> context(ZSTD_createCCtx());
        if (!context) {
            return MakeResult::kFailed;
        }
        ZSTD_CCtx* const c = context.get();
        // Everything that shapes the output is set here, nothing left to defaults that
        // depend on the machine: the bytes must not depend on where they were made.
        if (!Set(c, ZSTD_c_compressionLevel, kLevel) ||
            !Set(c, ZSTD_c_windowLog, PatchWindowLog(base_size, target_size)) ||
            !Set(c, ZSTD_c_enableLongDistanceMatching, 1) || !Set(c, ZSTD_c_nbWorkers, 0) ||
            !Set(c, ZSTD_c_checksumFlag, 1) || !Set(c, ZSTD_c_contentSizeFlag, 1) ||
            !Set(c, ZSTD_c_dictIDFlag, 0) ||
            ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(c, target_size)) ||
            ZSTD_isError(ZSTD_CCtx_refPrefix(c, base_size > 0 ? base : nullptr, base_size))) {
            return MakeResult::kFailed;
        }
        ZSTD_inBuffer in = {target, target_size, 0};
        for (;;) {
            const size_t start = patch.size();
            patch.resize(start + kOutputStep);
            ZSTD_outBuffer out = {patch.data() + start, kOutputStep, 0};
            const size_t remaining = ZSTD_compressStream2(c, &out, &in, ZSTD_e_end);
            patch.resize(start + out.pos);
            if (ZSTD_isError(remaining)) {
                patch.clear();
                return MakeResult::kFailed;
            }
            if (patch.size() >= max_size) {
                patch.clear();
                return MakeResult::kTooLarge;
            }
            if (remaining == 0) {
                return MakeResult::kMade;
            }
        }
    } catch (...) {
        patch.clear();
        return MakeResult::kFailed;
    }
}

MakeResult MakePatchFromFiles(const wchar_t* base_path, const wchar_t* target_path,
                              uint64_t max_file_size, uint64_t max_size,
                              std::string& patch) noexcept {
    MappedFile base, target;
    if (!base.OpenRead(base_path, max_file_size) || !target.OpenRead(target_path, max_file_size)) {
        patch.clear();
        return MakeResult::kFailed;
    }
    return MakePatch(base.data(), static_cast<size_t>(base.size()), target.data(),
                     static_cast<size_t>(target.size()), max_size, patch);
}

}  // namespace qv::delta
