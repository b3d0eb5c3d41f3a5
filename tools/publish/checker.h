#pragma once
// Reads an update server folder the way the updater would and reports what would go
// wrong: rejected list lines, missing files, CRC-32 mismatches, archives that do not
// extract to the listed file; with an installation, what it would download.

#include <string>
#include <vector>

#include "app/config.h"
#include "tools/publish/log.h"
#include "tools/publish/rules.h"

namespace qv::publish {

struct CheckOptions {
    std::wstring server_dir;
    std::wstring installed_dir;                     // optional
    std::wstring install_dir = kTypicalInstallDir;  // for the path-length check
    std::wstring base_url = kDefaultUpdateUrl;      // for the URL-length check
    std::wstring key_file;                          // public key: release.dat must verify
    std::vector<std::wstring> delta_from;           // more bases to apply patches to
};

// Returns kExitOk when nothing is wrong, kExitProblems when an error was reported,
// kExitUsage when the folders cannot be used.
[[nodiscard]] int Check(const CheckOptions& options, Log& log);

}  // namespace qv::publish
