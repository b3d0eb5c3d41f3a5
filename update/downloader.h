#pragma once
// The engine's transfers over one kept connection: small answers into memory, files
// streamed to disk with resumption. One downloader per transfer thread; a pass keeps
// each for all its requests, so that a server that keeps connections open answers
// them all on one.

#include <windows.h>

#include <cstdint>
#include <string>

#include "http/client.h"
#include "update/download.h"
#include "update/low_speed.h"
#include "update/progress_counter.h"

namespace qv {

class CThread;

// What one file transfer left behind.
struct FileFetch {
    bool done = false;  // the whole body of a 200 (or the rest after a 206) is on disk
    // A 200 (or the 206 asked for) came and the file was opened for its body, whatever
    // became of the body: the file no longer holds what it held before.
    bool answered = false;
    // Bytes of the file on disk that a Range request may continue from: set when the
    // connection ended in the middle of a body. 0 means start over.
    uint64_t resumable = 0;
};

class CDownloader {
public:
    // Stops with `owner`'s stop request (may be null: never stops early). The
    // slow-transfer rule judges every receive of a fetch over `low_speed_window_ms`:
    // headers, bodies kept or dropped, and those of redirects.
    explicit CDownloader(const CThread* owner,
                         DWORD low_speed_window_ms = kLowSpeedWindowMs) noexcept;
    CDownloader(const CDownloader&) = delete;
    CDownloader& operator=(const CDownloader&) = delete;

    // Every later connection goes through `proxy` (null: the user's settings); it must
    // outlive the fetches.
    void UseProxy(const ProxySettings* proxy) noexcept { client_.SetProxySettings(proxy); }

    // Fetches `url`; hands the body to `sink` (may be null) only when the status is
    // 200. False on any transfer failure or another status, and for a body longer than
    // `max_length` when that is not 0. Throws what the sink throws.
    [[nodiscard]] bool ToSink(const std::wstring& url, CHttpReceiveDataBase* sink, DWORD timeout_ms,
                              uint32_t max_length = 0);
    // Streams `url` into the file at `path`, creating its folders. With `resume_from`
    // not 0 (what an earlier FileFetch of the same file called resumable), asks for the
    // rest and appends when the server sends exactly that; any other answer starts the
    // file over. The file never grows past `max_length` (0: the client's limit): a body
    // that would fails once one byte more arrived. Only a 200 or 206 touches the file.
    // `progress` (may be null) hears of the answer's size and of every write.
    [[nodiscard]] FileFetch ToFile(const std::wstring& url, const std::wstring& path,
                                   uint32_t max_length, uint64_t resume_from,
                                   TransferProgress* progress = nullptr);

private:
    [[nodiscard]] bool StopRequested() const noexcept;
    // The options of one fetch, with the slow-transfer rule started for it.
    CFetchOptions Options(DWORD timeout_ms) noexcept;
    // The ReadStatusCallback of every fetch: counts each receive for the rule.
    static bool OnReceive(DWORD count, DWORD_PTR param) noexcept;

    CAtlHttpClient client_;
    const CThread* owner_;
    DWORD low_speed_window_ms_;
    LowSpeedGuard guard_;
    bool too_slow_ = false;  // the fetch under way broke the rule
};

}  // namespace qv
