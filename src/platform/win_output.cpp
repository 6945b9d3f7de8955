// Output files below a chosen directory, positioned access, file identity,
// locking and the other calls a rewrite needs, on Windows.
//
// A directory "descriptor" is a C-runtime descriptor over a handle to the
// directory, opened without FILE_SHARE_DELETE: while it is held, the level
// cannot be renamed or removed and replaced by a junction.  Files below it are
// reached through the directory's final path, and a reparse point (junction,
// symbolic link) is never followed or created.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win_internal.h"

namespace vardex::platform {

namespace {

bool g_enforceReadOnly = false;

HANDLE HandleOf(int fd) { return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// Wraps a handle into a descriptor that owns it; -1 (handle closed) on failure.
int DescriptorFor(HANDLE h, int flags) {
    if (h == INVALID_HANDLE_VALUE) return -1;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) ::CloseHandle(h);
    return fd;
}

// The wide path of the directory a descriptor holds, with a trailing '\'.
std::wstring DirectoryPathOf(int dirFd) {
    const HANDLE h = HandleOf(dirFd);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    if (n >= buffer.size()) {
        buffer.resize(n + 1);
        n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    }
    if (n == 0 || n >= buffer.size()) return {};
    std::wstring path(buffer.data(), n);
    if (path.back() != L'\\') path += L'\\';
    return path;
}

std::wstring LeafPath(int dirFd, const char* leaf) {
    const std::wstring dir = DirectoryPathOf(dirFd);
    if (dir.empty() || !leaf || !*leaf) return {};
    std::wstring wideLeaf = win::WidePath(leaf);
    // A leaf is one component: a separator in it would climb out of the level.
    if (wideLeaf.find_first_of(L"\\/") != std::wstring::npos) return {};
    return dir + wideLeaf;
}

bool IsReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Opens one directory level for holding; never through a reparse point when
// `noLink` is set.
HANDLE OpenDirectoryHandle(const std::wstring& path, bool noLink) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (noLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (noLink && IsReparsePoint(info.dwFileAttributes))) {
        ::CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

bool IdentityOfHandle(HANDLE h, FileIdentity* out) {
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) return false;
    out->device = info.dwVolumeSerialNumber;
    out->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// Splits an engine path into its components ('\' or '/').
std::vector<std::string> Components(const char* path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = path ? path : ""; ; ++p) {
        if (*p == '\\' || *p == '/' || *p == 0) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
            if (*p == 0) break;
        } else {
            part += *p;
        }
    }
    return parts;
}

}  // namespace

int OpenOutputDirectory(const char* base, const char* relativeDir, bool create, OutputFailure* why) {
    OutputFailure ignored;
    if (!why) why = &ignored;
    *why = OutputFailure::None;
    std::string basePath = base && *base ? base : ".";
    // The base is the caller's choice: made when missing, a link there followed.
    if (create) {
        std::string sofar;
        for (const char* p = basePath.c_str(); ; ++p) {
            if (*p == '\\' || *p == '/' || *p == 0) {
                if (!sofar.empty() && sofar.back() != ':') CreateDirectoryW(win::WidePath(sofar.c_str()).c_str(), nullptr);
                if (*p == 0) break;
            }
            sofar += *p;
        }
    }
    HANDLE h = OpenDirectoryHandle(win::WidePath(basePath.c_str()), false);
    if (h == INVALID_HANDLE_VALUE) {
        *why = OutputFailure::Missing;
        return -1;
    }
    int fd = DescriptorFor(h, _O_RDONLY);
    for (const std::string& level : Components(relativeDir)) {
        if (fd < 0) break;
        const std::wstring path = LeafPath(fd, level.c_str());
        if (path.empty() || level == "..") {
            *why = OutputFailure::CannotCreate;
            ::_close(fd);
            return -1;
        }
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (!create) {
                *why = OutputFailure::Missing;
                ::_close(fd);
                return -1;
            }
            if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                *why = OutputFailure::CannotCreate;
                ::_close(fd);
                return -1;
            }
            attributes = GetFileAttributesW(path.c_str());
        }
        if (attributes == INVALID_FILE_ATTRIBUTES || IsReparsePoint(attributes) ||
            !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *why = OutputFailure::Link;
            ::_close(fd);
            return -1;
        }
        const HANDLE next = OpenDirectoryHandle(path, true);
        ::_close(fd);
        if (next == INVALID_HANDLE_VALUE) {
            *why = OutputFailure::Link;
            return -1;
        }
        fd = DescriptorFor(next, _O_RDONLY);
    }
    if (fd < 0) *why = OutputFailure::CannotCreate;
    return fd;
}

