#include "tools/publish/zip_archive.h"

#include <ioapi.h>
#include <unzip.h>
#include <zip.h>

#include <memory>
#include <new>
#include <vector>

#include "archive/zip_reader.h"
#include "update/update_logic.h"
#include "update/text_line_file.h"
#include "win/unique_handle.h"

namespace qv::publish {

namespace {

// minizip's I/O over Win32 files, so that wide paths work: the "file name" minizip
// passes through is a const wchar_t*.
struct Win32Stream {
    UniqueFileHandle file;
    bool failed = false;
};

voidpf ZCALLBACK OpenStream(voidpf, const void* filename, int mode) {
    const wchar_t* path = static_cast<const wchar_t*>(filename);
    if (path == nullptr) {
        return nullptr;
    }
    const bool create = (mode & ZLIB_FILEFUNC_MODE_CREATE) != 0;
    UniqueFileHandle file(CreateFileW(
        path, create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, create ? 0 : FILE_SHARE_READ,
        nullptr, create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return nullptr;
    }
    auto* stream = new (std::nothrow) Win32Stream;
    if (stream != nullptr) {
        stream->file = std::move(file);
    }
    return stream;
}

uLong ZCALLBACK ReadStream(voidpf, voidpf opaque_stream, void* buffer, uLong size) {
    auto* stream = static_cast<Win32Stream*>(opaque_stream);
    DWORD read = 0;
    if (!ReadFile(stream->file.get(), buffer, size, &read, nullptr)) {
        stream->failed = true;
        return 0;
    }
    return read;
}

uLong ZCALLBACK WriteStream(voidpf, voidpf opaque_stream, const void* buffer, uLong size) {
    auto* stream = static_cast<Win32Stream*>(opaque_stream);
    DWORD written = 0;
    if (!WriteFile(stream->file.get(), buffer, size, &written, nullptr) || written != size) {
        stream->failed = true;
    }
    return written;
}

ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf opaque_stream) {
    auto* stream = static_cast<Win32Stream*>(opaque_stream);
    LARGE_INTEGER zero = {}, position = {};
    if (!SetFilePointerEx(stream->file.get(), zero, &position, FILE_CURRENT)) {
        stream->failed = true;
        return static_cast<ZPOS64_T>(-1);
    }
    return static_cast<ZPOS64_T>(position.QuadPart);
}

long ZCALLBACK SeekStream(voidpf, voidpf opaque_stream, ZPOS64_T offset, int origin) {
    auto* stream = static_cast<Win32Stream*>(opaque_stream);
    DWORD method = FILE_BEGIN;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_CUR:
            method = FILE_CURRENT;
            break;
        case ZLIB_FILEFUNC_SEEK_END:
            method = FILE_END;
            break;
        case ZLIB_FILEFUNC_SEEK_SET:
            break;
        default:
            return -1;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(stream->file.get(), distance, nullptr, method) ? 0 : -1;
}

int ZCALLBACK CloseStream(voidpf, voidpf opaque_stream) {
    std::unique_ptr<Win32Stream> stream(static_cast<Win32Stream*>(opaque_stream));
    const bool failed = stream->failed;
    return CloseHandle(stream->file.release()) && !failed ? 0 : -1;
}

int ZCALLBACK StreamError(voidpf, voidpf opaque_stream) {
    return static_cast<Win32Stream*>(opaque_stream)->failed ? 1 : 0;
}

zlib_filefunc64_def Win32FileFunctions() {
    zlib_filefunc64_def functions = {};
    functions.zopen64_file = OpenStream;
    functions.zread_file = ReadStream;
    functions.zwrite_file = WriteStream;
    functions.ztell64_file = TellStream;
    functions.zseek64_file = SeekStream;
    functions.zclose_file = CloseStream;
    functions.zerror_file = StreamError;
    return functions;
}

struct ZipCloser {
    void operator()(void* zip) const noexcept { zipClose(zip, nullptr); }
};
struct UnzipCloser {
    void operator()(void* unzip) const noexcept { unzClose(unzip); }
};

// 1980-01-01 00:00:00 to 2107-12-31 23:59:58 in UTC: what a DOS stamp can hold.
uLong DosStamp(const FILETIME& time) {
    SYSTEMTIME utc = {};
    if (!FileTimeToSystemTime(&time, &utc) || utc.wYear < 1980) {
        return (0u << 25) | (1u << 21) | (1u << 16);  // 1980-01-01 00:00
    }
    if (utc.wYear > 2107) {
        return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
    }
    return (static_cast<uLong>(utc.wYear - 1980) << 25) | (static_cast<uLong>(utc.wMonth) << 21) |
           (static_cast<uLong>(utc.wDay) << 16) | (static_cast<uLong>(utc.wHour) << 11) |
           (static_cast<uLong>(utc.wMinute) << 5) | (static_cast<uLong>(utc.wSecond) / 2);
}

// Seconds since 1970 in the signed 32 bits of the extended timestamp, clamped.
int32_t UnixTime(const FILETIME& time) {
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                               time.dwLowDateTime);
    const int64_t seconds = (ticks - 116444736000000000LL) / 10000000LL;
    if (seconds < 0) {
        return 0;
    }
    return seconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(seconds);
}

void PutLe16(std::vector<unsigned char>& out, unsigned value) {
    out.push_back(static_cast<unsigned char>(value & 0xFF));
    out.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

void PutLe32(std::vector<unsigned char>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<unsigned char>((value >> shift) & 0xFF));
    }
}

