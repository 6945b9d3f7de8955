// The compressor's inner interface, shared by its three stages:
//
//   matcher.cpp  reads the source into a sliding window, finds repeated
//                strings and records literals and (length, distance) pairs;
//   blocks.cpp   keeps the symbols of the current block, builds Huffman codes
//                and emits each block as stored, fixed or dynamic;
//   output.cpp   packs bits least significant first into an 8,192-byte
//                buffer and writes it (encrypted when asked) to the archive.
//
// The hot steps (recording a symbol, sending bits) are inline here so the
// per-byte loops stay free of calls.  Everything one compression works on
// lives in one DeflateState, passed to every step: the compressor touches
// no global state, so several states may compress at once on several
// threads.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/deflate_format.h"
#include "deflate/deflate.h"

namespace vardex::deflate {

// ---------------------------------------------------------------------------
// Constants of the format and of this encoder
// ---------------------------------------------------------------------------
constexpr uint32_t kWindowSize = 65536;     // two halves of 32,768 bytes
constexpr uint32_t kHalfWindow = 32768;
constexpr uint32_t kHashSize = 32768;       // 15-bit hash of three bytes
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 258;
constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;  // 262
constexpr uint32_t kMaxDistance = kHalfWindow - kMinLookahead; // 32,506
constexpr uint32_t kSlideAt = kHalfWindow + kMaxDistance;      // 65,274
constexpr uint32_t kTooFar = 4096;

constexpr uint32_t kLiteralBufferSize = 16384;
constexpr uint32_t kLiteralLimit = kLiteralBufferSize - 1;  // a block ends at 16,383 symbols
constexpr uint32_t kDistanceLimit = 16384;                  // ... or at 16,384 matches

constexpr int kLiterals = 256;
constexpr int kEndBlock = 256;
constexpr int kLengthCodes = 29;
constexpr int kLitCodes = kLiterals + 1 + kLengthCodes;  // 286
constexpr int kFixedLitCodes = 288;
constexpr int kDistCodes = 30;
constexpr int kLengthTreeCodes = 19;                     // the code-length alphabet
constexpr int kMaxBits = 15;
constexpr int kMaxLengthTreeBits = 7;
constexpr int kHeapSize = 2 * kLitCodes + 1;             // 573

constexpr uint32_t kOutputBufferSize = 8192;

// ---------------------------------------------------------------------------
// Where the bytes come from and go to.  DeflateEntry reads and writes file
// descriptors; the same code runs over memory for tests and benchmarks.
// ---------------------------------------------------------------------------
struct DeflateStreams {
    // Bytes read (0 at the end), -1 on failure.
    int32_t (*read)(void* context, void* buffer, uint32_t count) = nullptr;
    // Bytes written; fewer than count means the device is full.
    int32_t (*write)(void* context, const void* buffer, uint32_t count) = nullptr;
    void* context = nullptr;
};

// Compresses everything `streams` reads.  io.source and io.output are not
// used; the rest of io is as for DeflateEntry.
uint16_t DeflateStream(DeflateState& s, const DeflateIo& io, const DeflateStreams& streams,
                       DeflateOutcome* outcome);

// ---------------------------------------------------------------------------
// Block tables (blocks.cpp)
// ---------------------------------------------------------------------------
// One tree node.  While a tree is built `freq` and `parent` are used, after
// it `code` (already bit-reversed for output) and `len`.
struct TreeNode {
    uint16_t freq;
    uint16_t code;
    uint16_t parent;
    uint16_t len;
};

struct TreeDesc {
    TreeNode* tree;            // the dynamic tree
    const TreeNode* fixed;     // the matching fixed tree, or none
    const uint8_t* extraBits;  // extra bits per code from extraBase on
    int extraBase;             // first code that has extra bits
    int leaves;
    int maxLength;
    int maxCode;               // largest code with a non-zero frequency (per block)
};

enum class TextGuess : uint8_t { Undecided, Binary, Text };

// The per-run allocation: symbol buffers, trees and the block accounting.
struct BlockTables {
    uint8_t literals[kLiteralBufferSize];   // literal byte, or match length - 3
    uint16_t distances[kDistanceLimit];     // distance - 1 per match
    uint8_t flags[kLiteralBufferSize / 8];  // 1 bit per symbol, 1 = match
    uint32_t symbolCount;
    uint32_t matchCount;
    uint32_t flagCount;
    uint8_t flagByte;
    uint8_t flagBit;

    TreeNode litTree[kHeapSize];
    TreeNode distTree[2 * kDistCodes + 1];
    TreeNode lengthTree[2 * kLengthTreeCodes + 1];
    TreeNode fixedLit[kFixedLitCodes];
    TreeNode fixedDist[kDistCodes];
    TreeDesc litDesc;
    TreeDesc distDesc;
    TreeDesc lengthDesc;

