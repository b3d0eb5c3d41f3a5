#include "http/response.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

#include "win/decimal.h"
#include "win/text.h"

namespace qv {

// ---------------------------------------------------------------- ReceiveBuffer

ReceiveBuffer::ReceiveBuffer() noexcept : data_(inline_), heap_(GetProcessHeap()) {
    inline_[0] = 0;
}

ReceiveBuffer::~ReceiveBuffer() {
    if (OnHeap()) {
        HeapFree(heap_, 0, data_);
    }
}

void ReceiveBuffer::Clear() noexcept {
    length_ = 0;
    data_[0] = 0;
}

bool ReceiveBuffer::Grow(uint32_t needed) noexcept {
    // At least 4096 bytes per step, and a large append gets what it needs plus one;
    // beyond that the capacity grows by half, so that a body of unknown length is not
    // copied over and over (n / 4096 moves of up to n bytes each) as it arrives.
    const uint64_t step =
        needed - length_ - 1 < kInlineSize ? kInlineSize : uint64_t{needed} - length_;
    const uint64_t wanted =
        std::max<uint64_t>(uint64_t{capacity_} + std::max<uint64_t>(step, capacity_ / 2), needed);
    const uint32_t new_capacity =
        static_cast<uint32_t>(std::min<uint64_t>(wanted, std::numeric_limits<uint32_t>::max()));
    return Reserve(new_capacity);
}

bool ReceiveBuffer::Reserve(uint32_t capacity) noexcept {
    if (capacity <= capacity_) {
        return true;
    }
    BYTE* block;
    if (OnHeap()) {
        block = static_cast<BYTE*>(HeapReAlloc(heap_, 0, data_, capacity));
    } else {
        block = static_cast<BYTE*>(HeapAlloc(heap_, 0, capacity));
        if (block != nullptr) {
            std::memcpy(block, inline_, length_ + 1);
        }
    }
    if (block == nullptr) {
        return false;  // HeapReAlloc keeps the old block on failure
    }
    data_ = block;
    capacity_ = capacity;
    return true;
}

bool ReceiveBuffer::Append(const BYTE* bytes, uint32_t count) noexcept {
    if (count == 0) {
        return true;
    }
    if (bytes == nullptr) {
        return false;
    }
    const uint64_t needed = uint64_t{length_} + count + 1;
    if (needed > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    if (needed > capacity_ && !Grow(static_cast<uint32_t>(needed))) {
        return false;
    }
    std::memcpy(data_ + length_, bytes, count);
    length_ += count;
    data_[length_] = 0;
    return true;
}

BYTE* ReceiveBuffer::AppendSpace(uint32_t count) noexcept {
    const uint64_t needed = uint64_t{length_} + count + 1;
    if (needed > std::numeric_limits<uint32_t>::max()) {
        return nullptr;
    }
    if (needed > capacity_ && !Grow(static_cast<uint32_t>(needed))) {
        return nullptr;
    }
    return data_ + length_;
}

void ReceiveBuffer::Commit(uint32_t count) noexcept {
    length_ += count;
    data_[length_] = 0;
}

namespace {

// Decimal digits from `at` up to the first non-digit; false without any, or past what
// 64 bits hold with room to add one.
// The digits at `at`, at most 18 of them (a value far below INT64_MAX); `at` moves
// past them.
bool ParseDigitsAt(std::wstring_view text, size_t* at, uint64_t* value) noexcept {
    constexpr size_t kMaxDigits = 18;
    size_t end = *at;
    while (end < text.size() && text[end] >= L'0' && text[end] <= L'9') {
        ++end;
    }
    if (end - *at > kMaxDigits || !ParseDecimal(text.substr(*at, end - *at), *value)) {
        return false;
    }
    *at = end;
    return true;
}

}  // namespace

bool ParseContentRange(std::wstring_view value, ContentRange* range) noexcept {
    while (!value.empty() && (value.front() == L' ' || value.front() == L'\t')) {
        value.remove_prefix(1);
    }
    while (!value.empty() && (value.back() == L' ' || value.back() == L'\t')) {
        value.remove_suffix(1);
    }
    constexpr std::wstring_view kUnit = L"bytes ";
    if (range == nullptr || value.substr(0, kUnit.size()) != kUnit) {
        return false;
    }
    size_t at = kUnit.size();
    ContentRange parsed;
    if (!ParseDigitsAt(value, &at, &parsed.first) || at >= value.size() || value[at] != L'-') {
        return false;
    }
    ++at;
    if (!ParseDigitsAt(value, &at, &parsed.last) || at >= value.size() || value[at] != L'/') {
        return false;
    }
    ++at;
    if (value.substr(at) == L"*") {
        parsed.total = -1;
    } else {
        uint64_t total = 0;
        if (!ParseDigitsAt(value, &at, &total) || at != value.size() || parsed.last >= total) {
            return false;
        }
        parsed.total = static_cast<int64_t>(total);
    }
    if (parsed.first > parsed.last) {
        return false;
    }
    *range = parsed;
    return true;
}

void ReceiveBuffer::Truncate(uint32_t length) noexcept {
    if (length < length_) {
        length_ = length;
        data_[length_] = 0;
    }
}

void ReceiveBuffer::TakeFrom(ReceiveBuffer& source) noexcept {
    if (&source == this) {
        return;
    }
    if (source.OnHeap()) {
        if (OnHeap()) {
            HeapFree(heap_, 0, data_);
        }
        data_ = source.data_;
        capacity_ = source.capacity_;
        length_ = source.length_;
        source.data_ = source.inline_;
        source.capacity_ = kInlineSize;
    } else {
        // Fits: every buffer holds at least the inline size.
        std::memcpy(data_, source.inline_, source.length_ + 1);
        length_ = source.length_;
    }
    source.Clear();
}

// ---------------------------------------------------------------- HeaderTable

size_t HeaderNameHash::operator()(const std::wstring& name) const noexcept {
    size_t hash = 14695981039346656037ull;  // FNV-1a over the folded characters
    for (wchar_t c : name) {
        hash = (hash ^ static_cast<size_t>(AsciiLower(c))) * 1099511628211ull;
    }
    return hash;
}

bool HeaderNameEqual::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return EqualsAsciiNoCase(a, b);
}

HeaderTable::HeaderTable() : map_(17) {}

void HeaderTable::Add(const std::wstring& name, const std::wstring& value) {
    auto [it, inserted] = map_.try_emplace(name, value);
    if (!inserted) {
        it->second.append(1, L',').append(value);
    }
}

const std::wstring* HeaderTable::Find(const std::wstring& name) const {
    const auto it = map_.find(name);
    return it == map_.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------- Decoding steps

size_t FindHeaderBlockEnd(const BYTE* data, size_t length, size_t from) noexcept {
    if (data == nullptr || length < 4) {
        return 0;
    }
    for (size_t i = from; i + 4 <= length; ++i) {
        if (data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n') {
            return i + 4;
        }
    }
    return 0;
}

int ParseStatusLine(const BYTE* block, size_t length, size_t* lines_start) noexcept {
    size_t i = 0;
    while (i < length && !IsAsciiSpace(block[i])) {
        ++i;
    }
    while (i < length && IsAsciiSpace(block[i])) {
        ++i;
    }
    if (i >= length || block[i] < '0' || block[i] > '9') {
        return -1;
    }
    int64_t status = 0;
    for (; i < length && block[i] >= '0' && block[i] <= '9'; ++i) {
        status = status * 10 + (block[i] - '0');
        if (status > std::numeric_limits<int32_t>::max()) {
            return -1;
        }
    }
    while (i < length && block[i] != '\n') {
        ++i;
    }
    if (i >= length) {
        return -1;
    }
    if (lines_start != nullptr) {
        *lines_start = i + 1;
    }
    return static_cast<int>(status);
}

bool SplitHeaderLine(const BYTE* begin, const BYTE* end, std::string_view* name,
                     std::string_view* value) noexcept {
    const BYTE* colon = begin;
    while (colon < end && *colon != ':') {
        ++colon;
    }
    if (colon >= end) {
        return false;
    }
    const size_t name_length = static_cast<size_t>(colon - begin);
    if (name_length >= kMaxHeaderNameBytes) {
        return false;
    }
    const BYTE* value_start = colon + 1;
    while (value_start < end && IsAsciiSpace(*value_start)) {
        ++value_start;
    }
    const size_t value_length = static_cast<size_t>(end - value_start);
    if (value_length > kMaxHeaderValueBytes) {
        return false;
    }
    *name = std::string_view(reinterpret_cast<const char*>(begin), name_length);
    *value = std::string_view(reinterpret_cast<const char*>(value_start), value_length);
    return true;
}

std::wstring_view TrimHeaderValue(std::wstring_view value) noexcept {
    while (!value.empty() && (value.front() == L' ' || value.front() == L'\t')) {
        value.remove_prefix(1);
    }
    while (!value.empty() && (value.back() == L' ' || value.back() == L'\t')) {
        value.remove_suffix(1);
    }
    return value;
}

int64_t ParseContentLength(std::wstring_view value) noexcept {
    size_t i = 0;
    while (i < value.size() && (value[i] == L' ' || value[i] == L'\t')) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == L'+' || value[i] == L'-')) {
        negative = value[i] == L'-';
        ++i;
    }
    int64_t number = 0;
    for (; i < value.size() && value[i] >= L'0' && value[i] <= L'9'; ++i) {
        const int digit = value[i] - L'0';
        if (number > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            return negative ? std::numeric_limits<int64_t>::min()
                            : std::numeric_limits<int64_t>::max();
        }
        number = number * 10 + digit;
    }
    return negative ? -number : number;
}

