#include "archive/zip_reader.h"

#include <unzip.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string_view>

#include "archive/zip_data.h"
#include "archive/zip_item.h"
#include "archive/zip_paths.h"
#include "archive/zip_stream.h"
#include "win/file_system.h"
#include "win/path.h"

namespace qv {
namespace {

constexpr uint32_t kExtractionChunk = 16384;

// Written by every operation; atomic only so that concurrent use is not undefined
// behaviour. It is still one value for the whole process.
std::atomic<ArchiveResult> g_last_result{ARCHIVE_OK};

ArchiveResult Record(ArchiveResult result) {
    g_last_result.store(result, std::memory_order_relaxed);
    return result;
}

int32_t Saturate(ZPOS64_T value) {
    return value > static_cast<ZPOS64_T>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(value);
}

}  // namespace

struct ArchiveReader {
    ArchiveReader() = default;
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;
    ~ArchiveReader() {
        if (archive != nullptr) {
            unzClose(archive);  // before `stream` goes, which closes the file
        }
    }

    zip::ZipFileStream stream;
    unzFile archive = nullptr;
    ArchiveItem cached_item = {};
    zip::ItemDetails cached_details;
    int32_t cached_index = -1;
    std::unique_ptr<char[]> password;         // null when none was given
    std::unique_ptr<unsigned char[]> buffer;  // kExtractionChunk bytes, from the first extraction
    zip::PathBuffer base_directory = {};      // ends in "\" or "/"
    bool has_base_directory = false;          // false when the current directory did not fit
    int32_t item_count = 0;
    int64_t cursor = 0;  // minizip's current item; -1 when unknown
};

namespace {

// Checks a handle; the result to return, or ARCHIVE_OK with `reader` set.
ArchiveResult CheckHandle(ArchiveHandle handle, ArchiveReader*& reader) {
    if (handle == nullptr) {
        return ARCHIVE_E_BAD_ARGUMENTS;
    }
    if (handle->kind != kArchiveReaderKind || handle->reader == nullptr) {
        return ARCHIVE_E_WRONG_MODE;
    }
    reader = handle->reader;
    return ARCHIVE_OK;
}

void SetBaseDirectory(ArchiveReader& reader) {
    // A current directory that does not fit, with its separator, is no base: relative
    // targets are then refused rather than placed under a shortened path.
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, reader.base_directory);
    if (length == 0 || length >= MAX_PATH) {
        reader.base_directory[0] = L'\0';
        return;
    }
    const wchar_t last = reader.base_directory[length - 1];
    if (last != L'\\' && last != L'/') {
        if (length + 1 >= MAX_PATH) {
            reader.base_directory[0] = L'\0';
            return;
        }
        reader.base_directory[length] = L'\\';
        reader.base_directory[length + 1] = L'\0';
    }
    reader.has_base_directory = true;
}

ArchiveHandle OpenArchive(const wchar_t* path, const char* password, ArchiveResult& result) {
    if (path == nullptr) {
        result = ARCHIVE_E_BAD_ARGUMENTS;
        return nullptr;
    }
    std::unique_ptr<ArchiveReader> reader(new (std::nothrow) ArchiveReader);
    if (!reader) {
        result = ARCHIVE_E_OUT_OF_MEMORY;
        return nullptr;
    }
    if (password != nullptr) {
        const size_t length = std::strlen(password);
        reader->password.reset(new (std::nothrow) char[length + 1]);
        if (!reader->password) {
            result = ARCHIVE_E_OUT_OF_MEMORY;
            return nullptr;
        }
        std::memcpy(reader->password.get(), password, length + 1);
    }
    SetBaseDirectory(*reader);
    if (!zip::OpenZipFileStream(reader->stream, path)) {
        result = ARCHIVE_E_OPEN_FILE;
        return nullptr;
    }
    zlib_filefunc64_def functions;
    zip::FillZipFileFunctions(functions);
    reader->archive = unzOpen2_64(&reader->stream, &functions);
    if (reader->archive == nullptr && zip::ShowEndRecordToDependency(reader->stream)) {
        reader->archive = unzOpen2_64(&reader->stream, &functions);
    }
    unz_global_info64 info;
    if (reader->archive == nullptr || unzGetGlobalInfo64(reader->archive, &info) != UNZ_OK) {
        result = ARCHIVE_E_OPEN_FILE;
        return nullptr;
    }
    reader->item_count = Saturate(info.number_entry);
    reader->cursor = 0;  // minizip goes to the first item when it opens
    auto* handle = new (std::nothrow) ArchiveHandleRecord{kArchiveReaderKind, reader.get()};
    if (handle == nullptr) {
        result = ARCHIVE_E_OUT_OF_MEMORY;
        return nullptr;
    }
    reader.release();
    result = ARCHIVE_OK;
    return handle;
}

// Moves minizip's cursor to `index`: forward from where it is, or from the first item
// when the index lies behind it.
ArchiveResult PositionOn(ArchiveReader& reader, int32_t index) {
    if (reader.cursor < 0 || index < reader.cursor) {
        if (unzGoToFirstFile(reader.archive) != UNZ_OK) {
            reader.cursor = -1;
            return ARCHIVE_E_CORRUPT;
        }
        reader.cursor = 0;
    }
    while (reader.cursor < index) {
        if (unzGoToNextFile(reader.archive) != UNZ_OK) {
            reader.cursor = -1;
            return ARCHIVE_E_CORRUPT;
        }
        ++reader.cursor;
    }
    return ARCHIVE_OK;
}

// Reads the local extra field of the current item after minizip has checked its local
// header against the central directory.
ArchiveResult ReadLocalExtraField(ArchiveReader& reader, std::unique_ptr<uint8_t[]>& extra,
                                  size_t& length) {
    // Raw: the check and the extra field's place, without starting the inflater.
    if (unzOpenCurrentFile2(reader.archive, nullptr, nullptr, 1) != UNZ_OK) {
        unzCloseCurrentFile(reader.archive);
        return ARCHIVE_E_CORRUPT;
    }
    ArchiveResult result = ARCHIVE_OK;
    const int size = unzGetLocalExtrafield(reader.archive, nullptr, 0);
    length = size > 0 ? static_cast<size_t>(size) : 0;
    if (length > 0) {
        extra.reset(new (std::nothrow) uint8_t[length]);
        if (!extra) {
            result = ARCHIVE_E_OUT_OF_MEMORY;
        } else if (unzGetLocalExtrafield(reader.archive, extra.get(),
                                         static_cast<unsigned>(length)) != size) {
            result = ARCHIVE_E_READ_FILE;
        }
    }
    unzCloseCurrentFile(reader.archive);
    return result;
}

// The record of item `index` (0 or more), from the cache or from the archive, where
// minizip's cursor is then left on the item.
ArchiveResult GetRecord(ArchiveReader& reader, int32_t index, ArchiveItem& item,
                        zip::ItemDetails& details) {
    if (index == reader.cached_index) {
        item = reader.cached_item;
        details = reader.cached_details;
        return ARCHIVE_OK;
    }
    ArchiveResult result = PositionOn(reader, index);
    if (result != ARCHIVE_OK) {
        return result;
    }
    unz_file_info64 info;
    char stored_name[MAX_PATH];
    if (unzGetCurrentFileInfo64(reader.archive, &info, stored_name, sizeof stored_name, nullptr, 0,
                                nullptr, 0) != UNZ_OK) {
        return ARCHIVE_E_CORRUPT;
    }
    if (info.size_filename >= sizeof stored_name) {
        return ARCHIVE_E_NAME_TOO_LONG;
    }
    // minizip would also accept bzip2 and then hand out the compressed bytes as data.
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
        return ARCHIVE_E_CORRUPT;
    }
    std::unique_ptr<uint8_t[]> extra;
    size_t extra_length = 0;
    result = ReadLocalExtraField(reader, extra, extra_length);
    if (result != ARCHIVE_OK) {
        return result;
    }