    uint16_t heap[kHeapSize];  // heap from element 1; the sorted list fills the top end
    int heapLen;
    int heapMax;
    uint8_t depth[kHeapSize];
    uint16_t lengthCounts[kMaxBits + 1];

    int64_t dynamicBits;  // this block with dynamic codes, tree description included
    int64_t fixedBits;    // this block with the fixed codes
    uint64_t totalBits;   // the entry so far (64 bits: entries may exceed 256 MiB)

    TextGuess guess;
};

// Extra bits of the length codes 257..285 and of the distance codes.
inline constexpr const uint8_t* kLengthExtra = kDeflateLengthExtra;
inline constexpr const uint8_t* kDistanceExtra = kDeflateDistanceExtra;

// The static code tables: base value of each length and distance code, the
// code of each length - 3, and the code of each distance - 1 (below 256
// directly, above through 256 + ((distance - 1) >> 7)).  Made at compile
// time, so they are shared read-only by every compressor.
struct CodeTables {
    uint16_t baseLength[kLengthCodes];
    uint8_t lengthCode[256];
    uint16_t baseDistance[kDistCodes];
    uint8_t distanceCode[512];
};

constexpr CodeTables MakeCodeTables() {
    CodeTables t{};
    int length = 0;
    int code;
    for (code = 0; code < kLengthCodes - 1; ++code) {
        t.baseLength[code] = static_cast<uint16_t>(length);
        for (int n = 0; n < (1 << kLengthExtra[code]); ++n) t.lengthCode[length++] = static_cast<uint8_t>(code);
    }
    // Length 258 has a code of its own (285) rather than the last of 284's range.
    t.baseLength[code] = 255;
    t.lengthCode[255] = static_cast<uint8_t>(code);

    int distance = 0;
    for (code = 0; code < 16; ++code) {
        t.baseDistance[code] = static_cast<uint16_t>(distance);
        for (int n = 0; n < (1 << kDistanceExtra[code]); ++n) t.distanceCode[distance++] = static_cast<uint8_t>(code);
    }
    distance >>= 7;  // from here on the table is indexed by distance >> 7
    for (; code < kDistCodes; ++code) {
        t.baseDistance[code] = static_cast<uint16_t>(distance << 7);
        for (int n = 0; n < (1 << (kDistanceExtra[code] - 7)); ++n) {
            t.distanceCode[256 + distance++] = static_cast<uint8_t>(code);
        }
    }
    return t;
}

inline constexpr CodeTables kCodes = MakeCodeTables();

inline uint8_t DistanceCode(uint32_t distanceMinusOne) {
    return distanceMinusOne < 256 ? kCodes.distanceCode[distanceMinusOne]
                                  : kCodes.distanceCode[256 + (distanceMinusOne >> 7)];
}

// Records a literal (distance 0, value = the byte) or a match (distance >= 1,
// value = length - 3).  True when the block's buffers are full.
inline bool RecordSymbol(BlockTables& b, uint32_t distance, uint32_t value) {
    b.literals[b.symbolCount++] = static_cast<uint8_t>(value);
    if (distance == 0) {
        b.litTree[value].freq++;
    } else {
        uint32_t d = distance - 1;
        b.litTree[kLiterals + 1 + kCodes.lengthCode[value]].freq++;
        b.distTree[DistanceCode(d)].freq++;
        b.distances[b.matchCount++] = static_cast<uint16_t>(d);
        b.flagByte |= b.flagBit;
    }
    b.flagBit = static_cast<uint8_t>(b.flagBit << 1);
    if ((b.symbolCount & 7) == 0) {
        b.flags[b.flagCount++] = b.flagByte;
        b.flagByte = 0;
        b.flagBit = 1;
    }
    return b.symbolCount == kLiteralLimit || b.matchCount == kDistanceLimit;
}

struct DeflateState;

void ClearDeflateTables(BlockTables& t);
void StartTrees(BlockTables& t);
void ResetBlock(BlockTables& t);
// Encodes the current block; `data` is its bytes in the window (nullptr once
// they slid out).  Returns the entry's compressed bytes so far, whole bytes
// once final, 0 when the final block could not be written.
uint64_t EndBlock(DeflateState& s, const uint8_t* data, uint32_t storedLength, bool final);

// Tree steps, reachable for tests.
void BuildHuffmanTree(BlockTables& t, TreeDesc& desc);
void CountLengthRuns(BlockTables& t, TreeNode* tree, int maxCode);

// What EndBlock decided, for tests that pin the choice of block type.
enum class BlockType : uint8_t { Stored = 0, Fixed = 1, Dynamic = 2 };
struct BlockReport {
    const BlockTables* tables;  // symbols of the block, still unreset
    uint32_t storedLength;
    bool inWindow;
    bool final;
    int64_t fixedBytes;
    int64_t dynamicBytes;
    BlockType type;
};
using BlockObserver = void (*)(const BlockReport& report, void* context);
void SetBlockObserverForTesting(BlockObserver observer, void* context);
// Test hook: every entry's bit total starts at `bits` (a multiple of 8) in
// place of 0, so that the counting past 2^31 and 2^32 bits is reached with
// kilobytes of input.  Only the reported size changes, not the stream.
void SetStartingBitCountForTesting(uint64_t bits);

// ---------------------------------------------------------------------------
// Compressed output (output.cpp)
// ---------------------------------------------------------------------------
struct OutputState {
    uint64_t bitBuffer;  // pending bits, least significant first
    uint32_t bitCount;   // 0..62
    uint8_t* buffer;     // kOutputBufferSize bytes
    uint32_t count;      // bytes waiting in the buffer
    CipherState* cipher; // non-null: encrypt every byte on its way out
    const DeflateStreams* streams;
    uint64_t written;    // bytes that reached the output
};

// ---------------------------------------------------------------------------
// Match finding (matcher.cpp)
// ---------------------------------------------------------------------------
struct LevelParameters {
    uint32_t goodLength;  // at or above: search a quarter of the chain
    uint32_t lazyLimit;   // at or above: no search for a longer match
    uint32_t chainLimit;  // most candidates examined in one search
};

struct MatcherState {
    LevelParameters level;
    uint32_t hash;
    uint32_t position;
    uint32_t lookahead;
    int32_t blockStart;
    uint32_t matchStart;
    uint32_t previousLength;
    bool inputEnded;

