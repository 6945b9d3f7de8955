// Path, name and attribute services.  Every text is first taken through
// CopyText, so nothing longer than 255 bytes (cut on a character boundary)
// is ever worked on, and every output fits its kPathField buffer.
#include "api/paths.h"

#include <cstdlib>
#include <cstring>

#include "api/engine.h"
#include "api/names.h"
#include "archive/records.h"
#include "platform/platform.h"

namespace vardex {

namespace {

// Length of the text as the routines see it: at most 255 bytes, cut on a
// character boundary.
size_t WorkingLength(const char* text) {
    if (!text) return 0;
    return platform::TextCutLength(text, strnlen(text, kMaxText + 1), kMaxText);
}

int g_allocationBudget = -1;  // test hook; negative = no limit

bool AllocationAllowed() {
    if (g_allocationBudget < 0) return true;
    if (g_allocationBudget == 0) return false;
    --g_allocationBudget;
    return true;
}

}  // namespace

// --- string routines ------------------------------------------------------

uint8_t Pos(char c, const char* text) {
    const size_t len = WorkingLength(text);
    for (size_t i = 0; i < len; ++i)
        if (text[i] == c) return static_cast<uint8_t>(i);
    return kNoPos;
}

void CopyPart(const char* text, size_t start, size_t count, char* out) {
    const size_t len = WorkingLength(text);
    if (count == 0 || start >= len) {
        out[0] = '\0';
        return;
    }
    if (count > len - start) count = len - start;
    memmove(out, text + start, count);
    out[count] = '\0';
}

void DeletePart(char* text, size_t start, size_t count) {
    const size_t len = strlen(text);
    if (count == 0 || start >= len) return;
    if (count > len - start) count = len - start;
    memmove(text + start, text + start + count, len - start - count + 1);
}

char* HeapCopy(const char* text) {
    if (!AllocationAllowed()) return nullptr;
    const size_t len = WorkingLength(text);
    auto* copy = static_cast<char*>(malloc(len + 1));
    if (!copy) return nullptr;
    if (len) memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

bool Allocate(void** slot, uint16_t size) {
    if (!AllocationAllowed()) return false;
    void* block = malloc(size ? size : 1);
    if (!block) return false;
    *slot = block;
    return true;
}

void* AllocateWork(size_t size, bool zeroed) {
    if (!AllocationAllowed()) return nullptr;
    return zeroed ? calloc(1, size ? size : 1) : malloc(size ? size : 1);
}

void SetAllocationBudgetForTesting(int count) { g_allocationBudget = count; }

// --- path routines --------------------------------------------------------

void AddSeparator(const char* path, char* out) {
    size_t len = CopyText(out, kPathField, path);
    if (len == 0) return;
    char last = out[len - 1];
    if (last != '\\' && last != ':') out[len] = '\\', out[len + 1] = '\0';
}

bool HasExtension(const char* path, size_t* afterDot) {
    const size_t len = WorkingLength(path);
    for (size_t i = len; i > 0; --i) {
        const char c = path[i - 1];
        if (IsNameSeparator(c)) return false;
        if (c == '.') {
            if (afterDot) *afterDot = i;
            return true;
        }
    }
    return false;
}

void DefaultExtension(const char* path, const char* ext, char* out) {
    CopyText(out, kPathField, path);
    if (out[0] == '\0' || HasExtension(out)) return;
    AppendText(out, kPathField, ".");
    AppendText(out, kPathField, ext);
}

void FileNamePart(const char* path, char* out) {
    const size_t len = WorkingLength(path);
    size_t start = 0;
    for (size_t i = 0; i < len; ++i)
        if (IsNameSeparator(path[i]) || path[i] == ':') start = i + 1;
    CopyPart(path, start, len - start, out);
}

void ToWorkingSeparators(const char* name, char* out) {
    CopyText(out, kPathField, name);
    ToWorkingSeparatorsInPlace(out);
}

bool FileExists(const char* path) { return path && *path && platform::PathExists(path); }

void SplitPath(const char* path, char* drive, char* dir, char* name, char* ext) {
    const size_t len = WorkingLength(path);
    size_t pos = 0;
    const bool hasDrive =
        len >= 2 && path[1] == ':' && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    if (hasDrive) pos = 2;
    if (drive) CopyPart(path, 0, pos, drive);
    size_t nameStart = pos;
    for (size_t i = pos; i < len; ++i)
        if (IsNameSeparator(path[i])) nameStart = i + 1;
    if (dir) CopyPart(path, pos, nameStart - pos, dir);
    size_t extStart = len;
    for (size_t i = len; i > nameStart; --i)
        if (path[i - 1] == '.') {
            extStart = i - 1;
            break;
        }
    if (name) CopyPart(path, nameStart, extStart - nameStart, name);
    if (ext) CopyPart(path, extStart, len - extStart, ext);
}

// --- names ------------------------------------------------------------------

void NameFromStored(const uint8_t* bytes, size_t length, uint16_t flags, char* out) {
    if (length > kMaxText) length = kMaxText;
    if (flags & kFlagUtf8Name)
        platform::Utf8Copy(bytes, length, out, kTextField);
    else
        platform::OemToChar(bytes, length, out, kTextField);
}

size_t NameToStored(const char* name, uint16_t flags, char* out) {
    if (flags & kFlagUtf8Name) return platform::CharToUtf8(name, out, kTextField);
    return platform::CharToOem(name, out, kTextField);
}

// --- attributes and times -------------------------------------------------

uint32_t SetAttributes(const char* path, uint32_t attributes) {
    return platform::SetFileAttributesA(path, attributes) ? 0 : platform::GetLastError();
}

uint32_t GetAttributes(const char* path, uint32_t* attributes) {
    const uint32_t value = platform::GetFileAttributesA(path);
    if (value == INVALID_FILE_ATTRIBUTES) return platform::GetLastError();
    *attributes = value;
    return 0;
}

uint32_t GetDosDateTime(int fd, uint16_t* date, uint16_t* time) {
    FILETIME written, local;
    if (!platform::FileLastWriteTime(fd, &written) || !platform::FileTimeToLocalFileTime(&written, &local) ||
        !platform::FileTimeToDosDateTime(&local, date, time))
        return platform::GetLastError();
    return 0;
}

uint32_t SetDosDateTimeByPath(const char* path, uint16_t date, uint16_t time) {
    FILETIME local, utc;
    if (!platform::DosDateTimeToFileTime(date, time, &local) || !platform::LocalFileTimeToFileTime(&local, &utc))
        return platform::GetLastError();
    const platform::Handle h =
        platform::CreateFileA(path, platform::FILE_WRITE_ATTRIBUTES_, 0, platform::OPEN_EXISTING_, 0);
    if (h == platform::kInvalidHandle) return platform::GetLastError();
    // Only the last write time; creation and access times stay as they are.
    const bool ok = platform::SetFileTime(h, nullptr, nullptr, &utc);
    const uint32_t error = ok ? 0 : platform::GetLastError();
    platform::CloseHandle(h);
    return error;
}

void MakeWritable(const char* path) {
    if (FileExists(path)) SetAttributes(path, FILE_ATTRIBUTE_ARCHIVE);
}

void FindDataFromEntry(const ZipFileEntry& entry, WIN32_FIND_DATAA* out) {
    memset(out, 0, sizeof *out);
    out->dwFileAttributes = entry.externalAttributes;
    FILETIME local{}, utc{};
    // An entry whose DOS fields are invalid reports time zero.
    if (platform::DosDateTimeToFileTime(entry.date, entry.time, &local) &&
        platform::LocalFileTimeToFileTime(&local, &utc)) {
        out->ftCreationTime = out->ftLastAccessTime = out->ftLastWriteTime = utc;
    }
    out->nFileSizeHigh = 0;
    out->nFileSizeLow = entry.uncompressedSize;
    // The entry's name field is 256 bytes; never read past it even when it
    // lacks a terminator.
    const size_t len =
        platform::TextCutLength(entry.name, strnlen(entry.name, sizeof entry.name), sizeof out->cFileName - 1);
    memcpy(out->cFileName, entry.name, len);
    out->cFileName[len] = '\0';
}

ReplaceAnswer AskToReplace(const ZipFileEntry& entry, const WIN32_FIND_DATAA& onDisk, Replacing direction) {
    const Callback<OkToReplaceProc>& proc = engine().okToReplaceProc;
    if (!proc) return ReplaceAnswer::ReplaceAsIs;
    WIN32_FIND_DATAA disk = onDisk;
    WIN32_FIND_DATAA fromEntry{};
    FindDataFromEntry(entry, &fromEntry);
    const bool fileFirst = direction == Replacing::FileByEntry;
    const int32_t answer =
        fileFirst ? proc.proc(proc.hostWord, &disk, &fromEntry) : proc.proc(proc.hostWord, &fromEntry, &disk);
    switch (answer) {
        case 0: return ReplaceAnswer::Replace;
        case 1: return ReplaceAnswer::Keep;
        case 2: return ReplaceAnswer::Stop;
        default: return fileFirst ? ReplaceAnswer::ReplaceAsIs : ReplaceAnswer::Keep;
    }
}

}  // namespace vardex
