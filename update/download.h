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
    virtual void OnData(const BYTE* /*data*/, uint32_t /*length*/) {}
};

// Keeps the body as text decoded from UTF-8, up to its first zero byte.
class CHttpReceiveDataUTF8String : public CHttpReceiveDataBase {
public:
    // Throws std::bad_alloc when memory runs out.
    void OnData(const BYTE* data, uint32_t length) override;
    std::wstring text;
};

// Keeps the body's bytes as they are.
class CHttpReceiveDataBytes : public CHttpReceiveDataBase {
public:
    // Throws std::bad_alloc when memory runs out.
    void OnData(const BYTE* data, uint32_t length) override;
    std::string bytes;
};

// Fetches `url` with a fresh connection; hands the body to `sink` (may be null) only when
// the status is 200. False on any transfer failure or another status, and for a body
// longer than `max_length` when that is not 0. Throws what the sink throws.
[[nodiscard]] bool DownloadToSink(const wchar_t* url, CHttpReceiveDataBase* sink, DWORD timeout_ms,
                                  uint32_t max_length = 0);

// Creates or replaces the file with the bytes, creating missing directories first
// (CreateParentDirectories of win/file_system.h).
[[nodiscard]] bool WriteBodyToFile(const wchar_t* path, const BYTE* data, uint32_t length) noexcept;

}  // namespace qv
