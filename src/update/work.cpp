// The work buffers and lists of one update or delete run, and the reading of
// the entries the run starts from.
#include <cstdlib>

#include "api/engine.h"
#include "api/masks.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "deflate/deflate.h"
#include "update/update.h"

namespace vardex {

UpdateBuffers::UpdateBuffers(bool withOutputBuffer) {
    input_ = static_cast<uint8_t*>(AllocateWork(kUpdateInputSize));
    if (withOutputBuffer) output_ = static_cast<uint8_t*>(AllocateWork(kUpdateOutputSize));
    ok_ = input_ && (!withOutputBuffer || output_);
    if (!ok_) SetStatus(VX_OUT_OF_MEMORY);
}

UpdateBuffers::~UpdateBuffers() {
    free(input_);
    free(output_);
}

RunCompressor::RunCompressor() : state_(NewDeflateState()) {
    if (!state_) SetStatus(VX_OUT_OF_MEMORY);
}

RunCompressor::~RunCompressor() { FreeDeflateState(state_); }

RunLists::~RunLists() {
    ReleaseEntryList(&entries);
    ReleaseMaskList(&matchAll);
    ReleaseMaskList(&named);
    ReleaseMaskList(&kept);
}

void ListArchiveEntries(ZipFileList* entries, FileMaskList* matchAll) {
    if (!AppendMask("*.*", matchAll)) {
        SetStatus(VX_OUT_OF_MEMORY);
        return;
    }
    // A rewrite carries every entry over whole: extra fields, comments and
    // the archive comment are always kept.
    BuildEntryList(entries, matchAll, KeepBlocks{.extraFields = true, .comments = true});
    if (Status() != 0) return;
    for (ZipFileEntry* entry = entries->first; entry; entry = entry->next)
        for (char* c = entry->name; *c; ++c)
            if (*c == '/') *c = '\\';
    SetStatus(0);
}

}  // namespace vardex
