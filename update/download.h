#pragma once
// The engine's two ways of fetching: into memory through a body sink, and onto disk.

#include <windows.h>

#include <cstdint>
#include <string>

#include "http/client.h"

namespace qv {

// Receives the body of a 200 answer through the client's body sink: the pieces are
// kept as they arrive, and once the fetch has succeeded the whole body goes to OnData.
class CHttpReceiveDataBase : public CHttpBodySink {
public:
    bool OnBodyStart(int status, const HeaderTable& headers, uint32_t* body_limit) override;
    // Keeps the piece; false (failing the fetch) when memory runs out, which
    // TakeBody then reports by throwing std::bad_alloc.
    bool OnBodyData(const BYTE* data, DWORD length) override;
    // The end of the fetch: hands the kept body to OnData when `fetched` (a whole 200
    // answer); throws std::bad_alloc when a piece could not be kept.
    void TakeBody(bool fetched);
    // The whole body of a successful fetch.
    virtual void OnData(const BYTE* /*data*/, uint32_t /*length*/) {}
    // The body's bytes exactly as they came.
    [[nodiscard]] const std::string& received() const noexcept { return received_; }

private:
    std::string received_;
    bool out_of_memory_ = false;
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

class CDownloader;

// Fetches `url` over `fetcher` and streams the body to the file, only for status 200; a
// body longer than `max_length` (when not 0) fails the fetch once that many bytes and
// one more have arrived, and a failed body leaves no file. `bad_body` tells a 200
// answer whose body did not arrive as framed or was too long from a failure to get an
// answer at all.
[[nodiscard]] bool DownloadToFile(CDownloader& fetcher, const std::wstring& url,
                                  const std::wstring& target_path, uint32_t max_length = 0,
                                  bool* bad_body = nullptr);

// Creates or replaces the file with the bytes, creating missing directories first
// (CreateParentDirectories of win/file_system.h).
[[nodiscard]] bool WriteBodyToFile(const wchar_t* path, const BYTE* data, uint32_t length) noexcept;

}  // namespace qv
