// The download list staged over several connections at once, with the outcome and the
// update directory of one transfer after another.

#include <algorithm>
#include <atomic>
#include <map>
#include <numeric>
#include <thread>
#include <vector>

#include "update/update_logic.h"
#include "win/unique_handle.h"

namespace qv {

namespace {

// The paths an entry writes in the update directory, in one letter case: its name, and
// for a zipped one the archive beside it.
std::vector<std::wstring> PathKeys(const FileEntry& entry) {
    std::wstring key = entry.name;
    for (wchar_t& c : key) {
        c = c == L'/' ? L'\\' : c;
    }
    if (!key.empty()) {
        CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    }
    std::vector<std::wstring> keys{key};
    if (entry.zipped) {
        keys.push_back(key + L".ZIP");
    }
    return keys;
}

// Entries that write a common path go together, in list order, so that two transfers
// never write one file; the groups come in the order of their first entries.
std::vector<std::vector<size_t>> GroupBySharedPaths(const FileList& list) {
    const size_t count = list.entries.size();
    std::vector<size_t> parent(count);
    std::iota(parent.begin(), parent.end(), size_t{0});
    auto root = [&parent](size_t i) {
        while (parent[i] != i) {
            i = parent[i] = parent[parent[i]];
        }
        return i;
    };
    std::map<std::wstring, size_t> holder;
    for (size_t i = 0; i < count; ++i) {
        for (std::wstring& key : PathKeys(list.entries[i])) {
            const auto found = holder.emplace(std::move(key), i);
            if (!found.second) {
                const size_t a = root(found.first->second);
                const size_t b = root(i);
                parent[std::max(a, b)] = std::min(a, b);  // the earliest entry leads
            }
        }
    }
    std::vector<std::vector<size_t>> groups;
    std::vector<size_t> group_of(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t leader = root(i);
        if (leader == i) {
            group_of[i] = groups.size();
            groups.emplace_back();
        }
        groups[group_of[leader]].push_back(i);
    }
    return groups;
}

// Removes the update folder's patch folder: its files are of use only to the transfer
// that fetched them, so what a run cut off left there is never read again.
void RemovePatchFolder(const std::wstring& app_dir) {
    std::wstring folder;
    std::wstring pattern;
    if (!UpdateDirPath(app_dir, kPatchDirName, folder) ||
        !UpdateDirPath(app_dir, std::wstring(kPatchDirName) + L"\\*", pattern)) {
        return;
    }
    WIN32_FIND_DATAW found = {};
    const UniqueFindHandle find(FindFirstFileW(pattern.c_str(), &found));
    if (find) {
        do {
            std::wstring path;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                UpdateDirPath(app_dir, std::wstring(kPatchDirName) + L"\\" + found.cFileName,
                              path)) {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find.get(), &found));
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

UpdateResult CUpdateLogic::StageDownloadList(const FileList& download_list,
                                             const PassContext& pass) {
    RemovePatchFolder(pass.app_dir);
    const std::vector<std::vector<size_t>> groups = GroupBySharedPaths(download_list);
    const size_t count = download_list.entries.size();
    std::vector<UpdateResult> results(count, UPDATE_OK);
    std::vector<char> downloaded(count, 0);
    std::atomic<size_t> next_group{0};
    std::atomic<size_t> first_failure{count};
    // Signed sizes make the total exact before the first byte; otherwise each answer
    // adds its own as it comes.
    progress_.Reset();
    uint64_t expected = 0;
    for (const FileEntry& entry : download_list.entries) {
        expected +=
            std::min<uint64_t>(policy_->ExpectedDownloadSize(entry).value_or(0), kMaxBodyBytes);
    }
    if (expected != 0) {
        progress_.Expect(static_cast<int64_t>(expected));
    }

    auto stage = [&](CDownloader& downloader) noexcept {
        for (size_t group = next_group++; group < groups.size(); group = next_group++) {
            for (const size_t i : groups[group]) {
                if (i > first_failure.load()) {
                    break;  // one transfer after another would never have come here
                }
                UpdateResult result = UPDATE_STOPPED;
                if (!IsStopRequested()) {
                    try {
                        bool touched = false;
                        result = FetchAndPlaceEntry(download_list.entries[i], pass, downloader,
                                                    *policy_, &touched);
                        downloaded[i] = touched;
                    } catch (...) {
                        result = UPDATE_E_OUT_OF_MEMORY;
                    }
                }
                results[i] = result;
                if (result != UPDATE_OK) {
                    size_t known = first_failure.load();
                    while (i < known && !first_failure.compare_exchange_weak(known, i)) {
                    }
                    break;
                }
            }
        }
    };

    // This thread takes part with the pass's own connection; each helper has one of
    // its own. A helper that cannot be started only leaves more to the others.
    std::vector<std::thread> helpers;
    const size_t wanted = std::min<size_t>(kTransfersAtOnce, groups.size());
    for (size_t i = 1; i < wanted; ++i) {
        try {
            helpers.emplace_back([this, &stage, &pass] {
                CDownloader downloader(this, settings_.low_speed_window_ms);
                downloader.UseProxy(&pass.proxy);
                stage(downloader);
            });
        } catch (...) {
            break;
        }
    }
    stage(downloader_);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (count != 0) {
        progress_.Finish();  // the last figures exact, whatever the throttle let through
    }
    RemovePatchFolder(pass.app_dir);

    const size_t failed = first_failure.load();
    if (failed == count) {
        return UPDATE_OK;
    }
    for (size_t i = failed + 1; i < count; ++i) {
        if (downloaded[i] == 0) {
            continue;
        }
        const FileEntry& entry = download_list.entries[i];
        std::wstring staged;
        if (UpdateDirPath(entry.name, staged)) {
            DeleteFileW(staged.c_str());
            if (entry.zipped) {
                DeleteFileW((staged + L".zip").c_str());
            }
        }
    }
    return results[failed];
}

}  // namespace qv
