// Adding and replacing entries: the update driver, the entry writer and the
// archive rewrite they share, checked through the exports and read back
// with Python's zipfile.
#include <gtest/gtest.h>

#include <filesystem>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "api/engine.h"
#include "platform/platform.h"
#include "update/update.h"
#include "update_helpers.h"
#include "vardex32x.h"

using namespace vxtest;

namespace {

// An archive written by Python with three deflated entries, an archive
// comment, an entry comment and an extra field.
void MakePythonArchive(const std::string& archive) {
    int rc = 0;
    Py("import zipfile,sys\n"
       "z=zipfile.ZipFile(sys.argv[1],\"w\",zipfile.ZIP_DEFLATED)\n"
       "z.comment=b\"archive comment\"\n"
       "i=zipfile.ZipInfo(\"a.txt\",(2020,1,2,3,4,6)); i.comment=b\"first\"; i.extra=b\"\\xfe\\xca\\x04\\x00abcd\"\n"
       "z.writestr(i, b\"alpha \"*200, zipfile.ZIP_DEFLATED)\n"
       "z.writestr(\"b.txt\", b\"bravo \"*300)\n"
       "z.writestr(\"c.txt\", b\"charlie \"*100)\n"
       "z.close()",
       archive, &rc);
    ASSERT_EQ(rc, 0);
}

struct Answers {
    static inline int32_t replaceAnswer = 0;
    static inline int replaceCalls = 0;
    static inline int32_t skipAnswer = 1;
    static inline int skipCalls = 0;
    static inline std::vector<std::string> names;
    static inline std::string replaceExistingName;
    static void Reset() {
        replaceAnswer = 0;
        replaceCalls = 0;
        skipAnswer = 1;
        skipCalls = 0;
        names.clear();
        replaceExistingName.clear();
    }
    static int32_t OkToReplace(uint32_t, WIN32_FIND_DATAA* existing, WIN32_FIND_DATAA*) {
        ++replaceCalls;
        replaceExistingName = existing->cFileName;
        return replaceAnswer;
    }
    static int32_t Skip(uint32_t, const char*) {
        ++skipCalls;
        return skipAnswer;
    }
    static int32_t FileName(uint32_t, const char*, const char* to) {
        names.push_back(to);
        return 1;
    }
};

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        VXTEST_NEEDS_POSIX("Python's zipfile to make and judge the archives");
        Answers::Reset();
        ResetEngine();
        MakePythonArchive(archive);
        original = ReadFile(archive);
        WriteFile(tmp / "b.txt", TextBytes(5000, 7));
        WriteFile(tmp / "d.txt", TextBytes(3000, 8));
    }
    void TearDown() override {
        vardex::platform::SetWriteBudgetForTesting(-1);
        vardex::platform::SetSyncFailureForTesting(false);
        ResetEngine();
    }
    // Opens the archive, registers what the test asks for and runs one update.
    uint16_t Update(const std::vector<std::string>& files, bool withReplaceProc, bool withSkipProc = false) {
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        EXPECT_EQ(GetArchiveStatus(), 0);
        SetInputPath(EnginePath(tmp.path()).c_str());
        if (withReplaceProc) SetOkToReplaceProc(0, Answers::OkToReplace);
        if (withSkipProc) SetSkipFileProc(0, Answers::Skip);
        SetSetFileNameProc(0, Answers::FileName);
        Masks masks(files);
        CompressFileMaskListZip(masks.get());
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return status;
    }
    TempDir tmp;
    std::string archive = tmp / "py.zip";
    std::vector<uint8_t> original;
};

TEST_F(UpdateTest, ReplacedEntryMovesToTheEndAndOtherEntriesKeepTheirBytes) {
    const std::vector<uint8_t> rawA = RawEntry(archive, "a.txt");
    const std::vector<uint8_t> rawC = RawEntry(archive, "c.txt");
    ASSERT_EQ(Update({"b.txt", "d.txt"}, false), 0);
    EXPECT_EQ(PyNames(archive), Lines({"a.txt", "c.txt", "b.txt", "d.txt"}));
    EXPECT_TRUE(PyTestZip(archive));
    EXPECT_EQ(PyRead(archive, "b.txt"), TextBytes(5000, 7));
    EXPECT_EQ(PyRead(archive, "d.txt"), TextBytes(3000, 8));
    EXPECT_EQ(RawEntry(archive, "a.txt"), rawA);
    EXPECT_EQ(RawEntry(archive, "c.txt"), rawC);
    // Comments and extra fields of carried-over entries survive.
    EXPECT_EQ(Py("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\ni=z.getinfo(\"a.txt\")\n"
                 "print(z.comment, i.comment, i.extra, i.date_time)",
                 archive),
              "b'archive comment' b'first' b'\\xfe\\xca\\x04\\x00abcd' (2020, 1, 2, 3, 4, 6)\n");
    EXPECT_EQ(Answers::names, (std::vector<std::string>{"\\b.txt", "\\d.txt"}));
}