    ArchiveItem record = {};
    record.index = index;
    if (!zip::DecodeItemName(stored_name, info.size_filename, record.name, MAX_PATH)) {
        return ARCHIVE_E_NAME_TOO_LONG;
    }
    zip::CleanItemName(record.name);
    record.attributes = zip::ItemAttributes(static_cast<uint32_t>(info.version),
                                            static_cast<uint32_t>(info.external_fa));
    const FILETIME dos_time = zip::DosStampToFileTime(static_cast<uint32_t>(info.dosDate));
    zip::ItemTimes times = {dos_time, dos_time, dos_time};
    zip::ApplyExtendedTimestamp(extra.get(), extra_length, times);
    record.access_time = times.access;
    record.creation_time = times.creation;
    record.modification_time = times.modification;
    record.compressed_size = Saturate(info.compressed_size);
    record.uncompressed_size = Saturate(info.uncompressed_size);

    details.flag = static_cast<uint32_t>(info.flag);
    details.crc = static_cast<uint32_t>(info.crc);
    details.dos_stamp = static_cast<uint32_t>(info.dosDate);
    details.method = static_cast<uint32_t>(info.compression_method);
    details.uncompressed_size = info.uncompressed_size;

    reader.cached_item = record;
    reader.cached_details = details;
    reader.cached_index = index;
    item = record;
    return ARCHIVE_OK;
}

