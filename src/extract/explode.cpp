// Explode: a sliding dictionary (4 or 8 KiB) whose literals, lengths and
// distances are coded with Shannon-Fano trees sent at the start of the data.
// The trees arrive as run-length coded bit lengths; their codes are the
// canonical codes of those lengths with every bit inverted, so the shared
// table builder serves them unchanged and every lookup uses the complement of
// the bit buffer.
//
// The output goes through a 32 KiB window, written out whenever it fills; a
// distance that reaches before the first output byte copies zeros.  Past the
// end of the data the bit reader supplies zeros, whose complement may still
// complete a lookup, but a code that uses them means the data ended too soon.
#include <cstdint>
#include <cstring>

#include "api/engine.h"
#include "extract/bit_reader.h"
#include "extract/huffman.h"
#include "extract/legacy.h"
#include "extract/window.h"

namespace vardex {
namespace {

constexpr uint32_t kWindowSize = 32768;
constexpr uint16_t kFlag8kDictionary = 0x0002;
constexpr uint16_t kFlagLiteralTree = 0x0004;
constexpr unsigned kLiteralCodes = 256;
constexpr unsigned kLengthCodes = 64;
constexpr unsigned kDistanceCodes = 64;
constexpr unsigned kLiteralBits = 9;
constexpr unsigned kLengthBits = 7;
constexpr unsigned kDistanceBits = 8;

enum Result : int { kOk = 0, kInvalid = 1, kBadTree = 4 };

struct Tables {
    HuffTable* literal = nullptr;
    HuffTable* length = nullptr;
    HuffTable* distance = nullptr;
    unsigned literalBits = kLiteralBits;
    unsigned lengthBits = kLengthBits;
    unsigned distanceBits = kDistanceBits;
    Tables() = default;
    Tables(const Tables&) = delete;
    Tables& operator=(const Tables&) = delete;
    ~Tables() {
        FreeHuffmanTable(literal);
        FreeHuffmanTable(length);
        FreeHuffmanTable(distance);
    }
};

// One compressed tree description: a count byte, then bytes that each give
// a run of codes sharing one bit length.
int ReadTreeLengths(BitReader& in, uint8_t* lengths, unsigned n) {
    unsigned bytes = in.Take(8) + 1;
    unsigned filled = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        unsigned b = in.Take(8);
        unsigned run = (b >> 4) + 1;
        if (filled + run > n) return kBadTree;
        std::memset(lengths + filled, static_cast<int>((b & 15) + 1), run);
        filled += run;
    }
    if (in.Overrun()) return kBadTree;
    return filled == n ? kOk : kBadTree;
}

int BuildTree(BitReader& in, unsigned n, unsigned simple, const uint16_t* base, const uint8_t* extra,
              HuffTable** table, unsigned* bits) {
    uint8_t lengths[kLiteralCodes];
    int r = ReadTreeLengths(in, lengths, n);
    if (r != kOk) return r;
    r = BuildHuffmanTable(lengths, n, simple, base, extra, table, bits);
    if (r == 3) SetStatus(VX_OUT_OF_MEMORY);  // bad trees leave the status to the CRC check; this is no bad tree
    if (r == 0 && *table == nullptr) return kBadTree;  // cannot happen: lengths are 1..16
    return r;
}

// Decodes one symbol through the complement of the next bits; nullptr for an
// invalid code.
const HuffEntry* DecodeInverted(BitReader& in, const HuffTable* table, unsigned bits) {
    in.Need(bits);
    const HuffEntry* e = HuffRoot(table) + (~in.Peek(bits) & ((1u << bits) - 1));
    while (e->e > kHuffLinkBase) {
        if (e->e == kHuffInvalid) return nullptr;
        in.Drop(e->b);
        unsigned k = e->e - kHuffLinkBase;
        in.Need(k);
        e = e->v.t + (~in.Peek(k) & ((1u << k) - 1));
    }
    if (e->e == kHuffInvalid) return nullptr;
    in.Drop(e->b);
    return e;
}

int ExpandSymbols(BitReader& in, OutputWindow& w, const Tables& t, bool literalTree, unsigned lowBits) {
    int32_t remaining = static_cast<int32_t>(w.sink.declared);
    while (remaining > 0) {
        if (in.Take(1)) {
            unsigned literal;
            if (literalTree) {
                const HuffEntry* e = DecodeInverted(in, t.literal, t.literalBits);
                if (!e) return kInvalid;
                literal = e->v.n;
            } else {
                literal = in.Take(8);
            }
            if (in.Overrun()) return kInvalid;
            w.Put(static_cast<uint8_t>(literal));
            --remaining;
        } else {
            unsigned low = in.Take(lowBits);
            const HuffEntry* e = DecodeInverted(in, t.distance, t.distanceBits);
            if (!e) return kInvalid;
            uint32_t distance = low + e->v.n;
            e = DecodeInverted(in, t.length, t.lengthBits);
            if (!e) return kInvalid;
            uint32_t length = e->v.n;
            if (e->e != 0) length += in.Take(e->e);
            if (in.Overrun()) return kInvalid;
            remaining -= static_cast<int32_t>(length);
            w.Copy(distance, length);
        }
        // A failed write or a host cancel makes the rest of the work useless.
        if (Status() != 0) return kOk;
    }
    w.Flush();
    return kOk;
}

constexpr uint16_t LengthBase(unsigned k, bool literalTree) { return static_cast<uint16_t>(k + (literalTree ? 3 : 2)); }

}  // namespace

int Explode(DecodeSource& source, DecodeSink& out, uint16_t flags) {
    const bool literalTree = (flags & kFlagLiteralTree) != 0;
    const bool bigDictionary = (flags & kFlag8kDictionary) != 0;
    const unsigned lowBits = bigDictionary ? 7 : 6;

    uint16_t lengthBase[kLengthCodes];
    uint8_t lengthExtra[kLengthCodes] = {};
    uint16_t distanceBase[kDistanceCodes];
    uint8_t distanceExtra[kDistanceCodes] = {};
    for (unsigned k = 0; k < kLengthCodes; ++k) lengthBase[k] = LengthBase(k, literalTree);
    lengthExtra[kLengthCodes - 1] = 8;
    for (unsigned k = 0; k < kDistanceCodes; ++k) distanceBase[k] = static_cast<uint16_t>((k << lowBits) + 1);

    BitReader in(source);
    Tables t;
    int r;
    if (literalTree) {
        r = BuildTree(in, kLiteralCodes, kLiteralCodes, nullptr, nullptr, &t.literal, &t.literalBits);
        if (r != kOk) return r;
    }
    r = BuildTree(in, kLengthCodes, 0, lengthBase, lengthExtra, &t.length, &t.lengthBits);
    if (r != kOk) return r;
    r = BuildTree(in, kDistanceCodes, 0, distanceBase, distanceExtra, &t.distance, &t.distanceBits);
    if (r != kOk) return r;
    OutputWindow window(WindowStorage(), kWindowSize, out, VX_FILE_ERROR);
    return ExpandSymbols(in, window, t, literalTree, lowBits);
}

}  // namespace vardex
