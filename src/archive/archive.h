// Archive access used by every operation: reading records, the end-record
// search, and the entry-list nodes.
#pragma once

#include <cstdint>

#include "archive/records.h"
#include "vardex32.h"

namespace vardex {

// Reads a name of declared length at fd's position into out[256] (at most
// 255 bytes kept, converted to the working form as the flags say) and moves
// past the bytes not kept.  False on a read or seek failure.
bool ReadName(int fd, uint16_t length, uint16_t flags, char* out);

// Positions the engine's archive just behind the end signature (cached after
// the first search).  Returns and sets the status: 0, 5 or 9966.
uint16_t SearchEndRecord();

// Reads the 18 fixed bytes and the archive comment into the engine state
// (after SearchEndRecord).  Returns and sets the status: 0, 5 or 8.
uint16_t ReadEndRecord();

// Releases the archive comment held in the engine state (length kept as read).
void ReleaseArchiveComment();

// Appends a node holding the fields, the name and the two blocks (taken over
// by the node); selected := 1.  Null when memory runs out (caller: status 8).
ZipFileEntry* AddEntry(ZipFileList* list, const CentralFields& fields, const char* name, uint8_t* comment,
                       uint8_t* extra);

// Unlinks the node from the list and releases it with its blocks; a node not
// in the list is ignored.
void RemoveEntry(ZipFileList* list, ZipFileEntry* entry);

}  // namespace vardex
