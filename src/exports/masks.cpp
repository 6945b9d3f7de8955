// File mask list exports.
#include "api/masks.h"
#include "api/engine.h"

using namespace vardex;

extern "C" {

VARDEX_API void VARDEX_CALL InitFileMaskList(FileMaskList* list) {
    const EngineLock lock;
    if (list) list->first = list->last = nullptr;
}

VARDEX_API uint8_t VARDEX_CALL AppendFileMask(const char* mask, FileMaskList* list) {
    const EngineLock lock;
    return AppendMask(mask, list) ? 1 : 0;
}

VARDEX_API void VARDEX_CALL DoneFileMaskList(FileMaskList* list) {
    const EngineLock lock;
    ReleaseMaskList(list);
}

}  // extern "C"
