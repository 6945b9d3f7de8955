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
#include "extract/bit_reader.h"
#include "extract/legacy.h"
#include "extract/window.h"

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
constexpr unsigned kOutSize = 2048;  // output is written in steps of this size

// The decoder's working memory; set up anew for each entry.
struct ShrinkState {
    uint16_t parent[kTableSize];
    uint8_t value[kTableSize];
    uint8_t stack[kStackSize];
    unsigned nextFree;
    unsigned width;
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
    s.end = false;
}

// Takes the next code of the current width.  The end flag is set when the
// data holds fewer bits than a code: what is left is the padding of the last
// byte.
unsigned ReadCode(ShrinkState& s, BitReader& in) {
    in.Need(s.width);
    if (in.Real() < s.width) {
        s.end = true;
        return 0;
    }
    return in.Take(s.width);
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

// Reads a code, acting on any control sequences in front of it.  False when
// decoding must end: the input is used up, or the data widens the codes past
// 13 bits.
bool NextCode(ShrinkState& s, BitReader& in, unsigned* code) {
    unsigned c = ReadCode(s, in);
    if (s.end) return false;
    while (c == kControlCode) {
        unsigned what = ReadCode(s, in);
        if (s.end) return false;
        if (what == 1) {
            if (s.width == kMaxWidth) return false;
            ++s.width;
        } else if (what == 2) {
            PartialClear(s);
        }
        c = ReadCode(s, in);
        if (s.end) return false;
    }
    *code = c;
    return true;
}

void ExpandCodes(ShrinkState& s, BitReader& in, OutputWindow& out) {
    unsigned first = ReadCode(s, in);
    if (s.end) return;
    // The first code must be a literal: there is nothing yet to refer to.
    if (first >= 256) return;
    uint8_t lastByte = static_cast<uint8_t>(first);
    out.Put(lastByte);
    unsigned prev = first;

    unsigned code;
    while (NextCode(s, in, &code)) {
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
        out.Append(s.stack + top, kStackSize - top);

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

void Unshrink(DecodeSource& source, DecodeSink& sink) {
    ShrinkState& s = g_shrink;
    ResetTable(s);
    BitReader in(source);
    OutputWindow out(WindowStorage(), kOutSize, sink, VX_FILE_ERROR);
    ExpandCodes(s, in, out);
    if (out.pos > 0) out.Flush();
}

}  // namespace vardex
