// vardex.exe at the console: the password prompt without a console, and
// Ctrl-C while an archive is being rewritten or a password is asked for.
// The Ctrl-C cases need a console to deliver the event through; wine gives
// one only when it runs on a terminal (scripts/test-windows.sh starts this
// program on a pseudo-terminal), and elsewhere they are skipped.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/test_support.h"

using vxtest::TempDir;

namespace {

std::string Vardex() { return vxtest::BinaryDir() + "/vardex.exe"; }

// The console's input handle, or INVALID_HANDLE_VALUE without a console.
class ConsoleInput {
public:
    ConsoleInput()
        : handle_(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr)) {}
    ~ConsoleInput() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    ConsoleInput(const ConsoleInput&) = delete;
    ConsoleInput& operator=(const ConsoleInput&) = delete;
    bool present() const {
        DWORD mode = 0;
        return handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
    }
    bool echo() const {
        DWORD mode = 0;
        return GetConsoleMode(handle_, &mode) && (mode & ENABLE_ECHO_INPUT) != 0;
    }

private:
    HANDLE handle_;
};

// While alive, Ctrl-C does not end this process (the event goes to every
// process of the console, the test's own included).  Made after the program
// under test has started: programs started meanwhile would inherit it.
class IgnoreCtrlC {
public:
    IgnoreCtrlC() { SetConsoleCtrlHandler(nullptr, TRUE); }
    ~IgnoreCtrlC() { SetConsoleCtrlHandler(nullptr, FALSE); }
    IgnoreCtrlC(const IgnoreCtrlC&) = delete;
    IgnoreCtrlC& operator=(const IgnoreCtrlC&) = delete;
};

// Waits up to the limit for the condition; true when it came.
template <typename Condition>
bool WaitFor(Condition condition, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        vxtest::WriteFile(dir_ / "a.txt", std::string("alpha\n"));
        here_.dir = dir_.path();
        here_.timeoutSeconds = 120;
    }
    TempDir dir_;
    vxtest::ProgramOptions here_;
};

}  // namespace

TEST_F(Console, PasswordPromptWithoutAConsoleFailsAtOnce) {
    vxtest::WriteFile(dir_ / "answers.txt", std::string("pw\r\npw\r\n"));
    std::string log;
    ASSERT_EQ(vxtest::RunProgram(Vardex(), {"add", "--password=pw", "locked.zip", "a.txt"}, &log, here_), 0) << log;
    // Standard input from the null device or a file is no console: the
    // password is never read from it, and nothing waits for a console.
    for (const std::string& input : {std::string(), dir_ / "answers.txt"}) {
        SCOPED_TRACE(input);
        vxtest::ProgramOptions options = here_;
        options.input = input;
        options.withoutConsole = true;
        EXPECT_EQ(vxtest::RunProgram(Vardex(), {"add", "new.zip", "a.txt", "-P"}, &log, options), 1) << log;
        EXPECT_NE(log.find("cannot read the password from the terminal"), std::string::npos) << log;
        EXPECT_FALSE(vxtest::FileExists(dir_ / "new.zip"));

        EXPECT_EQ(vxtest::RunProgram(Vardex(), {"extract", "locked.zip", "-d", "out"}, &log, options), 1) << log;
        EXPECT_FALSE(vxtest::FileExists(dir_ / "out/a.txt")) << log;
    }
}

TEST_F(Console, CtrlCCancelsAnAddAndKeepsTheOldArchive) {
    ConsoleInput console;
    if (!console.present()) GTEST_SKIP() << "no console to deliver Ctrl-C through (wine gives one on a terminal)";
    std::string log;
    ASSERT_EQ(vxtest::RunProgram(Vardex(), {"add", "old.zip", "a.txt"}, &log, here_), 0) << log;
    const std::vector<uint8_t> before = vxtest::ReadFile(dir_ / "old.zip");
    // Enough incompressible data to keep the compressor busy for seconds.
    vxtest::WriteFile(dir_ / "big.bin", vxtest::RandomBytes(64u << 20, 11));

    vxtest::ChildProcess add(Vardex(), {"add", "--threads", "1", "old.zip", "big.bin"}, here_);
    ASSERT_TRUE(add.started());
    IgnoreCtrlC ignore;
    // The rewrite has begun once the old archive has its backup name.
    ASSERT_TRUE(WaitFor([&] { return vxtest::FileExists(dir_ / "old.!!!"); }, 60));
    ASSERT_TRUE(add.Interrupt());
    EXPECT_EQ(add.Wait(&log), 130) << log;
    EXPECT_NE(log.find("interrupted; the archive is as it was"), std::string::npos) << log;
    EXPECT_EQ(vxtest::ReadFile(dir_ / "old.zip"), before);
    EXPECT_FALSE(vxtest::FileExists(dir_ / "old.!!!"));
}

TEST_F(Console, CtrlCAtThePasswordPromptEndsWith130AndGivesTheEchoBack) {
    ConsoleInput console;
    if (!console.present()) GTEST_SKIP() << "no console to deliver Ctrl-C through (wine gives one on a terminal)";
    ASSERT_TRUE(console.echo());
    vxtest::ChildProcess add(Vardex(), {"add", "new.zip", "a.txt", "-P"}, here_);
    ASSERT_TRUE(add.started());
    IgnoreCtrlC ignore;
    // The prompt is up once the echo of the shared console is off.
    ASSERT_TRUE(WaitFor([&] { return !console.echo(); }, 60));
    ASSERT_TRUE(add.Interrupt());
    std::string log;
    EXPECT_EQ(add.Wait(&log), 130) << log;
    EXPECT_TRUE(console.echo());
    EXPECT_FALSE(vxtest::FileExists(dir_ / "new.zip"));
}
