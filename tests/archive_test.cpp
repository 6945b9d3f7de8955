// Opening, creating and closing archives; the end-record search; entry lists
// built from well-formed, odd and hostile central directories.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "api/engine.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "support/test_support.h"

using vardex::engine;
using vxtest::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

using vxtest::Put16;
using vxtest::Put32;
void PutBytes(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// A hand-made archive of stored entries, so that every field of the central
// directory and the end record can be set, including wrong ones.
struct Entry {
    std::string name;
    std::string data;
    std::string extra;
    std::string comment;
    uint16_t flags = 0;
};

struct Layout {
    std::string prefix;              // bytes in front of the first entry
    std::vector<Entry> entries;
    std::string archiveComment;
    std::string trailer;             // bytes behind the comment
    int32_t countOverride = -1;      // both count fields
    int64_t offsetOverride = -1;     // the central directory offset
    int32_t commentLengthOverride = -1;
    bool endRecord = true;
};

Bytes BuildArchive(const Layout& l) {
    Bytes out(l.prefix.begin(), l.prefix.end());
    std::vector<uint32_t> offsets;
    for (const Entry& e : l.entries) {
        offsets.push_back(static_cast<uint32_t>(out.size()));
        Put32(out, 0x04034B50);
        Put16(out, 10);
        Put16(out, e.flags);
        Put16(out, 0);
        Put16(out, 0x6000);
        Put16(out, 0x5821);
        Put32(out, 0x12345678);
        Put32(out, static_cast<uint32_t>(e.data.size()));
        Put32(out, static_cast<uint32_t>(e.data.size()));
        Put16(out, static_cast<uint32_t>(e.name.size()));
        Put16(out, 0);
        PutBytes(out, e.name);
        PutBytes(out, e.data);
    }
    const uint32_t centralOffset = static_cast<uint32_t>(out.size());
    for (size_t i = 0; i < l.entries.size(); ++i) {
        const Entry& e = l.entries[i];
        Put32(out, 0x02014B50);
        Put16(out, 20);
        Put16(out, 10);
        Put16(out, e.flags);
        Put16(out, 0);
        Put16(out, 0x6000);
        Put16(out, 0x5821);
        Put32(out, 0x12345678);
        Put32(out, static_cast<uint32_t>(e.data.size()));
        Put32(out, static_cast<uint32_t>(e.data.size()));
        Put16(out, static_cast<uint32_t>(e.name.size()));
        Put16(out, static_cast<uint32_t>(e.extra.size()));
        Put16(out, static_cast<uint32_t>(e.comment.size()));
        Put16(out, 0);
        Put16(out, 0);
        Put32(out, 0x20);
        Put32(out, offsets[i]);
        PutBytes(out, e.name);
        PutBytes(out, e.extra);
        PutBytes(out, e.comment);
    }
    const uint32_t centralSize = static_cast<uint32_t>(out.size()) - centralOffset;
    if (l.endRecord) {
        const uint32_t count = l.countOverride >= 0 ? l.countOverride : static_cast<uint32_t>(l.entries.size());
        Put32(out, 0x06054B50);
        Put16(out, 0);
        Put16(out, 0);
        Put16(out, count);
        Put16(out, count);
        Put32(out, centralSize);
        Put32(out, l.offsetOverride >= 0 ? static_cast<uint32_t>(l.offsetOverride) : centralOffset);
        Put16(out, l.commentLengthOverride >= 0 ? static_cast<uint32_t>(l.commentLengthOverride)
                                                 : static_cast<uint32_t>(l.archiveComment.size()));
        PutBytes(out, l.archiveComment);
    }
    PutBytes(out, l.trailer);
    return out;
}

Layout ThreeEntries() {
    Layout l;
    l.entries = {{"one.txt", "first", "", "", 0}, {"dir/two.txt", "second", "", "", 0}, {"three.bin", "3", "", "", 0}};
    return l;
}

std::vector<std::string> Names(const ZipFileList& list) {
    std::vector<std::string> names;
    for (ZipFileEntry* e = list.first; e; e = e->next) names.push_back(e->name);
    return names;
}

class Archive : public ::testing::Test {
protected:
    void SetUp() override { vxtest::ResetEngine(); }
    void TearDown() override {
        DoneZipFileList(&list_);
        vxtest::ResetEngine();
    }

    // Writes the bytes to a file in the temp dir; returns its engine path.
    std::string Write(const std::string& name, const Bytes& bytes) {
        vxtest::WriteFile(dir_ / name, bytes);
        return vxtest::EnginePath(dir_ / name);
    }

    // Opens the bytes as an archive and lists it with the given masks.
    uint16_t OpenAndList(const Bytes& bytes, const std::vector<const char*>& masks = {}) {
        InitZipFile(Write("a.zip", bytes).c_str());
        if (GetArchiveStatus() != 0) return GetArchiveStatus();
        return List(masks);
    }

    uint16_t List(const std::vector<const char*>& masks = {}) {
        FileMaskList m;
        InitFileMaskList(&m);
        for (const char* mask : masks) AppendFileMask(mask, &m);
        BuildZipFileList(&list_, &m);
        DoneFileMaskList(&m);
        return GetArchiveStatus();
    }

    TempDir dir_;
    ZipFileList list_{nullptr, nullptr, 0};
};

// --- opening: the end-record search ---------------------------------------

TEST_F(Archive, InitZipFileFindsTheEndRecordOrSaysWhy) {
    Layout crossing = ThreeEntries();
    crossing.archiveComment = std::string(44, 'c');  // signature starts 66 bytes before the end
    Layout longTail = ThreeEntries();
    longTail.trailer = std::string(70000, 't');      // searched back beyond 64 KiB
    Layout fullComment = ThreeEntries();
    fullComment.archiveComment = std::string(65535, 'k');
    struct Case {
        const char* what;
        Bytes bytes;
        uint16_t status;
    } cases[] = {
        {"plain archive", BuildArchive(ThreeEntries()), 0},
        {"signature across two windows", BuildArchive(crossing), 0},
        {"70,000 bytes behind the end record", BuildArchive(longTail), 0},
        {"65,535-byte comment", BuildArchive(fullComment), 0},
        {"empty file", {}, VX_NOT_AN_ARCHIVE},
        {"3 bytes", {'P', 'K', 5}, VX_NOT_AN_ARCHIVE},
        {"text file", Bytes(5000, 'x'), VX_NOT_AN_ARCHIVE},
    };
    for (const Case& c : cases) {
        vxtest::ResetEngine();
        InitZipFile(Write("a.zip", c.bytes).c_str());
        EXPECT_EQ(GetArchiveStatus(), c.status) << c.what;
        EXPECT_EQ(engine().archive.handle >= 0, c.status == 0) << c.what;
        DoneZipFile();
    }
    InitZipFile(vxtest::EnginePath(dir_ / "missing.zip").c_str());
    EXPECT_EQ(GetArchiveStatus(), VX_FILE_ERROR);
    EXPECT_EQ(engine().archive.handle, -1);
}

TEST_F(Archive, EndRecordIsFoundWhereverItLiesBehindTheDirectory) {
    // Trailing bytes of every length from 0 to 300 move the signature across
    // every window boundary of the first few windows; lengths around 15,300
    // across the boundary of the blocks the windows are read in.
    std::vector<size_t> tails;
    for (size_t tail = 0; tail <= 300; ++tail) tails.push_back(tail);
    for (size_t tail = 15200; tail <= 15500; ++tail) tails.push_back(tail);
    for (size_t tail : tails) {
        vxtest::ResetEngine();
        Layout l = ThreeEntries();
        l.trailer = std::string(tail, 'z');
        const Bytes bytes = BuildArchive(l);
        InitZipFile(Write("a.zip", bytes).c_str());
        ASSERT_EQ(GetArchiveStatus(), 0) << tail;
        EXPECT_EQ(engine().archive.cachedEndPos, static_cast<int64_t>(bytes.size() - tail - 18)) << tail;
    }
}

// The search read window by window: 64 bytes from the end, then 60 bytes
// further back each time with the 4 bytes of the window behind it kept, the
// first occurrence in a window counting.  Returns the position behind the
// signature, -1 when there is none.
int64_t WindowByWindowSearch(const Bytes& file) {
    const int64_t length = static_cast<int64_t>(file.size());
    int64_t p = length > 64 ? length - 64 : 0;
    Bytes window(file.begin() + p, file.end());
    for (;;) {
        for (size_t i = 0; i + 4 <= window.size(); ++i)
            if (window[i] == 'P' && window[i + 1] == 'K' && window[i + 2] == 5 && window[i + 3] == 6)
                return p + static_cast<int64_t>(i) + 4;
        if (p == 0) return -1;
        Bytes kept(window.begin(), window.begin() + static_cast<long>(std::min<size_t>(4, window.size())));
        const int64_t next = p > 60 ? p - 60 : 0;
        window.assign(file.begin() + next, file.begin() + p);
        window.insert(window.end(), kept.begin(), kept.end());
        p = next;
    }
}

TEST_F(Archive, SearchFindsTheSignatureTheWindowsFindAmongMany) {
    std::mt19937 rng(1);
    for (int round = 0; round < 120; ++round) {
        vxtest::ResetEngine();
        Bytes file = vxtest::RandomBytes(rng() % 32000, round);
        for (unsigned n = rng() % 6; n > 0 && file.size() >= 4; --n) {
            const size_t at = rng() % (file.size() - 3);
            file[at] = 'P', file[at + 1] = 'K', file[at + 2] = 5, file[at + 3] = 6;
        }
        const int64_t expected = WindowByWindowSearch(file);
        InitZipFile(Write("a.zip", file).c_str());
        EXPECT_EQ(GetArchiveStatus(), expected < 0 ? VX_NOT_AN_ARCHIVE : 0) << round;
        if (expected >= 0) {
            EXPECT_EQ(engine().archive.cachedEndPos, expected) << round;
        }
        DoneZipFile();
    }
}

TEST_F(Archive, CommentOfSignatureAcrossWindowsIsReadWhole) {
    Layout l = ThreeEntries();
    l.archiveComment = "a 44-byte comment: 0123456789 abcdefghijklmn";
    ASSERT_EQ(l.archiveComment.size(), 44u);
    ASSERT_EQ(OpenAndList(BuildArchive(l)), 0);
    EXPECT_EQ(+list_.count, 3);
    ASSERT_NE(engine().archive.comment, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(engine().archive.comment), engine().archive.end.commentLength),
              l.archiveComment);
}

