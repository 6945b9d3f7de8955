// Inflate over arbitrary data: the whole input is the raw Deflate stream.
#include "decoder_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vxfuzz::RunDecoder(data, size, 8, 0, static_cast<uint32_t>(size) * 4);
    return 0;
}
