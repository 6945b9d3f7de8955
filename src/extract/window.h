// The one output window of the decoders.  Bytes are produced into it, matches
// copy from it, and each time it fills it is written out through the sink
// (one write and one progress report per window) and starts again at 0.
// Its size, a power of two, is the decoder's own: Inflate's and Explode's
// 32 KiB, Unreduce's 8 KiB, Unshrink's 2 KiB output steps.
#pragma once

#include <cstdint>

#include "extract/streams.h"

namespace vardex {

struct OutputWindow {
    uint8_t* data;             // `size` bytes
    uint32_t size;
    DecodeSink& sink;
    uint16_t writeFailure;     // the status a failed write leaves
    uint32_t pos = 0;          // bytes waiting in the window
    uint64_t produced = 0;     // bytes produced for the entry

    OutputWindow(uint8_t* storage, uint32_t bytes, DecodeSink& s, uint16_t failure)
        : data(storage), size(bytes), sink(s), writeFailure(failure) {}

    void Put(uint8_t b) {
        data[pos++] = b;
        ++produced;
        if (pos == size) Flush();
    }
    void Append(const uint8_t* bytes, uint32_t n);
    // Copies `length` bytes from `distance` back, in runs bounded by the
    // window's end; a distance shorter than the length repeats the pattern,
    // and bytes before the entry's first one are zeros.
    void Copy(uint32_t distance, uint32_t length);
    // Writes the bytes waiting and starts again at 0.
    void Flush() {
        sink.Write(data, pos, writeFailure);
        pos = 0;
    }
};

// The 32 KiB of storage the windows live in (one entry is decoded at a time).
uint8_t* WindowStorage();

}  // namespace vardex
