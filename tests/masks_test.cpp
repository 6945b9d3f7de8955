// File mask lists: building and releasing lists, the wildcard matcher and
// the case folding it compares with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/engine.h"
#include "api/masks.h"
#include "api/paths.h"
#include "support/test_support.h"

using namespace vardex;

namespace {

class Masks : public ::testing::Test {
protected:
    void SetUp() override {
        vxtest::ResetEngine();
        InitFileMaskList(&list_);
    }
    void TearDown() override {
        SetAllocationBudgetForTesting(-1);
        DoneFileMaskList(&list_);
    }
    FileMaskList list_;
};

}  // namespace

// a, o and u with diaeresis, lower and upper case, in the working form:
// UTF-8, or on Windows the ANSI code page (1252), one byte each.
#ifdef _WIN32
#define AE_L "\xE4"
#define AE_U "\xC4"
#define OE_L "\xF6"
#define OE_U "\xD6"
#define UE_L "\xFC"
#define UE_U "\xDC"
#else
#define AE_L "\xC3\xA4"
#define AE_U "\xC3\x84"
#define OE_L "\xC3\xB6"
#define OE_U "\xC3\x96"
#define UE_L "\xC3\xBC"
#define UE_U "\xC3\x9C"
#endif

TEST_F(Masks, WildcardTable) {
    struct Case {
        const char* mask;
        const char* name;
        bool selected;
    } cases[] = {
        // A lone star: names without extension, and without directory.
        {"*", "readme", true},
        {"*", "a.txt", false},
        {"*", "dir/readme", false},
        {"*.TXT", "readme.txt", true},
        {"*.TXT", "README.TXT", true},
        {"*.TXT", "a.txt2", false},
        {"*.TXT", "notes.tx", false},
        {"*.TXT", "sub/readme.txt", false},
        // '?' is one character, never a missing one.
        {"A?C.*", "abc.dat", true},
        {"A?C.*", "a_c", true},
        {"A?C.*", "abcd.dat", false},
        {"A?C.*", "ac.dat", false},
        {"A?C.*", "a" AE_L "c.dat", true},  // one character, perhaps two bytes
        {"?", "x", true},
        {"?", "xy", false},
        // A star after the first position is an ordinary character.
        {"AB*.DOC", "AB*.doc", true},
        {"AB*.DOC", "ABC.DOC", false},
        {"AB*.DOC", "AB.DOC", false},
        {"X.T*T", "x.t*t", true},
        {"X.T*T", "x.txt", false},
        // Star-dot-star reaches into subdirectories of the mask's directory.
        {"DATA/*.*", "DATA/x.bin", true},
        {"DATA/*.*", "DATA/SUB/y.bin", true},
        {"DATA/*.*", "data\\sub\\y", true},
        {"DATA/*.*", "x.bin", false},
        {"DATA/*.*", "MYDATA/x.bin", false},
        {"DATA/*.*", "OTHER/DATA/x.bin", false},
        {"DATA/*.*", "ABCD/DATA/x.bin", true},  // decided by the character at the mask's last position
        {"DATA/*.TXT", "DATA/a.txt", true},
        {"DATA/*.TXT", "DATA/SUB/a.txt", false},
        {"DATA/*.TXT", "a.txt", false},
        {"*.*", "anything", true},
        {"*.*", "deep/down/the/tree.x", true},
        {"C:\\D\\*.*", "c:/d/e.f", true},
        {"C:\\D\\E.F", "D/E.F", false},
        // Case folding: a-z, ä and ö; ü stays as it is.
        {AE_U ".TXT", AE_L ".txt", true},
        {OE_U "L", OE_L "l", true},
        {UE_U, UE_L, false},
        {"*.", "noext", true},
        {"*.", "has.ext", false},
    };
    for (const auto& c : cases) {
        FileMaskList list;
        InitFileMaskList(&list);
        ASSERT_TRUE(AppendFileMask(c.mask, &list));
        EXPECT_EQ(MaskListSelects(c.name, &list), c.selected) << c.mask << " vs " << c.name;
        DoneFileMaskList(&list);
    }
}

TEST_F(Masks, EmptyListSelectsEverythingAndAnyNodeSelects) {
    EXPECT_TRUE(MaskListSelects("whatever/it.is", &list_));
    ASSERT_TRUE(AppendFileMask("*.TXT", &list_));
    ASSERT_TRUE(AppendFileMask("docs/*.*", &list_));
    EXPECT_TRUE(MaskListSelects("a.txt", &list_));
    EXPECT_TRUE(MaskListSelects("docs/manual.pdf", &list_));
    EXPECT_FALSE(MaskListSelects("a.pdf", &list_));
}

