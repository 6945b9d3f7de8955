// Self-extracting archives: the sealed configuration blocks, the stub library
// dialogue and its statuses, the volume split, and the head program that
// really extracts (and refuses a damaged file).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "api/engine.h"
#include "platform/platform.h"
#include "sfx/blocks.h"
#include "support/process.h"
#include "support/test_support.h"

namespace sfx = vardex::sfx;
namespace plat = vardex::platform;
using vxtest::TempDir;

namespace {

std::string StubsDir() { return VARDEX_TEST_STUBS_DIR; }

struct Built {
    std::vector<uint8_t> bytes;
    int64_t headLength = 0;  // where the first local header starts
};

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

Built Load(const std::string& path) {
    Built b;
    b.bytes = vxtest::ReadFile(path);
    // The end record's directory offset, then the first central header's local offset.
    for (size_t i = b.bytes.size() - 22 + 1; i-- > 0;) {
        if (memcmp(&b.bytes[i], "PK\x05\x06", 4) == 0) {
            uint32_t central = U32(&b.bytes[i + 16]);
            b.headLength = U32(&b.bytes[central + 42]);
            break;
        }
    }
    return b;
}

class Sfx : public ::testing::Test {
protected:
    void SetUp() override {
        vxtest::ResetEngine();
        ownModule_ = vardex::engine().moduleHandle;
        InitFileMaskList(&files_);
        vxtest::WriteFile(dir_ / "empty.txt", "");
        vxtest::WriteFile(dir_ / "one.txt", "1");
        vxtest::WriteFile(dir_ / "text.txt", vxtest::TextBytes(120000, 1));
        vxtest::WriteFile(dir_ / "random.bin", vxtest::RandomBytes(200000, 2));
        names_ = {"empty.txt", "one.txt", "text.txt", "random.bin"};
    }
    void TearDown() override {
        DoneFileMaskList(&files_);
        vardex::engine().moduleHandle = ownModule_;
        for (auto m : loaded_) plat::FreeLibrary(m);
    }

    // Names every test file, relative to the temp dir (the input path).
    void NameFiles() {
        SetInputPath(vxtest::EnginePath(dir_.path() + "/").c_str());
        for (const auto& n : names_) ASSERT_TRUE(AppendFileMask(n.c_str(), &files_));
    }

    // Makes the library look for its stub in a stand-in's directory.
    void UseFakeStub(const std::string& mode) {
        plat::Module m = plat::LoadLibraryA((StubsDir() + "/" + mode + "/KORVAL32.KVL").c_str());
        ASSERT_NE(m, nullptr) << mode;
        loaded_.push_back(m);
        vardex::engine().moduleHandle = plat::GetProcAddress(m, "FakeStubAnchor");
    }

    uint16_t Make(const std::string& out, int32_t form, int32_t volumes, const char* title = "Title",
                  const char* message = "") {
        CreateZipSfx(vxtest::EnginePath(out).c_str(), &files_, form, volumes, title, message);
        return GetArchiveStatus();
    }

    // Runs the head in the temp dir, its input from the null device (or the
    // options' file); returns its exit status and output, lines ended by \n.
    int RunHead(const std::string& sfxPath, const std::vector<std::string>& args, std::string* output = nullptr,
                vxtest::ProgramOptions options = {}) {
        options.dir = dir_.path();
        options.timeoutSeconds = 120;
        options.withoutConsole = true;  // a run from a terminal must not ask anything there
        std::string text;
        const int status = vxtest::RunProgram(sfxPath, args, &text, options);
        std::erase(text, '\r');
        if (output) *output = text;
        return status;
    }

    void ExpectExtractedSame(const std::string& outDir) {
        for (const auto& n : names_)
            EXPECT_EQ(vxtest::ReadFile(outDir + "/" + n), vxtest::ReadFile(dir_ / n)) << n;
    }

    TempDir dir_;
    FileMaskList files_;
    std::vector<std::string> names_;
    void* ownModule_ = nullptr;
    std::vector<plat::Module> loaded_;
};

int CountFiles(const std::string& dir) {
    int count = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir))
        if (item.is_regular_file()) ++count;
    return count;
}

// Files directly in dir whose names hold any of the marks.
int CountNamed(const std::string& dir, const std::vector<std::string>& marks) {
    int count = 0;
    for (const auto& item : std::filesystem::directory_iterator(dir))
        for (const auto& mark : marks)
            if (item.path().filename().string().find(mark) != std::string::npos) {
                ++count;
                break;
            }
    return count;
}

