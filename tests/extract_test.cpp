// The extraction driver through its export: output paths (hostile names
// included), host callbacks, the overwrite check and every status the
// per-entry flow can end with.
#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "api/engine.h"
#include "api/paths.h"
#include "crypt/crypt.h"
#include "extract/extract.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"
#include "vardex32.h"
#include "vardex32x.h"

using vardex::engine;

namespace {

using Bytes = std::vector<uint8_t>;

// A small ZIP writer whose fields can be set to anything, bad ones included.
struct Entry {
    std::string name;
    Bytes data;
    uint16_t method = 0;  // 0 stored, 8 deflated (zlib); others store the data as it is
    uint16_t versionNeeded = 20;
    uint16_t flags = 0;
    uint32_t externalAttributes = 0x20;
    uint16_t time = 0x6C21;  // 13:33:02
    uint16_t date = 0x5A8F;  // 2025-04-15
    bool badCrc = false;
    int64_t compressedSizeOverride = -1;
    int64_t uncompressedSizeOverride = -1;  // a declared size other than the data's
    bool corruptDeflate = false;
    const Bytes* original = nullptr;  // when set: what `data` (given packed) decodes to, for CRC and size
};

using vxtest::Put16;
using vxtest::Put32;

Bytes Deflate(const Bytes& data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, data.size()) + 16);
    z.next_in = const_cast<uint8_t*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes BuildZip(const std::vector<Entry>& entries) {
    std::vector<vxtest::RawEntry> raw;
    for (const auto& e : entries) {
        Bytes packed = e.method == 8 ? Deflate(e.data) : e.data;
        if (e.corruptDeflate) packed[0] |= 0x06;  // block type 3
        const Bytes& plain = e.original ? *e.original : e.data;
        uint32_t crc = static_cast<uint32_t>(crc32(0, plain.data(), static_cast<uInt>(plain.size())));
        if (e.badCrc) crc ^= 1;
        const uint32_t csize = e.compressedSizeOverride >= 0 ? static_cast<uint32_t>(e.compressedSizeOverride)
                                                             : static_cast<uint32_t>(packed.size());
        const uint32_t usize = e.uncompressedSizeOverride >= 0 ? static_cast<uint32_t>(e.uncompressedSizeOverride)
                                                               : static_cast<uint32_t>(plain.size());
        raw.push_back({e.name, packed, e.versionNeeded, e.flags, e.method, e.time, e.date, crc, csize, usize,
                       e.externalAttributes});
    }
    return vxtest::WriteRawZip(raw);
}

Bytes Text(const char* s) { return Bytes(s, s + strlen(s)); }

// What the host saw.
struct Seen {
    std::vector<std::string> names, outputs;
    std::vector<WIN32_FIND_DATAA> archived;
    int32_t replaceAnswer = 0;
    int32_t progressAnswer = 1;
};
Seen g_seen;

int32_t OnName(uint32_t, const char* from, const char* to) {
    g_seen.names.push_back(from);
    g_seen.outputs.push_back(to);
    return 1;
}
int32_t OnReplace(uint32_t, WIN32_FIND_DATAA*, WIN32_FIND_DATAA* archived) {
    g_seen.archived.push_back(*archived);
    return g_seen.replaceAnswer;
}
int32_t OnProgress(uint32_t, int32_t) { return g_seen.progressAnswer; }

class ExtractDriver : public ::testing::Test {
protected:
    void SetUp() override {
        vxtest::ResetEngine();
        g_seen = Seen{};
        vxtest::RemoveTree(Out());
        mkdir(Out().c_str(), 0755);
    }
    void TearDown() override {
        DoneZipFile();
        // Read-only files left behind must not stop the temp dir's removal.
        vxtest::Run("chmod -R u+w '" + dir_.path() + "'");
    }
    std::string Out() const { return dir_ / "out"; }
    std::string OutFile(const std::string& rel) const { return Out() + "/" + rel; }

    // Opens the archive and sets the output directory (callbacks after
    // InitZipFile, which clears them).
    void Open(const std::vector<Entry>& entries, bool usePaths = true) {
        vxtest::WriteFile(dir_ / "t.zip", BuildZip(entries));
        InitZipFile(vxtest::EnginePath(dir_ / "t.zip").c_str());
        ASSERT_EQ(GetArchiveStatus(), 0);
        SetOutputPath(vxtest::EnginePath(Out()).c_str());
        if (usePaths)
            arOptionsOn(arUsePaths);
        else
            arOptionsOff(arUsePaths);
        SetSetFileNameProc(0, &OnName);
    }
    uint16_t Extract(FileMaskList* masks = nullptr) {
        ExtractFileMaskListZip(masks);
        return GetArchiveStatus();
    }

