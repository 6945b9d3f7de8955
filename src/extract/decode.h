// The one way into the decoders: the extraction driver, the tests and the
// fuzzers all decode an entry's compressed data through DecodeEntry.
#pragma once

#include <cstdint>

#include "extract/streams.h"

namespace vardex {

// Decodes the entry s.current (the streams reset for it with ResetStream,
// the source at the first compressed byte after any encryption header) by
// its method: Shrunk (1), Reduced (2-5), Imploded (6) or Deflated (8).
// Everything decoded has been written, counted and added to the CRC-32 when
// it returns, and the decoder's working memory is released.
//
// Result: 0, or the decoder's own result (Inflate's block result, which also
// leaves status 9964, or 8 when a table could not be allocated; Explode's,
// which leaves the status alone so that the CRC check reports the entry,
// unless memory ran out).  -1 for a method that is not decoded here.
int DecodeEntry(StreamState& s);

}  // namespace vardex
