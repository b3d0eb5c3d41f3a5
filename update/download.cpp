#include "update/download.h"

#include <shlwapi.h>

#include <climits>
#include <cstring>
#include <cwchar>

#include "http/client.h"
#include "update/update_logic.h"
#include "win/path.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// Receive size for the engine's bodies. Every receive of the socket waits on events,
// and under Wine such a wait costs up to a millisecond when the data is not there yet:
// with 4096-byte receives a 256 MiB download took 6 to 10 s where curl takes half a
// second. Receives land directly in the body's buffer, so a large size costs address
// space, not memory. The engine sets no progress callback: nothing but the speed
// depends on this size.
constexpr DWORD kEngineReadBlockSize = 4 * 1024 * 1024;

// The engine's request: GET, follow redirects, check the status, port 80 by default.
CFetchOptions EngineOptions(DWORD timeout_ms) {
    CFetchOptions options;
    options.timeout = timeout_ms;
    options.read_block_size = kEngineReadBlockSize;
    return options;
}

constexpr DWORD kFileTimeoutMs = 10000;

// Copies a path into a MAX_PATH buffer and drops its last component. False when the
// path does not fit: it is never cut short.
bool CopyWithoutLastComponent(const wchar_t* path, wchar_t (&buffer)[MAX_PATH]) {
    const size_t length = std::wcslen(path);
    if (!FitsMaxPath(std::wstring_view(path, length))) {
        return false;
    }
    std::wmemcpy(buffer, path, length + 1);
    PathRemoveFileSpecW(buffer);
    return true;
}

}  // namespace

void CHttpReceiveDataUTF8String::OnData(const BYTE* data, uint32_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
    // Up to the first zero byte, never past the given length.
    const BYTE* zero = static_cast<const BYTE*>(std::memchr(data, 0, length));
    const uint32_t used = zero != nullptr ? static_cast<uint32_t>(zero - data) : length;
    if (used == 0 || used > static_cast<uint32_t>(INT_MAX)) {
        text.clear();
        return;
    }
    const char* bytes = reinterpret_cast<const char*>(data);
    const int count = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(used), nullptr, 0);
    if (count <= 0) {
        text.clear();
        return;
    }
    std::wstring decoded(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(used), decoded.data(), count);
    text = std::move(decoded);
}

bool DownloadToSink(const wchar_t* url, CHttpReceiveDataBase* sink, DWORD timeout_ms) {
    CAtlHttpClient client;
    CFetchOptions options = EngineOptions(timeout_ms);
    client.SetTimeout(timeout_ms);
    if (!client.FetchUrl(url, &options) || client.StatusCode() != 200) {
        return false;
    }
    if (sink != nullptr) {
        sink->OnData(client.BodyData(), client.BodyLength());
    }
    return true;
}

bool CUpdateLogic::DownloadToFile(const std::wstring& url, const std::wstring& target_path) {
    CAtlHttpClient client;
    CFetchOptions options = EngineOptions(kFileTimeoutMs);
    // An error page is no file: written, it would replace a good list or staged file
    // with something that only a later check could tell apart.
    if (!client.FetchUrl(url.c_str(), &options) || client.StatusCode() != 200) {
        return false;
    }
    return WriteBodyToFile(target_path.c_str(), client.BodyData(), client.BodyLength());
}

bool WriteBodyToFile(const wchar_t* path, const BYTE* data, uint32_t length) {
    if (path == nullptr || (data == nullptr && length != 0) || !CreateParentDirectories(path)) {
        return false;
    }
    UniqueFileHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    uint32_t written_total = 0;
    while (written_total < length) {
        DWORD written = 0;
        if (!WriteFile(file.get(), data + written_total, length - written_total, &written,
                       nullptr) ||
            written == 0 || written > length - written_total) {
            return false;  // a write that makes no progress would loop for ever
        }
        written_total += written;
    }
    return true;
}

bool CreateParentDirectories(const wchar_t* path) {
    if (path == nullptr) {
        return false;
    }
    wchar_t parent[MAX_PATH];
    if (!CopyWithoutLastComponent(path, parent)) {
        return false;
    }
    return CreateDirectoryTree(parent);
}

bool CreateDirectoryTree(const wchar_t* path) {
    if (path == nullptr) {
        return false;
    }
    if (PathIsDirectoryW(path)) {
        return true;
    }
    wchar_t parent[MAX_PATH];
    if (!CopyWithoutLastComponent(path, parent) || std::wcslen(parent) >= std::wcslen(path)) {
        return false;  // nothing left to take away: the root does not exist
    }
    if (!CreateDirectoryTree(parent)) {
        return false;
    }
    if (CreateDirectoryW(path, nullptr)) {
        return true;
    }
    // There now, made by someone else or named with a trailing separator: the goal is
    // reached either way.
    return GetLastError() == ERROR_ALREADY_EXISTS && PathIsDirectoryW(path);
}

}  // namespace qv
