// Starting a program without a shell, the same way on POSIX and Windows: an
// argument list, a working directory, standard input from the null device or
// a file, standard output and error captured together, and a time limit.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vxtest {

struct ProgramOptions {
    std::string dir;    // working directory; empty: this process's own
    std::string input;  // file read as standard input; empty: the null device
    // Variables set (or replaced) in the program's environment only.
    std::vector<std::pair<std::string, std::string>> env;
    int timeoutSeconds = 300;  // then the program is killed
    // The program starts without a console (Windows) or controlling
    // terminal (POSIX: a session of its own), even when this process has
    // one, so that nothing it asks can reach a user.
    bool withoutConsole = false;
};

// Exit code given for a program that could not start, died of a signal or
// ran out of time (the reason is appended to its output).
constexpr int kNoExitCode = -1;

// A running program.  The destructor kills it if it is still running.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const ProgramOptions& options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return started_; }
    // Waits for the end (at most the options' time limit, counted from the
    // start); the exit code, or kNoExitCode.  *output gets what it wrote.
    int Wait(std::string* output = nullptr);
    // Asks the program to stop as a user pressing Ctrl-C would: SIGINT on
    // POSIX; on Windows CTRL_C_EVENT to every process of this console (wine
    // delivers no event to a single process group), so the caller ignores
    // Ctrl-C itself meanwhile (SetConsoleCtrlHandler(nullptr, TRUE)).
    bool Interrupt();
    // True once something matching text has been written by the program.
    bool OutputContains(const std::string& text);

private:
    void Drain();

    bool started_ = false;
    bool finished_ = false;
    int exitCode_ = kNoExitCode;
    int timeoutSeconds_;
    int64_t startedAtMs_ = 0;
    std::string note_;  // why it did not start, or was stopped
    std::string output_;
    std::thread reader_;
#ifdef _WIN32
    void* process_ = nullptr;
    void* readEnd_ = nullptr;
    unsigned long pid_ = 0;
#else
    int pid_ = -1;
    int readEnd_ = -1;
#endif
};

// Runs a program to its end; the exit code (or kNoExitCode), with standard
// output and error in *output.
int RunProgram(const std::string& program, const std::vector<std::string>& args, std::string* output = nullptr,
               const ProgramOptions& options = {});

}  // namespace vxtest
