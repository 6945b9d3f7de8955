// The platform seam: the only interface through which the engine reaches the
// operating system.  The engine above it is written against the Windows
// services the library was designed on; this layer provides them (POSIX now,
// Win32 later) so that nothing above it changes between the two.
//
// Paths handed in are engine paths: backslash separators, UTF-8 ("ANSI").
// The layer maps separators to the native form at the file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vardex32.h"

namespace vardex::platform {

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------
// Engine path (backslashes) -> native path ('/').
std::string NativePath(const char* enginePath);
// Native path -> engine path.
std::string EnginePath(const char* nativePath);

// ---------------------------------------------------------------------------
// Descriptor-based file access (the C runtime's _open/_read/... family).
// Descriptors are ints, -1 meaning none.  Everything is binary.
// ---------------------------------------------------------------------------
enum class OpenMode {
    ReadOnly,   // existing file, read
    ReadWrite,  // existing file, read and write
    Create,     // create or truncate, read and write, permission rw
    CreateNew,  // a new file only: fails when anything, a link included,
                // stands under the name; read and write, permission rw
};

int FileOpen(const char* path, OpenMode mode);
// Bytes read (0 at end), -1 on failure.
int32_t FileRead(int fd, void* buffer, uint32_t count);
// Bytes written, -1 on failure.  A short count means the device is full
// (or the test write budget below ran out).
int32_t FileWrite(int fd, const void* buffer, uint32_t count);
// New position, -1 on failure.  origin: SEEK_SET, SEEK_CUR or SEEK_END.
int64_t FileSeek(int fd, int64_t offset, int origin);
int64_t FileTell(int fd);
// Length of the file, -1 on failure; the position is unchanged.
int64_t FileLength(int fd);
bool FileClose(int fd);
// Closes the descriptor held in *fd, if any, and marks the slot closed (-1).
inline void CloseFile(int* fd) {
    if (*fd >= 0) FileClose(*fd);
    *fd = -1;
}
// A descriptor closed on every exit path of the scope that holds it.
struct ScopedFile {
    int fd = -1;
    ScopedFile() = default;
    explicit ScopedFile(int f) : fd(f) {}
    ~ScopedFile() { CloseFile(&fd); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
};
bool FileTruncate(int fd, int64_t length);
// Flushes the file's data to the device.
bool FileSync(int fd);
bool FileRename(const char* from, const char* to);
// Puts the file at `from` in place of the one at `to`, which the caller holds
// open through *heldTo (-1: not held).  Either name always leads to a whole
// file: the old one until the move, the new one after it.  Where a file that
// is held open cannot lose its name (Windows), *heldTo is closed first and
// set to -1; otherwise it is left as it is.  The moved file's own
// descriptors stay valid.
bool FileReplaceHeld(const char* from, const char* to, int* heldTo);
bool FileRemove(const char* path);
bool MakeDirectory(const char* path);
// The C runtime's access test: true when the path exists (file or directory).
bool PathExists(const char* path);

// ---------------------------------------------------------------------------
// Output files below a directory the caller chose.  The base directory is
// taken as given (a link there is the caller's choice); below it every level
// must be a real directory, and the file itself is never reached through a
// link.  Nothing here ever creates a link.
// ---------------------------------------------------------------------------
enum class OutputFailure {
    None,
    Missing,       // a level does not exist (and was not to be created)
    Link,          // a level below the base, or the file, is a link or not a directory
    TheArchive,    // the file is the one the protected descriptor holds open
    CannotCreate,  // the system refused (permissions, a directory in the way, ...)
};

// Opens the directory `relativeDir` (engine separators, may be empty) below
// `base` (empty: the current directory).  With `create`, missing levels are
// made, those of the base included.  Returns a directory descriptor or -1.
int OpenOutputDirectory(const char* base, const char* relativeDir, bool create, OutputFailure* why);
// The name (engine separators, below the output directory) under which an
// entry's file is made: on Windows a level named like a device ("CON",
// "nul.txt", "COM1.log") or holding ':' (a stream of another file) gets a
// '_' in front and its ':' made '_'; elsewhere the name as it is.  False
// when the result does not fit outCap.
bool OutputNameForSystem(const char* name, char* out, size_t outCap);
// Whether the entry `leaf` in the directory exists, without following a link
// (a dangling link exists).  Fills the record as FindFirstFileA does.
bool FindOutputFile(int dirFd, const char* leaf, WIN32_FIND_DATAA* data);
// Whether `leaf` in the directory is a link.
bool IsLinkAt(int dirFd, const char* leaf);
// Creates `leaf` in the directory as a new regular file, read-write.  An
// existing regular file with no other names is truncated in place; a link,
// or a file that has other names (hard links), is removed first, so that
// nothing it points to is changed.  A file that is the one `protectFd` holds
// open is never touched (TheArchive).  Returns the descriptor or -1.
int CreateOutputFileAt(int dirFd, const char* leaf, int protectFd, OutputFailure* why);
bool RemoveFileAt(int dirFd, const char* leaf);
// Whether `leaf` in the directory (not following a link) is the file `fd` holds.
bool IsSameFileAt(int dirFd, const char* leaf, int fd);
// Clears the read-only state of `leaf` when it is a regular file (never
// through a link).
bool MakeWritableAt(int dirFd, const char* leaf);
// Attributes through an open descriptor (read-only clears the write bits).
bool SetFileAttributesOf(int fd, uint32_t attributes);

// Lets the file be run as a program (a self-extractor); no change elsewhere.
bool MarkExecutable(const char* path);

// True when anything stands under the path, a dangling link included.
bool PathOccupied(const char* path);

// Positioned access: the descriptor's own position is neither used nor
// moved.  Bytes read (0 at end) or written, -1 on failure; writes honour the
// test write budget below.
int32_t FileReadAt(int fd, void* buffer, uint32_t count, int64_t position);
int32_t FileWriteAt(int fd, const void* buffer, uint32_t count, int64_t position);
// Copies count bytes between two files at the given positions, in the
// kernel where it can (copy_file_range).  Returns the bytes copied, fewer
// when the source ends first or the destination is full; -1 on failure.
int64_t FileCopyRange(int from, int64_t fromPosition, int to, int64_t toPosition, int64_t count);

// What a file is, independent of how its path is spelt (device and inode on
// POSIX; volume serial and file index on Windows).
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
bool IdentityOf(int fd, FileIdentity* out);
// The file the path leads to, links followed.
bool PathIdentity(const char* path, FileIdentity* out);

// The path with every link resolved (engine form); empty on failure.  A
// rewrite writes beside the real file, so that a linked archive stays a link.
std::string ResolvedPath(const char* path);

// Creates a new file that must not exist yet (never through a link), read
// and write, readable only by its owner until the caller widens it.
int FileCreateNew(const char* path);
// Gives `to` the permission bits of `from`, and its owner and group where
// the process may (silently kept otherwise).
bool CopyOwnerAndMode(int from, int to);

// Waits for the exclusive advisory lock of the open file (flock on POSIX;
// LockFileEx over the whole file on Windows).  Released when the descriptor
// is closed.  False when the lock cannot be taken.
bool LockFileExclusive(int fd);

// Flushes the directory that holds the path, so that a rename in it is on
// the device too.  A file system that cannot do it is not an error.
void SyncDirectoryOf(const char* path);

// Test hook: while set, FileSync fails (as when the device reports an error
// on flushing).
void SetSyncFailureForTesting(bool fail);

// Test hook: after `bytes` more bytes have been written through FileWrite,
// writes come up short (as on a full disk).  A negative value switches it off.
void SetWriteBudgetForTesting(int64_t bytes);

// Test hook: while set, opening an existing file for writing fails when its
// owner may not write it, as for an unprivileged user, also when the tests
// run as root (who may write any file).
void SetReadOnlyEnforcedForTesting(bool enforce);

// ---------------------------------------------------------------------------
// Code pages.  "ANSI" is UTF-8; "OEM" (names stored in archives) is CP437.
// Outputs are always zero-terminated, hold at most `outCap - 1` bytes and are
// cut at a character boundary, never in the middle of a UTF-8 sequence.
// ---------------------------------------------------------------------------
// CP437 bytes -> UTF-8.  Returns the output length.
size_t OemToChar(const uint8_t* in, size_t inLen, char* out, size_t outCap);
// UTF-8 -> CP437; characters without a CP437 form become '?'.
size_t CharToOem(const char* in, char* out, size_t outCap);
// UTF-8 bytes (names of entries with general-purpose bit 11) copied to the
// output, cut at a character boundary.
size_t Utf8Copy(const uint8_t* in, size_t inLen, char* out, size_t outCap);
// Working form -> UTF-8 (the name of an entry stored with flag bit 11).
size_t CharToUtf8(const char* in, char* out, size_t outCap);
// Length in bytes of the UTF-8 sequence that starts with byte b (1 for a
// stray continuation or invalid lead byte).
size_t Utf8SequenceLength(uint8_t b);
// The working form's characters, as names are cut, counted and compared:
// the length in bytes of the character at p (of which `avail` bytes are
// there; 1 for a byte that starts no whole character) ...
size_t CharLength(const char* p, size_t avail);
// ... the largest length <= limit at which text can be cut between two
// characters ...
size_t TextCutLength(const char* text, size_t len, size_t limit);
// ... and the character at p (n bytes) upper-cased in place as names are
// compared regardless of case: the ASCII letters, and a and o with
// diaeresis (u with diaeresis stays as it is).
void UpperCaseCharacter(char* p, size_t n);
// True when the bytes are well-formed UTF-8 throughout (no zero byte).
bool IsUtf8(const uint8_t* in, size_t inLen);
// Whether a new entry of this working name is stored as UTF-8 with flag bit
// 11; otherwise it is stored in the OEM code page.
bool StoreNameAsUtf8(const char* name);
// Whether names from archives made on this host system ("version made by",
// high byte) may be taken as UTF-8 when they are well-formed UTF-8, although
// flag bit 11 is clear.
bool HostStoresUtf8(uint8_t hostSystem);

// ---------------------------------------------------------------------------
// Host system and Unix modes.  "Version made by" carries the host system in
// its high byte; entries made on Unix keep the file's mode (type and
// permission bits) in the high 16 bits of the external attributes.
// ---------------------------------------------------------------------------
constexpr uint8_t kHostDos = 0;
constexpr uint8_t kHostUnix = 3;
// The host system this build writes into new entries.
uint8_t HostSystem();
// The Unix mode (type and permission bits) of the file at path, as stored in
// new entries; 0 where the host keeps none or the file cannot be read.
uint32_t FileModeForEntry(const char* path);
// Gives the file the permission bits of an entry made on Unix: only the
// read, write and execute bits, never setuid, setgid or sticky.  As unzip
// does, the stored bits are restored as they are (the umask shapes only what
// the entry does not say).  True on success.
bool SetFileModeOf(int fd, uint32_t mode);

// ---------------------------------------------------------------------------
// File attributes and times (Windows semantics).
// Read-only maps to the owner's write permission; FILE_ATTRIBUTE_ARCHIVE is
// reported for every regular file; directories report FILE_ATTRIBUTE_DIRECTORY.
// ---------------------------------------------------------------------------
uint32_t GetFileAttributesA(const char* path);  // INVALID_FILE_ATTRIBUTES on failure
bool SetFileAttributesA(const char* path, uint32_t attributes);
uint32_t GetLastError();

// Handles for CreateFileA: an opaque value, kInvalidHandle on failure.
using Handle = intptr_t;
constexpr Handle kInvalidHandle = -1;
constexpr uint32_t GENERIC_READ_ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE_ = 0x40000000u;
// Opening only to read or set the times: no data access is needed, so a
// read-only file can still get its times set.
constexpr uint32_t FILE_WRITE_ATTRIBUTES_ = 0x00000100u;
constexpr uint32_t CREATE_NEW_ = 1;
constexpr uint32_t CREATE_ALWAYS_ = 2;
constexpr uint32_t OPEN_EXISTING_ = 3;
constexpr uint32_t OPEN_ALWAYS_ = 4;
constexpr uint32_t TRUNCATE_EXISTING_ = 5;
Handle CreateFileA(const char* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags);
bool CloseHandle(Handle h);
bool GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite);
bool SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);
// The last write time of the file a descriptor holds (a descriptor is not a
// Handle: on Windows the two are different things).
bool FileLastWriteTime(int fd, FILETIME* lastWrite);
bool FileSetLastWriteTime(int fd, const FILETIME* lastWrite);
bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
bool LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc);
// Fails (false) for times before 1980 or after 2107; odd seconds round down.
bool FileTimeToDosDateTime(const FILETIME* ft, uint16_t* dosDate, uint16_t* dosTime);
bool DosDateTimeToFileTime(uint16_t dosDate, uint16_t dosTime, FILETIME* ft);

// Find-first: fills the record for one path (no wildcards needed by the engine).
using FindHandle = intptr_t;
constexpr FindHandle kInvalidFind = -1;
FindHandle FindFirstFileA(const char* path, WIN32_FIND_DATAA* data);
bool FindClose(FindHandle h);

// ---------------------------------------------------------------------------
// Modules and the temporary directory.
// ---------------------------------------------------------------------------
using Module = void*;
Module LoadLibraryA(const char* path);
void* GetProcAddress(Module m, const char* name);
bool FreeLibrary(Module m);
// Engine path of the module that holds `addressInModule` (this library when
// given the address of one of its functions; the running program for null).
// Returns the length, 0 on failure.
uint32_t GetModuleFileNameA(const void* addressInModule, char* out, uint32_t outCap);
// Engine path of the temporary directory with a trailing backslash; 0 on failure.
uint32_t GetTempPathA(uint32_t outCap, char* out);

}  // namespace vardex::platform
