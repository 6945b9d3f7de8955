// File attributes and the last-error value on POSIX.
//
// Only the read-only bit has a POSIX counterpart (the write permissions);
// every non-directory reports FILE_ATTRIBUTE_ARCHIVE, directories report
// FILE_ATTRIBUTE_DIRECTORY.  Hidden, system and archive bits given to
// SetFileAttributesA are accepted and have no effect.
#include <sys/stat.h>

#include <cerrno>

#include "platform/common.h"
#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace vardex::platform {

namespace posix {

namespace {
// Per thread, as the Windows value is.
thread_local uint32_t t_lastError = 0;
}  // namespace

void SetLastError(uint32_t code) { t_lastError = code; }

void SetLastErrorFromErrno() {
    uint32_t code;
    switch (errno) {
        case ENOENT: code = kErrorFileNotFound; break;
        case ENOTDIR: code = kErrorPathNotFound; break;
        case EACCES:
        case EPERM: code = kErrorAccessDenied; break;
        case EBADF: code = kErrorInvalidHandle; break;
        case ENOMEM: code = 8; break;   // ERROR_NOT_ENOUGH_MEMORY
        case EROFS: code = 19; break;   // ERROR_WRITE_PROTECT
        case EBUSY: code = 32; break;   // ERROR_SHARING_VIOLATION
        case EEXIST: code = 80; break;  // ERROR_FILE_EXISTS
        case EINVAL: code = kErrorInvalidParameter; break;
        case ENOSPC: code = 112; break;        // ERROR_DISK_FULL
        case ENAMETOOLONG: code = 206; break;  // ERROR_FILENAME_EXCED_RANGE
        case EISDIR: code = kErrorAccessDenied; break;
        default: code = 31; break;  // ERROR_GEN_FAILURE
    }
    t_lastError = code;
}

uint32_t AttributesOf(const struct stat& st) {
    uint32_t attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

}  // namespace posix

void common::SetLastErrorCode(uint32_t code) { posix::SetLastError(code); }

uint32_t GetLastError() { return posix::t_lastError; }

uint32_t GetFileAttributesA(const char* path) {
    struct stat st;
    if (!path || !*path) {
        posix::SetLastError(posix::kErrorPathNotFound);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (::stat(NativePath(path).c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    return posix::AttributesOf(st);
}

bool SetFileAttributesA(const char* path, uint32_t attributes) {
    struct stat st;
    if (!path || !*path) {
        posix::SetLastError(posix::kErrorPathNotFound);
        return false;
    }
    const std::string native = NativePath(path);
    if (::stat(native.c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno();
        return false;
    }
    // A read-only directory would refuse new files inside it, which Windows
    // does not do; the bit is accepted and ignored for directories.
    if (S_ISDIR(st.st_mode)) return true;
    mode_t mode = st.st_mode & 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;  // writable again for the owner; nobody else gains access
    if (mode != (st.st_mode & 07777) && ::chmod(native.c_str(), mode) != 0) {
        posix::SetLastErrorFromErrno();
        return false;
    }
    return true;
}

uint32_t FileModeForEntry(const char* path) {
    struct stat st;
    if (!path || !*path || ::stat(NativePath(path).c_str(), &st) != 0) return 0;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return 0;
    return static_cast<uint32_t>(st.st_mode) & 0xFFFFu;
}

bool SetFileModeOf(int fd, uint32_t mode) {
    const mode_t permissions = static_cast<mode_t>(mode & 0777);
    if (::fchmod(fd, permissions) != 0) {
        posix::SetLastErrorFromErrno();
        return false;
    }
    return true;
}

}  // namespace vardex::platform
