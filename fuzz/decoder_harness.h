// Runs the decoder seam over fuzz input as the extraction driver does: fresh
// streams whose source is the input in memory, output to /dev/null.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "api/engine.h"
#include "engine_reset.h"
#include "extract/decode.h"
#include "extract/streams.h"

namespace vxfuzz {

// Little-endian 16-bit value of the input's bytes [at, at + 2), 0 past its end.
inline uint32_t Le16(const uint8_t* data, size_t size, size_t at) {
    uint32_t lo = at < size ? data[at] : 0;
    uint32_t hi = at + 1 < size ? data[at + 1] : 0;
    return lo | hi << 8;
}

inline void RunDecoder(const uint8_t* data, size_t size, uint16_t method, uint16_t flags, uint32_t uncompressedSize) {
    using namespace vardex;
    static int output = open("/dev/null", O_WRONLY);
    static uint8_t buffer[kSourceBufferSize];
    if (output < 0) abort();

    vxfuzz::ResetEngine();
    StreamState stream;
    StreamState& s = stream;
    CentralFields f{};
    f.method = method;
    f.flags = flags;
    f.compressedSize = static_cast<uint32_t>(size);
    f.uncompressedSize = uncompressedSize;
    ResetStream(s, f);
    s.in.memory = data;
    s.in.buffer = buffer;
    // Small refills now and then, so that the decoders meet the end of the
    // bytes in hand in every place.
    s.in.capacity = size > 0 && (data[size - 1] & 1) ? 1 + data[size - 1] % 61u : kSourceBufferSize;
    s.out.handle = output;
    SetStatus(0);

    DecodeEntry(s);
    s.in = {};
    s.out.handle = -1;
}

}  // namespace vxfuzz
