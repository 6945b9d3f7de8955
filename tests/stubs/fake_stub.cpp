// Stand-ins for the self-extractor stub library, one behaviour each, for the
// library's tests: a head without the split entry points, head functions that
// fail, a library without GetSfxHead2, and a head too short for its blocks.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vardex32.h"

namespace {
int32_t WriteBytes(const char* enginePath, size_t n) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s", enginePath);
    for (char* p = path; *p; ++p)
        if (*p == '\\') *p = '/';
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    for (size_t i = 0; i < n; ++i) fputc(static_cast<int>((i * 7) & 0xFF), f);
    fclose(f);
    return 1;
}
}  // namespace

extern "C" {

// Tests point the library's own module at this function, so that the stub
// is looked up in this library's directory.
VARDEX_API int FakeStubAnchor() { return 1; }

VARDEX_API int32_t GetSfxHead(const char* path, int32_t, int32_t, int32_t, const char*, const char*) {
    return WriteBytes(path, 9000);
}

#ifndef FAKE_NO_HEAD2
VARDEX_API int32_t GetSfxHead2(const char* path, int32_t, SfxDesc*) {
#if defined(FAKE_RESULT)
    (void)path;
    return FAKE_RESULT;
#elif defined(FAKE_SHORT_HEAD)
    return WriteBytes(path, 100);
#else
    return WriteBytes(path, 9000);
#endif
}
#endif

}  // extern "C"
