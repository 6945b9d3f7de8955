// The extraction export.
#include "extract/extract.h"
#include "api/engine.h"

using namespace vardex;

extern "C" {
VARDEX_API void VARDEX_CALL ExtractFileMaskListZip(FileMaskList* masks) {
    const EngineLock lock;
    ExtractEntries(masks);
}
}