ArchiveResult GetItem(ArchiveReader& reader, int32_t index, ArchiveItem& item) {
    if (index < -1 || index >= reader.item_count) {
        return ARCHIVE_E_BAD_ARGUMENTS;
    }
    if (index == -1) {
        item = {};
        item.index = reader.item_count;
        return ARCHIVE_OK;
    }
    zip::ItemDetails details;
    return GetRecord(reader, index, item, details);
}

bool WriteAll(HANDLE file, const unsigned char* data, uint32_t size) {
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

// Copies the item's data into `file` in chunks of the reader's buffer.
ArchiveResult CopyItemData(zip::ItemDataReader& data, unsigned char* buffer, HANDLE file) {
    for (;;) {
        bool end = false;
        const int got = data.Read(buffer, kExtractionChunk, end);
        if (got < 0) {
            return ARCHIVE_E_INFLATE;
        }
        if (got > 0 && !WriteAll(file, buffer, static_cast<uint32_t>(got))) {
            return ARCHIVE_E_WRITE_FILE;
        }
        if (end) {
            return ARCHIVE_OK;
        }
        if (got == 0) {
            return ARCHIVE_E_INFLATE;
        }
    }
}

// What a target path names: a directory item's whole path, or a file.
enum class TargetKind { kDirectory, kFile };

// Creates every missing directory of a full target path with all its ancestors: the
// whole path of a directory item, the directory part of a file's. A thin step over the
// toolbox; false when a directory could not be made.
bool EnsureDirectoryPath(const wchar_t* target, TargetKind kind) noexcept {
    return kind == TargetKind::kDirectory ? CreateDirectoryTree(target)
                                          : CreateParentDirectories(target);
}

ArchiveResult ExtractDirectory(const ArchiveReader& reader, const wchar_t* target) {
    const bool absolute = zip::IsAbsolutePath(target);
    if (!absolute && !reader.has_base_directory) {
        return ARCHIVE_E_NAME_TOO_LONG;
    }
    zip::PathBuffer full;
    if (!zip::JoinInto(full, {absolute ? L"" : reader.base_directory, target})) {
        return ARCHIVE_E_NAME_TOO_LONG;
    }
    // A directory that could not be made must not pass for extracted.
    return EnsureDirectoryPath(full, TargetKind::kDirectory) ? ARCHIVE_OK : ARCHIVE_E_OPEN_FILE;
}

ArchiveResult ExtractFile(ArchiveReader& reader, const ArchiveItem& item,
                          const zip::ItemDetails& details, const wchar_t* target) {
    // Directory part (with its separator) and file name.
    const std::wstring_view whole = target;
    const size_t split = FindLastSeparator(whole);
    const std::wstring_view directory_view =
        split == std::wstring_view::npos ? std::wstring_view() : whole.substr(0, split + 1);
    const std::wstring_view file_name =
        split == std::wstring_view::npos ? whole : whole.substr(split + 1);
    zip::PathBuffer directory;
    if (!zip::JoinInto(directory, {directory_view})) {
        return ARCHIVE_E_NAME_TOO_LONG;
    }
    const bool absolute = zip::IsAbsolutePath(directory);
    if (!absolute && !reader.has_base_directory) {
        return ARCHIVE_E_NAME_TOO_LONG;
    }
    zip::PathBuffer full;
    if (!zip::JoinInto(full, {absolute ? L"" : reader.base_directory, directory_view, file_name})) {
        return ARCHIVE_E_NAME_TOO_LONG;
    }
    // A directory that could not be made shows up as a file that cannot be created.
    static_cast<void>(EnsureDirectoryPath(full, TargetKind::kFile));

    // Windows will not open a read-only file for writing, but a process with root's
    // rights under Wine would replace it: refuse it here, the same everywhere.
    const DWORD existing = GetFileAttributesW(full);
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY)) {
        return ARCHIVE_E_OPEN_FILE;
    }
    // Normal attributes whatever the archive says: a read-only file (a Unix mode without
    // owner write) could never be flushed, replaced or deleted by the updater, and hidden
    // or system bits do not belong in an installation.
    UniqueFileHandle file(CreateFileW(full, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return ARCHIVE_E_OPEN_FILE;
    }
    zip::ItemDataReader data(reader.archive, details);
    ArchiveResult result = data.Open(reader.password.get());
    if (result == ARCHIVE_OK && !reader.buffer) {
        reader.buffer.reset(new (std::nothrow) unsigned char[kExtractionChunk]);
        if (!reader.buffer) {
            result = ARCHIVE_E_OUT_OF_MEMORY;
        }
    }
    if (result == ARCHIVE_OK) {
        result = CopyItemData(data, reader.buffer.get(), file.get());
    }
    if (result == ARCHIVE_OK && !data.CrcMatches()) {
        result = ARCHIVE_E_CORRUPT;
    }
    if (result == ARCHIVE_OK) {
        SetFileTime(file.get(), &item.creation_time, &item.access_time, &item.modification_time);
    }
    file.reset();
    data.Close();
    // Whole but wrong, the file would look like a good one: it goes.
    if (result == ARCHIVE_E_CORRUPT) {
        DeleteFileW(full);
    }
    return result;
}

