// The archive rewrite: the old archive is moved aside under a backup name
// (".!!!"), a complete new archive is written under the archive's own name,
// and at the end the backup is deleted (commit) or moved back (roll-back).
//
// The new archive is laid out as the prefix (bytes in front of the first
// entry, e.g. a self-extractor head) unchanged, the entries in list order,
// the central directory, the end record and the archive comment.  Offsets
// are absolute file positions, so they include the prefix.
#include <cstdlib>
#include <cstring>

#include "api/engine.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "archive/records.h"
#include "platform/platform.h"
#include "update/update.h"

namespace vardex {

namespace {

constexpr uint8_t kDescriptorSignature[4] = {0x50, 0x4B, 0x07, 0x08};
// ZIP records hold 32-bit offsets and sizes and 16-bit entry counts.
constexpr int64_t kMaxOffset = 0xFFFFFFFFll;
constexpr uint32_t kMaxRecordEntries = 0xFFFF;

void Fail(uint16_t status) { SetStatus(status); }

void CloseHandle(int* fd) {
    if (*fd >= 0) platform::FileClose(*fd);
    *fd = -1;
}

// Reads exactly count bytes from the backup; false (status 5) when it fails
// or the file ends first.
bool ReadBackup(void* buffer, uint32_t count) {
    const int32_t got = platform::FileRead(engine().archive.handle, buffer, count);
    if (got != static_cast<int32_t>(count)) {
        Fail(VX_FILE_ERROR);
        return false;
    }
    return true;
}

void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Whether the end-of-central-directory signature occurs in the file, with
// room for the record behind it.
bool HasEndSignature(int fd) {
    const int64_t length = platform::FileLength(fd);
    if (length < 22) return false;
    constexpr int64_t kBlock = 65536;
    static uint8_t block[kBlock + 3];
    for (int64_t end = length - 18; end > 0;) {
        const int64_t start = end > kBlock ? end - kBlock : 0;
        const int64_t stop = end + 3 < length ? end + 3 : length;
        const uint32_t count = static_cast<uint32_t>(stop - start);
        if (platform::FileSeek(fd, start, SEEK_SET) < 0 ||
            platform::FileRead(fd, block, count) != static_cast<int32_t>(count))
            return false;
        for (int64_t i = end - start; i-- > 0;)
            if (i + 4 <= count && memcmp(block + i, kEndSignature, 4) == 0) return true;
        end = start;
    }
    return false;
}

}  // namespace

// The new archive's position, or -1 (status 5) when it cannot be recorded in
// a 32-bit offset field.
int64_t RecordablePosition() {
    const int64_t pos = platform::FileTell(engine().rewrite.newHandle);
    if (pos < 0 || pos > kMaxOffset) {
        Fail(VX_FILE_ERROR);
        return -1;
    }
    return pos;
}

bool AllocateUpdateBuffers(bool withOutputBuffer) {
    RewriteState& r = engine().rewrite;
    r.inputBuffer = static_cast<uint8_t*>(AllocateWork(kUpdateInputSize));
    if (withOutputBuffer) r.outputBuffer = static_cast<uint8_t*>(AllocateWork(kUpdateOutputSize));
    if (!r.inputBuffer || (withOutputBuffer && !r.outputBuffer)) {
        ReleaseUpdateBuffers();
        Fail(VX_OUT_OF_MEMORY);
        return false;
    }
    return true;
}

void ReleaseUpdateBuffers() {
    RewriteState& r = engine().rewrite;
    free(r.inputBuffer);
    free(r.outputBuffer);
    r.inputBuffer = nullptr;
    r.outputBuffer = nullptr;
}

bool WriteOutput(const void* buffer, uint32_t count) {
    RewriteState& r = engine().rewrite;
    SetStatus(0);
    if (count == 0) return true;
    const int32_t written = platform::FileWrite(r.newHandle, buffer, count);
    if (written > 0) r.writtenCount += static_cast<uint32_t>(written);
    if (written != static_cast<int32_t>(count)) {
        Fail(VX_SHORT_WRITE);
        return false;
    }
    return true;
}

size_t StoredNameOf(ZipFileEntry* entry, char* out) {
    size_t length = NameToStored(entry->name, entry->flags, out);
    for (size_t i = 0; i < length; ++i)
        if (out[i] == '\\') out[i] = '/';
    // The length field follows the bytes actually written, so that headers
    // and names always agree (a name cut to 255 bytes stays consistent).
    entry->nameLength = static_cast<uint16_t>(length);
    return length;
}

bool BackupPathFor(const char* path, char* out) {
    char drive[kPathField], dir[kPathField], base[kPathField];
    SplitPath(path, drive, dir, base, nullptr);
    CopyText(out, kPathField, drive);
    AppendText(out, kPathField, dir);
    AppendText(out, kPathField, base);
    AppendText(out, kPathField, ".!!!");
    // An archive that already carries the backup name (or a name cut at 255
    // characters) cannot be moved aside; deleting "the backup" would delete it.
    const size_t length = strlen(out);
    return path[0] != '\0' && strcmp(out, path) != 0 && length >= 4 && strcmp(out + length - 4, ".!!!") == 0;
}

bool RecoverInterruptedRewrite(const char* path) {
    char backup[kPathField];
    if (!path || !BackupPathFor(path, backup)) return false;
    const int old = platform::FileOpen(backup, platform::OpenMode::ReadOnly);
    if (old < 0) return false;
    uint8_t oldHead[4] = {};
    const bool readable = HasEndSignature(old) && platform::FileSeek(old, 0, SEEK_SET) == 0 &&
                          platform::FileRead(old, oldHead, 4) == 4;
    platform::FileClose(old);
    if (!readable) return false;

    // What stands under the archive's name must look like the start of a
    // rewrite of that backup (its prefix or a local header), so that no
    // unrelated file is replaced.
    const int partial = platform::FileOpen(path, platform::OpenMode::ReadOnly);
    if (partial >= 0) {
        uint8_t head[4] = {};
        const int32_t got = platform::FileRead(partial, head, 4);
        platform::FileClose(partial);
        if (got < 0) return false;
        const size_t n = static_cast<size_t>(got);
        if (n > 0 && memcmp(head, oldHead, n) != 0 && memcmp(head, kLocalSignature, n) != 0) return false;
        if (!platform::FileRemove(path)) return false;
    }
    return platform::FileRename(backup, path);
}

void BeginRewrite() {
    EngineState& e = engine();
    ArchiveState& a = e.archive;
    RewriteState& r = e.rewrite;
    CloseHandle(&a.handle);
    r.backupMade = false;
    r.newHandle = -1;

    if (!BackupPathFor(a.path, r.backupPath)) {
        Fail(VX_FILE_ERROR);
        return;
    }

    platform::FileRemove(r.backupPath);
    // The move is checked: when it fails, the archive stays where it is and
    // nothing under its name may be touched by the roll-back.
    if (!platform::FileRename(a.path, r.backupPath)) {
        Fail(VX_FILE_ERROR);
        return;
    }
    r.backupMade = true;

    a.handle = platform::FileOpen(r.backupPath, platform::OpenMode::ReadWrite);
    if (a.handle < 0) {
        Fail(VX_FILE_ERROR);
        return;
    }
    SetStatus(0);
    r.newHandle = platform::FileOpen(a.path, platform::OpenMode::Create);
    if (r.newHandle < 0) {
        Fail(VX_FILE_ERROR);
        return;
    }

    if (platform::FileSeek(a.handle, 0, SEEK_SET) < 0) {
        Fail(VX_FILE_ERROR);
        return;
    }
    if (a.firstEntryOffset > 0 && !CopyArchiveBytes(a.firstEntryOffset)) return;
    if (platform::FileSeek(r.newHandle, a.firstEntryOffset, SEEK_SET) < 0 ||
        platform::FileSeek(a.handle, 0, SEEK_SET) < 0) {
        Fail(VX_FILE_ERROR);
        return;
    }
    SetStatus(0);
}

bool CopyArchiveBytes(uint64_t count) {
    RewriteState& r = engine().rewrite;
    while (count > 0) {
        const uint32_t piece = count < kUpdateInputSize ? static_cast<uint32_t>(count) : kUpdateInputSize;
        if (!ReadBackup(r.inputBuffer, piece)) return false;
        if (!WriteOutput(r.inputBuffer, piece)) return false;
        count -= piece;
    }
    return true;
}

void CopyEntry(ZipFileEntry* entry) {
    ArchiveState& a = engine().archive;
    CentralFields* central = FieldsOf(entry);

    // Entries whose sizes or offset live in a Zip64 extra field cannot be
    // copied by their 32-bit fields.
    if (central->compressedSize == 0xFFFFFFFFu || central->uncompressedSize == 0xFFFFFFFFu ||
        central->localHeaderOffset == 0xFFFFFFFFu) {
        Fail(VX_BAD_DATA);
        return;
    }
    const int64_t offset = RecordablePosition();
    if (offset < 0) return;

    uint8_t signature[4];
    LocalFields old;
    if (!ReadBackup(signature, 4) || !ReadBackup(&old, sizeof old)) return;
    // Offsets that do not lead to a local header would copy unrelated bytes
    // into the new archive.
    if (memcmp(signature, kLocalSignature, 4) != 0) {
        Fail(VX_BAD_DATA);
        return;
    }
    if (platform::FileSeek(a.handle, old.nameLength, SEEK_CUR) < 0) {
        Fail(VX_FILE_ERROR);
        return;
    }

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
    if (old.extraLength != 0 && !CopyArchiveBytes(old.extraLength)) return;
    if (!CopyArchiveBytes(central->compressedSize)) return;
    if (keepDescriptor) {
        uint8_t descriptor[16];
        memcpy(descriptor, kDescriptorSignature, 4);
        PutU32(descriptor + 4, central->crc32);
        PutU32(descriptor + 8, central->compressedSize);
        PutU32(descriptor + 12, central->uncompressedSize);
        if (!WriteOutput(descriptor, sizeof descriptor)) return;
    }
    central->localHeaderOffset = static_cast<uint32_t>(offset);
}

void WriteCentralDirectory(ZipFileList* entries) {
    ArchiveState& a = engine().archive;
    RewriteState& r = engine().rewrite;
    const int64_t directoryOffset = RecordablePosition();
    if (directoryOffset < 0) return;

    uint32_t count = 0;
    uint64_t size = 0;
    for (ZipFileEntry* entry = entries->first; entry; entry = entry->next) {
        if (count == kMaxRecordEntries) {
            Fail(VX_FILE_ERROR);
            return;
        }
        // A length without its kept block would make the record claim bytes
        // it does not hold.
        if (!entry->extra) entry->extraLength = 0;
        if (!entry->comment) entry->commentLength = 0;
        char stored[kTextField];
        const size_t nameLength = StoredNameOf(entry, stored);
        if (!WriteOutput(kCentralSignature, 4) || !WriteOutput(FieldsOf(entry), sizeof(CentralFields)) ||
            !WriteOutput(stored, static_cast<uint32_t>(nameLength)) ||
            !WriteOutput(entry->extra, entry->extraLength) || !WriteOutput(entry->comment, entry->commentLength))
            return;
        ++count;
        size += 46 + nameLength + entry->extraLength + entry->commentLength;
    }
    if (size > static_cast<uint64_t>(kMaxOffset)) {
        Fail(VX_FILE_ERROR);
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
    const int64_t end = platform::FileTell(r.newHandle);
    if (end < 0 || !platform::FileTruncate(r.newHandle, end)) Fail(VX_FILE_ERROR);
}

void RollBackRewrite() {
    ArchiveState& a = engine().archive;
    RewriteState& r = engine().rewrite;
    CloseHandle(&r.newHandle);
    CloseHandle(&a.handle);
    if (r.backupMade) {
        platform::FileRemove(a.path);
        platform::FileRename(r.backupPath, a.path);
        r.backupMade = false;
    }
    a.cachedEndPos = -1;
}

void CommitRewrite() {
    ArchiveState& a = engine().archive;
    RewriteState& r = engine().rewrite;
    // The new archive reaches the device before the only other copy of the
    // entries is deleted.
    if (!platform::FileSync(r.newHandle)) {
        RollBackRewrite();
        Fail(VX_FILE_ERROR);
        return;
    }
    CloseHandle(&a.handle);
    platform::FileRemove(r.backupPath);
    r.backupMade = false;
    CloseHandle(&r.newHandle);
    a.handle = platform::FileOpen(a.path, platform::OpenMode::ReadWrite);
    a.cachedEndPos = -1;
    SetStatus(a.handle < 0 ? VX_FILE_ERROR : 0);
}

void ListBackupEntries(ZipFileList* entries, FileMaskList* matchAll) {
    EngineState& e = engine();
    if (!AppendFileMask("*.*", matchAll)) {
        Fail(VX_OUT_OF_MEMORY);
        return;
    }
    const uint16_t saved = e.options;
    e.options |= arKeepExtraFields | arKeepComments;
    BuildZipFileList(entries, matchAll);
    e.options = saved;
    if (Status() != 0) return;
    for (ZipFileEntry* entry = entries->first; entry; entry = entry->next)
        for (char* c = entry->name; *c; ++c)
            if (*c == '/') *c = '\\';
    if (platform::FileSeek(e.archive.handle, e.archive.firstEntryOffset, SEEK_SET) < 0) {
        Fail(VX_FILE_ERROR);
        return;
    }
    SetStatus(0);
}

bool SeekBackupTo(const ZipFileEntry* entry) {
    if (platform::FileSeek(engine().archive.handle, entry->localHeaderOffset, SEEK_SET) < 0) {
        Fail(VX_FILE_ERROR);
        return false;
    }
    return true;
}

void FinishUpdate(ZipFileList* entries, FileMaskList* matchAll, FileMaskList* named, bool failed) {
    ReleaseUpdateBuffers();
    if (entries) DoneZipFileList(entries);
    if (matchAll) DoneFileMaskList(matchAll);
    if (named) DoneFileMaskList(named);
    if (failed)
        RollBackRewrite();
    else
        CommitRewrite();
}

}  // namespace vardex
