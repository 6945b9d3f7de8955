// The platform layer: code pages, file attributes, file and DOS times,
// find-first, modules and the temporary directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "api/names.h"
#include "common/text.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace pf = vardex::platform;

namespace {

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += digits[c >> 4], out += digits[c & 15];
    return out;
}

uint64_t Ticks(const FILETIME& ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

FILETIME FromTicks(uint64_t t) { return FILETIME{uint32_t(t), uint32_t(t >> 32)}; }

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;

uint64_t TicksOfUnix(int64_t seconds) { return kUnixEpochTicks + uint64_t(seconds) * kTicksPerSecond; }

using vxtest::ZoneGuard;

}  // namespace

// --- code pages -----------------------------------------------------------

TEST(CodePages, EveryCp437ByteMatchesPythonsCodecBothWays) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form");
    std::string expected;
    ASSERT_EQ(vxtest::Run(vxtest::Python() + " -c \"import sys; sys.stdout.write(''.join(bytes([b]).decode('cp437')"
                          ".encode('utf-8').hex() + chr(10) for b in range(1, 256)))\"",
                          &expected),
              0);
    size_t line = 0;
    for (int b = 1; b < 256; ++b) {
        const size_t end = expected.find('\n', line);
        ASSERT_NE(end, std::string::npos);
        const std::string want = expected.substr(line, end - line);
        line = end + 1;

        const uint8_t in = uint8_t(b);
        char utf8[8];
        const size_t n = pf::OemToChar(&in, 1, utf8, sizeof utf8);
        EXPECT_EQ(Hex(std::string(utf8, n)), want) << "byte " << b;

        char back[4];
        ASSERT_EQ(pf::CharToOem(utf8, back, sizeof back), 1u) << "byte " << b;
        EXPECT_EQ(uint8_t(back[0]), in) << "byte " << b;
    }
}

TEST(CodePages, CharactersWithoutCp437FormBecomeQuestionMarks) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form");
    char out[32];
    EXPECT_EQ(pf::CharToOem("a\xE2\x82\xAC" "b\xE6\x97\xA5\xF0\x9F\x98\x80", out, sizeof out), 5u);  // a€b日😀
    EXPECT_STREQ(out, "a?b??");
}

TEST(CodePages, MalformedUtf8IsOneQuestionMarkPerByteAndNeverOverRead) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form");
    struct Case {
        std::string in;
        const char* oem;   // CharToOem
        const char* utf8;  // Utf8Copy
    } cases[] = {
        {"\xC3", "?", "?"},                       // lead byte at the very end
        {"x\xE2\x82", "x??", "x??"},              // three-byte sequence cut short
        {"\x80\xBF", "??", "??"},                 // stray continuation bytes
        {"\xC0\xAF", "??", "??"},                 // overlong '/'
        {"\xED\xA0\x80", "???", "???"},           // UTF-16 surrogate
        {"\xF8\x88\x80\x80\x80", "?????", "?????"},
        {"\xC3\xA4", "\x84", "\xC3\xA4"},         // well-formed ä for contrast
    };
    for (const auto& c : cases) {
        // Exact-size heap copies so the sanitizer sees any read past the end.
        std::unique_ptr<char[]> in(new char[c.in.size() + 1]);
        memcpy(in.get(), c.in.c_str(), c.in.size() + 1);
        char out[16];
        pf::CharToOem(in.get(), out, sizeof out);
        EXPECT_STREQ(out, c.oem) << Hex(c.in);

        std::unique_ptr<uint8_t[]> raw(new uint8_t[c.in.size()]);
        memcpy(raw.get(), c.in.data(), c.in.size());
        char copy[32];
        pf::Utf8Copy(raw.get(), c.in.size(), copy, sizeof copy);
        EXPECT_STREQ(copy, c.utf8) << Hex(c.in);
    }
}

