#pragma once
// The one way the updater and the publisher take a file out of a served archive.

namespace qv {

// Extracts item 0 of a zip archive to `target_path`, whatever its stored name.
[[nodiscard]] bool ExtractFirstItem(const wchar_t* archive_path,
                                    const wchar_t* target_path) noexcept;

}  // namespace qv
