#include "update/downloader.h"

#include <algorithm>
#include <optional>

#include "update/thread.h"
#include "win/file_system.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// Receive size for bodies kept in memory. Every receive of the socket waits on events,
// and under Wine such a wait costs up to a millisecond when the data is not there yet:
// with 4096-byte receives a 256 MiB download took 6 to 10 s where curl takes half a
// second. Receives land directly in the body's buffer, so a large size costs address
// space, not memory.
constexpr DWORD kMemoryReadBlockSize = 4 * 1024 * 1024;
// Receive size for bodies streamed to disk: the one buffer each transfer holds, so
// that six transfers at once stay far below the memory a large file would need.
constexpr DWORD kStreamReadBlockSize = 1024 * 1024;

constexpr DWORD kFileTimeoutMs = 10000;

// Writes a 200 body from its start, or a 206 body after the part already on disk.
class FileSink final : public CHttpBodySink {
public:
    FileSink(const std::wstring& path, uint64_t resume_from, uint32_t max_total,
             const CThread* owner, TransferProgress* progress)
        : path_(path),
          resume_from_(resume_from),
          max_total_(max_total),
          owner_(owner),
          progress_(progress) {}

    bool OnBodyStart(int status, const HeaderTable& headers, uint32_t* body_limit) override {
        uint64_t offset = 0;
        std::optional<uint64_t> size;  // of the whole file, as the answer tells it
        if (status == 206) {
            // Only the rest of the file we hold, to its end: any other part would splice
            // foreign bytes into it.
            const std::wstring* value = headers.Find(L"Content-Range");
            ContentRange range;
            if (resume_from_ == 0 || value == nullptr || !ParseContentRange(*value, &range) ||
                range.first != resume_from_ ||
                (range.total != -1 && range.last + 1 != static_cast<uint64_t>(range.total))) {
                return false;
            }
            offset = resume_from_;
            size = range.last + 1;
        } else if (headers.Find(L"Transfer-Encoding") == nullptr) {
            const std::wstring* value = headers.Find(L"Content-Length");
            int64_t length = -1;
            if (value != nullptr && ParseContentLengthField(*value, &length) && length >= 0) {
                size = static_cast<uint64_t>(length);
            }
        }
        if (offset > max_total_ || !CreateParentDirectories(path_.c_str())) {
            return false;
        }
        file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                offset != 0 ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
        if (!file_) {
            return false;
        }
        answered_ = true;  // from here on the file holds this answer's bytes
        if (offset != 0) {
            LARGE_INTEGER size{};
            LARGE_INTEGER position{};
            position.QuadPart = static_cast<LONGLONG>(offset);
            if (!GetFileSizeEx(file_.get(), &size) ||
                static_cast<uint64_t>(size.QuadPart) < offset ||
                !SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN) ||
                !SetEndOfFile(file_.get())) {
                file_.reset();
                return false;
            }
        }
        written_ = offset;
        if (progress_ != nullptr) {
            progress_->Answered(offset, size);
        }
        *body_limit = static_cast<uint32_t>(std::min<uint64_t>(*body_limit, max_total_ - offset));
        return true;
    }

    bool OnBodyData(const BYTE* data, DWORD length) override {
        if (owner_ != nullptr && owner_->IsStopRequested()) {
            stopped_ = true;
            return false;
        }
        for (DWORD done = 0; done < length;) {
            DWORD count = 0;
            if (!WriteFile(file_.get(), data + done, length - done, &count, nullptr) ||
                count == 0 || count > length - done) {
                refused_ = true;  // the disk failed: nothing to continue from
                return false;
            }
            done += count;
            written_ += count;
        }
        if (progress_ != nullptr) {
            progress_->OnDisk(written_);
        }
        return true;
    }

    void Close() noexcept { file_.reset(); }
    [[nodiscard]] bool answered() const noexcept { return answered_; }
    [[nodiscard]] bool opened() const noexcept { return file_.valid(); }
    [[nodiscard]] bool refused() const noexcept { return refused_ || stopped_; }
    [[nodiscard]] uint64_t written() const noexcept { return written_; }