TEST_F(Archive, InitZipFileLearnsTheBytesInFrontOfTheFirstEntry) {
    Layout l = ThreeEntries();
    l.prefix = std::string(1234, 'S');
    const std::string path = Write("sfx.zip", BuildArchive(l));
    InitZipFile(path.c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
    EXPECT_EQ(engine().archive.firstEntryOffset, 1234u);
    EXPECT_STREQ(engine().archive.path, path.c_str());
    EXPECT_FALSE(engine().archive.newArchive);
    EXPECT_TRUE(arOptionsAreOn(arKeepExtraFields | arArchiveInit));
    DoneZipFile();

    // Also for an archive the user may not write to: the scan only reads.
    vxtest::ReadOnlyEnforced readOnly;
    chmod((dir_ / "sfx.zip").c_str(), 0444);
    vxtest::ResetEngine();
    InitZipFile(path.c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
    EXPECT_EQ(engine().archive.firstEntryOffset, 1234u);
}

TEST_F(Archive, InitZipFileClearsCallbacksCreateZipFileKeepsThem) {
    auto progress = [](uint32_t, int32_t) -> int32_t { return 1; };
    const std::string archive = Write("a.zip", BuildArchive(ThreeEntries()));
    SetSetProgressProc(7, progress);
    InitZipFile(archive.c_str());
    EXPECT_FALSE(engine().progressProc);
    DoneZipFile();

    SetSetProgressProc(7, progress);
    CreateZipFile(vxtest::EnginePath(dir_ / "new.zip").c_str());
    EXPECT_TRUE(engine().progressProc);
    EXPECT_EQ(engine().progressProc.hostWord, 7u);
    DoneZipFile();
}

namespace {
int32_t AnyName(uint32_t, const char*, const char*) { return 1; }
int32_t AnySkip(uint32_t, const char*) { return 1; }
int32_t AnyKey(uint32_t, char*, const char*) { return 1; }
int32_t AnyPercent(uint32_t, int32_t) { return 1; }
int32_t AnyReplace(uint32_t, WIN32_FIND_DATAA*, WIN32_FIND_DATAA*) { return 1; }
int32_t AnyDisk(uint32_t, int32_t, char*) { return 1; }

// Sets every setting the engine keeps to a value unlike its default.
void SetEverything() {
    SetArchiveStatus(VX_CRC_MISMATCH);
    arOptionsOn(arUsePaths | arStripPaths);
    SetInputPath("in\\dir");
    SetOutputPath("out\\dir");
    SetRelativePath("base");
    SetCryptKey("secret");
    SetPackLevel(4);
    const uint32_t desc[10] = {0, 0, 0, 0, 0, 0, 60, 70, 80, 3};
    SetArcerStats(desc);
    SetSetFileNameProc(1, AnyName);
    SetSkipFileProc(2, AnySkip);
    SetSetCryptKeyProc(3, AnyKey);
    SetSetProgressProc(4, AnyPercent);
    SetOkToReplaceProc(5, AnyReplace);
    SetGetNextDiskProc(6, AnyDisk);
    SetSetSfxProgressProc(7, AnyPercent);
}

int RegisteredCallbacks() {
    const auto& e = engine();
    return bool(e.fileNameProc) + bool(e.skipFileProc) + bool(e.cryptKeyProc) + bool(e.progressProc) +
           bool(e.okToReplaceProc) + bool(e.nextDiskProc) + bool(e.sfxProgressProc);
}
}  // namespace

TEST_F(Archive, InitZipFileResetsItsSettingsCreateZipFileOnlyTheDescriptor) {
    const uint32_t defaults[10] = {1023, 20, 1, 32, 32, 1, 20, 32, 0, 1};
    const std::string archive = Write("a.zip", BuildArchive(ThreeEntries()));

    SetEverything();
    InitZipFile(archive.c_str());
    EXPECT_EQ(GetArchiveStatus(), 0);
    EXPECT_EQ(engine().passwordSet, 0u);
    EXPECT_EQ(engine().packLevel, 0);
    EXPECT_EQ(memcmp(engine().descriptor, defaults, sizeof defaults), 0);
    EXPECT_STREQ(engine().relativePath, "");
    EXPECT_EQ(RegisteredCallbacks(), 0);
    // Kept: the options (with the two InitZipFile sets), both paths and the password text.
    EXPECT_TRUE(arOptionsAreOn(arUsePaths | arStripPaths | arArchiveInit | arKeepExtraFields));
    EXPECT_STREQ(engine().inputPath, "in\\dir\\");
    EXPECT_STREQ(engine().outputPath, "out\\dir\\");
    EXPECT_STREQ(engine().password, "secret");
    DoneZipFile();

    SetEverything();
    CreateZipFile(vxtest::EnginePath(dir_ / "new.zip").c_str());
    EXPECT_EQ(GetArchiveStatus(), 0);
    EXPECT_EQ(memcmp(engine().descriptor, defaults, sizeof defaults), 0);
    EXPECT_EQ(engine().passwordSet, 1u);
    EXPECT_EQ(engine().packLevel, 4);
    EXPECT_STREQ(engine().relativePath, "base");
    EXPECT_EQ(RegisteredCallbacks(), 7);
    EXPECT_EQ(engine().sfxProgressProc.hostWord, 7u);
    EXPECT_TRUE(arOptionsAreOn(arUsePaths | arStripPaths));
    SetArchiveStatus(VX_CRC_MISMATCH);
    DoneZipFile();
    EXPECT_EQ(GetArchiveStatus(), VX_CRC_MISMATCH) << "DoneZipFile leaves the status alone";
}

// --- creating and closing ---------------------------------------------------

TEST_F(Archive, CreateZipFileAddsZipExtensionOnlyWhenTheNameHasNone) {
    mkdir((dir_ / "my.dir").c_str(), 0755);
    struct Case {
        const char* given;
        const char* created;
    } cases[] = {
        {"plain", "plain.ZIP"},
        {"dotted.zip", "dotted.zip"},
        {"trailing.", "trailing."},
        {"my.dir/inner", "my.dir/inner.ZIP"},
    };
    for (const Case& c : cases) {
        CreateZipFile(vxtest::EnginePath(dir_ / c.given).c_str());
        EXPECT_EQ(GetArchiveStatus(), 0) << c.given;
        EXPECT_TRUE(vxtest::FileExists(dir_ / c.created)) << c.given;
        EXPECT_STREQ(engine().archive.path, vxtest::EnginePath(dir_ / c.created).c_str());
        EXPECT_TRUE(engine().archive.newArchive);
        DoneZipFile();
        // Empty: DoneZipFile removed it.
        EXPECT_FALSE(vxtest::FileExists(dir_ / c.created)) << c.given;
    }
}

TEST_F(Archive, CreateZipFileRefusesANameThatDoesNotFitWhole) {
    // Paths of 252 and 253 characters without extension: with ".ZIP" they
    // pass 255, and a cut name would be another file, which DoneZipFile must
    // never remove.  251 characters still fit.
    const std::string base = vxtest::EnginePath(dir_.path()) + "\\";
    for (size_t length : {252u, 253u, 251u}) {
        SCOPED_TRACE(length);
        const std::string given = base + std::string(length - base.size(), 'n');
        const std::string native = dir_ / std::string(length - base.size(), 'n');
        vxtest::WriteFile(native + ".ZI", Bytes{});
        vxtest::WriteFile(native + ".Z", Bytes{});
        CreateZipFile(given.c_str());
        const bool fits = length + 4 <= 255;
        EXPECT_EQ(GetArchiveStatus(), fits ? 0 : VX_FILE_ERROR);
        EXPECT_EQ(vxtest::FileExists(native + ".ZIP"), fits);
        DoneZipFile();
        EXPECT_TRUE(vxtest::FileExists(native + ".ZI"));
        EXPECT_TRUE(vxtest::FileExists(native + ".Z"));
    }
}

TEST_F(Archive, CreateZipFileOnAnExistingFileKeepsItWhole) {
    const Bytes existing = BuildArchive(ThreeEntries());
    const std::string path = Write("old.zip", existing);
    CreateZipFile(path.c_str());
    EXPECT_EQ(GetArchiveStatus(), VX_CANNOT_CREATE);
    EXPECT_GE(engine().archive.handle, 0);
    EXPECT_FALSE(engine().archive.newArchive);
    DoneZipFile();
    EXPECT_EQ(vxtest::ReadFile(dir_ / "old.zip"), existing);
}

TEST_F(Archive, DoneZipFileRemovesOnlyTheEmptyFileItHolds) {
    // An earlier archive stays; the empty file that CreateZipFile met is the
    // one DoneZipFile removes.
    const std::string earlier = Write("earlier.zip", BuildArchive(ThreeEntries()));
    InitZipFile(earlier.c_str());
    DoneZipFile();
    const std::string empty = Write("empty.zip", Bytes{});
    CreateZipFile(empty.c_str());
    EXPECT_EQ(GetArchiveStatus(), VX_CANNOT_CREATE);
    DoneZipFile();
    EXPECT_FALSE(vxtest::FileExists(dir_ / "empty.zip"));
    EXPECT_TRUE(vxtest::FileExists(dir_ / "earlier.zip"));

    // A failed open forgets the earlier archive: emptied since, it stays.
    InitZipFile(earlier.c_str());
    DoneZipFile();
    vxtest::WriteFile(dir_ / "earlier.zip", Bytes{});
    InitZipFile(Write("text.zip", Bytes(100, 'x')).c_str());
    EXPECT_EQ(GetArchiveStatus(), VX_NOT_AN_ARCHIVE);
    DoneZipFile();
    EXPECT_TRUE(vxtest::FileExists(dir_ / "earlier.zip"));

    // No archive held and an empty path: nothing happens.
    vxtest::ResetEngine();
    DoneZipFile();
    EXPECT_EQ(engine().archive.handle, -1);
}

TEST_F(Archive, CreateZipFileForgetsTheArchiveOpenedBefore) {
    Layout l = ThreeEntries();
    l.prefix = "PREFIX";
    l.archiveComment = "old comment";
    InitZipFile(Write("a.zip", BuildArchive(l)).c_str());
    ASSERT_EQ(List(), 0);
    ASSERT_NE(engine().archive.comment, nullptr);
    CreateZipFile(vxtest::EnginePath(dir_ / "b.zip").c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
    EXPECT_EQ(engine().archive.cachedEndPos, -1);
    EXPECT_EQ(engine().archive.comment, nullptr);
    EXPECT_EQ(engine().archive.end.commentLength, 0);
    EXPECT_EQ(engine().archive.end.centralOffset, 0u);
    EXPECT_EQ(engine().archive.firstEntryOffset, 0u);
}

TEST_F(Archive, CreateZipFileDoesNotMakeAFileAtTheEndOfADanglingLink) {
    std::error_code ec;
    std::filesystem::create_symlink(dir_ / "target.zip", dir_ / "link.zip", ec);
    if (ec) GTEST_SKIP() << "links cannot be made here: " << ec.message();
    CreateZipFile(vxtest::EnginePath(dir_ / "link.zip").c_str());
    EXPECT_EQ(GetArchiveStatus(), VX_FILE_ERROR);
    EXPECT_EQ(engine().archive.handle, -1);
    DoneZipFile();
    EXPECT_FALSE(std::filesystem::exists(dir_ / "target.zip"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "link.zip"));
}

TEST_F(Archive, CreateZipFileInAMissingDirectoryFailsWithFileError) {
    CreateZipFile(vxtest::EnginePath(dir_ / "no/such/dir/x.zip").c_str());
    EXPECT_EQ(GetArchiveStatus(), VX_FILE_ERROR);
    EXPECT_EQ(engine().archive.handle, -1);
    DoneZipFile();
}

// --- entry lists ------------------------------------------------------------

TEST_F(Archive, ListHoldsEveryEntryInDirectoryOrderWithItsFields) {
    Layout l = ThreeEntries();
    l.prefix = "XYZ";
    ASSERT_EQ(OpenAndList(BuildArchive(l)), 0);
    EXPECT_EQ(Names(list_), (std::vector<std::string>{"one.txt", "dir/two.txt", "three.bin"}));
    EXPECT_EQ(+list_.count, 3);
    EXPECT_EQ(+list_.last->next, nullptr);
    const ZipFileEntry* second = list_.first->next;
    EXPECT_EQ(+second->versionMadeBy, 20);
    EXPECT_EQ(+second->crc32, 0x12345678u);
    EXPECT_EQ(+second->uncompressedSize, 6u);
    EXPECT_EQ(+second->externalAttributes, 0x20u);
    EXPECT_EQ(+second->localHeaderOffset, 3u + 30 + 7 + 5);
    EXPECT_EQ(+second->selected, 1);
}

TEST_F(Archive, MasksSelectEntriesAndNothingSelectedIs19906) {
    ASSERT_EQ(OpenAndList(BuildArchive(ThreeEntries()), {"*.txt"}), 0);
    EXPECT_EQ(Names(list_), (std::vector<std::string>{"one.txt"}));  // "dir/two.txt" has a directory
    DoneZipFileList(&list_);
    EXPECT_EQ(List({"*.none"}), VX_NOTHING_SELECTED);
    EXPECT_EQ(+list_.count, 0);
    EXPECT_EQ(+list_.first, nullptr);

    DoneZipFile();
    Layout empty;
    EXPECT_EQ(OpenAndList(BuildArchive(empty)), VX_NOTHING_SELECTED);
}

TEST_F(Archive, BuildingTwiceAppendsASecondCopy) {
    ASSERT_EQ(OpenAndList(BuildArchive(ThreeEntries())), 0);
    ASSERT_EQ(List(), 0);
    EXPECT_EQ(+list_.count, 6);
    EXPECT_EQ(Names(list_)[3], "one.txt");
}

TEST_F(Archive, CountFieldsThatDisagreeAreIgnored) {
    for (int count : {0, 1, 7, 65535}) {
        DoneZipFileList(&list_);
        vxtest::ResetEngine();
        Layout l = ThreeEntries();
        l.countOverride = count;
        EXPECT_EQ(OpenAndList(BuildArchive(l)), 0) << count;
        EXPECT_EQ(+list_.count, 3) << count;
    }
}

TEST_F(Archive, LongNameKeeps255BytesAndTheFieldsBehindItStayInPlace) {
    Layout l;
    l.entries = {{std::string(300, 'n'), "data", "EXTRA", "the comment", 0}, {"next.txt", "x", "", "", 0}};
    arOptionsOn(arKeepComments);
    ASSERT_EQ(OpenAndList(BuildArchive(l)), 0);
    ASSERT_EQ(+list_.count, 2);
    const ZipFileEntry* e = list_.first;
    EXPECT_EQ(std::string(e->name), std::string(255, 'n'));
    EXPECT_EQ(+e->nameLength, 300);
    ASSERT_NE(+e->extra, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(e->extra), e->extraLength), "EXTRA");
    ASSERT_NE(+e->comment, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(e->comment), e->commentLength), "the comment");
    EXPECT_STREQ(e->next->name, "next.txt");
}

TEST_F(Archive, CommentsAndExtraFieldsAreKeptOnlyWhenAsked) {
    Layout l;
    l.entries = {{"a.txt", "a", "XX", "note", 0}};
    l.archiveComment = "archive note";
    const Bytes bytes = BuildArchive(l);

    arOptionsOff(arKeepComments);
    ASSERT_EQ(OpenAndList(bytes), 0);
    EXPECT_EQ(+list_.first->comment, nullptr);
    EXPECT_EQ(+list_.first->commentLength, 4);
    ASSERT_NE(+list_.first->extra, nullptr);  // InitZipFile turned arKeepExtraFields on
    EXPECT_NE(engine().archive.comment, nullptr);
    DoneZipFileList(&list_);

    // Without arKeepExtraFields (only the engine can clear it): extra fields
    // are skipped and the archive comment is released.
    engine().options &= static_cast<uint16_t>(~arKeepExtraFields);
    arOptionsOn(arKeepComments);
    ASSERT_EQ(List(), 0);
    EXPECT_EQ(+list_.first->extra, nullptr);
    EXPECT_EQ(+list_.first->extraLength, 2);
    ASSERT_NE(+list_.first->comment, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list_.first->comment), 4), "note");
    EXPECT_EQ(engine().archive.comment, nullptr);
    EXPECT_EQ(engine().archive.end.commentLength, 12);
}

