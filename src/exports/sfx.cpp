// Self-extractor exports.
#include "sfx/sfx.h"
#include "api/engine.h"

using namespace vardex;

extern "C" {

VARDEX_API void VARDEX_CALL CreateZipSfx(const char* archivePath, FileMaskList* files, int32_t form,
                                         int32_t volumeChoice, const char* text1, const char* text2) {
    const EngineLock lock;
    CreateSfx(archivePath, files, form, volumeChoice, text1, text2);
}

VARDEX_API void VARDEX_CALL CreateZipSfx2(const char* archivePath, FileMaskList* files, SfxDesc* desc) {
    const EngineLock lock;
    CreateSfx2(archivePath, files, desc);
}

}  // extern "C"
