// Decoders for the methods that came before Deflate: Shrink (1), Reduce
// (2 to 5) and Implode (6).  Each reads an entry's data from the source
// through the bit reader and writes through a window to the sink; each keeps
// its own tables in its own file.
//
// Bad data never makes them read or write outside their tables: a decoder
// that meets data it cannot follow simply stops, and the driver's CRC check
// then reports the entry (9962).  None of them sets a status code for bad data.
#pragma once

#include <cstdint>

#include "extract/streams.h"

namespace vardex {

// Method 1: LZW with 9- to 13-bit codes and partial clearing.  Decodes until
// the compressed data is used up, writing in 2,048-byte steps.
void Unshrink(DecodeSource& in, DecodeSink& out);

// Methods 2 to 5, compression factor 1 to 4 (the method - 1): follower sets
// under an escape/back-reference layer.  Decodes until the bytes produced
// reach the declared size or the input ends, writing in 8,192-byte steps.
// Status 8 when its follower sets cannot be allocated.
void Unreduce(DecodeSource& in, DecodeSink& out, unsigned factor);

// Method 6, the variant chosen by bits 1 (8 KiB dictionary) and 2 (literal
// tree) of the general purpose flags.  Result: 0 ok, 1 invalid code or data
// that ends before the entry does, 2 or 3 from a table build (over-subscribed,
// out of memory), 1 also for an incomplete tree, 4 bad tree description.
int Explode(DecodeSource& in, DecodeSink& out, uint16_t flags);

}  // namespace vardex
