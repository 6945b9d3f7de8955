// The library installed as a host finds it: cmake --install into a
// temporary prefix, then the examples built and run against that prefix with
// pkg-config, with find_package and through ctypes, and the program run from
// the prefix.  A project that adds the source tree with add_subdirectory
// builds the same example.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/test_support.h"

using vxtest::Quote;
using vxtest::TempDir;

namespace {

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        prefix_ = new TempDir;
        std::string log;
        installStatus_ = vxtest::Run("cmake --install " + Quote(vxtest::BinaryDir()) + " --prefix " +
                                         Quote(prefix_->path()),
                                     &log);
        installLog_ = new std::string(log);
        // An archive with a directory and a name outside ASCII, made by zip.
        archive_ = new TempDir;
        vxtest::Run("mkdir -p " + Quote(*archive_ / "src/sub"));
        vxtest::WriteFile(*archive_ / "src/sub/Gr\xC3\xBC\xC3\x9F" "e.txt", std::string("hello\n"));
        vxtest::Run("cd " + Quote(*archive_ / "src") + " && zip -qr ../a.zip sub");
    }
    static void TearDownTestSuite() {
        delete prefix_;
        delete archive_;
        delete installLog_;
    }
    void SetUp() override {
        // A sanitized library cannot be loaded by the plain programs built here.
        if (getenv("VARDEX_SANITIZED")) GTEST_SKIP() << "installed and used in the plain run";
        ASSERT_EQ(installStatus_, 0) << *installLog_;
    }

    // Runs a built example on the archive and checks what it printed and wrote.
    static void RunsAndExtracts(const std::string& command) {
        TempDir out;
        std::string log;
        ASSERT_EQ(vxtest::Run(command + " " + Quote(*archive_ / "a.zip") + " " + Quote(out.path()), &log), 0) << log;
        EXPECT_NE(log.find("sub/Gr\xC3\xBC\xC3\x9F" "e.txt"), std::string::npos) << log;
        EXPECT_NE(log.find("Vardex "), std::string::npos) << log;
        EXPECT_EQ(vxtest::ReadText(out / "sub/Gr\xC3\xBC\xC3\x9F" "e.txt"), "hello\n");
    }

    static std::string Lib() { return prefix_->path() + "/lib"; }

    static TempDir* prefix_;
    static TempDir* archive_;
    static int installStatus_;
    static std::string* installLog_;
};
TempDir* Installed::prefix_ = nullptr;
TempDir* Installed::archive_ = nullptr;
int Installed::installStatus_ = -1;
std::string* Installed::installLog_ = nullptr;

