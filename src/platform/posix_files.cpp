// Descriptor-based file access and path mapping on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace vardex::platform {

namespace {
// Remaining bytes before writes come up short; negative = no limit.
int64_t g_writeBudget = -1;
bool g_failSync = false;
bool g_enforceReadOnly = false;
}  // namespace

namespace posix {
bool RefusedAsReadOnly(const char* native) {
    struct stat st;
    if (!g_enforceReadOnly || ::stat(native, &st) != 0 || S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR)) return false;
    errno = EACCES;
    return true;
}

bool RefusedAsReadOnly(const struct stat& st) {
    if (!g_enforceReadOnly || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR)) return false;
    errno = EACCES;
    return true;
}
}  // namespace posix

std::string NativePath(const char* enginePath) {
    std::string out = enginePath ? enginePath : "";
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::string EnginePath(const char* nativePath) {
    std::string out = nativePath ? nativePath : "";
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

int FileOpen(const char* path, OpenMode mode) {
    if (!path || !*path) return -1;
    int flags = O_CLOEXEC;
    switch (mode) {
        case OpenMode::ReadOnly: flags |= O_RDONLY; break;
        case OpenMode::ReadWrite: flags |= O_RDWR; break;
        case OpenMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    const std::string native = NativePath(path);
    if (mode != OpenMode::ReadOnly && posix::RefusedAsReadOnly(native.c_str())) return -1;
    int fd;
    do {
        fd = ::open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    // Opening a directory succeeds on POSIX for reading; the engine expects files only.
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int32_t FileRead(int fd, void* buffer, uint32_t count) {
    if (fd < 0) return -1;
    auto* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::read(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? static_cast<int32_t>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

int32_t FileWrite(int fd, const void* buffer, uint32_t count) {
    if (fd < 0) return -1;
    uint32_t allowed = count;
    if (g_writeBudget >= 0 && static_cast<int64_t>(allowed) > g_writeBudget)
        allowed = static_cast<uint32_t>(g_writeBudget);
    const auto* p = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < allowed) {
        ssize_t n = ::write(fd, p + done, allowed - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done == 0) return -1;
            break;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    if (g_writeBudget >= 0) g_writeBudget -= done;
    return static_cast<int32_t>(done);
}

int64_t FileSeek(int fd, int64_t offset, int origin) {
    if (fd < 0) return -1;
    off_t r = ::lseek(fd, static_cast<off_t>(offset), origin);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t FileTell(int fd) { return FileSeek(fd, 0, SEEK_CUR); }

int64_t FileLength(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool FileClose(int fd) { return fd >= 0 && ::close(fd) == 0; }

bool FileTruncate(int fd, int64_t length) { return fd >= 0 && ::ftruncate(fd, static_cast<off_t>(length)) == 0; }

bool FileSync(int fd) { return fd >= 0 && !g_failSync && ::fsync(fd) == 0; }

bool FileRename(const char* from, const char* to) {
    return ::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

bool FileRemove(const char* path) { return ::unlink(NativePath(path).c_str()) == 0; }

bool MakeDirectory(const char* path) { return ::mkdir(NativePath(path).c_str(), 0777) == 0; }

bool PathExists(const char* path) {
    if (!path || !*path) return false;
    return ::access(NativePath(path).c_str(), F_OK) == 0;
}

bool MarkExecutable(const char* path) {
    struct stat st;
    const std::string native = NativePath(path);
    if (::stat(native.c_str(), &st) != 0) return false;
    // Whoever may read the file may run it.
    mode_t mode = st.st_mode | ((st.st_mode & 0444) >> 2);
    return ::chmod(native.c_str(), mode) == 0;
}

void SetWriteBudgetForTesting(int64_t bytes) { g_writeBudget = bytes; }

void SetSyncFailureForTesting(bool fail) { g_failSync = fail; }

void SetReadOnlyEnforcedForTesting(bool enforce) { g_enforceReadOnly = enforce; }

}  // namespace vardex::platform