TEST(CodePages, OutputsStopAtCapacityOnACharacterBoundary) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form");
    // 0x80 is Ç (two UTF-8 bytes), 0xB0 is ░ (three).
    const std::vector<uint8_t> twoByte(300, 0x80), threeByte(300, 0xB0);
    for (size_t cap : {1u, 2u, 3u, 4u, 7u, 256u}) {
        std::vector<char> out(cap + 8, '#');
        size_t n = pf::OemToChar(twoByte.data(), twoByte.size(), out.data(), cap);
        EXPECT_EQ(n, (cap - 1) / 2 * 2) << cap;
        EXPECT_EQ(out[n], '\0');
        EXPECT_EQ(out[cap], '#') << "written past capacity " << cap;

        std::fill(out.begin(), out.end(), '#');
        n = pf::OemToChar(threeByte.data(), threeByte.size(), out.data(), cap);
        EXPECT_EQ(n, (cap - 1) / 3 * 3) << cap;
        EXPECT_EQ(out[cap], '#');

        std::string utf8;
        for (int i = 0; i < 150; ++i) utf8 += "\xC3\xA4";
        std::fill(out.begin(), out.end(), '#');
        n = pf::Utf8Copy(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), out.data(), cap);
        EXPECT_EQ(n, (cap - 1) / 2 * 2) << cap;
        EXPECT_EQ(out[cap], '#');

        std::fill(out.begin(), out.end(), '#');
        n = pf::CharToOem(utf8.c_str(), out.data(), cap);
        EXPECT_EQ(n, std::min<size_t>(cap - 1, 150));
        EXPECT_EQ(out[cap], '#');
    }
    char none = '#';
    EXPECT_EQ(pf::OemToChar(twoByte.data(), 1, &none, 0), 0u);
    EXPECT_EQ(none, '#');
}

TEST(CodePages, ConversionStopsAtAZeroByteInsideTheInput) {
    VXTEST_NEEDS_POSIX("UTF-8 as the working form");
    const uint8_t in[] = {'a', 0, 'b'};
    char out[8];
    EXPECT_EQ(pf::OemToChar(in, sizeof in, out, sizeof out), 1u);
    EXPECT_STREQ(out, "a");
}

// The working form's code page: UTF-8 on POSIX, the ANSI code page on Windows.
unsigned WorkingCodePage() {
#ifdef _WIN32
    return GetACP();
#else
    return 65001;
#endif
}

TEST(CodePages, TextCopiesAreCutByWholeCharactersOfTheWorkingForm) {
    struct Case {
        unsigned codePage;
        std::string text;
        size_t cap;
        std::string kept;
    } cases[] = {
        {65001, "abc\xC3\xA4", 5, "abc"},              // a two-byte sequence is not split
        {65001, "ab\xE2\x82\xAC", 5, "ab"},            // nor a three-byte one
        {65001, "ab\xE2\x82\xAC", 6, "ab\xE2\x82\xAC"},
        {1252, "abc\xC3\xA4", 5, "abc\xC3"},          // every byte is a character
        {1252, "ab\xE2\x82\xAC", 5, "ab\xE2\x82"},
        {932, "ab\x82\xA0z", 4, "ab"},                // a lead byte without its trail byte is left out
        {932, "a\x82\xA0z", 4, "a\x82\xA0"},
        {932, "ab\x82\x5C\x82\x5C", 6, "ab\x82\x5C"},  // a trail byte like a backslash belongs to its lead
    };
    const unsigned codePage = WorkingCodePage();
    int seen = 0;
    for (const auto& c : cases) {
        if (c.codePage != codePage) continue;
        ++seen;
        char field[16];
        memset(field, '#', sizeof field);
        EXPECT_EQ(vardex::CopyText(field, c.cap, c.text.c_str()), c.kept.size()) << Hex(c.text) << " " << c.cap;
        EXPECT_EQ(std::string(field), c.kept) << Hex(c.text) << " " << c.cap;
        EXPECT_EQ(field[c.cap], '#') << "written past the field";
    }
    // A longer text never goes past the longest kept.
    std::string longText(400, 'x');
    char big[300];
    EXPECT_EQ(vardex::CopyText(big, sizeof big, longText.c_str()), vardex::kMaxText);
    if (seen == 0) GTEST_SKIP() << "no cut cases for code page " << codePage;
}

