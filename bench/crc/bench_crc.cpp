// FileCrc32 over a large file in the page cache against zlib's crc32 over the same
// bytes in memory (the limit for this design); the SHA-256 pass of signed releases
// over the same file against that CRC-32 pass; and the time to build a download list
// for many small files.

#include <windows.h>

#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "trust/file_hashes.h"
#include "update/file_list.h"
#include "win/unique_handle.h"

namespace {

using qv::bench::Seconds;

bool WriteWhole(const std::wstring& path, const void* data, DWORD size) {
    qv::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), data, size, &written, nullptr) && written == size;
}

void RemoveSmallFiles(const std::wstring& dir, int count) {
    for (int i = 0; i < count; ++i) {
        DeleteFileW((dir + L"\\f" + std::to_wstring(i) + L".dat").c_str());
    }
    RemoveDirectoryW(dir.c_str());
}

}  // namespace

int wmain() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring big_path = std::wstring(temp) + L"qv_bench_crc.bin";

    constexpr size_t kBigSize = 512u << 20;
    std::vector<unsigned char> bytes(kBigSize);
    for (size_t i = 0; i < kBigSize; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    }
    if (!WriteWhole(big_path, bytes.data(), static_cast<DWORD>(kBigSize))) {
        std::printf("cannot write the test file\n");
        return 1;
    }
    static_cast<void>(qv::FileCrc32(big_path.c_str()));  // warm the page cache

    double best_file = 1e9, best_memory = 1e9;
    uint32_t file_crc = 0;
    uLong memory_crc = 0;
    for (int round = 0; round < 3; ++round) {
        double start = Seconds();
        file_crc = qv::FileCrc32(big_path.c_str());
        best_file = std::min(best_file, Seconds() - start);
        start = Seconds();
        memory_crc = crc32(0L, bytes.data(), static_cast<uInt>(kBigSize));
        best_memory = std::min(best_memory, Seconds() - start);
    }
    // What signed mode adds to every file: a SHA-256 pass through CNG.
    double best_sha = 1e9;
    qv::Sha256Digest file_sha{}, memory_sha{};
    uint64_t sha_size = 0;
    bool sha_ok = qv::Sha256Bytes(bytes.data(), kBigSize, memory_sha);
    for (int round = 0; round < 3; ++round) {
        const double start = Seconds();
        sha_ok = qv::Sha256File(big_path.c_str(), kBigSize, file_sha, sha_size) && sha_ok;
        best_sha = std::min(best_sha, Seconds() - start);
    }
    DeleteFileW(big_path.c_str());
    const double mib = static_cast<double>(kBigSize) / (1 << 20);
    std::printf("FileCrc32 512 MiB: %.0f MiB/s; zlib crc32 in memory: %.0f MiB/s; ratio %.2f%s\n",
                mib / best_file, mib / best_memory, best_memory / best_file,
                file_crc == memory_crc ? "" : "  (CRC MISMATCH)");
    std::printf("Sha256File 512 MiB: %.0f MiB/s; time against the FileCrc32 pass: %.2f%s\n",
                mib / best_sha, best_sha / best_file,
                sha_ok && file_sha == memory_sha ? "" : "  (SHA-256 MISMATCH)");

    // 10,000 list entries over small installed files, half of them changed.
    constexpr int kEntries = 10000;
    const std::wstring dir = std::wstring(temp) + L"qv_bench_list";
    CreateDirectoryW(dir.c_str(), nullptr);
    qv::FileList list;
    for (int i = 0; i < kEntries; ++i) {
        const std::string content = "file " + std::to_string(i) + std::string(1000, 'x');
        const std::wstring name = L"f" + std::to_wstring(i) + L".dat";
        WriteWhole(dir + L"\\" + name, content.data(), static_cast<DWORD>(content.size()));
        const uint32_t crc = static_cast<uint32_t>(crc32(
            0L, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
        list.entries.push_back({i % 2 == 0 ? crc : crc + 1, 0, 0, 0, name});
    }
    const double start = Seconds();
    const qv::FileList download = qv::BuildDownloadList(list, dir);
    const double elapsed = Seconds() - start;
    RemoveSmallFiles(dir, kEntries);
    std::printf(
        "download list for %d entries (1 KiB files): %.0f ms, %.1f us per entry, %zu listed\n",
        kEntries, elapsed * 1000, elapsed * 1e6 / kEntries, download.entries.size());
    return 0;
}
