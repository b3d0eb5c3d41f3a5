#pragma once
// Zip archives as the server serves them: one item, the file itself, written with
// minizip's zip module; and reading back the first item, as a check and as the
// updater would.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace qv::publish {

// Told the number of bytes handled so far during a long operation.
using ByteProgress = std::function<void(uint64_t bytes_done)>;

// Compression level of served archives unless the vendor chooses another (0 stores).
inline constexpr int kDefaultZipLevel = 9;

// Writes a new archive at `archive_path` whose only item is the file at `source_path`,
// stored under `item_name`. The bytes depend only on the file's content, the name,
// `write_time` and the level: the item's times are `write_time` (a DOS stamp of its
// UTC date and an extended timestamp), its attributes are those of a plain file.
// On failure returns false with the reason in `error`; a partial archive is removed.
[[nodiscard]] bool WriteSingleItemArchive(const std::wstring& source_path,
                                          const std::wstring& item_name, const FILETIME& write_time,
                                          int level, const std::wstring& archive_path,
                                          std::wstring& error,
                                          const ByteProgress& progress = nullptr);

// The central-directory record of an archive's first item.
struct FirstItemInfo {
    uint64_t item_count = 0;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t compressed_size = 0;
    std::wstring name;
};

// Opens the archive and reads its first item's record; false when the file is no zip
// archive or has no item.
[[nodiscard]] bool ReadFirstItemInfo(const std::wstring& archive_path, FirstItemInfo& out);

// Extracts the archive's first item to `target_path` the way the updater does: with
// its own archive reader, item 0, no password. Like the updater's, the extraction does
// not compare the data with the item's CRC-32: compare the target's.
[[nodiscard]] bool ExtractFirstItem(const std::wstring& archive_path,
                                    const std::wstring& target_path);

}  // namespace qv::publish