// Relative paths are trimmed by characters: a double-byte character counts
// once, and a trail byte that looks like a UTF-8 continuation is no character
// of its own.
TEST(CodePages, NamesAreCountedByWholeCharactersOfTheWorkingForm) {
    struct Case {
        unsigned codePage;
        std::string text;
        size_t characters;
        size_t bytesOfTwo;  // BytesOfCharacters(text, 2)
    } cases[] = {
        {65001, "a\xC3\xA4\xE2\x82\xACz", 4, 3},
        {65001, "\xE2\x82\xAC", 1, 3},
        {1252, "a\xC3\xA4\xE2\x82\xACz", 7, 2},
        {932, "\x82\xA0\x82\x5C\\b", 4, 4},  // two characters whose trail bytes are 0xA0 and '\\'
        {932, "a\x82", 2, 2},                // a lead byte at the end stands alone
    };
    const unsigned codePage = WorkingCodePage();
    int seen = 0;
    for (const auto& c : cases) {
        if (c.codePage != codePage) continue;
        ++seen;
        EXPECT_EQ(vardex::CharacterCount(c.text.c_str()), c.characters) << Hex(c.text);
        EXPECT_EQ(vardex::BytesOfCharacters(c.text.c_str(), 2), c.bytesOfTwo) << Hex(c.text);
        EXPECT_EQ(vardex::BytesOfCharacters(c.text.c_str(), 100), c.text.size()) << Hex(c.text);
    }
    if (seen == 0) GTEST_SKIP() << "no counting cases for code page " << codePage;
}

// --- times ------------------------------------------------------------------

TEST(Times, DosDateTimeConvertsBothWaysWithinItsRange) {
    struct Case {
        int year, month, day, hour, minute, second;
        int64_t unixSeconds;  // the same wall-clock reading counted as UTC
    } cases[] = {
        {1980, 1, 1, 0, 0, 0, 315532800},
        {2000, 2, 29, 23, 59, 58, 951868798},
        {2024, 7, 15, 12, 34, 56, 1721046896},
        {2107, 12, 31, 23, 59, 58, 4354819198},
    };
    for (const auto& c : cases) {
        const uint16_t date = uint16_t(((c.year - 1980) << 9) | (c.month << 5) | c.day);
        const uint16_t time = uint16_t((c.hour << 11) | (c.minute << 5) | (c.second / 2));
        FILETIME ft{};
        ASSERT_TRUE(pf::DosDateTimeToFileTime(date, time, &ft)) << c.year;
        EXPECT_EQ(Ticks(ft), TicksOfUnix(c.unixSeconds)) << c.year;
        uint16_t d = 0, t = 0;
        ASSERT_TRUE(pf::FileTimeToDosDateTime(&ft, &d, &t)) << c.year;
        EXPECT_EQ(d, date);
        EXPECT_EQ(t, time);
    }
}

TEST(Times, OddSecondsAndFractionsRoundDownToTheTwoSecondGrid) {
    // 2024-07-15 12:34:59.9 -> 12:34:58
    FILETIME ft = FromTicks(TicksOfUnix(1721046899) + 9999999);
    uint16_t d = 0, t = 0;
    ASSERT_TRUE(pf::FileTimeToDosDateTime(&ft, &d, &t));
    EXPECT_EQ(t & 0x1F, 29);
    EXPECT_EQ((t >> 5) & 0x3F, 34);
}

TEST(Times, YearsOutsideTheDosRangeFail) {
    uint16_t d = 0xAAAA, t = 0xAAAA;
    FILETIME before = FromTicks(TicksOfUnix(315532799));  // 1979-12-31 23:59:59
    EXPECT_FALSE(pf::FileTimeToDosDateTime(&before, &d, &t));
    EXPECT_NE(pf::GetLastError(), 0u);
    FILETIME after = FromTicks(TicksOfUnix(4354819200));  // 2108-01-01
    EXPECT_FALSE(pf::FileTimeToDosDateTime(&after, &d, &t));
    FILETIME zero{};
    EXPECT_FALSE(pf::FileTimeToDosDateTime(&zero, &d, &t));
}

