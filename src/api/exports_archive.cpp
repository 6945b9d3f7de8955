// Archive and entry-list exports.  (Placeholder bodies until they land.)
#include "api/engine.h"

using namespace vardex;

extern "C" {

VARDEX_API void InitZipFile(const char*) { SetStatus(VX_FILE_ERROR); }
VARDEX_API void CreateZipFile(const char*) { SetStatus(VX_FILE_ERROR); }
VARDEX_API void DoneZipFile(void) {}

VARDEX_API void InitZipFileList(ZipFileList* list) {
    if (list) {
        list->first = list->last = nullptr;
        list->count = 0;
    }
}
VARDEX_API void BuildZipFileList(ZipFileList*, FileMaskList*) { SetStatus(VX_NOT_AN_ARCHIVE); }
VARDEX_API void DoneZipFileList(ZipFileList* list) { InitZipFileList(list); }

}  // extern "C"
