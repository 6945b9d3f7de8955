// Entry lists: the in-memory copies of central directory headers that the
// host reads and every operation works through.
//
// The directory is walked record by record from the offset the end record
// gives until the end signature; the count fields of the end record are not
// trusted.  Every record advances the file position, so the walk ends at the
// latest where the file does.
#include <cstdlib>
#include <cstring>

#include "api/engine.h"
#include "api/masks.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "platform/platform.h"

namespace vardex {

namespace {

constexpr uint16_t kMaxEntries = 0xFFFF;  // the list's count is 16-bit
// The directory is read in blocks of this size, not header by header.
constexpr uint32_t kDirectoryBlock = 256 * 1024;

}  // namespace

ZipFileEntry* AddEntry(ZipFileList* list, const CentralFields& fields, const char* name, uint8_t* comment,
                       uint8_t* extra) {
    if (list->count == kMaxEntries) return nullptr;
    void* slot = nullptr;
    if (!Allocate(&slot, sizeof(ZipFileEntry))) return nullptr;
    auto* node = static_cast<ZipFileEntry*>(memset(slot, 0, sizeof(ZipFileEntry)));
    memcpy(FieldsOf(node), &fields, sizeof fields);
    CopyText(node->name, sizeof node->name, name);
    node->comment = comment;
    node->extra = extra;
    node->selected = 1;
    if (list->last)
        list->last->next = node;
    else
        list->first = node;
    list->last = node;
    ++list->count;
    return node;
}

void RemoveEntry(ZipFileList* list, ZipFileEntry* entry) {
    if (!list || !entry) return;
    ZipFileEntry* previous = nullptr;
    ZipFileEntry* node = list->first;
    while (node && node != entry) {
        previous = node;
        node = node->next;
    }
    if (!node) return;
    if (previous)
        previous->next = node->next;
    else
        list->first = node->next;
    if (list->last == node) list->last = previous;
    --list->count;
    free(node->comment);
    free(node->extra);
    free(node);
}

void ReleaseEntryList(ZipFileList* list) {
    if (!list) return;
    ZipFileEntry* node = list->first;
    while (node) {
        ZipFileEntry* next = node->next;
        free(node->comment);
        free(node->extra);
        free(node);
        node = next;
    }
    list->first = list->last = nullptr;
    list->count = 0;
}

KeepBlocks KeepBlocksFromOptions() { return {OptionsOn(arKeepExtraFields), OptionsOn(arKeepComments)}; }

uint16_t BuildEntryList(ZipFileList* list, const FileMaskList* masks, KeepBlocks keep) {
    ArchiveState& a = engine().archive;
    if (SearchEndRecord() != 0) return Status();
    if (ReadEndRecord() != 0) {
        ReleaseArchiveComment();
        return Status();
    }
    if (!keep.extraFields) ReleaseArchiveComment();
    RecordReader in(a.handle, a.end.centralOffset, kDirectoryBlock);
    // The archive's descriptor is left where the walk ended, as if it had
    // read the headers itself.
    struct Leave {
        RecordReader& in;
        int fd;
        ~Leave() { platform::FileSeek(fd, in.Position(), SEEK_SET); }
    } leave{in, a.handle};

    for (;;) {
        uint8_t signature[4];
        switch (in.Read(signature, sizeof signature)) {
            case ReadResult::Ok: break;
            case ReadResult::Failed: return SetStatus(VX_FILE_ERROR);
            // The file ends before the directory does.
            case ReadResult::AtEnd: return SetStatus(VX_BAD_DATA);
        }
        // Writers that stream (zip to a pipe) put the Zip64 end record and its
        // locator between the directory and the end record: the directory
        // ends there too.
        if (memcmp(signature, kEndSignature, 4) == 0 || memcmp(signature, kZip64EndSignature, 4) == 0)
            return SetStatus(list->count == 0 ? VX_NOTHING_SELECTED : 0);
        if (memcmp(signature, kCentralSignature, 4) != 0) return SetStatus(VX_BAD_DATA);

        CentralFields fields;
        char name[kTextField];
        uint8_t* comment = nullptr;
        uint8_t* extra = nullptr;
        const uint16_t status = ReadCentralHeader(in, &fields, name, &comment, &extra, keep);
        if (status != 0) return SetStatus(status);
        if (!masks || MaskListSelects(name, masks)) {
            if (list->count == kMaxEntries) {
                free(comment);
                free(extra);
                return SetStatus(VX_BAD_DATA);
            }
            if (!AddEntry(list, fields, name, comment, extra)) {
                free(comment);
                free(extra);
                return SetStatus(VX_OUT_OF_MEMORY);
            }
        } else {
            // Blocks of a record that is not listed belong to nobody.
            free(comment);
            free(extra);
        }
    }
}

}  // namespace vardex