TEST_F(UpdateTest, OkToReplaceAnswersDecideAboutTheOldEntry) {
    struct Case {
        int32_t answer;
        uint16_t status;
        const char* names;  // nullptr: the archive is unchanged
        size_t bSize;
    };
    const Case cases[] = {
        {0, 0, "a.txt\nc.txt\nb.txt\nd.txt\n", 5000},
        {1, 0, "a.txt\nb.txt\nc.txt\nd.txt\n", 1800},
        {2, VX_CANCELLED, nullptr, 0},
        {7, 0, "a.txt\nb.txt\nc.txt\nd.txt\n", 1800},  // unknown answers keep the entry
        {-1, 0, "a.txt\nb.txt\nc.txt\nd.txt\n", 1800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        WriteFile(archive, original);
        Answers::Reset();
        Answers::replaceAnswer = c.answer;
        // The file is named twice: the second naming never adds it again.
        EXPECT_EQ(Update({"b.txt", "d.txt", "b.txt"}, true), c.status);
        EXPECT_EQ(Answers::replaceCalls, 1);
        EXPECT_EQ(Answers::replaceExistingName, "b.txt");
        EXPECT_FALSE(FileExists(tmp / "py.!!!"));
        if (!c.names) {
            EXPECT_EQ(ReadFile(archive), original);
            continue;
        }
        EXPECT_EQ(PyNames(archive), c.names);
        EXPECT_TRUE(PyTestZip(archive));
        EXPECT_EQ(PyRead(archive, "b.txt").size(), c.bSize);
    }
}

TEST_F(UpdateTest, UnreadableSourceIsSkippedOrStopsAsTheCallbacksSay) {
    struct Case {
        bool skipProc;
        int32_t answer;
        uint16_t status;
    };
    for (const Case& c : {Case{true, 1, 0}, Case{true, 0, 0}, Case{true, 2, VX_CANCELLED}, Case{false, 0, 5}}) {
        SCOPED_TRACE(c.answer);
        WriteFile(archive, original);
        Answers::Reset();
        Answers::skipAnswer = c.answer;
        // missing.txt vanished after it was named; d.txt comes after it.
        EXPECT_EQ(Update({"missing.txt", "d.txt"}, false, c.skipProc), c.status);
        EXPECT_EQ(Answers::skipCalls, c.skipProc ? 1 : 0);
        if (c.status != 0) {
            EXPECT_EQ(ReadFile(archive), original);
            EXPECT_FALSE(FileExists(tmp / "py.!!!"));
        } else {
            EXPECT_EQ(PyNames(archive), Lines({"a.txt", "b.txt", "c.txt", "d.txt"}));
        }
    }
    // A named file that matches an entry but is missing: the entry stays
    // when the host skips the file, and the update fails without a SkipFileProc.
    for (bool skipProc : {true, false}) {
        SCOPED_TRACE(skipProc);
        WriteFile(archive, original);
        std::remove((tmp / "b.txt").c_str());
        Answers::Reset();
        EXPECT_EQ(Update({"b.txt", "d.txt"}, true, skipProc), skipProc ? 0 : 5);
        EXPECT_EQ(Answers::skipCalls, skipProc ? 1 : 0);
        EXPECT_EQ(Answers::replaceCalls, 0);
        if (skipProc) {
            EXPECT_EQ(PyNames(archive), Lines({"a.txt", "b.txt", "c.txt", "d.txt"}));
            EXPECT_EQ(PyRead(archive, "b.txt").size(), 1800u);
        } else {
            EXPECT_EQ(ReadFile(archive), original);
        }
    }
    // A directory named for the update becomes an entry of its own.
    WriteFile(archive, original);
    std::filesystem::create_directories(tmp / "sub");
    EXPECT_EQ(Update({"sub"}, false), 0);
    EXPECT_EQ(PyNames(archive), Lines({"a.txt", "b.txt", "c.txt", "sub/"}));
}

TEST_F(UpdateTest, EmptyMaskListAndPatternsRewriteWithoutAdding) {
    EXPECT_EQ(Update({}, false), 0);
    EXPECT_EQ(PyNames(archive), Lines({"a.txt", "b.txt", "c.txt"}));
    EXPECT_EQ(Update({"*.*", "*.txt", "x\\*.txt"}, false), 0);
    EXPECT_EQ(PyNames(archive), Lines({"a.txt", "b.txt", "c.txt"}));
    EXPECT_TRUE(PyTestZip(archive));
    EXPECT_EQ(Answers::names.size(), 0u);
}

TEST_F(UpdateTest, TheArchiveItselfIsPassedOver) {
    WriteFile(tmp / "py.!!!", "stale backup of an interrupted run");
    EXPECT_EQ(Update({"py.zip", "./py.zip", "py.!!!", "d.txt"}, false), 0);
    EXPECT_EQ(PyNames(archive), Lines({"a.txt", "b.txt", "c.txt", "d.txt"}));
    EXPECT_FALSE(FileExists(tmp / "py.!!!"));
}

TEST_F(UpdateTest, ShortWriteAnywhereLeavesTheOldArchiveInPlace) {
    ASSERT_EQ(Update({"b.txt", "d.txt"}, false), 0);
    const int64_t size = static_cast<int64_t>(ReadFile(archive).size());
    // Budgets that end the writing in a copied entry, a new entry's data or
    // header, the central directory and the end record.
    for (int64_t budget : {int64_t{0}, int64_t{10}, size / 8, size / 4, size / 2, 3 * size / 4, size - 30, size - 1}) {
        SCOPED_TRACE(budget);
        WriteFile(archive, original);
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        SetInputPath(EnginePath(tmp.path()).c_str());
        Masks masks{"b.txt", "d.txt"};
        vardex::platform::SetWriteBudgetForTesting(budget);
        CompressFileMaskListZip(masks.get());
        vardex::platform::SetWriteBudgetForTesting(-1);
        EXPECT_EQ(GetArchiveStatus(), VX_SHORT_WRITE);
        EXPECT_EQ(vardex::engine().archive.handle, -1);
        DoneZipFile();
        EXPECT_EQ(ReadFile(archive), original);
        EXPECT_FALSE(FileExists(tmp / "py.!!!"));
    }
}

TEST_F(UpdateTest, NewArchiveThatCannotBeFlushedNeverTakesTheArchivesPlace) {
    vardex::platform::SetSyncFailureForTesting(true);
    EXPECT_EQ(Update({"b.txt", "d.txt"}, false), VX_FILE_ERROR);
    vardex::platform::SetSyncFailureForTesting(false);
    EXPECT_EQ(ReadFile(archive), original);
    EXPECT_FALSE(FileExists(tmp / "py.!!!"));
}

TEST_F(UpdateTest, ArchiveWhoseTemporaryFileCannotBeMadeIsNotTouched) {
    // A non-empty directory under the temporary name: it can be neither
    // removed nor created as a file.
    std::filesystem::create_directories(tmp / "py.!!!/x");
    EXPECT_EQ(Update({"d.txt"}, false), 5);
    EXPECT_EQ(ReadFile(archive), original);
}

TEST_F(UpdateTest, SourceThatShrinksWhileReadGivesFileError) {
    static std::string victim;
    victim = tmp / "big.bin";
    WriteFile(victim, RandomBytes(200000, 3));
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    SetInputPath(EnginePath(tmp.path()).c_str());
    SetSetProgressProc(0, [](uint32_t, int32_t) -> int32_t {
        std::error_code failed;
        std::filesystem::resize_file(victim, 1000, failed);
        if (failed) return 0;
        return 1;
    });
    Masks masks{"big.bin"};
    CompressFileMaskListZip(masks.get());
    EXPECT_EQ(GetArchiveStatus(), 5);
    DoneZipFile();
    EXPECT_EQ(ReadFile(archive), original);
}

TEST_F(UpdateTest, SourceOf4GiBStopsBeforeAnyDataIsRead) {
    const std::string huge = tmp / "huge.bin";
    WriteFile(huge, std::string());
    std::filesystem::resize_file(huge, uint64_t{4} << 30);
    static int progressCalls;
    progressCalls = 0;
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    SetInputPath(EnginePath(tmp.path()).c_str());
    SetSetProgressProc(0, [](uint32_t, int32_t) -> int32_t { return ++progressCalls, 1; });
    Masks masks{"huge.bin", "d.txt"};
    CompressFileMaskListZip(masks.get());
    EXPECT_EQ(GetArchiveStatus(), 5);
    DoneZipFile();
    EXPECT_EQ(progressCalls, 0);
    EXPECT_EQ(ReadFile(archive), original);
}

TEST_F(UpdateTest, The65536thEntryCannotBeRecorded) {
    int rc = 0;
    // 65,535 empty stored entries, packed directly (zipfile would take seconds).
    Py("import struct,sys\nout=bytearray(); cd=bytearray()\n"
       "for i in range(65535):\n"
       " n=b\"e%05d\" % i; off=len(out)\n"
       " out+=struct.pack(\"<IHHHHHIIIHH\",0x04034b50,10,0,0,0,0x21,0,0,0,len(n),0)+n\n"
       " cd+=struct.pack(\"<IHHHHHHIIIHHHHHII\",0x02014b50,20,10,0,0,0,0x21,0,0,0,len(n),0,0,0,0,0,off)+n\n"
       "end=struct.pack(\"<IHHHHIIH\",0x06054b50,0,0,65535,65535,len(cd),len(out),0)\n"
       "open(sys.argv[1],\"wb\").write(out+cd+end)",
       archive, &rc);
    ASSERT_EQ(rc, 0);
    const std::vector<uint8_t> full = ReadFile(archive);
    EXPECT_EQ(Update({"d.txt"}, false), 5);
    EXPECT_EQ(ReadFile(archive), full);
    // The archive itself is fine: rewritten without a new entry it stays whole.
    EXPECT_EQ(Update({}, false), 0);
    EXPECT_EQ(ReadFile(archive), full);
}

TEST_F(UpdateTest, MoreThan65535NamedFilesAreRefusedBeforeAnyIsRead) {
    std::vector<std::string> names;
    for (int i = 0; i <= 65535; ++i) names.push_back("f" + std::to_string(i) + ".txt");
    names.push_back("d.txt");
    static int progressCalls;
    progressCalls = 0;
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    SetInputPath(EnginePath(tmp.path()).c_str());
    SetSetFileNameProc(0, Answers::FileName);
    SetSetProgressProc(0, [](uint32_t, int32_t) -> int32_t { return ++progressCalls, 1; });
    Masks masks(names);
    CompressFileMaskListZip(masks.get());
    EXPECT_EQ(GetArchiveStatus(), VxTooManyEntries);
    DoneZipFile();
    EXPECT_EQ(progressCalls, 0);
    EXPECT_TRUE(Answers::names.empty());
    EXPECT_EQ(ReadFile(archive), original);
    EXPECT_FALSE(FileExists(tmp / "py.!!!"));
}

TEST(UpdateNewArchive, SecondUpdateWithoutReopeningKeepsTheFirstEntries) {
    VXTEST_NEEDS_POSIX("Python's zipfile to judge the archive");
    ResetEngine();
    TempDir tmp;
    WriteFile(tmp / "one.txt", TextBytes(1000, 1));
    WriteFile(tmp / "two.txt", TextBytes(1000, 2));
    const std::string archive = tmp / "new.zip";
    CreateZipFile(EnginePath(archive).c_str());
    SetInputPath(EnginePath(tmp.path()).c_str());
    {
        Masks masks{"one.txt"};
        CompressFileMaskListZip(masks.get());
        ASSERT_EQ(GetArchiveStatus(), 0);
    }
    {
        Masks masks{"two.txt"};
        CompressFileMaskListZip(masks.get());
        ASSERT_EQ(GetArchiveStatus(), 0);
    }
    DoneZipFile();
    EXPECT_EQ(PyNames(archive), Lines({"one.txt", "two.txt"}));
    EXPECT_TRUE(PyTestZip(archive));
    ResetEngine();
}

TEST(UpdateNewArchive, StripPathsStoresTheFileNameButReportsTheFullName) {
    VXTEST_NEEDS_POSIX("Python's zipfile to judge the archive");
    ResetEngine();
    TempDir tmp;
    std::filesystem::create_directories(tmp / "x/y");
    WriteFile(tmp / "x/y/deep.txt", TextBytes(100, 1));
    const std::string archive = tmp / "s.zip";
    CreateZipFile(EnginePath(archive).c_str());
    SetInputPath(EnginePath(tmp.path()).c_str());
    arOptionsOn(arStripPaths);
    Answers::Reset();
    SetSetFileNameProc(0, Answers::FileName);
    Masks masks{"x\\y\\deep.txt"};
    CompressFileMaskListZip(masks.get());
    EXPECT_EQ(GetArchiveStatus(), 0);
    DoneZipFile();
    arOptionsOff(arStripPaths);
    EXPECT_EQ(PyNames(archive), "deep.txt\n");
    EXPECT_EQ(Answers::names, std::vector<std::string>{"\\x\\y\\deep.txt"});
    ResetEngine();
}

TEST(UpdateNames, StoredNameRules) {
    struct Case {
        const char* relative;
        uint16_t options;
        const char* path;
        const char* stored;
    };
    const Case cases[] = {
        {"", 0, "dir\\a.txt", "dir\\a.txt"},
        {"", 0, "C:\\data\\a.txt", "data\\a.txt"},
        {"", 0, "\\\\server\\share\\dir\\a.txt", "dir\\a.txt"},
        {"", 0, "\\root\\a.txt", "root\\a.txt"},
        {"docs", 0, "C:\\work\\a.txt", "docs\\work\\a.txt"},
        {"", arNoInputPath, "C:\\work\\sub\\a.txt", "a.txt"},
        {"", 0, "..\\a.txt", "a.txt"},
        {"", 0, "..\\..\\x\\..\\a.txt", "x\\a.txt"},
        {"", 0, ".\\sub\\.\\a.txt", "sub\\a.txt"},
        {"C:\\base", 0, "a.txt", "base\\a.txt"},
        {"", arStripPaths, "x\\y\\a.txt", "a.txt"},
        {"", 0, "a\\C:x", "a\\C:x"},  // extracted under the same name
        {"", 0, "\\\\two.txt", "two.txt"},
        {"", 0, "sub\\.env", "sub\\.env"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ResetEngine();
        SetRelativePath(c.relative);
        arOptionsOn(c.options);
        char out[vardex::kPathField];
        vardex::EntryNameFor(c.path, out);
        EXPECT_STREQ(out, c.stored);
    }
    ResetEngine();
}

TEST(UpdateNames, NamesOutsideAsciiAreWrittenAsUtf8) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form and Python's zipfile");
    ResetEngine();
    TempDir tmp;
    // Even a name CP437 could hold: tools on POSIX read only the UTF-8 flag.
    WriteFile(tmp / "caf\xc3\xa9.txt", "cp437 has e-acute");
    WriteFile(tmp / "\xe6\x97\xa5.txt", "cp437 has no CJK");
    const std::string archive = tmp / "u.zip";
    ASSERT_EQ(CreateArchive(archive, tmp.path(), {"caf\xc3\xa9.txt", "\xe6\x97\xa5.txt"}), 0);
    EXPECT_EQ(Py("import zipfile,sys\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                 "print(i.filename, i.flag_bits & 0x800)",
                 archive),
              "caf\xc3\xa9.txt 2048\n\xe6\x97\xa5.txt 2048\n");
    // Carried over by a later update, both names stay as they are.
    WriteFile(tmp / "z.txt", "z");
    ASSERT_EQ(UpdateArchive(archive, tmp.path(), {"z.txt"}), 0);
    EXPECT_EQ(Py("import zipfile,sys\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                 "print(i.filename, i.flag_bits & 0x800)",
                 archive),
              "caf\xc3\xa9.txt 2048\n\xe6\x97\xa5.txt 2048\nz.txt 0\n");
    EXPECT_TRUE(PyTestZip(archive));
    ResetEngine();
}

}  // namespace

