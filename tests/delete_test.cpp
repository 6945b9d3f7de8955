// Deleting entries, and the rewrite under it: what stays keeps its bytes,
// its comments and extra fields, the archive comment and any prefix; the
// archive goes when its last entry does.
#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <vector>

#include "api/engine.h"
#include "platform/platform.h"
#include "update_helpers.h"

using namespace vxtest;

namespace {

// An archive written by Info-ZIP zip with a prefix in front (as a
// self-extractor head would be), adjusted offsets, an archive comment, entry
// comments and zip's own extra fields.
void MakeZipArchive(const TempDir& tmp, const std::string& archive) {
    std::filesystem::create_directories(tmp / "in/docs");
    WriteFile(tmp / "in/keep.txt", TextBytes(4000, 1));
    WriteFile(tmp / "in/drop.txt", TextBytes(3000, 2));
    WriteFile(tmp / "in/docs/a.log", TextBytes(2000, 3));
    WriteFile(tmp / "in/docs/b.log", RandomBytes(1500, 4));
    std::string out;
    ASSERT_EQ(Run("cd " + tmp / "in" + " && zip -q -X- -r " + tmp / "plain.zip" +
                      " keep.txt drop.txt docs/a.log docs/b.log"
                      " && printf 'the archive comment' | zip -q -z " + tmp / "plain.zip" +
                      " && printf 'keep comment\\n.\\n' | zip -q -c " + tmp / "plain.zip" + " keep.txt",
                  &out),
              0)
        << out;
    std::vector<uint8_t> bytes(5000, 0x90);  // the prefix
    const std::vector<uint8_t> zip = ReadFile(tmp / "plain.zip");
    bytes.insert(bytes.end(), zip.begin(), zip.end());
    WriteFile(archive, bytes);
    ASSERT_EQ(Run("zip -q -A " + archive, &out), 0) << out;
}

class DeleteTest : public ::testing::Test {
protected:
    void SetUp() override {
        VXTEST_NEEDS_POSIX("Info-ZIP zip and Python's zipfile to make and judge the archives");
        ResetEngine();
        MakeZipArchive(tmp, archive);
        original = ReadFile(archive);
    }
    void TearDown() override {
        vardex::platform::SetWriteBudgetForTesting(-1);
        ResetEngine();
    }
    uint16_t Delete(std::initializer_list<std::string> masks) {
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        EXPECT_EQ(GetArchiveStatus(), 0);
        SetSetFileNameProc(0, [](uint32_t, const char* from, const char* to) -> int32_t {
            EXPECT_STREQ(from, to);
            deleted.push_back(from);
            return 1;
        });
        Masks list(masks);
        DeleteFileMaskListZip(list.get());
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return status;
    }
    static inline std::vector<std::string> deleted;
    TempDir tmp;
    std::string archive = tmp / "sfx.zip";
    std::vector<uint8_t> original;
};

TEST_F(DeleteTest, KeptEntriesPrefixCommentsAndExtraFieldsSurvive) {
    const std::string details =
        "import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\nprint(z.comment)\n"
        "for i in z.infolist(): print(i.filename, i.comment, i.extra.hex(), i.CRC)";
    const std::string before = Py(details, archive);
    const std::vector<uint8_t> rawKeep = RawEntry(archive, "keep.txt");
    const std::vector<uint8_t> rawB = RawEntry(archive, "docs/b.log");
    deleted.clear();
    ASSERT_EQ(Delete({"drop.txt", "docs\\a.*"}), 0);
    EXPECT_EQ(deleted, (std::vector<std::string>{"\\drop.txt", "\\docs\\a.log"}));
    EXPECT_EQ(PyNames(archive), Lines({"keep.txt", "docs/b.log"}));
    EXPECT_TRUE(PyTestZip(archive));
    EXPECT_EQ(RawEntry(archive, "keep.txt"), rawKeep);
    EXPECT_EQ(RawEntry(archive, "docs/b.log"), rawB);
    // The prefix is still in front, and every offset counts it.
    const std::vector<uint8_t> now = ReadFile(archive);
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 5000, now.begin()));
    std::string out;
    EXPECT_EQ(Sh("unzip -t " + archive, &out), 0) << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << out;
    // Comments and extra fields of what stayed are as they were.
    std::string expected;
    for (size_t start = 0, end; (end = before.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = before.substr(start, end - start + 1);
        if (line.find("drop.txt") == std::string::npos && line.find("a.log") == std::string::npos)
            expected += line;
    }
    EXPECT_EQ(Py(details, archive), expected);
}

