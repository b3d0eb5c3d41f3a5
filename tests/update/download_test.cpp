#include "update/download.h"
#include "update/downloader.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/hostile_server.h"
#include "tests/support/test_support.h"
#include "update/update_logic.h"
#include "win/file_system.h"

namespace qv {
namespace {

using test::DirectoryExists;
using test::FileExists;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

const BYTE* Bytes(const std::string& text) {
    return reinterpret_cast<const BYTE*>(text.data());
}

// ---------------------------------------------------------------- The text sink

TEST(Utf8StringSink, DecodesUpToTheFirstZeroByteAndReplacesTheText) {
    CHttpReceiveDataUTF8String sink;
    const std::string body = "1.2.\xe9\x98\x85";
    sink.OnData(Bytes(body), static_cast<uint32_t>(body.size()));
    EXPECT_EQ(sink.text, L"1.2.\u9605");
    const std::string zero("5.0\0garbage", 11);
    sink.OnData(Bytes(zero), 11);
    EXPECT_EQ(sink.text, L"5.0");
    // Never past the given length: the bytes after it are not part of the body.
    sink.OnData(Bytes("abcdef"), 2);
    EXPECT_EQ(sink.text, L"ab");
}

TEST(Utf8StringSink, NoDataLeavesTheTextAlone) {
    CHttpReceiveDataUTF8String sink;
    sink.text = L"kept";
    sink.OnData(nullptr, 5);
    sink.OnData(Bytes("x"), 0);
    EXPECT_EQ(sink.text, L"kept");
    // A body that starts with a zero byte is an empty text.
    sink.OnData(Bytes(std::string("\0x", 2)), 2);
    EXPECT_EQ(sink.text, L"");
}

// ---------------------------------------------------------------- Directories and files

TEST(WriteBodyToFile, CreatesMissingDirectoriesAndWritesTheBytes) {
    TempDir dir;
    const std::wstring target = dir / L"update\\new\\sub\\file.dll";
    const std::string body("MZ\0\x01\xff", 5);
    ASSERT_TRUE(WriteBodyToFile(target.c_str(), Bytes(body), 5));
    EXPECT_EQ(ReadFileBytes(target), body);
}

TEST(WriteBodyToFile, ReplacesAnExistingFileAndWritesEmptyBodies) {
    TempDir dir;
    const std::wstring target = dir / L"f.dat";
    ASSERT_TRUE(WriteFileBytes(target, std::string(1000, 'o')));
    ASSERT_TRUE(WriteBodyToFile(target.c_str(), Bytes("new"), 3));
    EXPECT_EQ(ReadFileBytes(target), "new");
    ASSERT_TRUE(WriteBodyToFile(target.c_str(), nullptr, 0));
    bool ok = false;
    EXPECT_EQ(ReadFileBytes(target, &ok), "");
    EXPECT_TRUE(ok);
}

TEST(WriteBodyToFile, FailsWhenTheFileOrItsFolderCannotBeMade) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"blocker", "x"));
    EXPECT_FALSE(WriteBodyToFile((dir / L"blocker\\f.dat").c_str(), Bytes("a"), 1));
    ASSERT_TRUE(CreateDirectoryTree((dir / L"folder").c_str()));
    EXPECT_FALSE(WriteBodyToFile((dir / L"folder").c_str(), Bytes("a"), 1));
    EXPECT_FALSE(WriteBodyToFile(nullptr, Bytes("a"), 1));
    EXPECT_FALSE(WriteBodyToFile((dir / L"g.dat").c_str(), nullptr, 1));
    EXPECT_FALSE(CreateParentDirectories(nullptr));
}

// ---------------------------------------------------------------- Fetches

class Download : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Running()) << server.Problem();
        prefix = std::string("/download/") +
                 testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    std::wstring Route(const std::string& name, const std::string& response_json) {
        const std::string path = prefix + name;
        EXPECT_TRUE(server.Script("{\"" + path + "\": " + response_json + "}")) << path;
        return server.Url(path);
    }

    test::HostileServer server;
    std::string prefix;
};

TEST_F(Download, ToSinkHandsOverTheBodyOf200) {
    const std::wstring url = Route("/ver.dat", R"({"body": "2.0.1.7\n"})");
    CHttpReceiveDataUTF8String sink;
    ASSERT_TRUE(DownloadToSink(url.c_str(), &sink, 30000));
    EXPECT_EQ(sink.text, L"2.0.1.7\n");
    EXPECT_TRUE(DownloadToSink(url.c_str(), nullptr, 30000));
}

