// Path, name and attribute services shared by every operation.  Texts are
// zero-terminated, at most 255 bytes; every output buffer is a kPathField
// (260-byte) field and is never written past.  Positions are 8-bit; 255
// stands for "absent".
#pragma once

#include <cstddef>
#include <cstdint>

#include "vardex32.h"

namespace vardex {

constexpr uint8_t kNoPos = 255;

// --- string routines ------------------------------------------------------
uint8_t Pos(char c, const char* text);
// out := count characters of text from start (cut to what the text holds).
void CopyPart(const char* text, size_t start, size_t count, char* out);
void DeletePart(char* text, size_t start, size_t count);

// --- heap blocks that cross subsystems (malloc/free; failure is status 8) ---
// A new heap block holding a copy of text (at most 255 bytes); null when
// memory runs out.
char* HeapCopy(const char* text);
// *slot := a new block of size bytes; false (slot untouched) when memory runs out.
bool Allocate(void** slot, uint16_t size);
// A work block (buffer or table) of size bytes, zero-filled when asked;
// null when memory runs out.  Released with free().
void* AllocateWork(size_t size, bool zeroed = false);
// Test hook: after `count` more successful HeapCopy/Allocate calls, they fail
// as when memory runs out.  A negative value switches it off.
void SetAllocationBudgetForTesting(int count);

// --- path routines --------------------------------------------------------
// out := path + '\' unless empty or ending in '\' or ':'.
void AddSeparator(const char* path, char* out);
// True when the last component has a dot (a trailing dot counts); *afterDot
// receives the position after the last dot.
bool HasExtension(const char* path, size_t* afterDot = nullptr);
// out := path, or path + "." + ext when it has no extension; empty stays empty.
void DefaultExtension(const char* path, const char* ext, char* out);
// out := what follows the last '\' or ':' (the whole path when none).
void FileNamePart(const char* path, char* out);
// out := name with every '/' turned into '\' (the working form).
void ToWorkingSeparators(const char* name, char* out);
bool FileExists(const char* path);

// The C runtime's path splitting: drive (letter and colon), directory up to
// and including the last '\', file name, extension from the last dot of what
// remains (dot included).  Each output is a kPathField buffer (may be null).
void SplitPath(const char* path, char* drive, char* dir, char* name, char* ext);

// --- names ------------------------------------------------------------------
// Stored (archive) bytes -> working name in out[256]: CP437 -> UTF-8, or
// UTF-8 kept as it is when flag bit 11 is set; cut at 255 bytes on a
// character boundary.
void NameFromStored(const uint8_t* bytes, size_t length, uint16_t flags, char* out);
// Working name -> stored bytes in out[256] (UTF-8 -> CP437 unless bit 11 is
// set); separators are left as they are.  Returns the length.
size_t NameToStored(const char* name, uint16_t flags, char* out);

// --- attributes and times (0 or the platform's error code) --------------
uint32_t SetAttributes(const char* path, uint32_t attributes);
uint32_t GetAttributes(const char* path, uint32_t* attributes);
uint32_t GetDosDateTime(int fd, uint16_t* date, uint16_t* time);
uint32_t SetDosDateTimeByPath(const char* path, uint16_t date, uint16_t time);
// When the path exists: attributes := FILE_ATTRIBUTE_ARCHIVE alone.
void MakeWritable(const char* path);
// Fills a WIN32_FIND_DATAA from an entry's central fields (for OkToReplaceProc).
void FindDataFromEntry(const ZipFileEntry& entry, WIN32_FIND_DATAA* out);

// Which way a replacement goes: extraction replaces a file on disk by an
// entry, update replaces an entry by a file on disk.  The host is shown the
// item that would be replaced first.
enum class Replacing { FileByEntry, EntryByFile };

// What the host decided about replacing an existing item.
enum class ReplaceAnswer {
    Replace,      // answered 0: replace, and a read-only file on disk may be made writable
    ReplaceAsIs,  // nobody asked (no OkToReplaceProc), or extraction's answer outside 0-2
    Keep,         // answered 1 (update: also any answer outside 0-2, so the
                  // directory never names data the archive lacks)
    Stop,         // answered 2
};

// Asks OkToReplaceProc about the entry and the file found on disk, in the
// order the direction gives.
ReplaceAnswer AskToReplace(const ZipFileEntry& entry, const WIN32_FIND_DATAA& onDisk, Replacing direction);

}  // namespace vardex