TEST(Times, InvalidDosFieldsAreRejected) {
    auto date = [](int y, int m, int d) { return uint16_t(((y - 1980) << 9) | (m << 5) | d); };
    auto time = [](int h, int m, int s2) { return uint16_t((h << 11) | (m << 5) | s2); };
    struct Case {
        uint16_t date, time;
        const char* what;
    } cases[] = {
        {date(2000, 0, 1), 0, "month 0"},     {date(2000, 13, 1), 0, "month 13"},
        {date(2000, 1, 0), 0, "day 0"},       {date(2001, 2, 29), 0, "29 Feb in a common year"},
        {date(2000, 4, 31), 0, "31 April"},   {date(2000, 1, 1), time(24, 0, 0), "hour 24"},
        {date(2000, 1, 1), time(0, 60, 0), "minute 60"}, {date(2000, 1, 1), time(0, 0, 30), "second 60"},
    };
    for (const auto& c : cases) {
        FILETIME ft{};
        EXPECT_FALSE(pf::DosDateTimeToFileTime(c.date, c.time, &ft)) << c.what;
    }
}

TEST(Times, LocalConversionUsesTheOffsetInForceAtThatInstant) {
    ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
    struct Case {
        int64_t utcSeconds;
        int offsetHours;
    } cases[] = {
        {1705320000, 1},  // 2024-01-15 12:00 UTC, winter time
        {1721044800, 2},  // 2024-07-15 12:00 UTC, summer time
    };
    for (const auto& c : cases) {
        FILETIME utc = FromTicks(TicksOfUnix(c.utcSeconds) + 1234567), local{}, back{};
        ASSERT_TRUE(pf::FileTimeToLocalFileTime(&utc, &local));
        EXPECT_EQ(Ticks(local), Ticks(utc) + uint64_t(c.offsetHours) * 3600 * kTicksPerSecond);
        ASSERT_TRUE(pf::LocalFileTimeToFileTime(&local, &back));
        EXPECT_EQ(Ticks(back), Ticks(utc));
    }
}

TEST(Times, SetFileTimeChangesOnlyTheTimesGiven) {
    vxtest::TempDir dir;
    const std::string path = dir / "f.bin";
    vxtest::WriteFile(path, "data");
    pf::Handle h = pf::CreateFileA(vxtest::EnginePath(path).c_str(), pf::FILE_WRITE_ATTRIBUTES_, 0,
                                   pf::OPEN_EXISTING_, 0);
    ASSERT_NE(h, pf::kInvalidHandle);
    FILETIME access = FromTicks(TicksOfUnix(1000000000)), write = FromTicks(TicksOfUnix(1200000000) + 5000000);
    ASSERT_TRUE(pf::SetFileTime(h, nullptr, &access, &write));
    FILETIME laterWrite = FromTicks(TicksOfUnix(1300000000));
    ASSERT_TRUE(pf::SetFileTime(h, nullptr, nullptr, &laterWrite));
    FILETIME gotAccess{}, gotWrite{};
    ASSERT_TRUE(pf::GetFileTime(h, nullptr, &gotAccess, &gotWrite));
    EXPECT_EQ(Ticks(gotAccess), Ticks(access));
    EXPECT_EQ(Ticks(gotWrite), Ticks(laterWrite));
    EXPECT_TRUE(pf::CloseHandle(h));

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1300000000);
    EXPECT_EQ(st.st_atime, 1000000000);

    EXPECT_EQ(pf::CreateFileA((dir / "missing").c_str(), pf::GENERIC_READ_, 0, pf::OPEN_EXISTING_, 0),
              pf::kInvalidHandle);
    EXPECT_EQ(pf::GetLastError(), 2u);
}

// --- attributes -------------------------------------------------------------

