// File handles and times on Windows.  Local time is converted with the rules
// of the time zone for the date in question (summer or winter time of that
// day), not with the offset in force today, so a file keeps its instant
// whatever the season it is extracted in.
#include <io.h>

#include "platform/common.h"
#include "platform/platform.h"
#include "platform/win_internal.h"

namespace vardex::platform {

namespace {

HANDLE Native(Handle h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }

bool Fail(DWORD code) {
    ::SetLastError(code);
    return false;
}

// Universal to local wall-clock time or back, by the zone's rules for that
// date.  SYSTEMTIME keeps milliseconds only: the result gets back the 100-ns
// ticks below the millisecond that the time had.
using ZoneConversion = BOOL(WINAPI*)(const TIME_ZONE_INFORMATION*, const SYSTEMTIME*, SYSTEMTIME*);
bool ThroughZone(const FILETIME* from, FILETIME* to, ZoneConversion convert) {
    if (!from || !to) return Fail(ERROR_INVALID_PARAMETER);
    SYSTEMTIME in, out;
    if (!::FileTimeToSystemTime(from, &in) || !convert(nullptr, &in, &out) || !::SystemTimeToFileTime(&out, to))
        return false;
    *to = common::FromTicks(common::TicksOf(*to) + common::TicksOf(*from) % 10000);
    return true;
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
    return ThroughZone(utc, local, ::SystemTimeToTzSpecificLocalTime);
}

bool LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
    return ThroughZone(local, utc, ::TzSpecificLocalTimeToSystemTime);
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
    common::DosFields fields;
    if (!common::SplitDosDateTime(dosDate, dosTime, &fields)) return Fail(ERROR_INVALID_PARAMETER);
    return ::DosDateTimeToFileTime(dosDate, dosTime, ft) != FALSE;
}

}  // namespace vardex::platform
