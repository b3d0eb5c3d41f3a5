// How long publishing takes against the least it could take: copying the same files
// and computing each CRC-32 once. Two releases: two large files (text that deflates
// well, noise that does not) and many small files. Each is published plain and zipped
// at levels 1, 6 and 9; the ratios say what the publisher's own work costs.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "tests/support/test_support.h"
#include "tools/publish/publisher.h"
#include "update/file_list.h"
#include "win/unique_handle.h"

namespace {

using qv::bench::Seconds;

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
    qv::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

uint64_t SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

using qv::test::RemoveTree;

// Best of two runs of `work`, each after `prepare`.
template <typename Prepare, typename Work>
double BestOfTwo(Prepare prepare, Work work) {
    double best = 1e9;
    for (int round = 0; round < 2; ++round) {
        prepare();
        const double start = Seconds();
        if (!work()) {
            std::printf("failed\n");
            return 0;
        }
        best = std::min(best, Seconds() - start);
    }
    return best;
}

double TimePublish(const std::wstring& release, const std::wstring& server, bool zip, int level) {
    return BestOfTwo([&] { RemoveTree(server); },
                     [&] {
                         qv::publish::PublishOptions options;
                         options.release_dir = release;
                         options.server_dir = server;
                         options.version = L"1";
                         options.level = level;
                         if (zip) {
                             options.zip.patterns = {L"*"};
                         }
                         qv::publish::MemoryLog log;
                         return qv::publish::Publish(options, log) == qv::publish::kExitOk;
                     });
}

// Copies every listed file and computes its CRC-32 once.
double TimeBaseline(const std::wstring& release, const std::wstring& copy,
                    const std::vector<std::wstring>& names) {
    return BestOfTwo(
        [&] {
            RemoveTree(copy);
            CreateDirectoryW(copy.c_str(), nullptr);
        },
        [&] {
            bool ok = true;
            for (const std::wstring& name : names) {
                ok = CopyFileW((release + name).c_str(), (copy + name).c_str(), FALSE) &&
                     qv::FileCrc32((release + name).c_str()) != 0 && ok;
            }
            return ok;
        });
}

}  // namespace

int wmain() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"qv_bench_publish";
    RemoveTree(root);
    CreateDirectoryW(root.c_str(), nullptr);
    const std::wstring large = root + L"\\large";
    const std::wstring small = root + L"\\small";
    CreateDirectoryW(large.c_str(), nullptr);
    CreateDirectoryW(small.c_str(), nullptr);

    constexpr size_t kHalf = 32u << 20;
    std::string text;
    for (int line = 0; text.size() < kHalf; ++line) {
        text += "chapter " + std::to_string(line % 97) + ", line " + std::to_string(line) +
                ": the quick brown fox jumps over the lazy dog\r\n";
    }
    text.resize(kHalf);
    std::string noise(kHalf, '\0');
    uint32_t state = 12345;
    for (char& c : noise) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    const std::vector<std::wstring> large_names = {L"\\text.bin", L"\\noise.bin"};
    bool ok = WriteWhole(large + large_names[0], text) && WriteWhole(large + large_names[1], noise);
    constexpr int kSmall = 1000;
    std::vector<std::wstring> small_names;
    for (int i = 0; ok && i < kSmall; ++i) {
        small_names.push_back(L"\\f" + std::to_wstring(i) + L".dat");
        ok = WriteWhole(small + small_names.back(),
                        "small file " + std::to_string(i) + std::string(2000, 'x'));
    }
    if (!ok) {
        std::printf("cannot write the releases\n");
        return 1;
    }
    const std::wstring server = root + L"\\server";
    const std::wstring copy = root + L"\\copy";

    const double mib = static_cast<double>(2 * kHalf) / (1 << 20);
    const double large_base = TimeBaseline(large, copy, large_names);
    std::printf(
        "2 large files, %.0f MiB (text, noise): baseline copy + CRC-32 %.2f s (%.0f MiB/s)\n", mib,
        large_base, mib / large_base);
    const double plain = TimePublish(large, server, false, 9);
    std::printf("  publish plain:           %.2f s, %.2fx baseline\n", plain, plain / large_base);
    for (int level : {1, 6, 9}) {
        const double zipped = TimePublish(large, server, true, level);
        const double text_share =
            100.0 * static_cast<double>(SizeOf(server + L"\\text.bin")) / kHalf;
        const double noise_share =
            100.0 * static_cast<double>(SizeOf(server + L"\\noise.bin")) / kHalf;
        std::printf(
            "  publish zipped, level %d: %.2f s, %.2fx baseline (%.0f MiB/s); text served "
            "as %.1f%%, noise as %.2f%% of its size\n",
            level, zipped, zipped / large_base, mib / zipped, text_share, noise_share);
    }

    const double small_base = TimeBaseline(small, copy, small_names);
    std::printf("%d small files: baseline copy + CRC-32 %.2f s (%.2f ms per file)\n", kSmall,
                small_base, 1000 * small_base / kSmall);
    const double small_plain = TimePublish(small, server, false, 9);
    std::printf("  publish plain:           %.2f s, %.2fx baseline\n", small_plain,
                small_plain / small_base);
    const double small_zipped = TimePublish(small, server, true, 9);
    std::printf("  publish zipped, level 9: %.2f s, %.2fx baseline\n", small_zipped,
                small_zipped / small_base);
    RemoveTree(root);
    return 0;
}
