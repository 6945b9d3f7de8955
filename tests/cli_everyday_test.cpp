// The command line as people use it beside unzip: patterns, selecting
// exactly, going on past damage, failing loudly, testing, interruptions and
// links met while adding.  Run without a controlling terminal (setsid).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

using vxtest::Quote;
using vxtest::TempDir;
using vxtest::Vardex;

namespace {

// Every regular file under root, relative, sorted.
std::set<std::string> FilesUnder(const std::string& root) {
    std::string out;
    vxtest::Run("cd " + Quote(root) + " 2>/dev/null && find . -type f | sed 's|^./||' | sort", &out);
    std::set<std::string> files;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        if (nl > start) files.insert(out.substr(start, nl - start));
    return files;
}

const std::vector<std::string> kTree = {
    "a.txt",          "d/b.txt",          "d/sub/c.html",        "D/e.TXT",          "x1.txt",
    "x[1].txt",       "README.md",        "readme.md",           "q?.txt",           "qa.txt",
    "doc/CODE_OF_CONDUCT.md", "doc/CONTRIBUTING.md",
};

class CliEveryday : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(vxtest::HaveTool("zip"));
        for (const std::string& name : kTree) {
            vxtest::Run("mkdir -p " + Quote(dir_ / ("src/" + name)) + " && rmdir " + Quote(dir_ / ("src/" + name)));
            vxtest::WriteFile(dir_ / ("src/" + name), name + "\n");
        }
        ASSERT_EQ(vxtest::Run("cd " + Quote(dir_ / "src") + " && zip -qr ../t.zip ."), 0);
    }
    TempDir dir_;
};

