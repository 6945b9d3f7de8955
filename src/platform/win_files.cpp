// Descriptor-based file access and path mapping on Windows: the C runtime's
// descriptor calls, always in binary mode, reached through wide paths so
// that names the ANSI code page cannot hold still reach the file system.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/common.h"
#include "platform/platform.h"
#include "platform/win_internal.h"

namespace vardex::platform {

std::string NativePath(const char* enginePath) {
    std::string out = enginePath ? enginePath : "";
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

std::string EnginePath(const char* nativePath) { return NativePath(nativePath); }

int FileOpen(const char* path, OpenMode mode) {
    if (!path || !*path) return -1;
    int flags = _O_BINARY | _O_NOINHERIT;
    switch (mode) {
        case OpenMode::ReadOnly: flags |= _O_RDONLY; break;
        case OpenMode::ReadWrite: flags |= _O_RDWR; break;
        case OpenMode::Create: flags |= _O_RDWR | _O_CREAT | _O_TRUNC; break;
        case OpenMode::CreateNew: flags |= _O_RDWR | _O_CREAT | _O_EXCL; break;
    }
    const std::wstring wide = win::WidePath(path);
    // Only plain files: a directory, or a device the name happens to reach,
    // is not what the engine means to open.
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    // Opened with FILE_SHARE_DELETE, so that a rewrite can put the new
    // archive in place under the name while this descriptor still reads
    // the old one, as rename does on POSIX.
    const DWORD access = mode == OpenMode::ReadOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = mode == OpenMode::Create      ? CREATE_ALWAYS
                              : mode == OpenMode::CreateNew ? CREATE_NEW
                                                            : OPEN_EXISTING;
    const HANDLE opened = ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return -1;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(opened), flags & ~(_O_CREAT | _O_TRUNC | _O_EXCL));
    if (fd < 0) {
        ::CloseHandle(opened);
        win::SetLastErrorFromErrno();
        return -1;
    }
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_DISK) {
        ::_close(fd);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    return fd;
}

int32_t FileRead(int fd, void* buffer, uint32_t count) {
    if (fd < 0) return -1;
    auto* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const int n = ::_read(fd, p + done, count - done);
        if (n < 0) return done ? static_cast<int32_t>(done) : -1;
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

int32_t FileWrite(int fd, const void* buffer, uint32_t count) {
    if (fd < 0) return -1;
    return common::WriteWithinBudget(buffer, count, [fd](const uint8_t* p, uint32_t n, uint32_t) -> int64_t {
        return ::_write(fd, p, n);
    });
}

int64_t FileSeek(int fd, int64_t offset, int origin) {
    if (fd < 0) return -1;
    const int64_t r = ::_lseeki64(fd, offset, origin);
    return r < 0 ? -1 : r;
}

int64_t FileTell(int fd) { return FileSeek(fd, 0, SEEK_CUR); }

int64_t FileLength(int fd) {
    if (fd < 0) return -1;
    const int64_t r = ::_filelengthi64(fd);
    return r < 0 ? -1 : r;
}

bool FileClose(int fd) { return fd >= 0 && ::_close(fd) == 0; }

bool FileTruncate(int fd, int64_t length) { return fd >= 0 && ::_chsize_s(fd, length) == 0; }

bool FileSync(int fd) { return fd >= 0 && !common::SyncFails() && ::_commit(fd) == 0; }

namespace {
// Renames with POSIX semantics (Windows 10 and later): the name is taken over
// even while the file under it is still open, as a rewrite needs when it puts
// the new archive in place while the old one is held locked.
bool RenameReplacingOpenFile(const std::wstring& from, const std::wstring& to) {
    const HANDLE h = ::CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    const DWORD flags = 0x1 /* replace if exists */ | 0x2 /* POSIX semantics */;
    memcpy(buffer.data(), &flags, sizeof flags);  // the Flags member shares the first field
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    memcpy(info->FileName, to.c_str(), to.size() * sizeof(wchar_t));
    const bool ok = ::SetFileInformationByHandle(h, static_cast<FILE_INFO_BY_HANDLE_CLASS>(22) /* FileRenameInfoEx */,
                                                 info, static_cast<DWORD>(buffer.size()));
    ::CloseHandle(h);
    return ok;
}
}  // namespace

bool FileRename(const char* from, const char* to) {
    // As on POSIX, a file already under the new name is replaced.
    const std::wstring wideFrom = win::WidePath(from), wideTo = win::WidePath(to);
    if (::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    return RenameReplacingOpenFile(wideFrom, wideTo);
}

bool FileReplaceHeld(const char* from, const char* to, int* heldTo) {
    const std::wstring wideFrom = win::WidePath(from), wideTo = win::WidePath(to);
    // Where the system can, the name is taken while the old file stays held
    // (and locked) to the last moment.
    if (RenameReplacingOpenFile(wideFrom, wideTo)) return true;
    // Otherwise the old file is let go first: Windows does not replace a
    // file that is open.  The move itself is one step on the volume, so the
    // name leads to the old file or to the new one, never to neither; when
    // it fails, the old file is as it was.
    if (heldTo && *heldTo >= 0) {
        ::_close(*heldTo);
        *heldTo = -1;
    }
    return ::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool FileRemove(const char* path) { return ::_wunlink(win::WidePath(path).c_str()) == 0; }

bool MakeDirectory(const char* path) { return ::_wmkdir(win::WidePath(path).c_str()) == 0; }

bool PathExists(const char* path) {
    if (!path || !*path) return false;
    return ::_waccess(win::WidePath(path).c_str(), 0) == 0;
}

// Windows runs a program by its name; nothing to mark.
bool MarkExecutable(const char* path) { return PathExists(path); }

}  // namespace vardex::platform
