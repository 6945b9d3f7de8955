// Files compressed ahead on worker threads: the archive and every host
// callback are exactly those of the single-threaded update, cancelling and a
// full disk still roll back, and each stream compressed ahead is the one the
// caller's thread would have made.
#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
#include <vector>

#include "api/engine.h"
#include "platform/platform.h"
#include "support/deflate_support.h"
#include "update/ahead.h"
#include "update_helpers.h"
#include "vardex32x.h"

using namespace vxtest;

namespace {

// Every host callback of one update, in order.
struct CallLog {
    static inline std::vector<std::string> calls;
    static inline int progressCalls = 0;
    static inline int cancelAt = 0;  // the progress call that answers 0 (0: none)

    static int32_t VARDEX_CALL Name(uint32_t word, const char*, const char* stored) {
        calls.push_back("name " + std::to_string(word) + " " + stored);
        return 1;
    }
    static int32_t VARDEX_CALL Skip(uint32_t word, const char* path) {
        calls.push_back("skip " + std::to_string(word) + " " + std::string(path).substr(std::string(path).rfind('\\') + 1));
        return 1;
    }
    static int32_t VARDEX_CALL Progress(uint32_t word, int32_t percent) {
        calls.push_back("progress " + std::to_string(word) + " " + std::to_string(percent));
        return ++progressCalls == cancelAt ? 0 : 1;
    }
    static int32_t VARDEX_CALL Replace(uint32_t word, WIN32_FIND_DATAA* existing, WIN32_FIND_DATAA* found) {
        calls.push_back("replace " + std::to_string(word) + " " + existing->cFileName + " " +
                        std::to_string(found->nFileSizeLow));
        return 0;
    }
};

struct Outcome {
    uint16_t status;
    std::vector<uint8_t> archive;
    std::vector<std::string> calls;
};

class Threads : public ::testing::Test {
protected:
    void SetUp() override {
        // Small and empty files, text spanning several reads, one that does
        // not compress (stored after Deflate), one above the size compressed
        // ahead, a directory, a missing file and a file named twice.
        for (int i = 0; i < 24; ++i)
            WriteFile(dir_ / ("t" + std::to_string(i) + ".txt"), TextBytes(static_cast<size_t>(i) * 9000, 100 + i));
        WriteFile(dir_ / "empty", std::string());
        WriteFile(dir_ / "wide.txt", TextBytes(1500000, 7));
        WriteFile(dir_ / "noise.bin", RandomBytes(300000, 8));
        WriteFile(dir_ / "large.txt", TextBytes(static_cast<size_t>(vardex::kAheadFileLimit) + 1000, 9));
        ASSERT_EQ(Sh("mkdir " + Quote(dir_ / "sub")), 0);
        WriteFile(dir_ / "sub/inner.txt", TextBytes(20000, 10));
        ASSERT_EQ(Sh("touch -d @" + std::to_string(kPinnedFileTime) + " " + Quote(dir_ / "sub")), 0);
        names_ = {"t0.txt", "wide.txt", "empty", "noise.bin", "missing.txt", "sub", "sub/inner.txt", "large.txt"};
        for (int i = 1; i < 24; ++i) names_.push_back("t" + std::to_string(i) + ".txt");
        names_.push_back("t3.txt");
        // The archive updated: two of its entries are named again.
        ASSERT_EQ(CreateArchive(dir_ / "base.zip", dir_.path(), {"t5.txt", "t6.txt", "noise.bin"}), 0);
    }

    Outcome Update(uint32_t threads, uint32_t level, int cancelAt, int64_t writeBudget) {
        const std::string archive = out_ / "a.zip";
        WriteFile(archive, ReadFile(dir_ / "base.zip"));
        ResetEngine();
        InitZipFile(EnginePath(archive).c_str());
        EXPECT_EQ(GetArchiveStatus(), 0);
        EXPECT_EQ(VxSetThreadCount(threads), threads);
        uint32_t desc[VX_ARCERDESC_WORDS];
        GetArcerDesc(desc);
        desc[9] = level;
        SetArcerStats(desc);
        SetInputPath(EnginePath(dir_.path() + "/").c_str());
        SetSetFileNameProc(1, CallLog::Name);
        SetSkipFileProc(2, CallLog::Skip);
        SetSetProgressProc(3, CallLog::Progress);
        SetOkToReplaceProc(4, CallLog::Replace);
        CallLog::calls.clear();
        CallLog::progressCalls = 0;
        CallLog::cancelAt = cancelAt;
        Masks masks(names_);
        vardex::platform::SetWriteBudgetForTesting(writeBudget);
        CompressFileMaskListZip(masks.get());
        vardex::platform::SetWriteBudgetForTesting(-1);
        Outcome o{GetArchiveStatus(), {}, CallLog::calls};
        // The pack level setting reports the level in effect.
        EXPECT_EQ(vardex::engine().packLevel, level >= 1 && level <= 4 ? int32_t(level) : 1);
        DoneZipFile();
        VxSetThreadCount(1);
        o.archive = ReadFile(archive);
        return o;
    }

