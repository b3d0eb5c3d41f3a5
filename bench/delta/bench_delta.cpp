// Delta patches against full files, measured in one run:
//  - bytes on the wire: each patch against the file as served (zipped at level 9, as
//    the publisher zips), for pairs of real binaries given on the command line and for
//    a 20 MB data file with 1% of its bytes changed in places;
//  - patch creation time per MB of the new file (the publisher's settings);
//  - applying: MB/s of output through files (as the updater will), of the decoder
//    alone into memory, and of merely filling a new mapped file of the same size (the
//    limit for any output written into fresh pages); and the peak private (anonymous)
//    memory while a 1 GiB file is patched, above what the process held before: the
//    mapped base and output are file pages and are not counted.
//
// usage: bench_delta.exe [--data-dir DIR] [OLD NEW]...   (pairs of files: an older and
//            a newer build; the data set is left in DIR as data.old and data.new, for
//            the whole-update benchmark, or in the temporary folder)
//        bench_delta.exe --apply-large BASE PATCH OUTPUT SIZE REPORT   (its own child)

#include <windows.h>

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "delta/mapped_file.h"
#include "delta/patch_applier.h"
#include "delta/patch_maker.h"
#include "tests/support/test_support.h"
#include "tools/publish/zip_archive.h"
#include "win/unique_handle.h"

namespace {

using qv::bench::Seconds;
using qv::test::Narrow;

constexpr double kMB = 1e6;
constexpr uint64_t kMaxFile = 1ull << 30;

uint64_t SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool WriteWhole(const std::wstring& path, const void* data, size_t size) {
    qv::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    const char* bytes = static_cast<const char*>(data);
    while (file && size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 64u << 20));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes, chunk, &written, nullptr) || written != chunk) {
            return false;
        }
        bytes += chunk;
        size -= chunk;
    }
    return file.valid();
}

