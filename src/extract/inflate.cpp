// Inflate (RFC 1951): stored, fixed-Huffman and dynamic-Huffman blocks,
// decoded through multi-level lookup tables.
//
// Damaged input is expected.  Beyond the format's own checks the decoder
// refuses a distance reaching before the first byte of the entry, a match in
// a block without distance codes, and any code that would need bits past the
// end of the entry's data: once ReadByte reports the end, zero bits are
// supplied so that a table lookup can still be made, but consuming one of
// them is invalid data.
#include "extract/inflate.h"

#include <bit>
#include <cstring>

#include "api/engine.h"
#include "common/deflate_format.h"
#include "extract/huffman.h"
#include "extract/streams.h"

namespace vardex {

namespace {

constexpr unsigned kWindowSize = kInflateWindowSize;

// The length codes as the table builder takes them: 257..285 and the two
// codes 286 and 287, which the fixed code has but no stream may use.
struct LengthCodes {
    uint16_t base[kDeflateLengthCodes + 2] = {};
    uint8_t extra[kDeflateLengthCodes + 2] = {};
    constexpr LengthCodes() {
        for (int i = 0; i < kDeflateLengthCodes; ++i) {
            base[i] = kDeflateLengthBase[i];
            extra[i] = kDeflateLengthExtra[i];
        }
        extra[kDeflateLengthCodes] = extra[kDeflateLengthCodes + 1] = kHuffInvalid;
    }
};
constexpr LengthCodes kLengthCodes;
constexpr const uint16_t* kLengthBase = kLengthCodes.base;
constexpr const uint8_t* kLengthExtra = kLengthCodes.extra;
constexpr const uint16_t* kDistanceBase = kDeflateDistanceBase;
constexpr const uint8_t* kDistanceExtra = kDeflateDistanceExtra;
constexpr const uint8_t* kCodeLengthOrder = kDeflateCodeLengthOrder;

constexpr unsigned kFixedLiteralBits = 7;
constexpr unsigned kFixedDistanceBits = 5;
constexpr unsigned kDynamicLiteralBits = 9;
constexpr unsigned kDynamicDistanceBits = 6;
constexpr unsigned kCodeLengthBits = 7;

// The decoder's own working memory.
uint8_t g_window[kWindowSize];
unsigned g_windowPos = 0;
uint64_t g_produced = 0;  // bytes produced for the entry (distance check)

HuffTable* g_fixedLiterals = nullptr;
HuffTable* g_fixedDistances = nullptr;
unsigned g_fixedLiteralBits = 0;
unsigned g_fixedDistanceBits = 0;

// The bit buffer, filled from the least significant end.
struct Bits {
    uint64_t buffer = 0;
    unsigned count = 0;
    unsigned padding = 0;  // zero bits supplied past the end of the data (at the top)

