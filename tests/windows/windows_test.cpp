// What only Windows has: device names and streams among the output names,
// names the ANSI code page cannot hold, the local time of another season,
// and changing an archive that the library holds open.
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/masks.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"
#include "vardex32.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t kUtf8Flag = 0x0800;

struct Entry {
    std::string name;  // the stored bytes
    std::string data;
    uint16_t flags = 0;
    uint16_t date = 0x5A8F;  // 2025-04-15
    uint16_t time = 0x6000;  // 12:00:00
};

// A stored archive with exactly the names and fields given.
Bytes BuildZip(const std::vector<Entry>& entries) {
    std::vector<vxtest::RawEntry> raw;
    for (const Entry& e : entries) {
        vxtest::RawEntry r;
        r.name = e.name;
        r.data.assign(e.data.begin(), e.data.end());
        r.flags = e.flags;
        r.time = e.time;
        r.date = e.date;
        r.crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
        r.compressedSize = r.uncompressedSize = static_cast<uint32_t>(e.data.size());
        raw.push_back(r);
    }
    return vxtest::WriteRawZip(raw);
}

std::wstring Wide(const std::string& utf8) {
    std::wstring out(utf8.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(),
                                      static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    for (wchar_t& c : out)
        if (c == L'/') c = L'\\';
    return out;
}

// Whether a plain file stands under the (UTF-8) path, read through the wide
// calls so that no code page is in the way.
bool IsPlainFile(const std::string& utf8Path) {
    const DWORD attributes = GetFileAttributesW(Wide(utf8Path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadWide(const std::string& utf8Path) {
    const HANDLE h = CreateFileW(Wide(utf8Path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[256];
    DWORD got = 0;
    ReadFile(h, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(h);
    return std::string(buffer, got);
}

std::vector<std::string> g_outputs;
int32_t VARDEX_CALL OnName(uint32_t, const char*, const char* to) {
    g_outputs.push_back(to);
    return 1;
}

class WindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        vxtest::ResetEngine();
        g_outputs.clear();
        CreateDirectoryA((dir_ / "out").c_str(), nullptr);
    }
    void TearDown() override { DoneZipFile(); }

    std::string Archive() const { return dir_ / "t.zip"; }
    void Open(const std::vector<Entry>& entries) {
        vxtest::WriteFile(Archive(), BuildZip(entries));
        InitZipFile(vxtest::EnginePath(Archive()).c_str());
        ASSERT_EQ(GetArchiveStatus(), 0);
        SetOutputPath(vxtest::EnginePath(dir_ / "out\\").c_str());
        arOptionsOn(arUsePaths);
        SetSetFileNameProc(0, &OnName);
    }
    uint16_t ExtractAll() {
        ExtractFileMaskListZip(nullptr);
        return GetArchiveStatus();
    }
    uint16_t Delete(const char* mask) {
        FileMaskList masks;
        InitFileMaskList(&masks);
        AppendFileMask(mask, &masks);
        DeleteFileMaskListZip(&masks);
        DoneFileMaskList(&masks);
        return GetArchiveStatus();
    }

    vxtest::TempDir dir_;
};

TEST_F(WindowsTest, DeviceNamesAndStreamsAreMadeAsPlainFilesWithAnUnderscore) {
    struct Case {
        const char* stored;
        const char* made;  // below the output directory
    };
    const Case cases[] = {
        {"nul", "_nul"},           {"aux.log", "_aux.log"}, {"CON.txt", "_CON.txt"},
        {"d/com1", "d/_com1"},     {"LPT9.a.b", "_LPT9.a.b"}, {"prn/x.txt", "_prn/x.txt"},
        {"ab:c.txt", "_ab_c.txt"},   {"com0.txt", "com0.txt"},  {"console.txt", "console.txt"},
        {"nulx", "nulx"},
    };
    std::vector<Entry> entries;
    for (const Case& c : cases) entries.push_back({c.stored, std::string("data of ") + c.stored});
    Open(entries);
    ASSERT_EQ(ExtractAll(), 0);
    ASSERT_EQ(g_outputs.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string made = dir_ / "out/" + cases[i].made;
        EXPECT_TRUE(IsPlainFile(made)) << cases[i].stored;
        EXPECT_EQ(ReadWide(made), std::string("data of ") + cases[i].stored);
        // The host is shown the file really made.
        std::string shown = g_outputs[i];
        for (char& c : shown)
            if (c == '\\') c = '/';
        EXPECT_EQ(shown.substr(shown.size() - strlen(cases[i].made)), cases[i].made);
    }
    // Nothing went into a stream of a file "ab".
    EXPECT_FALSE(IsPlainFile(dir_ / "out/ab"));
}

TEST_F(WindowsTest, NamesTheAnsiCodePageLacksAreMadeUnderTheirTrueName) {
    if (GetACP() == CP_UTF8) GTEST_SKIP() << "the ANSI code page is UTF-8: every name fits";
    const std::string cyrillic = "\xD0\x96\xD1\x83\xD0\xBA.txt";  // Жук.txt
    Open({{cyrillic, "beetle", kUtf8Flag}, {"d/" + cyrillic, "nested", kUtf8Flag}});
    ASSERT_EQ(ExtractAll(), 0);
    EXPECT_EQ(ReadWide(dir_ / "out/" + cyrillic), "beetle");
    EXPECT_EQ(ReadWide(dir_ / "out/d/" + cyrillic), "nested");
    // The host sees the closest form its code page has.
    ASSERT_EQ(g_outputs.size(), 2u);
    EXPECT_NE(g_outputs[0].find("???.txt"), std::string::npos) << g_outputs[0];
    EXPECT_FALSE(IsPlainFile(dir_ / "out/???.txt"));
    EXPECT_FALSE(IsPlainFile(dir_ / "out/___.txt"));
}

TEST_F(WindowsTest, Utf8NamesStayUtf8WhenTheArchiveIsRewritten) {
    if (GetACP() == CP_UTF8) GTEST_SKIP() << "the ANSI code page is UTF-8";
    const std::string umlaut = "\xC3\xBC-utf8.txt";                  // ü: in the ANSI code page
    const std::string cyrillic = "\xD0\x96\xD1\x83\xD0\xBA.txt";     // not in it
    Open({{umlaut, "u", kUtf8Flag}, {cyrillic, "k", kUtf8Flag}, {"gone.txt", "g"}});
    ASSERT_EQ(Delete("gone.txt"), 0);
    DoneZipFile();
    const Bytes after = vxtest::ReadFile(Archive());
    const std::string text(after.begin(), after.end());
    // Each name is in both its local and central header, as UTF-8.
    for (const std::string& name : {umlaut, cyrillic}) {
        const size_t first = text.find(name);
        ASSERT_NE(first, std::string::npos) << name;
        EXPECT_NE(text.find(name, first + 1), std::string::npos) << name;
    }
    EXPECT_EQ(text.find("gone.txt"), std::string::npos);
    EXPECT_EQ(text.find('?'), std::string::npos);
}

TEST_F(WindowsTest, CaseFoldingIsThatOfTheSingleByteCodePage) {
    char upper[256];
    vardex::UpperCase("abc\xE4\xF6\xFC.txt", upper);
    EXPECT_STREQ(upper, "ABC\xC4\xD6\xFC.TXT");
}

// Berlin is UTC+1 in winter and UTC+2 in summer.
bool ZoneIsCentralEuropean() {
    TIME_ZONE_INFORMATION zone;
    const DWORD kind = GetTimeZoneInformation(&zone);
    return kind != TIME_ZONE_ID_INVALID && zone.Bias == -60 && zone.DaylightBias == -60;
}

SYSTEMTIME WrittenUtc(const std::string& path) {
    SYSTEMTIME st{};
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written{};
    if (h != INVALID_HANDLE_VALUE) {
        GetFileTime(h, nullptr, nullptr, &written);
        CloseHandle(h);
    }
    FileTimeToSystemTime(&written, &st);
    return st;
}

constexpr uint16_t kJune15 = ((2024 - 1980) << 9) | (6 << 5) | 15;
constexpr uint16_t kDecember15 = ((2024 - 1980) << 9) | (12 << 5) | 15;
constexpr uint16_t kNoon = 12 << 11;

TEST_F(WindowsTest, EachDateIsConvertedWithTheOffsetInForceOnIt) {
    if (!ZoneIsCentralEuropean()) GTEST_SKIP() << "needs TZ=Europe/Berlin (scripts/test-windows.sh sets it)";
    Open({{"june.txt", "j", 0, kJune15, kNoon}, {"december.txt", "d", 0, kDecember15, kNoon}});
    ASSERT_EQ(ExtractAll(), 0);
    EXPECT_EQ(WrittenUtc(dir_ / "out/june.txt").wHour, 10);
    EXPECT_EQ(WrittenUtc(dir_ / "out/december.txt").wHour, 11);
    DoneZipFile();

    // Added back, both files get noon again: the file's own instant read
    // through the descriptor, in the local time of its date.
    vxtest::ResetEngine();
    const std::string fresh = dir_ / "fresh.zip";
    CreateZipFile(vxtest::EnginePath(fresh).c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
    SetInputPath(vxtest::EnginePath(dir_ / "out\\").c_str());
    FileMaskList masks;
    InitFileMaskList(&masks);
    AppendFileMask("june.txt", &masks);
    AppendFileMask("december.txt", &masks);
    CompressFileMaskListZip(&masks);
    DoneFileMaskList(&masks);
    ASSERT_EQ(GetArchiveStatus(), 0);
    ZipFileList list;
    InitZipFileList(&list);
    BuildZipFileList(&list, nullptr);
    int seen = 0;
    for (ZipFileEntry* e = list.first; e; e = e->next) {
        EXPECT_EQ(e->time, kNoon) << e->name;
        EXPECT_EQ(e->date, strcmp(e->name, "june.txt") == 0 ? kJune15 : kDecember15) << e->name;
        ++seen;
    }
    DoneZipFileList(&list);
    EXPECT_EQ(seen, 2);
}

TEST_F(WindowsTest, TheHeldArchiveIsReplacedByEveryChange) {
    Open({{"keep.txt", "keep"}, {"drop.txt", "drop"}});
    vxtest::WriteFile(dir_ / "new.txt", std::string("new"));
    SetInputPath(vxtest::EnginePath(dir_.path() + "/").c_str());
    for (int round = 0; round < 2; ++round) {  // the second round replaces the entry
        FileMaskList masks;
        InitFileMaskList(&masks);
        AppendFileMask("new.txt", &masks);
        CompressFileMaskListZip(&masks);
        DoneFileMaskList(&masks);
        ASSERT_EQ(GetArchiveStatus(), 0) << "round " << round;
    }
    ASSERT_EQ(Delete("drop.txt"), 0);
    ASSERT_EQ(ExtractAll(), 0);
    EXPECT_EQ(ReadWide(dir_ / "out/keep.txt"), "keep");
    EXPECT_EQ(ReadWide(dir_ / "out/new.txt"), "new");
    EXPECT_FALSE(IsPlainFile(dir_ / "out/drop.txt"));
    EXPECT_FALSE(IsPlainFile(dir_ / "t.!!!"));
}

TEST_F(WindowsTest, AnArchiveThatCannotBeReplacedIsLeftAsItWas) {
    Open({{"keep.txt", "keep"}, {"drop.txt", "drop"}});
    const Bytes before = vxtest::ReadFile(Archive());
    // Another program holds the archive open without letting it be deleted
    // or renamed over: the new archive cannot take the name.
    const HANDLE other = CreateFileW(Wide(Archive()).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    const uint16_t status = Delete("drop.txt");
    CloseHandle(other);
    EXPECT_NE(status, 0);
    EXPECT_EQ(vxtest::ReadFile(Archive()), before);
    EXPECT_FALSE(IsPlainFile(dir_ / "t.!!!"));
}

TEST_F(WindowsTest, AFailedWriteOrFlushLeavesTheHeldArchiveAsItWas) {
    namespace pf = vardex::platform;
    for (const bool failSync : {false, true}) {
        SCOPED_TRACE(failSync ? "flush fails" : "disk full");
        TearDown();
        SetUp();
        Open({{"keep.txt", std::string(5000, 'k')}, {"drop.txt", "drop"}});
        const Bytes before = vxtest::ReadFile(Archive());
        if (failSync)
            pf::SetSyncFailureForTesting(true);
        else
            pf::SetWriteBudgetForTesting(100);
        const uint16_t status = Delete("drop.txt");
        pf::SetSyncFailureForTesting(false);
        pf::SetWriteBudgetForTesting(-1);
        EXPECT_NE(status, 0);
        DoneZipFile();
        EXPECT_EQ(vxtest::ReadFile(Archive()), before);
        EXPECT_FALSE(IsPlainFile(dir_ / "t.!!!"));
    }
}

}  // namespace