    TempDir dir_;
    TempDir out_;
    std::vector<std::string> names_;
};

TEST_F(Threads, UpdateOnWorkerThreadsMatchesTheCallersThreadByteForByteAndCallForCall) {
    struct Case {
        const char* name;
        uint32_t level;
        int cancelAt;        // progress call answered 0
        int64_t writeBudget; // bytes the device takes (-1: no limit)
        uint16_t status;
    };
    const Case cases[] = {
        {"level 1", 1, 0, -1, 0},
        {"level 3", 3, 0, -1, 0},
        {"level outside 1-4", 9, 0, -1, 0},
        {"cancel at the start", 1, 2, -1, VX_CANCELLED},
        {"cancel in the middle", 2, 40, -1, VX_CANCELLED},
        {"disk full", 1, 0, 400000, VX_SHORT_WRITE},
    };
    const std::vector<uint8_t> base = ReadFile(dir_ / "base.zip");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome one = Update(1, c.level, c.cancelAt, c.writeBudget);
        ASSERT_EQ(one.status, c.status);
        for (uint32_t threads : {2u, 4u}) {
            SCOPED_TRACE(threads);
            const Outcome many = Update(threads, c.level, c.cancelAt, c.writeBudget);
            EXPECT_EQ(many.status, one.status);
            EXPECT_EQ(many.archive, one.archive);
            EXPECT_EQ(many.calls, one.calls);
        }
        if (c.status != 0) {
            EXPECT_EQ(one.archive, base);  // rolled back
        } else {
            EXPECT_TRUE(PyTestZip(out_ / "a.zip"));
            EXPECT_EQ(PyRead(out_ / "a.zip", "wide.txt"), TextBytes(1500000, 7));
        }
    }
}

// Each file compressed ahead carries the stream, the CRC-32 and the progress
// shares the caller's thread would have produced; empty, large and missing
// files are left to the caller.
TEST(CompressAhead, ResultsAreWhatTheCallersCompressorMakes) {
    TempDir dir;
    struct File {
        std::string name;
        std::vector<uint8_t> data;
        bool ahead;
    };
    const std::vector<File> files = {
        {"text", TextBytes(200000, 1), true},
        {"noise", RandomBytes(70000, 2), true},
        {"empty", {}, false},
        {"large", TextBytes(static_cast<size_t>(vardex::kAheadFileLimit) + 1, 3), false},
        {"missing", {}, false},
        {"", {}, false},
        {"small", {'x'}, true},
    };
    std::vector<std::string> paths;
    for (const File& f : files) {
        if (f.name.empty()) {
            paths.emplace_back();
            continue;
        }
        if (f.name != "missing") WriteFile(dir / f.name, f.data);
        paths.push_back(EnginePath(dir / f.name));
    }
    for (uint8_t level : {1, 4}) {
        SCOPED_TRACE(int(level));
        vardex::CompressAhead ahead(paths, 3, level);
        ahead.WaitUntilIdleForTesting();
        for (size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE(files[i].name);
            const vardex::AheadResult* r = ahead.Take(i);
            ASSERT_EQ(r != nullptr, files[i].ahead);
            if (!r) continue;
            static std::vector<int32_t> shares;
            shares.clear();
            DeflateOptions options;
            options.progress.proc = [](uint32_t, int32_t percent) -> int32_t {
                shares.push_back(percent);
                return 1;
            };
            const DeflateRun run = DeflateMemory(files[i].data, level, options);
            EXPECT_EQ(r->data, run.stream);
            EXPECT_EQ(r->outcome.compressedSize, run.stream.size());
            EXPECT_EQ(r->outcome.crc, crc32(0, files[i].data.data(), static_cast<uInt>(files[i].data.size())));
            EXPECT_EQ(r->sourceSize, files[i].data.size());
            std::vector<int32_t> recorded;
            for (const auto& report : r->reports) recorded.push_back(report.percent);
            EXPECT_EQ(recorded, shares);
            // Each share follows the stream bytes produced before it.
            for (size_t k = 1; k < r->reports.size(); ++k)
                EXPECT_LE(r->reports[k - 1].producedBefore, r->reports[k].producedBefore);
        }
    }
}

// The caller may skip ahead, or stop early: what was given up is let go and
// the workers end with the object.
TEST(CompressAhead, FilesPassedOverAndAnEarlyEndReleaseEverything) {
    TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        WriteFile(dir / std::to_string(i), TextBytes(600000, 30 + i));
        paths.push_back(EnginePath(dir / std::to_string(i)));
    }
    {
        vardex::CompressAhead ahead(paths, 4, 2);
        const vardex::AheadResult* r = ahead.Take(30);
        if (r) {
            EXPECT_EQ(r->data, DeflateMemory(TextBytes(600000, 60), 2).stream);
        }
    }
    vardex::CompressAhead ahead(paths, 4, 1);
    ahead.Take(2);
}

}  // namespace
