#include "tests/publish/helpers.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/test_support.h"
#include "tools/publish/zip_archive.h"
#include "win/path.h"
#include "win/unique_handle.h"

namespace qv::publish::test {

namespace {

std::wstring BesideTestBinary(const char* relative) {
    std::wstring path = qv::test::ThisExecutable();
    EXPECT_TRUE(RemoveLastComponent(path));
    std::wstring tail = Wide(relative);
    for (wchar_t& c : tail) {
        c = c == L'/' ? L'\\' : c;
    }
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW((path + L"\\" + tail).c_str(), MAX_PATH, full, nullptr);
    EXPECT_TRUE(length > 0 && length < MAX_PATH);
    return full;
}

// 2021-06-01 12:00:00 UTC.
constexpr ULONGLONG kFixedTime = 132670224000000000ull;

}  // namespace

std::wstring Wide(const char* text) {
    return qv::test::Widen(text);
}
std::wstring PublishExe() {
    return BesideTestBinary(QV_PUBLISH_EXE);
}
std::wstring SampleReader() {
    return BesideTestBinary(QV_SAMPLE_READER);
}
std::wstring SampleReaderNext() {
    return BesideTestBinary(QV_SAMPLE_READER_NEXT);
}

void PutFile(const std::wstring& folder, const std::wstring& name, const std::string& bytes) {
    const std::wstring path = folder + L"\\" + name;
    ASSERT_TRUE(qv::test::WriteFileBytes(path, bytes)) << qv::test::Narrow(path);
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(kFixedTime);
    time.dwHighDateTime = static_cast<DWORD>(kFixedTime >> 32);
    ASSERT_TRUE(file && SetFileTime(file.get(), &time, &time, &time));
}

bool CopyInto(const std::wstring& source, const std::wstring& folder, const std::wstring& name) {
    bool ok = false;
    const std::string bytes = qv::test::ReadFileBytes(source, &ok);
    if (!ok) {
        return false;
    }
    PutFile(folder, name, bytes);
    return true;
}

std::string NoiseBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string TextBytes(size_t size) {
    std::string bytes;
    for (int line = 0; bytes.size() < size; ++line) {
        bytes += "line " + std::to_string(line) + " of a text that deflates well\r\n";
    }
    bytes.resize(size);
    return bytes;
}

int RunPublisher(const std::wstring& arguments, std::string& output) {
    qv::test::TempDir dir;
    const std::wstring log_path = dir / L"output.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    int code = -1;
    {
        UniqueFileHandle log(CreateFileW(log_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!log) {
            return -1;
        }
        std::wstring command = L"\"" + PublishExe() + L"\" " + arguments;
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(L'\0');
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = log.get();
        startup.hStdError = log.get();
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &info)) {
            return -1;
        }
        UniqueKernelHandle process(info.hProcess);
        UniqueKernelHandle thread(info.hThread);
        if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 99);
            return -1;
        }
        DWORD exit_code = 0;
        GetExitCodeProcess(process.get(), &exit_code);
        code = static_cast<int>(exit_code);
    }
    output = qv::test::ReadFileBytes(log_path);
    return code;
}

namespace {

void ReadTreeInto(const std::wstring& folder, const std::wstring& prefix,
                  std::map<std::wstring, std::string>& out) {
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        return;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ReadTreeInto(folder + L"\\" + name, prefix + name + L"\\", out);
        } else {
            out[prefix + name] = qv::test::ReadFileBytes(folder + L"\\" + name);
        }
    } while (FindNextFileW(find.get(), &data));
}

}  // namespace

std::map<std::wstring, std::string> ReadTree(const std::wstring& folder) {
    std::map<std::wstring, std::string> out;
    ReadTreeInto(folder, L"", out);
    return out;
}

void SmallReleaseTest::MakeSmallRelease() {
    ASSERT_TRUE(CopyInto(SampleReaderNext(), release, L"qvreader.exe"));
    PutFile(release, L"plain.txt", "plain text");
    PutFile(release, L"sub\\zipped.dat", TextBytes(30000));
}

PublishOptions SmallReleaseTest::SmallReleaseOptions() const {
    PublishOptions options;
    options.release_dir = release;
    options.server_dir = server;
    options.zip.patterns = {L"*.dat"};
    return options;
}

}  // namespace qv::publish::test
