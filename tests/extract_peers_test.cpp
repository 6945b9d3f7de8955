// Archives written by independent tools (Info-ZIP zip, Python's zipfile,
// 7-Zip) extract here byte for byte: stored, deflated at several levels,
// streamed with data descriptors, and encrypted with the traditional cipher.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vardex32.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kPassword = "Peer-Secret9";

// The files every archive holds (relative paths below the source directory).
const std::vector<std::string> kFiles = {"empty.bin", "one.bin", "window.txt", "text.txt", "random.bin",
                                         "sub/dir/nested.txt"};

int32_t GiveUp(uint32_t, char*, const char*) { return 0; }

class ExtractPeers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        source_ = new vxtest::TempDir();
        const auto& d = *source_;
        mkdir((d / "sub").c_str(), 0755);
        mkdir((d / "sub/dir").c_str(), 0755);
        vxtest::WriteFile(d / "empty.bin", Bytes{});
        vxtest::WriteFile(d / "one.bin", Bytes{0xA5});
        vxtest::WriteFile(d / "window.txt", vxtest::TextBytes(32768, 1));
        vxtest::WriteFile(d / "text.txt", vxtest::TextBytes(300000, 2));
        vxtest::WriteFile(d / "random.bin", vxtest::RandomBytes(100000, 3));
        vxtest::WriteFile(d / "sub/dir/nested.txt", vxtest::TextBytes(5000, 4));
    }
    static void TearDownTestSuite() {
        delete source_;
        source_ = nullptr;
    }

    // Extracts the whole archive with stored directories into dir; returns the status.
    static uint16_t ExtractAll(const std::string& zip, const std::string& dir, const char* password) {
        vxtest::ResetEngine();
        InitZipFile(vxtest::EnginePath(zip).c_str());
        if (GetArchiveStatus() != 0) return GetArchiveStatus();
        SetOutputPath(vxtest::EnginePath(dir).c_str());
        arOptionsOn(arUsePaths);
        if (password) {
            SetCryptKey(password);
            SetSetCryptKeyProc(0, &GiveUp);
        }
        ExtractFileMaskListZip(nullptr);
        uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return status;
    }

    static std::string Shell(const std::string& command) {
        std::string out;
        int rc = vxtest::Run("cd '" + source_->path() + "' && " + command, &out);
        EXPECT_EQ(rc, 0) << command << "\n" << out;
        return out;
    }

    static vxtest::TempDir* source_;
};

vxtest::TempDir* ExtractPeers::source_ = nullptr;

TEST_F(ExtractPeers, ArchivesWrittenByPeersExtractByteForByte) {
    const std::string list = "empty.bin one.bin window.txt text.txt random.bin sub/dir/nested.txt";
    const std::string py =
        vxtest::Python() + " -c \"import sys,zipfile; z=zipfile.ZipFile(sys.argv[1],'w',int(sys.argv[2])); "
        "[z.write(f) for f in sys.argv[3:]]; z.close()\" ";
    struct Case {
        const char* tool;
        std::string command;  // {Z} stands for the archive path
        const char* password;
    };
    const std::vector<Case> cases = {
        {"zip", "zip -q -0 {Z} " + list, nullptr},
        {"zip", "zip -q -1 {Z} " + list, nullptr},
        {"zip", "zip -q -9 {Z} " + list, nullptr},
        {"zip", "zip -q -0 -P " + std::string(kPassword) + " {Z} " + list, kPassword},
        {"zip", "zip -q -9 -P " + std::string(kPassword) + " {Z} " + list, kPassword},
        {"python3", py + "{Z} 0 " + list, nullptr},
        {"python3", py + "{Z} 8 " + list, nullptr},
        {"7z", "7z a -tzip -mm=Deflate -mx=7 {Z} " + list + " >/dev/null", nullptr},
        {"7z", "7z a -tzip -mem=ZipCrypto -p" + std::string(kPassword) + " {Z} " + list + " >/dev/null", kPassword},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        if (!vxtest::HaveTool(c.tool)) {
            ADD_FAILURE() << c.tool << " is not installed";
            continue;
        }
        vxtest::TempDir work;
        const std::string zip = work / "peer.zip";
        std::string cmd = c.command;
        cmd.replace(cmd.find("{Z}"), 3, "'" + zip + "'");
        Shell(cmd);
        ASSERT_EQ(ExtractAll(zip, work / "out", c.password), 0);
        for (const auto& f : kFiles) {
            SCOPED_TRACE(f);
            ASSERT_TRUE(vxtest::FileExists(work / "out/" + f));
            EXPECT_EQ(vxtest::ReadFile(work / "out/" + f), vxtest::ReadFile(source_->path() + "/" + f));
            struct stat a {}, b {};
            stat((work / "out/" + f).c_str(), &a);
            stat((source_->path() + "/" + f).c_str(), &b);
            EXPECT_LE(std::llabs(static_cast<long long>(a.st_mtime) - static_cast<long long>(b.st_mtime)), 2)
                << "modification time not taken from the entry";
        }
    }
}

TEST_F(ExtractPeers, EntriesStreamedFromStdinExtract) {
    if (!vxtest::HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    // zip reading stdin and writing stdout streams the entry: sizes and CRC
    // follow the data in a descriptor (flag bit 3).  Encrypted, its header
    // carries the high byte of the DOS time instead of the CRC.  (-fz- keeps
    // zip from marking the entry as Zip64, which needs version 4.5.)
    struct Case {
        std::string command;
        const char* password;
    };
    const std::vector<Case> cases = {
        {"cat text.txt | zip -q -fz- - - > {Z}", nullptr},
        {"cat text.txt | zip -q -fz- -0 - - > {Z}", nullptr},
        {"cat text.txt | zip -q -P " + std::string(kPassword) + " -fz- - - > {Z}", kPassword},
        {"cat random.bin | zip -q -0 -P " + std::string(kPassword) + " -fz- - - > {Z}", kPassword},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        vxtest::TempDir work;
        const std::string zip = work / "stream.zip";
        std::string cmd = c.command;
        cmd.replace(cmd.find("{Z}"), 3, "'" + zip + "'");
        Shell(cmd);
        ASSERT_EQ(ExtractAll(zip, work / "out", c.password), 0);
        const std::string original = cmd.find("random.bin") != std::string::npos ? "random.bin" : "text.txt";
        EXPECT_EQ(vxtest::ReadFile(work / "out/-"), vxtest::ReadFile(source_->path() + "/" + original));
    }
}

TEST_F(ExtractPeers, EntryOverTwentyFiveMegabytes) {
    if (!vxtest::HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    const size_t size = 26u * 1000 * 1000;
    vxtest::TempDir work;
    {
        Bytes big = vxtest::TextBytes(size, 7);
        // Some incompressible stretches so that stored and Huffman-only blocks appear too.
        Bytes noise = vxtest::RandomBytes(1 << 20, 8);
        for (size_t at = 3u << 20; at + noise.size() < big.size(); at += 8u << 20)
            std::copy(noise.begin(), noise.end(), big.begin() + static_cast<long>(at));
        vxtest::WriteFile(work / "big.bin", big);
    }
    std::string out;
    ASSERT_EQ(vxtest::Run("cd '" + work.path() + "' && zip -q -6 big.zip big.bin", &out), 0) << out;

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ExtractAll(work / "big.zip", work / "out", nullptr), 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(vxtest::ReadFile(work / "out/big.bin"), vxtest::ReadFile(work / "big.bin"));
    printf("extracted %zu bytes in %.3f s (%.1f MB/s)\n", size, seconds, size / seconds / 1e6);
}

}  // namespace
