// The one bit reader of the decoders: bits are taken from the least
// significant end of a 64-bit buffer that is filled from the source a byte
// at a time, only as far as a field needs.
//
// Past the end of the data zero bits are supplied, so that a table lookup
// that looks ahead of the last code can still be made; consuming one of them
// (Overrun) means the data ended too soon.
#pragma once

#include <cstdint>

#include "extract/streams.h"

namespace vardex {

struct BitReader {
    DecodeSource& in;
    uint64_t buffer = 0;   // bits above `count` are zero
    unsigned count = 0;    // bits held
    unsigned padding = 0;  // of them, the zero bits supplied past the end (at the top)

    explicit BitReader(DecodeSource& source) : in(source) {}

    // Holds at least n bits (n <= 56).
    void Need(unsigned n) {
        while (count < n) {
            int c = in.Byte();
            if (c < 0) {
                c = 0;
                padding += 8;
            }
            buffer |= static_cast<uint64_t>(c) << count;
            count += 8;
        }
    }
    uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(buffer & ((uint64_t{1} << n) - 1)); }
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
    // Bits held that came from the data.
    unsigned Real() const { return count > padding ? count - padding : 0; }
    // True once a bit past the end of the data has been consumed.
    bool Overrun() const { return count < padding; }
};

}  // namespace vardex
