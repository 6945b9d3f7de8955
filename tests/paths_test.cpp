// Path, name and attribute services: string and path routines, name forms,
// attribute and time wrappers, the overwrite record, output-file creation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "api/engine.h"
#include "api/paths.h"
#include "archive/records.h"
#include "platform/platform.h"
#include "support/test_support.h"

using namespace vardex;

namespace {

// A kPathField output buffer with guard bytes behind it.
struct Field {
    char text[kPathField + 16];
    Field() { memset(text, '#', sizeof text); }
    operator char*() { return text; }
    bool GuardIntact() const {
        for (size_t i = kPathField; i < sizeof text; ++i)
            if (text[i] != '#') return false;
        return true;
    }
};

// True when text is not cut inside a UTF-8 sequence.
bool EndsOnCharacter(const char* text) {
    size_t len = strlen(text), i = 0;
    while (i < len) {
        const uint8_t b = uint8_t(text[i]);
        size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        if (i + n > len) return false;
        i += n;
    }
    return true;
}

class Paths : public ::testing::Test {
protected:
    void SetUp() override { vxtest::ResetEngine(); }
};

}  // namespace

TEST_F(Paths, StringRoutines) {
    EXPECT_EQ(Pos('x', ""), kNoPos);
    EXPECT_EQ(Pos('\\', "ab\\c\\"), 2);
    EXPECT_EQ(Pos('z', "abc"), kNoPos);

    struct {
        const char* text;
        size_t start, count;
        const char* out;
    } copies[] = {{"abcdef", 1, 3, "bcd"}, {"abc", 1, 99, "bc"}, {"abc", 3, 1, ""}, {"abc", 0, 0, ""}};
    for (const auto& c : copies) {
        Field out;
        CopyPart(c.text, c.start, c.count, out);
        EXPECT_STREQ(out, c.out) << c.text << " " << c.start << " " << c.count;
    }

    char text[16] = "abcdef";
    DeletePart(text, 1, 2);
    EXPECT_STREQ(text, "adef");
    DeletePart(text, 2, 50);
    EXPECT_STREQ(text, "ad");
    DeletePart(text, 0, 0);
    EXPECT_STREQ(text, "ad");
}

TEST_F(Paths, PathRoutines) {
    struct {
        const char* path;
        const char* namePart;
        bool hasExt;
        const char* withZip;
    } cases[] = {
        {"C:name.txt", "name.txt", true, "C:name.txt"},
        {"plain", "plain", false, "plain.ZIP"},
        {"dir\\", "", false, "dir\\.ZIP"},
        {"a.b", "a.b", true, "a.b"},
        {"trailing.", "trailing.", true, "trailing."},
        {"dir.v2\\file", "file", false, "dir.v2\\file.ZIP"},
        {"\\\\srv\\share\\d\\a.txt", "a.txt", true, "\\\\srv\\share\\d\\a.txt"},
        {"", "", false, ""},
    };
    for (const auto& c : cases) {
        Field name, ext;
        FileNamePart(c.path, name);
        EXPECT_STREQ(name, c.namePart) << c.path;
        EXPECT_EQ(HasExtension(c.path), c.hasExt) << c.path;
        DefaultExtension(c.path, "ZIP", ext);
        EXPECT_STREQ(ext, c.withZip) << c.path;
    }
    size_t after = 0;
    ASSERT_TRUE(HasExtension("x\\a.b.cd", &after));
    EXPECT_EQ(after, 6u);

    Field sep;
    for (auto [in, out] : {std::pair{"out", "out\\"}, {"out\\", "out\\"}, {"C:", "C:"}, {"", ""}}) {
        AddSeparator(in, sep);
        EXPECT_STREQ(sep, out);
    }
    Field working;
    ToWorkingSeparators("a/b\\c/", working);
    EXPECT_STREQ(working, "a\\b\\c\\");
}

TEST_F(Paths, SplitPathFollowsTheRuntimeRules) {
    struct {
        const char* path;
        const char* drive;
        const char* dir;
        const char* name;
        const char* ext;
    } cases[] = {
        {"C:\\dir\\sub\\file.tar.gz", "C:", "\\dir\\sub\\", "file.tar", ".gz"},
        {"dir/file", "", "dir/", "file", ""},
        {"a.dir\\noext", "", "a.dir\\", "noext", ""},
        {".profile", "", "", "", ".profile"},
        {"1:x", "", "", "1:x", ""},
        {"x:", "x:", "", "", ""},
    };
    for (const auto& c : cases) {
        Field drive, dir, name, ext;
        SplitPath(c.path, drive, dir, name, ext);
        EXPECT_STREQ(drive, c.drive) << c.path;
        EXPECT_STREQ(dir, c.dir) << c.path;
        EXPECT_STREQ(name, c.name) << c.path;
        EXPECT_STREQ(ext, c.ext) << c.path;
    }
}