ArchiveResult Extract(ArchiveReader& reader, int32_t index, const wchar_t* target) {
    if (index < 0 || index >= reader.item_count || target == nullptr) {
        return ARCHIVE_E_BAD_ARGUMENTS;
    }
    // Positioned first: a cached record says nothing about where minizip's cursor is.
    ArchiveResult result = PositionOn(reader, index);
    if (result != ARCHIVE_OK) {
        return result;
    }
    ArchiveItem item;
    zip::ItemDetails details;
    result = GetRecord(reader, index, item, details);
    if (result != ARCHIVE_OK) {
        return result;
    }
    if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // Only a directory path (one that ends in a separator) becomes a directory: a
        // directory left where a caller wanted a file would block that file for good.
        const size_t length = std::wcslen(target);
        if (length == 0 || !IsPathSeparator(target[length - 1])) {
            return ARCHIVE_E_ITEM_NOT_FOUND;
        }
        return ExtractDirectory(reader, target);
    }
    return ExtractFile(reader, item, details, target);
}

struct ResultText {
    ArchiveResult code;
    const wchar_t* text;
};

// The texts are the ones the shipped updater has always given, spelling included
// ("Culdn't"): callers may show or compare them.
constexpr ResultText kResultTexts[] = {
    {ARCHIVE_OK, L"Success"},
    {ARCHIVE_E_DUPLICATE_HANDLE, L"Culdn't duplicate handle"},
    {ARCHIVE_E_OPEN_FILE, L"Couldn't create/open file"},
    {ARCHIVE_E_OUT_OF_MEMORY, L"Failed to allocate memory"},
    {ARCHIVE_E_WRITE_FILE, L"Error writing to file"},
    {ARCHIVE_E_ITEM_NOT_FOUND, L"File not found in the zipfile"},
    {ARCHIVE_MORE_DATA, L"Still more data to unzip"},
    {ARCHIVE_E_CORRUPT, L"Zipfile is corrupt or not a zipfile"},
    {ARCHIVE_E_READ_FILE, L"Error reading file"},
    {ARCHIVE_E_NAME_TOO_LONG, L"Name or path too long"},
    {ARCHIVE_E_PASSWORD, L"Correct password required"},
    {ARCHIVE_E_BAD_ARGUMENTS, L"Caller: faulty arguments"},
    {ARCHIVE_E_NOT_MEMORY_ARCHIVE, L"Caller: can only get memory of a memory zipfile"},
    {ARCHIVE_E_MEMORY_TOO_SMALL, L"Caller: not enough space allocated for memory zipfile"},
    {ARCHIVE_E_PREVIOUS_ERROR, L"Caller: there was a previous error"},
    {ARCHIVE_E_ALREADY_ENDED, L"Caller: additions to the zip have already been ended"},
    {ARCHIVE_E_SIZE_CHANGED, L"Zip-bug: the anticipated size turned out wrong"},
    {ARCHIVE_E_PARTIALLY_EXTRACTED, L"Caller: the file had already been partially unzipped"},
    {ARCHIVE_E_WRONG_MODE, L"Caller: mixing creation and opening of zip"},
    {ARCHIVE_E_NOT_INITIALISED, L"Zip-bug: internal initialisation not completed"},
    {ARCHIVE_E_NOT_SEEKABLE, L"Zip-bug: trying to seek the unseekable"},
    {ARCHIVE_E_NO_CHANGE, L"Zip-bug: tried to change mind, but not allowed"},
    {ARCHIVE_E_INFLATE, L"Zip-bug: an internal error during flation"},
};

}  // namespace

