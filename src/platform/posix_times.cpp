// File handles and times on POSIX.  Handles from CreateFileA are file
// descriptors.  FILETIME counts 100 ns since 1601-01-01 UTC; a "local"
// FILETIME counts the same way on the local wall clock.  DOS date and time
// are local wall-clock fields with 2-second resolution, years 1980..2107.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/common.h"
#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace vardex::platform {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDelta = 11644473600LL;

using common::FromTicks;
using common::TicksOf;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool Fail(uint32_t code) {
    posix::SetLastError(code);
    return false;
}

}  // namespace

namespace posix {

FILETIME ToFileTime(const struct timespec& ts) {
    if (ts.tv_sec < -kEpochDelta) return FromTicks(0);
    const uint64_t seconds = static_cast<uint64_t>(ts.tv_sec + kEpochDelta);
    return FromTicks(seconds * kTicksPerSecond + static_cast<uint64_t>(ts.tv_nsec) / 100);
}

bool FromFileTime(const FILETIME& ft, struct timespec* ts) {
    const uint64_t ticks = TicksOf(ft);
    ts->tv_sec = static_cast<time_t>(static_cast<int64_t>(ticks / kTicksPerSecond) - kEpochDelta);
    ts->tv_nsec = static_cast<long>(ticks % kTicksPerSecond) * 100;
    return true;
}

}  // namespace posix

Handle CreateFileA(const char* path, uint32_t access, uint32_t /*share*/, uint32_t disposition, uint32_t /*flags*/) {
    if (!path || !*path) {
        posix::SetLastError(posix::kErrorPathNotFound);
        return kInvalidHandle;
    }
    int flags = O_CLOEXEC;
    const bool read = access & GENERIC_READ_, write = access & GENERIC_WRITE_;
    flags |= write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
        case CREATE_NEW_: flags |= O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS_: flags |= O_CREAT | O_TRUNC; break;
        case OPEN_EXISTING_: break;
        case OPEN_ALWAYS_: flags |= O_CREAT; break;
        case TRUNCATE_EXISTING_: flags |= O_TRUNC; break;
        default: posix::SetLastError(posix::kErrorInvalidParameter); return kInvalidHandle;
    }
    const std::string native = NativePath(path);
    if (write && posix::RefusedAsReadOnly(native.c_str())) {
        posix::SetLastErrorFromErrno();
        return kInvalidHandle;
    }
    int fd;
    do {
        fd = ::open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        posix::SetLastErrorFromErrno();
        return kInvalidHandle;
    }
    return fd;
}

bool CloseHandle(Handle h) {
    if (h < 0) return Fail(posix::kErrorInvalidHandle);
    if (::close(static_cast<int>(h)) != 0) {
        posix::SetLastErrorFromErrno();
        return false;
    }
    return true;
}

bool GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    struct stat st;
    if (h < 0) return Fail(posix::kErrorInvalidHandle);
    if (::fstat(static_cast<int>(h), &st) != 0) {
        posix::SetLastErrorFromErrno();
        return false;
    }
    // POSIX keeps no creation time in struct stat; the last write time is the
    // closest stable stand-in (the change time moves with every chmod).
    if (creation) *creation = posix::ToFileTime(st.st_mtim);
    if (lastAccess) *lastAccess = posix::ToFileTime(st.st_atim);
    if (lastWrite) *lastWrite = posix::ToFileTime(st.st_mtim);
    return true;
}

bool FileLastWriteTime(int fd, FILETIME* lastWrite) {
    if (!lastWrite) return Fail(posix::kErrorInvalidParameter);
    return GetFileTime(static_cast<Handle>(fd), nullptr, nullptr, lastWrite);
}

bool FileSetLastWriteTime(int fd, const FILETIME* lastWrite) {
    if (!lastWrite) return Fail(posix::kErrorInvalidParameter);
    return SetFileTime(static_cast<Handle>(fd), nullptr, nullptr, lastWrite);
}

bool SetFileTime(Handle h, const FILETIME* /*creation*/, const FILETIME* lastAccess, const FILETIME* lastWrite) {
    if (h < 0) return Fail(posix::kErrorInvalidHandle);
    // The creation time cannot be set on POSIX; it is accepted and left alone.
    struct timespec times[2];
    times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
    times[0].tv_sec = times[1].tv_sec = 0;
    if (lastAccess) posix::FromFileTime(*lastAccess, &times[0]);
    if (lastWrite) posix::FromFileTime(*lastWrite, &times[1]);
    if (::futimens(static_cast<int>(h), times) != 0) {
        posix::SetLastErrorFromErrno();
        return false;
    }
    return true;
}

bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
    if (!utc || !local) return Fail(posix::kErrorInvalidParameter);
    struct timespec ts;
    posix::FromFileTime(*utc, &ts);
    struct tm tm;
    if (!localtime_r(&ts.tv_sec, &tm)) return Fail(posix::kErrorInvalidParameter);
    // The offset in force at that instant, so summer and winter times each
    // convert with their own offset.
    const int64_t shifted = static_cast<int64_t>(TicksOf(*utc)) + static_cast<int64_t>(tm.tm_gmtoff) * kTicksPerSecond;
    if (shifted < 0) return Fail(posix::kErrorInvalidParameter);
    *local = FromTicks(static_cast<uint64_t>(shifted));
    return true;
}

bool LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
    if (!local || !utc) return Fail(posix::kErrorInvalidParameter);
    struct timespec wall;
    posix::FromFileTime(*local, &wall);
    struct tm tm;
    if (!gmtime_r(&wall.tv_sec, &tm)) return Fail(posix::kErrorInvalidParameter);
    tm.tm_isdst = -1;  // let the zone rules decide for that date
    errno = 0;
    const time_t seconds = mktime(&tm);
    if (seconds == static_cast<time_t>(-1) && errno != 0) return Fail(posix::kErrorInvalidParameter);
    if (seconds < -kEpochDelta) return Fail(posix::kErrorInvalidParameter);
    *utc = posix::ToFileTime(timespec{seconds, wall.tv_nsec});
    return true;
}

bool FileTimeToDosDateTime(const FILETIME* ft, uint16_t* dosDate, uint16_t* dosTime) {
    if (!ft || !dosDate || !dosTime) return Fail(posix::kErrorInvalidParameter);
    struct timespec ts;
    posix::FromFileTime(*ft, &ts);
    struct tm tm;
    if (!gmtime_r(&ts.tv_sec, &tm)) return Fail(posix::kErrorInvalidParameter);
    const int year = tm.tm_year + 1900;
    if (year < 1980 || year > 2107) return Fail(posix::kErrorInvalidParameter);
    *dosDate = static_cast<uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    // Seconds are kept in 2-second units; an odd second rounds down.
    *dosTime = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    return true;
}

bool DosDateTimeToFileTime(uint16_t dosDate, uint16_t dosTime, FILETIME* ft) {
    if (!ft) return Fail(posix::kErrorInvalidParameter);
    common::DosFields f;
    if (!common::SplitDosDateTime(dosDate, dosTime, &f)) return Fail(posix::kErrorInvalidParameter);
    const int64_t seconds = DaysFromCivil(f.year, f.month, f.day) * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
    *ft = FromTicks(static_cast<uint64_t>(seconds + kEpochDelta) * kTicksPerSecond);
    return true;
}

}  // namespace vardex::platform