    // Source side.
    const DeflateStreams* streams;
    uint32_t crc;
    uint64_t bytesRead;
    uint64_t sourceSize;
    bool (*progress)(void* context, int32_t percent);
    void* progressContext;
};

// A search compares up to 258 bytes from a position that can lie just below
// the window's end; the guard keeps those reads inside the array.
constexpr uint32_t kWindowGuard = 512;

// Everything one compression works on.  The status is the entry's own: 0,
// VX_FILE_ERROR (a read failed), VX_SHORT_WRITE (a write came up short) or
// VX_CANCELLED (the progress hook said stop); once it is non-zero nothing
// more is read or written.
struct DeflateState {
    uint16_t status;
    MatcherState m;
    OutputState out;
    BlockTables tables;
    uint8_t window[kWindowSize + kWindowGuard];
    uint16_t head[kHashSize];
    uint16_t prev[kHalfWindow];
    uint8_t ownOutput[kOutputBufferSize];  // when the caller gives no buffer
};

void StartOutput(DeflateState& s, uint8_t* buffer, CipherState* cipher, const DeflateStreams* streams);
// Encrypts (when on) and writes the buffered bytes; false (status
// VX_SHORT_WRITE on a short write) when they could not be written or a
// failure came before.
bool WriteOutputBuffer(DeflateState& s);
void AlignToByte(DeflateState& s);
void FinishOutput(DeflateState& s);
void EmitStoredBlock(DeflateState& s, const uint8_t* data, uint32_t length);

inline void EmitWord(DeflateState& s, uint16_t word) {
    OutputState& o = s.out;
    if (o.count + 2 <= kOutputBufferSize) {
        o.buffer[o.count] = static_cast<uint8_t>(word);
        o.buffer[o.count + 1] = static_cast<uint8_t>(word >> 8);
        o.count += 2;
    } else if (WriteOutputBuffer(s)) {
        o.buffer[0] = static_cast<uint8_t>(word);
        o.buffer[1] = static_cast<uint8_t>(word >> 8);
        o.count = 2;
    }
}

inline void EmitByte(DeflateState& s, uint8_t byte) {
    OutputState& o = s.out;
    if (o.count + 1 <= kOutputBufferSize) {
        o.buffer[o.count++] = byte;
    } else if (WriteOutputBuffer(s)) {
        o.buffer[0] = byte;
        o.count = 1;
    }
}

// Moves the whole 16-bit words of the bit accumulator to the buffer, in the
// order and with the buffer writes that packing two bytes at a time gives.
inline void SpillBits(DeflateState& s) {
    OutputState& o = s.out;
    while (o.bitCount >= 16) {
        if (o.count + 2 <= kOutputBufferSize) {
            o.buffer[o.count] = static_cast<uint8_t>(o.bitBuffer);
            o.buffer[o.count + 1] = static_cast<uint8_t>(o.bitBuffer >> 8);
            o.count += 2;
        } else {
            EmitWord(s, static_cast<uint16_t>(o.bitBuffer));
        }
        o.bitBuffer >>= 16;
        o.bitCount -= 16;
    }
}

// Appends the low `length` (1..15) bits of value; value has no higher bits.
// The 64-bit accumulator leaves its words for the buffer only once it holds
// three or more.
inline void EmitBits(DeflateState& s, uint32_t value, uint32_t length) {
    OutputState& o = s.out;
    o.bitBuffer |= static_cast<uint64_t>(value) << o.bitCount;
    o.bitCount += length;
    if (o.bitCount >= 48) SpillBits(s);
}

}  // namespace vardex::deflate