TEST_F(Archive, Utf8FlagDecidesHowNamesAreRead) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form");
    Layout l;
    l.entries = {{"caf\x82.txt", "x", "", "", 0}, {"caf\xc3\xa9.txt", "y", "", "", vardex::kFlagUtf8Name}};
    ASSERT_EQ(OpenAndList(BuildArchive(l)), 0);
    EXPECT_EQ(Names(list_), (std::vector<std::string>{"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"}));
}

TEST_F(Archive, OutOfMemoryAtAnyBlockStopsWithStatus8AndKeepsWholeNodes) {
    Layout l;
    for (const char* name : {"a", "b", "c"}) l.entries.push_back({name, "data", "XTRA", "note", 0});
    l.archiveComment = "archive comment";
    const std::string path = Write("a.zip", BuildArchive(l));
    // Blocks in order: the archive comment, then extra field, comment and
    // node of each entry.
    for (int budget = 0; budget <= 10; ++budget) {
        DoneZipFileList(&list_);
        vxtest::ResetEngine();
        arOptionsOn(arKeepComments);
        InitZipFile(path.c_str());
        ASSERT_EQ(GetArchiveStatus(), 0);
        vardex::SetAllocationBudgetForTesting(budget);
        const uint16_t status = List();
        vardex::SetAllocationBudgetForTesting(-1);
        EXPECT_EQ(status, budget == 10 ? 0 : VX_OUT_OF_MEMORY) << budget;
        EXPECT_EQ(+list_.count, budget == 0 ? 0 : (budget - 1) / 3) << budget;
        for (ZipFileEntry* e = list_.first; e; e = e->next) {
            ASSERT_NE(+e->extra, nullptr);
            ASSERT_NE(+e->comment, nullptr);
        }
        DoneZipFile();
    }
}

