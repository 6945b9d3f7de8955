// Find-first for one path on POSIX.  The engine only asks about a single
// named file (existence and its record for the overwrite question), so no
// wildcard search is kept open: the handle carries no state.
#include <sys/stat.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace vardex::platform {

namespace {
constexpr FindHandle kSingleFind = 1;
}  // namespace

FindHandle FindFirstFileA(const char* path, WIN32_FIND_DATAA* data) {
    if (!path || !*path || !data) {
        posix::SetLastError(posix::kErrorFileNotFound);
        return kInvalidFind;
    }
    // The name part: what follows the last separator or drive colon.
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    if (*name == '\0' || strlen(name) >= sizeof data->cFileName) {
        posix::SetLastError(posix::kErrorFileNotFound);
        return kInvalidFind;
    }
    struct stat st;
    if (::stat(NativePath(path).c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno();
        return kInvalidFind;
    }
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = posix::AttributesOf(st);
    data->ftCreationTime = posix::ToFileTime(st.st_mtim);  // no creation time in struct stat
    data->ftLastAccessTime = posix::ToFileTime(st.st_atim);
    data->ftLastWriteTime = posix::ToFileTime(st.st_mtim);
    if (!S_ISDIR(st.st_mode)) {
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        data->nFileSizeHigh = static_cast<uint32_t>(size >> 32);
        data->nFileSizeLow = static_cast<uint32_t>(size);
    }
    memcpy(data->cFileName, name, strlen(name) + 1);
    return kSingleFind;
}

bool FindClose(FindHandle h) {
    if (h == kInvalidFind) {
        posix::SetLastError(posix::kErrorInvalidHandle);
        return false;
    }
    return true;
}

}  // namespace vardex::platform