TEST_F(CliEveryday, PatternsSelectAsUnzipsDoAndNamesSelectExactly) {
    struct Case {
        const char* args;
        std::set<std::string> expected;
    };
    const Case cases[] = {
        {"'*.html'", {"d/sub/c.html"}},
        {"'d/*'", {"d/b.txt", "d/sub/c.html"}},
        {"'?.txt'", {"a.txt"}},
        {"'*.txt'", {"a.txt", "d/b.txt", "x1.txt", "x[1].txt", "q?.txt", "qa.txt"}},
        {"-C '*.txt'", {"a.txt", "d/b.txt", "D/e.TXT", "x1.txt", "x[1].txt", "q?.txt", "qa.txt"}},
        {"'x[1].txt'", {"x1.txt"}},
        {"'x[[]1].txt'", {"x[1].txt"}},
        {"'[!a-q]*.md'", {"README.md", "readme.md"}},
        // The library's masks ignore case and take '?' as a wildcard; the
        // command line still extracts exactly the one entry asked for.
        {"README.md", {"README.md"}},
        {"'q[?].txt'", {"q?.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        TempDir out;
        std::string err;
        EXPECT_EQ(Vardex("extract -q t.zip -d " + Quote(out.path()) + " " + c.args, dir_, nullptr, &err), 0) << err;
        EXPECT_EQ(FilesUnder(out.path()), c.expected);
    }
}

TEST_F(CliEveryday, DeleteTakesOnlyWhatThePatternsSelect) {
    // The library's masks would take README.md for readme.md as well, and
    // the name q?.txt for qa.txt: such an entry is refused, never deleted
    // along with others.
    std::string out, err;
    ASSERT_EQ(Vardex("delete t.zip 'doc/*ING.md' README.md 'q?.txt'", dir_, &out, &err), 1) << err;
    EXPECT_NE(err.find("README.md: not deleted"), std::string::npos) << err;
    EXPECT_NE(err.find("q?.txt: not deleted"), std::string::npos) << err;
    std::string names;
    vxtest::Run("python3 -c 'import zipfile,sys; print(*sorted(zipfile.ZipFile(sys.argv[1]).namelist()))' " +
                    Quote(dir_ / "t.zip"),
                &names);
    EXPECT_EQ(names, "D/ D/e.TXT README.md a.txt d/ d/b.txt d/sub/ d/sub/c.html doc/ doc/CODE_OF_CONDUCT.md "
                     "q?.txt readme.md x1.txt x[1].txt\n");
}

TEST_F(CliEveryday, FailuresAreNamedAndExitNonZeroWithoutSideEffects) {
    struct Case {
        const char* what;
        std::string args;
        int status;
        const char* message;
    };
    const std::string longDir(245, 'l');
    const Case cases[] = {
        {"a pattern that matches nothing", "extract t.zip -d o '*.nothing'", 1, "*.nothing: no entry matches"},
        {"list with such a pattern", "list t.zip '*.nothing'", 1, "no entry matches"},
        {"delete with such a pattern", "delete t.zip '*.nothing'", 1, "no entry matches"},
        {"a missing archive", "extract missing.zip -d made", 1, "No such file or directory"},
        {"a directory as archive", "test src", 1, "Is a directory"},
        {"a path over the limit", "extract t.zip -d " + longDir + " d/sub/c.html a.txt", 1, "File name too long"},
        {"an unknown option", "extract --frobnicate t.zip", 2, "unknown option --frobnicate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string err;
        EXPECT_EQ(Vardex(c.args, dir_, nullptr, &err), c.status);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    // Nothing was made for the missing archive; the fitting entry of the
    // long-path case was still extracted.
    EXPECT_FALSE(vxtest::FileExists(dir_ / "made"));
    EXPECT_TRUE(vxtest::FileExists(dir_ / (longDir + "/a.txt")));
}

TEST_F(CliEveryday, GoesOnPastADamagedEntryAndTestNamesIt) {
    // Three stored entries; the middle one's data altered, so its CRC fails.
    vxtest::WriteFile(dir_ / "one.txt", std::string("first entry\n"));
    vxtest::WriteFile(dir_ / "two.txt", std::string("second entry\n"));
    vxtest::WriteFile(dir_ / "three.txt", std::string("third entry\n"));
    ASSERT_EQ(vxtest::Run("cd " + Quote(dir_.path()) + " && zip -q -0 -X bad.zip one.txt two.txt three.txt"), 0);
    std::vector<uint8_t> zip = vxtest::ReadFile(dir_ / "bad.zip");
    const std::string marker = "second entry";
    auto at = std::search(zip.begin(), zip.end(), marker.begin(), marker.end());
    ASSERT_NE(at, zip.end());
    *at = 'S';
    vxtest::WriteFile(dir_ / "bad.zip", zip);

    std::string out, err;
    EXPECT_EQ(Vardex("extract bad.zip -d o", dir_, &out, &err), 1);
    EXPECT_NE(err.find("two.txt: CRC-32 mismatch"), std::string::npos) << err;
    EXPECT_NE(err.find("1 of 3 entries failed"), std::string::npos) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/one.txt"), "first entry\n");
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/three.txt"), "third entry\n");

    const std::set<std::string> before = FilesUnder(dir_.path());
    EXPECT_EQ(Vardex("test bad.zip", dir_, &out, &err), 1);
    EXPECT_NE(err.find("two.txt: CRC-32 mismatch"), std::string::npos) << err;
    EXPECT_NE(out.find("three.txt"), std::string::npos) << out;
    EXPECT_EQ(Vardex("test -q t.zip", dir_, &out, &err), 0) << err;
    EXPECT_EQ(Vardex("test t.zip 'd/*'", dir_, &out, &err), 0) << err;
    EXPECT_NE(out.find("No errors detected"), std::string::npos) << out;
    // Testing writes nothing.
    EXPECT_EQ(FilesUnder(dir_.path()), before);
}

TEST_F(CliEveryday, VersionAndGroupedShortOptions) {
    std::string out, err;
    ASSERT_EQ(Vardex("--version", dir_, &out, &err), 0);
    EXPECT_EQ(out.rfind("vardex ", 0), 0u) << out;
    ASSERT_EQ(Vardex("extract -qjdflat t.zip 'd/sub/*'", dir_, &out, &err), 0) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(FilesUnder(dir_ / "flat"), std::set<std::string>{"c.html"});
}

// A password prompt on a pseudo-terminal: the output file exists (empty)
// while the question waits; the signal ends the command with 128 + signal,
// the echo is back on and the partial file is gone.
TEST_F(CliEveryday, InterruptionAtAPasswordPromptRestoresTheTerminalAndRemovesTheOutput) {
    vxtest::WriteFile(dir_ / "secret.txt", std::string("secret\n"));
    ASSERT_EQ(vxtest::Run("cd " + Quote(dir_.path()) + " && zip -q -P pw enc.zip secret.txt"), 0);
    const char kDriver[] = R"(import os, pty, select, signal, sys, termios, time
vardex, archive, out, sig = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
pid, fd = pty.fork()
if pid == 0:
    os.execv(vardex, [vardex, 'extract', archive, '-d', out])
seen = b''
deadline = time.time() + 60
while b'Password for' not in seen and time.time() < deadline:
    if select.select([fd], [], [], 1)[0]:
        seen += os.read(fd, 1024)
echo_off = not (termios.tcgetattr(fd)[3] & termios.ECHO)
partial = os.path.exists(os.path.join(out, 'secret.txt'))
os.kill(pid, sig)
_, status = os.waitpid(pid, 0)
echo_back = bool(termios.tcgetattr(fd)[3] & termios.ECHO)
print(echo_off, partial, os.WEXITSTATUS(status), echo_back, os.path.exists(os.path.join(out, 'secret.txt')))
)";
    for (const int sig : {2, 15}) {
        SCOPED_TRACE(sig);
        TempDir out;
        std::string result;
        vxtest::Run("timeout 120 python3 -c " + Quote(kDriver) + " " + Quote(vxtest::BinaryDir() + "/vardex") + " " +
                        Quote(dir_ / "enc.zip") + " " + Quote(out.path()) + " " + std::to_string(sig),
                    &result);
        EXPECT_EQ(result, "True True " + std::to_string(128 + sig) + " True False\n");
    }
}

TEST(CliAdd, LinksAreFollowedToFilesAndReportedOtherwiseAndEmptyDirectoriesKept) {
    TempDir dir;
    ASSERT_EQ(vxtest::Run("cd " + Quote(dir.path()) +
                          " && mkdir -p tree/empty tree/full outside && echo data > tree/full/f.txt"
                          " && echo linked > outside/t.txt && ln -s ../outside/t.txt tree/filelink"
                          " && ln -s ../outside tree/dirlink && ln -s nowhere tree/dangling"),
              0);
    std::string out, err;
    EXPECT_EQ(Vardex("add -q a.zip tree", dir, &out, &err), 1);
    EXPECT_NE(err.find("tree/dirlink: link to a directory, left out"), std::string::npos) << err;
    EXPECT_NE(err.find("tree/dangling: dangling link, left out"), std::string::npos) << err;
    std::string names;
    vxtest::Run("python3 -c 'import zipfile,sys; print(*zipfile.ZipFile(sys.argv[1]).namelist())' " +
                    Quote(dir / "a.zip"),
                &names);
    EXPECT_EQ(names, "tree/empty/ tree/filelink tree/full/f.txt\n");
    if (vxtest::HaveTool("unzip")) {
        TempDir x;
        ASSERT_EQ(vxtest::Run("unzip -q " + Quote(dir / "a.zip") + " -d " + Quote(x.path())), 0);
        EXPECT_EQ(vxtest::ReadText(x / "tree/filelink"), "linked\n");
        struct stat st {};
        EXPECT_EQ(stat((x / "tree/empty").c_str(), &st), 0);
    }
}

}  // namespace