TEST_F(Installed, LaysOutHeadersVersionedLibraryStubProgramAndPackageFiles) {
    for (const char* file : {"include/vardex32.h", "include/vardex32x.h", "lib/libvardex32.so",
                             "lib/libvardex32.so.1", "lib/KORVAL32.KVL", "bin/vardex", "lib/pkgconfig/vardex32.pc",
                             "lib/cmake/Vardex32/Vardex32Config.cmake",
                             "lib/cmake/Vardex32/Vardex32ConfigVersion.cmake"})
        EXPECT_TRUE(vxtest::FileExists(*prefix_ / file)) << file;
    std::string log;
    ASSERT_EQ(vxtest::Run("readelf -d " + Quote(Lib() + "/libvardex32.so.1"), &log), 0);
    EXPECT_NE(log.find("Library soname: [libvardex32.so.1]"), std::string::npos) << log;
    // The library exports the classic names and the Vx ones, nothing else.
    ASSERT_EQ(vxtest::Run("nm -D --defined-only " + Quote(Lib() + "/libvardex32.so.1") +
                              " | awk '$2 == \"T\" {print $3}' | sort",
                          &log),
              0);
    int classic = 0, extensions = 0;
    for (size_t start = 0, nl; (nl = log.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string name = log.substr(start, nl - start);
        if (name.rfind("Vx", 0) == 0)
            ++extensions;
        else if (!name.empty() && name != "_init" && name != "_fini")
            ++classic;
    }
    EXPECT_EQ(classic, 36) << log;
    EXPECT_EQ(extensions, 4) << log;
    // The program runs from the prefix, finding its library by a relative path.
    ASSERT_EQ(vxtest::Run("env -u LD_LIBRARY_PATH " + Quote(*prefix_ / "bin/vardex") + " --version", &log), 0) << log;
    EXPECT_NE(log.find("vardex 1."), std::string::npos) << log;
    ASSERT_EQ(vxtest::Run("env -u LD_LIBRARY_PATH " + Quote(*prefix_ / "bin/vardex") + " list " +
                              Quote(*archive_ / "a.zip"),
                          &log),
              0)
        << log;
}

TEST_F(Installed, CExampleBuildsWithPkgConfig) {
    if (!vxtest::HaveTool("pkg-config")) GTEST_SKIP() << "pkg-config not installed";
    const std::string exe = *prefix_ / "list_extract_pc";
    std::string log;
    ASSERT_EQ(vxtest::Run("export PKG_CONFIG_PATH=" + Quote(Lib() + "/pkgconfig") + "; cc -Wall -Werror " +
                              Quote(vxtest::SourceDir() + "/examples/list_extract.c") +
                              " $(pkg-config --cflags --libs vardex32) -Wl,-rpath," + Quote(Lib()) + " -o " +
                              Quote(exe),
                          &log),
              0)
        << log;
    RunsAndExtracts(Quote(exe));
}

TEST_F(Installed, CExampleBuildsWithFindPackage) {
    const std::string build = *prefix_ / "example-build";
    std::string log;
    ASSERT_EQ(vxtest::Run("cmake -S " + Quote(vxtest::SourceDir() + "/examples") + " -B " + Quote(build) +
                              " -DCMAKE_PREFIX_PATH=" + Quote(prefix_->path()) + " >/dev/null && cmake --build " +
                              Quote(build),
                          &log),
              0)
        << log;
    RunsAndExtracts(Quote(build + "/list_extract"));
}

TEST_F(Installed, PythonExampleUsesTheLibraryThroughCtypes) {
    RunsAndExtracts("python3 " + Quote(vxtest::SourceDir() + "/examples/list_extract.py") + " --library " +
                    Quote(Lib() + "/libvardex32.so.1"));
}

TEST(Subproject, AddSubdirectoryBuildsTheExample) {
    // A whole second build of the engine: once, in the plain run only.
    if (getenv("VARDEX_SANITIZED")) GTEST_SKIP() << "built once, in the plain run";
    TempDir host;
    vxtest::WriteFile(host / "CMakeLists.txt",
                      "cmake_minimum_required(VERSION 3.20)\n"
                      "project(host C CXX)\n"
                      "set(VARDEX_TESTS OFF CACHE BOOL \"\" FORCE)\n"
                      "add_subdirectory(\"" + vxtest::SourceDir() + "\" vardex)\n" + "add_subdirectory(\"" +
                          vxtest::SourceDir() + "/examples\" examples)\n");
    std::string log;
    ASSERT_EQ(vxtest::Run("cmake -S " + Quote(host.path()) + " -B " + Quote(host / "build") +
                              " >/dev/null && cmake --build " + Quote(host / "build") +
                              " -j2 --target list_extract >/dev/null",
                          &log),
              0)
        << log;
    TempDir out;
    ASSERT_EQ(vxtest::Run("cd " + Quote(out.path()) + " && mkdir src x && echo hi > src/f.txt && zip -qr a.zip src && " +
                              Quote(host / "build/examples/list_extract") + " a.zip x",
                          &log),
              0)
        << log;
    EXPECT_EQ(vxtest::ReadText(out / "x/src/f.txt"), "hi\n");
}

}  // namespace