TEST(Attributes, ReadOnlyMapsToTheWritePermissionsBothWays) {
    VXTEST_NEEDS_POSIX("Unix permission bits");
    vxtest::TempDir dir;
    const std::string path = dir / "f.txt";
    vxtest::WriteFile(path, "x");
    chmod(path.c_str(), 0664);
    const std::string engine = vxtest::EnginePath(path);
    EXPECT_EQ(pf::GetFileAttributesA(engine.c_str()), FILE_ATTRIBUTE_ARCHIVE);

    ASSERT_TRUE(pf::SetFileAttributesA(engine.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_EQ(pf::GetFileAttributesA(engine.c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);

    ASSERT_TRUE(pf::SetFileAttributesA(engine.c_str(), FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "owner may write again, nobody else gains access";
    EXPECT_EQ(pf::GetFileAttributesA(engine.c_str()), FILE_ATTRIBUTE_ARCHIVE);
}

TEST(Attributes, DirectoriesAndMissingPaths) {
    vxtest::TempDir dir;
    const std::string engine = vxtest::EnginePath(dir.path());
    EXPECT_EQ(pf::GetFileAttributesA(engine.c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(pf::SetFileAttributesA(engine.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(pf::GetFileAttributesA(engine.c_str()), FILE_ATTRIBUTE_DIRECTORY) << "directories stay writable";

    const std::string missing = vxtest::EnginePath(dir / "nope.txt");
    EXPECT_EQ(pf::GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(pf::GetLastError(), 2u);
    EXPECT_FALSE(pf::SetFileAttributesA(missing.c_str(), FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(pf::GetLastError(), 2u);
}

// --- find-first -------------------------------------------------------------

TEST(FindFirst, FillsTheRecordOfOneFile) {
    vxtest::TempDir dir;
    const std::string path = dir / "report.dat";
    vxtest::WriteFile(path, std::string(12345, 'r'));
    struct timespec times[2] = {{1100000000, 0}, {1200000000, 300}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    WIN32_FIND_DATAA data;
    memset(&data, 0x5A, sizeof data);
    pf::FindHandle h = pf::FindFirstFileA(vxtest::EnginePath(path).c_str(), &data);
    ASSERT_NE(h, pf::kInvalidFind);
    EXPECT_TRUE(pf::FindClose(h));
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.nFileSizeLow, 12345u);
    EXPECT_EQ(Ticks(data.ftLastWriteTime), TicksOfUnix(1200000000) + 3);
    EXPECT_EQ(Ticks(data.ftLastAccessTime), TicksOfUnix(1100000000));
    EXPECT_STREQ(data.cFileName, "report.dat");
    EXPECT_STREQ(data.cAlternateFileName, "");
    EXPECT_EQ(data.dwReserved0, 0u);

    EXPECT_EQ(pf::FindFirstFileA(vxtest::EnginePath(dir / "none").c_str(), &data), pf::kInvalidFind);
    EXPECT_FALSE(pf::FindClose(pf::kInvalidFind));
}

// --- modules and the temporary directory -----------------------------------

TEST(Modules, LoadResolveAndNameAModule) {
    VXTEST_NEEDS_POSIX("libz.so.1 and POSIX module paths");
    pf::Module m = pf::LoadLibraryA("libz.so.1");
    ASSERT_NE(m, nullptr);
    EXPECT_NE(pf::GetProcAddress(m, "crc32"), nullptr);
    EXPECT_EQ(pf::GetProcAddress(m, "NoSuchEntry"), nullptr);
    EXPECT_TRUE(pf::FreeLibrary(m));
    EXPECT_EQ(pf::LoadLibraryA("\\nonexistent\\KORVAL32.KVL"), nullptr);

    char name[MAX_PATH];
    const uint32_t n = pf::GetModuleFileNameA(reinterpret_cast<const void*>(&pf::GetModuleFileNameA), name, sizeof name);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(strlen(name), n);
    EXPECT_EQ(name[0], '\\') << "an absolute engine path";
    EXPECT_EQ(strchr(name, '/'), nullptr);
    EXPECT_NE(std::string(name).find("platform_test"), std::string::npos) << name;

    char small[4] = "abc";
    EXPECT_EQ(pf::GetModuleFileNameA(reinterpret_cast<const void*>(&pf::GetModuleFileNameA), small, sizeof small), 0u);
}

TEST(Modules, TempPathEndsInABackslashAndFailsWhenItDoesNotFit) {
    VXTEST_NEEDS_POSIX("TMPDIR as the temporary directory");
    char out[MAX_PATH];
    {
        vxtest::EnvGuard tmp("TMPDIR", "/var/tmp/vx");
        EXPECT_EQ(pf::GetTempPathA(sizeof out, out), 12u);
        EXPECT_STREQ(out, "\\var\\tmp\\vx\\");
        char small[12];
        EXPECT_EQ(pf::GetTempPathA(sizeof small, small), 0u);
    }
    vxtest::EnvGuard none("TMPDIR", nullptr);
    EXPECT_EQ(pf::GetTempPathA(sizeof out, out), 5u);
    EXPECT_STREQ(out, "\\tmp\\");
}
