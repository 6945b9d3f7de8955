// Small text helpers shared by every subsystem.  Names, paths, masks and the
// password are limited to 255 bytes: every copy into a fixed field goes
// through CopyText, which never writes past the field and never cuts a
// character of the working form (UTF-8, or the ANSI code page on Windows) in
// half.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace vardex {

// Longest name, path, mask or password kept (bytes, without the terminator).
constexpr size_t kMaxText = 255;
// Size of the fixed text fields (255 bytes + terminator).
constexpr size_t kTextField = 256;

// Copies src into dst[cap] (cap >= 1), at most min(cap - 1, kMaxText) bytes,
// cut at a character boundary.  Returns the copied length.
inline size_t CopyText(char* dst, size_t cap, const char* src) {
    if (cap == 0) return 0;
    if (!src) {
        dst[0] = '\0';
        return 0;
    }
    size_t limit = cap - 1 < kMaxText ? cap - 1 : kMaxText;
    size_t len = platform::TextCutLength(src, strnlen(src, limit + 1), limit);
    memmove(dst, src, len);
    dst[len] = '\0';
    return len;
}

// Appends src to the text in dst[cap] under the same rules as CopyText.
inline size_t AppendText(char* dst, size_t cap, const char* src) {
    size_t have = strnlen(dst, cap);
    if (have >= cap - 1 || have >= kMaxText) return have;
    return have + CopyText(dst + have, cap - have, src);
}

// How a progress share is computed.  Hosts have always seen reading and
// writing report slightly different figures, and they still do:
//   Exact   (extraction): done * 100 / total; an empty total is 0 done.
//   Halved  (adding a file): both counts are halved together while done is
//           at least 0x1400000, as 32-bit arithmetic once needed so that
//           done * 100 would fit, and the share follows from the halved
//           counts; an empty total (also one halved to nothing) is 100 done.
enum class PercentRule { Exact, Halved };

// The percentage SetProgressProc is given, computed wide so large files never
// overflow.
inline int32_t Percent(int64_t done, int64_t total, PercentRule rule = PercentRule::Exact) {
    if (rule == PercentRule::Exact) return total <= 0 ? 0 : static_cast<int32_t>(done * 100 / total);
    constexpr int64_t kHalvingLimit = 0x1400000;
    while (done >= kHalvingLimit) {
        done >>= 1;
        total >>= 1;
    }
    return total > 0 ? static_cast<int32_t>(done * 100 / total) : 100;
}

}  // namespace vardex
