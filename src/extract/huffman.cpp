// Building the multi-level Huffman lookup tables.
//
// Codes are assigned in canonical order (shorter codes first, equal lengths
// by symbol) and stored bit-reversed, so that a table is indexed directly by
// the next bits of an LSB-first bit buffer.  The first-level table resolves
// every code up to its width; longer codes share a link entry per prefix that
// points to a sub-table, which may link further.  Every block of one code is
// chained behind a leading entry so that the whole code is freed at once.
#include "extract/huffman.h"

#include "api/paths.h"
#include "common/deflate_format.h"

#include <cstdlib>
#include <cstring>

namespace vardex {

// A block is its leading entry followed by 2^width lookup entries.
struct HuffTable {
    HuffEntry head;  // head.v.t: the next block of the same code (as its HuffTable)
};

namespace {

HuffEntry* EntriesOf(HuffTable* block) { return &block->head + 1; }

constexpr unsigned kMaxBits = 16;

struct Symbol {
    uint16_t value;   // symbol number
    uint8_t length;   // code length
    uint32_t code;    // bit-reversed code (LSB = first bit of the code)
};

struct Builder {
    const Symbol* symbols;  // coded symbols in canonical order
    unsigned count;
    unsigned s;
    const uint16_t* base;
    const uint8_t* extra;
    unsigned levelLimit;    // widest table allowed below the first level
    unsigned eobLength;     // length of the end-of-block code (16 when absent)
    HuffTable* first = nullptr;
    HuffTable* last = nullptr;

    HuffEntry* NewBlock(unsigned width) {
        size_t entries = size_t{1} << width;
        auto* block = static_cast<HuffTable*>(AllocateWork(sizeof(HuffEntry) * (entries + 1)));
        if (!block) return nullptr;
        block->head.e = 0;
        block->head.b = static_cast<uint8_t>(width);
        block->head.v.t = nullptr;
        HuffEntry* table = EntriesOf(block);
        for (size_t i = 0; i < entries; ++i) {
            table[i].e = kHuffInvalid;
            table[i].b = 0;
            table[i].v.n = 0;
        }
        if (last)
            last->head.v.t = reinterpret_cast<const HuffEntry*>(block);
        else
            first = block;
        last = block;
        return table;
    }

    HuffEntry Leaf(const Symbol& sym, unsigned bitsHere) const {
        HuffEntry out{};
        out.b = static_cast<uint8_t>(bitsHere);
        if (sym.value < s) {
            out.e = sym.value < 256 ? kHuffLiteral : kHuffEndOfBlock;
            out.v.n = sym.value;
        } else {
            out.e = extra[sym.value - s];
            out.v.n = base[sym.value - s];
        }
        return out;
    }

