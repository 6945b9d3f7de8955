// Archive update: the rewrite that replaces the archive file, the entry
// writer, the update driver and delete.
//
// Every change writes a complete new archive under the archive's own name
// while the old one waits under a backup name (".!!!"); the backup is
// deleted on commit or put back on roll-back.  Working names in entry lists
// are kept in the working form (UTF-8, backslashes) for the whole run and
// turned into the stored form (CP437 or, for flag bit 11, UTF-8; slashes)
// only where they are written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vardex32.h"

namespace vardex {

// Sizes of the update's work buffers.
constexpr uint32_t kUpdateOutputSize = 8192;
constexpr uint32_t kUpdateInputSize = 4096;

// --- archive rewrite --------------------------------------------------------

// Allocates the input buffer and, when asked, the compressor's output buffer
// (engine().rewrite).  False with status 8 when memory runs out.
bool AllocateUpdateBuffers(bool withOutputBuffer);
void ReleaseUpdateBuffers();

// Writes to the new archive; status 101 on a short write.  Clears the status
// first, counts the bytes into the written count.
bool WriteOutput(const void* buffer, uint32_t count);

// The new archive's position, or -1 (status 5) when it cannot be recorded in
// a 32-bit offset field.
int64_t RecordablePosition();

// The backup name of an archive: drive, directory and base name + ".!!!".
// False when the archive cannot have one (empty, or the name is its own
// backup name).
bool BackupPathFor(const char* path, char* out);

// An archive left without an end record (or without a file) by a rewrite
// that was interrupted is replaced by its backup, when the backup beside it
// has an end record.  True when the backup was put back.
bool RecoverInterruptedRewrite(const char* path);

// Moves the archive to its backup name, opens the backup as the archive
// handle, creates the new archive and copies the prefix.  Status 0 or 5; on
// a failure before the rename nothing has been touched.
void BeginRewrite();

// Copies one entry whose local header the backup is positioned at; updates
// its local header offset.  Status 0, 5, 101 or 9964.
void CopyEntry(ZipFileEntry* entry);

// Copies count bytes from the backup's position; status 5 on a read failure
// or when the backup ends first.
bool CopyArchiveBytes(uint64_t count);

// Writes the central directory and end record at the new archive's position
// and cuts the file there.  Status 0, 5 or 101.
void WriteCentralDirectory(ZipFileList* entries);

// The new archive becomes the archive (read-write).  It is flushed to the
// device before the backup is deleted; when that fails the rewrite is rolled
// back.  Status 0 or 5.
void CommitRewrite();
// The old archive is put back; no archive is open afterwards.
void RollBackRewrite();

// Reads every entry of the backup, with extra fields and comments, into the
// list (names in working form) and positions the backup at the first entry.
// Status on failure.
void ListBackupEntries(ZipFileList* entries, FileMaskList* matchAll);
// Positions the backup at the entry's local header (status 5 on failure).
bool SeekBackupTo(const ZipFileEntry* entry);

// Releases the buffers and lists (any of them may be null), then rolls back
// or commits.
void FinishUpdate(ZipFileList* entries, FileMaskList* matchAll, FileMaskList* named, bool failed);

// The stored form of an entry's working name (bytes, '/' separators) in
// out[256]; sets the entry's name length to it.  Returns the length.
size_t StoredNameOf(ZipFileEntry* entry, char* out);

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
bool IsArchiveItself(const FileMask* file, const char* backupPath);

// Reads the backup's entries into the list, copies those that stay and
// records the names the host kept.  Status on failure.
void SelectExistingEntries(ZipFileList* entries, FileMaskList* matchAll, const FileMaskList* masks,
                           FileMaskList* kept);

// The per-file loops.  engine().rewrite.filesHandled counts the files the
// new-archive loop dealt with.
void AddFilesToArchive(ZipFileList* entries, const FileMaskList* masks, FileMaskList* named);
void AddFilesToExistingArchive(ZipFileList* entries, const FileMaskList* masks, FileMaskList* named,
                               const FileMaskList* kept);

// The operations.
void CompressFileMaskList(const FileMaskList* masks);
void DeleteFileMaskList(const FileMaskList* masks);

}  // namespace vardex