// Removes the files in dir whose names start with prefix.
void RemoveStartingWith(const std::string& dir, const std::string& prefix) {
    for (const auto& item : std::filesystem::directory_iterator(dir))
        if (item.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(item.path());
}

// The archive peer: unzip tests the file (on Linux; Windows has no unzip).
void ExpectUnzipAccepts(const std::string& archive) {
    if (!vxtest::HaveTool("unzip")) return;
    std::string log;
    EXPECT_EQ(vxtest::Run("unzip -t '" + archive + "'", &log), 0) << log;
}

std::string VardexProgram() {
#ifdef _WIN32
    return vxtest::BinaryDir() + "/vardex.exe";
#else
    return vxtest::BinaryDir() + "/vardex";
#endif
}

}  // namespace

TEST(SfxBlocks, ChecksumSignExtendsBytesAndSkipsTrailingOnes) {
    const uint8_t high[4] = {0x80, 0x00, 0x00, 0x00};
    EXPECT_EQ(sfx::SfxChecksum(high, 4, 0), 0xFFFFFF80u);
    const uint8_t plain[7] = {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(sfx::SfxChecksum(plain, 7, 0), 0x04030201u);  // the 3 bytes after the last group do not count
    EXPECT_EQ(sfx::SfxChecksum(plain, 4, 0x04030201u), 0u);
}

TEST(SfxBlocks, ScramblingRoundTripsThroughTheHeadsDecoder) {
    sfx::KeyTables keys;
    sfx::PrepareKeyTables(keys);
    for (uint32_t n : {sfx::kBlockASize, sfx::kBlockBSize, sfx::kBlockCSize, 1u, 33u}) {
        std::vector<uint8_t> in = vxtest::RandomBytes(n, n), scrambled(n), back(n);
        sfx::ScrambleBlock(keys, scrambled.data(), in.data(), static_cast<int32_t>(n));
        sfx::UnscrambleBlock(keys, back.data(), scrambled.data(), static_cast<int32_t>(n));
        EXPECT_EQ(back, in) << n;
        if (n > 33) {
            EXPECT_NE(scrambled, in);
        }
    }
    // Known answer from tests/support/sfx_seal.py, written from the layout
    // alone: 40 bytes (i * 37 + 11) wrap the 32-byte key tables.
    std::vector<uint8_t> in(40), out(40);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 37 + 11);
    sfx::ScrambleBlock(keys, out.data(), in.data(), 40);
    const char* expected = "0d8cf7083e49410728534f8ddd99901994882f057df9918d47d1c07d9fb52a6d8d4c77887ec98187";
    std::string hex;
    for (uint8_t b : out) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    EXPECT_EQ(hex, expected);
}

TEST_F(Sfx, FinishedFilePassesPeersAndExtractsItselfByteForByte) {
    NameFiles();
    const std::string out = dir_ / "pack.sfx";
    ASSERT_EQ(Make(out, 3, 0, "Demo pack"), 0);
    EXPECT_EQ(files_.first, nullptr) << "the host's list is released after success";
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
#endif

    std::string log;
    ExpectUnzipAccepts(out);
    if (vxtest::HaveTool("7z")) {
        EXPECT_EQ(vxtest::Run("7z t '" + out + "'", &log), 0) << log;
    }

    std::string listing;
    EXPECT_EQ(RunHead(out, {"-l"}, &listing), 0) << listing;
    EXPECT_EQ(listing.rfind("Demo pack\n", 0), 0u) << listing;
    EXPECT_NE(listing.find("random.bin"), std::string::npos);

    ASSERT_EQ(RunHead(out, {"-d", "fresh"}, &log), 0) << log;
    ExpectExtractedSame(dir_ / "fresh");
}

TEST_F(Sfx, CheckingBeforeExtractingWritesNothingToTheTemporaryDirectory) {
    NameFiles();
    const std::string out = dir_ / "pack.sfx";
    ASSERT_EQ(Make(out, 3, 0), 0);
    // A temporary directory that cannot hold anything: the check must not
    // need one.
    const std::string notADirectory = dir_ / "not-a-directory";
    vxtest::WriteFile(notADirectory, std::string("x"));
    vxtest::ProgramOptions options;
    for (const char* variable : {"TMPDIR", "TMP", "TEMP"}) options.env.emplace_back(variable, notADirectory);
    std::string log;
    ASSERT_EQ(RunHead(out, {"-d", "checked"}, &log, options), 0) << log;
    ExpectExtractedSame(dir_ / "checked");
    EXPECT_EQ(vxtest::ReadText(notADirectory), "x");
}

