// Archive access used by every operation: reading records, the end-record
// search, and the entry-list nodes.
#pragma once

#include <cstdint>

#include "archive/records.h"
#include "vardex32.h"

namespace vardex {

// Which of an entry's blocks a read keeps on the heap.  Operations choose
// for themselves; a host's BuildZipFileList gets what its options say.
struct KeepBlocks {
    bool extraFields = false;  // also keeps the archive comment
    bool comments = false;
};
KeepBlocks KeepBlocksFromOptions();

// Reads a name of declared length at fd's position into out[256] (at most
// 255 bytes kept, converted to the working form as the flags say) and moves
// past the bytes not kept.  False on a read or seek failure.
bool ReadName(int fd, uint16_t length, uint16_t flags, char* out);

// Reads one central header after its signature: the 42 fixed bytes, the name
// (into name[256]), then the extra field and the comment, each as a heap
// block when `keep` says so (else skipped).  Returns 0, 5, 8 or 9964 (the
// header runs past the end of the file), not stored; on failure no block is
// left.
uint16_t ReadCentralHeader(int fd, CentralFields* fields, char* name, uint8_t** comment, uint8_t** extra,
                           KeepBlocks keep);
// The same from a reader's position.
uint16_t ReadCentralHeader(RecordReader& in, CentralFields* fields, char* name, uint8_t** comment, uint8_t** extra,
                           KeepBlocks keep);

// Positions the engine's archive just behind the end signature (cached after
// the first search).  Returns and sets the status: 0, 5 or 9966.
uint16_t SearchEndRecord();

// Reads the 18 fixed bytes and the archive comment into the engine state
// (after SearchEndRecord).  Returns and sets the status: 0, 5 or 8.
uint16_t ReadEndRecord();

// Releases the archive comment held in the engine state (length kept as read).
void ReleaseArchiveComment();

// Appends a node holding the fields, the name and the two blocks (taken over
// by the node); selected := 1.  Null when memory runs out or the list holds
// 65,535 nodes already (its count is 16-bit); the blocks then stay the
// caller's.
ZipFileEntry* AddEntry(ZipFileList* list, const CentralFields& fields, const char* name, uint8_t* comment,
                       uint8_t* extra);

// Unlinks the node from the list and releases it with its blocks; a node not
// in the list is ignored.
void RemoveEntry(ZipFileList* list, ZipFileEntry* entry);

// Releases every node with its blocks; the list becomes empty.
void ReleaseEntryList(ZipFileList* list);

// Appends a node for every central directory record of the engine's archive
// that the masks select (null or empty: all), keeping the blocks `keep` names.  Returns and sets the status:
// 0, 5, 8, 9964 (bad signature, a directory that runs off the end of the
// file, or more than 65,535 nodes), 9966 or 19906 (the list ends empty).
uint16_t BuildEntryList(ZipFileList* list, const FileMaskList* masks, KeepBlocks keep);

// Learns the first entry offset and the archive comment of the held
// archive (as the open does); the cached end position is forgotten after.
void ScanHeldArchive();

// InitZipFile, CreateZipFile and DoneZipFile.
void OpenArchive(const char* path);
void CreateArchive(const char* path);
void CloseArchive();

}  // namespace vardex
