#pragma once
// Helpers shared by the test binaries: temporary folders, whole-file I/O, text
// conversion and running a child process.

#include <windows.h>

#include <cstdint>
#include <string>

namespace qv::test {

// A fresh folder under %TEMP%, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::wstring& path() const { return path_; }
    // path() + "\" + relative
    [[nodiscard]] std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring path_;
};

// Removes a folder tree (read-only files included).
void RemoveTree(const std::wstring& path);

// Creates missing parent folders, then writes the bytes.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The whole file, or nullopt-like: `ok` false when it cannot be read.
std::string ReadFileBytes(const std::wstring& path, bool* ok = nullptr);
bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);

std::string Narrow(const std::wstring& text);  // UTF-16 to UTF-8
std::wstring Widen(const std::string& text);   // UTF-8 to UTF-16

// Runs a command line, waits at most `timeout_ms`, returns the exit code (or -1).
int RunProcess(const std::wstring& command_line, DWORD timeout_ms = 60000);
// The path of the running test binary.
std::wstring ThisExecutable();

}  // namespace qv::test
