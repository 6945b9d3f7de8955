// Update and delete exports.
#include "update/update.h"
#include "api/engine.h"

using namespace vardex;

extern "C" {
VARDEX_API void VARDEX_CALL CompressFileMaskListZip(FileMaskList* masks) {
    const EngineLock lock;
    CompressFileMaskList(masks);
}
VARDEX_API void VARDEX_CALL DeleteFileMaskListZip(FileMaskList* masks) {
    const EngineLock lock;
    DeleteFileMaskList(masks);
}
}
