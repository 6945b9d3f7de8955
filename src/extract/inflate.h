// Inflate: the decoder for deflated entries (method 8).  Bits come from the
// source through the bit reader; output goes through a 32,768-byte window,
// written to the sink (with a short write reported as status 101) each time
// it fills and once at the end.
#pragma once

#include "extract/streams.h"

namespace vardex {

// Block results.
constexpr int kInflateOk = 0;
constexpr int kInflateBadData = 1;      // invalid code, bad lengths, data that ends inside a block
constexpr int kInflateBadCode = 2;      // over-subscribed code or block type 3
constexpr int kInflateNoMemory = 3;     // a table could not be allocated

// Decodes an entry's data completely or until an error: 0, or the failing
// block's result (DecodeEntry turns it into status 9964, or 8 for memory).
// The tables it builds are released when it returns.
int Inflate(DecodeSource& in, DecodeSink& out);

// Tests turn the fast path off to compare it with the careful one alone.
void SetInflateFastPathForTesting(bool on);

}  // namespace vardex
