// Deleting entries: the entries the masks do not match are copied unchanged
// into a new archive, which then replaces the old one.  When no entry is
// left, the archive file itself is removed.
#include <cstring>

#include "api/engine.h"
#include "api/masks.h"
#include "archive/archive.h"
#include "archive/rewrite.h"
#include "platform/platform.h"
#include "update/update.h"

namespace vardex {

namespace {

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
    UpdateBuffers buffers(false);
    if (!buffers.ok()) return;

    RunLists lists;
    Rewrite rewrite;
    if (!rewrite.Begin()) return;
    ListArchiveEntries(&lists.entries, &lists.matchAll);
    if (Status() != 0) return;

    for (ZipFileEntry* entry = lists.entries.first; entry;) {
        ZipFileEntry* next = entry->next;
        if (masks && !MaskListSelects(entry->name, masks)) {
            rewrite.CopyEntry(entry);
        } else {
            ReportDeleted(entry);
            RemoveEntry(&lists.entries, entry);
        }
        if (Status() != 0) return;
        entry = next;
    }

    rewrite.WriteCentralDirectory(&lists.entries);
    if (Status() != 0) return;
    const uint16_t left = lists.entries.count;
    rewrite.Commit();
    if (Status() == 0 && left == 0) {
        // No entry left: the archive file goes as well.
        ArchiveState& a = e.archive;
        platform::CloseFile(&a.handle);
        platform::FileRemove(a.path);
    }
}

}  // namespace vardex
