#include "update/pending_renames.h"

#include <algorithm>
#include <new>

#include "win/path.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

using UniqueRegistryKey = UniqueHandle<HKEY, nullptr, RegCloseKey>;

// A value that grows between the size query and the read is asked for again this often.
constexpr int kReadAttempts = 4;

enum class ValueRead { kRead, kMissing, kFailed };

ValueRead ReadMultiString(HKEY key, const wchar_t* name, std::vector<wchar_t>& data) noexcept {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND) {
            return ValueRead::kMissing;
        }
        if (status != ERROR_SUCCESS || type != REG_MULTI_SZ || size > kMaxPendingRenamesBytes ||
            size % sizeof(wchar_t) != 0) {
            return ValueRead::kFailed;
        }
        try {
            data.assign(size / sizeof(wchar_t) + 1, L'\0');
        } catch (const std::bad_alloc&) {
            return ValueRead::kFailed;
        }
        DWORD read = size;
        status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                  &read);
        if (status == ERROR_MORE_DATA) {
            continue;
        }
        if (status == ERROR_FILE_NOT_FOUND) {
            return ValueRead::kMissing;
        }
        if (status != ERROR_SUCCESS || type != REG_MULTI_SZ || read > size ||
            read % sizeof(wchar_t) != 0) {
            return ValueRead::kFailed;
        }
        data.resize(read / sizeof(wchar_t));
        return ValueRead::kRead;
    }
    return ValueRead::kFailed;
}

bool IsUnder(std::wstring_view path, std::wstring_view directory) noexcept {
    while (!directory.empty() && IsPathSeparator(directory.back())) {
        directory.remove_suffix(1);
    }
    return !directory.empty() && path.size() > directory.size() &&
           IsPathSeparator(path[directory.size()]) &&
           EqualsNoCase(path.substr(0, directory.size()), directory);
}

// The long form of a path that exists; the path itself otherwise.
std::wstring LongForm(const std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length =
            GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            break;
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(length);
    }
    return path;
}

}  // namespace

bool ParsePendingRenames(std::wstring_view data, std::vector<PendingRename>& out) {
    auto next = [&data](size_t& position) {
        const size_t end = std::min(data.find(L'\0', position), data.size());
        const std::wstring_view text = data.substr(position, end - position);
        position = end + 1;
        return text;
    };
    size_t position = 0;
    while (position < data.size()) {
        const std::wstring_view source = next(position);
        if (source.empty()) {
            // The empty string that ends the list: only padding may follow.
            for (; position < data.size(); ++position) {
                if (data[position] != L'\0') {
                    return false;
                }
            }
            return true;
        }
        if (position >= data.size()) {
            return false;  // a source whose target is missing
        }
        const std::wstring_view target = next(position);
        out.push_back({std::wstring(source), std::wstring(target)});
    }
    return true;
}

bool ReadPendingRenames(std::vector<PendingRename>& out) noexcept {
    out.clear();
    UniqueRegistryKey key;
    const LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (status != ERROR_SUCCESS) {
        return false;
    }
    std::vector<wchar_t> data;
    for (const wchar_t* name : kPendingRenameValues) {
        switch (ReadMultiString(key.get(), name, data)) {
            case ValueRead::kMissing:
                continue;
            case ValueRead::kFailed:
                return false;
            case ValueRead::kRead:
                break;
        }
        try {
            if (!ParsePendingRenames(std::wstring_view(data.data(), data.size()), out)) {
                return false;
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    return true;
}

std::wstring PathOfRegisteredName(std::wstring_view name) {
    if (!name.empty() && name.front() == L'!') {
        name.remove_prefix(1);
    }
    constexpr std::wstring_view kNtPrefix = L"\\??\\";
    if (name.substr(0, kNtPrefix.size()) == kNtPrefix) {
        name.remove_prefix(kNtPrefix.size());
        if (name.size() >= 4 && EqualsNoCase(name.substr(0, 4), L"UNC\\")) {
            return L"\\\\" + std::wstring(name.substr(4));
        }
    }
    return std::wstring(name);
}

bool RenamesReadFrom(const std::vector<PendingRename>& renames, const std::wstring& directory) {
    const std::wstring long_directory = LongForm(directory);
    for (const PendingRename& rename : renames) {
        const std::wstring source = PathOfRegisteredName(rename.source);
        if (IsUnder(source, directory) || IsUnder(source, long_directory)) {
            return true;
        }
        const std::wstring long_source = LongForm(source);
        if (IsUnder(long_source, directory) || IsUnder(long_source, long_directory)) {
            return true;
        }
    }
    return false;
}

}  // namespace qv
