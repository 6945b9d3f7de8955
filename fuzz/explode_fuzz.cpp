// Explode over arbitrary data.  Input: one byte whose bits 1 and 2 choose the
// variant (8 KiB dictionary, literal tree) exactly as the entry's flags do,
// two bytes giving the uncompressed size in units of 4 bytes, then the
// compressed stream.
#include "decoder_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint16_t flags = static_cast<uint16_t>(data[0] & 6);
    uint32_t usize = vxfuzz::Le16(data, size, 1) * 4;
    vxfuzz::RunDecoder(data + 3, size - 3, 6, flags, usize);
    return 0;
}