TEST_F(Paths, OverlongInputIsCutAt255OnACharacterBoundaryAndNeverOverruns) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form");
    // 'x' then 200 two-byte characters: 401 bytes, the cut falls inside one.
    std::string path = "x";
    for (int i = 0; i < 200; ++i) path += "\xC3\xA4";
    const std::string withDirs = std::string(150, 'd') + "\\" + path;
    std::vector<std::pair<const char*, void (*)(const char*, char*)>> routines = {
        {"AddSeparator", AddSeparator},
        {"FileNamePart", FileNamePart},
        {"ToWorkingSeparators", ToWorkingSeparators},
    };
    for (const std::string& in : {path, withDirs, "\\\\" + withDirs}) {
        for (auto& [what, routine] : routines) {
            Field out;
            routine(in.c_str(), out);
            // AddSeparator may add its backslash behind 255 bytes of text;
            // the field keeps room for it.
            EXPECT_LE(strlen(out), kMaxText + (routine == AddSeparator ? 1 : 0)) << what;
            EXPECT_TRUE(EndsOnCharacter(out)) << what;
            EXPECT_TRUE(out.GuardIntact()) << what;
        }
        Field ext, drive, dir, name, extension;
        DefaultExtension(in.c_str(), "ZIP", ext);
        SplitPath(in.c_str(), drive, dir, name, extension);
        for (Field* f : {&ext, &drive, &dir, &name, &extension}) {
            EXPECT_LE(strlen(*f), kMaxText);
            EXPECT_TRUE(EndsOnCharacter(*f));
            EXPECT_TRUE(f->GuardIntact());
        }
    }
}

TEST_F(Paths, StoredNamesConvertThroughTheirCodePage) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form");
    char out[kPathField];
    const uint8_t oem[] = {'d', 'i', 'r', '/', 0x84, 0x94, 0x81, '.', 't', 'x', 't'};
    NameFromStored(oem, sizeof oem, 0, out);
    EXPECT_STREQ(out, "dir/\xC3\xA4\xC3\xB6\xC3\xBC.txt");  // dir/äöü.txt

    char stored[kPathField];
    EXPECT_EQ(NameToStored(out, 0, stored), sizeof oem);
    EXPECT_EQ(memcmp(stored, oem, sizeof oem), 0);

    const char* utf8 = "\xE6\x97\xA5\xE6\x9C\xAC/\xE2\x82\xAC.txt";  // 日本/€.txt
    NameFromStored(reinterpret_cast<const uint8_t*>(utf8), strlen(utf8), kFlagUtf8Name, out);
    EXPECT_STREQ(out, utf8);
    EXPECT_EQ(NameToStored(utf8, kFlagUtf8Name, stored), strlen(utf8));
    EXPECT_STREQ(stored, utf8);
    NameToStored(utf8, 0, stored);
    EXPECT_STREQ(stored, "?\?/?.txt");

    // 300 stored bytes of 0x84 (ä): only 255 are read; the result is the
    // whole characters that fit in 255 bytes.
    std::vector<uint8_t> longName(300, 0x84);
    struct {
        char text[256];
        char guard[8];
    } field;
    memset(&field, '#', sizeof field);
    NameFromStored(longName.data(), longName.size(), 0, field.text);
    EXPECT_EQ(strlen(field.text), 254u);
    EXPECT_EQ(field.guard[0], '#');
}

TEST_F(Paths, AttributeAndTimeWrappersReturnThePlatformError) {
    vxtest::TempDir dir;
    const std::string file = vxtest::EnginePath(dir / "f.txt");
    vxtest::WriteFile(dir / "f.txt", "x");
    uint32_t attributes = 0;
    EXPECT_EQ(GetAttributes(file.c_str(), &attributes), 0u);
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(SetAttributes(file.c_str(), FILE_ATTRIBUTE_READONLY), 0u);

    // A read-only file still gets its time set; then MakeWritable clears it.
    const uint16_t date = uint16_t((44 << 9) | (7 << 5) | 15), time = uint16_t((12 << 11) | (34 << 5) | 28);
    EXPECT_EQ(SetDosDateTimeByPath(file.c_str(), date, time), 0u);
    MakeWritable(file.c_str());
    EXPECT_EQ(GetAttributes(file.c_str(), &attributes), 0u);
    EXPECT_EQ(attributes, FILE_ATTRIBUTE_ARCHIVE);

    const int fd = platform::FileOpen(file.c_str(), platform::OpenMode::ReadOnly);
    ASSERT_GE(fd, 0);
    uint16_t d = 0, t = 0;
    EXPECT_EQ(GetDosDateTime(fd, &d, &t), 0u);
    platform::FileClose(fd);
    EXPECT_EQ(d, date);
    EXPECT_EQ(t, time);

    const std::string missing = vxtest::EnginePath(dir / "missing");
    EXPECT_EQ(GetAttributes(missing.c_str(), &attributes), 2u);
    EXPECT_EQ(SetAttributes(missing.c_str(), 0), 2u);
    EXPECT_EQ(SetDosDateTimeByPath(missing.c_str(), date, time), 2u);
    EXPECT_NE(SetDosDateTimeByPath(file.c_str(), 0, 0), 0u) << "month 0 is no date";
    MakeWritable(missing.c_str());
    EXPECT_FALSE(FileExists(missing.c_str()));
    EXPECT_FALSE(FileExists(""));
    EXPECT_TRUE(FileExists(file.c_str()));
}

