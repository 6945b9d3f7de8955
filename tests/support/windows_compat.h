// The few POSIX calls the tests use, in their Windows form, so that a test
// reads the same on both systems.  What Windows has no form of (links, Unix
// modes, signals) is left out: such tests skip there (VXTEST_NEEDS_POSIX).
#pragma once
#ifdef _WIN32

#include <direct.h>
#include <windows.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

inline int mkdir(const char* path, unsigned /*mode*/) { return _mkdir(path); }
inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name)) return 0;
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
// Local time by the system's zone and the rules in force on that date, as
// the engine converts (the C runtime's own reading of TZ may differ).
inline struct tm* localtime_r(const time_t* t, struct tm* out) {
    const unsigned long long ticks = (static_cast<unsigned long long>(*t) + 11644473600ull) * 10000000ull;
    const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal, local;
    if (!FileTimeToSystemTime(&utc, &universal) || !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return nullptr;
    *out = tm{};
    out->tm_year = local.wYear - 1900;
    out->tm_mon = local.wMonth - 1;
    out->tm_mday = local.wDay;
    out->tm_hour = local.wHour;
    out->tm_min = local.wMinute;
    out->tm_sec = local.wSecond;
    out->tm_wday = local.wDayOfWeek;
    return out;
}
// Windows has no links the tests would make: what lstat sees is what stat sees.
inline int lstat(const char* path, struct stat* st) { return stat(path, st); }
#define S_ISLNK(mode) false

// A second name for a file (a hard link), as NTFS has them.
inline int link(const char* from, const char* to) { return CreateHardLinkA(to, from, nullptr) ? 0 : -1; }

// Sets the access and write times of a path (the directory argument must be
// AT_FDCWD, the flags 0), to the 100 ns Windows keeps.
#define AT_FDCWD (-100)
inline int utimensat(int /*dir*/, const char* path, const struct timespec times[2], int /*flags*/) {
    auto toFileTime = [](const struct timespec& t) {
        const unsigned long long ticks = (static_cast<unsigned long long>(t.tv_sec) + 11644473600ull) * 10000000ull +
                                         static_cast<unsigned long long>(t.tv_nsec) / 100;
        return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    };
    const HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    const FILETIME access = toFileTime(times[0]), written = toFileTime(times[1]);
    const bool ok = SetFileTime(h, nullptr, &access, &written) != FALSE;
    CloseHandle(h);
    return ok ? 0 : -1;
}

#endif
