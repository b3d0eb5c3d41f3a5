#pragma once
// The installed version as the updater reads it: the first line of a local ver.dat,
// or else the file version of qvreader.exe.

#include <string>

namespace qv::publish {

// The file version of an executable's fixed version information, "%d.%d.%d.%d";
// false when the file has none.
[[nodiscard]] bool ReadExecutableVersion(const std::wstring& path, std::wstring& out);

// The first line of a text file, as the updater reads its local ver.dat (UTF-8, one
// carriage return before the line feed dropped); false when it cannot be opened.
[[nodiscard]] bool ReadFirstLine(const std::wstring& path, std::wstring& out);

// Where an installation's version text came from.
enum class VersionSource { kNone, kVersionFile, kExecutable };

// The version text of an installation (or release) folder, as the updater would find
// it there.
VersionSource ReadInstalledVersion(const std::wstring& folder, std::wstring& out);

}  // namespace qv::publish