    vxtest::TempDir dir_;
};

// e with acute accent in the working form: UTF-8 on POSIX, the ANSI code page
// (1252 in the Windows test run) on Windows.
#ifdef _WIN32
#define VXTEST_E_ACUTE "\xE9"
#else
#define VXTEST_E_ACUTE "\xC3\xA9"
#endif

TEST_F(ExtractDriver, OutputPathsStayInsideTheOutputDirectory) {
    struct Case {
        const char* stored;
        bool usePaths;
        const char* relative;
        const char* expected;  // below the output directory; "" = nothing written
    };
    const Case cases[] = {
        {"a/b/c.txt", false, "", "c.txt"},
        {"a/b/c.txt", true, "", "a\\b\\c.txt"},
        {"/lead.txt", true, "", "lead.txt"},
        {"xyz/file", true, "xyz", "file"},
        {"xyz/file", false, "xyz", ""},  // the cut is by length, on the bare name too: nothing left
        {"abc", true, "xyz", "abc"},
        {"../../etc/passwd", true, "", "etc\\passwd"},
        {"../../etc/passwd", false, "", "passwd"},
        {"/etc/cron.d/job", true, "", "etc\\cron.d\\job"},
        {"C:\\Windows\\evil.dll", true, "", "Windows\\evil.dll"},
        {"C:/evil.txt", true, "", "evil.txt"},
        {"\\\\server\\share\\evil.txt", true, "", "evil.txt"},
        {"//server/share/dir/evil.txt", true, "", "dir\\evil.txt"},
        {"a/../../b.txt", true, "", "a\\b.txt"},
        {"a/./b//c.txt", true, "", "a\\b\\c.txt"},
        {"..\\..\\up.txt", true, "", "up.txt"},
#ifdef _WIN32
        {"d/C:evil.txt", true, "", "d\\_C_evil.txt"},  // never a stream of a file "C"
#else
        {"d/C:evil.txt", true, "", "d\\C:evil.txt"},  // as the update stores it: a colon is no drive here
#endif
        {".gitignore", true, "", ".gitignore"},
        {"sub/.env", false, "", ".env"},
        {"sub/", true, "", ""},
        {"//two.txt", true, "", "two.txt"},
        {"\\\\server\\share\\x", true, "", "x"},
        {"x/ab", true, VXTEST_E_ACUTE, "ab"},  // the relative path counts characters of the working form
        {VXTEST_E_ACUTE VXTEST_E_ACUTE "/f", true, "xy", "f"},
        {"..", true, "", ""},
        {"../", false, "", ""},
    };
    SetOutputPath("OUT");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        engine().options = c.usePaths ? arUsePaths : 0;
        SetRelativePath(c.relative);
        char out[vardex::kPathField];
        ASSERT_TRUE(vardex::BuildOutputPath(c.stored, out));
        EXPECT_EQ(std::string(out), *c.expected ? std::string("OUT\\") + c.expected : "");
    }
    std::string longName(252, 'n');  // 4 + 252 characters
    char out[vardex::kPathField];
    EXPECT_FALSE(vardex::BuildOutputPath(longName.c_str(), out));
}

TEST_F(ExtractDriver, HostileNamesWriteNothingOutsideTheOutputDirectory) {
    Open({{"../escaped.txt", Text("1")},
          {"/tmp/../abs.txt", Text("2")},
          {"C:\\drive.txt", Text("3")},
          {"sub/../../../deep.txt", Text("4")}});
    ASSERT_EQ(Extract(), 0);
    EXPECT_FALSE(vxtest::FileExists(dir_ / "escaped.txt"));
    EXPECT_FALSE(vxtest::FileExists(dir_ / "deep.txt"));
    EXPECT_EQ(vxtest::ReadText(OutFile("escaped.txt")), "1");
    EXPECT_EQ(vxtest::ReadText(OutFile("tmp/abs.txt")), "2");
    EXPECT_EQ(vxtest::ReadText(OutFile("drive.txt")), "3");
    EXPECT_EQ(vxtest::ReadText(OutFile("sub/deep.txt")), "4");
}

