// One DownloadToFile in a fresh process, timed from inside, with the process's peak
// working set before and after; run.sh compares the time with curl's on the same file.
//
//   bench_download.exe URL TARGET_PATH [READ_BLOCK_SIZE]
//
// With READ_BLOCK_SIZE it fetches through the client with that receive size and writes
// the body as DownloadToFile does, to show what the receive size costs.

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "bench/bench_support.h"
#include "http/client.h"
#include "update/download.h"
#include "update/downloader.h"

namespace {

using qv::bench::Seconds;

SIZE_T PeakWorkingSet() {
    return qv::bench::ProcessMemory().PeakWorkingSetSize;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: bench_download.exe URL TARGET_PATH [READ_BLOCK_SIZE]\n");
        return 2;
    }
    const DWORD read_block = argc == 4 ? std::wcstoul(argv[3], nullptr, 10) : 0;
    qv::CDownloader fetcher(nullptr);  // made before the baseline: only the download counts
    const SIZE_T peak_before = PeakWorkingSet();
    const double start = Seconds();
    bool ok;
    if (read_block == 0) {
        ok = qv::DownloadToFile(fetcher, argv[1], argv[2]);
    } else {
        qv::CAtlHttpClient client;
        qv::CFetchOptions options;
        options.read_block_size = read_block;
        ok = client.FetchUrl(argv[1], &options);
        const double fetched = Seconds();
        ok = ok && qv::WriteBodyToFile(argv[2], client.BodyData(), client.BodyLength());
        std::printf("fetch=%.4f write=%.4f\n", fetched - start, Seconds() - fetched);
    }
    const double elapsed = Seconds() - start;
    const SIZE_T peak_after = PeakWorkingSet();
    std::printf("ok=%d seconds=%.4f peak_before=%llu peak_after=%llu\n", ok ? 1 : 0, elapsed,
                static_cast<unsigned long long>(peak_before),
                static_cast<unsigned long long>(peak_after));
    return ok ? 0 : 1;
}
