#pragma once
// The pieces of response reading that need no socket: the receive buffer, the header
// table, and the decoding of the status line, header lines and chunked bodies. They
// take bytes and keep no hidden state beyond what their objects show, so tests can feed
// them a response split at every point.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qv {

// The outcome of reading one response, kept by the client as its last read result.
enum ReadResult : int {
    ResponseOk = 0,           // response read completely
    StatusLineBad = 2,        // no status code could be read
    HeaderBlockBad = 3,       // parsing the header lines failed
    HeaderReceiveFailed = 4,  // receiving failed or was aborted before the headers ended
    BodyReceiveFailed = 5,    // receiving the body failed or was aborted
    ChunkedBodyFailed = 6,    // reading or decoding the chunked body failed
    NoResponseYet = 7,        // after a reset, before any response
};

// The header block, all 100 responses before it included, must end within this many
// bytes; a server that never ends its headers cannot make us grow without limit.
inline constexpr uint32_t kMaxHeaderBlockBytes = 64 * 1024;
// The largest body we accept: the largest file the engine can verify.
inline constexpr uint32_t kMaxBodyBytes = 1u << 30;
// Header names of this many bytes or more, and values longer than
// kMaxHeaderValueBytes, are dropped.
inline constexpr size_t kMaxHeaderNameBytes = 1024;
inline constexpr size_t kMaxHeaderValueBytes = 1023;

// A growable byte buffer with a zero byte always after the data. Small contents live
// in the object; larger ones in one block of the process heap, kept across Clear().
class ReceiveBuffer {
public:
    static constexpr uint32_t kInlineSize = 4096;

    ReceiveBuffer() noexcept;
    ~ReceiveBuffer();
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    [[nodiscard]] BYTE* Data() noexcept { return data_; }
    [[nodiscard]] const BYTE* Data() const noexcept { return data_; }
    [[nodiscard]] uint32_t Length() const noexcept { return length_; }
    // Bytes the buffer can hold, the trailing zero byte included.
    [[nodiscard]] uint32_t Capacity() const noexcept { return capacity_; }
    [[nodiscard]] bool OnHeap() const noexcept { return data_ != inline_; }

    // Empties the buffer; the capacity and any heap block stay for the next response.
    void Clear() noexcept;
    // Adds bytes at the end. False, with the old contents kept, when the length would
    // wrap or memory cannot be had.
    [[nodiscard]] bool Append(const BYTE* bytes, uint32_t count) noexcept;
    // Room for `count` more bytes after the data, for a receive to land in place: the
    // end of the data, or null when the length would wrap or memory cannot be had.
    // Nothing counts as data until Commit.
    [[nodiscard]] BYTE* AppendSpace(uint32_t count) noexcept;
    // Adds `count` bytes written at AppendSpace() (at most the count asked for) and
    // writes the zero byte after them; Commit(0) restores it after a failed receive.
    void Commit(uint32_t count) noexcept;
    // Keeps the first `length` bytes (when there are more) and the heap block.
    void Truncate(uint32_t length) noexcept;
    // Makes room for `capacity` bytes (trailing zero included) in one step, so that a
    // body of known length is received without moving it. False when memory cannot be
    // had; the contents are kept either way.
    [[nodiscard]] bool Reserve(uint32_t capacity) noexcept;
    // Replaces the contents with those of `source`, taking over its heap block when it
    // has one; `source` is left empty.
    void TakeFrom(ReceiveBuffer& source) noexcept;

private:
    [[nodiscard]] bool Grow(uint32_t needed) noexcept;

    BYTE inline_[kInlineSize];
    BYTE* data_;
    uint32_t length_ = 0;
    uint32_t capacity_ = kInlineSize;
    HANDLE heap_;
};

// Header names compare without regard to (ASCII) case; header names are tokens.
struct HeaderNameHash {
    size_t operator()(const std::wstring& name) const noexcept;
};
struct HeaderNameEqual {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
};

// Response headers by name. A repeated header is stored once, its values joined by ","
// in arrival order. May throw std::bad_alloc; the client catches it.
class HeaderTable {
public:
    HeaderTable();

    void Clear() noexcept { map_.clear(); }
    void Add(const std::wstring& name, const std::wstring& value);
    // The value for `name` in any letter case, or null.
    [[nodiscard]] const std::wstring* Find(const std::wstring& name) const;
    [[nodiscard]] size_t Size() const noexcept { return map_.size(); }

private:
    std::unordered_map<std::wstring, std::wstring, HeaderNameHash, HeaderNameEqual> map_;
};

// Offset one past the first CR LF CR LF that starts at or after `from`, or 0 when the
// data holds none.
[[nodiscard]] size_t FindHeaderBlockEnd(const BYTE* data, size_t length, size_t from) noexcept;

// Reads the status code from the start of a header block: the first token (the
// version, not checked), white space, then decimal digits. Returns the code, or -1
// when there is none or it is out of range; `lines_start` receives the offset after
// the line's LF.
[[nodiscard]] int ParseStatusLine(const BYTE* block, size_t length, size_t* lines_start) noexcept;