TEST_F(ExtractDriver, DirectoriesAreCreatedAndDirectoryEntriesSkippedSilently) {
    Open({{"top/", {}, 0, 20, 0, 0x10}, {"top/mid/file.txt", Text("deep")}, {"flat.txt", Text("flat")}});
    ASSERT_EQ(Extract(), 0);
    EXPECT_EQ(vxtest::ReadText(OutFile("top/mid/file.txt")), "deep");
    EXPECT_EQ(vxtest::ReadText(OutFile("flat.txt")), "flat");
    const std::vector<std::string> names = {"\\top/mid/file.txt", "\\flat.txt"};
    EXPECT_EQ(g_seen.names, names);
    EXPECT_EQ(g_seen.outputs[0], vxtest::EnginePath(Out()) + "\\top\\mid\\file.txt");
}

TEST_F(ExtractDriver, WithoutPathsEveryFileLandsInTheOutputDirectory) {
    Open({{"a/b/c.txt", Text("c")}, {"d/e.txt", Text("e")}}, false);
    ASSERT_EQ(Extract(), 0);
    EXPECT_EQ(vxtest::ReadText(OutFile("c.txt")), "c");
    EXPECT_EQ(vxtest::ReadText(OutFile("e.txt")), "e");
    EXPECT_FALSE(vxtest::FileExists(OutFile("a")));
}

