#include "update/download.h"

#include <cstring>
#include <string_view>

#include "http/client.h"
#include "update/update_logic.h"
#include "win/file_system.h"
#include "win/text.h"
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

}  // namespace

void CHttpReceiveDataBytes::OnData(const BYTE* data, uint32_t length) {
    bytes.assign(reinterpret_cast<const char*>(data), data != nullptr ? length : 0);
}

void CHttpReceiveDataUTF8String::OnData(const BYTE* data, uint32_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
    // Up to the first zero byte, never past the given length.
    const BYTE* zero = static_cast<const BYTE*>(std::memchr(data, 0, length));
    const size_t used = zero != nullptr ? static_cast<size_t>(zero - data) : length;
    // A body that cannot be decoded leaves an empty text, which no version equals.
    text = DecodeText(std::string_view(reinterpret_cast<const char*>(data), used));
}

bool DownloadToSink(const wchar_t* url, CHttpReceiveDataBase* sink, DWORD timeout_ms,
                    uint32_t max_length) {
    CAtlHttpClient client;
    CFetchOptions options = EngineOptions(timeout_ms);
    options.max_body_length = max_length;
    client.SetTimeout(timeout_ms);
    if (!client.FetchUrl(url, &options) || client.StatusCode() != 200) {
        return false;
    }
    if (sink != nullptr) {
        sink->OnData(client.BodyData(), client.BodyLength());
    }
    return true;
}

bool CUpdateLogic::DownloadToFile(const std::wstring& url, const std::wstring& target_path,
                                  uint32_t max_length, bool* bad_body) {
    CAtlHttpClient client;
    CFetchOptions options = EngineOptions(kFileTimeoutMs);
    options.max_body_length = max_length;
    // An error page is no file: written, it would replace a good list or staged file
    // with something that only a later check could tell apart.
    const bool fetched = client.FetchUrl(url.c_str(), &options);
    if (bad_body != nullptr) {
        *bad_body = !fetched && client.StatusCode() == 200;
    }
    if (!fetched || client.StatusCode() != 200) {
        return false;
    }
    return WriteBodyToFile(target_path.c_str(), client.BodyData(), client.BodyLength());
}

bool WriteBodyToFile(const wchar_t* path, const BYTE* data, uint32_t length) noexcept {
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

}  // namespace qv