namespace {

TEST_F(UpdateTest, OpeningNeverRemovesRenamesOrReplacesAFile) {
    // What a crash of an older rewrite, or an unrelated file, may leave
    // beside an archive: opening only reads, and every file stays as it was.
    const std::vector<uint8_t> partial(original.begin(), original.begin() + 100);
    const std::vector<uint8_t> damagedJar = {'P', 'K', 3, 4, 'n', 'o', ' ', 'e', 'n', 'd'};
    struct Case {
        const char* opened;
        std::vector<uint8_t> openedBytes;  // empty: no file under that name
        const char* beside;
        uint16_t status;
    };
    const Case cases[] = {
        {"py.zip", {}, "py.!!!", VX_FILE_ERROR},
        {"py.zip", partial, "py.!!!", VX_NOT_AN_ARCHIVE},
        {"pack.jar", damagedJar, "pack.!!!", VX_NOT_AN_ARCHIVE},
        {"py.zip", original, "py.!!!", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opened);
        const std::string opened = tmp / c.opened;
        std::remove(opened.c_str());
        if (!c.openedBytes.empty()) WriteFile(opened, c.openedBytes);
        WriteFile(tmp / c.beside, original);
        ResetEngine();
        InitZipFile(EnginePath(opened).c_str());
        EXPECT_EQ(GetArchiveStatus(), c.status);
        ZipFileList list;
        InitZipFileList(&list);
        BuildZipFileList(&list, nullptr);
        DoneZipFileList(&list);
        DoneZipFile();
        EXPECT_EQ(FileExists(opened), !c.openedBytes.empty());
        if (!c.openedBytes.empty()) {
            EXPECT_EQ(ReadFile(opened), c.openedBytes);
        }
        EXPECT_EQ(ReadFile(tmp / c.beside), original);
        std::remove((tmp / c.beside).c_str());
    }
}

}  // namespace

