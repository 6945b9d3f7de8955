// The configuration blocks at the end of a self-extractor head, their
// checksum and their scrambling.  Shared by the library, which fills and
// scrambles them, and by the head program, which unscrambles and verifies
// them; both must use the same key tables.
//
// Layout: the last 6,967 bytes of the head (or the 6,967 bytes that end 28
// bytes before its end, when a trailer follows for a split set) hold block A
// (3,556 bytes), block B (1,599) and block C (1,812), in file order.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace vardex::sfx
