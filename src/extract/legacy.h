// Decoders for the methods that came before Deflate: Shrink (1), Reduce
// (2 to 5) and Implode (6).  Each reads the current entry's data through the
// stream reader and writes through the stream writers; each keeps its own
// tables and window in its own file.
//
// Bad data never makes them read or write outside their tables: a decoder
// that meets data it cannot follow simply stops, and the driver's CRC check
// then reports the entry (9962).  None of them sets a status code for bad data.
#pragma once

#include <cstdint>

namespace vardex {

// Method 1: LZW with 9- to 13-bit codes and partial clearing.  Decodes until
// the compressed data is used up; writes through WriteBlock.
void Unshrink();

// Methods 2 to 5 (the factor is the entry's method - 1): follower sets under
// an escape/back-reference layer.  Decodes until the bytes written reach the
// uncompressed size or the input ends; output goes through PutByte, and the
// driver flushes what is left in the output buffer.  Status 8 when its
// follower sets cannot be allocated.
void Unreduce();

// Method 6, the variant chosen by bits 1 (8 KiB dictionary) and 2 (literal
// tree) of the general purpose flags.  Result: 0 ok, 1 invalid code or data
// that ends before the entry does, 2 or 3 from a table build (over-subscribed,
// out of memory), 1 also for an incomplete tree, 4 bad tree description.
int Explode(uint16_t flags);

}  // namespace vardex
