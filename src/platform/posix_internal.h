// Helpers shared by the POSIX files of the platform layer (not used above it).
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "vardex32.h"

namespace vardex::platform::posix {

// The last-error value GetLastError reports, as Windows error codes.
void SetLastError(uint32_t code);
// Maps the current errno to the nearest Windows error code and keeps it.
void SetLastErrorFromErrno();

// Windows error codes the layer reports.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;

// True when the read-only test hook is set and the existing file at the
// native path lacks its owner's write permission (errno is then EACCES).
bool RefusedAsReadOnly(const char* native);
// The same for a file already looked at (a regular file the owner may not write).
bool RefusedAsReadOnly(const struct stat& st);

// FILETIME (100 ns since 1601-01-01 UTC) <-> POSIX seconds and nanoseconds.
FILETIME ToFileTime(const struct timespec& ts);
bool FromFileTime(const FILETIME& ft, struct timespec* ts);

// Windows attribute bits for a stat record.
uint32_t AttributesOf(const struct stat& st);

}  // namespace vardex::platform::posix
