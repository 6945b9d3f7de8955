// Unshrink: LZW with codes of 9 to 13 bits.  The compressor never resets the
// table; it sends the control code 256 followed by 1 to widen the codes by a
// bit, or by 2 to free every code that no other code extends (partial
// clearing).  Freed codes are reused from the lowest one up.
//
// Strings are followed from their last byte back to their first through the
// parent links and pushed onto a stack from its end, so the stack holds the
// string in order when the walk is done.  Every step of a walk pushes a byte,
// so a stack bound of 8,192 also stops chains that loop through freed codes.
#include <cstdint>
#include <cstring>

#include "api/engine.h"
#include "extract/legacy.h"
#include "extract/streams.h"

namespace vardex {
namespace {

constexpr unsigned kTableSize = 8192;  // codes 0 .. 8,191 (13 bits)
constexpr unsigned kControlCode = 256;
constexpr unsigned kFirstFree = 257;
constexpr unsigned kMinWidth = 9;
constexpr unsigned kMaxWidth = 13;
constexpr uint16_t kFree = 0xFFFF;
constexpr uint16_t kMark = 0x8000;
constexpr unsigned kStackSize = 8192;
constexpr unsigned kOutSize = 2048;

// The decoder's working memory; set up anew for each entry.
struct ShrinkState {
    uint16_t parent[kTableSize];
    uint8_t value[kTableSize];
    uint8_t stack[kStackSize];
    uint8_t out[kOutSize];
    unsigned outCount;
    unsigned nextFree;
    unsigned width;
    uint32_t bitBuf;
    int bitCount;
    bool end;
};

ShrinkState g_shrink;

void ResetTable(ShrinkState& s) {
    for (unsigned code = 0; code < 256; ++code) {
        s.parent[code] = 0;
        s.value[code] = static_cast<uint8_t>(code);
    }
    s.parent[kControlCode] = 0;
    s.value[kControlCode] = 0;
    for (unsigned code = kFirstFree; code < kTableSize; ++code) {
        s.parent[code] = kFree;
        s.value[code] = 0;
    }
    s.nextFree = kFirstFree;
    s.width = kMinWidth;
    s.outCount = 0;
    s.bitBuf = 0;
    s.bitCount = 0;
    s.end = false;
}

// Takes the next code of the current width.  When fewer bits are held than
// the code needs, bytes are added while the buffer has room; the end flag
// stays set only when not one byte could be added.
unsigned ReadCode(ShrinkState& s) {
    if (s.bitCount < static_cast<int>(s.width)) {
        // A code taken at the end of the input leaves the count below 0;
        // the bits it stands for were zeros, so start the refill from 0.
        if (s.bitCount < 0) s.bitCount = 0;
        s.end = true;
        while (s.bitCount <= 24) {
            int byte = ReadByte();
            if (byte < 0) break;
            s.bitBuf |= static_cast<uint32_t>(byte) << s.bitCount;
            s.bitCount += 8;
            s.end = false;
        }
    }
    unsigned code = s.bitBuf & ((1u << s.width) - 1);
    s.bitBuf >>= s.width;
    s.bitCount -= static_cast<int>(s.width);
    return code;
}

void AdvanceNextFree(ShrinkState& s) {
    while (s.nextFree < kTableSize && s.parent[s.nextFree] != kFree) ++s.nextFree;
}

// Frees every code from 257 below the next free code that no other code in
// that range extends.
void PartialClear(ShrinkState& s) {
    const unsigned limit = s.nextFree;
    for (unsigned code = kFirstFree; code < limit; ++code) s.parent[code] |= kMark;
    for (unsigned code = kFirstFree; code < limit; ++code) {
        unsigned p = s.parent[code] & ~kMark;
        // Only codes inside the range carry a mark; a parent outside it
        // (possible in damaged data) is left exactly as it is.
        if (p >= kFirstFree && p < limit) s.parent[p] &= ~kMark;
    }
    for (unsigned code = kFirstFree; code < limit; ++code) {
        if (s.parent[code] & kMark) s.parent[code] = kFree;
    }
    s.nextFree = kFirstFree;
    AdvanceNextFree(s);
}

void FlushOut(ShrinkState& s) {
    if (s.outCount > 0) WriteBlock(s.out, s.outCount);
    s.outCount = 0;
}

void Emit(ShrinkState& s, const uint8_t* data, unsigned n) {
    if (s.outCount + n < kOutSize) {
        std::memcpy(s.out + s.outCount, data, n);
        s.outCount += n;
        return;
    }
    for (unsigned i = 0; i < n; ++i) {
        s.out[s.outCount++] = data[i];
        if (s.outCount == kOutSize) FlushOut(s);
    }
}

// Reads a code, acting on any control sequences in front of it.  False when
// decoding must end: the input is used up, or the data widens the codes past
// 13 bits.
bool NextCode(ShrinkState& s, unsigned* code) {
    unsigned c = ReadCode(s);
    if (s.end) return false;
    while (c == kControlCode) {
        unsigned what = ReadCode(s);
        if (s.end) return false;
        if (what == 1) {
            if (s.width == kMaxWidth) return false;
            ++s.width;
        } else if (what == 2) {
            PartialClear(s);
        }
        c = ReadCode(s);
        if (s.end) return false;
    }
    *code = c;
    return true;
}

void Decode(ShrinkState& s) {
    unsigned first = ReadCode(s);
    if (s.end) return;
    // The first code must be a literal: there is nothing yet to refer to.
    if (first >= 256) return;
    uint8_t lastByte = static_cast<uint8_t>(first);
    Emit(s, &lastByte, 1);
    unsigned prev = first;

    unsigned code;
    while (NextCode(s, &code)) {
        unsigned top = kStackSize;
        unsigned walk = code;
        if (s.parent[walk] == kFree) {
            // Not yet defined: the code the decoder is about to define
            // (previous string + its own first byte).
            s.stack[--top] = lastByte;
            walk = prev;
        }
        while (walk >= kFirstFree) {
            if (top == 0) return;  // longer than any real string: damaged data
            if (s.parent[walk] == kFree) {
                s.stack[--top] = lastByte;
                walk = prev;
            } else {
                s.stack[--top] = s.value[walk];
                walk = s.parent[walk];
            }
        }
        if (top == 0) return;
        lastByte = s.value[walk];
        s.stack[--top] = lastByte;
        Emit(s, s.stack + top, kStackSize - top);

        if (s.nextFree < kTableSize) {
            s.parent[s.nextFree] = static_cast<uint16_t>(prev);
            s.value[s.nextFree] = lastByte;
            ++s.nextFree;
            AdvanceNextFree(s);
        }
        prev = code;
        // A failed write or a host cancel makes the rest of the work useless.
        if (Status() != 0) return;
    }
}

}  // namespace

void Unshrink() {
    ShrinkState& s = g_shrink;
    ResetTable(s);
    Decode(s);
    FlushOut(s);
}

}  // namespace vardex
