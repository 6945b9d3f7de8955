// The on-disk ZIP records as this library reads and writes them.  Every
// multi-byte field is little-endian; the structs below are packed so that
// their fixed parts can be moved to and from the file as single blocks.
//
//   [prefix, e.g. a self-extractor head]
//   per entry: local header (30) + name + extra [+ 12-byte encryption header] + data
//   central directory: per entry central header (46) + name + extra + comment
//   end record (22) + archive comment
//
// This file is the format alone: it knows nothing of the engine, so the
// self-extractor head and every layer above it read records the same way.
#pragma once

#include <cstdint>

#include "vardex32.h"

namespace vardex {

constexpr uint8_t kLocalSignature[4] = {0x50, 0x4B, 0x03, 0x04};
constexpr uint8_t kCentralSignature[4] = {0x50, 0x4B, 0x01, 0x02};
constexpr uint8_t kEndSignature[4] = {0x50, 0x4B, 0x05, 0x06};
constexpr uint8_t kZip64EndSignature[4] = {0x50, 0x4B, 0x06, 0x06};

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDataDescriptor = 0x0008;
constexpr uint16_t kFlagUtf8Name = 0x0800;

// Little-endian fields of records read or written as bytes.
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// The 18 bytes that follow the end-of-central-directory signature.
struct EndRecord {
    uint16_t diskNumber = 0;
    uint16_t centralDisk = 0;
    uint16_t entriesOnDisk = 0;
    uint16_t entriesTotal = 0;
    uint32_t centralSize = 0;
    uint32_t centralOffset = 0;
    uint16_t commentLength = 0;
};
constexpr uint32_t kEndFieldsSize = 18;
EndRecord ParseEndRecord(const uint8_t raw[kEndFieldsSize]);

#pragma pack(push, 1)
// The 26 bytes of a local header after its signature.
struct LocalFields {
    uint16_t versionNeeded;
    uint16_t flags;
    uint16_t method;
    uint16_t time;
    uint16_t date;
    uint32_t crc32;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
    uint16_t nameLength;
    uint16_t extraLength;
};
static_assert(sizeof(LocalFields) == 26, "local header fields are 26 bytes");

// The 42 bytes of a central header after its signature; the same fields, in
// the same order, as ZipFileEntry from versionMadeBy to localHeaderOffset.
struct CentralFields {
    uint16_t versionMadeBy;
    uint16_t versionNeeded;
    uint16_t flags;
    uint16_t method;
    uint16_t time;
    uint16_t date;
    uint32_t crc32;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
    uint16_t nameLength;
    uint16_t extraLength;
    uint16_t commentLength;
    uint16_t diskNumberStart;
    uint16_t internalAttributes;
    uint32_t externalAttributes;
    uint32_t localHeaderOffset;
};
static_assert(sizeof(CentralFields) == 42, "central header fields are 42 bytes");
#pragma pack(pop)

static_assert(sizeof(void*) + 42 + 256 + 2 * sizeof(void*) + 1 == sizeof(ZipFileEntry), "ZipFileEntry is packed");

// The central fields of an entry node, as one block.
inline CentralFields* FieldsOf(ZipFileEntry* e) { return reinterpret_cast<CentralFields*>(&e->versionMadeBy); }
inline const CentralFields* FieldsOf(const ZipFileEntry* e) {
    return reinterpret_cast<const CentralFields*>(&e->versionMadeBy);
}

// The local header's 26 bytes as written from an entry's central fields.
inline LocalFields LocalFromCentral(const CentralFields& c) {
    LocalFields l;
    l.versionNeeded = c.versionNeeded;
    l.flags = c.flags;
    l.method = c.method;
    l.time = c.time;
    l.date = c.date;
    l.crc32 = c.crc32;
    l.compressedSize = c.compressedSize;
    l.uncompressedSize = c.uncompressedSize;
    l.nameLength = c.nameLength;
    l.extraLength = c.extraLength;
    return l;
}

// Reads exactly count bytes at fd's position (or at `position`); false on a
// failed or short read.
bool ReadExactly(int fd, void* buffer, uint32_t count);
bool ReadExactlyAt(int fd, int64_t position, void* buffer, uint32_t count);

enum class ReadResult { Ok, AtEnd, Failed };
// Reads count bytes of a record; AtEnd when the file ends first.
ReadResult ReadRecord(int fd, void* buffer, uint32_t count);
// Reads a 4-byte record signature.
ReadResult ReadSignature(int fd, uint8_t signature[4]);

// Reads records from a position of the file on, through a block of the
// file's bytes refilled in large reads (a whole central directory of
// thousands of headers in one or a few reads), or straight from the file.
// It reads at its own position: the descriptor's is neither used nor moved.
class RecordReader {
public:
    // blockSize 0, or no memory for the block: every read goes to the file.
    RecordReader(int fd, int64_t position, uint32_t blockSize = 0);
    ~RecordReader();
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;

    // Reads count bytes; AtEnd when the file ends first.
    ReadResult Read(void* out, uint32_t count);
    void Skip(uint32_t count) { position_ += count; }
    int64_t Position() const { return position_; }
    // The file's length (asked once); -1 when it cannot be had.
    int64_t Length();

private:
    int fd_;
    int64_t position_;
    uint8_t* block_ = nullptr;
    uint32_t blockSize_ = 0;
    int64_t blockStart_ = 0;
    uint32_t blockFill_ = 0;
    int64_t length_ = -1;
};

// Searches the file for the end-of-central-directory signature, backwards
// from its end: a first window of 64 bytes, then windows of 60 bytes further
// back, each followed by the first 4 bytes of the window after it so that a
// signature lying across two windows is found.  Within a window the first
// occurrence counts; the search goes on to the start of the file, so neither
// the archive comment nor anything else behind the end record has a length
// limit.  Returns the position just behind the signature, -1 when there is
// none, or -2 when a read or seek fails.  The file position is left anywhere.
int64_t FindEndSignature(int fd);

}  // namespace vardex
