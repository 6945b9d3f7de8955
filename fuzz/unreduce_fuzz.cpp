// Unreduce over arbitrary data.  Input: one byte choosing the compression
// factor (its low two bits), two bytes giving the uncompressed size in units
// of 4 bytes, then the compressed stream.
#include "decoder_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint16_t method = static_cast<uint16_t>(2 + (data[0] & 3));
    uint32_t usize = vxfuzz::Le16(data, size, 1) * 4;
    vxfuzz::RunDecoder(data + 3, size - 3, method, 0, usize);
    return 0;
}
