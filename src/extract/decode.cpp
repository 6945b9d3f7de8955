#include "extract/decode.h"

#include "api/engine.h"
#include "extract/inflate.h"
#include "extract/legacy.h"

namespace vardex {

int DecodeEntry(StreamState& s) {
    switch (s.current.method) {
        case 1:
            Unshrink(s.in, s.out);
            return 0;
        case 2:
        case 3:
        case 4:
        case 5:
            Unreduce(s.in, s.out, s.current.method - 1u);
            return 0;
        case 6:
            return Explode(s.in, s.out, s.current.flags);
        case 8: {
            const int result = Inflate(s.in, s.out);
            // Memory running out is not damage in the data.
            if (result != kInflateOk) SetStatus(result == kInflateNoMemory ? VX_OUT_OF_MEMORY : VX_BAD_DATA);
            return result;
        }
        default:
            return -1;
    }
}

}  // namespace vardex
