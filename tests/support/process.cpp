#include "support/process.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace vxtest {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The reader thread appends while the test may look at what arrived so far.
std::mutex g_outputLock;

#ifdef _WIN32
std::wstring Wide(const std::string& text) {
    // The tests' strings are in the working (ANSI) form of names.
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring WindowsPath(const std::string& path) {
    std::wstring out = Wide(path);
    for (wchar_t& c : out)
        if (c == L'/') c = L'\\';
    return out;
}

// One argument as the C runtime's command-line parser reads it back:
// quotes around it when needed, backslashes doubled only before a quote.
std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
        if (i == arg.size()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        out.push_back(arg[i]);
    }
    out.push_back(L'"');
    return out;
}

// This process's environment with the given variables set, as the
// zero-terminated block CreateProcessW takes.
std::wstring EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& changes) {
    std::vector<std::wstring> vars;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* p = own; p && *p; p += wcslen(p) + 1) vars.emplace_back(p);
    if (own) FreeEnvironmentStringsW(own);
    for (const auto& [name, value] : changes) {
        const std::wstring key = Wide(name) + L"=";
        std::erase_if(vars, [&](const std::wstring& v) {
            return v.size() >= key.size() && _wcsnicmp(v.c_str(), key.c_str(), key.size()) == 0;
        });
        vars.push_back(key + Wide(value));
    }
    std::wstring block;
    for (const auto& v : vars) block += v + L'\0';
    block += L'\0';
    return block;
}
#endif

}  // namespace

#ifdef _WIN32
ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const ProgramOptions& options)
    : timeoutSeconds_(options.timeoutSeconds) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        note_ = "cannot make a pipe";
        return;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    const HANDLE input = CreateFileW(options.input.empty() ? L"NUL" : WindowsPath(options.input).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        note_ = "cannot open the input " + options.input;
        return;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    const std::wstring application = WindowsPath(program);
    std::wstring commandLine = QuoteArgument(application);
    for (const auto& a : args) commandLine += L" " + QuoteArgument(Wide(a));
    std::wstring environment;
    if (!options.env.empty()) environment = EnvironmentBlock(options.env);
    const std::wstring dir = options.dir.empty() ? std::wstring() : WindowsPath(options.dir);
    PROCESS_INFORMATION info{};
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (options.withoutConsole ? DETACHED_PROCESS : 0);
    const BOOL ok = CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                                   environment.empty() ? nullptr : environment.data(),
                                   dir.empty() ? nullptr : dir.c_str(), &startup, &info);
    CloseHandle(input);
    CloseHandle(writeEnd);  // the reader sees the end once the program's copies close
    if (!ok) {
        CloseHandle(readEnd);
        note_ = "cannot start " + program + " (error " + std::to_string(GetLastError()) + ")";
        return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    readEnd_ = readEnd;
    started_ = true;
    startedAtMs_ = NowMs();
    reader_ = std::thread([this] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            std::lock_guard<std::mutex> hold(g_outputLock);
            output_.append(buffer, got);
        }
    });
}

int ChildProcess::Wait(std::string* output) {
    if (started_ && !finished_) {
        const int64_t left = startedAtMs_ + int64_t{timeoutSeconds_} * 1000 - NowMs();
        if (WaitForSingleObject(process_, left > 0 ? static_cast<DWORD>(left) : 0) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, INFINITE);
            note_ = "stopped after " + std::to_string(timeoutSeconds_) + " s";
        }
        finished_ = true;
        DWORD code = 0;
        if (note_.empty() && GetExitCodeProcess(process_, &code)) exitCode_ = static_cast<int>(code);
    }
    Drain();
    if (output) *output = output_ + (note_.empty() ? "" : "\n(" + note_ + ")");
    return exitCode_;
}

bool ChildProcess::Interrupt() { return started_ && !finished_ && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE; }

void ChildProcess::Drain() {
    if (reader_.joinable()) reader_.join();
}

ChildProcess::~ChildProcess() {
    if (started_ && !finished_) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
    }
    Drain();
    if (process_) CloseHandle(process_);
    if (readEnd_) CloseHandle(readEnd_);
}
#else
ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const ProgramOptions& options)
    : timeoutSeconds_(options.timeoutSeconds) {
    // Everything the child needs is made before fork: after it, only calls
    // that are safe in a copy of a threaded process.
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& change : options.env)
            replaced = replaced || (strncmp(*e, change.first.c_str(), change.first.size()) == 0 &&
                                    (*e)[change.first.size()] == '=');
        if (!replaced) envStore.emplace_back(*e);
    }
    for (const auto& [name, value] : options.env) envStore.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        note_ = "cannot make a pipe";
        return;
    }
    const int input = open(options.input.empty() ? "/dev/null" : options.input.c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        close(fds[0]);
        close(fds[1]);
        note_ = "cannot open the input " + options.input;
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if ((options.withoutConsole && setsid() < 0) || (!options.dir.empty() && chdir(options.dir.c_str()) != 0) ||
            dup2(input, 0) < 0 || dup2(fds[1], 1) < 0 || dup2(fds[1], 2) < 0)
            _exit(127);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(input);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        note_ = "cannot start " + program;
        return;
    }
    pid_ = pid;
    readEnd_ = fds[0];
    started_ = true;
    startedAtMs_ = NowMs();
    reader_ = std::thread([this] {
        char buffer[4096];
        ssize_t got;
        while ((got = read(readEnd_, buffer, sizeof buffer)) != 0) {
            if (got < 0) {
                if (errno == EINTR) continue;
                break;
            }
            std::lock_guard<std::mutex> hold(g_outputLock);
            output_.append(buffer, static_cast<size_t>(got));
        }
    });
}

int ChildProcess::Wait(std::string* output) {
    if (started_ && !finished_) {
        int status = 0;
        const int64_t deadline = startedAtMs_ + int64_t{timeoutSeconds_} * 1000;
        for (;;) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR)) break;
            if (NowMs() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                note_ = "stopped after " + std::to_string(timeoutSeconds_) + " s";
                break;
            }
            usleep(5000);
        }
        finished_ = true;
        if (note_.empty()) {
            if (WIFEXITED(status))
                exitCode_ = WEXITSTATUS(status);
            else if (WIFSIGNALED(status))
                note_ = "ended by signal " + std::to_string(WTERMSIG(status));
        }
    }
    Drain();
    if (output) *output = output_ + (note_.empty() ? "" : "\n(" + note_ + ")");
    return exitCode_;
}

bool ChildProcess::Interrupt() { return started_ && !finished_ && kill(pid_, SIGINT) == 0; }

void ChildProcess::Drain() {
    if (reader_.joinable()) reader_.join();
}

ChildProcess::~ChildProcess() {
    if (started_ && !finished_) {
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    Drain();
    if (readEnd_ >= 0) close(readEnd_);
}
#endif

bool ChildProcess::OutputContains(const std::string& text) {
    std::lock_guard<std::mutex> hold(g_outputLock);
    return output_.find(text) != std::string::npos;
}

int RunProgram(const std::string& program, const std::vector<std::string>& args, std::string* output,
               const ProgramOptions& options) {
    ChildProcess child(program, args, options);
    return child.Wait(output);
}

}  // namespace vxtest
