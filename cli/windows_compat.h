// The few POSIX calls the command line makes, on Windows: included only
// there, so that the commands read the same on both systems.
#pragma once
#ifdef _WIN32

#include <windows.h>
#include <direct.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

// The mode is POSIX's; Windows directories take their access from the parent.
inline int mkdir(const char* path, int /*mode*/) { return _mkdir(path); }

// Windows has no symbolic links the command line makes or follows here: the
// entry itself is what stat describes.
inline int lstat(const char* path, struct stat* st) { return stat(path, st); }

// Fills the trailing XXXXXX and creates the directory; _mkdir refuses a name
// that exists, so the directory is new and ours.
inline char* mkdtemp(char* pattern) {
    const size_t len = strlen(pattern);
    if (len < 6 || strcmp(pattern + len - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        for (size_t i = len - 6; i < len; ++i) {
            seed = seed * 1103515245u + 12345u;
            pattern[i] = kLetters[(seed >> 16) % (sizeof kLetters - 1)];
        }
        if (_mkdir(pattern) == 0) return pattern;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

#endif
