#include "archive/rewrite.h"

#include <cstdlib>
#include <cstring>

#include "api/engine.h"
#include "api/names.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "archive/records.h"

namespace vardex {

namespace {

constexpr uint8_t kDescriptorSignature[4] = {0x50, 0x4B, 0x07, 0x08};
// ZIP records hold 32-bit offsets and sizes and 16-bit entry counts.
constexpr int64_t kMaxOffset = 0xFFFFFFFFll;
constexpr uint32_t kMaxRecordEntries = 0xFFFF;
// Large blocks: a rewrite of many small entries costs a few system calls
// per megabyte, not several per entry.
constexpr size_t kWriteBlock = size_t{1} << 20;
constexpr size_t kReadBlock = size_t{1} << 20;
// Entry data at least this long is copied file to file without passing
// through the buffers.
constexpr int64_t kDirectCopy = 256 * 1024;
// Writers that keep replacing the archive while this one waits for it.
constexpr int kLockAttempts = 1000;

}  // namespace

Rewrite::~Rewrite() {
    if (active_ && !committed_) RollBack();
}

bool Rewrite::IsOwnFile(const platform::FileIdentity& file) const {
    return active_ && (file == archiveId_ || file == newId_);
}

// Locks the file under the archive's (resolved) name.  Another writer may
// replace it while this one waits: the lock is then on a file that is no
// longer the archive, so it is taken again on the file that now is.
bool Rewrite::OpenLocked() {
    ArchiveState& a = engine().archive;
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        const std::string real = platform::ResolvedPath(a.path);
        if (real.empty() || real.size() >= sizeof target_) return false;
        CopyText(target_, sizeof target_, real.c_str());
        const int fd = platform::FileOpen(target_, platform::OpenMode::ReadOnly);
        if (fd < 0) return false;
        platform::FileIdentity locked{}, current{};
        if (!platform::LockFileExclusive(fd) || !platform::IdentityOf(fd, &locked)) {
            platform::FileClose(fd);
            return false;
        }
        if (!platform::PathIdentity(target_, &current) || !(current == locked)) {
            platform::FileClose(fd);
            continue;
        }
        platform::FileIdentity held{};
        const bool same = a.handle >= 0 && platform::IdentityOf(a.handle, &held) && held == locked;
        // The locked descriptor reads the archive from now on (the lock goes
        // with it when it is closed).
        platform::CloseFile(&a.handle);
        a.handle = fd;
        archiveId_ = locked;
        if (!same) {
            // Another writer's archive: its leading bytes, comment and entries
            // are what this change starts from.
            ScanHeldArchive();
            if (platform::FileLength(fd) > 0) a.newArchive = false;
        }
        a.cachedEndPos = -1;
        return true;
    }
    return false;
}

bool Rewrite::CreateTemporary() {
    if (!BackupPathFor(target_, temporary_)) return false;
    // A file left by an interrupted rewrite is only ever a leftover: the
    // archive under its own name is always whole.
    platform::FileRemove(temporary_);
    newFile_ = platform::FileCreateNew(temporary_);
    if (newFile_ < 0) return false;
    if (!platform::IdentityOf(newFile_, &newId_)) return false;
    platform::CopyOwnerAndMode(engine().archive.handle, newFile_);
    return true;
}

bool Rewrite::Begin() {
    ArchiveState& a = engine().archive;
    if (active_) {
        SetStatus(VX_FILE_ERROR);
        return false;
    }
    active_ = true;
    committed_ = false;
    bufferStart_ = 0;
    fileEnd_ = 0;
    cursor_ = filled_ = 0;
    readFilled_ = 0;
    readStart_ = 0;
    engine().rewrite.active = this;
    buffer_ = static_cast<uint8_t*>(AllocateWork(kWriteBlock));
    readAhead_ = static_cast<uint8_t*>(AllocateWork(kReadBlock));
    if (!buffer_ || !readAhead_) {
        SetStatus(VX_OUT_OF_MEMORY);
        return false;
    }

    if (!OpenLocked() || !CreateTemporary()) {
        SetStatus(VX_FILE_ERROR);
        return false;
    }
    SetStatus(0);
    if (a.firstEntryOffset > 0 && !CopyArchiveBytes(0, a.firstEntryOffset)) return false;
    SetStatus(0);
    return true;
}

