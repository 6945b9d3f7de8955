// Opening, creating and closing the archive, and finding its end record
// (the position is cached for the archive held).
#include <cstdlib>
#include <cstring>

#include "api/engine.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "platform/platform.h"

namespace vardex {

namespace {

bool IsSignature(const uint8_t* p, const uint8_t (&signature)[4]) { return memcmp(p, signature, 4) == 0; }

// Closes a held archive before another one takes its place.
void ReleaseHeldArchive() { platform::CloseFile(&engine().archive.handle); }

// Reads the end record and the first central header of the file at path, to
// learn the first entry offset (the bytes in front of the first entry) and
// the archive comment.  Its outcome is dropped: the open that follows decides.
void PreScan(const char* path) {
    ArchiveState& a = engine().archive;
    // Only read, so the file is opened read-only: a read-only archive still
    // gets its first entry offset, and a rewrite keeps its leading bytes.
    a.handle = platform::FileOpen(path, platform::OpenMode::ReadOnly);
    if (a.handle < 0) return;
    ScanHeldArchive();
    platform::FileClose(a.handle);
    a.handle = -1;
}

}  // namespace

void ScanHeldArchive() {
    ArchiveState& a = engine().archive;
    const uint16_t status = Status();
    a.cachedEndPos = -1;
    a.firstEntryOffset = 0;
    if (SearchEndRecord() == 0) {
        if (ReadEndRecord() != 0) {
            ReleaseArchiveComment();
        } else {
            const KeepBlocks keep = KeepBlocksFromOptions();
            if (!keep.extraFields) ReleaseArchiveComment();
            uint8_t signature[4];
            if (platform::FileSeek(a.handle, a.end.centralOffset, SEEK_SET) >= 0 &&
                ReadSignature(a.handle, signature) == ReadResult::Ok && IsSignature(signature, kCentralSignature)) {
                CentralFields fields;
                char name[kTextField];
                uint8_t* comment = nullptr;
                uint8_t* extra = nullptr;
                if (ReadCentralHeader(a.handle, &fields, name, &comment, &extra, keep) == 0)
                    a.firstEntryOffset = fields.localHeaderOffset;
                free(comment);
                free(extra);
            }
        }
    }
    platform::FileSeek(a.handle, 0, SEEK_SET);
    a.cachedEndPos = -1;
    SetStatus(status);
}

uint16_t SearchEndRecord() {
    ArchiveState& a = engine().archive;
    if (a.cachedEndPos >= 0)
        return SetStatus(platform::FileSeek(a.handle, a.cachedEndPos, SEEK_SET) < 0 ? VX_FILE_ERROR : 0);
    const int64_t found = FindEndSignature(a.handle);
    if (found == -2) return SetStatus(VX_FILE_ERROR);
    if (found < 0) return SetStatus(VX_NOT_AN_ARCHIVE);
    a.cachedEndPos = found;
    return SetStatus(platform::FileSeek(a.handle, found, SEEK_SET) < 0 ? VX_FILE_ERROR : 0);
}

void OpenArchive(const char* path) {
    EngineState& e = engine();
    ArchiveState& a = e.archive;
    ResetForInit();
    e.options |= arArchiveInit;
    ReleaseHeldArchive();
    // The name of an earlier archive goes too: after a failed open,
    // DoneZipFile must not test (and perhaps remove) a file it no longer holds.
    a.path[0] = '\0';
    a.cachedEndPos = -1;
    a.firstEntryOffset = 0;
    if (!path) path = "";

    PreScan(path);
    a.cachedEndPos = -1;

    // Opening only reads: it never removes, renames or replaces a file (a
    // rewrite always leaves a whole archive under the name).
    a.handle = platform::FileOpen(path, platform::OpenMode::ReadOnly);
    if (a.handle < 0) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    SetStatus(0);
    if (SearchEndRecord() != 0) {
        platform::FileSeek(a.handle, 0, SEEK_SET);
        ReleaseHeldArchive();
        return;
    }
    CopyText(a.path, sizeof a.path, path);
    e.options |= arKeepExtraFields;
    a.newArchive = false;
}

void CreateArchive(const char* path) {
    ArchiveState& a = engine().archive;
    ResetDescriptor();
    ReleaseHeldArchive();
    // A new archive has no end record, comment or leading bytes; nothing of
    // an archive opened earlier may leak into it.
    a.cachedEndPos = -1;
    a.end = EndRecord{};
    ReleaseArchiveComment();
    a.firstEntryOffset = 0;

    // A name that does not fit whole is refused: a cut name would be
    // another file's name, which DoneZipFile might then remove.
    const char* given = path ? path : "";
    const size_t givenLength = strnlen(given, kMaxText + 1);
    if (givenLength > kMaxText || (!HasExtension(given) && givenLength + 4 > kMaxText)) {
        a.path[0] = '\0';
        a.newArchive = false;
        SetStatus(VX_FILE_ERROR);
        return;
    }
    char name[kPathField];
    DefaultExtension(given, "ZIP", name);

    a.handle = platform::FileOpen(name, platform::OpenMode::ReadWrite);
    if (a.handle >= 0) {
        // The file exists: it is held as it is, never truncated.  It counts as
        // an existing archive, so that an update carries its entries over
        // instead of writing a new archive over them, and its own name is
        // kept, so that DoneZipFile tests and removes this file and no other.
        CopyText(a.path, sizeof a.path, name);
        a.newArchive = false;
        SetStatus(VX_CANNOT_CREATE);
        return;
    }
    // Nothing stands under the name (a dangling link included): the new
    // archive is made there, never at the end of a link.
    a.handle = platform::FileOpen(name, platform::OpenMode::CreateNew);
    if (a.handle < 0) {
        // Nothing was made, so nothing under the name is this call's to
        // remove when the archive is closed.
        a.path[0] = '\0';
        a.newArchive = false;
        SetStatus(VX_FILE_ERROR);
        return;
    }
    SetStatus(0);
    CopyText(a.path, sizeof a.path, name);
    a.newArchive = true;
    a.updateCommitted = false;
}

void CloseArchive() {
    ArchiveState& a = engine().archive;
    if (a.handle >= 0) {
        // Only the empty file held here goes: another writer may have put a
        // whole archive under the name since.
        platform::FileIdentity held{}, named{};
        const bool empty = platform::FileLength(a.handle) == 0 && platform::IdentityOf(a.handle, &held) &&
                           platform::PathIdentity(a.path, &named) && held == named;
        platform::FileClose(a.handle);
        a.handle = -1;
        if (empty) platform::FileRemove(a.path);
        return;
    }
    if (a.path[0] == '\0') return;
    const int fd = platform::FileOpen(a.path, platform::OpenMode::ReadOnly);
    if (fd < 0) return;
    const bool empty = platform::FileLength(fd) == 0;
    platform::FileClose(fd);
    if (empty) platform::FileRemove(a.path);
}

}  // namespace vardex
