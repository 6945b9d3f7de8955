// Runs one decoder over fuzz input as the extraction driver would: fresh
// stream state over the bytes (held in an anonymous in-memory file), output
// to /dev/null, then the driver's final flush of the output buffer.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "api/engine.h"
#include "engine_reset.h"
#include "extract/streams.h"

namespace vxfuzz {

// Little-endian 16-bit value of the input's bytes [at, at + 2), 0 past its end.
inline uint32_t Le16(const uint8_t* data, size_t size, size_t at) {
    uint32_t lo = at < size ? data[at] : 0;
    uint32_t hi = at + 1 < size ? data[at + 1] : 0;
    return lo | hi << 8;
}

template <typename Decoder>
void RunDecoder(const uint8_t* data, size_t size, uint16_t method, uint16_t flags, uint32_t uncompressedSize,
                Decoder decode) {
    using namespace vardex;
    static int input = memfd_create("vardex-fuzz-input", 0);
    static int output = open("/dev/null", O_WRONLY);
    static uint8_t inBuf[kInputBufferSize];
    static uint8_t outBuf[kOutputBufferSize];
    if (input < 0 || output < 0) abort();
    if (ftruncate(input, 0) != 0 || pwrite(input, data, size, 0) != static_cast<ssize_t>(size)) abort();
    lseek(input, 0, SEEK_SET);

    vxfuzz::ResetEngine();
    EngineState& e = engine();
    StreamState& s = e.stream;
    CentralFields f{};
    f.method = method;
    f.flags = flags;
    f.compressedSize = static_cast<uint32_t>(size);
    f.uncompressedSize = uncompressedSize;
    ResetStream(s, f);
    s.inHandle = input;
    s.outHandle = output;
    s.inBuf = inBuf;
    s.outBuf = outBuf;
    s.encrypted = 0;
    s.pendingDecrypt = 0;
    SetStatus(0);

    decode();
    if (s.outCount > 0 && Status() == 0) FlushOutput();
    s.inBuf = s.outBuf = nullptr;
    s.inHandle = s.outHandle = -1;
}

}  // namespace vxfuzz