bool Rewrite::Flush() {
    if (filled_ > 0) {
        const int32_t written = platform::FileWriteAt(newFile_, buffer_, static_cast<uint32_t>(filled_), bufferStart_);
        if (written != static_cast<int32_t>(filled_)) {
            SetStatus(VX_SHORT_WRITE);
            return false;
        }
        NoteWritten(bufferStart_ + static_cast<int64_t>(filled_));
    }
    bufferStart_ += static_cast<int64_t>(cursor_);
    cursor_ = filled_ = 0;
    return true;
}

bool Rewrite::Write(const void* data, uint32_t count) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (count > 0) {
        if (cursor_ == kWriteBlock && !Flush()) return false;
        // A large piece with nothing waiting goes straight to the file.
        if (filled_ == 0 && count >= kWriteBlock) {
            const int32_t written = platform::FileWriteAt(newFile_, p, count, bufferStart_);
            if (written > 0) bufferStart_ += written;
            NoteWritten(bufferStart_);
            if (written != static_cast<int32_t>(count)) {
                SetStatus(VX_SHORT_WRITE);
                return false;
            }
            return true;
        }
        const size_t piece = count < kWriteBlock - cursor_ ? count : kWriteBlock - cursor_;
        memcpy(buffer_ + cursor_, p, piece);
        cursor_ += piece;
        if (cursor_ > filled_) filled_ = cursor_;
        p += piece;
        count -= static_cast<uint32_t>(piece);
    }
    return true;
}

bool Rewrite::Seek(int64_t position) {
    if (position < 0) {
        SetStatus(VX_FILE_ERROR);
        return false;
    }
    // Within the buffer: no system call.  Room beyond what the buffer holds
    // may be zero-filled only past the file's end (the room reserved for a
    // local header); bytes already in the file must stay as written.
    const int64_t held = bufferStart_ + static_cast<int64_t>(filled_);
    if (position >= bufferStart_ && position - bufferStart_ <= static_cast<int64_t>(kWriteBlock) &&
        (position <= held || held >= fileEnd_)) {
        const size_t at = static_cast<size_t>(position - bufferStart_);
        if (at > filled_) {
            memset(buffer_ + filled_, 0, at - filled_);
            filled_ = at;
        }
        cursor_ = at;
        return true;
    }
    if (!Flush()) return false;
    bufferStart_ = position;
    return true;
}

bool Rewrite::ReadOld(int64_t position, void* out, uint32_t count) {
    const int fd = engine().archive.handle;
    if (count > kReadBlock) {
        if (platform::FileReadAt(fd, out, count, position) != static_cast<int32_t>(count)) {
            SetStatus(VX_FILE_ERROR);
            return false;
        }
        return true;
    }
    if (position < readStart_ || position + count > readStart_ + static_cast<int64_t>(readFilled_)) {
        const int32_t got = platform::FileReadAt(fd, readAhead_, kReadBlock, position);
        readStart_ = position;
        readFilled_ = got > 0 ? static_cast<size_t>(got) : 0;
        if (readFilled_ < count) {
            SetStatus(VX_FILE_ERROR);
            return false;
        }
    }
    memcpy(out, readAhead_ + (position - readStart_), count);
    return true;
}

bool Rewrite::CopyArchiveBytes(int64_t position, int64_t count) {
    if (count >= kDirectCopy) {
        if (!Flush()) return false;
        const int64_t copied =
            platform::FileCopyRange(engine().archive.handle, position, newFile_, bufferStart_, count);
        if (copied > 0) bufferStart_ += copied;
        NoteWritten(bufferStart_);
        if (copied == count) return true;
        // The old archive ended first, or the new one could not take it all.
        int64_t length = platform::FileLength(engine().archive.handle);
        SetStatus(copied >= 0 && length >= 0 && position + count > length ? VX_FILE_ERROR : VX_SHORT_WRITE);
        return false;
    }
    while (count > 0) {
        if (cursor_ == kWriteBlock && !Flush()) return false;
        const size_t room = kWriteBlock - cursor_;
        const uint32_t piece = static_cast<uint32_t>(count < static_cast<int64_t>(room) ? count : room);
        if (!ReadOld(position, buffer_ + cursor_, piece)) return false;
        cursor_ += piece;
        if (cursor_ > filled_) filled_ = cursor_;
        position += piece;
        count -= piece;
    }
    return true;
}

