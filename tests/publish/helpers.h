#pragma once
// Shared by the publisher's tests: paths of the programs under test, a release folder
// builder, running qvpublish.exe with its output in a file, folder comparison, and the
// fixture of a small release published into a temporary folder.

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/test_support.h"
#include "tools/publish/publisher.h"

namespace qv::publish::test {

// Full paths of the built programs (found relative to the test binary).
std::wstring PublishExe();
std::wstring SampleReader();      // file version QV_SAMPLE_READER_VERSION
std::wstring SampleReaderNext();  // file version QV_SAMPLE_READER_NEXT_VERSION
std::wstring Wide(const char* text);
// True when `part` occurs in `text` (publisher messages, checker logs).
inline bool Contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

// Writes `bytes` to folder\name (creating folders) with a fixed last-write time, so
// that two releases built alike are alike.
void PutFile(const std::wstring& folder, const std::wstring& name, const std::string& bytes);
bool CopyInto(const std::wstring& source, const std::wstring& folder, const std::wstring& name);

// Bytes that deflate poorly, and bytes that deflate well.
std::string NoiseBytes(size_t size, unsigned seed);
std::string TextBytes(size_t size);

// Runs qvpublish.exe with `arguments`; its stdout and stderr land in `output` (UTF-8).
int RunPublisher(const std::wstring& arguments, std::string& output);

// Every file under a folder, by relative name, with its bytes.
std::map<std::wstring, std::string> ReadTree(const std::wstring& folder);

// A temporary folder with a small release in release\ (the next sample reader, a
// plain text file and a data file under sub\) and its server folder in server\.
class SmallReleaseTest : public ::testing::Test {
protected:
    // Writes the release's files.
    void MakeSmallRelease();
    // Publishes release\ into server\ with every .dat file zipped.
    [[nodiscard]] PublishOptions SmallReleaseOptions() const;

    qv::test::TempDir dir;
    const std::wstring release = dir / L"release";
    const std::wstring server = dir / L"server";
};

}  // namespace qv::publish::test

namespace qv::publish {
// The helpers every publisher test calls by their short names.
using qv::test::FileExists;
using qv::test::Narrow;
using qv::test::ReadFileBytes;
using qv::test::TempDir;
using qv::test::WriteFileBytes;
using test::Contains;
using test::PutFile;
}  // namespace qv::publish
