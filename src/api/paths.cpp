#include "api/paths.h"

#include <cstring>

#include "api/engine.h"

namespace vardex {

void AddSeparator(const char* path, char* out) {
    size_t len = CopyText(out, kPathField, path);
    if (len == 0) return;
    char last = out[len - 1];
    if (last != '\\' && last != ':') out[len] = '\\', out[len + 1] = '\0';
}

}  // namespace vardex
