// Path, name and attribute services shared by every operation.  Texts are
// zero-terminated, at most 255 bytes; every output buffer is a 256-byte (or
// larger) field and is never written past.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vardex {

// out[kPathField] := path + one backslash, unless path is empty or already
// ends in a backslash or a colon.
void AddSeparator(const char* path, char* out);

}  // namespace vardex