TEST_F(Masks, AppendSplitsTheMaskAndKeepsOrder) {
    ASSERT_TRUE(AppendFileMask("C:/dir/sub/*.txt", &list_));
    ASSERT_TRUE(AppendFileMask("noext", &list_));
    ASSERT_TRUE(AppendFileMask("a.b.c", &list_));
    const FileMask* n = list_.first;
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->dir, "C:\\dir\\sub\\");
    EXPECT_STREQ(n->name, "*");
    EXPECT_STREQ(n->ext, "txt");
    n = n->next;
    EXPECT_STREQ(n->dir, "");
    EXPECT_STREQ(n->name, "noext");
    EXPECT_EQ(std::vector<char>(n->ext, n->ext + sizeof n->ext), std::vector<char>(sizeof n->ext, 0))
        << "ext is all zero when the mask has none";
    n = n->next;
    EXPECT_STREQ(n->name, "a.b");
    EXPECT_STREQ(n->ext, "c");
    EXPECT_EQ(n, list_.last);
    EXPECT_EQ(n->next, nullptr);
}

TEST_F(Masks, OutOfMemoryLeavesTheListUnchanged) {
    ASSERT_TRUE(AppendFileMask("first.txt", &list_));
    FileMask* const first = list_.first;
    // 0: the directory copy fails; 1: the node fails after the copy was made
    // (the sanitizer build reports the copy if it leaks).
    for (int budget : {0, 1}) {
        SetAllocationBudgetForTesting(budget);
        SetStatus(0);
        EXPECT_EQ(AppendFileMask("dir/second.txt", &list_), 0) << budget;
        EXPECT_EQ(Status(), VX_OUT_OF_MEMORY) << budget;
        EXPECT_EQ(list_.first, first);
        EXPECT_EQ(list_.last, first);
        EXPECT_EQ(first->next, nullptr);
    }
    SetAllocationBudgetForTesting(-1);
    EXPECT_TRUE(AppendFileMask("dir/second.txt", &list_));
}

TEST_F(Masks, DoneReleasesAndIsHarmlessTwice) {
    DoneFileMaskList(&list_);
    EXPECT_EQ(list_.first, nullptr);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(AppendFileMask("dir/x.y", &list_));
    DoneFileMaskList(&list_);
    EXPECT_EQ(list_.first, nullptr);
    EXPECT_EQ(list_.last, nullptr);
    DoneFileMaskList(&list_);
    EXPECT_EQ(list_.first, nullptr);
}

TEST_F(Masks, OverlongMasksAndNamesAreCutSafely) {
    std::string mask = std::string(100, 'd') + "/";
    for (int i = 0; i < 150; ++i) mask += "\xC3\xB6";  // 401 bytes
    mask += ".txt";
    ASSERT_TRUE(AppendFileMask(mask.c_str(), &list_));
    const FileMask* n = list_.first;
    EXPECT_LE(strlen(n->dir) + strlen(n->name) + strlen(n->ext), kMaxText);
    EXPECT_EQ(strlen(n->name) % 2, 0u) << "cut between characters";
    // The matcher sees the same cut of a name as of the mask.
    EXPECT_TRUE(MaskListSelects(mask.c_str(), &list_));

    // A node the host filled without terminators is read within its fields.
    FileMask raw;
    memset(&raw, 'A', sizeof raw);
    raw.dir = nullptr;
    raw.next = nullptr;
    EXPECT_FALSE(NodeMatches("a.a", &raw));
}

TEST_F(Masks, UpperCaseFoldsWholeCharactersOnly) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"abcxyz09_-", "ABCXYZ09_-"},
        {AE_L OE_L UE_L, AE_U OE_U UE_L},  // äöü -> ÄÖü
#ifndef _WIN32
        {"\xE4\xB8\x80", "\xE4\xB8\x80"},  // 一: lead byte 0xE4 is not an ä
#endif
        {"\xF0\x9F\x98\xB6", "\xF0\x9F\x98\xB6"},
        {"\xC3" "a", "\xC3" "A"},  // a broken sequence: the ASCII after it still folds
    };
    for (const auto& c : cases) {
        char out[kTextField];
        UpperCase(c.in, out);
        EXPECT_STREQ(out, c.out) << c.in;
    }
    std::string longText(300, 'q');
    char out[kTextField + 8];
    memset(out, '#', sizeof out);
    UpperCase(longText.c_str(), out);
    EXPECT_EQ(std::string(out), std::string(255, 'Q'));
    EXPECT_EQ(out[kTextField], '#');
}
