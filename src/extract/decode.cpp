#include "extract/decode.h"

#include "api/engine.h"
#include "extract/inflate.h"
#include "extract/legacy.h"
#include "extract/streams.h"

namespace vardex {

int DecodeEntry() {
    StreamState& s = engine().stream;
    int result = 0;
    switch (s.current.method) {
        case 1:
            Unshrink();
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            Unreduce();
            break;
        case 6:
            result = Explode(s.current.flags);
            break;
        case 8:
            result = Inflate();
            InflateFree();
            // Memory running out is not damage in the data.
            if (result != kInflateOk) SetStatus(result == kInflateNoMemory ? VX_OUT_OF_MEMORY : VX_BAD_DATA);
            return result;
        default:
            return -1;
    }
    // Unreduce and Explode leave their last bytes in the output buffer.
    if (s.outCount > 0 && Status() == 0) FlushOutput();
    return result;
}

}  // namespace vardex