bool FindOutputFile(int dirFd, const char* leaf, WIN32_FIND_DATAA* data) {
    const std::wstring path = LeafPath(dirFd, leaf);
    if (path.empty()) return false;
    WIN32_FIND_DATAW wide;
    const HANDLE h = ::FindFirstFileW(path.c_str(), &wide);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::FindClose(h);
    if (data) win::FindDataFromWide(wide, data);
    return true;
}

bool IsLinkAt(int dirFd, const char* leaf) {
    const std::wstring path = LeafPath(dirFd, leaf);
    const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && IsReparsePoint(attributes);
}

int CreateOutputFileAt(int dirFd, const char* leaf, int protectFd, OutputFailure* why) {
    OutputFailure ignored;
    if (!why) why = &ignored;
    *why = OutputFailure::None;
    const std::wstring path = LeafPath(dirFd, leaf);
    if (path.empty()) {
        *why = OutputFailure::CannotCreate;
        return -1;
    }
    if (protectFd >= 0 && IsSameFileAt(dirFd, leaf, protectFd)) {
        *why = OutputFailure::TheArchive;
        return -1;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY && !IsReparsePoint(attributes)) {
            *why = OutputFailure::CannotCreate;
            return -1;
        }
        // A link, or a file with other names, goes first, so that nothing it
        // leads to is changed.
        bool removeFirst = IsReparsePoint(attributes);
        if (!removeFirst) {
            const HANDLE probe = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                             FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                             nullptr);
            BY_HANDLE_FILE_INFORMATION info;
            if (probe != INVALID_HANDLE_VALUE) {
                removeFirst = GetFileInformationByHandle(probe, &info) && info.nNumberOfLinks > 1;
                ::CloseHandle(probe);
            }
        }
        if (removeFirst) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY ? !RemoveDirectoryW(path.c_str()) : !DeleteFileW(path.c_str())) {
                *why = OutputFailure::CannotCreate;
                return -1;
            }
        } else if (g_enforceReadOnly && (attributes & FILE_ATTRIBUTE_READONLY)) {
            *why = OutputFailure::CannotCreate;
            return -1;
        }
    }
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = OutputFailure::CannotCreate;
        return -1;
    }
    const int fd = DescriptorFor(h, _O_RDWR);
    if (fd < 0) *why = OutputFailure::CannotCreate;
    return fd;
}

bool RemoveFileAt(int dirFd, const char* leaf) {
    const std::wstring path = LeafPath(dirFd, leaf);
    return !path.empty() && DeleteFileW(path.c_str());
}

bool IsSameFileAt(int dirFd, const char* leaf, int fd) {
    const std::wstring path = LeafPath(dirFd, leaf);
    if (path.empty()) return false;
    const HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                 FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FileIdentity a, b;
    const bool same = IdentityOfHandle(h, &a) && IdentityOf(fd, &b) && a == b;
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return same;
}

bool MakeWritableAt(int dirFd, const char* leaf) {
    const std::wstring path = LeafPath(dirFd, leaf);
    const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    return SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

bool SetFileAttributesOf(int fd, uint32_t attributes) {
    FILE_BASIC_INFO info{};
    const HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info)) return false;
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    info.FileAttributes = (attributes & kept) ? (attributes & kept) : FILE_ATTRIBUTE_NORMAL;
    // Times stay as they are (zero means "unchanged").
    info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = info.LastWriteTime.QuadPart =
        info.ChangeTime.QuadPart = 0;
    return SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info);
}

bool PathOccupied(const char* path) {
    return GetFileAttributesW(win::WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

// Reads count bytes at position, fewer only at the end of the file.
int32_t ReadAt(HANDLE h, void* buffer, uint32_t count, int64_t position) {
    auto* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        const uint64_t where = static_cast<uint64_t>(position) + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD got = 0;
        if (!ReadFile(h, p + done, count - done, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return done ? static_cast<int32_t>(done) : -1;
        }
        if (got == 0) break;
        done += got;
    }
    return static_cast<int32_t>(done);
}

}  // namespace

int32_t FileReadAt(int fd, void* buffer, uint32_t count, int64_t position) {
    const HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE || position < 0) return -1;
    // A synchronous read at an offset still moves the handle's position:
    // put it back, so that a reader at its own position and one reading at
    // the descriptor's position never disturb each other.
    const int64_t saved = FileTell(fd);
    if (saved < 0) return -1;
    const int32_t n = ReadAt(h, buffer, count, position);
    FileSeek(fd, saved, SEEK_SET);
    return n;
}

