#include "sfx/blocks.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace vardex::sfx {

namespace {
// Any 32 bytes will do, as long as the library and the head use the same.
constexpr uint8_t kFirstKeys[32] = {0x4B, 0x6F, 0x72, 0x76, 0x61, 0x6C, 0x21, 0x9E, 0x03, 0xD7, 0x58,
                                    0xA2, 0x11, 0xF0, 0x3C, 0x8D, 0x66, 0xB9, 0x27, 0xE4, 0x7A, 0x05,
                                    0xC3, 0x94, 0x5F, 0x1E, 0xAB, 0x70, 0xDA, 0x32, 0x89, 0x4D};
constexpr uint8_t kSecondKeys[32] = {0x56, 0x61, 0x72, 0x64, 0x65, 0x78, 0x13, 0xC1, 0x7F, 0x2A, 0xE9,
                                     0x84, 0x35, 0x0B, 0xD2, 0x6E, 0x99, 0x40, 0xF7, 0x1B, 0xA6, 0x5D,
                                     0xCE, 0x08, 0x73, 0xB1, 0x2F, 0xE0, 0x47, 0x9A, 0x15, 0xBC};
}  // namespace

void PutValue(uint8_t* blockB, const ValuePositions& pos, uint32_t value) {
    blockB[pos.at[0]] = static_cast<uint8_t>(value >> 24);
    blockB[pos.at[1]] = static_cast<uint8_t>(value >> 16);
    blockB[pos.at[2]] = static_cast<uint8_t>(value >> 8);
    blockB[pos.at[3]] = static_cast<uint8_t>(value);
}

uint32_t GetValue(const uint8_t* blockB, const ValuePositions& pos) {
    return static_cast<uint32_t>(blockB[pos.at[0]]) << 24 | static_cast<uint32_t>(blockB[pos.at[1]]) << 16 |
           static_cast<uint32_t>(blockB[pos.at[2]]) << 8 | blockB[pos.at[3]];
}

uint32_t SfxChecksum(const uint8_t* bytes, int32_t length, uint32_t value) {
    // Each byte is taken as signed and widened with its sign, so a byte of
    // 0x80 or more sets every higher bit of its term.
    auto s = [](uint8_t b) { return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(b))); };
    for (int32_t i = 0; i + 4 <= length; i += 4)
        value ^= s(bytes[i]) | s(bytes[i + 1]) << 8 | s(bytes[i + 2]) << 16 | s(bytes[i + 3]) << 24;
    return value;
}

bool SealChecksum(int fd, const uint8_t* a, const uint8_t* b, const uint8_t* c, int64_t blocksStart, int64_t headEnd,
                  int64_t fileLength, uint32_t* sum) {
    uint32_t value = SfxChecksum(a, kBlockASize, kChecksumStart);
    value = SfxChecksum(b, kBlockBSize, value);
    value = SfxChecksum(c, kBlockCSize, value);
    uint8_t piece[kPieceSize];  // on the stack: nothing to allocate, nothing to fail
    auto over = [&](int64_t from, int64_t to) {
        if (platform::FileSeek(fd, from, SEEK_SET) != from) return false;
        while (from < to) {
            uint32_t n = static_cast<uint32_t>(to - from < kPieceSize ? to - from : kPieceSize);
            if (platform::FileRead(fd, piece, n) != static_cast<int32_t>(n)) return false;
            value = SfxChecksum(piece, static_cast<int32_t>(n), value);
            from += n;
        }
        return true;
    };
    if (!over(0, blocksStart) || !over(headEnd, fileLength)) return false;
    *sum = value;
    return true;
}

void PrepareKeyTables(KeyTables& keys) {
    memcpy(keys.first, kFirstKeys, 32);
    memcpy(keys.second, kSecondKeys, 32);
    for (int i = 0; i < 32; ++i) {
        int j = 31 - i;
        uint8_t old = keys.second[i];
        keys.first[j] ^= old;
        keys.second[i] = static_cast<uint8_t>(keys.first[j] + old);
    }
}

void ScrambleBlock(const KeyTables& keys, uint8_t* out, const uint8_t* in, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        int32_t j = n - 1 - i;
        out[i] = static_cast<uint8_t>(((in[j] ^ (j & 0xFF)) ^ keys.first[i % 32]) - keys.second[i % 32]);
    }
}

void UnscrambleBlock(const KeyTables& keys, uint8_t* out, const uint8_t* in, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        int32_t j = n - 1 - i;
        out[j] = static_cast<uint8_t>(((in[i] + keys.second[i % 32]) ^ keys.first[i % 32]) ^ (j & 0xFF));
    }
}

}  // namespace vardex::sfx
