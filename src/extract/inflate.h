// Inflate: the decoder for deflated entries (method 8).  Input comes from
// ReadByte, output goes through a 32,768-byte sliding window written out with
// FlushSlide, which keeps the CRC and reports progress.
#pragma once

namespace vardex {

// Block results.
constexpr int kInflateOk = 0;
constexpr int kInflateBadData = 1;      // invalid code, bad lengths, data that ends inside a block
constexpr int kInflateBadCode = 2;      // over-subscribed code or block type 3
constexpr int kInflateNoMemory = 3;     // a table could not be allocated

// Decodes the current entry's data completely or until an error: 0, or the
// failing block's result (DecodeEntry turns it into status 9964, or 8 for memory).
int Inflate();

// Tests turn the fast path off to compare it with the careful one alone.
void SetInflateFastPathForTesting(bool on);

// Frees the fixed-code tables cached for the entry.
void InflateFree();

}  // namespace vardex
