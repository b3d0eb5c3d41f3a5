#pragma once
// Shared pieces of the archive tests: writing a built archive, owning a handle, and
// file times and attributes as Windows reports them.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "archive/zip_reader.h"
#include "tests/archive/zip_builder.h"
#include "tests/support/test_support.h"

namespace qv::test {

// One item with its data; deflated unless told otherwise.
inline ZipEntry Entry(const std::string& name, const std::string& data, uint16_t method = 8) {
    ZipEntry entry;
    entry.name = name;
    entry.data = data;
    entry.method = method;
    return entry;
}

struct ArchiveCloser {
    void operator()(ArchiveHandle handle) const { (void)ArchiveClose(handle); }
};
using OwnedArchive = std::unique_ptr<ArchiveHandleRecord, ArchiveCloser>;

// Writes `layout` as `name` under `dir` and returns its path.
inline std::wstring WriteZip(const TempDir& dir, const std::wstring& name,
                             const ZipLayout& layout) {
    const std::wstring path = dir / name;
    EXPECT_TRUE(WriteFileBytes(path, BuildZip(layout)));
    return path;
}

inline OwnedArchive Open(const std::wstring& path, const char* password = nullptr) {
    return OwnedArchive(ArchiveOpenFile(path.c_str(), password));
}

inline int64_t AsInt64(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
}

// A UTC calendar time as a FILETIME count.
inline int64_t UtcFileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    // The fields in SYSTEMTIME's order; the day of the week is not read.
    const SYSTEMTIME system = {year, month, 0, day, hour, minute, second, 0};
    FILETIME file_time = {};
    EXPECT_TRUE(SystemTimeToFileTime(&system, &file_time));
    return AsInt64(file_time);
}

// The tests run with TZ set to three hours east of UTC without daylight saving (see
// tests/archive/CMakeLists.txt), so that local DOS stamps and UTC differ.
constexpr int64_t kHour = 36000000000LL;
constexpr int64_t kLocalOffset = 3 * kHour;

inline bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace qv::test
