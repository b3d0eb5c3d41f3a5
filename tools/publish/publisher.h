#pragma once
// Turns a release folder into an update server folder: ver.dat, filelist.dat and every
// file under its name, plain or zipped.

#include <string>
#include <vector>

#include "app/config.h"
#include "tools/publish/log.h"
#include "tools/publish/rules.h"
#include "tools/publish/signing.h"
#include "tools/publish/zip_archive.h"

namespace qv::publish {

// Process exit codes of the tool.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,     // bad command line, or folders that cannot be used
    kExitRefused = 2,   // the release holds something the updater cannot handle
    kExitFailed = 3,    // reading or writing failed while publishing
    kExitProblems = 4,  // check found problems
};

struct PublishOptions {
    std::wstring release_dir;
    std::wstring server_dir;  // must not exist yet, or be empty
    std::wstring version;     // empty: the release's own (ver.dat, else qvreader.exe)
    ZipChoice zip;
    int level = kDefaultZipLevel;
    std::wstring install_dir = kTypicalInstallDir;  // for the path-length check
    std::wstring base_url = kDefaultUpdateUrl;      // for the URL-length check
    SigningOptions signing;                         // release.dat, when a key is given
    std::vector<std::wstring> delta_from;           // old releases to make patches from
};

// Checks the whole release first and writes nothing when it refuses; then writes the
// files, filelist.dat, the patches and delta.dat when given old releases, release.dat
// when signing and, last, ver.dat, so that a folder left
// by a failed run never announces a version. Returns an ExitCode.
[[nodiscard]] int Publish(const PublishOptions& options, Log& log);

// "1.5 MiB"-style size for messages.
std::wstring FormatSize(uint64_t bytes);

}  // namespace qv::publish
