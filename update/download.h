#pragma once
// The engine's two ways of fetching: into memory through a sink, and onto disk.

#include <windows.h>

#include <cstdint>
#include <string>

namespace qv {

// Receives a whole response body.
class CHttpReceiveDataBase {
public:
    virtual ~CHttpReceiveDataBase() = default;
    virtual void OnData(const BYTE* data, uint32_t length) {
        (void)data;
        (void)length;
    }
};

// Keeps the body as text decoded from UTF-8, up to its first zero byte.
class CHttpReceiveDataUTF8String : public CHttpReceiveDataBase {
public:
    void OnData(const BYTE* data, uint32_t length) override;
    std::wstring text;
};

// Fetches `url` with a fresh client; hands the body to `sink` (may be null) only when
// the status is 200. False on any transfer failure or another status.
bool DownloadToSink(const wchar_t* url, CHttpReceiveDataBase* sink, DWORD timeout_ms);

// Creates or replaces the file with the bytes, creating missing directories first.
bool WriteBodyToFile(const wchar_t* path, const BYTE* data, uint32_t length);
// Creates every missing directory above `path`.
bool CreateParentDirectories(const wchar_t* path);
// Creates `path` and every missing directory above it, from the top down.
bool CreateDirectoryTree(const wchar_t* path);

}  // namespace qv