namespace {

TEST_F(UpdateTest, ProgressOfTheStoredPassAndCancelling) {
    static std::vector<int32_t> reports;
    static int32_t cancelAt;
    struct Case {
        size_t size;
        std::vector<int32_t> storedTail;  // the stored pass's reports, after Deflate's
    };
    for (const Case& c : {Case{4096, {0, 100}}, Case{5000, {0, 81}}}) {
        SCOPED_TRACE(c.size);
        WriteFile(archive, original);
        WriteFile(tmp / "r.bin", RandomBytes(c.size, 5));
        reports.clear();
        cancelAt = -1;
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        SetInputPath(EnginePath(tmp.path()).c_str());
        SetSetProgressProc(0, [](uint32_t, int32_t percent) -> int32_t {
            reports.push_back(percent);
            return static_cast<int32_t>(reports.size()) == cancelAt ? 0 : 1;
        });
        Masks masks{"r.bin"};
        CompressFileMaskListZip(masks.get());
        ASSERT_EQ(GetArchiveStatus(), 0);
        DoneZipFile();
        ASSERT_GE(reports.size(), c.storedTail.size());
        EXPECT_EQ(std::vector<int32_t>(reports.end() - 2, reports.end()), c.storedTail);
        EXPECT_EQ(PyRead(archive, "r.bin"), RandomBytes(c.size, 5));

        // Cancelled in the stored pass: status 2926, the old archive back.
        WriteFile(archive, original);
        cancelAt = static_cast<int32_t>(reports.size());
        reports.clear();
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        SetInputPath(EnginePath(tmp.path()).c_str());
        SetSetProgressProc(0, [](uint32_t, int32_t percent) -> int32_t {
            reports.push_back(percent);
            return static_cast<int32_t>(reports.size()) == cancelAt ? 0 : 1;
        });
        CompressFileMaskListZip(masks.get());
        EXPECT_EQ(GetArchiveStatus(), VX_CANCELLED);
        DoneZipFile();
        EXPECT_EQ(ReadFile(archive), original);
    }
}

}  // namespace

namespace {

TEST(UpdateRoundTrip, OwnExtractionReadsWhatTheUpdateWrote) {
    for (const std::string password : {"", "s3cret"}) {
        SCOPED_TRACE(password);
        TempDir tmp;
        const std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
            {"e.txt", {}}, {"t.txt", TextBytes(100000, 1)}, {"r.bin", RandomBytes(9000, 2)}};
        std::vector<std::string> names;
        for (const auto& [name, data] : files) {
            WriteFile(tmp / name, data);
            names.push_back(name);
        }
        const std::string archive = tmp / "rt.zip";
        ASSERT_EQ(CreateArchive(archive, tmp.path(), names, password), 0);
        std::filesystem::create_directories(tmp / "out");
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        SetOutputPath(EnginePath(tmp / "out").c_str());
        SetCryptKey(password.c_str());
        SetSetCryptKeyProc(0, [](uint32_t, char*, const char*) -> int32_t { return 0; });
        ExtractFileMaskListZip(nullptr);
        EXPECT_EQ(GetArchiveStatus(), 0);
        DoneZipFile();
        for (const auto& [name, data] : files) EXPECT_EQ(ReadFile(tmp / ("out/" + name)), data) << name;
    }
    ResetEngine();
}

}  // namespace
