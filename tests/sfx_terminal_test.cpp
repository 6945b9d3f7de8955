// The self-extractor's program at a terminal: the questions it asks on a
// pseudo-terminal and the answers it takes, passwords never echoed, no
// question at all when its input is not a terminal, and an interruption that
// gives the terminal its echo back and leaves no partial file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "vardex32.h"

using vxtest::Quote;
using vxtest::TempDir;

namespace {

class SfxTerminal : public ::testing::Test {
protected:
    static constexpr const char* kFirst = "Kx9first";

    // pack.sfx holds plain.txt, then a.txt under kFirst and b.txt under a
    // second password that a.txt's header refuses: each pass asks for a.txt
    // again after b.txt's password was accepted.  The program's own form is
    // the first one (nothing sealed over the archive), so entries can be
    // added behind it.
    void SetUp() override {
        VXTEST_NEEDS_POSIX("a pseudo-terminal");
        vxtest::ResetEngine();
        vxtest::WriteFile(dir_ / "plain.txt", std::string("plain\n"));
        vxtest::WriteFile(dir_ / "a.txt", std::string("first secret\n"));
        vxtest::WriteFile(dir_ / "b.txt", std::string("second secret\n"));
        FileMaskList files;
        InitFileMaskList(&files);
        SetInputPath(vxtest::EnginePath(dir_.path() + "/").c_str());
        ASSERT_TRUE(AppendFileMask("plain.txt", &files));
        CreateZipSfx(vxtest::EnginePath(sfx_).c_str(), &files, 0, 0, "", "");
        DoneFileMaskList(&files);
        ASSERT_EQ(GetArchiveStatus(), 0);
        vxtest::ResetEngine();
        std::string log;
        ASSERT_EQ(Vardex("add --password=" + std::string(kFirst) + " pack.sfx a.txt", &log), 0) << log;
        second_ = vxtest::RefusedPassword(sfx_, "a.txt");
        ASSERT_FALSE(second_.empty());
        ASSERT_EQ(Vardex("add --password=" + second_ + " pack.sfx b.txt", &log), 0) << log;
    }

    int Vardex(const std::string& args, std::string* log) {
        return vxtest::Run("cd " + Quote(dir_.path()) + " && " + Quote(vxtest::BinaryDir() + "/vardex") + " " + args,
                           log);
    }

    // Runs the program on a pseudo-terminal in the test directory (shell
    // redirections allowed in args), answering each expected prompt in turn.
    int AtTerminal(const std::string& args, const std::vector<std::string>& dialogue, std::string* transcript) {
        return vxtest::AtTerminal("cd " + Quote(dir_.path()) + " && ./pack.sfx " + args, dialogue, transcript);
    }

    TempDir dir_;
    const std::string sfx_ = dir_ / "pack.sfx";
    std::string second_;
};

TEST_F(SfxTerminal, AsksForPasswordsAndReplacementsWithoutEchoingPasswords) {
    vxtest::Run("mkdir -p " + Quote(dir_ / "out"));
    vxtest::WriteFile(dir_ / "out/plain.txt", std::string("mine\n"));
    std::string transcript;
    // The check before extracting asks for both passwords; extracting asks
    // about the existing file and again for a.txt, then b.txt.
    ASSERT_EQ(AtTerminal("-d out",
                         {"Password for a.txt: ", kFirst, "Password for b.txt: ", second_, "[q]uit: ", "n",
                          "Password for a.txt: ", kFirst, "Password for b.txt: ", second_},
                         &transcript),
              0)
        << transcript;
    EXPECT_EQ(vxtest::ReadText(dir_ / "out/plain.txt"), "mine\n");
    EXPECT_EQ(vxtest::ReadText(dir_ / "out/a.txt"), "first secret\n");
    EXPECT_EQ(vxtest::ReadText(dir_ / "out/b.txt"), "second secret\n");
    EXPECT_EQ(transcript.find(kFirst), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find(second_), std::string::npos) << transcript;
}

// Input from elsewhere while errors still reach a terminal: nothing is
// asked (the terminal is never read behind the caller's back) and nothing
// is extracted.
TEST_F(SfxTerminal, AsksNothingWhenInputIsNotATerminal) {
    std::string transcript;
    EXPECT_EQ(AtTerminal("-d out </dev/null", {}, &transcript), 1) << transcript;
    EXPECT_EQ(transcript.find("Password for"), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("nothing was extracted"), std::string::npos) << transcript;
    EXPECT_FALSE(vxtest::FileExists(dir_ / "out"));
}

// SIGINT or SIGTERM at the password question of a.txt while it is being
// extracted (its output file exists, empty): the program ends with 128 +
// signal, the echo is back on, a.txt is removed and plain.txt kept.
TEST_F(SfxTerminal, InterruptionAtAPasswordQuestionRestoresTheTerminalAndRemovesThePartialFile) {
    const char kDriver[] = R"(import os, pty, select, signal, sys, termios, time
program, out, first, second, sig = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
pid, fd = pty.fork()
if pid == 0:
    os.execv(program, [program, '-d', out])
seen = b''
answers = [first, second]
deadline = time.time() + 60
while time.time() < deadline:
    if seen.count(b'Password for') > 2 - len(answers) and seen.endswith(b': '):
        if not answers:
            break
        os.write(fd, answers.pop(0).encode() + b'\n')
        seen += b'\n'
    if select.select([fd], [], [], 1)[0]:
        seen += os.read(fd, 1024)
time.sleep(0.2)
echo_off = not (termios.tcgetattr(fd)[3] & termios.ECHO)
partial = os.path.exists(os.path.join(out, 'a.txt'))
os.kill(pid, sig)
while select.select([fd], [], [], 1)[0]:
    try:
        seen += os.read(fd, 1024)
    except OSError:
        break
_, status = os.waitpid(pid, 0)
echo_back = bool(termios.tcgetattr(fd)[3] & termios.ECHO)
print(echo_off, partial, os.WEXITSTATUS(status), echo_back, os.path.exists(os.path.join(out, 'a.txt')),
      os.path.exists(os.path.join(out, 'plain.txt')), seen.count(b'Password for a.txt'))
)";
    for (const int sig : {2, 15}) {
        SCOPED_TRACE(sig);
        vxtest::RemoveTree(dir_ / "out");
        std::string result;
        vxtest::Run("timeout 120 " + vxtest::Python() + " -c " + Quote(kDriver) + " " + Quote(sfx_) + " " +
                        Quote(dir_ / "out") + " " + Quote(kFirst) + " " + Quote(second_) + " " + std::to_string(sig),
                    &result);
        EXPECT_EQ(result, "True True " + std::to_string(128 + sig) + " True False True 2\n");
    }
}

}  // namespace
