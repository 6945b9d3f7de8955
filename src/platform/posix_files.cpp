// Descriptor-based file access and path mapping on POSIX.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/common.h"
#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace vardex::platform {

namespace {
bool g_enforceReadOnly = false;

// Reads and writes run to the whole count unless the file ends or fails;
// a position below 0 means the descriptor's own position.  A failure after
// some bytes returns the bytes done.
int32_t ReadWhole(int fd, void* buffer, uint32_t count, int64_t position) {
    auto* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = position < 0 ? ::read(fd, p + done, count - done)
                                       : ::pread(fd, p + done, count - done, static_cast<off_t>(position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? static_cast<int32_t>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

// Writes also honour the test hook's write budget.
int32_t WriteWhole(int fd, const void* buffer, uint32_t count, int64_t position) {
    return common::WriteWithinBudget(buffer, count, [&](const uint8_t* p, uint32_t n, uint32_t done) -> int64_t {
        for (;;) {
            const ssize_t w =
                position < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, static_cast<off_t>(position + done));
            if (w >= 0 || errno != EINTR) return w;
        }
    });
}

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
        case OpenMode::CreateNew: flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW; break;
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

bool FileSync(int fd) { return fd >= 0 && !common::SyncFails() && ::fsync(fd) == 0; }

bool FileRename(const char* from, const char* to) {
    return ::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

// rename takes the name from a file held open: the descriptor stays.
bool FileReplaceHeld(const char* from, const char* to, int* /*heldTo*/) { return FileRename(from, to); }

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

bool PathOccupied(const char* path) {
    struct stat st;
    return path && *path && ::lstat(NativePath(path).c_str(), &st) == 0;
}

namespace {

// The portable copy: through a buffer, in large pieces.
int64_t CopyThroughBuffer(int from, int64_t fromPosition, int to, int64_t toPosition, int64_t count) {
    constexpr uint32_t kPiece = 1u << 20;
    std::vector<uint8_t> buffer(static_cast<size_t>(count < kPiece ? count : kPiece));
    int64_t done = 0;
    while (done < count) {
        const uint32_t want = static_cast<uint32_t>(count - done < kPiece ? count - done : kPiece);
        const int32_t got = FileReadAt(from, buffer.data(), want, fromPosition + done);
        if (got < 0) return done ? done : -1;
        if (got == 0) break;
        const int32_t put = FileWriteAt(to, buffer.data(), static_cast<uint32_t>(got), toPosition + done);
        if (put > 0) done += put;
        if (put != got) return done ? done : -1;
    }
    return done;
}

}  // namespace

int64_t FileCopyRange(int from, int64_t fromPosition, int to, int64_t toPosition, int64_t count) {
    if (from < 0 || to < 0 || count < 0) return -1;
#ifdef __linux__
    // The test write budget must see every byte, so it takes the buffered way.
    if (common::WriteBudget() < 0) {
        off_t in = static_cast<off_t>(fromPosition);
        off_t out = static_cast<off_t>(toPosition);
        int64_t done = 0;
        while (done < count) {
            const size_t want = static_cast<size_t>(count - done < (1ll << 30) ? count - done : (1ll << 30));
            const ssize_t n = ::copy_file_range(from, &in, to, &out, want, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                // Not offered between these files (older kernels, other file
                // systems): the rest goes through a buffer.
                if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
                    const int64_t rest =
                        CopyThroughBuffer(from, fromPosition + done, to, toPosition + done, count - done);
                    return rest < 0 ? (done ? done : -1) : done + rest;
                }
                return done ? done : -1;
            }
            if (n == 0) break;
            done += n;
        }
        return done;
    }
#endif
    return CopyThroughBuffer(from, fromPosition, to, toPosition, count);
}

bool IdentityOf(int fd, FileIdentity* out) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return false;
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool PathIdentity(const char* path, FileIdentity* out) {
    struct stat st;
    if (!path || !*path || ::stat(NativePath(path).c_str(), &st) != 0) return false;
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

std::string ResolvedPath(const char* path) {
    if (!path || !*path) return {};
    char* real = ::realpath(NativePath(path).c_str(), nullptr);
    if (!real) return {};
    std::string out = EnginePath(real);
    ::free(real);
    return out;
}

int FileCreateNew(const char* path) {
    if (!path || !*path) return -1;
    int fd;
    do {
        fd = ::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool CopyOwnerAndMode(int from, int to) {
    struct stat st;
    if (::fstat(from, &st) != 0) return false;
    // The owner first: changing it clears set-id bits, which the mode then
    // puts back.  Only a privileged process may give a file away.
    if (::fchown(to, st.st_uid, st.st_gid) != 0) (void)::fchown(to, static_cast<uid_t>(-1), st.st_gid);
    return ::fchmod(to, st.st_mode & 07777) == 0;
}

bool LockFileExclusive(int fd) {
    if (fd < 0) return false;
    for (;;) {
        if (::flock(fd, LOCK_EX) == 0) return true;
        if (errno != EINTR) return false;
    }
}

void SyncDirectoryOf(const char* path) {
    std::string native = NativePath(path);
    const size_t slash = native.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

void SetReadOnlyEnforcedForTesting(bool enforce) { g_enforceReadOnly = enforce; }

int32_t FileRead(int fd, void* buffer, uint32_t count) { return fd < 0 ? -1 : ReadWhole(fd, buffer, count, -1); }

int32_t FileWrite(int fd, const void* buffer, uint32_t count) {
    return fd < 0 ? -1 : WriteWhole(fd, buffer, count, -1);
}

int32_t FileReadAt(int fd, void* buffer, uint32_t count, int64_t position) {
    return fd < 0 || position < 0 ? -1 : ReadWhole(fd, buffer, count, position);
}

int32_t FileWriteAt(int fd, const void* buffer, uint32_t count, int64_t position) {
    return fd < 0 || position < 0 ? -1 : WriteWhole(fd, buffer, count, position);
}

}  // namespace vardex::platform