    // Fills the table at depth `depth` (bits already resolved) of width
    // `width` with symbols [from, to), all of which share the same first
    // `depth` code bits.  False when memory runs out.
    bool Fill(HuffEntry* table, unsigned depth, unsigned width, unsigned from, unsigned to) {
        const uint32_t span = 1u << width;
        unsigned i = from;
        while (i < to) {
            const Symbol& sym = symbols[i];
            uint32_t index = (sym.code >> depth) & (span - 1);
            if (sym.length <= depth + width) {
                HuffEntry leaf = Leaf(sym, sym.length - depth);
                for (uint32_t k = index; k < span; k += 1u << (sym.length - depth)) table[k] = leaf;
                ++i;
                continue;
            }
            // Longer codes with this prefix: they are consecutive in canonical
            // order.  Their sub-table is as wide as the longest of them needs,
            // within the level limit, and never reaches past the length of the
            // end-of-block code.
            unsigned groupEnd = i;
            unsigned longest = 0;
            const uint32_t prefixMask = (depth + width >= 32) ? 0xFFFFFFFFu : ((1u << (depth + width)) - 1);
            while (groupEnd < to && (symbols[groupEnd].code & prefixMask) == (sym.code & prefixMask) &&
                   symbols[groupEnd].length > depth + width) {
                if (symbols[groupEnd].length > longest) longest = symbols[groupEnd].length;
                ++groupEnd;
            }
            unsigned subDepth = depth + width;
            unsigned subWidth = longest - subDepth;
            if (subWidth > levelLimit) subWidth = levelLimit;
            if (subDepth < eobLength && eobLength < subDepth + subWidth) subWidth = eobLength - subDepth;
            HuffEntry* sub = NewBlock(subWidth);
            if (!sub) return false;
            HuffEntry link{};
            link.e = static_cast<uint8_t>(kHuffLinkBase + subWidth);
            link.b = static_cast<uint8_t>(width);
            link.v.t = sub;
            table[index] = link;
            if (!Fill(sub, subDepth, subWidth, i, groupEnd)) return false;
            i = groupEnd;
        }
        return true;
    }
};

}  // namespace

int BuildHuffmanTable(const uint8_t* lengths, unsigned n, unsigned s, const uint16_t* base, const uint8_t* extra,
                      HuffTable** table, unsigned* bits) {
    *table = nullptr;
    unsigned count[kMaxBits + 1] = {};
    for (unsigned i = 0; i < n; ++i) {
        if (lengths[i] > kMaxBits) return 1;
        ++count[lengths[i]];
    }
    if (count[0] == n) {
        *bits = 0;
        return 0;
    }

    unsigned shortest = 1, longest = kMaxBits;
    while (count[shortest] == 0) ++shortest;
    while (count[longest] == 0) --longest;
    unsigned width = *bits;
    if (width < shortest) width = shortest;
    if (width > longest) width = longest;

    // Code space check: over-subscription is an error, an incomplete code is
    // reported after the tables are built.
    int64_t left = 1;
    for (unsigned len = 1; len <= kMaxBits; ++len) {
        left = (left << 1) - count[len];
        if (left < 0) return 2;
    }
    const bool incomplete = left > 0;

    // Canonical codes: first code of each length, then symbols in order.
    uint32_t next[kMaxBits + 2] = {};
    uint32_t code = 0;
    for (unsigned len = 1; len <= kMaxBits; ++len) {
        code = (code + count[len - 1] * (len > 1 ? 1 : 0)) << 1;
        next[len] = code;
    }
    // Position of each length's first symbol in canonical order.
    unsigned offset[kMaxBits + 2] = {};
    for (unsigned len = 1; len <= kMaxBits; ++len) offset[len + 1] = offset[len] + count[len];
    const unsigned coded = n - count[0];
    auto* symbols = static_cast<Symbol*>(AllocateWork(sizeof(Symbol) * coded));
    if (!symbols) return 3;
    for (unsigned i = 0; i < n; ++i) {
        unsigned len = lengths[i];
        if (len == 0) continue;
        Symbol& sym = symbols[offset[len]++];
        sym.value = static_cast<uint16_t>(i);
        sym.length = static_cast<uint8_t>(len);
        sym.code = ReverseBits(next[len]++, len);
    }

    Builder b;
    b.symbols = symbols;
    b.count = coded;
    b.s = s;
    b.base = base;
    b.extra = extra;
    b.levelLimit = width;
    b.eobLength = (n > 256 && lengths[256] != 0) ? lengths[256] : kMaxBits;
    if (n <= 256) b.eobLength = kMaxBits;
    HuffEntry* root = b.NewBlock(width);
    bool ok = root && b.Fill(root, 0, width, 0, coded);
    free(symbols);
    if (!ok) {
        FreeHuffmanTable(b.first);
        return 3;
    }
    *table = b.first;
    *bits = width;
    return incomplete && longest > 1 ? 1 : 0;
}

void FreeHuffmanTable(HuffTable* table) {
    while (table) {
        auto* next = reinterpret_cast<HuffTable*>(const_cast<HuffEntry*>(table->head.v.t));
        free(table);
        table = next;
    }
}

const HuffEntry* HuffRoot(const HuffTable* table) { return table ? &table->head + 1 : nullptr; }

}  // namespace vardex