// The extended-timestamp block ("UT"): modification, access and creation time in the
// local header, the modification time alone in the central directory, as is usual.
std::vector<unsigned char> TimestampField(int32_t unix_time, bool local) {
    std::vector<unsigned char> field;
    PutLe16(field, 0x5455);
    PutLe16(field, local ? 13 : 5);
    field.push_back(0x07);
    for (int i = 0; i < (local ? 3 : 1); ++i) {
        PutLe32(field, static_cast<uint32_t>(unix_time));
    }
    return field;
}

std::wstring ZipErrorText(int code) {
    return L"minizip error " + std::to_wstring(code);
}

bool WriteItem(void* zip, const std::wstring& source_path, std::wstring& error,
               const ByteProgress& progress) {
    UniqueFileHandle source(CreateFileW(source_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) {
        error = L"cannot open the file (Windows error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    constexpr DWORD kChunk = 1u << 20;
    std::vector<unsigned char> buffer(kChunk);
    uint64_t done = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source.get(), buffer.data(), kChunk, &read, nullptr)) {
            error =
                L"cannot read the file (Windows error " + std::to_wstring(GetLastError()) + L")";
            return false;
        }
        if (read == 0) {
            return true;
        }
        const int result = zipWriteInFileInZip(zip, buffer.data(), read);
        if (result != ZIP_OK) {
            error = L"cannot write the archive (" + ZipErrorText(result) + L")";
            return false;
        }
        done += read;
        if (progress) {
            progress(done);
        }
    }
}

}  // namespace

bool WriteSingleItemArchive(const std::wstring& source_path, const std::wstring& item_name,
                            const FILETIME& write_time, int level, const std::wstring& archive_path,
                            std::wstring& error, const ByteProgress& progress) {
    if (level < 0 || level > 9) {
        error = L"compression level must be 0 to 9";
        return false;
    }
    zlib_filefunc64_def functions = Win32FileFunctions();
    std::unique_ptr<void, ZipCloser> zip(
        zipOpen2_64(archive_path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions));
    if (!zip) {
        error =
            L"cannot create the archive (Windows error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    const std::string name = EncodeText(item_name.data(), item_name.size(), CP_UTF8);
    bool ascii = true;
    for (char c : name) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    zip_fileinfo info = {};
    info.dosDate = DosStamp(write_time);
    info.external_fa = FILE_ATTRIBUTE_ARCHIVE;  // never read-only, whatever the source was
    const int32_t unix_time = UnixTime(write_time);
    const std::vector<unsigned char> local_extra = TimestampField(unix_time, true);
    const std::vector<unsigned char> central_extra = TimestampField(unix_time, false);
    // Host 0 (MS-DOS attributes); bit 11 says the name is UTF-8.
    const uLong kVersionMadeBy = 20;
    const uLong flags = ascii ? 0 : 0x800;
    int result = zipOpenNewFileInZip4_64(
        zip.get(), name.c_str(), &info, local_extra.data(), static_cast<uInt>(local_extra.size()),
        central_extra.data(), static_cast<uInt>(central_extra.size()), nullptr,
        level == 0 ? 0 : Z_DEFLATED, level, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
        nullptr, 0, kVersionMadeBy, flags, 0);
    bool ok = result == ZIP_OK;
    if (!ok) {
        error = L"cannot start the archive's item (" + ZipErrorText(result) + L")";
    } else {
        ok = WriteItem(zip.get(), source_path, error, progress);
        result = zipCloseFileInZip(zip.get());
        if (ok && result != ZIP_OK) {
            error = L"cannot finish the archive's item (" + ZipErrorText(result) + L")";
            ok = false;
        }
    }
    result = zipClose(zip.release(), nullptr);
    if (ok && result != ZIP_OK) {
        error = L"cannot finish the archive (" + ZipErrorText(result) + L")";
        ok = false;
    }
    if (!ok) {
        DeleteFileW(archive_path.c_str());
    }
    return ok;
}

bool ReadFirstItemInfo(const std::wstring& archive_path, FirstItemInfo& out) {
    zlib_filefunc64_def functions = Win32FileFunctions();
    std::unique_ptr<void, UnzipCloser> unzip(unzOpen2_64(archive_path.c_str(), &functions));
    if (!unzip) {
        return false;
    }
    unz_global_info64 global = {};
    if (unzGetGlobalInfo64(unzip.get(), &global) != UNZ_OK || global.number_entry == 0 ||
        unzGoToFirstFile(unzip.get()) != UNZ_OK) {
        return false;
    }
    unz_file_info64 info = {};
    char name[MAX_PATH + 1] = {};
    if (unzGetCurrentFileInfo64(unzip.get(), &info, name, MAX_PATH, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
        return false;
    }
    out.item_count = global.number_entry;
    out.crc = static_cast<uint32_t>(info.crc);
    out.size = info.uncompressed_size;
    out.compressed_size = info.compressed_size;
    const size_t length = info.size_filename < MAX_PATH ? info.size_filename : MAX_PATH;
    out.name = DecodeText(name, length, CP_UTF8);
    return true;
}

bool ExtractFirstItem(const std::wstring& archive_path, const std::wstring& target_path) {
    return qv::ExtractFirstItem(archive_path.c_str(), target_path.c_str());
}

}  // namespace qv::publish
