// The extraction export.
#include "api/engine.h"
#include "extract/extract.h"

using namespace vardex;

extern "C" {
VARDEX_API void VARDEX_CALL ExtractFileMaskListZip(FileMaskList* masks) {
    const EngineLock lock;
    ExtractEntries(masks);
}
}
