// Inflate (RFC 1951): stored, fixed-Huffman and dynamic-Huffman blocks,
// decoded through multi-level lookup tables.
//
// Damaged input is expected.  Beyond the format's own checks the decoder
// refuses a distance reaching before the first byte of the entry, a match in
// a block without distance codes, and any code that would need bits past the
// end of the entry's data: once the source reports the end, zero bits are
// supplied so that a table lookup can still be made, but consuming one of
// them is invalid data.
#include "extract/inflate.h"

#include <bit>
#include <cstring>

#include "api/engine.h"
#include "common/deflate_format.h"
#include "extract/bit_reader.h"
#include "extract/huffman.h"
#include "extract/streams.h"
#include "extract/window.h"

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

// One entry's decoding: the bit reader over the source, the window, and the
// fixed-code tables once a fixed block has needed them.
struct InflateState {
    BitReader bits;
    OutputWindow window;
    HuffTable* fixedLiterals = nullptr;
    HuffTable* fixedDistances = nullptr;
    unsigned fixedLiteralBits = 0;
    unsigned fixedDistanceBits = 0;

    InflateState(DecodeSource& in, DecodeSink& out)
        : bits(in), window(WindowStorage(), kWindowSize, out, VX_SHORT_WRITE) {}
    InflateState(const InflateState&) = delete;
    InflateState& operator=(const InflateState&) = delete;
    ~InflateState() {
        FreeHuffmanTable(fixedLiterals);
        FreeHuffmanTable(fixedDistances);
    }
};

bool g_fastPath = true;

struct TableGuard {
    HuffTable* table = nullptr;
    ~TableGuard() { FreeHuffmanTable(table); }
};

