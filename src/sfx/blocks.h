// The configuration blocks at the end of a self-extractor head, their
// checksum and their scrambling.  Shared by the library, which fills and
// scrambles them, and by the head program, which unscrambles and verifies
// them; both must use the same key tables.
//
// Layout: the last 6,967 bytes of the head (or the 6,967 bytes that end 28
// bytes before its end, when a trailer follows for a split set) hold block A
// (3,556 bytes), block B (1,599) and block C (1,812), in file order.  What
// the stub library writes into them and the head program reads back:
//
// Block A   0  magic "VXSFX-A2" (second form) or "VXSFX-A1" (first form, never scrambled)
//           8  u32 flags (SfxDesc word 0; bit 0: overwrite existing files without asking)
//          12  i32 form, 16 i32 volume choice, 20 u32 split (1 when a trailer follows)
//          24  char[256] default directory (SfxDesc stub data bytes 0..255)
//         280  char[256] title (text 1)
//         536  u32 CRC-32 of the program and banner (everything in front of the blocks)
//         540  u32 length of the program and banner
//         544  u32 CRC-32 of block A's bytes 0..535 and of block C, the texts
//         548  pseudo-random filler to the end of the block
// Block B      pseudo-random filler; the library writes the files count, the
//              archive length and the checksum at their fixed positions
// Block C   0  char[1032] message shown before extracting (text 2)
//        1032  filler; 1804 magic "VXSFX-C!"
// Trailer   0  magic "VXSFXTRL", 8 u32 volume choice, 12 u32 volume size, 16..27 zero
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/crc32.h"

namespace vardex::sfx {

constexpr uint32_t kBlockASize = 3556;
constexpr uint32_t kBlockBSize = 1599;
constexpr uint32_t kBlockCSize = 1812;
constexpr uint32_t kBlocksSize = kBlockASize + kBlockBSize + kBlockCSize;  // 6,967
constexpr uint32_t kTrailerSize = 28;
constexpr uint32_t kChecksumStart = 0x0072006E;
constexpr uint32_t kPieceSize = 16384;

// Byte positions in block B of the three values, most significant byte first.
struct ValuePositions {
    uint16_t at[4];  // bits 24-31, 16-23, 8-15, 0-7
};
constexpr ValuePositions kFilesCountPos = {{127, 383, 1087, 863}};
constexpr ValuePositions kArchiveLengthPos = {{799, 511, 1023, 255}};
constexpr ValuePositions kChecksumPos = {{767, 1215, 319, 991}};
// What the checksum positions hold while the checksum is computed.
constexpr uint8_t kChecksumPlaceholder[4] = {0x32, 0x31, 0x2E, 0x34};

// Volume sizes for volume choices 1 to 4 (index 0 unused).
constexpr uint32_t kVolumeSizes[5] = {0, 362496, 730112, 1213952, 1457664};

void PutValue(uint8_t* blockB, const ValuePositions& pos, uint32_t value);
uint32_t GetValue(const uint8_t* blockB, const ValuePositions& pos);

// XOR of the sign-extended little-endian 4-byte groups; trailing 1-3 bytes
// are not included.
uint32_t SfxChecksum(const uint8_t* bytes, int32_t length, uint32_t value);

// The checksum that seals a head: the three blocks in plain form (their
// checksum positions holding the placeholders) from kChecksumStart, then the
// file fd from its start to the blocks and from headEnd (trailer included)
// to fileLength, in pieces of kPieceSize.  False when the file cannot be read.
bool SealChecksum(int fd, const uint8_t* a, const uint8_t* b, const uint8_t* c, int64_t blocksStart, int64_t headEnd,
                  int64_t fileLength, uint32_t* sum);

struct KeyTables {
    uint8_t first[32];
    uint8_t second[32];
};
// Fills both tables from their constants and mixes them.
void PrepareKeyTables(KeyTables& keys);
// out[i] := ((in[n-1-i] ^ ((n-1-i) & 0xFF)) ^ first[i % 32]) - second[i % 32]
void ScrambleBlock(const KeyTables& keys, uint8_t* out, const uint8_t* in, int32_t n);
// The inverse: in := UnscrambleBlock(ScrambleBlock(in)).
void UnscrambleBlock(const KeyTables& keys, uint8_t* out, const uint8_t* in, int32_t n);

// --- what the stub writes into the blocks and the head reads back ---------

constexpr char kMagicSecond[8] = {'V', 'X', 'S', 'F', 'X', '-', 'A', '2'};
constexpr char kMagicFirst[8] = {'V', 'X', 'S', 'F', 'X', '-', 'A', '1'};
constexpr char kMagicC[8] = {'V', 'X', 'S', 'F', 'X', '-', 'C', '!'};
constexpr char kMagicTrailer[8] = {'V', 'X', 'S', 'F', 'X', 'T', 'R', 'L'};

constexpr uint32_t kFlagsAt = 8;
constexpr uint32_t kFormAt = 12;
constexpr uint32_t kVolumeChoiceAt = 16;
constexpr uint32_t kSplitAt = 20;
constexpr uint32_t kDefaultDirAt = 24;
constexpr uint32_t kTitleAt = 280;
constexpr uint32_t kProgramCrcAt = 536;
constexpr uint32_t kProgramLengthAt = 540;
constexpr uint32_t kConfigCrcAt = 544;
constexpr uint32_t kFillerAAt = 548;
constexpr uint32_t kMessageAt = 0;
constexpr uint32_t kMessageSize = 1032;
constexpr uint32_t kMagicCAt = 1804;

constexpr uint32_t kFlagOverwrite = 1;

constexpr const char kBanner[] =
    "\n\nThis file is a Vardex self-extracting ZIP archive. Run it to extract its files "
    "(-d DIR to choose where, -l to list, -o to overwrite); any ZIP tool can read it too.\n\n";

// Deterministic filler, so that the same request always gives the same head.
inline void Fill(uint8_t* p, uint32_t n, uint32_t seed) {
    uint32_t x = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        p[i] = static_cast<uint8_t>(x >> 11);
    }
}

// Copies a text into a field of `size` bytes, always terminated, never past it.
inline void PutText(uint8_t* field, uint32_t size, const char* text) {
    memset(field, 0, size);
    if (!text) return;
    size_t n = strnlen(text, size - 1);
    memcpy(field, text, n);
}

// The name of volume `volume` (2, 3, ...) of a split set whose first volume
// is `first`: "pack.sfx" -> "pack.s01", "pack.s02", ...
inline std::string VolumeName(const std::string& first, uint32_t volume) {
    size_t sep = first.find_last_of("\\/:");
    size_t dot = first.find_last_of('.');
    std::string base =
        (dot != std::string::npos && (sep == std::string::npos || dot > sep)) ? first.substr(0, dot) : first;
    char ext[16];
    snprintf(ext, sizeof ext, ".s%02u", volume - 1);
    return base + ext;
}

// The CRC-32 that seals the texts: block A up to the program CRC, and block C.
// The design's checksum misses changes hidden behind a sign-extended byte, so
// the head checks these with a real CRC as well.
inline uint32_t ConfigCrc(const uint8_t* blockA, const uint8_t* blockC, uint32_t blockCSize) {
    uint32_t crc = vardex::CrcUpdate(0xFFFFFFFFu, blockA, kProgramCrcAt);
    return ~vardex::CrcUpdate(crc, blockC, blockCSize);
}

}  // namespace vardex::sfx
