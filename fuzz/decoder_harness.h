// Runs the decoder seam over fuzz input as the extraction driver does: fresh
// stream state reading the bytes from memory, output to /dev/null.
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
    static uint8_t inBuf[kInputBufferSize];
    static uint8_t outBuf[kOutputBufferSize];
    if (output < 0) abort();

    vxfuzz::ResetEngine();
    EngineState& e = engine();
    StreamState& s = e.stream;
    CentralFields f{};
    f.method = method;
    f.flags = flags;
    f.compressedSize = static_cast<uint32_t>(size);
    f.uncompressedSize = uncompressedSize;
    ResetStream(s, f);
    s.memory = data;
    s.outHandle = output;
    s.inBuf = inBuf;
    s.outBuf = outBuf;
    s.encrypted = 0;
    s.pendingDecrypt = 0;
    SetStatus(0);

    DecodeEntry();
    s.inBuf = s.outBuf = nullptr;
    s.memory = nullptr;
    s.outHandle = -1;
}

}  // namespace vxfuzz
