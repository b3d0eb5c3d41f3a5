#pragma once
// Makes a patch: the new file compressed by zstd with the old file as its reference
// (a prefix the matcher may copy from), at level 19 with long-distance matching, one
// thread and a window that reaches from the end of the new file back to the start of
// the old one. The same two files always give the same bytes.

#include <cstdint>
#include <string>

namespace qv::delta {

enum class MakeResult {
    kMade,
    kTooLarge,  // the patch reached `max_size` bytes: not worth serving
    kFailed,    // zstd or a file failed
};

// The patch turning `base` into `target`, into `patch`; stops as soon as it would be
// `max_size` bytes or more.
[[nodiscard]] MakeResult MakePatch(const uint8_t* base, size_t base_size, const uint8_t* target,
                                   size_t target_size, uint64_t max_size,
                                   std::string& patch) noexcept;

// The same over two files, mapped rather than read (each at most `max_file_size`).
[[nodiscard]] MakeResult MakePatchFromFiles(const wchar_t* base_path, const wchar_t* target_path,
                                            uint64_t max_file_size, uint64_t max_size,
                                            std::string& patch) noexcept;

}  // namespace qv::delta