// Calls `on_line(begin, end)` for every logical header line in [begin, block_end),
// where block_end is one past the CR LF CR LF of the block. A CR LF followed by a space
// or tab continues the line (folding), and the continuation stays in the line as it
// came. Stops at a zero byte or at the blank line. `on_line` may throw.
template <typename OnLine>
void ForEachHeaderLine(const BYTE* begin, const BYTE* block_end, OnLine&& on_line) {
    const BYTE* p = begin;
    while (p < block_end && *p != 0) {
        const BYTE* cr = p;
        for (; cr + 1 < block_end; ++cr) {
            if (cr[0] == '\r' && cr[1] == '\n' &&
                (cr + 2 >= block_end || (cr[2] != ' ' && cr[2] != '\t'))) {
                break;
            }
        }
        if (cr + 1 >= block_end) {
            return;  // no line end at all
        }
        on_line(p, cr);
        const bool blank_line_follows = cr + 3 < block_end && cr[2] == '\r' && cr[3] == '\n';
        if (blank_line_follows) {
            return;
        }
        p = cr + 2;
    }
}

// Splits one header line at its first colon. The value starts after the colon and
// any white space; trailing white space stays, and the name is not trimmed. False
// (the line is dropped) without a colon, for a name of kMaxHeaderNameBytes or more,
// or for a value over kMaxHeaderValueBytes.
[[nodiscard]] bool SplitHeaderLine(const BYTE* begin, const BYTE* end, std::string_view* name,
                                   std::string_view* value) noexcept;

// A header value without the spaces and tabs around it.
[[nodiscard]] std::wstring_view TrimHeaderValue(std::wstring_view value) noexcept;

// A Content-Length value read as a signed decimal number: leading white space and a
// sign, then leading digits; text without digits gives 0. Values beyond the 64-bit
// range saturate.
[[nodiscard]] int64_t ParseContentLength(std::wstring_view value) noexcept;
// The body length that a Content-Length field announces. Repeated fields reach us
// joined by "," (see HeaderTable), as does a list in one field: every member must
// announce the same length. False when they differ: the framing is then ambiguous, the
// very signal request smuggling relies on, and the response must be refused.
[[nodiscard]] bool ParseContentLengthField(std::wstring_view value, int64_t* length) noexcept;

// A Content-Range value of a 206 response: "bytes FIRST-LAST/TOTAL", TOTAL "*" when
// unknown (-1).
struct ContentRange {
    uint64_t first = 0;
    uint64_t last = 0;
    int64_t total = -1;
};
// False unless the value is exactly that form (spaces around it aside) with FIRST <=
// LAST, and LAST < TOTAL when TOTAL is known.
[[nodiscard]] bool ParseContentRange(std::wstring_view value, ContentRange* range) noexcept;

// Decodes a chunked body incrementally from bytes split anywhere. Body bytes go to a
// ReceiveBuffer; trailer lines are handed back one at a time. A size line is hex digits,
// then optionally white space and a chunk extension (";name=value...", ignored, at most
// kMaxChunkExtension bytes), then CR LF: a sign, a size line without digits or anything
// else fails at once, as does a size or total over the body limit. The trailer section
// after the last chunk is always read through its final blank line, so that nothing of
// this response is left for the next one on the connection.
class ChunkDecoder {
public:
    enum class Status {
        NeedMore,     // every byte consumed; the body is not complete
        TrailerLine,  // a complete trailer line is in TrailerLine(); feed on
        Done,         // the body is complete; later bytes were not consumed
        Failed,       // malformed, over a limit, or out of memory
    };

    // The longest chunk extension skipped, from its semicolon to the CR.
    static constexpr size_t kMaxChunkExtension = 1024;

    // `expect_trailers`: the response announced trailers ("Trailer" header): their lines
    // are handed back, and the body cannot end before the trailer section's blank line.
    // Unannounced trailer lines are read and dropped.
    explicit ChunkDecoder(bool expect_trailers, uint32_t max_body = kMaxBodyBytes) noexcept;

    // Consumes bytes from `data`, appending body bytes to `body`; `consumed` receives
    // the count used. Call again with the rest after TrailerLine.
    Status Feed(const BYTE* data, size_t length, ReceiveBuffer& body, size_t* consumed) noexcept;
    // Call when the connection closed cleanly: Done when the body may end here (right
    // after the last chunk's size line when no trailers were announced), else Failed.
    Status Finish() noexcept;

    [[nodiscard]] uint32_t BodyLength() const noexcept { return body_length_; }
    [[nodiscard]] std::string_view TrailerLine() const noexcept {
        return {trailer_line_, trailer_length_};
    }

private:
    enum class State {
        Size,       // hex digits of a size line
        SizeSpace,  // white space after the digits: an extension must follow
        Extension,  // a chunk extension, skipped up to the CR
        SizeLf,     // CR seen after a non-zero size
        Data,       // chunk data
        DataCr,     // CR LF after chunk data
        DataLf,
        LastLf,        // CR seen after the zero size
        TrailerStart,  // start of a trailer line or the final blank line
        Trailer,       // inside a trailer line
        TrailerLf,     // CR seen inside a trailer line
        FinalLf,       // CR of the final blank line seen
        Done,
        Failed,
    };
    static constexpr size_t kMaxSizeLineDigits = 16;
    static constexpr size_t kMaxTrailerLine = 2048;

    Status Fail() noexcept;

    bool expect_trailers_;
    uint32_t max_body_;
    State state_ = State::Size;
    uint64_t chunk_size_ = 0;
    size_t size_digits_ = 0;
    size_t extension_bytes_ = 0;
    uint32_t remaining_ = 0;
    uint32_t body_length_ = 0;
    uint32_t trailer_bytes_ = 0;
    char trailer_line_[kMaxTrailerLine] = {};
    size_t trailer_length_ = 0;
    bool trailer_overlong_ = false;
};

}  // namespace qv
