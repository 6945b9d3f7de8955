// The shared library exports exactly the contract's functions (and
// extensions carrying the Vx prefix): nothing of the engine's internals.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/test_support.h"
#include "vardex32x.h"

namespace {

const std::set<std::string> kContract = {
    "AppendFileMask",       "BuildZipFileList",       "CompressFileMaskListZip", "CreateZipFile",
    "CreateZipSfx",         "CreateZipSfx2",          "DeleteFileMaskListZip",   "DoneFileMaskList",
    "DoneZipFile",          "DoneZipFileList",        "ExtractFileMaskListZip",  "GetArcerDesc",
    "GetArcerVerDesc",      "GetArchiveStatus",       "GetVersionDesc",          "InitFileMaskList",
    "InitZipFile",          "InitZipFileList",        "SetArcerStats",           "SetArcerVerStats",
    "SetArchiveStatus",     "SetCryptKey",            "SetGetNextDiskProc",      "SetInputPath",
    "SetOkToReplaceProc",   "SetOutputPath",          "SetPackLevel",            "SetRelativePath",
    "SetSetCryptKeyProc",   "SetSetFileNameProc",     "SetSetProgressProc",      "SetSetSfxProgressProc",
    "SetSkipFileProc",      "arOptionsAreOn",         "arOptionsOff",            "arOptionsOn",
};

TEST(Abi, LibraryExportsTheContractAndOnlyVxExtensionsBeside) {
    ASSERT_EQ(kContract.size(), 36u);
    std::string out;
    ASSERT_EQ(vxtest::Run("nm -D --defined-only '" + vxtest::BinaryDir() + "/libvardex32.so'", &out), 0) << out;
    std::set<std::string> functions;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name)) continue;
        // Names the toolchain reserves (sanitizer hooks, _init, _fini) are not the library's.
        if (name.rfind("_init", 0) == 0 || name.rfind("_fini", 0) == 0 || name.rfind("__", 0) == 0) continue;
        EXPECT_TRUE(kContract.count(name) || name.rfind("Vx", 0) == 0) << "exported beyond the contract: " << name;
        if (type == "T") functions.insert(name);
    }
    for (const std::string& name : kContract) EXPECT_TRUE(functions.count(name)) << "not exported: " << name;
    for (const char* name : {"VxVersion", "VxStatusText", "VxTestFileMaskListZip", "VxSetThreadCount"})
        EXPECT_TRUE(functions.count(name)) << "not exported: " << name;
}

// Every status code the public headers define has its own words, so a host
// (and the command line) never shows "unknown status" for a code the library
// can leave.
TEST(Abi, EveryStatusCodeOfTheHeadersHasItsOwnWords) {
    const std::regex status(R"(#define\s+(VX_\w+|Vx\w+)\s+(\d+)u\b)");
    std::map<std::string, std::string> seen;  // text -> the code's name
    int codes = 0;
    for (const char* header : {"/include/vardex32.h", "/include/vardex32x.h"}) {
        std::ifstream in(vxtest::SourceDir() + header);
        ASSERT_TRUE(in) << header;
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            if (!std::regex_search(line, m, status)) continue;
            ++codes;
            const std::string text = VxStatusText(static_cast<uint16_t>(std::stoul(m[2])));
            EXPECT_NE(text, "unknown status") << m[1];
            const auto [at, fresh] = seen.emplace(text, m[1]);
            EXPECT_TRUE(fresh) << m[1] << " shares its words with " << at->second;
        }
    }
    EXPECT_GE(codes, 17);
    EXPECT_STREQ(VxStatusText(12345), "unknown status");
}

}  // namespace
