// File mask list exports.  (Placeholder bodies until the mask lists land.)
#include "api/engine.h"

using namespace vardex;

extern "C" {

VARDEX_API void InitFileMaskList(FileMaskList* list) {
    if (list) list->first = list->last = nullptr;
}

VARDEX_API uint8_t AppendFileMask(const char*, FileMaskList*) {
    SetStatus(VX_OUT_OF_MEMORY);
    return 0;
}

VARDEX_API void DoneFileMaskList(FileMaskList* list) {
    if (list) list->first = list->last = nullptr;
}

}  // extern "C"