TEST_F(Sfx, SealedBlocksHoldCountLengthAndTheChecksumOverPlaceholders) {
    VXTEST_NEEDS_POSIX("Python to read the sealed blocks independently");
    NameFiles();
    const std::string out = dir_ / "pack.sfx";
    ASSERT_EQ(Make(out, 3, 0), 0);
    // An independent reading of the file: Python finds the head's end through
    // zipfile, unscrambles the blocks and recomputes the checksum.
    std::string got;
    ASSERT_EQ(vxtest::Run(vxtest::Python() + " '" + vxtest::SourceDir() + "/tests/support/sfx_seal.py' '" + out + "'",
                          &got),
              0)
        << got;
    unsigned long count = 0, length = 0, recorded = 0, computed = 0;
    ASSERT_EQ(sscanf(got.c_str(), "%lu %lu %lu %lu", &count, &length, &recorded, &computed), 4) << got;
    EXPECT_EQ(count, names_.size());
    EXPECT_EQ(length, vxtest::ReadFile(out).size());
    EXPECT_EQ(recorded, computed);
}

TEST_F(Sfx, DamagedFileIsRefusedAndNothingIsExtracted) {
    NameFiles();
    const std::string out = dir_ / "pack.sfx";
    ASSERT_EQ(Make(out, 3, 0), 0);
    const Built b = Load(out);
    const int64_t blocksStart = b.headLength - sfx::kBlocksSize;
    const int64_t size = static_cast<int64_t>(b.bytes.size());
    // Bytes of the banner in front of the blocks, of entry data and of the
    // central directory, including ones the sign-extended checksum cannot see.
    std::vector<int64_t> offsets = {blocksStart - 40, blocksStart - 1, b.headLength + 5, b.headLength + 60,
                                    b.headLength + 150001, b.headLength + 150002, size - 30, size - 60};
    for (int64_t off = b.headLength + 1000; off < b.headLength + 1064; ++off) offsets.push_back(off);
    for (int64_t off : offsets) {
        std::vector<uint8_t> bytes = b.bytes;
        bytes[static_cast<size_t>(off)] ^= 0x01;
        const std::string bad = dir_ / "bad.sfx";
        vxtest::WriteFile(bad, bytes);
        chmod(bad.c_str(), 0755);
        vxtest::RemoveTree(dir_ / "out");
        std::filesystem::create_directory(dir_ / "out");
        std::string log;
        EXPECT_NE(RunHead(bad, {"-d", "out"}, &log), 0) << "flip at " << off << "\n" << log;
        EXPECT_EQ(CountFiles(dir_ / "out"), 0) << "flip at " << off;
    }
}

TEST_F(Sfx, FirstFormLeavesTheStubsBlocksAsWritten) {
    NameFiles();
    const std::string out = dir_ / "first.sfx";
    ASSERT_EQ(Make(out, 0, 0, "Plain title", "Plain message"), 0);
    // The head the stub writes for the same request, byte for byte in front.
    plat::Module stub = plat::LoadLibraryA((vxtest::BinaryDir() + "/tests/KORVAL32.KVL").c_str());
    ASSERT_NE(stub, nullptr);
    loaded_.push_back(stub);
    using HeadFn = int32_t (*)(const char*, int32_t, int32_t, int32_t, const char*, const char*);
    auto head = reinterpret_cast<HeadFn>(plat::GetProcAddress(stub, "GetSfxHead"));
    ASSERT_NE(head, nullptr);
    const std::string alone = dir_ / "head.bin";
    ASSERT_EQ(head(vxtest::EnginePath(alone).c_str(), 3, 0, 0, "Plain title", "Plain message"), 1);
    const std::vector<uint8_t> expected = vxtest::ReadFile(alone);
    const Built b = Load(out);
    ASSERT_EQ(b.headLength, static_cast<int64_t>(expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), b.bytes.begin()));
    std::string log;
    ASSERT_EQ(RunHead(out, {"-d", "o"}, &log), 0) << log;
    ExpectExtractedSame(dir_ / "o");
}

