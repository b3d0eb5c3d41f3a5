#include "tools/publish/zip_archive.h"

#include <ioapi.h>
#include <unzip.h>
#include <zip.h>

#include <memory>
#include <new>
#include <vector>

#include "archive/first_item.h"
#include "archive/zip_reader.h"
#include "archive/zip_stream.h"
#include "win/text.h"
#include "win/unique_handle.h"

namespace qv::publish {

namespace {

struct ZipCloser {
    void operator()(void* zip) const noexcept { static_cast<void>(zipClose(zip, nullptr)); }
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
    zip::ZipFileStream stream;
    if (!zip::CreateZipFileStream(stream, archive_path.c_str())) {
        error =
            L"cannot create the archive (Windows error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    zlib_filefunc64_def functions;
    zip::FillZipFileFunctions(functions);
    std::unique_ptr<void, ZipCloser> archive(
        zipOpen2_64(&stream, APPEND_STATUS_CREATE, nullptr, &functions));
    if (!archive) {
        stream.file.reset();
        DeleteFileW(archive_path.c_str());
        error = L"cannot start the archive";
        return false;
    }
    const std::string name = EncodeText(item_name);
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
        archive.get(), name.c_str(), &info, local_extra.data(),
        static_cast<uInt>(local_extra.size()), central_extra.data(),
        static_cast<uInt>(central_extra.size()), nullptr, level == 0 ? 0 : Z_DEFLATED, level, 0,
        -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, kVersionMadeBy, flags, 0);
    bool ok = result == ZIP_OK;
    if (!ok) {
        error = L"cannot start the archive's item (" + ZipErrorText(result) + L")";
    } else {
        ok = WriteItem(archive.get(), source_path, error, progress);
        result = zipCloseFileInZip(archive.get());
        if (ok && result != ZIP_OK) {
            error = L"cannot finish the archive's item (" + ZipErrorText(result) + L")";
            ok = false;
        }
    }
    result = zipClose(archive.release(), nullptr);
    if (ok && result != ZIP_OK) {
        error = L"cannot finish the archive (" + ZipErrorText(result) + L")";
        ok = false;
    }
    if (!CloseHandle(stream.file.release()) && ok) {
        error =
            L"cannot finish the archive (Windows error " + std::to_wstring(GetLastError()) + L")";
        ok = false;
    }
    if (!ok) {
        DeleteFileW(archive_path.c_str());
    }
    return ok;
}

bool ReadFirstItemInfo(const std::wstring& archive_path, FirstItemInfo& out) {
    zip::ZipFileStream stream;
    if (!zip::OpenZipFileStream(stream, archive_path.c_str())) {
        return false;
    }
    zlib_filefunc64_def functions;
    zip::FillZipFileFunctions(functions);
    std::unique_ptr<void, UnzipCloser> unzip(unzOpen2_64(&stream, &functions));
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
    out.name = DecodeText(std::string_view(name, length));
    return true;
}

bool ExtractFirstItem(const std::wstring& archive_path, const std::wstring& target_path) {
    return qv::ExtractFirstItem(archive_path.c_str(), target_path.c_str());
}

}  // namespace qv::publish