bool ParseContentLengthField(std::wstring_view value, int64_t* length) noexcept {
    const int64_t first = ParseContentLength(value.substr(0, value.find(L',')));
    for (size_t comma = value.find(L','); comma != std::wstring_view::npos;) {
        const size_t next = value.find(L',', comma + 1);
        const size_t member_length = next == std::wstring_view::npos ? next : next - comma - 1;
        if (ParseContentLength(value.substr(comma + 1, member_length)) != first) {
            return false;
        }
        comma = next;
    }
    *length = first;
    return true;
}

// ---------------------------------------------------------------- ChunkDecoder

namespace {

int HexValue(BYTE c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

ChunkDecoder::ChunkDecoder(bool expect_trailers, uint32_t max_body) noexcept
    : expect_trailers_(expect_trailers), max_body_(max_body) {}

ChunkDecoder::Status ChunkDecoder::Fail() noexcept {
    state_ = State::Failed;
    return Status::Failed;
}

ChunkDecoder::Status ChunkDecoder::Feed(const BYTE* data, size_t length, ReceiveBuffer& body,
                                        size_t* consumed) noexcept {
    // The framing's line ends: each of these states takes one fixed byte, then the next.
    struct LineEnd {
        State state;
        BYTE byte;
        State next;
    };
    static constexpr LineEnd kLineEnds[] = {
        {State::SizeLf, '\n', State::Data},  {State::DataCr, '\r', State::DataLf},
        {State::DataLf, '\n', State::Size},  {State::LastLf, '\n', State::TrailerStart},
        {State::FinalLf, '\n', State::Done},
    };
    size_t i = 0;
    auto done = [&](Status status) {
        if (consumed != nullptr) {
            *consumed = i;
        }
        return status;
    };
    if (state_ == State::Failed) {
        return done(Status::Failed);
    }
    if (state_ == State::Done) {
        return done(Status::Done);
    }
    while (i < length) {
        const BYTE c = data[i];
        switch (state_) {
            case State::Size: {
                const int digit = HexValue(c);
                if (digit >= 0) {
                    if (++size_digits_ > kMaxSizeLineDigits) {
                        return done(Fail());
                    }
                    chunk_size_ = chunk_size_ * 16 + static_cast<uint64_t>(digit);
                    if (chunk_size_ > max_body_ ||
                        uint64_t{body_length_} + chunk_size_ > max_body_) {
                        return done(Fail());
                    }
                    ++i;
                } else if (size_digits_ == 0) {
                    return done(Fail());  // a sign, white space or nothing before the digits
                } else if (c == '\r') {
                    state_ = chunk_size_ == 0 ? State::LastLf : State::SizeLf;
                    ++i;
                } else if (c == ';' || c == ' ' || c == '\t') {
                    state_ = c == ';' ? State::Extension : State::SizeSpace;
                    extension_bytes_ = 0;
                    ++i;
                } else {
                    return done(Fail());
                }
                break;
            }
            case State::SizeSpace:
            case State::Extension:
                // We ask for no extension and know none: skipped, but never without bound.
                if (++extension_bytes_ > kMaxChunkExtension) {
                    return done(Fail());
                }
                if (state_ == State::SizeSpace) {
                    if (c == ';') {
                        state_ = State::Extension;
                    } else if (c != ' ' && c != '\t') {
                        return done(Fail());  // white space must lead to an extension
                    }
                } else if (c == '\r') {
                    state_ = chunk_size_ == 0 ? State::LastLf : State::SizeLf;
                } else if (c == '\n' || c == 0) {
                    return done(Fail());
                }
                ++i;
                break;
            case State::SizeLf:
            case State::DataCr:
            case State::DataLf:
            case State::LastLf:
            case State::FinalLf: {
                const LineEnd& step =
                    *std::find_if(std::begin(kLineEnds), std::end(kLineEnds),
                                  [this](const LineEnd& entry) { return entry.state == state_; });
                if (c != step.byte) {
                    return done(Fail());
                }
                ++i;
                state_ = step.next;
                if (state_ == State::Data) {
                    remaining_ = static_cast<uint32_t>(chunk_size_);
                } else if (state_ == State::Size) {
                    chunk_size_ = 0;
                    size_digits_ = 0;
                } else if (state_ == State::Done) {
                    return done(Status::Done);
                }
                break;
            }
            case State::Data: {
                const uint32_t take =
                    static_cast<uint32_t>(std::min<size_t>(remaining_, length - i));
                if (!body.Append(data + i, take)) {
                    return done(Fail());
                }
                i += take;
                remaining_ -= take;
                body_length_ += take;
                if (remaining_ == 0) {
                    state_ = State::DataCr;
                }
                break;
            }
            case State::TrailerStart:
                if (c == '\r') {
                    state_ = State::FinalLf;
                    ++i;
                    break;
                }
                trailer_length_ = 0;
                trailer_overlong_ = false;
                state_ = State::Trailer;
                break;
            case State::Trailer:
            case State::TrailerLf:
                if (++trailer_bytes_ > kMaxHeaderBlockBytes) {
                    return done(Fail());
                }
                ++i;
                if (state_ == State::TrailerLf && c == '\n') {
                    state_ = State::TrailerStart;
                    if (expect_trailers_ && !trailer_overlong_) {
                        return done(Status::TrailerLine);
                    }
                    break;  // unannounced, or too long to be a header we keep: dropped
                }
                if (state_ == State::TrailerLf) {
                    // The CR was part of the line after all.
                    if (trailer_length_ < kMaxTrailerLine) {
                        trailer_line_[trailer_length_++] = '\r';
                    } else {
                        trailer_overlong_ = true;
                    }
                    state_ = State::Trailer;
                }
                if (c == '\r') {
                    state_ = State::TrailerLf;
                } else if (trailer_length_ < kMaxTrailerLine) {
                    trailer_line_[trailer_length_++] = static_cast<char>(c);
                } else {
                    trailer_overlong_ = true;
                }
                break;
            case State::Done:
                return done(Status::Done);
            case State::Failed:
                return done(Status::Failed);
        }
    }
    return done(Status::NeedMore);
}

ChunkDecoder::Status ChunkDecoder::Finish() noexcept {
    // A close right after "0" CR LF (or its CR) ends a body that announced no trailers.
    if (state_ == State::Done ||
        (!expect_trailers_ &&
         (state_ == State::LastLf || (state_ == State::TrailerStart && trailer_bytes_ == 0)))) {
        state_ = State::Done;
        return Status::Done;
    }
    return Fail();
}

}  // namespace qv
