// What the stub library writes into the end of a self-extractor head and the
// head program reads back: the plain form of the three configuration blocks,
// the trailer of a split set, and the banner between program and blocks.
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

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/crc32.h"

namespace korval {

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

inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetU32(const uint8_t* p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

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

}  // namespace korval
