// Archive and entry-list exports.
#include "api/engine.h"
#include "archive/archive.h"

using namespace vardex;

extern "C" {

VARDEX_API void InitZipFile(const char* path) { OpenArchive(path); }
VARDEX_API void CreateZipFile(const char* path) { CreateArchive(path); }
VARDEX_API void DoneZipFile(void) { CloseArchive(); }

VARDEX_API void InitZipFileList(ZipFileList* list) {
    if (list) {
        list->first = list->last = nullptr;
        list->count = 0;
    }
}
VARDEX_API void BuildZipFileList(ZipFileList* list, FileMaskList* masks) {
    if (list) BuildEntryList(list, masks);
}
VARDEX_API void DoneZipFileList(ZipFileList* list) { ReleaseEntryList(list); }

}  // extern "C"
