#include "archive/zip_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "win/byte_order.h"

namespace qv::zip {
namespace {

constexpr uint64_t kEndRecordSize = 22;
constexpr uint64_t kMaxCommentLength = 0xFFFF;
// minizip looks for the record only within this many bytes of the end.
constexpr uint64_t kDependencySearchLength = 0xFFFF;

// Bytes of the file from `start` to its end.
bool FileLength(const ZipFileStream& stream, uint64_t& length) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(stream.file.get(), &size) || size.QuadPart < 0) {
        return false;
    }
    const uint64_t total = static_cast<uint64_t>(size.QuadPart);
    length = total > stream.start ? total - stream.start : 0;
    return true;
}

// Size of the stream as minizip sees it.
bool ShownSize(const ZipFileStream& stream, uint64_t& size) {
    uint64_t length = 0;
    if (!FileLength(stream, length)) {
        return false;
    }
    size = stream.lead_pad + std::min(length, stream.shown_length);
    return true;
}

voidpf ZCALLBACK OpenCallback(voidpf, const void* filename, int mode) {
    // The caller opened the file itself, for what it means minizip to do.
    auto* stream = static_cast<ZipFileStream*>(const_cast<void*>(filename));
    const bool wants_write = (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ;
    if (stream == nullptr || (wants_write && !stream->writable)) {
        return nullptr;
    }
    return stream;
}

uLong ZCALLBACK ReadCallback(voidpf, voidpf stream, void* buffer, uLong size) {
    return ReadZipFileStream(*static_cast<ZipFileStream*>(stream), buffer,
                             static_cast<uint32_t>(size));
}

uLong ZCALLBACK WriteCallback(voidpf, voidpf stream, const void* buffer, uLong size) {
    return WriteZipFileStream(*static_cast<ZipFileStream*>(stream), buffer,
                              static_cast<uint32_t>(size));
}

ZPOS64_T ZCALLBACK TellCallback(voidpf, voidpf stream) {
    return static_cast<ZipFileStream*>(stream)->position;
}

long ZCALLBACK SeekCallback(voidpf, voidpf opaque_stream, ZPOS64_T offset, int origin) {
    ZipFileStream& stream = *static_cast<ZipFileStream*>(opaque_stream);
    uint64_t base = 0;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            break;
        case ZLIB_FILEFUNC_SEEK_CUR:
            base = stream.position;
            break;
        case ZLIB_FILEFUNC_SEEK_END:
            if (!ShownSize(stream, base)) {
                return -1;
            }
            break;
        default:
            return -1;
    }
    // minizip passes backward moves as wrapped-around unsigned offsets; the sum wraps
    // back. A result beyond any real file means a move before position 0.
    const uint64_t target = base + offset;
    if (target > (UINT64_MAX >> 2)) {
        return -1;
    }
    stream.position = target;
    return 0;
}

int ZCALLBACK CloseCallback(voidpf, voidpf stream) {
    return static_cast<ZipFileStream*>(stream)->failed ? -1 : 0;
}

int ZCALLBACK ErrorCallback(voidpf, voidpf stream) {
    return static_cast<ZipFileStream*>(stream)->failed ? 1 : 0;
}

// Takes the handle's current position as position 0.
bool StartAtFilePointer(ZipFileStream& stream) {
    LARGE_INTEGER zero = {};
    LARGE_INTEGER current = {};
    if (!SetFilePointerEx(stream.file.get(), zero, &current, FILE_CURRENT) ||
        current.QuadPart < 0) {
        stream.file.reset();
        return false;
    }
    stream.start = static_cast<uint64_t>(current.QuadPart);
    stream.file_pointer = stream.start;
    stream.position = 0;
    stream.failed = false;
    return true;
}

// Moves the handle's file pointer to the stream's position, unless it is there.
bool MoveFilePointer(ZipFileStream& stream, uint64_t absolute) {
    if (stream.file_pointer == absolute) {
        return true;
    }
    LARGE_INTEGER move;
    move.QuadPart = static_cast<LONGLONG>(absolute);
    if (!SetFilePointerEx(stream.file.get(), move, nullptr, FILE_BEGIN)) {
        stream.file_pointer = UINT64_MAX;
        stream.failed = true;
        return false;
    }
    stream.file_pointer = absolute;
    return true;
}

}  // namespace