namespace {
int g_disks = 0;
std::string g_lastDisk;
int32_t CountDisk(uint32_t word, int32_t volume, char* path) {
    EXPECT_EQ(word, 77u);
    EXPECT_EQ(volume, g_disks + 2);
    ++g_disks;
    g_lastDisk = path;
    return 1;
}
int32_t RefuseDisk(uint32_t, int32_t, char*) { return 0; }
}  // namespace

TEST_F(Sfx, SplitSetHasFullVolumesAndReassemblesAndRuns) {
    vxtest::WriteFile(dir_ / "random.bin", vxtest::RandomBytes(900000, 3));
    NameFiles();
    g_disks = 0;
    SetGetNextDiskProc(77, CountDisk);
    const std::string out = dir_ / "pack.sfx";
    ASSERT_EQ(Make(out, 3, 1), 0);
    std::vector<uint8_t> joined = vxtest::ReadFile(out);
    EXPECT_EQ(joined.size(), 362496u);
    for (int v = 1; v <= g_disks; ++v) {
        char name[32];
        snprintf(name, sizeof name, "pack.s%02d", v);
        auto part = vxtest::ReadFile(dir_ / name);
        if (v < g_disks) {
            EXPECT_EQ(part.size(), 362496u) << name;
        }
        EXPECT_LE(part.size(), 362496u) << name;
        joined.insert(joined.end(), part.begin(), part.end());
    }
    const size_t volumes = (joined.size() + 362495) / 362496;
    ASSERT_GE(volumes, 3u);
    EXPECT_EQ(static_cast<size_t>(g_disks), volumes - 1);
    char last[16];
    snprintf(last, sizeof last, "pack.s%02zu", volumes - 1);
    EXPECT_NE(g_lastDisk.find(last), std::string::npos) << g_lastDisk;
    vxtest::WriteFile(dir_ / "joined.zip", joined);
    ExpectUnzipAccepts(dir_ / "joined.zip");
    std::string log;
    ASSERT_EQ(RunHead(out, {"-d", "o"}, &log), 0) << log;
    ExpectExtractedSame(dir_ / "o");
}

TEST_F(Sfx, ResizeFileCutsAnyFileIntoVolumesThatJoinToIt) {
    plat::Module stub = plat::LoadLibraryA((vxtest::BinaryDir() + "/tests/KORVAL32.KVL").c_str());
    ASSERT_NE(stub, nullptr);
    loaded_.push_back(stub);
    using ResizeFn = uint16_t (*)(const char*, const char*, uint32_t);
    auto resize = reinterpret_cast<ResizeFn>(plat::GetProcAddress(stub, "ResizeFile"));
    ASSERT_NE(resize, nullptr);
    const auto data = vxtest::RandomBytes(362496 * 2 + 17, 9);
    vxtest::WriteFile(dir_ / "whole", data);
    ASSERT_EQ(resize(vxtest::EnginePath(dir_ / "whole").c_str(), vxtest::EnginePath(dir_ / "v.sfx").c_str(), 362496),
              0);
    std::vector<uint8_t> joined;
    for (const char* n : {"v.sfx", "v.s01", "v.s02"}) {
        auto part = vxtest::ReadFile(dir_ / n);
        joined.insert(joined.end(), part.begin(), part.end());
    }
    EXPECT_EQ(joined, data);
    EXPECT_FALSE(vxtest::FileExists(dir_ / "v.s03"));
}

namespace {
int g_replaceQuestions = 0;
int32_t VARDEX_CALL ReplaceAndCount(uint32_t, VARDEX_FIND_DATA*, VARDEX_FIND_DATA*) {
    ++g_replaceQuestions;
    return 0;
}
}  // namespace

