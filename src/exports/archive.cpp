// Archive and entry-list exports.
#include "archive/archive.h"
#include "api/engine.h"
#include "extract/extract.h"

using namespace vardex;

extern "C" {

VARDEX_API void VARDEX_CALL InitZipFile(const char* path) {
    const EngineLock lock;
    // The overwrite check that extraction calls is installed on the first
    // open in the process, before the archive is opened.
    if (!engine().overwriteCheck) engine().overwriteCheck = &OverwriteCheck;
    OpenArchive(path);
}
VARDEX_API void VARDEX_CALL CreateZipFile(const char* path) {
    const EngineLock lock;
    CreateArchive(path);
}
VARDEX_API void VARDEX_CALL DoneZipFile(void) {
    const EngineLock lock;
    CloseArchive();
}

VARDEX_API void VARDEX_CALL InitZipFileList(ZipFileList* list) {
    const EngineLock lock;
    if (list) {
        list->first = list->last = nullptr;
        list->count = 0;
    }
}
VARDEX_API void VARDEX_CALL BuildZipFileList(ZipFileList* list, FileMaskList* masks) {
    const EngineLock lock;
    if (list) BuildEntryList(list, masks, KeepBlocksFromOptions());
}
VARDEX_API void VARDEX_CALL DoneZipFileList(ZipFileList* list) {
    const EngineLock lock;
    ReleaseEntryList(list);
}

}  // extern "C"