bool OpenZipFileStream(ZipFileStream& stream, const wchar_t* path) noexcept {
    stream.file.reset(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    stream.writable = false;
    return stream.file && StartAtFilePointer(stream);
}

bool CreateZipFileStream(ZipFileStream& stream, const wchar_t* path) noexcept {
    stream.file.reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    stream.writable = true;
    return stream.file && StartAtFilePointer(stream);
}

void FillZipFileFunctions(zlib_filefunc64_def& functions) noexcept {
    functions.zopen64_file = OpenCallback;
    functions.zread_file = ReadCallback;
    functions.zwrite_file = WriteCallback;
    functions.ztell64_file = TellCallback;
    functions.zseek64_file = SeekCallback;
    functions.zclose_file = CloseCallback;
    functions.zerror_file = ErrorCallback;
    functions.opaque = nullptr;
}

uint32_t ReadZipFileStream(ZipFileStream& stream, void* buffer, uint32_t size) noexcept {
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    if (stream.position < stream.lead_pad) {
        const uint64_t pad = std::min<uint64_t>(size, stream.lead_pad - stream.position);
        std::memset(out, 0, static_cast<size_t>(pad));
        done += static_cast<uint32_t>(pad);
        stream.position += pad;
    }
    const uint64_t file_offset = stream.position - stream.lead_pad;
    if (done == size || file_offset >= stream.shown_length) {
        return done;
    }
    const uint64_t wanted = std::min<uint64_t>(size - done, stream.shown_length - file_offset);
    if (!MoveFilePointer(stream, stream.start + file_offset)) {
        return done;
    }
    uint32_t remaining = static_cast<uint32_t>(wanted);
    while (remaining > 0) {
        DWORD got = 0;
        if (!ReadFile(stream.file.get(), out + done, remaining, &got, nullptr)) {
            stream.file_pointer = UINT64_MAX;
            stream.failed = true;
            break;
        }
        if (got == 0) {
            break;  // end of file
        }
        done += got;
        remaining -= got;
        stream.position += got;
        stream.file_pointer += got;
    }
    return done;
}

uint32_t WriteZipFileStream(ZipFileStream& stream, const void* buffer, uint32_t size) noexcept {
    // Writes land at the position as minizip counts it; a pad is only ever shown to reads.
    if (!stream.writable || !MoveFilePointer(stream, stream.start + stream.position)) {
        stream.failed = true;
        return 0;
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < size) {
        DWORD written = 0;
        if (!WriteFile(stream.file.get(), bytes + done, size - done, &written, nullptr) ||
            written == 0) {
            stream.file_pointer = UINT64_MAX;
            stream.failed = true;
            break;
        }
        done += written;
        stream.position += written;
        stream.file_pointer += written;
    }
    return done;
}

bool ShowEndRecordToDependency(ZipFileStream& stream) noexcept {
    uint64_t length = 0;
    if (!FileLength(stream, length) || length < kEndRecordSize) {
        return false;
    }
    const uint64_t tail_length = std::min(length, kEndRecordSize + kMaxCommentLength);
    const uint64_t tail_start = length - tail_length;
    std::unique_ptr<uint8_t[]> tail(new (std::nothrow) uint8_t[tail_length]);
    if (!tail) {
        return false;
    }
    stream.lead_pad = 0;
    stream.shown_length = UINT64_MAX;
    stream.position = tail_start;
    stream.failed = false;
    if (ReadZipFileStream(stream, tail.get(), static_cast<uint32_t>(tail_length)) != tail_length) {
        return false;
    }
    // From the end backwards, as the format wants the last record; only the places
    // minizip does not reach.
    for (uint64_t at = length - kEndRecordSize + 1; at-- > tail_start;) {
        const bool reached = at > 0 && length - at <= kDependencySearchLength;
        if (reached) {
            continue;
        }
        const uint8_t* record = tail.get() + (at - tail_start);
        if (ReadLittleEndian32(record) != 0x06054b50 || ReadLittleEndian16(record + 4) != 0 ||
            ReadLittleEndian16(record + 6) != 0 ||
            at + kEndRecordSize + ReadLittleEndian16(record + 20) != length) {
            continue;
        }
        stream.lead_pad = at == 0 ? 1 : 0;
        stream.shown_length = at + kEndRecordSize;
        stream.position = 0;
        return true;
    }
    return false;
}

}  // namespace qv::zip
