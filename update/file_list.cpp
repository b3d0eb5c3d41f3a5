#include "update/file_list.h"

#include <windows.h>

#include <zlib.h>

#include <cwchar>

#include "update/file_names.h"
#include "update/text_line_file.h"
#include "win/path.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

constexpr size_t kMaxNumberFieldLength = 32;  // longer number fields count as empty

}  // namespace

bool IsSafeRelativeName(const std::wstring& name) noexcept {
    if (name.empty() || IsPathSeparator(name.front())) {
        return false;  // absolute, rooted or UNC
    }
    for (wchar_t c : name) {
        // ':' covers drive letters and alternate data streams.
        if (IsControlCharacter(c) || c == L':') {
            return false;
        }
    }
    // Every component must name something: no empty, ".", ".." or dots-and-spaces
    // component (Windows trims trailing dots and spaces, so ".. " acts as "..").
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsPathSeparator(name[end])) {
            ++end;
        }
        bool names_something = false;
        for (size_t i = start; i < end; ++i) {
            if (name[i] != L'.' && name[i] != L' ') {
                names_something = true;
                break;
            }
        }
        if (!names_something) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

bool ParseFileEntry(const std::wstring& line, FileEntry& out) {
    std::wstring fields[4];
    size_t position = 0;
    for (std::wstring& field : fields) {
        const size_t comma = line.find(L',', position);
        if (comma == std::wstring::npos) {
            return false;
        }
        if (comma - position < kMaxNumberFieldLength) {
            field.assign(line, position, comma - position);
        }
        position = comma + 1;
    }
    FileEntry entry;
    entry.name.assign(line, position, std::wstring::npos);
    if (!IsSafeRelativeName(entry.name)) {
        return false;
    }
    // wcstoul semantics: leading space and sign accepted, stops at the first
    // non-digit, no digits gives 0, overflow gives the largest value.
    entry.crc_installed = static_cast<uint32_t>(std::wcstoul(fields[0].c_str(), nullptr, 10));
    entry.crc_download = static_cast<uint32_t>(std::wcstoul(fields[1].c_str(), nullptr, 10));
    entry.aux_value = static_cast<uint32_t>(std::wcstoul(fields[2].c_str(), nullptr, 10));
    entry.zipped = std::wcstol(fields[3].c_str(), nullptr, 10) != 0 ? 1 : 0;
    out = std::move(entry);
    return true;
}

std::wstring FormatFileEntry(const FileEntry& entry) {
    wchar_t numbers[64];
    std::swprintf(numbers, 64, L"%lu,%lu,%lu,%d,", static_cast<unsigned long>(entry.crc_installed),
                  static_cast<unsigned long>(entry.crc_download),
                  static_cast<unsigned long>(entry.aux_value), entry.zipped != 0 ? 1 : 0);
    return numbers + entry.name;
}

bool FileList::ReadFileList(const wchar_t* path) {
    entries.clear();
    TextLineFile file;
    if (!file.Open(path, L"rb", CP_UTF8)) {
        return false;
    }
    std::wstring line;
    while (file.ReadLine(line)) {
        FileEntry entry;
        if (ParseFileEntry(line, entry)) {
            entries.push_back(std::move(entry));
        }
    }
    return true;
}

bool FileList::WriteFileList(const wchar_t* path) const {
    TextLineFile file;
    return file.Open(path, L"wb", CP_UTF8) && WriteOpenFile(file, path);
}

bool FileList::WriteOpenFile(TextLineFile& file, const wchar_t* path) const {
    bool written = true;
    for (size_t i = 0; i < entries.size() && written; ++i) {
        written = file.WriteLine(FormatFileEntry(entries[i]).c_str(), '\n');
    }
    written = file.Finish() && written;
    if (!written && path != nullptr) {
        DeleteFileW(path);  // a short list must never be read back as the whole one
    }
    return written;
}

bool HasReservedName(const FileList& list) noexcept {
    for (const FileEntry& entry : list.entries) {
        if (IsReservedListName(entry.name)) {
            return true;
        }
    }
    return false;
}

uint32_t FileCrc32(const wchar_t* path) noexcept {
    if (path == nullptr || *path == L'\0' || !FitsMaxPath(path)) {
        return 0;
    }
    UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return 0;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > kMaxCrcFileSize) {
        return 0;
    }
    // One pass over a view of the whole file; the size ceiling bounds the view.
    UniqueKernelHandle mapping(
        CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) {
        return 0;
    }
    UniqueMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) {
        return 0;
    }
    return static_cast<uint32_t>(
        crc32(0L, static_cast<const Bytef*>(view.get()), static_cast<uInt>(size.QuadPart)));
}

FileList BuildDownloadList(const FileList& file_list, const std::wstring& app_dir) {
    FileList download_list;
    for (const FileEntry& entry : file_list.entries) {
        std::wstring installed_path;
        // A path that does not fit cannot be read: CRC 0, like a missing file.
        const uint32_t crc =
            JoinPath(installed_path, app_dir, entry.name) ? FileCrc32(installed_path.c_str()) : 0;
        if (crc != entry.crc_installed) {
            download_list.entries.push_back(entry);
        }
    }
    return download_list;
}

}  // namespace qv