TEST_F(Sfx, VolumesTakeTheNamesOfPlantedLinksAndLeaveWhatTheyLeadTo) {
    plat::Module stub = plat::LoadLibraryA((vxtest::BinaryDir() + "/tests/KORVAL32.KVL").c_str());
    ASSERT_NE(stub, nullptr);
    loaded_.push_back(stub);
    using ResizeFn = uint16_t (*)(const char*, const char*, uint32_t);
    using SetReplaceFn = void (*)(uint32_t, OkToReplaceProc);
    auto resize = reinterpret_cast<ResizeFn>(plat::GetProcAddress(stub, "ResizeFile"));
    auto setReplace = reinterpret_cast<SetReplaceFn>(plat::GetProcAddress(stub, "SetOkToReplaceProc"));
    ASSERT_NE(resize, nullptr);
    ASSERT_NE(setReplace, nullptr);

    const std::vector<uint8_t> kept = {'k', 'e', 'e', 'p'};
    vxtest::WriteFile(dir_ / "elsewhere", kept);
    std::error_code ec;
    std::filesystem::create_symlink(dir_ / "elsewhere", dir_ / "v.s01", ec);
    if (ec) GTEST_SKIP() << "links cannot be made here: " << ec.message();
    std::filesystem::create_symlink(dir_ / "nowhere", dir_ / "v.s02", ec);
    ASSERT_FALSE(ec);

    const auto data = vxtest::RandomBytes(362496 * 2 + 17, 5);
    vxtest::WriteFile(dir_ / "whole", data);
    g_replaceQuestions = 0;
    setReplace(0, ReplaceAndCount);
    const uint16_t status =
        resize(vxtest::EnginePath(dir_ / "whole").c_str(), vxtest::EnginePath(dir_ / "v.sfx").c_str(), 362496);
    setReplace(0, nullptr);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(g_replaceQuestions, 1);  // the live link is asked about; the dangling one is found by no search
    EXPECT_EQ(vxtest::ReadFile(dir_ / "elsewhere"), kept);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "nowhere"));
    std::vector<uint8_t> joined;
    for (const char* n : {"v.sfx", "v.s01", "v.s02"}) {
        EXPECT_FALSE(std::filesystem::is_symlink(dir_ / n)) << n;
        auto part = vxtest::ReadFile(dir_ / n);
        joined.insert(joined.end(), part.begin(), part.end());
    }
    EXPECT_EQ(joined, data);
}

TEST_F(Sfx, CancelledSplitKeepsTheFinishedArchive) {
    vxtest::WriteFile(dir_ / "random.bin", vxtest::RandomBytes(500000, 4));
    NameFiles();
    SetGetNextDiskProc(1, RefuseDisk);
    const std::string out = dir_ / "pack.sfx";
    EXPECT_EQ(Make(out, 3, 1), 2926);
    EXPECT_FALSE(vxtest::FileExists(dir_ / "pack.s01"));
    ExpectUnzipAccepts(out);
}

TEST_F(Sfx, StubStatusesTable) {
    struct Case {
        const char* stub;  // "" = a directory without any stub
        int32_t form;
        int32_t volumes;
        uint16_t status;
    } cases[] = {
        {"", 3, 0, 2},         {"nohead2", 3, 0, 106}, {"fail0", 3, 0, 5}, {"fail7", 3, 0, 32768},
        {"short", 3, 0, 9964}, {"headonly", 3, 1, 106},
    };
    for (const auto& c : cases) {
        vxtest::ResetEngine();
        DoneFileMaskList(&files_);
        NameFiles();
        if (*c.stub) {
            UseFakeStub(c.stub);
        } else {
            // A system library, in a directory with no stub beside it.
#ifdef _WIN32
            plat::Module z = plat::LoadLibraryA("kernel32.dll");
            const char* anchor = "GetTickCount";
#else
            plat::Module z = plat::LoadLibraryA("libz.so.1");
            const char* anchor = "zlibVersion";
#endif
            ASSERT_NE(z, nullptr);
            loaded_.push_back(z);
            vardex::engine().moduleHandle = plat::GetProcAddress(z, anchor);
        }
        const std::string out = dir_ / "status.sfx";
        EXPECT_EQ(Make(out, c.form, c.volumes), c.status) << c.stub;
        if (c.status != 106 || c.volumes == 0) {
            EXPECT_NE(files_.first, nullptr) << c.stub << ": the host's list is kept after a failure";
            EXPECT_FALSE(vxtest::FileExists(out)) << c.stub;
        }
        EXPECT_EQ(CountNamed(dir_.path(), {"$SC", "!!!"}), 0) << c.stub << ": no temporary head or backup is left";
        std::filesystem::remove(out);
    }
}

TEST_F(Sfx, StubWithoutSplitEntryPointsServesAnUnsplitArchive) {
    NameFiles();
    UseFakeStub("headonly");
    const std::string out = dir_ / "plain.sfx";
    ASSERT_EQ(Make(out, 3, 0), 0);
    ExpectUnzipAccepts(out);
    EXPECT_EQ(Load(out).headLength, 9000);
}

