// Memory running out at each heap block of an update, a delete and a
// self-extractor build in turn: the operation ends with status 8, the
// archive is left exactly as it was, and nothing temporary stays behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "api/engine.h"
#include "api/paths.h"
#include "update_helpers.h"

using namespace vxtest;

namespace {

// Runs the operation with an allocation budget of 0, 1, 2, ... until it no
// longer fails for memory (the operation applies the budget itself, once its
// own setup is done); each failure must be status 8 with `unchanged` holding.
// Returns how many budgets failed.
int FailEachAllocation(const std::function<uint16_t(int budget)>& operation, const std::function<void()>& unchanged) {
    int failures = 0;
    for (int budget = 0; budget < 200; ++budget) {
        SCOPED_TRACE(budget);
        const uint16_t status = operation(budget);
        vardex::SetAllocationBudgetForTesting(-1);
        if (status != VX_OUT_OF_MEMORY) {
            EXPECT_EQ(status, 0);
            break;
        }
        ++failures;
        unchanged();
    }
    return failures;
}

class Memory : public ::testing::Test {
protected:
    void SetUp() override {
        ResetEngine();
        WriteFile(tmp / "a.txt", TextBytes(20000, 1));
        WriteFile(tmp / "b.bin", RandomBytes(9000, 2));
        WriteFile(tmp / "c.txt", TextBytes(7000, 3));
        ASSERT_EQ(CreateArchive(archive, tmp.path(), {"a.txt", "b.bin"}), 0);
        original = ReadFile(archive);
    }
    void TearDown() override {
        vardex::SetAllocationBudgetForTesting(-1);
        ResetEngine();
    }
    // Opens the archive and updates it with (or deletes) the masks, which are
    // made before the budget starts counting.
    uint16_t OnArchive(const std::vector<std::string>& masks, bool update, int budget) {
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        if (GetArchiveStatus() != 0) return GetArchiveStatus();
        SetInputPath(EnginePath(tmp.path()).c_str());
        Masks m(masks);
        vardex::SetAllocationBudgetForTesting(budget);
        if (update)
            CompressFileMaskListZip(m.get());
        else
            DeleteFileMaskListZip(m.get());
        vardex::SetAllocationBudgetForTesting(-1);
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return status;
    }
    int LeftOver() {
        std::string out;
        Sh("ls -a '" + tmp.path() + "' | grep -c '\\$SC\\|!!!'", &out);
        return atoi(out.c_str());
    }

    TempDir tmp;
    const std::string archive = tmp / "m.zip";
    std::vector<uint8_t> original;
};

TEST_F(Memory, UpdateAndDeleteFailCleanlyAtEveryBlock) {
    struct Case {
        bool update;
        std::vector<std::string> masks;
        int atLeast;  // work buffers, entry list nodes, the compressor's tables
        std::string namesAfter;
    } cases[] = {
        {true, {"c.txt", "a.txt"}, 4, Lines({"b.bin", "c.txt", "a.txt"})},  // replaced entries move behind
        {false, {"b.bin"}, 2, Lines({"a.txt"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.update ? "update" : "delete");
        WriteFile(archive, original);
        const int failures = FailEachAllocation([&](int budget) { return OnArchive(c.masks, c.update, budget); },
                                                [&] {
                                                    EXPECT_EQ(ReadFile(archive), original);
                                                    EXPECT_EQ(LeftOver(), 0);
                                                });
        EXPECT_GE(failures, c.atLeast);
        EXPECT_EQ(PyNames(archive), c.namesAfter);
        EXPECT_TRUE(PyTestZip(archive));
    }
}

TEST_F(Memory, SelfExtractorFailsCleanlyAtEveryBlock) {
    const std::string out = tmp / "pack.sfx";
    const int failures = FailEachAllocation(
        [&](int budget) {
            ResetEngine();
            SetInputPath(EnginePath(tmp.path()).c_str());
            Masks m({"a.txt", "b.bin"});
            vardex::SetAllocationBudgetForTesting(budget);
            CreateZipSfx(EnginePath(out).c_str(), m.get(), 3, 0, "Title", "");
            vardex::SetAllocationBudgetForTesting(-1);
            return GetArchiveStatus();
        },
        [&] {
            EXPECT_FALSE(FileExists(out));
            EXPECT_EQ(LeftOver(), 0);
        });
    EXPECT_GE(failures, 3);
    std::string log;
    EXPECT_EQ(Sh("unzip -tq '" + out + "'", &log), 0) << log;
}

}  // namespace