// The sink is the client's body sink: it keeps the bytes exactly as they came (the
// text stops at a zero byte, the bytes do not), and what its OnData throws reaches
// the caller, as the pass's out-of-memory handling expects.
TEST_F(Download, ToSinkKeepsTheRawBytesAndPassesOnWhatTheSinkThrows) {
    const std::wstring url = Route("/raw", R"({"body": "1.0\u0000x"})");
    CHttpReceiveDataUTF8String sink;
    ASSERT_TRUE(DownloadToSink(url.c_str(), &sink, 30000));
    EXPECT_EQ(sink.text, L"1.0");
    EXPECT_EQ(sink.received(), std::string("1.0\0x", 5));
    struct Throwing final : CHttpReceiveDataBase {
        void OnData(const BYTE*, uint32_t) override { throw std::bad_alloc(); }
    } throwing;
    EXPECT_THROW(static_cast<void>(DownloadToSink(url.c_str(), &throwing, 30000)), std::bad_alloc);
}

TEST_F(Download, ToSinkRefusesOtherStatusesAndLeavesTheSinkEmpty) {
    const std::wstring missing = Route("/missing", R"({"status": 404, "body": "not here"})");
    const std::wstring same = Route("/same", R"({"status": 304, "framing": "none"})");
    const std::wstring moved = Route("/moved", R"({"status": 302, "body": "nowhere"})");
    CHttpReceiveDataUTF8String sink;
    EXPECT_FALSE(DownloadToSink(missing.c_str(), &sink, 30000));
    EXPECT_FALSE(DownloadToSink(same.c_str(), &sink, 30000));
    EXPECT_FALSE(DownloadToSink(moved.c_str(), &sink, 30000));
    EXPECT_TRUE(sink.text.empty());
}

TEST_F(Download, OneConnectionServesAPassAndAStalledOneIsNotAskedAgain) {
    const std::wstring first = Route("/first", R"({"body": "1"})");
    const std::wstring second = Route("/second", R"({"body": "2"})");
    const std::wstring stalled = Route("/stalled", R"({"body": "late", "delay_ms": 3000})");
    CDownloader downloader(nullptr);
    ASSERT_TRUE(downloader.ToSink(first, nullptr, 30000));
    ASSERT_TRUE(downloader.ToSink(second, nullptr, 30000));
    const std::vector<test::RecordedRequest> kept = server.Requests(prefix);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].connection, kept[1].connection);
    // A silent server may be working on the request: it is not sent a second time.
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(downloader.ToSink(stalled, nullptr, 400));
    EXPECT_LT(GetTickCount64() - start, 2500u);
    EXPECT_EQ(server.Requests(prefix + "/stalled").size(), 1u);
}

TEST_F(Download, ToSinkStopsTheTextAtAZeroByte) {
    const std::wstring url =
        Route("/zero", R"({"body": "3.1\u0000ignored", "framing": "chunked", "chunks": [2]})");
    CHttpReceiveDataUTF8String sink;
    ASSERT_TRUE(DownloadToSink(url.c_str(), &sink, 30000));
    EXPECT_EQ(sink.text, L"3.1");
}

TEST_F(Download, ToSinkFailsOnTransferFailuresWithinItsTimeout) {
    const std::wstring dropped = Route("/drop", R"({"body_size": 1000, "drop_at": 200})");
    const std::wstring stalled = Route("/stall", R"({"body": "late", "delay_ms": 3000})");
    CHttpReceiveDataUTF8String sink;
    EXPECT_FALSE(DownloadToSink(dropped.c_str(), &sink, 30000));
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(DownloadToSink(stalled.c_str(), &sink, 400));
    EXPECT_LT(GetTickCount64() - start, 2500u);
    EXPECT_FALSE(DownloadToSink(L"not a url", &sink, 400));
    EXPECT_FALSE(DownloadToSink(nullptr, &sink, 400));
    EXPECT_TRUE(sink.text.empty());
}

// The slow-transfer rule judges every receive of a fetch, not only a file's body: a
// server may drip its headers, or the body of a redirect (or an error page) that the
// sink never sees. Each of these answers succeeds without the rule.
TEST_F(Download, TheSlowTransferRuleCoversEveryPartOfEveryFetch) {
    // About 10 bytes a second: each receive well within the time-out, the whole far
    // under the rate. A window of 1.5 s ends each long before its last byte.
    const std::string drip = R"("piece": 1, "piece_delay_ms": 100)";
    Route("/target", R"({"body": "ok"})");
    const std::vector<std::pair<const char*, std::wstring>> cases = {
        {"headers", Route("/headers", "{\"body\": \"1.0.0.2\", " + drip + "}")},
        {"body kept in memory", Route("/body", R"({"body_size": 200, "drip": [1, 100]})")},
        {"chunked body", Route("/chunked", "{\"body\": \"" + std::string(150, 'c') +
                                               "\", \"framing\": \"chunked\", \"chunks\": "
                                               "[1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, "
                                               "1, 1, 1, 1, 1], " +
                                               drip + "}")},
        {"redirect", Route("/redirect", R"({"location": "target", "body_size": 200,
                                             "drip": [1, 100]})")},
    };
    TempDir dir;
    for (const auto& [name, url] : cases) {
        CDownloader downloader(nullptr, 1500);
        EXPECT_FALSE(downloader.ToSink(url, nullptr, 30000)) << name;
        CDownloader to_file(nullptr, 1500);
        const FileFetch fetch = to_file.ToFile(url, dir / L"f.dat", 0, 0);
        EXPECT_FALSE(fetch.done) << name;
        EXPECT_EQ(fetch.resumable, 0u) << name;  // too slow: the next attempt starts over
    }
    // The same answers pass where the window is long enough to see them through.
    CDownloader patient(nullptr);
    EXPECT_TRUE(patient.ToSink(cases[0].second, nullptr, 30000));
}