TEST_F(Sfx, SplitWithoutTemporaryDirectoryGives9963) {
    NameFiles();
    // The variable the system's temporary directory comes from.
#ifdef _WIN32
    const char* variable = "TMP";
#else
    const char* variable = "TMPDIR";
#endif
    vxtest::EnvGuard tooLong(variable, ("/" + std::string(300, 'x')).c_str());
    EXPECT_EQ(Make(dir_ / "pack.sfx", 3, 1), 9963);
}

TEST_F(Sfx, OnlyALetterWithAColonIsADisketteDrive) {
    NameFiles();
    vxtest::WorkingDirGuard here(dir_.path());
    EXPECT_EQ(Make("archive.sfx", 3, 1), 0);
    const bool split = vxtest::FileExists(dir_ / "archive.sfx") && !vxtest::FileExists(dir_ / "archive.s01");
    EXPECT_TRUE(split) << "archive.sfx is an ordinary file name, written where it was asked";
}

TEST_F(Sfx, DisketteTargetIsBuiltInTheTemporaryDirectoryAndSplitOntoTheDrive) {
    VXTEST_NEEDS_POSIX("a directory named like a drive (\"B:\")");
    NameFiles();
    TempDir temp;
    vxtest::EnvGuard tmp("TMPDIR", temp.path().c_str());
    // On this system "B:" is just a directory in the working directory.
    ASSERT_EQ(mkdir((dir_ / "B:").c_str(), 0777), 0);
    uint16_t status = 0;
    int lastPercent = -1;
    static int* progress;
    progress = &lastPercent;
    SetSetSfxProgressProc(5, [](uint32_t word, int32_t percent) -> int32_t {
        EXPECT_EQ(word, 5u);
        *progress = percent;
        return 1;
    });
    {
        vxtest::WorkingDirGuard here(dir_.path());
        status = Make("B:\\pack.sfx", 3, 4);
    }
    ASSERT_EQ(status, 0);
    EXPECT_EQ(lastPercent, 100);
    EXPECT_EQ(CountFiles(temp.path()), 0) << "the work copy in the temporary directory is removed";
    ExpectUnzipAccepts(dir_ / "B:/pack.sfx");
    std::string log;
    ASSERT_EQ(RunHead(dir_ / "B:/pack.sfx", {"-d", "o"}, &log), 0) << log;
    ExpectExtractedSame(dir_ / "o");
}

TEST_F(Sfx, LongTextsAreCutToTheirFields) {
    NameFiles();
    const std::string title(1000, 'T'), message(3000, 'M');
    const std::string out = dir_ / "texts.sfx";
    ASSERT_EQ(Make(out, 3, 0, title.c_str(), message.c_str()), 0);
    std::string listing;
    ASSERT_EQ(RunHead(out, {"-l"}, &listing), 0);
    EXPECT_EQ(listing.substr(0, listing.find('\n')), std::string(255, 'T'));
}

TEST_F(Sfx, ZipToolsOfThisProjectKeepTheHeadByteForByte) {
    NameFiles();
    const std::string out = dir_ / "pack.sfx";
    ASSERT_EQ(Make(out, 3, 0), 0);
    const Built before = Load(out);
    const std::vector<uint8_t> head(before.bytes.begin(), before.bytes.begin() + before.headLength);
    const std::string vardex = VardexProgram();
    vxtest::ProgramOptions here;
    here.dir = dir_.path();
    std::string log;
    vxtest::WriteFile(dir_ / "added.txt", "added later\n");
    ASSERT_EQ(vxtest::RunProgram(vardex, {"add", "pack.sfx", "added.txt"}, &log, here), 0) << log;
    ASSERT_EQ(vxtest::RunProgram(vardex, {"delete", out, "one.txt"}, &log), 0) << log;
    ASSERT_EQ(vxtest::RunProgram(vardex, {"list", out}, &log), 0) << log;
    EXPECT_NE(log.find("added.txt"), std::string::npos);
    EXPECT_EQ(log.find("one.txt"), std::string::npos);
    ASSERT_EQ(vxtest::RunProgram(vardex, {"extract", out, "-d", dir_ / "x"}, &log), 0) << log;
    EXPECT_EQ(vxtest::ReadFile(dir_ / "x/random.bin"), vxtest::ReadFile(dir_ / "random.bin"));
    const Built after = Load(out);
    ASSERT_EQ(after.headLength, before.headLength);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), after.bytes.begin()));
    ExpectUnzipAccepts(out);
}

