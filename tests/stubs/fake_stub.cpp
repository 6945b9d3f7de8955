// Stand-ins for the self-extractor stub library, one behaviour each, for the
// library's tests: a head without the split entry points, head functions that
// fail, a library without GetSfxHead2, and a head too short for its blocks.
// Each head function also records what it received beside the head's path
// (PATH.got), so that the tests see exactly what the library passes on.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vardex32.h"

namespace {
void NativePath(const char* enginePath, const char* suffix, char* out, size_t cap) {
    snprintf(out, cap, "%s%s", enginePath, suffix);
    for (char* p = out; *p; ++p)
        if (*p == '\\') *p = '/';
}

void Record(const char* enginePath, const void* bytes, size_t n) {
    char path[MAX_PATH + 8];
    NativePath(enginePath, ".got", path, sizeof path);
    FILE* f = fopen(path, "wb");
    if (!f) return;
    fwrite(bytes, 1, n, f);
    fclose(f);
}

int32_t WriteBytes(const char* enginePath, size_t n) {
    char path[MAX_PATH];
    NativePath(enginePath, "", path, sizeof path);
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

// Records "three form split", then text 1 and text 2, one a line.
VARDEX_API int32_t VARDEX_CALL GetSfxHead(const char* path, int32_t three, int32_t form, int32_t split, const char* text1,
                              const char* text2) {
    char got[2400];
    const int n = snprintf(got, sizeof got, "%d %d %d\n%s\n%s\n", three, form, split, text1 ? text1 : "(null)",
                           text2 ? text2 : "(null)");
    Record(path, got, static_cast<size_t>(n) < sizeof got ? static_cast<size_t>(n) : sizeof got - 1);
    return WriteBytes(path, 9000);
}

#ifndef FAKE_NO_HEAD2
// Records `three` as four little-endian bytes, then the whole record.
VARDEX_API int32_t VARDEX_CALL GetSfxHead2(const char* path, int32_t three, SfxDesc* desc) {
    unsigned char got[4 + sizeof(SfxDesc)];
    for (int i = 0; i < 4; ++i) got[i] = static_cast<unsigned char>(static_cast<uint32_t>(three) >> (8 * i));
    memcpy(got + 4, desc, sizeof(SfxDesc));
    Record(path, got, sizeof got);
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
