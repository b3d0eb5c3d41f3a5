// The stages of one update, timed inside one process: fetching and reading the file
// list, the CRC-32 of every installed file, staging every changed file (download,
// check, extraction) and the installation. Prints one line of seconds:
//   list <s> crc <s> fetch <s> install <s>
// Usage: bench_stages INSTALLATION_DIR BASE_URL

#include <windows.h>

#include <cstdio>
#include <string>

#include "bench/bench_support.h"
#include "update/download.h"
#include "update/update_logic.h"

namespace {

using qv::bench::Seconds;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: bench_stages INSTALLATION_DIR BASE_URL\n", stderr);
        return 64;
    }
    qv::UpdateSettings settings;
    settings.app_dir = argv[1];
    settings.server = qv::ServerSettings{argv[2], std::nullopt, {}};
    qv::CUpdateLogic logic(settings);
    if (logic.AppDir()[0] == L'\0') {
        std::fputs("bench_stages: the installation path is too long\n", stderr);
        return 64;
    }
    const qv::PassContext pass{logic.AppDir(), argv[2], qv::kVersionTimeoutMs, {}};
    qv::CDownloader fetcher(&logic);
    const auto policy = qv::MakeVerificationPolicy(std::nullopt);
    const double start = Seconds();
    std::wstring list_path;
    qv::FileList list;
    if (!logic.UpdateDirPath(qv::kFileListName, list_path) ||
        !qv::DownloadToFile(fetcher, pass.base_url + L"/" + qv::kFileListName, list_path) ||
        !list.ReadFileList(list_path.c_str())) {
        std::fputs("bench_stages: no file list\n", stderr);
        return 1;
    }
    const double listed = Seconds();
    const qv::FileList download_list = qv::BuildDownloadList(list, logic.AppDir());
    std::wstring download_list_path;
    if (!logic.UpdateDirPath(qv::kDownloadListName, download_list_path) ||
        !download_list.WriteFileList(download_list_path.c_str())) {
        return 1;
    }
    const double compared = Seconds();
    for (const qv::FileEntry& entry : download_list.entries) {
        bool downloaded = false;
        const qv::UpdateResult result =
            logic.FetchAndPlaceEntry(entry, pass, fetcher, *policy, &downloaded);
        if (result != qv::UPDATE_OK) {
            std::fprintf(stderr, "bench_stages: %ls failed with %d\n", entry.name.c_str(), result);
            return 1;
        }
    }
    const double staged = Seconds();
    if (logic.InstallFiles() != qv::UPDATE_OK) {
        std::fputs("bench_stages: installation failed\n", stderr);
        return 1;
    }
    const double installed = Seconds();
    std::printf("list %.3f crc %.3f fetch %.3f install %.3f\n", listed - start, compared - listed,
                staged - compared, installed - staged);
    return 0;
}