TEST_F(DeleteTest, MasksThatMatchNothingRewriteTheSameEntries) {
    deleted.clear();
    ASSERT_EQ(Delete({"nothing.*", "docs\\*.txt"}), 0);
    EXPECT_TRUE(deleted.empty());
    EXPECT_EQ(PyNames(archive), Lines({"keep.txt", "drop.txt", "docs/a.log", "docs/b.log"}));
    EXPECT_TRUE(PyTestZip(archive));
    // zip wrote no data descriptors: the rewrite gives back the same file.
    EXPECT_EQ(ReadFile(archive), original);
}

TEST_F(DeleteTest, DeletingEveryEntryRemovesTheArchive) {
    for (bool emptyList : {false, true}) {
        SCOPED_TRACE(emptyList);
        WriteFile(archive, original);
        if (emptyList)
            ASSERT_EQ(Delete({}), 0);
        else
            ASSERT_EQ(Delete({"*.*", "docs\\*.*"}), 0);
        EXPECT_FALSE(FileExists(archive));
        EXPECT_FALSE(FileExists(tmp / "sfx.!!!"));
    }
    // Without a new InitZipFile there is no archive to list.
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    EXPECT_EQ(GetArchiveStatus(), VX_FILE_ERROR);
    WriteFile(archive, original);
    InitZipFile(EnginePath(archive).c_str());
    Masks all;
    DeleteFileMaskListZip(all.get());
    ASSERT_EQ(GetArchiveStatus(), 0);
    ZipFileList list;
    InitZipFileList(&list);
    BuildZipFileList(&list, all.get());
    EXPECT_EQ(GetArchiveStatus(), VX_FILE_ERROR);  // the emptied archive is gone
    EXPECT_EQ(list.count, 0);
    DoneZipFileList(&list);
}

TEST_F(DeleteTest, ShortWriteLeavesTheOldArchiveByteForByte) {
    // The size of the finished archive, from a run on a copy.
    const std::string probe = tmp / "probe.zip";
    WriteFile(probe, original);
    ResetEngine();
    InitZipFile(EnginePath(probe).c_str());
    Masks drop{"drop.txt"};
    DeleteFileMaskListZip(drop.get());
    ASSERT_EQ(GetArchiveStatus(), 0);
    DoneZipFile();
    const int64_t size = static_cast<int64_t>(ReadFile(probe).size());
    // Ends in the prefix, in copied entries, in the directory, in the end record.
    for (int64_t budget : {int64_t{0}, int64_t{100}, int64_t{5000}, size / 2, size - 100, size - 10, size - 1}) {
        SCOPED_TRACE(budget);
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        Masks list{"drop.txt"};
        vardex::platform::SetWriteBudgetForTesting(budget);
        DeleteFileMaskListZip(list.get());
        vardex::platform::SetWriteBudgetForTesting(-1);
        EXPECT_EQ(GetArchiveStatus(), VX_SHORT_WRITE);
        DoneZipFile();
        EXPECT_EQ(ReadFile(archive), original);
        EXPECT_FALSE(FileExists(tmp / "sfx.!!!"));
    }
}

TEST_F(DeleteTest, ArchiveWithoutExtensionGetsTheSameBackupName) {
    const std::string bare = tmp / "bare";
    WriteFile(bare, original);
    WriteFile(tmp / "bare.!!!", "left by an interrupted run");
    ResetEngine();
    InitZipFile(EnginePath(bare).c_str());
    Masks list{"drop.txt"};
    DeleteFileMaskListZip(list.get());
    EXPECT_EQ(GetArchiveStatus(), 0);
    DoneZipFile();
    EXPECT_FALSE(FileExists(tmp / "bare.!!!"));
    EXPECT_EQ(PyNames(bare), Lines({"keep.txt", "docs/a.log", "docs/b.log"}));
}

TEST_F(DeleteTest, AfterCommitTheNewArchiveIsOpenReadWrite) {
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    Masks list{"drop.txt"};
    DeleteFileMaskListZip(list.get());
    ASSERT_EQ(GetArchiveStatus(), 0);
    EXPECT_TRUE(arOptionsAreOn(arDeleteDone));
    EXPECT_FALSE(arOptionsAreOn(arUpdateDone));
    // Listing finds the new end record without reopening; a second delete
    // works on the same handle.
    Masks all;
    ZipFileList entries;
    InitZipFileList(&entries);
    BuildZipFileList(&entries, all.get());
    EXPECT_EQ(GetArchiveStatus(), 0);
    EXPECT_EQ(entries.count, 3);
    DoneZipFileList(&entries);
    Masks more{"keep.txt"};
    DeleteFileMaskListZip(more.get());
    EXPECT_EQ(GetArchiveStatus(), 0);
    DoneZipFile();
    EXPECT_EQ(PyNames(archive), Lines({"docs/a.log", "docs/b.log"}));
}

}  // namespace
