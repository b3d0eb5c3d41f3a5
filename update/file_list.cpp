#include "update/file_list.h"

#include <windows.h>

#include <cwchar>

#include "trust/file_hashes.h"
#include "update/file_names.h"
#include "update/text_line_file.h"
#include "win/path.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

constexpr size_t kMaxNumberFieldLength = 32;  // longer number fields count as empty

}  // namespace

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
    FileHashes hashes;
    return HashFile(path, kMaxCrcFileSize, false, hashes) ? hashes.crc32 : 0;
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
