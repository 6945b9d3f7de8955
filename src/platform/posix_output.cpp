// Output files on POSIX, opened level by level from the output directory with
// O_NOFOLLOW, so that a link planted anywhere below it (at a directory level
// or at the file itself) can neither redirect a write nor receive a time or
// a mode meant for the extracted file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace vardex::platform {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

int OpenAtRetrying(int dirFd, const char* name, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::openat(dirFd, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The levels of a path, split at either separator; empty levels are dropped.
template <typename Fn>
bool ForEachLevel(const std::string& path, Fn fn) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("\\/", start);
        if (end == std::string::npos) end = path.size();
        if (end > start && !fn(path.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

// The base directory, following links as the caller's own path would; with
// `create`, every missing level is made (as "mkdir -p" does).
int OpenBase(const char* base, bool create, OutputFailure* why) {
    std::string native = NativePath(base);
    if (native.empty()) native.push_back('.');
    int fd = OpenAtRetrying(AT_FDCWD, native.c_str(), kDirFlags);
    if (fd >= 0 || !create || errno != ENOENT) {
        if (fd < 0) *why = errno == ENOENT ? OutputFailure::Missing : OutputFailure::CannotCreate;
        return fd;
    }
    std::string built = native[0] == '/' ? "/" : "";
    const bool ok = ForEachLevel(native, [&](const std::string& level) {
        built += level;
        if (::mkdir(built.c_str(), 0777) != 0 && errno != EEXIST) return false;
        built += '/';
        return true;
    });
    fd = ok ? OpenAtRetrying(AT_FDCWD, native.c_str(), kDirFlags) : -1;
    if (fd < 0) *why = OutputFailure::CannotCreate;
    return fd;
}

// One level below dirFd, never through a link.  Takes over dirFd.
int OpenLevel(int dirFd, const std::string& level, bool create, OutputFailure* why) {
    int fd = OpenAtRetrying(dirFd, level.c_str(), kDirFlags | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(dirFd, level.c_str(), 0777) == 0 || errno == EEXIST)
            fd = OpenAtRetrying(dirFd, level.c_str(), kDirFlags | O_NOFOLLOW);
    }
    if (fd < 0) {
        if (errno == ENOENT)
            *why = OutputFailure::Missing;
        else if (errno == ELOOP || errno == ENOTDIR)
            *why = OutputFailure::Link;
        else
            *why = OutputFailure::CannotCreate;
    }
    ::close(dirFd);
    return fd;
}

bool SameFile(const struct stat& a, int fd) {
    struct stat b;
    return fd >= 0 && ::fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int OpenOutputDirectory(const char* base, const char* relativeDir, bool create, OutputFailure* why) {
    OutputFailure ignored;
    if (!why) why = &ignored;
    *why = OutputFailure::None;
    int fd = OpenBase(base ? base : "", create, why);
    if (fd < 0) return -1;
    ForEachLevel(relativeDir ? relativeDir : "", [&](const std::string& level) {
        fd = OpenLevel(fd, level, create, why);
        return fd >= 0;
    });
    return fd;
}

bool FindOutputFile(int dirFd, const char* leaf, WIN32_FIND_DATAA* data) {
    struct stat st;
    if (dirFd < 0 || !leaf || !*leaf || strlen(leaf) >= sizeof data->cFileName ||
        ::fstatat(dirFd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        posix::SetLastError(posix::kErrorFileNotFound);
        return false;
    }
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = posix::AttributesOf(st);
    data->ftCreationTime = posix::ToFileTime(st.st_mtim);
    data->ftLastAccessTime = posix::ToFileTime(st.st_atim);
    data->ftLastWriteTime = posix::ToFileTime(st.st_mtim);
    if (S_ISREG(st.st_mode)) {
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        data->nFileSizeHigh = static_cast<uint32_t>(size >> 32);
        data->nFileSizeLow = static_cast<uint32_t>(size);
    }
    memcpy(data->cFileName, leaf, strlen(leaf) + 1);
    return true;
}

bool IsLinkAt(int dirFd, const char* leaf) {
    struct stat st;
    return dirFd >= 0 && ::fstatat(dirFd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

int CreateOutputFileAt(int dirFd, const char* leaf, int protectFd, OutputFailure* why) {
    OutputFailure ignored;
    if (!why) why = &ignored;
    *why = OutputFailure::CannotCreate;
    if (dirFd < 0 || !leaf || !*leaf) return -1;
    constexpr int kNew = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = OpenAtRetrying(dirFd, leaf, kNew, 0666);
    if (fd < 0 && errno == EEXIST) {
        struct stat st;
        if (::fstatat(dirFd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        if (SameFile(st, protectFd)) {
            *why = OutputFailure::TheArchive;
            return -1;
        }
        if (S_ISDIR(st.st_mode) || posix::RefusedAsReadOnly(st)) return -1;
        if (S_ISREG(st.st_mode) && st.st_nlink == 1) {
            // Truncated in place, as a replaced file is; O_NONBLOCK keeps a
            // file swapped for a FIFO meanwhile from stalling the open.
            fd = OpenAtRetrying(dirFd, leaf, O_RDWR | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        } else if (S_ISLNK(st.st_mode) || S_ISREG(st.st_mode)) {
            // A link, or a file with other names: the name is taken away and
            // a new file made, leaving whatever it pointed to as it was.
            if (::unlinkat(dirFd, leaf, 0) == 0) fd = OpenAtRetrying(dirFd, leaf, kNew, 0666);
        } else {
            *why = OutputFailure::Link;  // a device, FIFO or socket is never written to
            return -1;
        }
    }
    if (fd < 0) {
        if (errno == ELOOP) *why = OutputFailure::Link;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *why = OutputFailure::Link;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *why = OutputFailure::None;
    return fd;
}

bool RemoveFileAt(int dirFd, const char* leaf) { return dirFd >= 0 && ::unlinkat(dirFd, leaf, 0) == 0; }

bool IsSameFileAt(int dirFd, const char* leaf, int fd) {
    struct stat st;
    return dirFd >= 0 && ::fstatat(dirFd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(st, fd);
}

bool MakeWritableAt(int dirFd, const char* leaf) {
    struct stat st;
    if (dirFd < 0 || ::fstatat(dirFd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_mode & S_IWUSR) return true;
    return ::fchmodat(dirFd, leaf, (st.st_mode & 07777) | S_IWUSR, 0) == 0;
}

bool SetFileAttributesOf(int fd, uint32_t attributes) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        posix::SetLastErrorFromErrno();
        return false;
    }
    mode_t mode = st.st_mode & 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    if (mode != (st.st_mode & 07777) && ::fchmod(fd, mode) != 0) {
        posix::SetLastErrorFromErrno();
        return false;
    }
    return true;
}

}  // namespace vardex::platform