void Rewrite::CopyEntry(ZipFileEntry* entry) {
    CentralFields* central = FieldsOf(entry);
    // Entries whose sizes or offset live in a Zip64 extra field cannot be
    // copied by their 32-bit fields.
    if (central->compressedSize == 0xFFFFFFFFu || central->uncompressedSize == 0xFFFFFFFFu ||
        central->localHeaderOffset == 0xFFFFFFFFu) {
        SetStatus(VX_BAD_DATA);
        return;
    }
    const int64_t offset = RecordablePosition();
    if (offset < 0) return;

    const int64_t header = central->localHeaderOffset;
    uint8_t signature[4];
    LocalFields old;
    if (!ReadOld(header, signature, 4) || !ReadOld(header + 4, &old, sizeof old)) return;
    // Offsets that do not lead to a local header would copy unrelated bytes
    // into the new archive.
    if (memcmp(signature, kLocalSignature, 4) != 0) {
        SetStatus(VX_BAD_DATA);
        return;
    }
    const int64_t oldExtra = header + 4 + static_cast<int64_t>(sizeof old) + old.nameLength;

    // A data descriptor is not copied: the local header gets the real sizes.
    // Readers that stream the archive then need the descriptor flag clear,
    // except for an encrypted entry, whose encryption header was checked
    // against its time (not its CRC) because of that flag; such an entry
    // keeps the flag and gets a fresh descriptor behind its data.
    const bool encrypted = (central->flags & kFlagEncrypted) != 0;
    const bool keepDescriptor = encrypted && (central->flags & kFlagDataDescriptor) != 0;
    if (!keepDescriptor) central->flags &= static_cast<uint16_t>(~kFlagDataDescriptor);

    char stored[kTextField];
    const size_t nameLength = StoredNameOf(entry, stored);
    LocalFields local = LocalFromCentral(*central);
    local.extraLength = old.extraLength;

    if (!WriteOutput(kLocalSignature, 4) || !WriteOutput(&local, sizeof local) ||
        !WriteOutput(stored, static_cast<uint32_t>(nameLength)))
        return;
    // The old local extra field and the data (with any encryption header)
    // follow each other: one copy.
    if (!CopyArchiveBytes(oldExtra, static_cast<int64_t>(old.extraLength) + central->compressedSize)) return;
    if (keepDescriptor) {
        uint8_t descriptor[16];
        memcpy(descriptor, kDescriptorSignature, 4);
        PutLe32(descriptor + 4, central->crc32);
        PutLe32(descriptor + 8, central->compressedSize);
        PutLe32(descriptor + 12, central->uncompressedSize);
        if (!WriteOutput(descriptor, sizeof descriptor)) return;
    }
    central->localHeaderOffset = static_cast<uint32_t>(offset);
    SetStatus(0);
}

void Rewrite::WriteCentralDirectory(ZipFileList* entries) {
    ArchiveState& a = engine().archive;
    const int64_t directoryOffset = RecordablePosition();
    if (directoryOffset < 0) return;

    uint32_t count = 0;
    uint64_t size = 0;
    for (ZipFileEntry* entry = entries->first; entry; entry = entry->next) {
        if (count == kMaxRecordEntries) {
            SetStatus(VX_FILE_ERROR);
            return;
        }
        // A length without its kept block would make the record claim bytes
        // it does not hold.
        if (!entry->extra) entry->extraLength = 0;
        if (!entry->comment) entry->commentLength = 0;
        char stored[kTextField];
        const size_t nameLength = StoredNameOf(entry, stored);
        if (!WriteOutput(kCentralSignature, 4) || !WriteOutput(FieldsOf(entry), sizeof(CentralFields)) ||
            !WriteOutput(stored, static_cast<uint32_t>(nameLength)) || !WriteOutput(entry->extra, entry->extraLength) ||
            !WriteOutput(entry->comment, entry->commentLength))
            return;
        ++count;
        size += 46 + nameLength + entry->extraLength + entry->commentLength;
    }
    if (size > static_cast<uint64_t>(kMaxOffset)) {
        SetStatus(VX_FILE_ERROR);
        return;
    }

    if (!a.comment) a.end.commentLength = 0;
    a.end.diskNumber = 0;
    a.end.centralDisk = 0;
    a.end.entriesOnDisk = static_cast<uint16_t>(count);
    a.end.entriesTotal = static_cast<uint16_t>(count);
    a.end.centralSize = static_cast<uint32_t>(size);
    a.end.centralOffset = static_cast<uint32_t>(directoryOffset);
    uint8_t record[18];
    memcpy(record, &a.end.diskNumber, 2);
    memcpy(record + 2, &a.end.centralDisk, 2);
    memcpy(record + 4, &a.end.entriesOnDisk, 2);
    memcpy(record + 6, &a.end.entriesTotal, 2);
    memcpy(record + 8, &a.end.centralSize, 4);
    memcpy(record + 12, &a.end.centralOffset, 4);
    memcpy(record + 16, &a.end.commentLength, 2);
    if (!WriteOutput(kEndSignature, 4) || !WriteOutput(record, sizeof record)) return;
    if (!WriteOutput(a.comment, a.end.commentLength)) return;

    // Bytes of an abandoned Deflate pass may lie behind the end; the archive
    // ends where its end record (and comment) does.
    const int64_t end = Tell();
    if (!Flush()) return;
    if (!platform::FileTruncate(newFile_, end)) SetStatus(VX_FILE_ERROR);
}