TEST_F(ExtractDriver, OverwriteAnswersDecideEachExistingFile) {
    struct Case {
        int32_t answer;
        uint16_t status;
        const char* first;   // content of one.txt afterwards
        bool secondWritten;  // two.txt (no file before) extracted
    };
    const Case cases[] = {
        {0, 0, "new one", true},
        {1, 0, "old", true},
        {2, VX_CANCELLED, "old", false},
        {7, 0, "new one", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        TearDown();
        SetUp();
        vxtest::WriteFile(OutFile("one.txt"), std::string("old"));
        Open({{"one.txt", Text("new one")}, {"two.txt", Text("two")}});
        SetOkToReplaceProc(0, &OnReplace);
        g_seen.replaceAnswer = c.answer;
        EXPECT_EQ(Extract(), c.status);
        EXPECT_EQ(vxtest::ReadText(OutFile("one.txt")), c.first);
        EXPECT_EQ(vxtest::FileExists(OutFile("two.txt")), c.secondWritten);
        ASSERT_EQ(g_seen.archived.size(), 1u);  // asked only about the existing file
        EXPECT_STREQ(g_seen.archived[0].cFileName, "one.txt");
        EXPECT_EQ(g_seen.archived[0].nFileSizeLow, 7u);
        EXPECT_EQ(g_seen.archived[0].dwFileAttributes, 0x20u);
    }
}

TEST_F(ExtractDriver, ReadOnlyFileIsReplacedOnlyWhenTheHostSaysSo) {
    vxtest::ReadOnlyEnforced readOnly;
    vxtest::WriteFile(OutFile("ro.txt"), std::string("old"));
    chmod(OutFile("ro.txt").c_str(), 0444);
    Open({{"ro.txt", Text("new")}});
    SetOkToReplaceProc(0, &OnReplace);
    g_seen.replaceAnswer = 0;
    ASSERT_EQ(Extract(), 0);
    EXPECT_EQ(vxtest::ReadText(OutFile("ro.txt")), "new");

    chmod(OutFile("ro.txt").c_str(), 0444);
    SetOkToReplaceProc(0, nullptr);
    EXPECT_EQ(Extract(), VX_CANNOT_CREATE_OUTPUT);
    EXPECT_EQ(vxtest::ReadText(OutFile("ro.txt")), "new");
}

TEST_F(ExtractDriver, FailingEntryStopsTheExtraction) {
    struct Case {
        const char* what;
        Entry bad;
        uint16_t status;
        bool badFileKept;
    };
    Entry newer{"bad.txt", Text("x")};
    newer.versionNeeded = 45;
    Entry method7{"bad.txt", Text("x"), 7};
    Entry method9{"bad.txt", Text("x"), 9}, method12{"bad.txt", Text("x"), 12};
    Entry newerOnUnix{"bad.txt", Text("x")};
    newerOnUnix.versionNeeded = 0x0315;  // 2.1 made on Unix: the low byte counts
    Entry crc{"bad.txt", Text("contents"), 8};
    crc.badCrc = true;
    Entry encrypted{"bad.txt", Text("0123456789abcdef")};
    encrypted.flags = 1;
    Entry damaged{"bad.txt", vxtest::TextBytes(20000, 3), 8};
    damaged.corruptDeflate = true;
    Entry truncated{"bad.txt", Text("short")};
    truncated.compressedSizeOverride = 10'000'000;  // runs off the end of the file
    truncated.uncompressedSizeOverride = 10'000'000;
    const Case cases[] = {
        {"version needed 4.5", newer, VX_UNSUPPORTED_ENTRY, false},
        {"method 7", method7, VX_UNSUPPORTED_ENTRY, false},
        {"method 9", method9, VX_UNSUPPORTED_ENTRY, false},
        {"method 12", method12, VX_UNSUPPORTED_ENTRY, false},
        {"version needed 2.1 from Unix", newerOnUnix, VX_UNSUPPORTED_ENTRY, false},
        {"CRC mismatch", crc, VX_CRC_MISMATCH, true},
        {"encrypted without a password callback", encrypted, VX_CANNOT_DECRYPT, false},
        {"damaged deflate data", damaged, VX_BAD_DATA, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        Open({{"before.txt", Text("b")}, c.bad, {"after.txt", Text("a")}});
        SetCryptKey("any");
        EXPECT_EQ(Extract(), c.status);
        EXPECT_TRUE(vxtest::FileExists(OutFile("before.txt")));
        EXPECT_EQ(vxtest::FileExists(OutFile("bad.txt")), c.badFileKept);
        EXPECT_FALSE(vxtest::FileExists(OutFile("after.txt")));
    }

    // Data that runs past the end of the archive (a size that overlaps the
    // next entry is refused before anything is written, see the bombs).
    TearDown();
    SetUp();
    Open({{"before.txt", Text("b")}, truncated});
    EXPECT_EQ(Extract(), VX_FILE_ERROR);
    EXPECT_TRUE(vxtest::FileExists(OutFile("before.txt")));
    EXPECT_FALSE(vxtest::FileExists(OutFile("bad.txt")));
}

TEST_F(ExtractDriver, OnlyTheLowByteOfVersionNeededCounts) {
    Entry unix20{"unix.txt", Text("made on Unix")}, other20{"other.txt", Text("high byte set")};
    unix20.versionNeeded = 0x0314;
    other20.versionNeeded = 0xFF14;
    Open({unix20, other20});
    ASSERT_EQ(Extract(), 0);
    EXPECT_EQ(vxtest::ReadText(OutFile("unix.txt")), "made on Unix");
    EXPECT_EQ(vxtest::ReadText(OutFile("other.txt")), "high byte set");
}

TEST_F(ExtractDriver, FailedOutputWriteStopsAndRemovesThePartialFile) {
    // The decoders report a short write as 101; the stored copy as a file error.
    const struct {
        uint16_t method;
        uint16_t status;
    } cases[] = {{8, VX_SHORT_WRITE}, {0, VX_FILE_ERROR}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        TearDown();
        SetUp();
        Open({{"big.bin", vxtest::TextBytes(200000, 4), c.method}, {"after.txt", Text("a")}});
        vardex::platform::SetWriteBudgetForTesting(50000);
        const uint16_t status = Extract();
        vardex::platform::SetWriteBudgetForTesting(-1);
        EXPECT_EQ(status, c.status);
        EXPECT_FALSE(vxtest::FileExists(OutFile("big.bin")));
        EXPECT_FALSE(vxtest::FileExists(OutFile("after.txt")));
    }
}

TEST_F(ExtractDriver, OutOfMemoryAtAnyAllocationStopsWithStatus8) {
    // Stored, Deflated (Huffman tables) and Reduced (follower sets: all 256
    // empty, then three literals) entries: every heap block on the way, from
    // the entry list to the decoders' tables, fails once in turn.
    Bytes reduced(192, 0);
    for (char c : std::string("abc")) reduced.push_back(static_cast<uint8_t>(c));
    // Imploded: length and distance trees of 64 six-bit codes each (four runs
    // of 16), then the literals 'x' and 'y' (a 1 bit, then eight bits each).
    const Bytes imploded = {3, 0xF5, 0xF5, 0xF5, 0xF5, 3, 0xF5, 0xF5, 0xF5, 0xF5, 0xF1, 0xE6, 0x01};
    const Bytes abc = Text("abc"), xy = Text("xy");
    std::vector<Entry> entries = {{"stored.txt", Text("stored")},
                                  {"deflated.txt", vxtest::TextBytes(5000, 7), 8},
                                  {"reduced.bin", reduced, 2},
                                  {"imploded.bin", imploded, 6}};
    entries[2].original = &abc;
    entries[3].original = &xy;
    Open(entries);
    ASSERT_EQ(Extract(), 0);
    EXPECT_EQ(vxtest::ReadText(OutFile("reduced.bin")), "abc");
    EXPECT_EQ(vxtest::ReadText(OutFile("imploded.bin")), "xy");
    int failures = 0;
    for (int budget = 0; budget < 100; ++budget) {
        SCOPED_TRACE(budget);
        TearDown();
        SetUp();
        Open(entries);
        vardex::SetAllocationBudgetForTesting(budget);
        const uint16_t status = Extract();
        vardex::SetAllocationBudgetForTesting(-1);
        if (status != VX_OUT_OF_MEMORY) {
            EXPECT_EQ(status, 0) << "a failed allocation must end in status 8";
            break;
        }
        ++failures;
    }
    // Two buffers per entry, the Huffman tables, the follower sets and the
    // Explode trees at least.
    EXPECT_GE(failures, 9);
}

TEST_F(ExtractDriver, NoMatchingEntryIsReported) {
    Open({{"a.txt", Text("a")}});
    FileMaskList masks;
    InitFileMaskList(&masks);
    AppendFileMask("*.doc", &masks);
    EXPECT_EQ(Extract(&masks), VX_NOTHING_SELECTED);
    DoneFileMaskList(&masks);
    EXPECT_TRUE(g_seen.names.empty());
}

TEST_F(ExtractDriver, OutputPathTooLongIsRefused) {
    std::string deep = dir_ / "out/" + std::string(200, 'd');
    mkdir(deep.c_str(), 0755);
    Open({{std::string(100, 'f') + ".txt", Text("x")}});
    SetOutputPath(vxtest::EnginePath(deep).c_str());
    EXPECT_EQ(Extract(), VX_CANNOT_CREATE_OUTPUT);
    EXPECT_TRUE(g_seen.names.empty());
}

TEST_F(ExtractDriver, CancelDuringCopyDeletesTheFile) {
    for (uint16_t method : {uint16_t{0}, uint16_t{8}}) {
        SCOPED_TRACE(method);
        TearDown();
        SetUp();
        Open({{"big.bin", vxtest::RandomBytes(100000, 1), method}});
        SetSetProgressProc(0, &OnProgress);
        g_seen.progressAnswer = 0;
        EXPECT_EQ(Extract(), VX_CANCELLED);
        EXPECT_FALSE(vxtest::FileExists(OutFile("big.bin")));
    }
}

std::vector<int32_t> g_percents;
int32_t RecordPercent(uint32_t, int32_t percent) {
    g_percents.push_back(percent);
    return 1;
}
int32_t GiveSecret(uint32_t, char* password, const char*) {
    strcpy(password, "secret");
    return 1;
}

// The stored data of an entry encrypted under "secret": the 12-byte header
// (seeded by `seed`) and the encrypted bytes.
Bytes EncryptedWithSecret(const Bytes& plain, uint32_t seed) {
    vardex::CipherState cipher;
    uint8_t header[12];
    const uint32_t crc = static_cast<uint32_t>(crc32(0, plain.data(), static_cast<uInt>(plain.size())));
    vardex::MakeHeader(cipher, "secret", crc, seed, header);
    Bytes out(plain);
    vardex::EncryptBuffer(cipher, out.data(), out.size());
    out.insert(out.begin(), header, header + 12);
    return out;
}

TEST_F(ExtractDriver, ProgressComesOncePerStepOfEachWay) {
    // A stored entry is handed on 4,096 bytes at a time (8,192 behind an
    // encryption header), a deflated one a 32 KiB window at a time plus the
    // rest; the archive's data is read in larger blocks than any of these.
    const Bytes plain = vxtest::RandomBytes(150000, 3);
    const Bytes encrypted = EncryptedWithSecret(plain, 99);
    struct Case {
        const char* name;
        Entry entry;
        uint32_t step;
    };
    Entry stored{"stored.bin", plain};
    Entry secret{"secret.bin", encrypted};
    secret.flags = 1;
    secret.original = &plain;
    Entry deflated{"deflated.bin", plain, 8};
    const Case cases[] = {{"stored", stored, 4096}, {"stored, encrypted", secret, 8192}, {"deflated", deflated, 32768}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Open({c.entry});
        SetSetProgressProc(0, &RecordPercent);
        SetSetCryptKeyProc(0, &GiveSecret);
        g_percents.clear();
        ASSERT_EQ(Extract(), 0);
        EXPECT_EQ(vxtest::ReadFile(OutFile(c.entry.name)), plain);
        std::vector<int32_t> expected;
        for (uint64_t done = c.step; done < plain.size() + c.step; done += c.step)
            expected.push_back(static_cast<int32_t>(std::min<uint64_t>(done, plain.size()) * 100 / plain.size()));
        EXPECT_EQ(g_percents, expected);
    }
}

// A host may call back in from a callback: a check of the whole archive
// started from a progress report runs on streams (and keys) of its own, and
// the extraction it interrupted goes on where it was.
std::vector<uint16_t> g_nestedStatuses;
bool g_inNestedCheck = false;
int32_t CheckFromProgress(uint32_t, int32_t) {
    if (!g_inNestedCheck && g_nestedStatuses.size() < 2) {
        g_inNestedCheck = true;
        VxTestFileMaskListZip(nullptr);
        g_inNestedCheck = false;
        g_nestedStatuses.push_back(GetArchiveStatus());
    }
    return 1;
}

TEST_F(ExtractDriver, ACheckStartedFromAProgressReportLeavesTheExtractionWhole) {
    const Bytes first = vxtest::RandomBytes(150000, 4), second = vxtest::TextBytes(100000, 5);
    const Bytes encrypted = EncryptedWithSecret(first, 7);
    for (const bool encrypt : {false, true}) {
        for (const uint16_t method : {uint16_t{0}, uint16_t{8}}) {
            SCOPED_TRACE(std::to_string(method) + (encrypt ? " behind an encrypted entry" : ""));
            TearDown();
            SetUp();
            Entry one{"first.bin", first, method};
            if (encrypt) {
                one = Entry{"first.bin", encrypted};
                one.flags = 1;
                one.original = &first;
            }
            Open({one, {"second.txt", second, method}});
            SetSetProgressProc(0, &CheckFromProgress);
            SetSetCryptKeyProc(0, &GiveSecret);
            g_nestedStatuses.clear();
            ASSERT_EQ(Extract(), 0);
            EXPECT_EQ(g_nestedStatuses, (std::vector<uint16_t>{0, 0}));
            EXPECT_EQ(vxtest::ReadFile(OutFile("first.bin")), first);
            EXPECT_EQ(vxtest::ReadFile(OutFile("second.txt")), second);
        }
    }
}

TEST_F(ExtractDriver, FileGetsTheEntryTimeAndAttributes) {
    Entry e{"dated.txt", Text("x")};
    e.externalAttributes = 0x21;  // read-only, archive
    Open({e});
    ASSERT_EQ(Extract(), 0);
    struct stat st {};
    ASSERT_EQ(stat(OutFile("dated.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    struct tm t {};
    localtime_r(&st.st_mtime, &t);
    EXPECT_EQ(t.tm_year + 1900, 2025);
    EXPECT_EQ(t.tm_mon + 1, 4);
    EXPECT_EQ(t.tm_mday, 15);
    EXPECT_EQ(t.tm_hour, 13);
    EXPECT_EQ(t.tm_min, 33);
    EXPECT_EQ(t.tm_sec, 2);
}

#ifndef _WIN32  // symbolic links: the tests make none on Windows
// Everything under a directory as lstat sees it: type, mode, time, size and
// content or link target.  Two equal snapshots mean nothing was created,
// changed, re-dated or re-moded there.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(item.path().c_str(), &st);
        std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                            std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_size) + " ";
        if (S_ISLNK(st.st_mode))
            state += std::filesystem::read_symlink(item.path()).string();
        else if (S_ISREG(st.st_mode))
            state += vxtest::ReadText(item.path().string());
        out[item.path().string()] = state;
    }
    return out;
}

bool IsLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST_F(ExtractDriver, LinksInTheOutputDirectoryAreNeverFollowed) {
    struct Case {
        const char* what;
        const char* entry;
        std::vector<std::pair<const char*, const char*>> links;  // below out: name -> target
        int32_t answer;       // OkToReplaceProc: 0 replace, 1 skip
        uint16_t status;
        const char* regular;  // below out: a regular file holding the entry afterwards ("" none)
        const char* link;     // below out: still a link afterwards ("" none)
        size_t questions;
    };
    const Case cases[] = {
        {"file link, replaced", "link.txt", {{"link.txt", "../outside/target.txt"}}, 0, 0, "link.txt", "", 1},
        {"file link, skipped", "link.txt", {{"link.txt", "../outside/target.txt"}}, 1, 0, "", "link.txt", 1},
        {"read-only target, replaced", "ro.txt", {{"ro.txt", "../outside/readonly.txt"}}, 0, 0, "ro.txt", "", 1},
        {"dangling link, replaced", "dang.txt", {{"dang.txt", "../outside/new.txt"}}, 0, 0, "dang.txt", "", 1},
        {"dangling link, skipped", "dang.txt", {{"dang.txt", "../outside/new.txt"}}, 1, 0, "", "dang.txt", 1},
        {"directory link", "sub/x.txt", {{"sub", "../outside"}}, 0, VX_CANNOT_CREATE_OUTPUT, "", "sub", 0},
        {"directory link to an existing file", "sub/readonly.txt", {{"sub", "../outside"}}, 0,
         VX_CANNOT_CREATE_OUTPUT, "", "sub", 0},
        {"link as a middle level", "a/b/c/x.txt", {{"a/b", "../../outside"}}, 0, VX_CANNOT_CREATE_OUTPUT, "", "a/b", 0},
        {"link to a directory as the file", "d.txt", {{"d.txt", "../outside"}}, 0, 0, "d.txt", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        const std::string outside = dir_ / "outside";
        vxtest::Run("rm -rf '" + outside + "'");
        mkdir(outside.c_str(), 0755);
        vxtest::WriteFile(outside + "/target.txt", "victim");
        vxtest::WriteFile(outside + "/readonly.txt", "victim");
        chmod((outside + "/readonly.txt").c_str(), 0444);
        mkdir(OutFile("a").c_str(), 0755);
        for (const auto& [name, target] : c.links) ASSERT_EQ(symlink(target, OutFile(name).c_str()), 0);
        const auto before = Snapshot(outside);

        Open({{c.entry, Text("new")}});
        g_seen.replaceAnswer = c.answer;
        SetOkToReplaceProc(0, &OnReplace);
        EXPECT_EQ(Extract(), c.status);
        EXPECT_EQ(g_seen.archived.size(), c.questions);
        EXPECT_EQ(Snapshot(outside), before) << "nothing outside the output directory changes";
        if (*c.regular) {
            EXPECT_FALSE(IsLink(OutFile(c.regular)));
            EXPECT_EQ(vxtest::ReadText(OutFile(c.regular)), "new");
        }
        if (*c.link) {
            EXPECT_TRUE(IsLink(OutFile(c.link)));
        }
    }
}

#endif

TEST_F(ExtractDriver, AFileWithOtherNamesIsReplacedNotWrittenThrough) {
    const std::string outside = dir_ / "outside";
    mkdir(outside.c_str(), 0755);
    vxtest::WriteFile(outside + "/target.txt", "victim");
    ASSERT_EQ(link((outside + "/target.txt").c_str(), OutFile("hard.txt").c_str()), 0);
    Open({{"hard.txt", Text("new")}});
    ASSERT_EQ(Extract(), 0);
    EXPECT_EQ(vxtest::ReadText(OutFile("hard.txt")), "new");
    EXPECT_EQ(vxtest::ReadText(outside + "/target.txt"), "victim");
}

TEST_F(ExtractDriver, TheOpenArchiveIsNeverAnOutputFile) {
    // The archive t.zip holds an entry t.zip, extracted with overwrite into
    // the archive's own directory, by its name and through a second name.
    for (const char* name : {"t.zip", "again.zip"}) {
        SCOPED_TRACE(name);
        TearDown();
        SetUp();
        Open({{"first.txt", Text("1")}, {name, Text("not the archive")}});
        const auto archive = vxtest::ReadFile(dir_ / "t.zip");
        if (std::string(name) == "again.zip") {
            DoneZipFile();
            ASSERT_EQ(link((dir_ / "t.zip").c_str(), (dir_ / "again.zip").c_str()), 0);
            InitZipFile(vxtest::EnginePath(dir_ / "t.zip").c_str());
            arOptionsOn(arUsePaths);
        }
        SetOutputPath(vxtest::EnginePath(dir_.path()).c_str());
        EXPECT_EQ(Extract(), VX_CANNOT_CREATE_OUTPUT);
        DoneZipFile();
        EXPECT_EQ(vxtest::ReadFile(dir_ / "t.zip"), archive);
        std::filesystem::remove(dir_ / "again.zip");
        std::filesystem::remove(dir_ / "first.txt");
    }
}

// Bombs: output is bounded by what the archive declares.
Bytes BombZip(int copies, const Bytes& data) {
    const Bytes packed = Deflate(data);
    const uint32_t crc = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
    Bytes file, central;
    auto fields = [&](Bytes& b) {
        Put16(b, 20);
        Put16(b, 0);
        Put16(b, 8);
        Put16(b, 0x6C21);
        Put16(b, 0x5A8F);
        Put32(b, crc);
        Put32(b, static_cast<uint32_t>(packed.size()));
        Put32(b, static_cast<uint32_t>(data.size()));
        Put16(b, 6);
        Put16(b, 0);
    };
    Put32(file, 0x04034B50);
    fields(file);
    for (char c : std::string("a0.txt")) file.push_back(static_cast<uint8_t>(c));
    file.insert(file.end(), packed.begin(), packed.end());
    for (int i = 0; i < copies; ++i) {
        Put32(central, 0x02014B50);
        Put16(central, 20);
        fields(central);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, 0x20);
        Put32(central, 0);  // every entry points at the one local record
        const std::string name = "a" + std::to_string(i) + ".txt";
        central.insert(central.end(), name.begin(), name.end());
    }
    const uint32_t centralOffset = static_cast<uint32_t>(file.size());
    file.insert(file.end(), central.begin(), central.end());
    Put32(file, 0x06054B50);
    Put32(file, 0);
    Put16(file, static_cast<uint16_t>(copies));
    Put16(file, static_cast<uint16_t>(copies));
    Put32(file, static_cast<uint32_t>(central.size()));
    Put32(file, centralOffset);
    Put16(file, 0);
    return file;
}

TEST_F(ExtractDriver, BombsAndOversizedDataAreBadDataAndLeaveNothing) {
    Entry inflates{"big.txt", Bytes(4500, 'z'), 8};
    inflates.uncompressedSizeOverride = 10;  // the CRC is the real data's
    Entry stored{"big.txt", Bytes(4500, 'z'), 0};
    stored.uncompressedSizeOverride = 10;
    struct Case {
        const char* what;
        Bytes zip;
    };
    const Case cases[] = {
        {"ten central entries, one local record", BombZip(10, vxtest::TextBytes(50000, 7))},
        {"inflates past its declared size", BuildZip({{"first.txt", Text("1")}, inflates})},
        {"stored past its declared size", BuildZip({{"first.txt", Text("1")}, stored})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        vxtest::WriteFile(dir_ / "bomb.zip", c.zip);
        InitZipFile(vxtest::EnginePath(dir_ / "bomb.zip").c_str());
        ASSERT_EQ(GetArchiveStatus(), 0);
        SetOutputPath(vxtest::EnginePath(Out()).c_str());
        arOptionsOn(arUsePaths);
        EXPECT_EQ(Extract(), VX_BAD_DATA);
        EXPECT_FALSE(vxtest::FileExists(OutFile("big.txt")));
        EXPECT_FALSE(vxtest::FileExists(OutFile("a0.txt")));
    }
    // Python's zipfile agrees the bomb is no archive to trust.
    if (vxtest::HaveTool("python3")) {
        vxtest::WriteFile(dir_ / "bomb.zip", BombZip(10, vxtest::TextBytes(50000, 7)));
        EXPECT_NE(vxtest::Run("python3 -c \"import zipfile,sys; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])\" '" +
                              (dir_ / "bomb.zip") + "' '" + (dir_ / "py") + "' 2>/dev/null"),
                  0);
    }
}

TEST_F(ExtractDriver, NamesThatDoNotFitAreRefusedNeverCut) {
    // 200 CP437 characters of two bytes each in UTF-8: cut to fit, the two
    // names would be one.
    const std::string stem(200, '\x80');
    Open({{stem + "1", Text("one")}, {stem + "2", Text("two")}});
    // No output directory (the current one), so that the cut names would fit.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(Out());
    SetOutputPath("");
    EXPECT_EQ(Extract(), VX_CANNOT_CREATE_OUTPUT);
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(std::filesystem::is_empty(Out()));
}

TEST_F(ExtractDriver, MissingLevelsOfTheOutputDirectoryAreMade) {
    Open({{"sub/f.txt", Text("deep")}, {"top.txt", Text("top")}});
    SetOutputPath((vxtest::EnginePath(dir_ / "new1") + "/new2\\new3").c_str());
    ASSERT_EQ(Extract(), 0);
    EXPECT_EQ(vxtest::ReadText(dir_ / "new1/new2/new3/sub/f.txt"), "deep");
    EXPECT_EQ(vxtest::ReadText(dir_ / "new1/new2/new3/top.txt"), "top");
}

}  // namespace
