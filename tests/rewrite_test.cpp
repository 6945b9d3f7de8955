// The archive's safety through a rewrite: processes killed in the middle of
// an update, modes and links kept, writers in several processes and
// threads, the archive never added to itself, a self-extractor never made
// over an existing file.  unzip and Python's zipfile judge the results.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "update_helpers.h"
#include "vardex32.h"

using namespace vxtest;

namespace {

std::string Vardex() { return BinaryDir() + "/vardex"; }

// vardex with the arguments, output dropped; its exit status.
int RunVardex(const std::string& args, const std::string& cwd = "") {
    const std::string cd = cwd.empty() ? "" : "cd " + Quote(cwd) + " && ";
    return Sh(cd + Quote(Vardex()) + " " + args + " >/dev/null 2>&1");
}

// Text that Deflate shrinks by about half, so the new archive grows all
// through the add.
std::vector<uint8_t> WordText(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::string> words;
    for (int i = 0; i < 4000; ++i) {
        std::string w;
        for (int k = 2 + static_cast<int>(random() % 8); k > 0; --k) w += static_cast<char>('a' + random() % 26);
        words.push_back(w + ' ');
    }
    std::vector<uint8_t> out;
    out.reserve(n + 16);
    while (out.size() < n) {
        const std::string& w = words[random() % words.size()];
        out.insert(out.end(), w.begin(), w.end());
    }
    out.resize(n);
    return out;
}

bool UnzipTests(const std::string& archive) {
    std::string log;
    const bool ok = Sh("unzip -tqq " + Quote(archive) + " 2>&1", &log) == 0;
    if (!ok) ADD_FAILURE() << "unzip -t: " << log;
    return ok;
}

// Entry names in directory order, one per line, as unzip lists them.
std::string Names(const std::string& archive) {
    std::string out;
    Sh("unzip -Z1 " + Quote(archive) + " 2>/dev/null", &out);
    return out;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool IsLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Starts vardex with the arguments in the background, in directory cwd.
pid_t StartVardex(const std::string& cwd, const std::vector<std::string>& args) {
    const std::string program = Vardex();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0 || !freopen("/dev/null", "r", stdin) || !freopen("/dev/null", "w", stdout) ||
            !freopen("/dev/null", "w", stderr))
            _exit(126);
        std::vector<char*> argv{const_cast<char*>("vardex")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

// 40 MB that Deflate takes quickly: pieces of one random block, each with
// a byte of its own, so the data never repeats exactly.
std::vector<uint8_t> QuickData(size_t n) {
    const std::vector<uint8_t> block = RandomBytes(4096, 17);
    std::vector<uint8_t> out;
    out.reserve(n + 4096);
    for (uint32_t i = 0; out.size() < n; ++i) {
        out.insert(out.end(), block.begin(), block.begin() + 1000 + (i * 37) % 3000);
        out.push_back(static_cast<uint8_t>(i));
    }
    out.resize(n);
    return out;
}

// How far the process has read the file at path (its descriptor's
// position), or -1 while it does not hold it open.
int64_t ReadPosition(pid_t pid, const std::string& path) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 3; fd < 64; ++fd) {
        char target[4096];
        const ssize_t n = readlink((fds + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)) != path) continue;
        const std::string info = ReadText("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
        const size_t at = info.find("pos:");
        return at == std::string::npos ? -1 : atoll(info.c_str() + at + 4);
    }
    return -1;
}

// SIGKILL at seeded points of a 40 MB add (measured by how far it has read
// the file): the archive's name always holds the old or the new archive,
// whole, and the next update works and clears what the killed run left.
TEST(RewriteKill, ArchiveUnderItsNameIsAlwaysWhole) {
    TempDir tmp;
    // Sanitized builds compress several times slower: a smaller add there.
    const int64_t kSize = getenv("VARDEX_SANITIZED") ? 8 << 20 : 40 << 20;
    const std::string big = tmp / "big.bin";
    WriteFile(big, QuickData(kSize));
    WriteFile(tmp / "note.txt", "a note\n");
    WriteFile(tmp / "more.txt", "added after the kills\n");
    ASSERT_EQ(Sh("cd " + Quote(tmp.path()) + " && zip -q inner.zip note.txt && zip -q0 outer.zip inner.zip note.txt"),
              0);
    ASSERT_EQ(RunVardex("sfx pack.sfx note.txt inner.zip", tmp.path()), 0);

    std::mt19937 random(20261210);
    for (const char* name : {"outer.zip", "pack.sfx"}) {
        SCOPED_TRACE(name);
        const std::string archive = tmp / name;
        const std::string before = Names(archive);
        int killed = 0;
        for (int point = 0; point < 5; ++point) {
            // The last point lies behind the data: the kill comes while the
            // directory is written or the new archive is put in place.
            const int64_t offset = point == 4 ? kSize : static_cast<int64_t>(random() % kSize);
            SCOPED_TRACE(offset);
            const pid_t child = StartVardex(tmp.path(), {"add", name, "big.bin"});
            bool exited = false;
            for (;;) {
                int status = 0;
                if (waitpid(child, &status, WNOHANG) == child) {
                    exited = true;
                    break;
                }
                if (ReadPosition(child, big) >= offset) break;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (!exited) {
                kill(child, SIGKILL);
                WaitFor(child);
                ++killed;
            }
            ASSERT_TRUE(UnzipTests(archive));
            const std::string names = Names(archive);
            if (names == before) continue;
            // The add went through before the kill: the new archive is there,
            // whole.  The next point starts from the old entries again.
            EXPECT_EQ(names, before + "big.bin\n");
            ASSERT_EQ(RunVardex("delete " + Quote(archive) + " big.bin"), 0);
            ASSERT_EQ(Names(archive), before);
        }
        EXPECT_GT(killed, 0);
        ASSERT_EQ(RunVardex("add " + Quote(archive) + " more.txt", tmp.path()), 0);
        EXPECT_TRUE(UnzipTests(archive));
        EXPECT_EQ(Names(archive), before + "more.txt\n");
        EXPECT_FALSE(FileExists(archive.substr(0, archive.rfind('.')) + ".!!!"));
    }
}

// Whatever the file was, the updated archive is the same kind of file: its
// mode stays, and a link stays a link to the updated target.
TEST(RewriteFile, ModeAndLinksAreKept) {
    TempDir tmp;
    WriteFile(tmp / "a.txt", "alpha\n");
    WriteFile(tmp / "b.txt", "bravo\n");
    ASSERT_EQ(RunVardex("add private.zip a.txt", tmp.path()), 0);
    ASSERT_EQ(chmod((tmp / "private.zip").c_str(), 0600), 0);
    ASSERT_EQ(RunVardex("add private.zip b.txt", tmp.path()), 0);
    EXPECT_EQ(ModeOf(tmp / "private.zip"), 0600u);

    ASSERT_EQ(RunVardex("sfx pack.sfx a.txt b.txt", tmp.path()), 0);
    const mode_t sfxMode = ModeOf(tmp / "pack.sfx");
    EXPECT_TRUE(sfxMode & S_IXUSR);
    ASSERT_EQ(RunVardex("delete pack.sfx a.txt", tmp.path()), 0);
    EXPECT_EQ(ModeOf(tmp / "pack.sfx"), sfxMode);
    EXPECT_EQ(Names(tmp / "pack.sfx"), "b.txt\n");

    ASSERT_EQ(mkdir((tmp / "real").c_str(), 0755), 0);
    ASSERT_EQ(RunVardex("add real/target.zip a.txt", tmp.path()), 0);
    ASSERT_EQ(symlink("real/target.zip", (tmp / "link.zip").c_str()), 0);
    ASSERT_EQ(RunVardex("add link.zip b.txt", tmp.path()), 0);
    EXPECT_TRUE(IsLink(tmp / "link.zip"));
    EXPECT_EQ(Names(tmp / "real/target.zip"), "a.txt\nb.txt\n");
    EXPECT_FALSE(FileExists(tmp / "link.!!!"));
    EXPECT_FALSE(FileExists(tmp / "real/target.!!!"));
}

// The archive (and the file the rewrite writes) is recognised as a file,
// not as a spelling: no name of it is ever added to it.
TEST(RewriteFile, ArchiveIsNeverAddedToItself) {
    TempDir tmp;
    ASSERT_EQ(mkdir((tmp / "d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((tmp / "other").c_str(), 0755), 0);
    WriteFile(tmp / "d/a.txt", WordText(300000, 3));
    ASSERT_EQ(symlink("d", (tmp / "alias").c_str()), 0);
    const std::string archive = tmp / "d/me.zip";
    struct Case {
        const char* cwd;
        std::string dir;
    };
    const Case cases[] = {
        {"d", tmp / "d"},  // the absolute path of the directory that holds it
        {"other", "../d"},
        {"d", tmp / "alias"},
        {"d", "."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        std::remove(archive.c_str());
        ASSERT_EQ(RunVardex("add me.zip a.txt", tmp / "d"), 0);
        const std::string me = std::string(c.cwd) == "d" ? "me.zip" : "../d/me.zip";
        EXPECT_EQ(RunVardex("add --overwrite " + Quote(me) + " " + Quote(c.dir), tmp / c.cwd), 0);
        EXPECT_TRUE(UnzipTests(archive));
        const std::string names = Names(archive);
        EXPECT_EQ(names.find("me.zip"), std::string::npos) << names;
        EXPECT_NE(names.find("a.txt"), std::string::npos) << names;
    }

    // Through the exports: the archive named by other spellings, with an
    // input path in front.
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    SetInputPath(EnginePath(tmp.path()).c_str());
    Masks masks{"alias/me.zip", "d/../d/me.zip", "other/../d/./me.zip", "d/a.txt"};
    CompressFileMaskListZip(masks.get());
    EXPECT_EQ(GetArchiveStatus(), 0);
    DoneZipFile();
    EXPECT_TRUE(UnzipTests(archive));
    EXPECT_EQ(Names(archive).find("me.zip"), std::string::npos);
}

// A self-extractor is only ever made as a new file: an existing target (a
// file, a link, a dangling link) is refused before the stub writes
// anything and stays as it was.
TEST(RewriteFile, SelfExtractorNeverReplacesAnExistingFile) {
    TempDir tmp;
    WriteFile(tmp / "a.txt", "alpha\n");
    WriteFile(tmp / "taken.exe", "someone else's program");
    ASSERT_EQ(symlink("nowhere/x.exe", (tmp / "dangling.exe").c_str()), 0);
    for (const char* target : {"taken.exe", "dangling.exe"}) {
        SCOPED_TRACE(target);
        ResetEngine();
        FileMaskList files;
        InitFileMaskList(&files);
        AppendFileMask(EnginePath(tmp / "a.txt").c_str(), &files);
        CreateZipSfx(EnginePath(tmp / target).c_str(), &files, 3, 0, "t", "");
        EXPECT_EQ(GetArchiveStatus(), VX_CANNOT_CREATE);
        EXPECT_NE(files.first, nullptr) << "the list is kept after a failure";
        DoneFileMaskList(&files);
        EXPECT_NE(RunVardex(std::string("sfx ") + target + " a.txt", tmp.path()), 0);
    }
    EXPECT_EQ(ReadText(tmp / "taken.exe"), "someone else's program");
    EXPECT_TRUE(IsLink(tmp / "dangling.exe"));
    EXPECT_FALSE(FileExists(tmp / "nowhere"));
}

// Writers in two processes take turns: both succeed and the archive holds
// both files.  A writer that opened the archive before another one replaced
// it works on the replacement.
TEST(RewriteWriters, EveryWritersEntriesAreKept) {
    TempDir tmp;
    WriteFile(tmp / "first.txt", WordText(6u << 20, 1));
    WriteFile(tmp / "second.txt", WordText(6u << 20, 2));
    WriteFile(tmp / "base.txt", "base\n");
    const std::string archive = tmp / "shared.zip";
    ASSERT_EQ(RunVardex("add shared.zip base.txt", tmp.path()), 0);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            ASSERT_EQ(RunVardex("delete shared.zip first.txt second.txt", tmp.path()), 0);
        }
        const pid_t a = StartVardex(tmp.path(), {"add", "shared.zip", "first.txt"});
        const pid_t b = StartVardex(tmp.path(), {"add", "shared.zip", "second.txt"});
        EXPECT_EQ(WaitFor(a), 0);
        EXPECT_EQ(WaitFor(b), 0);
        EXPECT_TRUE(UnzipTests(archive));
        const std::string names = Names(archive);
        EXPECT_NE(names.find("first.txt"), std::string::npos) << names;
        EXPECT_NE(names.find("second.txt"), std::string::npos) << names;
    }

    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
    WriteFile(tmp / "late.txt", "written by another process meanwhile\n");
    ASSERT_EQ(RunVardex("add shared.zip late.txt", tmp.path()), 0);
    SetInputPath(EnginePath(tmp.path()).c_str());
    Masks masks{"base.txt"};
    SetOkToReplaceProc(0, [](uint32_t, WIN32_FIND_DATAA*, WIN32_FIND_DATAA*) -> int32_t { return 0; });
    CompressFileMaskListZip(masks.get());
    EXPECT_EQ(GetArchiveStatus(), 0);
    DoneZipFile();
    const std::string names = Names(archive);
    EXPECT_NE(names.find("late.txt"), std::string::npos) << names;
    EXPECT_NE(names.find("first.txt"), std::string::npos) << names;
}

// Threads calling the library at once are served one call at a time: no
// crash, and since every change is whole, every archive stays whole.
TEST(RewriteWriters, ThreadsCallingTheLibraryDoNotCorruptIt) {
    TempDir tmp;
    WriteFile(tmp / "x.txt", WordText(20000, 5));
    for (const char* name : {"one.zip", "two.zip"}) ASSERT_EQ(RunVardex(std::string("add ") + name + " x.txt", tmp.path()), 0);
    ResetEngine();
    auto work = [&](const std::string& archive) {
        for (int i = 0; i < 60; ++i) {
            InitZipFile(EnginePath(archive).c_str());
            ZipFileList list;
            InitZipFileList(&list);
            BuildZipFileList(&list, nullptr);
            DoneZipFileList(&list);
            FileMaskList masks;
            InitFileMaskList(&masks);
            AppendFileMask(EnginePath(tmp / "x.txt").c_str(), &masks);
            if (i % 10 == 0) CompressFileMaskListZip(&masks);
            DoneFileMaskList(&masks);
            DoneZipFile();
        }
    };
    std::thread a(work, tmp / "one.zip"), b(work, tmp / "two.zip");
    a.join();
    b.join();
    for (const char* name : {"one.zip", "two.zip"}) EXPECT_TRUE(UnzipTests(tmp / name)) << name;
    ResetEngine();
}
