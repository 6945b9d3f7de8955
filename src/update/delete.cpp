// Deleting entries: the entries the masks do not match are copied unchanged
// into a new archive, which then replaces the old one.  When no entry is
// left, the archive file itself is removed.
#include <cstring>

#include "api/engine.h"
#include "api/masks.h"
#include "archive/archive.h"
#include "platform/platform.h"
#include "update/update.h"

namespace vardex {

namespace {

void FinishDelete(ZipFileList* entries, FileMaskList* matchAll, bool failed) {
    FinishUpdate(entries, matchAll, nullptr, failed);
}

void ReportDeleted(const ZipFileEntry* entry) {
    const Callback<SetFileNameProc>& proc = engine().fileNameProc;
    if (!proc) return;
    char text[kPathField] = "\\";
    AppendText(text, sizeof text, entry->name);
    proc.proc(proc.hostWord, text, text);
}

}  // namespace

void DeleteFileMaskList(const FileMaskList* masks) {
    EngineState& e = engine();
    SetStatus(0);
    e.options = static_cast<uint16_t>((e.options & ~arUpdateDone) | arDeleteDone);
    if (!AllocateUpdateBuffers(false)) return;

    ZipFileList entries{};
    FileMaskList matchAll{};
    BeginRewrite();
    if (Status() != 0) return FinishDelete(&entries, &matchAll, true);
    ListBackupEntries(&entries, &matchAll);
    if (Status() != 0) return FinishDelete(&entries, &matchAll, true);

    for (ZipFileEntry* entry = entries.first; entry;) {
        ZipFileEntry* next = entry->next;
        if (!SeekBackupTo(entry)) return FinishDelete(&entries, &matchAll, true);
        if (masks && !MaskListSelects(entry->name, masks)) {
            CopyEntry(entry);
        } else {
            ReportDeleted(entry);
            RemoveEntry(&entries, entry);
        }
        if (Status() != 0) return FinishDelete(&entries, &matchAll, true);
        entry = next;
    }

    WriteCentralDirectory(&entries);
    const uint16_t left = entries.count;
    const bool failed = Status() != 0;
    FinishDelete(&entries, &matchAll, failed);
    if (!failed && Status() == 0 && left == 0) {
        ArchiveState& a = e.archive;
        if (a.handle >= 0) platform::FileClose(a.handle);
        a.handle = -1;
        platform::FileRemove(a.path);
    }
}

}  // namespace vardex