TEST_F(Paths, FindDataFromEntryDescribesTheEntry) {
    VXTEST_NEEDS_POSIX("a time zone set per process (TZ)");
    ZipFileEntry entry{};
    entry.externalAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    entry.date = uint16_t((44 << 9) | (1 << 5) | 2);
    entry.time = uint16_t((3 << 11) | (4 << 5) | 5);
    entry.uncompressedSize = 0x12345678;
    entry.compressedSize = 99;
    strcpy(entry.name, "dir/\xC3\xA4.txt");

    WIN32_FIND_DATAA data;
    memset(&data, 0x5A, sizeof data);
    {
        // 2024-01-02 03:04:10 on a clock two hours ahead of UTC is 01:04:10 UTC:
        // 0x01DA3D1797BAE100 ticks of 100 ns since 1601 (Python's calendar.timegm).
        vxtest::ZoneGuard zone("XYZ-2");
        FindDataFromEntry(entry, &data);
    }
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    for (const FILETIME& ft : {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime}) {
        EXPECT_EQ(ft.dwLowDateTime, 0x97BAE100u);
        EXPECT_EQ(ft.dwHighDateTime, 0x01DA3D17u);
    }
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.nFileSizeLow, 0x12345678u);
    EXPECT_EQ(data.dwReserved0, 0u);
    EXPECT_EQ(data.dwReserved1, 0u);
    EXPECT_STREQ(data.cFileName, entry.name);
    EXPECT_STREQ(data.cAlternateFileName, "");

    // A name field without terminator is read no further than its 256 bytes.
    memset(entry.name, 'a', sizeof entry.name);
    FindDataFromEntry(entry, &data);
    EXPECT_EQ(strlen(data.cFileName), 256u);
}

// Opens the directory levels below base (made when create) and creates the file.
int CreateBelow(const std::string& base, const char* relativeDir, const char* leaf, bool create,
                platform::OutputFailure* why) {
    const int dir = platform::OpenOutputDirectory(base.c_str(), relativeDir, create, why);
    if (dir < 0) return -1;
    const int fd = platform::CreateOutputFileAt(dir, leaf, -1, why);
    platform::FileClose(dir);
    return fd;
}

TEST_F(Paths, OutputFilesMakeMissingDirectoriesOnlyWhenAsked) {
    vxtest::TempDir dir;
    const std::string base = vxtest::EnginePath(dir / "new1/new2") + "\\";
    platform::OutputFailure why;
    EXPECT_EQ(CreateBelow(base, "one\\two\\", "file.bin", false, &why), -1);
    EXPECT_EQ(why, platform::OutputFailure::Missing);
    EXPECT_FALSE(vxtest::FileExists(dir / "new1")) << "no directory unless asked";

    // Two missing levels of the base and two below it, '/' as well as '\'.
    const int fd = CreateBelow(base, "one/two\\", "file.bin", true, &why);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::FileWrite(fd, "abc", 3), 3);
    platform::FileClose(fd);
    EXPECT_EQ(vxtest::ReadText(dir / "new1/new2/one/two/file.bin"), "abc");

    // An existing file is truncated, and existing levels are passed over.
    const int again = CreateBelow(base, "one\\two\\", "file.bin", true, &why);
    ASSERT_GE(again, 0);
    platform::FileClose(again);
    EXPECT_EQ(vxtest::ReadText(dir / "new1/new2/one/two/file.bin"), "");
}

TEST_F(Paths, OutputFilesFailWhenALevelCannotBeADirectory) {
    vxtest::TempDir dir;
    vxtest::WriteFile(dir / "blocker", "I am a file");
    const std::string base = vxtest::EnginePath(dir.path()) + "\\";
    platform::OutputFailure why;
    EXPECT_EQ(CreateBelow(base, "blocker\\sub\\", "f", true, &why), -1);
    EXPECT_EQ(vxtest::ReadText(dir / "blocker"), "I am a file");

    mkdir((dir / "isdir").c_str(), 0777);
    EXPECT_EQ(CreateBelow(base, "", "isdir", true, &why), -1);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "isdir"));
}