// The process's resident anonymous memory in bytes, from Linux's view of the Wine
// process (Z: is the host's root); 0 when it cannot be read (not under Wine).
uint64_t PrivateResident() {
    qv::UniqueFileHandle file(CreateFileW(L"Z:\\proc\\self\\status", GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    char text[8192];
    DWORD got = 0;
    if (!file || !ReadFile(file.get(), text, sizeof text - 1, &got, nullptr)) {
        return 0;
    }
    text[got] = '\0';
    const char* line = strstr(text, "RssAnon:");
    return line == nullptr ? 0 : std::strtoull(line + 8, nullptr, 10) * 1024;
}

// Samples PrivateResident() every few milliseconds while alive; keeps the peak.
class PeakSampler {
public:
    PeakSampler()
        : thread_([this] {
              while (!done_) {
                  peak_ = std::max<uint64_t>(peak_, PrivateResident());
                  Sleep(5);
              }
          }) {}
    uint64_t Stop() {
        done_ = true;
        thread_.join();
        return std::max<uint64_t>(peak_, PrivateResident());
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> peak_{0};
    std::thread thread_;
};

// Words from a small vocabulary: text that deflates like a book or a data file.
std::string TextData(size_t size, uint32_t seed) {
    static const char* const kWords[] = {
        "the ",   "reader ", "page ",   "chapter ", "of ",     "and ",   "a ",     "light ",
        "night ", "river ",  "stone ",  "window ",  "<p>",     "</p>\n", "12 ",    "1.5 ",
        "font ",  "style ",  "\"id\":", "true, ",   "false, ", "null, ", "lorem ", "ipsum ",
        "data ",  "index ",  "table ",  "value ",   "name ",   "size ",  "width ", "height "};
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        seed = seed * 1664525u + 1013904223u;
        text += kWords[(seed >> 16) % (sizeof kWords / sizeof kWords[0])];
    }
    text.resize(size);
    return text;
}

// Changes `share` of the bytes in runs of 20 to 2000 at scattered places: new words
// written over old ones, as edits do.
std::string EditedInPlaces(std::string bytes, double share, uint32_t seed) {
    const size_t total = static_cast<size_t>(static_cast<double>(bytes.size()) * share);
    size_t changed = 0;
    while (changed < total) {
        seed = seed * 1664525u + 1013904223u;
        const size_t length = 20 + (seed >> 8) % 1981;
        seed = seed * 1664525u + 1013904223u;
        const size_t at = (static_cast<size_t>(seed) * 2654435761u) % (bytes.size() - length);
        const std::string words = TextData(length, seed ^ 0x9E3779B9u);
        for (size_t i = 0; i < length; ++i) {
            changed += bytes[at + i] != words[i] ? 1 : 0;
            bytes[at + i] = words[i];
        }
    }
    return bytes;
}

// The least writing `size` bytes into a new mapped file can take here: creating,
// mapping and filling it, in seconds. Each new page costs a fault, which under Wine
// on this machine bounds any applier that writes its output into fresh pages.
double FillSeconds(const std::wstring& path, uint64_t size) {
    DeleteFileW(path.c_str());
    const double start = Seconds();
    {
        qv::delta::MappedFile file;
        if (!file.CreateWrite(path.c_str(), size)) {
            return 0;
        }
        memset(file.writable_data(), 0x5A, static_cast<size_t>(size));
    }
    const double seconds = Seconds() - start;
    DeleteFileW(path.c_str());
    return seconds;
}

struct Pair {
    std::string label;
    std::wstring old_path, new_path;
};

struct Figures {
    uint64_t new_size = 0, served = 0, patch = 0;
    double make_seconds = 0, apply_seconds = 0;
    double decode_seconds = 0;  // into memory: the decoder alone, no output file
    double fill_seconds = 0;    // a new mapped file of the same size filled: the limit
};

bool Measure(const Pair& pair, const std::wstring& temp, Figures& out) {
    out.new_size = SizeOf(pair.new_path);
    const std::wstring zip = temp + L"served.zip";
    std::wstring error;
    DeleteFileW(zip.c_str());
    if (!qv::publish::WriteSingleItemArchive(pair.new_path, L"item", FILETIME{}, 9, zip, error)) {
        std::printf("cannot zip %s: %s\n", pair.label.c_str(), Narrow(error).c_str());
        return false;
    }
    out.served = std::min(SizeOf(zip), out.new_size);  // the publisher may serve it plain
    DeleteFileW(zip.c_str());
    std::string patch;
    double start = Seconds();
    if (qv::delta::MakePatchFromFiles(pair.old_path.c_str(), pair.new_path.c_str(), kMaxFile,
                                      UINT64_MAX, patch) != qv::delta::MakeResult::kMade) {
        std::printf("cannot make the patch of %s\n", pair.label.c_str());
        return false;
    }
    out.make_seconds = Seconds() - start;
    out.patch = patch.size();
    const std::wstring patch_path = temp + L"bench.patch";
    const std::wstring output = temp + L"bench.out";
    if (!WriteWhole(patch_path, patch.data(), patch.size())) {
        return false;
    }
    // Best of three, output created and flushed each time as the updater will.
    out.apply_seconds = 1e9;
    for (int round = 0; round < 3; ++round) {
        DeleteFileW(output.c_str());
        start = Seconds();
        const qv::delta::ApplyResult result = qv::delta::ApplyPatchFile(
            pair.old_path.c_str(), patch_path.c_str(), output.c_str(), out.new_size, kMaxFile);
        out.apply_seconds = std::min(out.apply_seconds, Seconds() - start);
        if (result != qv::delta::ApplyResult::kApplied) {
            std::printf("cannot apply the patch of %s\n", pair.label.c_str());
            return false;
        }
    }
    DeleteFileW(output.c_str());
    DeleteFileW(patch_path.c_str());
    out.fill_seconds = 1e9;
    for (int round = 0; round < 3; ++round) {
        out.fill_seconds = std::min(out.fill_seconds, FillSeconds(output, out.new_size));
    }
    qv::delta::MappedFile base;
    std::string memory(out.new_size, '\0');
    out.decode_seconds = 1e9;
    for (int round = 0; round < 3 && base.OpenRead(pair.old_path.c_str(), kMaxFile); ++round) {
        start = Seconds();
        const qv::delta::ApplyResult result =
            qv::delta::ApplyPatch(base.data(), static_cast<size_t>(base.size()),
                                  reinterpret_cast<const uint8_t*>(patch.data()), patch.size(),
                                  reinterpret_cast<uint8_t*>(memory.data()), memory.size());
        out.decode_seconds = std::min(out.decode_seconds, Seconds() - start);
        if (result != qv::delta::ApplyResult::kApplied) {
            return false;
        }
    }
    return true;
}

void PrintRow(const std::string& label, const Figures& f) {
    std::printf("%-34s %10llu %10llu %9llu %6.1f%% %8.2f %8.0f %8.0f %8.0f\n", label.c_str(),
                static_cast<unsigned long long>(f.new_size),
                static_cast<unsigned long long>(f.served), static_cast<unsigned long long>(f.patch),
                100.0 * static_cast<double>(f.patch) / static_cast<double>(f.served),
                f.make_seconds / (static_cast<double>(f.new_size) / kMB),
                static_cast<double>(f.new_size) / kMB / f.apply_seconds,
                static_cast<double>(f.new_size) / kMB / f.decode_seconds,
                static_cast<double>(f.new_size) / kMB / f.fill_seconds);
}

// A patch for a 1 GiB output, made at a fast level with the publisher's window and
// reference (level 19 would take many minutes; the applier's work and memory do not
// depend on the level), then applied while the private memory is sampled.
bool MeasureLarge(const std::wstring& temp) {
    constexpr size_t kSize = 1ull << 30;
    const std::wstring base_path = temp + L"large.base", patch_path = temp + L"large.patch",
                       output = temp + L"large.out";
    std::string patch;
    {
        std::string base(kSize, '\0');
        uint64_t seed = 7;
        for (size_t i = 0; i < kSize; i += 8) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            memcpy(&base[i], &seed, 8);
        }
        if (!WriteWhole(base_path, base.data(), base.size())) {
            return false;
        }
        std::string target = base;
        for (size_t i = 4096; i < kSize; i += 1u << 20) {
            memset(&target[i], 'x', 512);  // 0.05% changed, once per MiB
        }
        ZSTD_CCtx* c = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 1);
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, qv::delta::PatchWindowLog(kSize, kSize));
        ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
        ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
        ZSTD_CCtx_refPrefix(c, base.data(), base.size());
        patch.resize(ZSTD_compressBound(kSize));
        const size_t made =
            ZSTD_compress2(c, patch.data(), patch.size(), target.data(), target.size());
        ZSTD_freeCCtx(c);
        if (ZSTD_isError(made)) {
            std::printf("cannot make the 1 GiB patch: %s\n", ZSTD_getErrorName(made));
            return false;
        }
        patch.resize(made);
    }
    const uint64_t patch_size = patch.size();
    if (!WriteWhole(patch_path, patch.data(), patch.size())) {
        return false;
    }
    patch = std::string();
    // Applied by a fresh process of this program, so that nothing this one allocated
    // before hides in its figures.
    const std::wstring report = temp + L"large.txt";
    const std::wstring command = L"\"" + qv::test::ThisExecutable() + L"\" --apply-large \"" +
                                 base_path + L"\" \"" + patch_path + L"\" \"" + output + L"\" " +
                                 std::to_wstring(kSize) + L" \"" + report + L"\"";
    std::printf("1 GiB output, patch of %llu bytes:\n",
                static_cast<unsigned long long>(patch_size));
    std::fflush(stdout);
    const int code = qv::test::RunProcess(command, 600000);
    std::printf("%s", qv::test::ReadFileBytes(report).c_str());
    DeleteFileW(report.c_str());
    DeleteFileW(output.c_str());
    DeleteFileW(patch_path.c_str());
    DeleteFileW(base_path.c_str());
    return code == 0;
}

