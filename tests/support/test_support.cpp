#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "api/engine.h"
#include "platform/platform.h"

namespace vxtest {

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
    const struct timespec pinned[2] = {{kPinnedFileTime, 0}, {kPinnedFileTime, 0}};
    utimensat(AT_FDCWD, path.c_str(), pinned, 0);
}

void WriteFile(const std::string& path, const std::string& data) {
    WriteFile(path, std::vector<uint8_t>(data.begin(), data.end()));
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

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
    if (Run("command -v " + name + " >/dev/null") == 0) return true;
    ADD_FAILURE() << "peer " << name << " is missing (scripts/deps.sh installs it)";
    return false;
}

std::string Python() { return std::string("'") + VARDEX_PYTHON + "'"; }

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
    if (e.archive.handle >= 0) close(e.archive.handle);
    free(e.archive.comment);
    e.~EngineState();
    new (&e) vardex::EngineState();
    e.moduleHandle = module;
    e.overwriteCheck = check;
}

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

ReadOnlyEnforced::ReadOnlyEnforced() { vardex::platform::SetReadOnlyEnforcedForTesting(true); }
ReadOnlyEnforced::~ReadOnlyEnforced() { vardex::platform::SetReadOnlyEnforcedForTesting(false); }

std::string EnginePath(const std::string& native) {
    std::string out = native;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

}  // namespace vxtest