ArchiveHandle ArchiveOpenFile(const wchar_t* path, const char* password) noexcept {
    ArchiveResult result = ARCHIVE_OK;
    ArchiveHandle handle = OpenArchive(path, password, result);
    Record(result);
    return handle;
}

ArchiveResult ArchiveGetItem(ArchiveHandle handle, int32_t index, ArchiveItem* item) noexcept {
    // The caller's record is defined even when the call fails.
    if (item != nullptr) {
        item->index = 0;
        item->name[0] = L'\0';
        item->uncompressed_size = 0;
    }
    ArchiveReader* reader = nullptr;
    const ArchiveResult checked = CheckHandle(handle, reader);
    if (checked != ARCHIVE_OK) {
        return Record(checked);
    }
    if (item == nullptr) {
        return Record(ARCHIVE_E_BAD_ARGUMENTS);
    }
    return Record(GetItem(*reader, index, *item));
}

ArchiveResult ArchiveExtractToFile(ArchiveHandle handle, int32_t index,
                                   const wchar_t* target_path) noexcept {
    ArchiveReader* reader = nullptr;
    const ArchiveResult checked = CheckHandle(handle, reader);
    if (checked != ARCHIVE_OK) {
        return Record(checked);
    }
    return Record(Extract(*reader, index, target_path));
}

ArchiveResult ArchiveClose(ArchiveHandle handle) noexcept {
    ArchiveReader* reader = nullptr;
    const ArchiveResult checked = CheckHandle(handle, reader);
    if (checked != ARCHIVE_OK) {
        return Record(checked);
    }
    // The record goes with the reader: like any freed pointer, a closed handle must not
    // be used again. The kind check only tells a reader's record from other memory
    // passed in as a handle; it cannot see a handle that was closed.
    delete reader;  // closes the archive in minizip, then the file
    delete handle;
    return Record(ARCHIVE_OK);
}

uint32_t ArchiveResultText(ArchiveResult code, wchar_t* buffer, uint32_t capacity) noexcept {
    if (code == ARCHIVE_LAST_RESULT) {
        code = g_last_result.load(std::memory_order_relaxed);
    }
    const wchar_t* text = L"unknown zip result code";
    for (const ResultText& entry : kResultTexts) {
        if (entry.code == code) {
            text = entry.text;
            break;
        }
    }
    const uint32_t length = static_cast<uint32_t>(std::wcslen(text));
    if (buffer == nullptr || capacity == 0) {
        return length;
    }
    const uint32_t copied = std::min(length, capacity - 1);
    std::wmemcpy(buffer, text, copied);
    buffer[copied] = L'\0';
    return length;
}

}  // namespace qv
