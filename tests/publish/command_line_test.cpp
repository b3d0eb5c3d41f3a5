#include "tools/publish/command_line.h"

#include <gtest/gtest.h>

#include "tests/publish/helpers.h"
#include "tests/support/test_support.h"
#include "update/file_list.h"

namespace qv::publish {
namespace {

TEST(ParseCommandLine, ReadsPublishOptionsInBothForms) {
    Command command;
    std::wstring error;
    ASSERT_TRUE(ParseCommandLine({L"publish", L"rel", L"--zip", L"*.dll", L"srv", L"--zip=data\\*",
                                  L"--zip-above=1M", L"--level", L"6", L"--version", L"2.0",
                                  L"--install-dir", L"D:\\Q", L"--quiet", L"--base-url=http://h/u"},
                                 command, error))
        << Narrow(error);
    EXPECT_EQ(command.kind, Command::Kind::kPublish);
    EXPECT_EQ(command.publish.release_dir, L"rel");
    EXPECT_EQ(command.publish.server_dir, L"srv");
    EXPECT_EQ(command.publish.zip.patterns, (std::vector<std::wstring>{L"*.dll", L"data\\*"}));
    EXPECT_EQ(command.publish.zip.above_size, 1u << 20);
    EXPECT_EQ(command.publish.level, 6);
    EXPECT_EQ(command.publish.version, L"2.0");
    EXPECT_EQ(command.publish.install_dir, L"D:\\Q");
    EXPECT_TRUE(command.quiet);
    EXPECT_EQ(command.publish.base_url, L"http://h/u");

    ASSERT_TRUE(ParseCommandLine({L"check", L"srv", L"--installed=C:\\Q"}, command, error));
    EXPECT_EQ(command.kind, Command::Kind::kCheck);
    EXPECT_EQ(command.check.server_dir, L"srv");
    EXPECT_EQ(command.check.installed_dir, L"C:\\Q");
    EXPECT_EQ(command.check.install_dir, kTypicalInstallDir);

    ASSERT_TRUE(ParseCommandLine({L"publish", L"rel", L"srv", L"--sign", L"k.key", L"--sequence",
                                  L"18446744073709551615", L"--expires=2030-01-01T00:00:00Z"},
                                 command, error))
        << Narrow(error);
    EXPECT_EQ(command.publish.signing.private_file, L"k.key");
    EXPECT_EQ(command.publish.signing.sequence, UINT64_MAX);
    EXPECT_EQ(command.publish.signing.expires, 1893456000u);
    ASSERT_TRUE(ParseCommandLine({L"publish", L"rel", L"srv"}, command, error));
    EXPECT_TRUE(command.publish.signing.private_file.empty());
    EXPECT_FALSE(command.publish.signing.sequence.has_value());
    ASSERT_TRUE(ParseCommandLine({L"check", L"srv", L"--key=k.pub"}, command, error));
    EXPECT_EQ(command.check.key_file, L"k.pub");
    ASSERT_TRUE(ParseCommandLine({L"publish", L"rel", L"srv", L"--sign", L"k.key", L"--delta-from",
                                  L"old1", L"--delta-from=old2"},
                                 command, error))
        << Narrow(error);
    EXPECT_EQ(command.publish.delta_from, (std::vector<std::wstring>{L"old1", L"old2"}));
    ASSERT_TRUE(ParseCommandLine({L"check", L"srv", L"--delta-from", L"old1"}, command, error));
    EXPECT_EQ(command.check.delta_from, std::vector<std::wstring>{L"old1"});
    ASSERT_TRUE(
        ParseCommandLine({L"keygen", L"--private", L"a.key", L"--public=a.pub"}, command, error));
    EXPECT_EQ(command.kind, Command::Kind::kKeygen);
    EXPECT_EQ(command.keygen.private_file, L"a.key");
    EXPECT_EQ(command.keygen.public_file, L"a.pub");

    for (const auto& help : std::vector<std::vector<std::wstring>>{
             {}, {L"--help"}, {L"-h"}, {L"/?"}, {L"publish", L"--help"}}) {
        ASSERT_TRUE(ParseCommandLine(help, command, error));
        EXPECT_EQ(command.kind, Command::Kind::kHelp);
    }
}

TEST(ParseCommandLine, RefusesWhatMakesNoSense) {
    Command command;
    for (const auto& args : std::vector<std::vector<std::wstring>>{
             {L"publsh", L"a", L"b"},
             {L"publish", L"a"},
             {L"publish", L"a", L"b", L"c"},
             {L"publish", L"a", L"b", L"--zip"},
             {L"publish", L"a", L"b", L"--zip="},
             {L"publish", L"a", L"b", L"--level", L"10"},
             {L"publish", L"a", L"b", L"--zip-above", L"big"},
             {L"publish", L"a", L"b", L"--installed", L"c"},
             {L"publish", L"a", L"b", L"--frobnicate"},
             {L"publish", L"a", L"b", L"--install-dir="},
             {L"check"},
             {L"check", L"a", L"--version", L"1"},
             {L"check", L"a", L"--sign", L"k"},
             {L"publish", L"a", L"b", L"--key", L"k"},
             {L"publish", L"a", L"b", L"--sign="},
             {L"publish", L"a", L"b", L"--sequence", L"5"},      // no --sign
             {L"publish", L"a", L"b", L"--delta-from", L"old"},  // patches need --sign
             {L"publish", L"a", L"b", L"--sign", L"k", L"--delta-from="},
             {L"publish", L"a", L"b", L"--sign", L"k", L"--sequence", L"18446744073709551616"},
             {L"publish", L"a", L"b", L"--sign", L"k", L"--sequence", L"-1"},
             {L"publish", L"a", L"b", L"--sign", L"k", L"--sequence", L"007"},
             {L"publish", L"a", L"b", L"--sign", L"k", L"--expires", L"2030-01-01"},
             {L"publish", L"a", L"b", L"--sign", L"k", L"--expires", L"2030-02-30T00:00:00Z"},
             {L"keygen", L"--private", L"a"},
             {L"keygen", L"--public", L"a"},
             {L"keygen", L"--private", L"a", L"--public", L"b", L"c"},
             {L"keygen", L"--private", L"a", L"--public", L"b", L"--zip", L"*"},
         }) {
        std::wstring error;
        EXPECT_FALSE(ParseCommandLine(args, command, error))
            << Narrow(args[0]) << " " << args.size();
        EXPECT_NE(error, L"");
    }
}

// The program itself: exit codes and where its messages go.
TEST(QvPublishExe, PublishesChecksAndRefusesWithItsExitCodes) {
    TempDir dir;
    ASSERT_TRUE(test::CopyInto(test::SampleReader(), dir / L"release", L"qvreader.exe"));
    test::PutFile(dir / L"release", L"lib\\a.dll", test::TextBytes(10000));
    std::string output;
    ASSERT_EQ(test::RunPublisher(L"publish \"" + dir.path() + L"\\release\" \"" + dir.path() +
                                     L"\\server\" --zip *.dll",
                                 output),
              kExitOk)
        << output;
    EXPECT_NE(output.find("published 2 file(s), 1 zipped"), std::string::npos) << output;
    FileList list;
    ASSERT_TRUE(list.ReadFileList((dir / L"server\\filelist.dat").c_str()));
    ASSERT_EQ(list.entries.size(), 2u);
    EXPECT_EQ(list.entries[0].name, L"lib\\a.dll");
    EXPECT_EQ(list.entries[0].zipped, 1);
    EXPECT_EQ(qv::test::ReadFileBytes(dir / L"server\\ver.dat"), QV_SAMPLE_READER_VERSION);

    EXPECT_EQ(test::RunPublisher(L"check \"" + dir.path() + L"\\server\"", output), kExitOk)
        << output;
    EXPECT_NE(output.find("no problems found"), std::string::npos) << output;
    qv::test::WriteFileBytes(dir / L"server\\lib\\a.dll", "not the archive");
    EXPECT_EQ(test::RunPublisher(L"check \"" + dir.path() + L"\\server\"", output), kExitProblems);
    EXPECT_NE(output.find("error: \"lib\\a.dll\" (zipped): the served file's CRC-32 is"),
              std::string::npos)
        << output;

    test::PutFile(dir / L"release", L"update\\x.dll", "x");
    EXPECT_EQ(
        test::RunPublisher(
            L"publish \"" + dir.path() + L"\\release\" \"" + dir.path() + L"\\server2\"", output),
        kExitRefused);
    EXPECT_NE(output.find("error: \"update\\x.dll\": the updater keeps its own working files"),
              std::string::npos)
        << output;

    EXPECT_EQ(test::RunPublisher(L"publish only-one-folder", output), kExitUsage);
    EXPECT_NE(output.find("error: publish needs two folders"), std::string::npos) << output;
    EXPECT_EQ(test::RunPublisher(L"--help", output), kExitOk);
    EXPECT_NE(output.find("usage:"), std::string::npos) << output;
}

}  // namespace
}  // namespace qv::publish
