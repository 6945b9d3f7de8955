// vardex at a terminal: the questions it asks on a pseudo-terminal, the
// answers it takes, and a password never echoed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

using vxtest::TempDir;

namespace {

// Runs the command on a pseudo-terminal in dir, answering each expected
// prompt in turn; returns the exit status and the transcript.
int AtTerminal(const TempDir& dir, const std::string& args, const std::vector<std::string>& dialogue,
               std::string* transcript) {
    return vxtest::AtTerminal("cd " + vxtest::Quote(dir.path()) + " && " + vxtest::Quote(vxtest::BinaryDir() + "/vardex") +
                                  " " + args,
                              dialogue, transcript);
}

class CliTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(vxtest::HaveTool("zip"));
        vxtest::Run("mkdir -p '" + (dir_ / "src") + "'");
        vxtest::WriteFile(dir_ / "src/a.txt", std::string("plain\n"));
        vxtest::WriteFile(dir_ / "src/b.txt", std::string("secret\n"));
        ASSERT_EQ(vxtest::Run("cd '" + (dir_ / "src") + "' && zip -q ../x.zip a.txt && zip -q -P pw ../x.zip b.txt"),
                  0);
    }
    TempDir dir_;
};

TEST_F(CliTerminal, PasswordIsAskedAgainAfterAWrongOneAndNeverEchoed) {
    const std::string wrong = vxtest::RefusedPassword(dir_ / "x.zip", "b.txt");
    ASSERT_FALSE(wrong.empty());
    std::string transcript;
    ASSERT_EQ(AtTerminal(dir_, "extract x.zip -d o", {"Password for b.txt: ", wrong, "Wrong password for b.txt", "pw"},
                         &transcript),
              0)
        << transcript;
    EXPECT_EQ(vxtest::ReadText(dir_ / "o/b.txt"), "secret\n");
    EXPECT_EQ(transcript.find(wrong), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("pw\r"), std::string::npos) << transcript;
}

TEST_F(CliTerminal, EmptyPasswordGivesUpTheEntry) {
    std::string transcript;
    EXPECT_EQ(AtTerminal(dir_, "extract x.zip -d o", {"Password for b.txt: ", ""}, &transcript), 1) << transcript;
    EXPECT_NE(transcript.find("(status 9961)"), std::string::npos) << transcript;
    EXPECT_FALSE(vxtest::FileExists(dir_ / "o/b.txt"));
}

TEST_F(CliTerminal, ReplaceQuestionTakesEachAnswer) {
    struct Case {
        std::vector<std::string> answers;  // to "Replace o/a.txt?" (asked again after one it does not know)
        int exitStatus;
        const char* aTxt;
    } cases[] = {
        {{"n"}, 0, "mine\n"},
        {{"y"}, 0, "plain\n"},
        {{"maybe", "A"}, 0, "plain\n"},
        {{"q"}, 1, "mine\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers.back());
        vxtest::Run("rm -rf '" + (dir_ / "o") + "' && mkdir '" + (dir_ / "o") + "'");
        vxtest::WriteFile(dir_ / "o/a.txt", std::string("mine\n"));
        std::vector<std::string> dialogue;
        for (const std::string& answer : c.answers) dialogue.insert(dialogue.end(), {"[q]uit: ", answer});
        std::string transcript;
        EXPECT_EQ(AtTerminal(dir_, "extract x.zip -d o --password pw", dialogue, &transcript), c.exitStatus)
            << transcript;
        EXPECT_EQ(vxtest::ReadText(dir_ / "o/a.txt"), c.aTxt);
        if (c.exitStatus != 0) {
            EXPECT_NE(transcript.find("(status 2926)"), std::string::npos) << transcript;
        }
    }
}


TEST_F(CliTerminal, AddAsksThePasswordTwiceWithoutEcho) {
    std::string transcript;
    ASSERT_EQ(AtTerminal(dir_, "add y.zip --password src/a.txt", {"Password: ", "Hidden7", "again: ", "Hidden7"},
                         &transcript),
              0)
        << transcript;
    EXPECT_EQ(transcript.find("Hidden7"), std::string::npos) << transcript;
    std::string out;
    EXPECT_EQ(vxtest::Run("unzip -P Hidden7 -t '" + (dir_ / "y.zip") + "'", &out), 0) << out;
}

}  // namespace
