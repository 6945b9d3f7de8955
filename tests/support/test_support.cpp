#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <sys/utime.h>
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "api/engine.h"
#include "platform/platform.h"

namespace vxtest {

#ifdef _WIN32
TempDir::TempDir() {
    // A fresh name under the temporary directory, made with _mkdir, which
    // fails when the name is taken.
    char base[MAX_PATH];
    if (!GetTempPathA(sizeof base, base)) throw std::runtime_error("GetTempPathA failed");
    std::mt19937 rng(static_cast<uint32_t>(GetCurrentProcessId() ^ GetTickCount()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = std::string(base) + "vardex-test-" + std::to_string(rng() % 1000000000u);
        for (char& c : candidate)
            if (c == '\\') c = '/';
        if (_mkdir(candidate.c_str()) == 0) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("no temporary directory");
}

TempDir::~TempDir() { RemoveTree(path_); }
#else
TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vardex-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

#endif

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
    auto v = ReadFile(path);
    return std::string(v.begin(), v.end());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    // A pinned time keeps archives made from generated files the same bytes on every day.
#ifdef _WIN32
    struct __utimbuf64 pinned = {kPinnedFileTime, kPinnedFileTime};
    _utime64(path.c_str(), &pinned);
#else
    const struct timespec pinned[2] = {{kPinnedFileTime, 0}, {kPinnedFileTime, 0}};
    utimensat(AT_FDCWD, path.c_str(), pinned, 0);
#endif
}

void WriteFile(const std::string& path, const std::string& data) {
    WriteFile(path, std::vector<uint8_t>(data.begin(), data.end()));
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    // Read-only files and directories cannot lose their entries until made
    // writable.
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    for (const auto& item : std::filesystem::recursive_directory_iterator(path, ignored))
        if (!item.is_symlink(ignored))
            std::filesystem::permissions(item.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#define WIFEXITED(status) true
#define WEXITSTATUS(status) (status)
#endif

int Run(const std::string& command, std::string* output) {
    std::string cmd = command + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const std::string& name) {
#ifdef _WIN32
    // The peers are Unix programs: on Windows their checks are left out.
    std::printf("(peer %s not run on Windows)\n", name.c_str());
    return false;
#endif
    if (Run("command -v " + name + " >/dev/null") == 0) return true;
    ADD_FAILURE() << "peer " << name << " is missing (scripts/deps.sh installs it)";
    return false;
}

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int Vardex(const std::string& args, const TempDir& dir, std::string* out, std::string* err) {
    const std::string errFile = dir / "stderr.txt";
    std::string o;
    const int status = Run("(cd " + Quote(dir.path()) + " && setsid " + Quote(BinaryDir() + "/vardex") + " " + args +
                               " </dev/null 2>" + Quote(errFile) + ")",
                           &o);
    if (out) *out = o;
    if (err) *err = ReadText(errFile);
    return status;
}

std::string Python() { return std::string("'") + VARDEX_PYTHON + "'"; }

int AtTerminal(const std::string& command, const std::vector<std::string>& dialogue, std::string* transcript,
               bool hidden) {
    std::string line = "timeout 120 " + Python() + " " + Quote(SourceDir() + "/tests/support/pty_run.py") +
                       (hidden ? " --hidden " : " ") + Quote(command);
    for (const std::string& part : dialogue) line += " " + Quote(part);
    return Run(line, transcript);
}

std::string RefusedPassword(const std::string& archive, const std::string& entry) {
    std::string picked;
    Run(Python() +
            " -c \"import sys, zipfile\n"
            "z = zipfile.ZipFile(sys.argv[1])\n"
            "for i in range(64):\n"
            "    p = 'wrong%d' % i\n"
            "    try:\n"
            "        z.open(sys.argv[2], pwd=p.encode()).close()\n"
            "    except RuntimeError:\n"
            "        print(p, end='')\n"
            "        break\n\" " +
            Quote(archive) + " " + Quote(entry),
        &picked);
    return picked;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

std::vector<uint8_t> TextBytes(size_t n, uint32_t seed) {
    static const char* words[] = {"archive ", "entry ", "deflate ", "the ", "of ", "window ", "header ",
                                  "central ", "directory\n", "local ", "zip ", "data, ", "and ", "file. "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    v.reserve(n);
    while (v.size() < n) {
        const char* w = words[rng() % (sizeof words / sizeof *words)];
        for (const char* p = w; *p && v.size() < n; ++p) v.push_back(static_cast<uint8_t>(*p));
    }
    return v;
}

std::string FixturesDir() { return VARDEX_FIXTURES_DIR; }
std::string BinaryDir() { return VARDEX_BINARY_DIR; }
std::string SourceDir() { return VARDEX_SOURCE_DIR; }

void ResetEngine() {
    vardex::EngineState& e = vardex::engine();
    void* module = e.moduleHandle;
    vardex::OverwriteCheckFn check = e.overwriteCheck;
    if (e.archive.handle >= 0) vardex::platform::FileClose(e.archive.handle);
    free(e.archive.comment);
    e.~EngineState();
    new (&e) vardex::EngineState();
    e.moduleHandle = module;
    e.overwriteCheck = check;
}

#ifdef _WIN32
// The zone of a Windows process is the system's: the variable changes only
// the C runtime's idea of it, which the engine does not use.
ZoneGuard::ZoneGuard(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    _putenv_s("TZ", zone);
    _tzset();
}

ZoneGuard::~ZoneGuard() {
    _putenv_s("TZ", had_ ? old_.c_str() : "");
    _tzset();
}
#else
ZoneGuard::ZoneGuard(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
}

ZoneGuard::~ZoneGuard() {
    if (had_)
        setenv("TZ", old_.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
#endif

EnvGuard::EnvGuard(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

EnvGuard::~EnvGuard() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

WorkingDirGuard::WorkingDirGuard(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

WorkingDirGuard::~WorkingDirGuard() {
    std::error_code ignored;
    std::filesystem::current_path(old_, ignored);
}

ReadOnlyEnforced::ReadOnlyEnforced() { vardex::platform::SetReadOnlyEnforcedForTesting(true); }
ReadOnlyEnforced::~ReadOnlyEnforced() { vardex::platform::SetReadOnlyEnforcedForTesting(false); }

std::string EnginePath(const std::string& native) {
    std::string out = native;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

}  // namespace vxtest
