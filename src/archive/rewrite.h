// The archive rewrite: every change (update, delete, self-extractor) writes
// a complete new archive and then puts it in the archive's place in one step.
//
// While a rewrite runs, the existing archive stays under its name, untouched
// and open for reading; the new archive grows in a temporary file beside the
// real file (beside a link's target, so that a linked archive stays a link),
// named like the archive with the extension ".!!!".  Commit writes out and
// flushes the new file to the device, gives it the old file's owner and
// mode, and renames it over the archive; anything else removes the
// temporary file and leaves the archive as it was, byte for byte.  So at
// every instant the archive's name holds the old or the new archive, whole.
// An exclusive advisory lock on the archive is held from Begin to the end, so
// that a second writer waits and then works on the first one's result.
//
// The new archive is laid out as the prefix (the bytes in front of the first
// entry, e.g. a self-extractor head) unchanged, the entries in list order,
// the central directory, the end record and the archive comment.  Offsets
// are absolute file positions, so they include the prefix.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "vardex32.h"

namespace vardex {

class Rewrite {
public:
    Rewrite() = default;
    // Rolls back unless committed.
    ~Rewrite();
    Rewrite(const Rewrite&) = delete;
    Rewrite& operator=(const Rewrite&) = delete;

    // Locks the open archive (waiting for another writer), creates the
    // temporary file and copies the prefix (the first entry offset's bytes).
    // When another writer replaced the archive meanwhile, its result becomes
    // the archive read here.  Status 0, 5 or 8; false on failure.
    bool Begin();

    // Copies one entry of the old archive (at its local header offset) and
    // records its new offset.  Status 0, 5, 101 or 9964.
    void CopyEntry(ZipFileEntry* entry);

    // Writes the central directory, the end record and the archive comment
    // at the current position and ends the file there.  Status 0, 5 or 101.
    void WriteCentralDirectory(ZipFileList* entries);

    // The new archive replaces the old one and becomes the open archive
    // (read-write).  Status 0, or 5 with the old archive in place.
    void Commit();
    // Removes the new archive; the old one stays as it was and no archive is
    // open afterwards (as after any failed change).
    void RollBack();

    // The buffered writer of the new archive.  False (status 101) on a
    // short write.
    bool Write(const void* data, uint32_t count);
    int64_t Tell() const { return bufferStart_ + static_cast<int64_t>(cursor_); }
    // Moves the write position (for the local header written after its
    // data).  False with status 5 on failure.
    bool Seek(int64_t position);
    // Sends the buffered bytes to the file.  Status 101 on a short write.
    bool Flush();
    // The new archive's descriptor, to read back what was written (after
    // Flush).
    int Descriptor() const { return newFile_; }

    // Whether the open file is the archive or the new archive being written.
    bool IsOwnFile(const platform::FileIdentity& file) const;

private:
    bool OpenLocked();
    bool CreateTemporary();
    // Copies count bytes of the old archive from position on.
    bool CopyArchiveBytes(int64_t position, int64_t count);
    // Reads count bytes of the old archive through the read-ahead block.
    bool ReadOld(int64_t position, void* out, uint32_t count);
    void Release();
    void NoteWritten(int64_t end) {
        if (end > fileEnd_) fileEnd_ = end;
    }

    bool active_ = false;
    bool committed_ = false;
    char target_[260] = {};     // the real file the archive name leads to
    char temporary_[260] = {};  // the new archive while it is written
    int newFile_ = -1;
    platform::FileIdentity archiveId_{};
    platform::FileIdentity newId_{};

    uint8_t* buffer_ = nullptr;  // kWriteBlock bytes not yet written, from bufferStart_
    int64_t bufferStart_ = 0;
    size_t cursor_ = 0;    // write position within the buffer
    size_t filled_ = 0;    // bytes of the buffer that hold data
    int64_t fileEnd_ = 0;  // how far the file itself reaches

    uint8_t* readAhead_ = nullptr;  // a block of the old archive
    int64_t readStart_ = 0;
    size_t readFilled_ = 0;
};

// Writes to the rewrite in progress; status 101 on a short write.  Clears
// the status first, counts the bytes into the written count.
bool WriteOutput(const void* buffer, uint32_t count);

// The new archive's position, or -1 (status 5) when it cannot be recorded in
// a 32-bit offset field.
int64_t RecordablePosition();
// Moves the new archive's write position; false (status 5) on failure.
bool SeekOutput(int64_t position);

// The temporary name of an archive: drive, directory and base name + ".!!!".
// False when the archive cannot have one (empty, or the name is its own
// temporary name).
bool BackupPathFor(const char* path, char* out);

// The stored form of an entry's working name (bytes, '/' separators) in
// out[256]; sets the entry's name length to it.  Returns the length.
size_t StoredNameOf(ZipFileEntry* entry, char* out);

}  // namespace vardex
