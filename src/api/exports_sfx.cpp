// Self-extractor exports.  (Placeholder bodies until they land.)
#include "api/engine.h"

using namespace vardex;

extern "C" {
VARDEX_API void CreateZipSfx(const char*, FileMaskList*, int32_t, int32_t, const char*, const char*) {
    SetStatus(VX_STUB_NOT_FOUND);
}
VARDEX_API void CreateZipSfx2(const char*, FileMaskList*, SfxDesc*) { SetStatus(VX_STUB_NOT_FOUND); }
}