    void Need(unsigned n) {
        while (count < n) {
            int c = ReadByte();
            if (c < 0) {
                c = 0;
                padding += 8;
            }
            buffer |= static_cast<uint64_t>(c) << count;
            count += 8;
        }
    }
    uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(buffer) & ((1u << n) - 1); }
    void Drop(unsigned n) {
        buffer >>= n;
        count -= n;
    }
    uint32_t Take(unsigned n) {
        Need(n);
        uint32_t v = Peek(n);
        Drop(n);
        return v;
    }
    // True once a bit past the end of the data has been consumed.
    bool Overrun() const { return count < padding; }
};

Bits g_bits;
bool g_fastPath = true;

struct TableGuard {
    HuffTable* table = nullptr;
    ~TableGuard() { FreeHuffmanTable(table); }
};

void FlushWindow(unsigned n) { FlushSlide(g_window, n); }

// Resolves one code through a table and its sub-tables.  Null for an invalid
// code.
const HuffEntry* Decode(Bits& in, const HuffEntry* table, unsigned bits) {
    in.Need(bits);
    const HuffEntry* t = table + in.Peek(bits);
    unsigned e = t->e;
    while (e > kHuffLinkBase) {
        if (e == kHuffInvalid) return nullptr;
        in.Drop(t->b);
        e -= kHuffLinkBase;
        in.Need(e);
        t = t->v.t + in.Peek(e);
        e = t->e;
    }
    in.Drop(t->b);
    return t;
}

// Copies a match of `length` bytes from `distance` back to window position w
// and returns the new position.  The copy neither wraps nor reaches the end
// of the window (the fast path guarantees both).
inline unsigned CopyMatchFast(unsigned w, unsigned from, unsigned length, unsigned distance) {
    uint8_t* out = g_window + w;
    const uint8_t* in = g_window + from;
    if (distance >= length) {
        memcpy(out, in, length);
    } else if (distance >= 8) {
        // Overlapping by at least a word: each word read lies wholly before
        // the bytes it is written to.
        unsigned i = 0;
        for (; i + 8 <= length; i += 8) memcpy(out + i, in + i, 8);
        for (; i < length; ++i) out[i] = in[i];
    } else if (distance == 1) {
        memset(out, in[0], length);
    } else {
        for (unsigned i = 0; i < length; ++i) out[i] = in[i];
    }
    return w + length;
}

// The fast path: while at least a word of input is in hand and a longest
// match still fits below the end of the window, one refill of the 64-bit
// buffer at the top of each step covers a whole literal/length code with its
// extra bits plus a distance code with its extra bits (at most 48 bits), and
// the window is never flushed.  Returns kInflateOk and leaves *ended when the
// block ended, kInflateBadData for an invalid code or distance, and
// kInflateOk without *ended when the careful path must take the next step.
int InflateFast(Bits& in, unsigned& w, const HuffEntry* tl, const HuffEntry* td, unsigned bl, unsigned bd,
                bool* ended) {
    InputView view = InputInHand();
    const uint8_t* next = view.next;
    const uint8_t* const end = view.end;
    uint64_t buffer = in.buffer;
    unsigned count = in.count;
    const uint64_t lmask = (uint64_t{1} << bl) - 1;
    const uint64_t dmask = (uint64_t{1} << bd) - 1;
    int result = kInflateOk;

    while (end - next >= 8 && w < kWindowSize - 258) {
        if (count < 56) {
            uint64_t word;
            memcpy(&word, next, 8);
            if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
            buffer |= word << count;
            const unsigned bytes = (63 - count) >> 3;
            next += bytes;
            count += bytes * 8;
        }
        const HuffEntry* t = tl + (buffer & lmask);
        unsigned e = t->e;
        while (e > kHuffLinkBase) {
            if (e == kHuffInvalid) break;
            buffer >>= t->b;
            count -= t->b;
            t = t->v.t + (buffer & ((uint64_t{1} << (e - kHuffLinkBase)) - 1));
            e = t->e;
        }
        if (e == kHuffInvalid) {
            result = kInflateBadData;
            break;
        }
        buffer >>= t->b;
        count -= t->b;
        if (e == kHuffLiteral) {
            g_window[w++] = static_cast<uint8_t>(t->v.n);
            ++g_produced;
            continue;
        }
        if (e == kHuffEndOfBlock) {
            *ended = true;
            break;
        }
        unsigned length = t->v.n + static_cast<unsigned>(buffer & ((1u << e) - 1));
        buffer >>= e;
        count -= e;
        if (!td) {
            result = kInflateBadData;
            break;
        }
        t = td + (buffer & dmask);
        e = t->e;
        while (e > kHuffLinkBase) {
            if (e == kHuffInvalid) break;
            buffer >>= t->b;
            count -= t->b;
            t = t->v.t + (buffer & ((uint64_t{1} << (e - kHuffLinkBase)) - 1));
            e = t->e;
        }
        if (e > kHuffMaxExtra) {
            result = kInflateBadData;
            break;
        }
        buffer >>= t->b;
        count -= t->b;
        unsigned distance = t->v.n + static_cast<unsigned>(buffer & ((1u << e) - 1));
        buffer >>= e;
        count -= e;
        if (distance > g_produced) {
            result = kInflateBadData;
            break;
        }
        g_produced += length;
        if (distance <= w) {
            w = CopyMatchFast(w, w - distance, length, distance);
        } else {
            // The source begins in the previous lap of the window.
            unsigned from = w + kWindowSize - distance;
            while (length > 0) {
                unsigned run = kWindowSize - from;
                if (run > length) run = length;
                memmove(g_window + w, g_window + from, run);  // never overlapping: from > w
                w += run;
                length -= run;
                from = 0;
                if (length > 0) {
                    w = CopyMatchFast(w, from, length, distance);
                    length = 0;
                }
            }
        }
    }
    // Bits above the count must be zero for the careful path's refill.
    in.buffer = count >= 64 ? buffer : buffer & ((uint64_t{1} << count) - 1);
    in.count = count;
    ConsumeInput(static_cast<size_t>(next - view.next));
    return result;
}

int InflateCodes(const HuffEntry* tl, const HuffEntry* td, unsigned bl, unsigned bd) {
    Bits in = g_bits;
    unsigned w = g_windowPos;
    int result = kInflateOk;
    for (;;) {
        if (g_fastPath && in.padding == 0) {
            bool ended = false;
            result = InflateFast(in, w, tl, td, bl, bd, &ended);
            if (result != kInflateOk || ended) break;
        }
        const HuffEntry* t = Decode(in, tl, bl);
        if (!t || in.Overrun()) {
            result = kInflateBadData;
            break;
        }
        if (t->e == kHuffLiteral) {
            g_window[w++] = static_cast<uint8_t>(t->v.n);
            ++g_produced;
            if (w == kWindowSize) {
                FlushWindow(w);
                w = 0;
            }
            continue;
        }
        if (t->e == kHuffEndOfBlock) break;

        unsigned length = t->v.n + in.Take(t->e);
        if (!td) {  // a match in a block that has no distance codes
            result = kInflateBadData;
            break;
        }
        t = Decode(in, td, bd);
        if (!t || t->e > kHuffMaxExtra) {
            result = kInflateBadData;
            break;
        }
        unsigned distance = t->v.n + in.Take(t->e);
        if (in.Overrun() || distance > g_produced) {
            result = kInflateBadData;
            break;
        }
        g_produced += length;

        unsigned from = (w - distance) & (kWindowSize - 1);
        while (length > 0) {
            unsigned run = kWindowSize - (from > w ? from : w);
            if (run > length) run = length;
            length -= run;
            if (from < w && w - from < run) {
                // Source and destination overlap: byte by byte repeats the pattern.
                for (unsigned i = 0; i < run; ++i) g_window[w + i] = g_window[from + i];
            } else {
                memmove(g_window + w, g_window + from, run);
            }
            w += run;
            from += run;
            if (w == kWindowSize) {
                FlushWindow(w);
                w = 0;
            }
            if (from == kWindowSize) from = 0;
        }
    }
    g_bits = in;
    g_windowPos = w;
    return result;
}

int InflateStored() {
    Bits& in = g_bits;
    in.Drop(in.count & 7);
    unsigned length = in.Take(16);
    unsigned check = in.Take(16);
    if (in.Overrun() || length != (~check & 0xFFFF)) return kInflateBadData;
    unsigned w = g_windowPos;
    while (length-- > 0) {
        uint8_t b = static_cast<uint8_t>(in.Take(8));
        if (in.Overrun()) {
            g_windowPos = w;
            return kInflateBadData;
        }
        g_window[w++] = b;
        ++g_produced;
        if (w == kWindowSize) {
            FlushWindow(w);
            w = 0;
        }
    }
    g_windowPos = w;
    return kInflateOk;
}

int InflateFixed() {
    if (!g_fixedLiterals) {
        uint8_t lengths[288];
        for (unsigned i = 0; i < 144; ++i) lengths[i] = 8;
        for (unsigned i = 144; i < 256; ++i) lengths[i] = 9;
        for (unsigned i = 256; i < 280; ++i) lengths[i] = 7;
        for (unsigned i = 280; i < 288; ++i) lengths[i] = 8;
        HuffTable* literals = nullptr;
        unsigned literalBits = kFixedLiteralBits;
        int r = BuildHuffmanTable(lengths, 288, 257, kLengthBase, kLengthExtra, &literals, &literalBits);
        if (r != 0) {
            FreeHuffmanTable(literals);
            return r;
        }
        // 30 of the 32 five-bit codes: incomplete by design.
        for (unsigned i = 0; i < 30; ++i) lengths[i] = 5;
        HuffTable* distances = nullptr;
        unsigned distanceBits = kFixedDistanceBits;
        r = BuildHuffmanTable(lengths, 30, 0, kDistanceBase, kDistanceExtra, &distances, &distanceBits);
        if (r > 1) {
            FreeHuffmanTable(literals);
            FreeHuffmanTable(distances);
            return r;
        }
        g_fixedLiterals = literals;
        g_fixedDistances = distances;
        g_fixedLiteralBits = literalBits;
        g_fixedDistanceBits = distanceBits;
    }
    return InflateCodes(HuffRoot(g_fixedLiterals), HuffRoot(g_fixedDistances), g_fixedLiteralBits,
                        g_fixedDistanceBits) != 0
               ? kInflateBadData
               : kInflateOk;
}

int InflateDynamic() {
    Bits& in = g_bits;
    unsigned literalCount = in.Take(5) + 257;
    unsigned distanceCount = in.Take(5) + 1;
    unsigned codeLengthCount = in.Take(4) + 4;
    if (in.Overrun() || literalCount > 286 || distanceCount > 30) return kInflateBadData;

    uint8_t lengths[286 + 30] = {};
    for (unsigned i = 0; i < codeLengthCount; ++i) lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(in.Take(3));
    if (in.Overrun()) return kInflateBadData;

    const unsigned total = literalCount + distanceCount;
    {
        TableGuard codeLengths;
        unsigned bits = kCodeLengthBits;
        int r = BuildHuffmanTable(lengths, 19, 19, nullptr, nullptr, &codeLengths.table, &bits);
        if (r != 0) return r;
        if (!codeLengths.table) return kInflateBadData;  // no code-length codes at all
        const HuffEntry* root = HuffRoot(codeLengths.table);

        memset(lengths, 0, sizeof lengths);
        unsigned previous = 0;
        unsigned i = 0;
        while (i < total) {
            const HuffEntry* t = Decode(in, root, bits);
            if (!t || in.Overrun()) return kInflateBadData;
            unsigned symbol = t->v.n;
            if (symbol < 16) {
                lengths[i++] = static_cast<uint8_t>(symbol);
                previous = symbol;
                continue;
            }
            unsigned repeat;
            unsigned value = 0;
            if (symbol == 16) {
                repeat = 3 + in.Take(2);
                value = previous;
            } else if (symbol == 17) {
                repeat = 3 + in.Take(3);
                previous = 0;
            } else {
                repeat = 11 + in.Take(7);
                previous = 0;
            }
            if (in.Overrun() || i + repeat > total) return kInflateBadData;
            while (repeat-- > 0) lengths[i++] = static_cast<uint8_t>(value);
        }
    }

    // A block must be able to end.
    if (lengths[256] == 0) return kInflateBadData;

    TableGuard literals, distances;
    unsigned literalBits = kDynamicLiteralBits;
    int r = BuildHuffmanTable(lengths, literalCount, 257, kLengthBase, kLengthExtra, &literals.table, &literalBits);
    if (r != 0) return r;
    unsigned distanceBits = kDynamicDistanceBits;
    r = BuildHuffmanTable(lengths + literalCount, distanceCount, 0, kDistanceBase, kDistanceExtra, &distances.table,
                          &distanceBits);
    if (r != 0) return r;

    if (InflateCodes(HuffRoot(literals.table), HuffRoot(distances.table), literalBits, distanceBits) != 0)
        return kInflateBadData;
    return kInflateOk;
}

int InflateBlock(bool* last) {
    Bits& in = g_bits;
    *last = in.Take(1) != 0;
    unsigned type = in.Take(2);
    if (in.Overrun()) return kInflateBadData;
    int r;
    switch (type) {
        case 0: r = InflateStored(); break;
        case 1: r = InflateFixed(); break;
        case 2: r = InflateDynamic(); break;
        default: return kInflateBadCode;
    }
    // A host cancel (2926) or a failed write (101) ends decoding after the
    // block: the driver deletes the output anyway.
    if (Status() != 0) *last = true;
    return r;
}

}  // namespace

int Inflate() {
    g_windowPos = 0;
    g_produced = 0;
    g_bits = Bits{};
    bool last = false;
    do {
        int r = InflateBlock(&last);
        if (r != kInflateOk) return r;
    } while (!last);
    FlushWindow(g_windowPos);
    return kInflateOk;
}

void SetInflateFastPathForTesting(bool on) { g_fastPath = on; }

void InflateFree() {
    FreeHuffmanTable(g_fixedLiterals);
    FreeHuffmanTable(g_fixedDistances);
    g_fixedLiterals = nullptr;
    g_fixedDistances = nullptr;
}

}  // namespace vardex