void Rewrite::Commit() {
    ArchiveState& a = engine().archive;
    if (!active_) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    // The new archive is whole on the device before it takes the name, and
    // the name still leads to the file written here (nothing replaced it).
    platform::FileIdentity named{};
    if (!Flush() || !platform::FileSync(newFile_) || !platform::PathIdentity(temporary_, &named) ||
        !(named == newId_) || !platform::FileReplaceHeld(temporary_, target_, &a.handle)) {
        const uint16_t status = Status() == VX_SHORT_WRITE ? VX_SHORT_WRITE : VX_FILE_ERROR;
        RollBack();
        SetStatus(status);
        return;
    }
    platform::SyncDirectoryOf(target_);
    committed_ = true;
    // The file just written is the archive now; closing the old one releases
    // the lock (where the move needed it closed, it is already).
    platform::CloseFile(&a.handle);
    a.handle = newFile_;
    newFile_ = -1;
    a.cachedEndPos = -1;
    Release();
    SetStatus(0);
}

void Rewrite::RollBack() {
    ArchiveState& a = engine().archive;
    if (!active_) return;
    if (newFile_ >= 0) {
        // Only the file this rewrite made is removed.
        platform::FileIdentity named{};
        if (platform::PathIdentity(temporary_, &named) && named == newId_) platform::FileRemove(temporary_);
        platform::CloseFile(&newFile_);
    }
    platform::CloseFile(&a.handle);
    a.cachedEndPos = -1;
    Release();
}

void Rewrite::Release() {
    active_ = false;
    if (engine().rewrite.active == this) engine().rewrite.active = nullptr;
    free(buffer_);
    free(readAhead_);
    buffer_ = nullptr;
    readAhead_ = nullptr;
}

bool WriteOutput(const void* buffer, uint32_t count) {
    RewriteState& r = engine().rewrite;
    SetStatus(0);
    if (count == 0) return true;
    if (!r.active) {
        SetStatus(VX_SHORT_WRITE);
        return false;
    }
    if (!r.active->Write(buffer, count)) return false;
    r.writtenCount += count;
    return true;
}

int64_t RecordablePosition() {
    const Rewrite* rewrite = engine().rewrite.active;
    const int64_t pos = rewrite ? rewrite->Tell() : -1;
    if (pos < 0 || pos > kMaxOffset) {
        SetStatus(VX_FILE_ERROR);
        return -1;
    }
    return pos;
}

bool SeekOutput(int64_t position) {
    Rewrite* rewrite = engine().rewrite.active;
    if (!rewrite) {
        SetStatus(VX_FILE_ERROR);
        return false;
    }
    return rewrite->Seek(position);
}

bool BackupPathFor(const char* path, char* out) {
    char drive[kPathField], dir[kPathField], base[kPathField];
    SplitPath(path, drive, dir, base, nullptr);
    CopyText(out, kPathField, drive);
    AppendText(out, kPathField, dir);
    AppendText(out, kPathField, base);
    AppendText(out, kPathField, ".!!!");
    // An archive that already carries the temporary name (or a name cut at
    // 255 characters) cannot have one; removing it would remove the archive.
    const size_t length = strlen(out);
    return path[0] != '\0' && strcmp(out, path) != 0 && length >= 4 && strcmp(out + length - 4, ".!!!") == 0;
}

size_t StoredNameOf(ZipFileEntry* entry, char* out) {
    size_t length = NameToStored(entry->name, entry->flags, out);
    ToStoredSeparatorsInPlace(out, length);
    // The length field follows the bytes actually written, so that headers
    // and names always agree (a name cut to 255 bytes stays consistent).
    entry->nameLength = static_cast<uint16_t>(length);
    return length;
}

}  // namespace vardex
