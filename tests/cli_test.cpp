// The vardex command line: dispatch, help, failure reporting, list and demo.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"

using vxtest::TempDir;

namespace {

std::string Vardex() { return "'" + vxtest::BinaryDir() + "/vardex'"; }

// Runs vardex with the arguments; stdout and stderr apart.
int RunCli(const std::string& args, std::string* out, std::string* err, const TempDir& dir) {
    const std::string errFile = dir / "stderr.txt";
    const int status = vxtest::Run("(" + Vardex() + " " + args + " 2>'" + errFile + "')", out);
    *err = vxtest::ReadText(errFile);
    return status;
}

TEST(Cli, HelpDescribesEveryCommand) {
    TempDir dir;
    std::string out, err;
    ASSERT_EQ(RunCli("--help", &out, &err, dir), 0);
    for (const char* command : {"list", "extract", "add", "delete", "sfx", "demo"}) {
        EXPECT_NE(out.find(std::string("  ") + command + " "), std::string::npos) << command;
        std::string help;
        EXPECT_EQ(RunCli(std::string(command) + " --help", &help, &err, dir), 0) << command;
        EXPECT_EQ(help.rfind(std::string("usage: vardex ") + command, 0), 0u) << help;
    }
    EXPECT_EQ(RunCli("", &out, &err, dir), 2);
    EXPECT_EQ(RunCli("frobnicate", &out, &err, dir), 2);
    EXPECT_NE(err.find("unknown command"), std::string::npos);
}

TEST(Cli, FailureNamesTheStatusInWordsOnOneLine) {
    TempDir dir;
    vxtest::WriteFile(dir / "text.zip", std::string(500, 'x'));
    vxtest::WriteFile(dir / "ok.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    struct Case {
        std::string args;
        std::string words;
    } cases[] = {
        {"list '" + (dir / "text.zip") + "'", "not a ZIP archive (no end of central directory record) (status 9966)"},
        {"list '" + (dir / "missing.zip") + "'", "(status 5)"},
        {"list '" + (dir / "ok.zip") + "' '*.txt'", "nothing selected (no entry matches) (status 19906)"},
    };
    for (const Case& c : cases) {
        std::string out, err;
        EXPECT_EQ(RunCli(c.args, &out, &err, dir), 1) << c.args;
        EXPECT_NE(err.find(c.words), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
    // An archive without entries lists as empty.
    std::string out, err;
    EXPECT_EQ(RunCli("list '" + (dir / "ok.zip") + "'", &out, &err, dir), 0) << err;
    EXPECT_NE(out.find("0 entries"), std::string::npos) << out;
}

// --threads changes how long an add takes, never what it writes.
TEST(Cli, AddOnAnyNumberOfThreadsWritesTheSameArchive) {
    TempDir dir;
    ASSERT_EQ(vxtest::Run("mkdir '" + (dir / "in") + "'"), 0);
    for (int i = 0; i < 12; ++i)
        vxtest::WriteFile(dir / ("in/f" + std::to_string(i)), vxtest::TextBytes(static_cast<size_t>(i) * 7000, i));
    std::string out, err;
    std::vector<uint8_t> first;
    for (const char* threads : {"1", "3", "64"}) {
        const std::string archive = dir / (std::string("t") + threads + ".zip");
        ASSERT_EQ(RunCli("add -q --threads " + std::string(threads) + " --relative '" + dir.path() + "' '" + archive +
                             "' in",
                         &out, &err, dir),
                  0)
            << err;
        if (first.empty()) first = vxtest::ReadFile(archive);
        EXPECT_EQ(vxtest::ReadFile(archive), first) << threads;
    }
    for (const char* bad : {"0", "65", "x", "-2", ""}) {
        EXPECT_EQ(RunCli("add --threads='" + std::string(bad) + "' '" + (dir / "b.zip") + "' '" + (dir / "in") + "'",
                         &out, &err, dir),
                  2)
            << bad;
        EXPECT_NE(err.find("--threads takes a number from 1 to 64"), std::string::npos) << err;
    }
}

TEST(Cli, ListMarksEncryptedEntriesAndMasksSelectByDirectory) {
    ASSERT_TRUE(vxtest::HaveTool("zip"));
    TempDir dir;
    vxtest::WriteFile(dir / "a.txt", std::string("plain\n"));
    vxtest::Run("mkdir '" + (dir / "d") + "'");
    vxtest::WriteFile(dir / "d/b.txt", std::string("secret\n"));
    ASSERT_EQ(vxtest::Run("cd '" + dir.path() + "' && zip -q x.zip a.txt && zip -q -P pw x.zip d/b.txt"), 0);
    std::string out, err;
    ASSERT_EQ(RunCli("list '" + (dir / "x.zip") + "' 'd/*.txt'", &out, &err, dir), 0) << err;
    EXPECT_EQ(out.find("a.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("*  d/b.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("1 entry"), std::string::npos) << out;
}

TEST(Cli, SfxBuildsARunnableArchiveAndReportsFailuresInWords) {
    TempDir dir;
    vxtest::Run("mkdir -p '" + (dir / "in/sub") + "'");
    vxtest::WriteFile(dir / "in/a.txt", vxtest::TextBytes(40000, 1));
    vxtest::WriteFile(dir / "in/sub/b.bin", vxtest::RandomBytes(30000, 2));
    std::string out, err;
    ASSERT_EQ(RunCli("sfx '" + (dir / "pack.sfx") + "' --title 'Packed here' --level 4 '" + (dir / "in") + "'", &out,
                     &err, dir),
              0)
        << err;
    EXPECT_EQ(vxtest::Run("unzip -tq '" + (dir / "pack.sfx") + "'", &out), 0) << out;
    ASSERT_EQ(vxtest::Run("cd '" + dir.path() + "' && ./pack.sfx -l </dev/null", &out), 0) << out;
    EXPECT_EQ(out.rfind("Packed here\n", 0), 0u) << out;
    ASSERT_EQ(vxtest::Run("cd '" + dir.path() + "' && unzip -qq -d peer pack.sfx && ./pack.sfx -d own </dev/null", &out),
              0)
        << out;
    EXPECT_EQ(vxtest::Run("diff -r '" + (dir / "peer") + "' '" + (dir / "own") + "'", &out), 0) << out;
    EXPECT_EQ(vxtest::Run("cd '" + dir.path() + "' && find peer -type f | wc -l", &out), 0);
    EXPECT_EQ(atoi(out.c_str()), 2) << out;

    // Failures in words, and nothing left behind.
    EXPECT_EQ(RunCli("sfx '" + (dir / "none/p.sfx") + "' '" + (dir / "in") + "'", &out, &err, dir), 1);
    EXPECT_NE(err.find("(status 5)"), std::string::npos) << err;
    EXPECT_EQ(RunCli("sfx '" + (dir / "p.sfx") + "' '" + (dir / "missing.txt") + "'", &out, &err, dir), 1);
    EXPECT_NE(err.find("cannot read"), std::string::npos) << err;
    EXPECT_FALSE(vxtest::FileExists(dir / "p.sfx"));
    EXPECT_EQ(RunCli("sfx '" + (dir / "v.sfx") + "' --volumes 5 '" + (dir / "in") + "'", &out, &err, dir), 2);
    EXPECT_FALSE(vxtest::FileExists(dir / "v.sfx"));
}

TEST(Cli, DemoWritesAndListsItsExample) {
    TempDir dir;
    std::string out, err;
    ASSERT_EQ(vxtest::Run("TMPDIR='" + dir.path() + "' " + Vardex() + " demo", &out), 0) << out;
    for (const char* expected : {"README.txt", "docs/", "docs/hello.txt", "Deflated", "Stored", "4 entries",
                                 "Vardex example archive"})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    // The example is a valid archive for an independent reader.
    std::string found;
    ASSERT_EQ(vxtest::Run("ls '" + dir.path() + "'/vardex-demo-*/example.zip", &found), 0);
    found.pop_back();
    EXPECT_EQ(vxtest::Run("unzip -tq '" + found + "'"), 0);
}

}  // namespace
