// Extracts item 0 of an archive with the reader, several rounds, and prints the best
// time and the process's working set before the first open and at its peak. run.sh
// compares the time with another extractor on the same archive.
//
//   bench_extract.exe archive.zip target-file rounds

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>

#include "archive/zip_reader.h"
#include "bench/bench_support.h"

namespace {

using qv::bench::Seconds;

PROCESS_MEMORY_COUNTERS Memory() {
    return qv::bench::ProcessMemory();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: bench_extract archive.zip target rounds\n");
        return 2;
    }
    const int rounds = _wtoi(argv[3]) > 0 ? _wtoi(argv[3]) : 1;
    const SIZE_T before = Memory().WorkingSetSize;
    double best = 1e9;
    for (int round = 0; round < rounds; ++round) {
        const double start = Seconds();
        qv::ArchiveHandle archive = qv::ArchiveOpenFile(argv[1], nullptr);
        if (archive == nullptr) {
            std::printf("cannot open the archive\n");
            return 1;
        }
        const qv::ArchiveResult result = qv::ArchiveExtractToFile(archive, 0, argv[2]);
        static_cast<void>(qv::ArchiveClose(archive));
        const double elapsed = Seconds() - start;
        if (result != qv::ARCHIVE_OK) {
            std::printf("extraction failed: 0x%08x\n", static_cast<unsigned>(result));
            return 1;
        }
        best = elapsed < best ? elapsed : best;
    }
    const PROCESS_MEMORY_COUNTERS after = Memory();
    // Machine-readable for run.sh: seconds, working set before, peak working set (KiB).
    std::printf("%.4f %zu %zu\n", best, static_cast<size_t>(before / 1024),
                static_cast<size_t>(after.PeakWorkingSetSize / 1024));
    return 0;
}
