// Helpers shared by the tests: temporary directories, whole-file I/O,
// running peer tools, and a fresh engine state per test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/windows_compat.h"

// Skips the running test where the system lacks what it needs: links, Unix
// modes, fork and signals, a POSIX shell or the Unix peers.
#ifdef _WIN32
#define VXTEST_NEEDS_POSIX(what) GTEST_SKIP() << "needs " what ", which Windows lacks"
#else
#define VXTEST_NEEDS_POSIX(what) static_cast<void>(0)
#endif

namespace vxtest {

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Files written by WriteFile get this modification time (2024-01-02 12:00:00
// UTC), so that archives of generated inputs do not change with the day.
constexpr int64_t kPinnedFileTime = 1704196800;

std::vector<uint8_t> ReadFile(const std::string& path);
std::string ReadText(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& data);
void WriteFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);
// Removes a file or a whole tree, read-only files included; nothing when
// the path does not exist.
void RemoveTree(const std::string& path);

// Runs a shell command; returns its exit status, stdout+stderr in *output.
int Run(const std::string& command, std::string* output = nullptr);
// The text as one shell word, in single quotes.
std::string Quote(const std::string& text);
// True when a peer program is on the PATH.  A missing one also fails the
// running test: scripts/deps.sh installs every peer, and a check that quietly
// drops its judge would pass without judging anything.
bool HaveTool(const std::string& name);
// The Python interpreter the build found, quoted for a shell command.
std::string Python();
// Runs a shell command on a new pseudo-terminal, as a user at a terminal
// would (tests/support/pty_run.py): waits for each expected text and types
// the answer that follows it in the dialogue; hidden: once the echo is off.
// Returns the exit status, the whole transcript in *transcript.
int AtTerminal(const std::string& command, const std::vector<std::string>& dialogue, std::string* transcript,
               bool hidden = false);
// A wrong password that the one-byte check of the entry's encryption header
// refuses.  zip draws that header at random, so any one wrong password passes
// the check once in 256 archives and then decodes to a CRC mismatch; Python's
// reader applies the same check and picks the first it refuses.  Empty when
// none of 64 candidates is refused.
std::string RefusedPassword(const std::string& archive, const std::string& entry);

// Little-endian field writers for hand-built records.
inline void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// Deterministic pseudo-random bytes.
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);
// Text-like bytes that compress well.
std::vector<uint8_t> TextBytes(size_t n, uint32_t seed);

std::string FixturesDir();   // tests/fixtures in the sources
std::string BinaryDir();     // the build directory (vardex, libvardex32.so)
std::string SourceDir();

// Puts the engine state back to its load-time values (for tests that call
// the exports in one process).
void ResetEngine();

// While alive, the platform refuses to open read-only files for writing even
// when the tests run as root, so read-only cases judge the engine everywhere.
class ReadOnlyEnforced {
public:
    ReadOnlyEnforced();
    ~ReadOnlyEnforced();
    ReadOnlyEnforced(const ReadOnlyEnforced&) = delete;
    ReadOnlyEnforced& operator=(const ReadOnlyEnforced&) = delete;
};

// Runs a block with TZ set to a zone, restoring the previous zone after.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone);
    ~ZoneGuard();
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    bool had_ = false;
    std::string old_;
};

// Runs a block with an environment variable set (nullptr: unset), putting
// back what was there after, however the block ends.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// Runs a block in another working directory, going back after.
class WorkingDirGuard {
public:
    explicit WorkingDirGuard(const std::string& dir);
    ~WorkingDirGuard();
    WorkingDirGuard(const WorkingDirGuard&) = delete;
    WorkingDirGuard& operator=(const WorkingDirGuard&) = delete;

private:
    std::filesystem::path old_;
};

// Runs the built vardex with the arguments in dir, without a controlling
// terminal (setsid) and with nothing on stdin; stdout and stderr apart.
int Vardex(const std::string& args, const TempDir& dir, std::string* out = nullptr, std::string* err = nullptr);

// Engine path (backslashes) for a native path.
std::string EnginePath(const std::string& native);

}  // namespace vxtest
