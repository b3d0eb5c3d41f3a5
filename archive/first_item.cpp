#include "archive/first_item.h"

#include "archive/zip_reader.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

using UniqueArchive = UniqueHandle<ArchiveHandle, nullptr, ArchiveClose>;

}  // namespace

bool ExtractFirstItem(const wchar_t* archive_path, const wchar_t* target_path) noexcept {
    if (archive_path == nullptr || target_path == nullptr) {
        return false;
    }
    UniqueArchive archive(ArchiveOpenFile(archive_path, nullptr));
    if (!archive) {
        return false;
    }
    // Only the first item counts, and only its data: its stored name is never used.
    return ArchiveExtractToFile(archive.get(), 0, target_path) == ARCHIVE_OK;
}

}  // namespace qv
