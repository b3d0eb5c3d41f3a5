#pragma once
// Signed mode's rollback record: the sequence number of the release last installed,
// "N\n", in the update directory.

#include <cstdint>
#include <optional>

namespace qv {

// Reads a rollback record: "N\n". `sequence` stays empty when there is no record; false
// when one exists but cannot be read or is not exactly that form (refused rather than
// taken as "none", which would allow any rollback).
[[nodiscard]] bool ReadReleaseRecord(const wchar_t* path,
                                     std::optional<uint64_t>& sequence) noexcept;
// Writes a record durably (flushed before it is closed); replaces an existing file.
[[nodiscard]] bool WriteReleaseRecord(const wchar_t* path, uint64_t sequence) noexcept;

}  // namespace qv