// The child's part: applies one patch and reports speed and memory.
int ApplyLarge(const wchar_t* base, const wchar_t* patch, const wchar_t* output, uint64_t size,
               const wchar_t* report_path) {
    FILE* report = _wfopen(report_path, L"w");
    if (report == nullptr) {
        return 1;
    }
    const double fill_seconds = FillSeconds(std::wstring(output) + L".fill", size);
    DeleteFileW(output);
    const uint64_t before = PrivateResident();
    PeakSampler sampler;
    const double start = Seconds();
    const qv::delta::ApplyResult result =
        qv::delta::ApplyPatchFile(base, patch, output, size, kMaxFile);
    const double seconds = Seconds() - start;
    const uint64_t peak = sampler.Stop();
    const PROCESS_MEMORY_COUNTERS counters = qv::bench::ProcessMemory();
    if (result != qv::delta::ApplyResult::kApplied) {
        std::fprintf(report, "  cannot apply the patch\n");
        std::fclose(report);
        return 1;
    }
    std::fprintf(report,
                 "  applied at %.0f MB/s of output (goal: at least 200); filling a new mapped file "
                 "of that size: %.0f MB/s, so the applier runs at %.2f of that limit\n"
                 "  peak private memory %.1f MiB above the %.1f MiB held before, %.1f MiB in all "
                 "(goal: at most 64)\n"
                 "  peak working set, mapped base and output included: %.0f MiB\n",
                 static_cast<double>(size) / kMB / seconds,
                 fill_seconds > 0 ? static_cast<double>(size) / kMB / fill_seconds : 0.0,
                 fill_seconds / seconds,
                 static_cast<double>(peak > before ? peak - before : 0) / 1048576.0,
                 static_cast<double>(before) / 1048576.0, static_cast<double>(peak) / 1048576.0,
                 static_cast<double>(counters.PeakWorkingSetSize) / 1048576.0);
    std::fclose(report);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 7 && std::wstring(argv[1]) == L"--apply-large") {
        return ApplyLarge(argv[2], argv[3], argv[4], std::wcstoull(argv[5], nullptr, 10), argv[6]);
    }
    wchar_t temp_buffer[MAX_PATH];
    GetTempPathW(MAX_PATH, temp_buffer);
    const std::wstring temp = temp_buffer;
    std::wstring data_dir = temp;
    int first_pair = 1;
    if (argc >= 3 && std::wstring(argv[1]) == L"--data-dir") {
        data_dir = std::wstring(argv[2]) + L"\\";
        first_pair = 3;
    }

    std::vector<Pair> pairs;
    for (int i = first_pair; i + 1 < argc; i += 2) {
        std::wstring name = argv[i + 1];
        name = name.substr(name.find_last_of(L"\\/") + 1);
        pairs.push_back({"binary " + Narrow(name), argv[i], argv[i + 1]});
    }
    const std::string data = TextData(20000000, 1);
    const std::string edited = EditedInPlaces(data, 0.01, 2);
    const std::wstring data_old = data_dir + L"data.old", data_new = data_dir + L"data.new";
    if (!WriteWhole(data_old, data.data(), data.size()) ||
        !WriteWhole(data_new, edited.data(), edited.size())) {
        std::printf("cannot write the data set\n");
        return 1;
    }
    pairs.push_back({"data 20 MB, 1% changed in places", data_old, data_new});

    std::printf("%-34s %10s %10s %9s %7s %8s %8s %8s %8s\n", "file", "new bytes", "served", "patch",
                "ratio", "s/MB mk", "MB/s ap", "MB/s mem", "MB/s fill");
    uint64_t binary_served = 0, binary_patch = 0;
    int status = 0;
    for (const Pair& pair : pairs) {
        Figures figures;
        if (!Measure(pair, temp, figures)) {
            status = 1;
            continue;
        }
        PrintRow(pair.label, figures);
        if (pair.label.rfind("binary", 0) == 0) {
            binary_served += figures.served;
            binary_patch += figures.patch;
        }
    }
    if (binary_served > 0) {
        std::printf(
            "binaries together: %llu bytes of patches against %llu served in full: "
            "%.1f%% (goal: at most 10%%)\n",
            static_cast<unsigned long long>(binary_patch),
            static_cast<unsigned long long>(binary_served),
            100.0 * static_cast<double>(binary_patch) / static_cast<double>(binary_served));
    }
    std::printf("(data set goal: at most 3%%; apply goal: at least 200 MB/s)\n");
    if (first_pair == 1) {  // no one asked to keep them
        DeleteFileW(data_old.c_str());
        DeleteFileW(data_new.c_str());
    }
    if (!MeasureLarge(temp)) {
        status = 1;
    }
    return status;
}