TEST_F(Download, ToFileWritesNothingButTheBodyOf200) {
    TempDir dir;
    CDownloader fetcher(nullptr);
    // An error page must not replace what the target holds (a good file list, say).
    ASSERT_TRUE(WriteFileBytes(dir / L"kept.dat", "previous"));
    for (const char* response :
         {R"({"status": 404, "body": "<h1>404</h1>"})", R"({"status": 500, "body": "broken"})",
          R"({"status": 206, "body": "part"})"}) {
        const std::wstring page = Route("/page", response);
        EXPECT_FALSE(DownloadToFile(fetcher, page, dir / L"kept.dat")) << response;
        EXPECT_FALSE(DownloadToFile(fetcher, page, dir / L"new.dat")) << response;
    }
    EXPECT_EQ(ReadFileBytes(dir / L"kept.dat"), "previous");
    EXPECT_FALSE(FileExists(dir / L"new.dat"));
}

TEST_F(Download, ToFileWritesNoErrorPageAtTheEndOfARedirect) {
    TempDir dir;
    CDownloader fetcher(nullptr);
    Route("/error", R"({"status": 500, "body": "broken"})");
    const std::wstring url = Route("/start", R"({"location": "error"})");
    EXPECT_FALSE(DownloadToFile(fetcher, url, dir / L"f.dat"));
    EXPECT_FALSE(FileExists(dir / L"f.dat"));
}

TEST_F(Download, ToFileFailsOnARedirectItCannotFollow) {
    TempDir dir;
    CDownloader fetcher(nullptr);
    const std::wstring loop = Route("/loop", R"({"location": "loop", "body": "hop"})");
    const std::wstring secure =
        Route("/secure", R"({"location": "https://{host}/x", "body": "hop"})");
    EXPECT_FALSE(DownloadToFile(fetcher, loop, dir / L"loop.dat"));
    EXPECT_FALSE(DownloadToFile(fetcher, secure, dir / L"secure.dat"));
    EXPECT_FALSE(FileExists(dir / L"loop.dat"));
    EXPECT_FALSE(FileExists(dir / L"secure.dat"));
}

TEST_F(Download, ToFileCreatesMissingDirectoriesAndFollowsRedirects) {
    TempDir dir;
    CDownloader fetcher(nullptr);
    const std::wstring target = dir / L"update\\plugins\\new\\p.dll";
    Route("/real.dll", R"({"body_size": 70000, "piece": 5000})");
    const std::wstring url = Route("/p.dll", R"({"location": "real.dll"})");
    ASSERT_TRUE(DownloadToFile(fetcher, url, target));
    const std::string written = ReadFileBytes(target);
    ASSERT_EQ(written.size(), 70000u);
    EXPECT_EQ(static_cast<unsigned char>(written[300]), (300 * 131 + (300 >> 8) * 7 + 3) & 0xFF);
}

TEST_F(Download, ToFileWithAnEmptyBodyMakesAnEmptyFile) {
    TempDir dir;
    CDownloader fetcher(nullptr);
    ASSERT_TRUE(WriteFileBytes(dir / L"empty.dat", "old contents"));
    const std::wstring url = Route("/empty.dat", R"({"body": ""})");
    ASSERT_TRUE(DownloadToFile(fetcher, url, dir / L"empty.dat"));
    bool ok = false;
    EXPECT_EQ(ReadFileBytes(dir / L"empty.dat", &ok), "");
    EXPECT_TRUE(ok);
}

TEST_F(Download, ToFileFailsWithoutWritingWhenTheTransferFails) {
    TempDir dir;
    CDownloader fetcher(nullptr);
    const std::wstring dropped = Route("/drop.dll", R"({"body_size": 50000, "drop_at": 20000})");
    EXPECT_FALSE(DownloadToFile(fetcher, dropped, dir / L"drop.dll"));
    EXPECT_FALSE(FileExists(dir / L"drop.dll"));
    // The fetch works but the file cannot be made.
    const std::wstring fine = Route("/fine.dll", R"({"body": "ok"})");
    ASSERT_TRUE(CreateDirectoryTree((dir / L"taken").c_str()));
    EXPECT_FALSE(DownloadToFile(fetcher, fine, dir / L"taken"));
}

}  // namespace
}  // namespace qv
