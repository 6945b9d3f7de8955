// Reading the records of the open archive into the engine's forms: names,
// central headers and the end record.  All reads go through the descriptor;
// a read that comes up short because the file ends is treated like a failed
// read, so a header whose lengths run past the end of the file never yields
// garbage.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "api/engine.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "common/crc32.h"
#include "platform/platform.h"

namespace vardex {

namespace {

// Reads a declared block (extra field or comment) into a fresh heap block, or
// skips it.  0, 5 or 8; *out stays null unless the block was read whole.
uint16_t ReadOrSkipBlock(RecordReader& in, uint16_t length, bool keep, uint8_t** out) {
    *out = nullptr;
    if (length == 0) return 0;
    if (!keep) {
        in.Skip(length);
        return 0;
    }
    void* slot = nullptr;
    if (!Allocate(&slot, length)) return VX_OUT_OF_MEMORY;
    auto* block = static_cast<uint8_t*>(slot);
    if (in.Read(block, length) != ReadResult::Ok) {
        free(block);
        return VX_FILE_ERROR;
    }
    *out = block;
    return 0;
}

}  // namespace

bool ReadName(int fd, uint16_t length, uint16_t flags, char* out) {
    out[0] = '\0';
    const uint16_t kept = length < kMaxText ? length : static_cast<uint16_t>(kMaxText);
    uint8_t raw[kMaxText] = {};
    if (!ReadExactly(fd, raw, kept)) return false;
    NameFromStored(raw, kept, flags, out);
    // The bytes not kept are passed over so that what follows the name is
    // read from its own start.
    if (length > kept && platform::FileSeek(fd, length - kept, SEEK_CUR) < 0) return false;
    return true;
}

namespace {

// The Unicode path extra field (0x7075): version 1, the CRC-32 of the name
// field it stands for, then the name in UTF-8.  Its name counts only while
// that CRC matches: a tool that renamed the entry without knowing the field
// left a stale one behind.
bool UnicodePathOf(const uint8_t* extra, size_t extraLength, const uint8_t* stored, size_t storedLength,
                   const uint8_t** name, size_t* nameLength) {
    for (size_t p = 0; p + 4 <= extraLength;) {
        const uint16_t tag = Le16(extra + p);
        const size_t size = Le16(extra + p + 2);
        if (p + 4 + size > extraLength) return false;
        const uint8_t* body = extra + p + 4;
        if (tag == 0x7075 && size > 5 && body[0] == 1 &&
            Le32(body + 1) == ~CrcUpdate(0xFFFFFFFFu, stored, storedLength) && platform::IsUtf8(body + 5, size - 5)) {
            *name = body + 5;
            *nameLength = size - 5;
            return true;
        }
        p += 4 + size;
    }
    return false;
}

// The working name of a central header.  Flag bit 11 says UTF-8; without it
// a matching Unicode path field gives the name, then a name from a host that
// stores UTF-8 is taken as UTF-8 when it is well-formed, and anything else
// is the OEM code page.  A name taken as UTF-8 gets bit 11 in the fields, so
// that a rewrite stores the same bytes again and says what they are.
void DecodeCentralName(CentralFields* fields, const uint8_t* stored, const uint8_t* extra, char* out) {
    const size_t storedLength = fields->nameLength;
    const uint8_t* bytes = stored;
    size_t length = storedLength;
    if (stored && (fields->flags & kFlagUtf8Name) == 0) {
        bool ascii = true;
        for (size_t i = 0; i < storedLength; ++i)
            if (stored[i] >= 0x80) ascii = false;
        if (UnicodePathOf(extra, extra ? fields->extraLength : 0, stored, storedLength, &bytes, &length)) {
            fields->flags |= kFlagUtf8Name;
        } else if (!ascii && platform::HostStoresUtf8(static_cast<uint8_t>(fields->versionMadeBy >> 8)) &&
                   platform::IsUtf8(stored, storedLength)) {
            fields->flags |= kFlagUtf8Name;
        }
    }
    static const uint8_t kEmpty[1] = {0};
    NameFromStored(bytes ? bytes : kEmpty, length < kMaxText ? length : kMaxText, fields->flags, out);
}

}  // namespace

uint16_t ReadCentralHeader(int fd, CentralFields* fields, char* name, uint8_t** comment, uint8_t** extra,
                           KeepBlocks keep) {
    const int64_t position = platform::FileTell(fd);
    if (position < 0) return VX_FILE_ERROR;
    RecordReader in(fd, position);
    const uint16_t status = ReadCentralHeader(in, fields, name, comment, extra, keep);
    // The descriptor moves on as if it had read the header itself.
    if (platform::FileSeek(fd, in.Position(), SEEK_SET) < 0 && status == 0) {
        free(*comment);
        free(*extra);
        *comment = nullptr;
        *extra = nullptr;
        return VX_FILE_ERROR;
    }
    return status;
}

uint16_t ReadCentralHeader(RecordReader& in, CentralFields* fields, char* name, uint8_t** comment, uint8_t** extra,
                           KeepBlocks keep) {
    *comment = nullptr;
    *extra = nullptr;
    name[0] = '\0';
    switch (in.Read(fields, sizeof *fields)) {
        case ReadResult::Ok: break;
        case ReadResult::Failed: return VX_FILE_ERROR;
        case ReadResult::AtEnd: return VX_BAD_DATA;
    }
    // A header whose name, extra field and comment run past the end of the
    // file is damaged: nothing of it is read.
    const int64_t position = in.Position();
    const int64_t length = in.Length();
    if (position < 0 || length < 0) return VX_FILE_ERROR;
    if (position + fields->nameLength + fields->extraLength + fields->commentLength > length) return VX_BAD_DATA;
    // The name is decoded once the extra field is read: it may hold the
    // name's Unicode form.  Both are read whole; the working copies are the
    // reader's own, and only a kept extra field becomes the entry's block.
    std::unique_ptr<uint8_t[]> stored(new (std::nothrow) uint8_t[fields->nameLength + 1u]);
    if (!stored) return VX_OUT_OF_MEMORY;
    if (fields->nameLength != 0 && in.Read(stored.get(), fields->nameLength) != ReadResult::Ok) return VX_FILE_ERROR;
    std::unique_ptr<uint8_t[]> scratch;
    uint8_t* fieldBlock = nullptr;
    if (keep.extraFields) {
        const uint16_t status = ReadOrSkipBlock(in, fields->extraLength, true, extra);
        if (status != 0) return status;
        fieldBlock = *extra;
    } else if (fields->extraLength != 0) {
        scratch.reset(new (std::nothrow) uint8_t[fields->extraLength]);
        if (!scratch) return VX_OUT_OF_MEMORY;
        if (in.Read(scratch.get(), fields->extraLength) != ReadResult::Ok) return VX_FILE_ERROR;
        fieldBlock = scratch.get();
    }
    DecodeCentralName(fields, stored.get(), fieldBlock, name);
    const uint16_t status = ReadOrSkipBlock(in, fields->commentLength, keep.comments, comment);
    if (status != 0) {
        free(*extra);
        *extra = nullptr;
    }
    return status;
}

void ReleaseArchiveComment() {
    ArchiveState& a = engine().archive;
    free(a.comment);
    a.comment = nullptr;
}

uint16_t ReadEndRecord() {
    ArchiveState& a = engine().archive;
    ReleaseArchiveComment();
    uint8_t raw[kEndFieldsSize];
    if (!ReadExactly(a.handle, raw, sizeof raw)) {
        SetStatus(VX_FILE_ERROR);
        return VX_FILE_ERROR;
    }
    a.end = ParseEndRecord(raw);
    if (a.end.commentLength != 0) {
        void* slot = nullptr;
        if (!Allocate(&slot, a.end.commentLength)) {
            SetStatus(VX_OUT_OF_MEMORY);
            return VX_OUT_OF_MEMORY;
        }
        a.comment = static_cast<uint8_t*>(slot);
        int32_t got = platform::FileRead(a.handle, a.comment, a.end.commentLength);
        if (got < 0) {
            ReleaseArchiveComment();
            SetStatus(VX_FILE_ERROR);
            return VX_FILE_ERROR;
        }
        // A comment cut short by the end of the file keeps what is there, and
        // its length says so, so that a rewrite writes a consistent record.
        a.end.commentLength = static_cast<uint16_t>(got);
        if (got == 0) ReleaseArchiveComment();
    }
    SetStatus(0);
    return 0;
}

}  // namespace vardex
