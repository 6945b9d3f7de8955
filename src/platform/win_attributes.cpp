// File attributes, find-first and the last-error value on Windows: the
// system's own calls, reached through wide paths (see win_codepages.cpp).
#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "platform/common.h"
#include "platform/platform.h"
#include "platform/win_internal.h"

namespace vardex::platform {

namespace win {

void SetLastErrorFromErrno() {
    DWORD code;
    switch (errno) {
        case ENOENT: code = ERROR_FILE_NOT_FOUND; break;
        case EACCES:
        case EPERM: code = ERROR_ACCESS_DENIED; break;
        case EBADF: code = ERROR_INVALID_HANDLE; break;
        case ENOMEM: code = ERROR_NOT_ENOUGH_MEMORY; break;
        case EEXIST: code = ERROR_FILE_EXISTS; break;
        case EINVAL: code = ERROR_INVALID_PARAMETER; break;
        case ENOSPC: code = ERROR_DISK_FULL; break;
        case EMFILE: code = ERROR_TOO_MANY_OPEN_FILES; break;
        default: code = ERROR_GEN_FAILURE; break;
    }
    ::SetLastError(code);
}

void FindDataFromWide(const WIN32_FIND_DATAW& wide, WIN32_FIND_DATAA* data) {
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = wide.dwFileAttributes;
    data->ftCreationTime = wide.ftCreationTime;
    data->ftLastAccessTime = wide.ftLastAccessTime;
    data->ftLastWriteTime = wide.ftLastWriteTime;
    data->nFileSizeHigh = wide.nFileSizeHigh;
    data->nFileSizeLow = wide.nFileSizeLow;
    // The host sees the ANSI form of the name, as FindFirstFileA gives it.
    const std::string name = Narrow(wide.cFileName);
    const size_t len = TextCutLength(name.c_str(), name.size(), sizeof data->cFileName - 1);
    memcpy(data->cFileName, name.data(), len);
    const std::string alternate = Narrow(wide.cAlternateFileName);
    const size_t altLen = alternate.size() < sizeof data->cAlternateFileName ? alternate.size() : 0;
    memcpy(data->cAlternateFileName, alternate.data(), altLen);
}

}  // namespace win

void common::SetLastErrorCode(uint32_t code) { ::SetLastError(code); }

uint32_t GetLastError() { return ::GetLastError(); }

uint32_t GetFileAttributesA(const char* path) {
    if (!path || !*path) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return ::GetFileAttributesW(win::WidePath(path).c_str());
}

bool SetFileAttributesA(const char* path, uint32_t attributes) {
    if (!path || !*path) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return ::SetFileAttributesW(win::WidePath(path).c_str(), attributes) != FALSE;
}

FindHandle FindFirstFileA(const char* path, WIN32_FIND_DATAA* data) {
    if (!path || !*path || !data) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return kInvalidFind;
    }
    WIN32_FIND_DATAW wide;
    const HANDLE h = ::FindFirstFileW(win::WidePath(path).c_str(), &wide);
    if (h == INVALID_HANDLE_VALUE) return kInvalidFind;
    win::FindDataFromWide(wide, data);
    return reinterpret_cast<FindHandle>(h);
}

bool FindClose(FindHandle h) {
    if (h == kInvalidFind) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::FindClose(reinterpret_cast<HANDLE>(h)) != FALSE;
}

}  // namespace vardex::platform