private:
    const std::wstring& path_;
    uint64_t resume_from_;
    uint64_t max_total_;
    const CThread* owner_;
    TransferProgress* progress_;
    UniqueFileHandle file_;
    uint64_t written_ = 0;
    bool answered_ = false;
    bool refused_ = false;
    bool stopped_ = false;
};

}  // namespace

CDownloader::CDownloader(const CThread* owner, DWORD low_speed_window_ms) noexcept
    : owner_(owner), low_speed_window_ms_(low_speed_window_ms) {
    if (owner != nullptr) {
        client_.SetCancelEvent(owner->StopEvent());
    }
}

bool CDownloader::StopRequested() const noexcept {
    return owner_ != nullptr && owner_->IsStopRequested();
}

bool CDownloader::OnReceive(DWORD count, DWORD_PTR param) noexcept {
    auto* self = reinterpret_cast<CDownloader*>(param);
    if (!self->guard_.Arrived(count, GetTickCount())) {
        self->too_slow_ = true;
        return false;
    }
    return true;
}

CFetchOptions CDownloader::Options(DWORD timeout_ms) noexcept {
    // GET, follow redirects, check the status, port 80 by default.
    CFetchOptions options;
    options.timeout = timeout_ms;
    options.read_block_size = kMemoryReadBlockSize;
    // Each receive is bounded by the time-out; the rule bounds the whole fetch, so that
    // a server dripping its headers or an error page cannot hold the job either.
    guard_ = LowSpeedGuard(low_speed_window_ms_);
    guard_.Start(GetTickCount());
    too_slow_ = false;
    options.SetReadStatusCallback(&CDownloader::OnReceive, reinterpret_cast<DWORD_PTR>(this));
    return options;
}

bool CDownloader::ToSink(const std::wstring& url, CHttpReceiveDataBase* sink, DWORD timeout_ms,
                         uint32_t max_length) {
    CFetchOptions options = Options(timeout_ms);
    options.max_body_length = max_length;
    options.body_sink = sink;
    const bool fetched = client_.FetchUrl(url.c_str(), &options) && client_.StatusCode() == 200;
    if (sink != nullptr) {
        sink->TakeBody(fetched);
    }
    return fetched;
}

FileFetch CDownloader::ToFile(const std::wstring& url, const std::wstring& path,
                              uint32_t max_length, uint64_t resume_from,
                              TransferProgress* progress) {
    const uint32_t max_total =
        max_length != 0 ? std::min(max_length, kMaxBodyBytes) : kMaxBodyBytes;
    if (resume_from >= max_total) {
        resume_from = 0;
    }
    FileSink sink(path, resume_from, max_total, owner_, progress);
    CFetchOptions options = Options(kFileTimeoutMs);
    options.read_block_size = kStreamReadBlockSize;
    options.max_body_length = max_total;
    options.body_sink = &sink;
    // Added only when resuming: every other request stays byte for byte as it was.
    std::wstring range;
    if (resume_from != 0) {
        range = L"Range: bytes=" + std::to_wstring(resume_from) + L"-\r\n";
        options.extra_headers = range.c_str();
    }
    const bool fetched = client_.FetchUrl(url.c_str(), &options) &&
                         (client_.StatusCode() == 200 || client_.StatusCode() == 206) &&
                         sink.opened();
    FileFetch result;
    result.done = fetched;
    result.answered = sink.answered();
    // Cut off in the middle of a body that was going well: the next attempt goes on
    // from here. Refused, too slow, too long or stopped bodies start over.
    if (!fetched && sink.opened() && !sink.refused() && !too_slow_ && sink.written() != 0 &&
        sink.written() < max_total && !StopRequested()) {
        result.resumable = sink.written();
    }
    sink.Close();
    return result;
}

}  // namespace qv
