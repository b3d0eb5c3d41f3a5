#include "archive/zip_item.h"

#include <cstring>
#include <cwchar>

#include "win/byte_order.h"
#include "win/path.h"

namespace qv::zip {
namespace {

constexpr uint32_t kAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                    FILE_ATTRIBUTE_ARCHIVE;
constexpr uint32_t kUnixDirectory = 0x40000000;   // S_IFDIR in the high 16 bits
constexpr uint32_t kUnixOwnerWrite = 0x00800000;  // S_IWUSR in the high 16 bits
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
constexpr uint16_t kExtendedTimestampId = 0x5455;  // "UT"

FILETIME FromInt64(int64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) >> 32);
    return time;
}

FILETIME LocalToUtc(const SYSTEMTIME& local) {
    FILETIME local_time = {};
    FILETIME utc = {};
    if (!SystemTimeToFileTime(&local, &local_time)) {
        return utc;
    }
    if (!LocalFileTimeToFileTime(&local_time, &utc)) {
        return local_time;
    }
    return utc;
}

}  // namespace

bool DecodeItemName(const char* bytes, size_t length, wchar_t* out, size_t capacity) noexcept {
    if (capacity == 0) {
        return false;
    }
    const void* nul = std::memchr(bytes, '\0', length);
    if (nul != nullptr) {
        length = static_cast<size_t>(static_cast<const char*>(nul) - bytes);
    }
    out[0] = L'\0';
    if (length == 0) {
        return true;
    }
    // A UTF-8 byte never yields more than one UTF-16 unit, so the length decides.
    if (length >= capacity) {
        return false;
    }
    const int count = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), out,
                                          static_cast<int>(capacity - 1));
    if (count <= 0) {
        return false;
    }
    out[count] = L'\0';
    return true;
}

void CleanItemName(wchar_t* name) noexcept {
    static const wchar_t* const kParentPatterns[] = {L"\\..\\", L"\\../", L"/../", L"/..\\"};
    for (;;) {
        size_t drop = 0;
        if (name[0] != L'\0' && name[1] == L':') {
            drop = 2;
        } else if (IsPathSeparator(name[0])) {
            drop = 1;
        } else {
            for (const wchar_t* pattern : kParentPatterns) {
                if (const wchar_t* found = std::wcsstr(name, pattern)) {
                    drop = static_cast<size_t>(found - name) + 4;
                    break;
                }
            }
        }
        if (drop == 0) {
            return;
        }
        std::memmove(name, name + drop, (std::wcslen(name + drop) + 1) * sizeof(wchar_t));
    }
}

uint32_t ItemAttributes(uint32_t version_made_by, uint32_t external_attributes) noexcept {
    const uint32_t host = (version_made_by >> 8) & 0xFF;
    if (host == 0 || host == 7 || host == 11 || host == 14) {
        return external_attributes & kAttributeMask;
    }
    uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE;
    if (external_attributes & kUnixDirectory) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    }
    if (!(external_attributes & kUnixOwnerWrite)) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    return attributes;
}

FILETIME DosStampToFileTime(uint32_t dos_stamp) noexcept {
    const uint32_t date = dos_stamp >> 16;
    const uint32_t time = dos_stamp & 0xFFFF;
    SYSTEMTIME local = {};
    local.wYear = static_cast<WORD>((date >> 9) + 1980);
    local.wMonth = static_cast<WORD>((date >> 5) & 0x0F);
    local.wDay = static_cast<WORD>(date & 0x1F);
    local.wHour = static_cast<WORD>(time >> 11);
    local.wMinute = static_cast<WORD>((time >> 5) & 0x3F);
    local.wSecond = static_cast<WORD>((time & 0x1F) * 2);
    FILETIME check;
    if (!SystemTimeToFileTime(&local, &check)) {
        local = {};
        local.wYear = 1980;
        local.wMonth = 1;
        local.wDay = 1;
    }
    return LocalToUtc(local);
}

void ApplyExtendedTimestamp(const uint8_t* extra, size_t length, ItemTimes& times) noexcept {
    size_t block = 0;
    while (block + 4 < length) {
        const uint16_t id = ReadLittleEndian16(extra + block);
        const size_t data_size = ReadLittleEndian16(extra + block + 2);
        if (id != kExtendedTimestampId) {
            block += 4 + data_size;
            continue;
        }
        // The block may claim more data than the field holds; read neither past it.
        const size_t end = block + 4 + data_size < length ? block + 4 + data_size : length;
        const uint8_t flags = extra[block + 4];
        size_t at = block + 5;
        FILETIME* const targets[] = {&times.modification, &times.access, &times.creation};
        for (int bit = 0; bit < 3; ++bit) {
            if (!(flags & (1u << bit))) {
                continue;
            }
            if (at + 4 > end) {
                break;
            }
            const int64_t seconds = static_cast<int32_t>(ReadLittleEndian32(extra + at));
            *targets[bit] = FromInt64(seconds * 10000000LL + kUnixEpochAsFileTime);
            at += 4;
        }
        return;
    }
}

uint8_t PasswordCheckByte(uint32_t flag, uint32_t crc, uint32_t dos_stamp) noexcept {
    if (flag & 0x0008) {
        return static_cast<uint8_t>((dos_stamp >> 8) & 0xFF);
    }
    return static_cast<uint8_t>(crc >> 24);
}

}  // namespace qv::zip
