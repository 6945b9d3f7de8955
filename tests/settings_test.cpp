// Status, options, paths, password and descriptor exports.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/engine.h"
#include "support/test_support.h"

using vardex::engine;

class Settings : public ::testing::Test {
protected:
    void SetUp() override { vxtest::ResetEngine(); }
};

TEST_F(Settings, OptionsOffCannotClearTheProtectedBit) {
    arOptionsOn(0x8000 | 0x0001 | 0x0010);
    arOptionsOff(0xFFFF);
    EXPECT_EQ(engine().options, 0x8000);
}

TEST_F(Settings, OptionsAreOnNeedsEveryBitAndEmptyMaskIsTrue) {
    arOptionsOff(0xFFFF);
    arOptionsOn(0x0001);
    EXPECT_FALSE(arOptionsAreOn(0x0003));
    EXPECT_TRUE(arOptionsAreOn(0x0001));
    EXPECT_TRUE(arOptionsAreOn(0));
}

TEST_F(Settings, InitialOptionWordIsDefaultOptions) { EXPECT_EQ(engine().options, arDefaultOptions); }

TEST_F(Settings, InputPathGetsOneBackslashWhenLongerThanThree) {
    struct Case {
        const char* in;
        const char* stored;
    } cases[] = {
        {"C:\\", "C:\\"}, {"abc", "abc"}, {"data", "data\\"}, {"data\\", "data\\\\"}, {"", ""},
    };
    for (const auto& c : cases) {
        SetInputPath(c.in);
        EXPECT_STREQ(engine().inputPath, c.stored) << c.in;
    }
}

TEST_F(Settings, OutputPathEndsInSeparatorUnlessColonOrEmpty) {
    struct Case {
        const char* in;
        const char* stored;
    } cases[] = {{"out", "out\\"}, {"out\\", "out\\"}, {"C:", "C:"}, {"", ""}};
    for (const auto& c : cases) {
        SetOutputPath(c.in);
        EXPECT_STREQ(engine().outputPath, c.stored) << c.in;
    }
}

TEST_F(Settings, OverlongArgumentsAreCutNeverOverrun) {
    std::string longPath(1000, 'p');
    SetOutputPath(longPath.c_str());
    SetInputPath(longPath.c_str());
    SetRelativePath(longPath.c_str());
    SetCryptKey(longPath.c_str());
    EXPECT_EQ(strlen(engine().outputPath), 256u);  // 255 characters and the separator
    EXPECT_EQ(strlen(engine().inputPath), 256u);
    EXPECT_EQ(strlen(engine().relativePath), 255u);
    EXPECT_EQ(strlen(engine().password), 255u);
    // A multi-byte character is never cut in half.
    std::string umlauts;
    for (int i = 0; i < 200; ++i) umlauts += "\xC3\xA4";
    SetCryptKey(umlauts.c_str());
    size_t kept = 254;
#ifdef _WIN32
    // In a single-byte ANSI code page each of the bytes is a character.
    CPINFO codePage{};
    if (GetCPInfo(CP_ACP, &codePage) && codePage.MaxCharSize == 1) kept = 255;
#endif
    EXPECT_EQ(strlen(engine().password), kept);
}

TEST_F(Settings, EmptyCryptKeyTurnsEncryptionOffButKeepsTheText) {
    SetCryptKey("secret");
    EXPECT_EQ(engine().passwordSet, 1u);
    SetCryptKey("");
    EXPECT_EQ(engine().passwordSet, 0u);
    EXPECT_STREQ(engine().password, "secret");
}

TEST_F(Settings, DescriptorReportsDefaultsAndTakesWordsSixToNine) {
    uint32_t v = 0;
    GetVersionDesc(&v);
    EXPECT_EQ(v, 20u);
    uint32_t d[10];
    memset(d, 0xAB, sizeof d);
    EXPECT_EQ(GetArcerVerDesc(19, d), 9964u);
    EXPECT_EQ(d[0], 0xABABABABu);
    EXPECT_EQ(GetArcerVerDesc(20, d), 0u);
    const uint32_t defaults[10] = {1023, 20, 1, 32, 32, 1, 20, 32, 0, 1};
    EXPECT_EQ(memcmp(d, defaults, sizeof d), 0);

    uint32_t mine[10] = {9, 9, 9, 9, 9, 9, 60, 70, 80, 3};
    SetArcerStats(mine);
    EXPECT_EQ(engine().descriptor[0], 1023u);
    EXPECT_EQ(engine().descriptor[6], 60u);
    EXPECT_EQ(engine().descriptor[9], 3u);
    GetArcerDesc(d);
    EXPECT_EQ(d[9], 1u);  // the Get functions always report the defaults
    SetArchiveStatus(77);
    EXPECT_EQ(SetArcerVerStats(21, mine), 9964u);
    EXPECT_EQ(GetArchiveStatus(), 77);  // the Ver functions do not store their code
}

TEST_F(Settings, SetPackLevelStoresAndReturns) {
    EXPECT_EQ(SetPackLevel(3), 3);
    EXPECT_EQ(engine().packLevel, 3);
}

TEST_F(Settings, NoSettingTouchesTheStatus) {
    uint32_t desc[10] = {};
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"arOptionsOn", [] { arOptionsOn(arUsePaths); }},
        {"arOptionsOff", [] { arOptionsOff(arUsePaths); }},
        {"arOptionsAreOn", [] { (void)arOptionsAreOn(arUsePaths); }},
        {"SetInputPath", [] { SetInputPath("in"); }},
        {"SetOutputPath", [] { SetOutputPath("out"); }},
        {"SetRelativePath", [] { SetRelativePath("base"); }},
        {"SetCryptKey", [] { SetCryptKey("pw"); }},
        {"SetCryptKey empty", [] { SetCryptKey(""); }},
        {"SetPackLevel", [] { (void)SetPackLevel(2); }},
        {"GetVersionDesc", [&] { GetVersionDesc(desc); }},
        {"GetArcerDesc", [&] { GetArcerDesc(desc); }},
        {"GetArcerVerDesc", [&] { (void)GetArcerVerDesc(20, desc); }},
        {"GetArcerVerDesc wrong version", [&] { (void)GetArcerVerDesc(19, desc); }},
        {"SetArcerStats", [&] { SetArcerStats(desc); }},
        {"SetArcerVerStats", [&] { (void)SetArcerVerStats(20, desc); }},
        {"SetArcerVerStats wrong version", [&] { (void)SetArcerVerStats(21, desc); }},
        {"SetSetFileNameProc", [] { SetSetFileNameProc(1, nullptr); }},
        {"SetSkipFileProc", [] { SetSkipFileProc(1, nullptr); }},
        {"SetSetCryptKeyProc", [] { SetSetCryptKeyProc(1, nullptr); }},
        {"SetSetProgressProc", [] { SetSetProgressProc(1, nullptr); }},
        {"SetOkToReplaceProc", [] { SetOkToReplaceProc(1, nullptr); }},
        {"SetGetNextDiskProc", [] { SetGetNextDiskProc(1, nullptr); }},
        {"SetSetSfxProgressProc", [] { SetSetSfxProgressProc(1, nullptr); }},
        {"file mask list", [] {
             FileMaskList list;
             InitFileMaskList(&list);
             AppendFileMask("*.txt", &list);
             DoneFileMaskList(&list);
         }},
    };
    for (uint16_t status : {uint16_t{0}, uint16_t{VX_CRC_MISMATCH}}) {
        for (const auto& [name, call] : calls) {
            SetArchiveStatus(status);
            call();
            EXPECT_EQ(GetArchiveStatus(), status) << name;
        }
    }
}
