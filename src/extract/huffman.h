// The table-driven Huffman decoder shared by Inflate and Explode: multi-level
// lookup tables indexed by the next bits of the bit buffer (codes stored
// bit-reversed).
#pragma once

#include <cstdint>

namespace vardex {

// What a table entry is, by its kind field `e`.
constexpr uint8_t kHuffMaxExtra = 13;     // 0..13: a base followed by e extra bits
constexpr uint8_t kHuffEndOfBlock = 15;   // code 256 of a literal/length code
constexpr uint8_t kHuffLiteral = 16;      // a literal (or simple value) in v.n
constexpr uint8_t kHuffLinkBase = 16;     // above: a link to a sub-table indexed by
                                          // the next e - 16 bits
constexpr uint8_t kHuffInvalid = 99;      // no code has these bits

// One lookup table entry.
struct HuffEntry {
    uint8_t e;  // the kind, as above
    uint8_t b;  // bits consumed at this level
    union {
        uint16_t n;             // literal, length base or distance base
        const HuffEntry* t;     // sub-table
    } v;
};

// A table is a heap block of 2^bits entries; all blocks of one code are
// chained so that FreeHuffmanTable releases them together.
struct HuffTable;

// Builds the tables for n code lengths (each 0..16).  Codes below s are simple
// values (< 256 literal, 256 end of block); codes s and above take
// base[code - s] and extra[code - s].  *bits: requested first-level width in,
// actual out.  Result: 0 ok, 1 incomplete code (longest code above 1 bit),
// 2 over-subscribed, 3 out of memory.  An all-zero set gives an empty table
// (*table == nullptr, *bits == 0) and 0.
int BuildHuffmanTable(const uint8_t* lengths, unsigned n, unsigned s, const uint16_t* base, const uint8_t* extra,
                      HuffTable** table, unsigned* bits);
void FreeHuffmanTable(HuffTable* table);
// The first-level entries of a table (2^bits of them).
const HuffEntry* HuffRoot(const HuffTable* table);

}  // namespace vardex