namespace {
std::vector<uint8_t> Received(const std::string& out) { return vxtest::ReadFile(out + ".got"); }
}  // namespace

TEST_F(Sfx, SecondFormHandsTheHostsRecordToTheStubUnchanged) {
    NameFiles();
    UseFakeStub("headonly");
    SfxDesc desc;
    auto* raw = reinterpret_cast<uint8_t*>(&desc);
    for (size_t i = 0; i < sizeof desc; ++i) raw[i] = static_cast<uint8_t>(i * 13 + 5);
    desc.form = 3;
    desc.volumeChoice = 0;
    snprintf(desc.text1, sizeof desc.text1, "Title");
    const SfxDesc before = desc;
    const std::string out = dir_ / "record.sfx";
    CreateZipSfx2(vxtest::EnginePath(out).c_str(), &files_, &desc);
    ASSERT_EQ(GetArchiveStatus(), 0);
    const std::vector<uint8_t> got = Received(out);
    ASSERT_EQ(got.size(), 4 + sizeof(SfxDesc));
    EXPECT_EQ(U32(got.data()), 3u);
    EXPECT_EQ(memcmp(got.data() + 4, &before, sizeof before), 0) << "the stub sees the host's record as it was";
    EXPECT_EQ(memcmp(&desc, &before, sizeof before), 0) << "the host's record is not changed";
}

TEST_F(Sfx, CreateZipSfxFillsAZeroedRecordAndCutsItsTexts) {
    // text 2 is cut at 1,031 bytes, before a two-byte character that would straddle the end.
    const std::string longTitle(300, 'T'), longMessage = std::string(1030, 'M') + "\xC3\xA4" + "rest";
    std::string cutMessage(1030, 'M');
#ifdef _WIN32
    // In a single-byte ANSI code page each of the two bytes is a character.
    CPINFO codePage{};
    if (GetCPInfo(CP_ACP, &codePage) && codePage.MaxCharSize == 1) cutMessage += "\xC3";
#endif
    struct Case {
        const char* title;
        const char* message;
        std::string text1, text2;
    } cases[] = {
        {"", "", "", ""},
        {"Title \xC3\xBC", "Message", "Title \xC3\xBC", "Message"},
        {longTitle.c_str(), longMessage.c_str(), std::string(255, 'T'), cutMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text1.size());
        vxtest::ResetEngine();
        DoneFileMaskList(&files_);
        NameFiles();
        UseFakeStub("headonly");
        const std::string out = dir_ / "fill.sfx";
        std::filesystem::remove(out);
        ASSERT_EQ(Make(out, 4, 0, c.title, c.message), 0);
        const std::vector<uint8_t> got = Received(out);
        ASSERT_EQ(got.size(), 4 + sizeof(SfxDesc));
        SfxDesc expected;
        memset(&expected, 0, sizeof expected);
        expected.form = 4;
        memcpy(expected.text1, c.text1.data(), c.text1.size());
        memcpy(expected.text2, c.text2.data(), c.text2.size());
        EXPECT_EQ(memcmp(got.data() + 4, &expected, sizeof expected), 0);
    }
}

