// File handles and times on Windows.  Local time is converted with the rules
// of the time zone for the date in question (summer or winter time of that
// day), not with the offset in force today, so a file keeps its instant
// whatever the season it is extracted in.
#include <io.h>

#include "platform/platform.h"
#include "platform/win_internal.h"

namespace vardex::platform {

namespace {

HANDLE Native(Handle h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }

bool Fail(DWORD code) {
    ::SetLastError(code);
    return false;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

Handle CreateFileA(const char* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) {
    if (!path || !*path) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return kInvalidHandle;
    }
    // Backup semantics let a directory be opened for its times as well.
    const HANDLE h = ::CreateFileW(win::WidePath(path).c_str(), access, share | FILE_SHARE_READ, nullptr,
                                   disposition, flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : Handle(reinterpret_cast<intptr_t>(h));
}

bool CloseHandle(Handle h) {
    if (h == kInvalidHandle) return Fail(ERROR_INVALID_HANDLE);
    return ::CloseHandle(Native(h)) != FALSE;
}

bool GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    if (h == kInvalidHandle) return Fail(ERROR_INVALID_HANDLE);
    return ::GetFileTime(Native(h), creation, lastAccess, lastWrite) != FALSE;
}

bool SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite) {
    if (h == kInvalidHandle) return Fail(ERROR_INVALID_HANDLE);
    return ::SetFileTime(Native(h), creation, lastAccess, lastWrite) != FALSE;
}

bool FileLastWriteTime(int fd, FILETIME* lastWrite) {
    if (!lastWrite) return Fail(ERROR_INVALID_PARAMETER);
    const intptr_t os = fd >= 0 ? ::_get_osfhandle(fd) : -1;
    if (os == -1) return Fail(ERROR_INVALID_HANDLE);
    return ::GetFileTime(reinterpret_cast<HANDLE>(os), nullptr, nullptr, lastWrite) != FALSE;
}

bool FileSetLastWriteTime(int fd, const FILETIME* lastWrite) {
    if (!lastWrite) return Fail(ERROR_INVALID_PARAMETER);
    const intptr_t os = fd >= 0 ? ::_get_osfhandle(fd) : -1;
    if (os == -1) return Fail(ERROR_INVALID_HANDLE);
    return ::SetFileTime(reinterpret_cast<HANDLE>(os), nullptr, nullptr, lastWrite) != FALSE;
}

bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
    if (!utc || !local) return Fail(ERROR_INVALID_PARAMETER);
    SYSTEMTIME universal, wall;
    if (!::FileTimeToSystemTime(utc, &universal) || !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &wall) ||
        !::SystemTimeToFileTime(&wall, local))
        return false;
    // SYSTEMTIME keeps milliseconds only: carry the 100-ns ticks below them.
    const uint64_t rest =
        ((static_cast<uint64_t>(utc->dwHighDateTime) << 32) | utc->dwLowDateTime) % 10000;
    const uint64_t ticks = ((static_cast<uint64_t>(local->dwHighDateTime) << 32) | local->dwLowDateTime) + rest;
    *local = FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return true;
}

bool LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
    if (!local || !utc) return Fail(ERROR_INVALID_PARAMETER);
    SYSTEMTIME wall, universal;
    if (!::FileTimeToSystemTime(local, &wall) || !::TzSpecificLocalTimeToSystemTime(nullptr, &wall, &universal) ||
        !::SystemTimeToFileTime(&universal, utc))
        return false;
    const uint64_t rest =
        ((static_cast<uint64_t>(local->dwHighDateTime) << 32) | local->dwLowDateTime) % 10000;
    const uint64_t ticks = ((static_cast<uint64_t>(utc->dwHighDateTime) << 32) | utc->dwLowDateTime) + rest;
    *utc = FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return true;
}

bool FileTimeToDosDateTime(const FILETIME* ft, uint16_t* dosDate, uint16_t* dosTime) {
    if (!ft || !dosDate || !dosTime) return Fail(ERROR_INVALID_PARAMETER);
    // Years outside 1980..2107 have no DOS form (checked here: not every
    // system's FileTimeToDosDateTime refuses them); odd seconds round down.
    SYSTEMTIME st;
    if (!::FileTimeToSystemTime(ft, &st)) return false;
    if (st.wYear < 1980 || st.wYear > 2107) return Fail(ERROR_INVALID_PARAMETER);
    WORD date = 0, time = 0;
    if (!::FileTimeToDosDateTime(ft, &date, &time)) return false;
    *dosDate = date;
    *dosTime = time;
    return true;
}

bool DosDateTimeToFileTime(uint16_t dosDate, uint16_t dosTime, FILETIME* ft) {
    if (!ft) return Fail(ERROR_INVALID_PARAMETER);
    // Fields no calendar has (month 0, 30 February, 25 o'clock) are refused
    // here rather than left to the system's leniency.
    const int year = 1980 + (dosDate >> 9);
    const int month = (dosDate >> 5) & 0x0F;
    const int day = dosDate & 0x1F;
    const int hour = dosTime >> 11;
    const int minute = (dosTime >> 5) & 0x3F;
    const int second = (dosTime & 0x1F) * 2;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59)
        return Fail(ERROR_INVALID_PARAMETER);
    return ::DosDateTimeToFileTime(dosDate, dosTime, ft) != FALSE;
}

}  // namespace vardex::platform
