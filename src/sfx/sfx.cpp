// Self-extracting archives: a head written by the stub library KORVAL32.KVL
// (found beside this library), then an ordinary archive of the named files
// built with the update machinery, the configuration blocks at the end of the
// head sealed with the file's checksum and scrambled, and on request the
// finished file cut into volumes by the stub library.
#include "sfx/sfx.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "api/engine.h"
#include "api/masks.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "archive/rewrite.h"
#include "crypt/crypt.h"
#include "deflate/deflate.h"
#include "platform/platform.h"
#include "sfx/blocks.h"
#include "update/update.h"

namespace vardex {

namespace plat = platform;

namespace {

constexpr const char kStubName[] = "KORVAL32.KVL";

// The stub's six entry points, all in the exports' calling convention.
using GetSfxHeadFn = int32_t(VARDEX_CALL*)(const char*, int32_t, int32_t, int32_t, const char*, const char*);
using GetSfxHead2Fn = int32_t(VARDEX_CALL*)(const char*, int32_t, SfxDesc*);
using ResizeFileFn = uint16_t(VARDEX_CALL*)(const char*, const char*, uint32_t);
using SetNextDiskFn = void(VARDEX_CALL*)(uint32_t, GetNextDiskProc);
using SetReplaceFn = void(VARDEX_CALL*)(uint32_t, OkToReplaceProc);
using SetSfxProgressFn = void(VARDEX_CALL*)(uint32_t, SetSfxProgressProc);

// The stub library, loaded for one call and freed on every way out.
class StubLibrary {
public:
    explicit StubLibrary(const char* path) : module_(plat::LoadLibraryA(path)) {}
    ~StubLibrary() {
        if (module_) plat::FreeLibrary(module_);
    }
    StubLibrary(const StubLibrary&) = delete;
    StubLibrary& operator=(const StubLibrary&) = delete;
    bool loaded() const { return module_ != nullptr; }
    template <typename Fn>
    Fn Find(const char* name) const {
        return reinterpret_cast<Fn>(plat::GetProcAddress(module_, name));
    }

private:
    plat::Module module_;
};

// Where the stub library lives: beside the module that holds this code.
void StubPath(char* out) {
    char module[kPathField] = {};
    plat::GetModuleFileNameA(engine().moduleHandle, module, sizeof module);
    char drive[kPathField], dir[kPathField];
    SplitPath(module, drive, dir, nullptr, nullptr);
    CopyText(out, kPathField, drive);
    AppendText(out, kPathField, dir);
    AppendText(out, kPathField, kStubName);
}

// Only "A:" or "B:" (either case) names a diskette drive; a POSIX path that
// merely starts with the letter a or b is an ordinary file.
bool IsDisketteTarget(const char* path) {
    char c = path[0];
    return (c == 'A' || c == 'a' || c == 'B' || c == 'b') && path[1] == ':';
}

// Writes the files count, the archive length and the checksum into block B
// and stores the three blocks scrambled.  The new archive is read back
// through the rewrite's own descriptor.
void SealBlocks(Rewrite& rewrite, int64_t headFileLength, uint32_t trailer, uint32_t filesHandled) {
    if (!rewrite.Flush()) return;
    const int reader = rewrite.Descriptor();
    const int64_t headLength = headFileLength - trailer;
    const int64_t blocksStart = headLength - sfx::kBlocksSize;
    // A head shorter than its blocks was not written by our stub.
    if (blocksStart < 0) {
        SetStatus(VX_BAD_DATA);
        return;
    }
    // Fixed buffers on the stack: no allocation can fail (or throw) here.
    uint8_t blocks[sfx::kBlocksSize];
    uint8_t* a = blocks;
    uint8_t* b = a + sfx::kBlockASize;
    uint8_t* c = b + sfx::kBlockBSize;
    if (!ReadExactlyAt(reader, blocksStart, blocks, sfx::kBlocksSize)) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    const int64_t fileLength = plat::FileLength(reader);
    sfx::PutValue(b, sfx::kFilesCountPos, filesHandled);
    sfx::PutValue(b, sfx::kArchiveLengthPos, static_cast<uint32_t>(fileLength - trailer));
    for (int i = 0; i < 4; ++i) b[sfx::kChecksumPos.at[i]] = sfx::kChecksumPlaceholder[i];

    uint32_t sum = 0;
    if (!sfx::SealChecksum(reader, a, b, c, blocksStart, headLength + trailer, fileLength, &sum)) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    sfx::PutValue(b, sfx::kChecksumPos, sum);

    sfx::KeyTables keys;
    sfx::PrepareKeyTables(keys);
    uint8_t scrambled[sfx::kBlocksSize];
    sfx::ScrambleBlock(keys, scrambled, a, sfx::kBlockASize);
    sfx::ScrambleBlock(keys, scrambled + sfx::kBlockASize, b, sfx::kBlockBSize);
    sfx::ScrambleBlock(keys, scrambled + sfx::kBlockASize + sfx::kBlockBSize, c, sfx::kBlockCSize);
    const int64_t end = rewrite.Tell();
    if (!rewrite.Seek(blocksStart) || !WriteOutput(scrambled, sfx::kBlocksSize)) return;
    rewrite.Seek(end);
}

// The archive behind the head: the head file the stub just wrote under the
// archive path is the prefix of a rewrite that adds the named files, so the
// finished self-extractor takes its place in one step (or the head stays
// alone on failure).
void BuildSfxArchive(FileMaskList* files, bool withBlocks, uint32_t trailer) {
    EngineState& e = engine();
    ArchiveState& archive = e.archive;
    SetStatus(0);
    e.options = static_cast<uint16_t>((e.options | arUpdateDone) & ~arDeleteDone);
    UpdateBuffers buffers(true);
    if (!buffers.ok()) return;
    RunLists lists;
    ReleaseArchiveComment();
    archive.end.commentLength = 0;
    archive.newArchive = true;
    archive.updateCommitted = false;

    plat::CloseFile(&archive.handle);
    archive.handle = plat::FileOpen(archive.path, plat::OpenMode::ReadOnly);
    const int64_t headLength = plat::FileLength(archive.handle);
    if (archive.handle < 0 || headLength < 0 || headLength > 0xFFFFFFFFll) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    archive.firstEntryOffset = static_cast<uint32_t>(headLength);

    Rewrite rewrite;
    if (!rewrite.Begin()) return;
    RunCompressor compressor;
    if (!compressor.ok()) return;
    const uint32_t filesHandled = AddFilesToArchive(buffers, compressor, &lists.entries, files, &lists.named);
    if (Status() == 0) rewrite.WriteCentralDirectory(&lists.entries);
    if (Status() == 0 && withBlocks) SealBlocks(rewrite, headLength, trailer, filesHandled);
    if (Status() != 0) return;
    rewrite.Commit();
}

// Drive and directory of path, then the digits of a pseudo-random number
// (at most 8) and ".$SC"; drawn again while such a file exists.
void MakeTempHeadNameImpl(const char* path, char* out) {
    char drive[kPathField], dir[kPathField];
    SplitPath(path, drive, dir, nullptr, nullptr);
    uint32_t salt = 0;
    do {
        CrtSrand(static_cast<uint32_t>(time(nullptr)) + salt++);
        char digits[16];
        snprintf(digits, sizeof digits, "%d", CrtRand());
        digits[8] = '\0';
        CopyText(out, kPathField, drive);
        AppendText(out, kPathField, dir);
        AppendText(out, kPathField, digits);
        AppendText(out, kPathField, ".$SC");
    } while (plat::PathExists(out));
}

}  // namespace

void MakeTempHeadName(const char* path, char* out) { MakeTempHeadNameImpl(path, out); }

void CreateSfx2(const char* archivePath, FileMaskList* files, SfxDesc* desc) {
    EngineState& e = engine();
    SetStatus(0);
    if (!archivePath || !desc) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    const bool secondForm = desc->form >= 3;
    const int32_t volumeChoice = desc->volumeChoice;
    if (volumeChoice < 0 || volumeChoice > 4) {
        SetStatus(VX_BAD_DATA);  // there is no volume size for such a choice
        return;
    }
    char stubPath[kPathField];
    StubPath(stubPath);

    char workPath[kPathField];
    char savedDestination[kPathField] = {};
    CopyText(workPath, kPathField, archivePath);
    uint32_t volumeSize = 0;
    if (volumeChoice != 0) {
        char temp[MAX_PATH + 16];
        if (plat::GetTempPathA(MAX_PATH, temp) == 0) {
            SetStatus(VX_CANNOT_CREATE);
            return;
        }
        if (IsDisketteTarget(archivePath)) {
            char name[kPathField], ext[kPathField];
            SplitPath(archivePath, nullptr, nullptr, name, ext);
            CopyText(workPath, kPathField, temp);
            AppendText(workPath, kPathField, name);
            AppendText(workPath, kPathField, ext);
            CopyText(savedDestination, kPathField, archivePath);
        }
        volumeSize = sfx::kVolumeSizes[volumeChoice];
    }
    CopyText(e.archive.path, kPathField, workPath);
    e.archive.cachedEndPos = -1;

    StubLibrary stub(stubPath);
    if (!stub.loaded()) {
        SetStatus(VX_STUB_NOT_FOUND);
        return;
    }
    // The target is made new: whatever stands there (a file, a link, even a
    // dangling one) is refused before the stub writes anything.
    if (plat::PathOccupied(workPath)) {
        SetStatus(VX_CANNOT_CREATE);
        return;
    }
    int32_t made;
    if (secondForm) {
        auto head2 = stub.Find<GetSfxHead2Fn>("GetSfxHead2");
        if (!head2) {
            SetStatus(VX_STUB_ENTRY_MISSING);
            return;
        }
        made = head2(workPath, 3, desc);
    } else {
        auto head = stub.Find<GetSfxHeadFn>("GetSfxHead");
        if (!head) {
            SetStatus(VX_STUB_ENTRY_MISSING);
            return;
        }
        made = head(workPath, 3, desc->form, volumeChoice != 0 ? 1 : 0, desc->text1, desc->text2);
    }
    if (made != 1) {
        // Whatever the stub left there is its own unfinished head.
        if (plat::PathOccupied(workPath)) plat::FileRemove(workPath);
        SetStatus(made == 0 ? VX_FILE_ERROR : VX_STUB_FAILURE);
        return;
    }

    BuildSfxArchive(files, secondForm, secondForm && volumeChoice != 0 ? sfx::kTrailerSize : 0);
    // No archive stays open after the call.
    plat::CloseFile(&e.archive.handle);
    if (Status() != 0) {
        // The head was made by this call (the path was free): it goes.
        plat::FileRemove(workPath);
        return;
    }
    ReleaseMaskList(files);
    plat::MarkExecutable(workPath);
    if (volumeChoice == 0) return;

    auto setNextDisk = stub.Find<SetNextDiskFn>("SetGetNextDiskProc");
    auto setReplace = stub.Find<SetReplaceFn>("SetOkToReplaceProc");
    auto resize = stub.Find<ResizeFileFn>("ResizeFile");
    auto setProgress = stub.Find<SetSfxProgressFn>("SetSetSfxProgressProc");
    if (!setNextDisk || !setReplace || !resize || !setProgress) {
        SetStatus(VX_STUB_ENTRY_MISSING);
        return;
    }
    setNextDisk(e.nextDiskProc.hostWord, e.nextDiskProc.proc);
    setProgress(e.sfxProgressProc.hostWord, e.sfxProgressProc.proc);
    setReplace(e.okToReplaceProc.hostWord, e.okToReplaceProc.proc);

    if (savedDestination[0] == '\0') {
        char tempName[kPathField];
        MakeTempHeadNameImpl(workPath, tempName);
        if (!plat::FileRename(workPath, tempName)) {
            SetStatus(VX_FILE_ERROR);
            return;
        }
        SetStatus(resize(tempName, workPath, volumeSize));
        // A failed split must not lose the finished archive: put it back.
        if (Status() == 0)
            plat::FileRemove(tempName);
        else
            plat::FileRename(tempName, workPath);
    } else {
        SetStatus(resize(workPath, savedDestination, volumeSize));
        if (Status() == 0) plat::FileRemove(workPath);
    }
}

void CreateSfx(const char* archivePath, FileMaskList* files, int32_t form, int32_t volumeChoice, const char* text1,
               const char* text2) {
    SfxDesc desc;
    memset(&desc, 0, sizeof desc);
    desc.form = form;
    desc.volumeChoice = volumeChoice;
    // The texts are cut to their fields, never copied past them.
    if (text1 && *text1) CopyText(desc.text1, sizeof desc.text1, text1);
    if (text2 && *text2) {
        // One byte past the field's room, so that a character straddling its end is seen and left out.
        size_t n = strnlen(text2, sizeof desc.text2);
        n = platform::TextCutLength(text2, n, sizeof desc.text2 - 1);
        memcpy(desc.text2, text2, n);
    }
    CreateSfx2(archivePath, files, &desc);
}

}  // namespace vardex