int32_t FileWriteAt(int fd, const void* buffer, uint32_t count, int64_t position) {
    // The descriptor's position must not move: save it around a write that
    // goes through FileWrite, so that the test write budget applies.
    const int64_t saved = FileTell(fd);
    if (saved < 0 || position < 0 || FileSeek(fd, position, SEEK_SET) < 0) return -1;
    const int32_t n = FileWrite(fd, buffer, count);
    FileSeek(fd, saved, SEEK_SET);
    return n;
}

int64_t FileCopyRange(int from, int64_t fromPosition, int to, int64_t toPosition, int64_t count) {
    std::vector<uint8_t> block(1u << 20);
    int64_t done = 0;
    while (done < count) {
        const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(count - done, static_cast<int64_t>(block.size())));
        const int32_t got = FileReadAt(from, block.data(), want, fromPosition + done);
        if (got < 0) return done ? done : -1;
        if (got == 0) break;
        const int32_t put = FileWriteAt(to, block.data(), static_cast<uint32_t>(got), toPosition + done);
        if (put < 0) return done ? done : -1;
        done += put;
        if (put < got) break;  // the device is full
    }
    return done;
}

bool IdentityOf(int fd, FileIdentity* out) { return out && IdentityOfHandle(HandleOf(fd), out); }

bool PathIdentity(const char* path, FileIdentity* out) {
    const HANDLE h = ::CreateFileW(win::WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool ok = out && IdentityOfHandle(h, out);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return ok;
}

std::string ResolvedPath(const char* path) {
    const HANDLE h = ::CreateFileW(win::WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    ::CloseHandle(h);
    if (n == 0 || n >= buffer.size()) return {};
    std::wstring wide(buffer.data(), n);
    // "\\?\C:\dir" -> "C:\dir"; "\\?\UNC\server\share" -> "\\server\share".
    if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0) wide = L"\\\\" + wide.substr(8);
    else if (wide.rfind(L"\\\\?\\", 0) == 0) wide = wide.substr(4);
    return win::Narrow(wide.c_str());
}

int FileCreateNew(const char* path) {
    // Shared for deletion: the file is renamed into place while still open.
    const HANDLE h = ::CreateFileW(win::WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return DescriptorFor(h, _O_RDWR);
}

// Windows keeps no Unix owner or mode: the read-only attribute is the part
// that carries over.
bool CopyOwnerAndMode(int from, int to) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(HandleOf(from), &info)) return false;
    return SetFileAttributesOf(to, info.dwFileAttributes);
}

bool LockFileExclusive(int fd) {
    const HANDLE h = HandleOf(fd);
    OVERLAPPED whole{};
    return h != INVALID_HANDLE_VALUE && LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
}

// NTFS makes a rename durable with the file's own flush; there is no
// directory to flush.
void SyncDirectoryOf(const char* /*path*/) {}

void SetReadOnlyEnforcedForTesting(bool enforce) { g_enforceReadOnly = enforce; }

// ---------------------------------------------------------------------------
// UTF-8 names and host systems.  The working form on Windows is the ANSI code
// page, so names are stored in the OEM code page and UTF-8 names read from
// archives are converted, never copied as bytes.
// ---------------------------------------------------------------------------
size_t Utf8SequenceLength(uint8_t b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 1;
}

bool IsUtf8(const uint8_t* in, size_t inLen) {
    if (inLen == 0) return true;
    if (memchr(in, 0, inLen)) return false;
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(in),
                               static_cast<int>(inLen), nullptr, 0) > 0;
}

// Characters the ANSI code page lacks show as '?', while the file keeps its
// true name on disk (see Utf8ToChar).
size_t Utf8Copy(const uint8_t* in, size_t inLen, char* out, size_t outCap) {
    return Utf8ToChar(in, inLen, out, outCap);
}

bool StoreNameAsUtf8(const char* /*name*/) { return false; }

bool HostStoresUtf8(uint8_t hostSystem) { return hostSystem == kHostUnix; }

uint8_t HostSystem() { return kHostDos; }

uint32_t FileModeForEntry(const char* /*path*/) { return 0; }

// Only the owner's write bit means something here: the read-only attribute.
bool SetFileModeOf(int fd, uint32_t mode) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(HandleOf(fd), &info)) return false;
    DWORD attributes = info.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!(mode & 0200)) attributes |= FILE_ATTRIBUTE_READONLY;
    return SetFileAttributesOf(fd, attributes);
}

}  // namespace vardex::platform
