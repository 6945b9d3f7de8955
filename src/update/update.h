// Archive update: the entry writer, the update driver and delete, all
// writing through the one archive rewrite (archive/rewrite.h).
//
// Working names in entry lists
// are kept in the working form (UTF-8, backslashes) for the whole run and
// turned into the stored form (CP437 or, for flag bit 11, UTF-8; slashes)
// only where they are written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/rewrite.h"
#include "vardex32.h"

namespace vardex {

// Sizes of the update's work buffers.
constexpr uint32_t kUpdateOutputSize = 8192;
constexpr uint32_t kUpdateInputSize = 4096;

// --- work buffers and the entries carried over -------------------------

// The input buffer and, when asked, the compressor's output buffer
// (engine().rewrite), released when the holder goes.  ok() false with
// status 8 when memory runs out.
class UpdateBuffers {
public:
    explicit UpdateBuffers(bool withOutputBuffer);
    ~UpdateBuffers();
    UpdateBuffers(const UpdateBuffers&) = delete;
    UpdateBuffers& operator=(const UpdateBuffers&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// An entry list and the lists of one run, released when the holder goes.
struct RunLists {
    ZipFileList entries{};
    FileMaskList matchAll{};
    FileMaskList named{};
    FileMaskList kept{};
    RunLists() = default;
    ~RunLists();
    RunLists(const RunLists&) = delete;
    RunLists& operator=(const RunLists&) = delete;
};

// Reads every entry of the archive being rewritten, with extra fields and
// comments, into the list (names in working form).  Status on failure.
void ListArchiveEntries(ZipFileList* entries, FileMaskList* matchAll);

// --- entry writer -----------------------------------------------------------

// Writes the entry for the open source (engine().rewrite.source) at the new
// archive's position: local header, encryption header, data (deflated, or
// stored when that is not smaller).  Fills the entry's fields.  The method
// to try is engine().rewrite.method.  Status 0 or the failure's code.
void WriteNewEntry(ZipFileEntry* entry, uint16_t date, uint16_t time);
// Writes the entry of a directory named for the update (its name ends in a
// separator): a local header without data.
void WriteDirectoryEntry(ZipFileEntry* entry, uint16_t date, uint16_t time);
// Copies the whole source into the new archive (encrypting when on).
void StoreFileData();
// The source reader: one byte from the 4,096-byte block, refilled (with
// CRC-32 and progress) as needed.  False at the end, on a read error
// (status 5) or when the host cancels (status 2926).
bool ReadSourceByte(uint8_t* out);
// CRC-32 of the whole source into the check CRC; the source is rewound.
void ComputeFileCrc();

// --- update driver ----------------------------------------------------------

// The stored name a given path gets: the drive, a UNC server and share and a
// leading backslash dropped; reduced to name.ext with arNoInputPath; the
// relative path put in front.
void MakeStoredName(const char* path, char* out);
// Drops what would let the name leave the extraction directory: leading
// separators, drives, "." and ".." components.
void CleanStoredName(const char* name, char* out);
// The entry name a named file gets: MakeStoredName, CleanStoredName and,
// with arStripPaths, the file-name part.
void EntryNameFor(const char* givenPath, char* out);

// The named-file node of the list whose entry name equals name (up-cased
// comparison), or null.  Nodes that name no file ("" or "*...") are skipped.
const FileMask* FindNamedFile(const char* name, const FileMaskList* list);
bool NameInMaskList(const char* name, const FileMaskList* list);

// 0 replace, 1 keep, 2 stop.  sourcePath is the file that would replace the
// entry.
int ConfirmReplace(ZipFileEntry* entry, const char* sourcePath);

// False when an entry of that name is in the list already; otherwise true,
// with the new entry (or status 8 / 5 when it cannot be recorded).
bool AddEntryForFile(ZipFileList* entries, const FileMask* file, ZipFileEntry** added);
// Whether the named file is the archive or the new archive being written,
// whatever the spelling of its path (links and ".." included).
bool IsArchiveItself(const FileMask* file);

// Reads the backup's entries into the list, copies those that stay and
// records the names the host kept.  Status on failure.
void SelectExistingEntries(Rewrite& rewrite, ZipFileList* entries, FileMaskList* matchAll, const FileMaskList* masks,
                           FileMaskList* kept);

// The per-file loops.  engine().rewrite.filesHandled counts the files the
// new-archive loop dealt with.
void AddFilesToArchive(ZipFileList* entries, const FileMaskList* masks, FileMaskList* named);
void AddFilesToExistingArchive(ZipFileList* entries, const FileMaskList* masks, FileMaskList* named,
                               const FileMaskList* kept);

// The operations.
// The number of files an update may name at most: every entry needs a
// place in the 16-bit counts of the end record.
constexpr uint32_t kMaxNamedFiles = 0xFFFF;

void CompressFileMaskList(const FileMaskList* masks);
void DeleteFileMaskList(const FileMaskList* masks);

}  // namespace vardex
