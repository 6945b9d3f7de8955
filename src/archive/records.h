// The on-disk ZIP records as this library reads and writes them.  Every
// multi-byte field is little-endian; the structs below are packed so that
// their fixed parts can be moved to and from the file as single blocks.
//
//   [prefix, e.g. a self-extractor head]
//   per entry: local header (30) + name + extra [+ 12-byte encryption header] + data
//   central directory: per entry central header (46) + name + extra + comment
//   end record (22) + archive comment
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

}  // namespace vardex