TEST_F(Sfx, FirstFormPassesFormSplitAndTextsToGetSfxHead) {
    struct Case {
        int32_t form, volumes;
        uint16_t status;  // the stand-in has no ResizeFile for a split
        const char* title;
        const char* message;
        const char* received;
    } cases[] = {
        {0, 0, 0, "One", "Two", "3 0 0\nOne\nTwo\n"},
        {2, 0, 0, "", "", "3 2 0\n\n\n"},
        {-5, 3, VX_STUB_ENTRY_MISSING, "T", "", "3 -5 1\nT\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.received);
        vxtest::ResetEngine();
        DoneFileMaskList(&files_);
        NameFiles();
        UseFakeStub("headonly");
        const std::string out = dir_ / "first.sfx";
        RemoveStartingWith(dir_.path(), "first.sfx");
        EXPECT_EQ(Make(out, c.form, c.volumes, c.title, c.message), c.status);
        const std::vector<uint8_t> got = Received(out);
        EXPECT_EQ(std::string(got.begin(), got.end()), c.received);
    }
}

TEST_F(Sfx, VolumeChoiceWithoutAVolumeSizeIsRefusedBeforeAnythingIsWritten) {
    for (int32_t volumes : {-1, 5, 1000}) {
        SCOPED_TRACE(volumes);
        vxtest::ResetEngine();
        DoneFileMaskList(&files_);
        NameFiles();
        const std::string out = dir_ / "bad.sfx";
        EXPECT_EQ(Make(out, 3, volumes), VX_BAD_DATA);
        EXPECT_NE(files_.first, nullptr) << "the host's list is kept";
        EXPECT_FALSE(vxtest::FileExists(out));
        EXPECT_EQ(CountFiles(dir_.path()), 4) << "only the four inputs";
    }
}

TEST_F(Sfx, LowerCaseDisketteLetterIsADisketteDriveToo) {
    VXTEST_NEEDS_POSIX("a directory named like a drive (\"b:\")");
    NameFiles();
    TempDir temp;
    vxtest::EnvGuard tmp("TMPDIR", temp.path().c_str());
    ASSERT_EQ(mkdir((dir_ / "b:").c_str(), 0777), 0);
    uint16_t status = 0;
    {
        vxtest::WorkingDirGuard here(dir_.path());
        status = Make("b:\\pack.sfx", 3, 4);
    }
    ASSERT_EQ(status, 0);
    EXPECT_EQ(CountFiles(temp.path()), 0) << "the work copy in the temporary directory is removed";
    ExpectUnzipAccepts(dir_ / "b:/pack.sfx");
}

TEST_F(Sfx, HeadAsksForAPasswordOnlyAtATerminalAndWritesNothingWithoutOne) {
    NameFiles();
    SetCryptKey("secret");
    const std::string out = dir_ / "locked.sfx";
    ASSERT_EQ(Make(out, 3, 0), 0);
    std::string log;
    ASSERT_EQ(RunHead(out, {"-l"}, &log), 0) << log;
    EXPECT_NE(log.find("random.bin *"), std::string::npos) << "encrypted entries are marked\n" << log;

    // Input from the null device or from a file is no terminal to ask: the
    // head gives up at once instead of waiting, and nothing is written.
    vxtest::WriteFile(dir_ / "answer.txt", std::string("secret\n"));
    for (const std::string& input : {std::string(), dir_ / "answer.txt"}) {
        SCOPED_TRACE(input);
        vxtest::ProgramOptions options;
        options.input = input;
        EXPECT_EQ(RunHead(out, {"-d", "o"}, &log, options), 1) << log;
        EXPECT_NE(log.find("nothing was extracted"), std::string::npos) << log;
        EXPECT_FALSE(std::filesystem::exists(dir_ / "o"));
    }

    // At a terminal the password is asked for, read without echo (it is
    // typed once the echo is off), and the files come out.
    VXTEST_NEEDS_POSIX("a pseudo-terminal");
    ASSERT_EQ(vxtest::AtTerminal("cd " + vxtest::Quote(dir_.path()) + " && " + vxtest::Quote(out) + " -d o",
                                 {"Password for ", "secret"}, &log, true),
              0)
        << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << "the password is not echoed\n" << log;
    ExpectExtractedSame(dir_ / "o");
}

TEST_F(Sfx, HeadKeepsExistingFilesWithoutATerminalUnlessToldToOverwrite) {
    NameFiles();
    const std::string out = dir_ / "pack.sfx";
    ASSERT_EQ(Make(out, 3, 0), 0);
    std::string log;
    ASSERT_EQ(RunHead(out, {"-d", "o"}, &log), 0) << log;
    struct Case {
        std::vector<std::string> args;
        int exitStatus;
        const char* oneTxt;
    } cases[] = {
        {{"-d", "o"}, 0, "mine"},
        {{"-o", "-d", "o"}, 0, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        vxtest::WriteFile(dir_ / "o/one.txt", std::string("mine"));
        EXPECT_EQ(RunHead(out, c.args, &log), c.exitStatus) << log;
        EXPECT_EQ(vxtest::ReadText(dir_ / "o/one.txt"), c.oneTxt) << log;
        EXPECT_EQ(vxtest::ReadFile(dir_ / "o/random.bin"), vxtest::ReadFile(dir_ / "random.bin"));
    }
}
