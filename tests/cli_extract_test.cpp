// vardex extract and the extracting part of vardex demo, run as a user
// would, without a terminal (setsid detaches from any controlling one).
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

using vxtest::TempDir;
using vxtest::Vardex;

namespace {

class CliExtract : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(vxtest::HaveTool("zip"));
        vxtest::Run("mkdir -p '" + (dir_ / "src/d") + "'");
        vxtest::WriteFile(dir_ / "src/a.txt", std::string("plain\n"));
        vxtest::WriteFile(dir_ / "src/d/b.txt", std::string("secret\n"));
        ASSERT_EQ(vxtest::Run("cd '" + (dir_ / "src") + "' && zip -q ../x.zip a.txt && zip -q -P pw ../x.zip d/b.txt"),
                  0);
    }
    TempDir dir_;
};

TEST_F(CliExtract, KeepsDirectoriesUnlessJunkPathsIsGiven) {
    std::string out, err;
    ASSERT_EQ(Vardex("extract x.zip -d tree/deep --password pw", dir_, &out, &err), 0) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "tree/deep/a.txt"), "plain\n");
    EXPECT_EQ(vxtest::ReadText(dir_ / "tree/deep/d/b.txt"), "secret\n");
    ASSERT_EQ(Vardex("extract x.zip -d flat -j --password pw", dir_, &out, &err), 0) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "flat/a.txt"), "plain\n");
    EXPECT_EQ(vxtest::ReadText(dir_ / "flat/b.txt"), "secret\n");
    ASSERT_EQ(Vardex("extract x.zip --dir=sel --password=pw 'd/*.txt'", dir_, &out, &err), 0) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "sel/d/b.txt"), "secret\n");
    EXPECT_FALSE(vxtest::FileExists(dir_ / "sel/a.txt"));
}

TEST_F(CliExtract, WrongOrMissingPasswordWithoutTerminalFailsInWords) {
    const std::string wrong = vxtest::RefusedPassword(dir_ / "x.zip", "d/b.txt");
    ASSERT_FALSE(wrong.empty());
    for (const std::string& password : {"--password " + wrong, std::string()}) {
        SCOPED_TRACE(password);
        std::string err;
        EXPECT_EQ(Vardex("extract x.zip -d o --overwrite " + password, dir_, nullptr, &err), 1);
        EXPECT_NE(err.find("(status 9961)"), std::string::npos) << err;
        EXPECT_FALSE(vxtest::FileExists(dir_ / "o/b.txt"));
    }
}

TEST_F(CliExtract, ExistingFilesAreKeptUnlessOverwriteIsGiven) {
    vxtest::Run("mkdir '" + (dir_ / "o") + "'");
    vxtest::WriteFile(dir_ / "o/a.txt", std::string("mine\n"));
    std::string err;
    EXPECT_EQ(Vardex("extract x.zip -d o --password pw --skip-existing", dir_, nullptr, &err), 0) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/a.txt"), "mine\n");
    // No terminal to ask: kept, said so, and the command fails; the kept
    // file is not listed as extracted.
    std::string out;
    EXPECT_EQ(Vardex("extract x.zip -d o --password pw", dir_, &out, &err), 1) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/a.txt"), "mine\n");
    EXPECT_NE(err.find("kept"), std::string::npos) << err;
    EXPECT_EQ(out.find("a.txt"), std::string::npos) << out;
    EXPECT_EQ(Vardex("extract x.zip -d o --password pw --overwrite", dir_, nullptr, &err), 0) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/a.txt"), "plain\n");
    EXPECT_EQ(Vardex("extract x.zip --overwrite --skip-existing", dir_, nullptr, &err), 2);
}

// A name is stored, listed and extracted as one name; dot-files are files.
TEST_F(CliExtract, NamesRoundTripThroughAddListAndExtract) {
    vxtest::Run("mkdir -p '" + (dir_ / "in/a") + "'");
    vxtest::WriteFile(dir_ / "in/a/C:x", std::string("colon\n"));
    vxtest::WriteFile(dir_ / "in/.gitignore", std::string("dot\n"));
    vxtest::WriteFile(dir_ / "in/a/.env", std::string("env\n"));
    std::string out, err;
    ASSERT_EQ(Vardex("add n.zip --relative in in/a/C:x in/.gitignore in/a/.env", dir_, &out, &err), 0) << err;
    ASSERT_EQ(Vardex("list n.zip", dir_, &out, &err), 0) << err;
    EXPECT_NE(out.find("a/C:x"), std::string::npos) << out;
    ASSERT_EQ(Vardex("extract n.zip -d o --paths", dir_, &out, &err), 0) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/a/C:x"), "colon\n");
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/.gitignore"), "dot\n");
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/a/.env"), "env\n");

    // A stored "//two.txt" is no UNC path: it keeps its name.
    ASSERT_EQ(vxtest::Run("cd '" + dir_.path() +
                          "' && python3 -c \"import zipfile\nwith zipfile.ZipFile('u.zip', 'w') as z:\n"
                          "    z.writestr('//two.txt', 'two')\""),
              0);
    ASSERT_EQ(Vardex("extract u.zip -d u --paths", dir_, &out, &err), 0) << err;
    EXPECT_EQ(vxtest::ReadText(dir_ / "u/two.txt"), "two");
}

TEST(CliDemo, ExtractsTheExampleAndShowsTheFiles) {
    TempDir dir;
    std::string out;
    ASSERT_EQ(vxtest::Run("TMPDIR='" + dir.path() + "' '" + vxtest::BinaryDir() + "/vardex' demo", &out), 0) << out;
    EXPECT_NE(out.find("Hello from a Stored entry."), std::string::npos) << out;
    std::string found;
    ASSERT_EQ(vxtest::Run("ls '" + dir.path() + "'/vardex-demo-*/extracted/docs/numbers.txt", &found), 0) << found;
}

}  // namespace