// --- damaged and hostile archives ------------------------------------------

// Position of the n-th central header (0-based) in the bytes.
size_t CentralHeaderAt(const Bytes& b, int n) {
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if (b[i] == 'P' && b[i + 1] == 'K' && b[i + 2] == 1 && b[i + 3] == 2 && n-- == 0) return i;
    return b.size();
}

void Patch16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

TEST_F(Archive, DamagedDirectoriesStopWithAStatusAndNoGarbage) {
    Layout distant = ThreeEntries();
    distant.offsetOverride = 0xFFFFFF00;
    Layout atLocal = ThreeEntries();
    atLocal.offsetOverride = 0;
    Bytes longName = BuildArchive(ThreeEntries());
    Patch16(longName, CentralHeaderAt(longName, 2) + 28, 60000);
    Bytes longExtra = BuildArchive(ThreeEntries());
    Patch16(longExtra, CentralHeaderAt(longExtra, 2) + 30, 60000);
    Bytes longComment = BuildArchive(ThreeEntries());
    Patch16(longComment, CentralHeaderAt(longComment, 2) + 32, 60000);
    Bytes badSignature = BuildArchive(ThreeEntries());
    badSignature[CentralHeaderAt(badSignature, 1) + 3] = 9;
    // The end record comes before the directory, which then runs to the end
    // of the file without an end signature.
    Layout endFirst = ThreeEntries();
    Bytes noEnd = BuildArchive(endFirst);
    {
        const size_t central = CentralHeaderAt(noEnd, 0);
        Bytes directory(noEnd.begin() + static_cast<long>(central), noEnd.end() - 22);
        Bytes end(noEnd.end() - 22, noEnd.end());
        noEnd.resize(central);
        end[16] = static_cast<uint8_t>(central + 22);
        end[17] = static_cast<uint8_t>((central + 22) >> 8);
        noEnd.insert(noEnd.end(), end.begin(), end.end());
        noEnd.insert(noEnd.end(), directory.begin(), directory.end());
    }
    Bytes shortEnd = BuildArchive(ThreeEntries());
    shortEnd.resize(shortEnd.size() - 10);

    struct Case {
        const char* what;
        Bytes bytes;
        uint16_t status;
        std::vector<std::string> names;  // the nodes kept
    } cases[] = {
        {"directory offset far behind the end", BuildArchive(distant), VX_BAD_DATA, {}},
        {"directory offset at a local header", BuildArchive(atLocal), VX_BAD_DATA, {}},
        {"name runs past the end", longName, VX_BAD_DATA, {"one.txt", "dir/two.txt"}},
        {"extra field runs past the end", longExtra, VX_BAD_DATA, {"one.txt", "dir/two.txt"}},
        {"comment runs past the end", longComment, VX_BAD_DATA, {"one.txt", "dir/two.txt"}},
        {"unknown signature inside the directory", badSignature, VX_BAD_DATA, {"one.txt"}},
        {"directory never reaches an end signature", noEnd, VX_BAD_DATA, {"one.txt", "dir/two.txt", "three.bin"}},
        {"end record cut short", shortEnd, VX_FILE_ERROR, {}},
    };
    for (const Case& c : cases) {
        DoneZipFileList(&list_);
        vxtest::ResetEngine();
        EXPECT_EQ(OpenAndList(c.bytes), c.status) << c.what;
        EXPECT_EQ(Names(list_), c.names) << c.what;
        EXPECT_EQ(+list_.count, c.names.size()) << c.what;
        DoneZipFile();
    }
}