// Resolves one code through a table and its sub-tables.  Null for an invalid
// code.
const HuffEntry* DecodeSymbol(BitReader& in, const HuffEntry* table, unsigned bits) {
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
inline unsigned CopyMatchFast(uint8_t* window, unsigned w, unsigned from, unsigned length, unsigned distance) {
    uint8_t* out = window + w;
    const uint8_t* in = window + from;
    // Word by word, each word read lying wholly before the bytes it is
    // written to (or apart from them); the last word ends exactly at the
    // match's end and rewrites bytes that already hold their value.  Nothing
    // past the match is touched: the window's next bytes are still history.
    if (distance >= 8 && length >= 8) {
        for (unsigned i = 0; i + 8 <= length; i += 8) memcpy(out + i, in + i, 8);
        memcpy(out + length - 8, in + length - 8, 8);
    } else if (distance >= 4 && length >= 4) {
        for (unsigned i = 0; i + 4 <= length; i += 4) memcpy(out + i, in + i, 4);
        memcpy(out + length - 4, in + length - 4, 4);
    } else if (distance == 1) {
        memset(out, in[0], length);
    } else {
        for (unsigned i = 0; i < length; ++i) out[i] = in[i];
    }
    return w + length;
}

// From a first-level entry through the sub-tables it links to, taking each
// link's bits from the buffer, to the entry that holds the code (or an
// invalid one).
inline const HuffEntry* FollowLinks(const HuffEntry* t, uint64_t& buffer, unsigned& count) {
    while (t->e > kHuffLinkBase && t->e != kHuffInvalid) {
        buffer >>= t->b;
        count -= t->b;
        t = t->v.t + (buffer & ((uint64_t{1} << (t->e - kHuffLinkBase)) - 1));
    }
    return t;
}

// The fast path: while at least a word of input is in hand and a longest
// match still fits below the end of the window, one refill of the 64-bit
// buffer at the top of each step covers a whole literal/length code with its
// extra bits plus a distance code with its extra bits (at most 48 bits), and
// the window is never flushed.  Returns kInflateOk and leaves *ended when the
// block ended, kInflateBadData for an invalid code or distance, and
// kInflateOk without *ended when the careful path must take the next step.
int InflateFast(InflateState& st, const HuffEntry* tl, const HuffEntry* td, unsigned bl, unsigned bd, bool* ended) {
    DecodeSource& source = st.bits.in;
    OutputWindow& window = st.window;
    uint8_t* const slide = window.data;
    const uint8_t* next = source.next;
    const uint8_t* const end = source.end;
    uint64_t buffer = st.bits.buffer;
    unsigned count = st.bits.count;
    unsigned w = window.pos;
    uint64_t produced = window.produced;
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
        const HuffEntry* t = FollowLinks(tl + (buffer & lmask), buffer, count);
        unsigned e = t->e;
        if (e == kHuffInvalid) {
            result = kInflateBadData;
            break;
        }
        buffer >>= t->b;
        count -= t->b;
        if (e == kHuffLiteral) {
            slide[w++] = static_cast<uint8_t>(t->v.n);
            ++produced;
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
        t = FollowLinks(td + (buffer & dmask), buffer, count);
        e = t->e;
        if (e > kHuffMaxExtra) {
            result = kInflateBadData;
            break;
        }
        buffer >>= t->b;
        count -= t->b;
        unsigned distance = t->v.n + static_cast<unsigned>(buffer & ((1u << e) - 1));
        buffer >>= e;
        count -= e;
        if (distance > produced) {
            result = kInflateBadData;
            break;
        }
        produced += length;
        if (distance <= w) {
            w = CopyMatchFast(slide, w, w - distance, length, distance);
        } else {
            // The source begins in the previous lap of the window.
            unsigned from = w + kWindowSize - distance;
            unsigned run = kWindowSize - from;
            if (run > length) run = length;
            memmove(slide + w, slide + from, run);  // never overlapping: from > w
            w += run;
            if (length > run) w = CopyMatchFast(slide, w, 0, length - run, distance);
        }
    }
    // Bits above the count must be zero for the careful path's refill.
    st.bits.buffer = count >= 64 ? buffer : buffer & ((uint64_t{1} << count) - 1);
    st.bits.count = count;
    source.next = next;
    window.pos = w;
    window.produced = produced;
    return result;
}

int InflateCodes(InflateState& st, const HuffEntry* tl, const HuffEntry* td, unsigned bl, unsigned bd) {
    BitReader& in = st.bits;
    OutputWindow& window = st.window;
    for (;;) {
        if (g_fastPath && in.padding == 0) {
            bool ended = false;
            int result = InflateFast(st, tl, td, bl, bd, &ended);
            if (result != kInflateOk || ended) return result;
        }
        const HuffEntry* t = DecodeSymbol(in, tl, bl);
        if (!t || in.Overrun()) return kInflateBadData;
        if (t->e == kHuffLiteral) {
            window.Put(static_cast<uint8_t>(t->v.n));
            continue;
        }
        if (t->e == kHuffEndOfBlock) return kInflateOk;

        unsigned length = t->v.n + in.Take(t->e);
        if (!td) return kInflateBadData;  // a match in a block that has no distance codes
        t = DecodeSymbol(in, td, bd);
        if (!t || t->e > kHuffMaxExtra) return kInflateBadData;
        unsigned distance = t->v.n + in.Take(t->e);
        if (in.Overrun() || distance > window.produced) return kInflateBadData;
        window.Copy(distance, length);
    }
}

int InflateStored(InflateState& st) {
    BitReader& in = st.bits;
    in.Drop(in.count & 7);
    unsigned length = in.Take(16);
    unsigned check = in.Take(16);
    if (in.Overrun() || length != (~check & 0xFFFF)) return kInflateBadData;
    // The whole bytes the bit buffer still holds come first, then the rest
    // straight from the source.
    for (; length > 0 && in.count >= 8; --length) {
        uint8_t b = static_cast<uint8_t>(in.Take(8));
        if (in.Overrun()) return kInflateBadData;
        st.window.Put(b);
    }
    DecodeSource& source = in.in;
    while (length > 0) {
        if (source.InHand() == 0 && !source.Refill()) return kInflateBadData;
        const unsigned n = source.InHand() < length ? static_cast<unsigned>(source.InHand()) : length;
        st.window.Append(source.next, n);
        source.next += n;
        length -= n;
    }
    return kInflateOk;
}

int InflateFixed(InflateState& st) {
    if (!st.fixedLiterals) {
        uint8_t lengths[288];
        for (unsigned i = 0; i < 144; ++i) lengths[i] = 8;
        for (unsigned i = 144; i < 256; ++i) lengths[i] = 9;
        for (unsigned i = 256; i < 280; ++i) lengths[i] = 7;
        for (unsigned i = 280; i < 288; ++i) lengths[i] = 8;
        TableGuard literals, distances;
        unsigned literalBits = kFixedLiteralBits;
        int r = BuildHuffmanTable(lengths, 288, 257, kLengthBase, kLengthExtra, &literals.table, &literalBits);
        if (r != 0) return r;
        // 30 of the 32 five-bit codes: incomplete by design.
        for (unsigned i = 0; i < 30; ++i) lengths[i] = 5;
        unsigned distanceBits = kFixedDistanceBits;
        r = BuildHuffmanTable(lengths, 30, 0, kDistanceBase, kDistanceExtra, &distances.table, &distanceBits);
        if (r > 1) return r;
        st.fixedLiterals = literals.table;
        st.fixedDistances = distances.table;
        literals.table = distances.table = nullptr;
        st.fixedLiteralBits = literalBits;
        st.fixedDistanceBits = distanceBits;
    }
    return InflateCodes(st, HuffRoot(st.fixedLiterals), HuffRoot(st.fixedDistances), st.fixedLiteralBits,
                        st.fixedDistanceBits) != 0
               ? kInflateBadData
               : kInflateOk;
}

int InflateDynamic(InflateState& st) {
    BitReader& in = st.bits;
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
            const HuffEntry* t = DecodeSymbol(in, root, bits);
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

    if (InflateCodes(st, HuffRoot(literals.table), HuffRoot(distances.table), literalBits, distanceBits) != 0)
        return kInflateBadData;
    return kInflateOk;
}

int InflateBlock(InflateState& st, bool* last) {
    BitReader& in = st.bits;
    *last = in.Take(1) != 0;
    unsigned type = in.Take(2);
    if (in.Overrun()) return kInflateBadData;
    int r;
    switch (type) {
        case 0: r = InflateStored(st); break;
        case 1: r = InflateFixed(st); break;
        case 2: r = InflateDynamic(st); break;
        default: return kInflateBadCode;
    }
    // A host cancel (2926) or a failed write (101) ends decoding after the
    // block: the driver deletes the output anyway.
    if (Status() != 0) *last = true;
    return r;
}

}  // namespace

int Inflate(DecodeSource& in, DecodeSink& out) {
    InflateState st(in, out);
    bool last = false;
    do {
        int r = InflateBlock(st, &last);
        if (r != kInflateOk) return r;
    } while (!last);
    st.window.Flush();
    return kInflateOk;
}

void SetInflateFastPathForTesting(bool on) { g_fastPath = on; }

}  // namespace vardex
