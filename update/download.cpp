#include "update/download.h"

#include <new>
#include <string_view>

#include "update/downloader.h"
#include "update/version_check.h"
#include "win/file_system.h"
#include "win/unique_handle.h"

namespace qv {

bool CHttpReceiveDataBase::OnBodyStart(int /*status*/, const HeaderTable& /*headers*/,
                                       uint32_t* /*body_limit*/) {
    received_.clear();  // a new answer: whatever came before was not the body
    return true;
}

bool CHttpReceiveDataBase::OnBodyData(const BYTE* data, DWORD length) {
    try {
        received_.append(reinterpret_cast<const char*>(data), length);
        return true;
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
        return false;
    }
}

void CHttpReceiveDataBase::TakeBody(bool fetched) {
    if (out_of_memory_) {
        throw std::bad_alloc();
    }
    if (!fetched) {
        return;
    }
    OnData(reinterpret_cast<const BYTE*>(received_.data()),
           static_cast<uint32_t>(received_.size()));
}

void CHttpReceiveDataBytes::OnData(const BYTE* data, uint32_t length) {
    bytes.assign(reinterpret_cast<const char*>(data), data != nullptr ? length : 0);
}

void CHttpReceiveDataUTF8String::OnData(const BYTE* data, uint32_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
    text = VersionTextOfBody(std::string_view(reinterpret_cast<const char*>(data), length));
}

bool DownloadToSink(const wchar_t* url, CHttpReceiveDataBase* sink, DWORD timeout_ms,
                    uint32_t max_length) {
    CDownloader downloader(nullptr);
    return url != nullptr && downloader.ToSink(url, sink, timeout_ms, max_length);
}

bool DownloadToFile(CDownloader& fetcher, const std::wstring& url, const std::wstring& target_path,
                    uint32_t max_length, bool* bad_body) {
    const FileFetch fetch = fetcher.ToFile(url, target_path, max_length, 0);
    if (bad_body != nullptr) {
        *bad_body = fetch.answered && !fetch.done;
    }
    // An error page is no file, nor is part of one: kept, it would stand for a good
    // list or staged file that only a later check could tell apart.
    if (fetch.answered && !fetch.done) {
        DeleteFileW(target_path.c_str());
    }
    return fetch.done;
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
