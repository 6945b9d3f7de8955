#include "extract/window.h"

#include <cstring>

namespace vardex {

uint8_t* WindowStorage() {
    static uint8_t storage[kInflateWindowSize];
    return storage;
}

void OutputWindow::Append(const uint8_t* bytes, uint32_t n) {
    while (n > 0) {
        uint32_t run = size - pos < n ? size - pos : n;
        std::memcpy(data + pos, bytes, run);
        pos += run;
        produced += run;
        bytes += run;
        n -= run;
        if (pos == size) Flush();
    }
}

void OutputWindow::Copy(uint32_t distance, uint32_t length) {
    const uint32_t mask = size - 1;
    uint32_t from = (pos - distance) & mask;
    // Bytes before the entry's first one, while any are asked for.
    uint64_t zeros = distance > produced ? distance - produced : 0;
    while (length > 0) {
        uint32_t run = size - (from > pos ? from : pos);
        if (run > length) run = length;
        if (zeros > 0) {
            if (run > zeros) run = static_cast<uint32_t>(zeros);
            std::memset(data + pos, 0, run);
            zeros -= run;
        } else if (from < pos && pos - from < run) {
            // The run reads bytes it writes itself: the pattern repeats.
            for (uint32_t k = 0; k < run; ++k) data[pos + k] = data[from + k];
        } else {
            std::memmove(data + pos, data + from, run);
        }
        pos += run;
        produced += run;
        from = (from + run) & mask;
        length -= run;
        if (pos == size) Flush();
    }
}

}  // namespace vardex