TEST_F(Archive, ArchiveCommentCutShortByTheFileKeepsWhatIsThere) {
    Layout l = ThreeEntries();
    l.archiveComment = "only this";
    l.commentLengthOverride = 500;
    ASSERT_EQ(OpenAndList(BuildArchive(l)), 0);
    EXPECT_EQ(+list_.count, 3);
    EXPECT_EQ(engine().archive.end.commentLength, 9);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(engine().archive.comment), 9), "only this");
}

TEST_F(Archive, ListStopsBeforeIts16BitCountWouldWrap) {
    Layout l;
    l.entries.resize(65536, Entry{"e", "", "", "", 0});
    ASSERT_EQ(OpenAndList(BuildArchive(l)), VX_BAD_DATA);
    EXPECT_EQ(+list_.count, 65535);
}

// --- adding and removing nodes -------------------------------------------

TEST_F(Archive, RemoveEntryRepairsTheList) {
    vardex::CentralFields fields{};
    auto make = [&](int n) {
        DoneZipFileList(&list_);
        std::vector<ZipFileEntry*> nodes;
        for (int i = 0; i < n; ++i) {
            auto* extra = static_cast<uint8_t*>(malloc(3));  // released with the node
            nodes.push_back(vardex::AddEntry(&list_, fields, std::to_string(i).c_str(), nullptr, extra));
        }
        return nodes;
    };
    struct Case {
        int size;
        int removed;
        std::vector<std::string> left;
    } cases[] = {{3, 0, {"1", "2"}}, {3, 1, {"0", "2"}}, {3, 2, {"0", "1"}}, {1, 0, {}}};
    for (const Case& c : cases) {
        auto nodes = make(c.size);
        vardex::RemoveEntry(&list_, nodes[c.removed]);
        EXPECT_EQ(Names(list_), c.left);
        EXPECT_EQ(+list_.count, c.left.size());
        if (c.left.empty()) {
            EXPECT_EQ(+list_.first, nullptr);
            EXPECT_EQ(+list_.last, nullptr);
        } else {
            EXPECT_EQ(std::string(list_.last->name), c.left.back());
            EXPECT_EQ(+list_.last->next, nullptr);
        }
    }
    // A node of another list is ignored.
    make(2);
    ZipFileList other{nullptr, nullptr, 0};
    ZipFileEntry* stranger = vardex::AddEntry(&other, fields, "x", nullptr, nullptr);
    vardex::RemoveEntry(&list_, stranger);
    EXPECT_EQ(+list_.count, 2);
    DoneZipFileList(&other);
}

}  // namespace
