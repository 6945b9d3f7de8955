// Update and delete exports.  (Placeholder bodies until they land.)
#include "api/engine.h"

using namespace vardex;

extern "C" {
VARDEX_API void CompressFileMaskListZip(FileMaskList*) { SetStatus(VX_FILE_ERROR); }
VARDEX_API void DeleteFileMaskListZip(FileMaskList*) { SetStatus(VX_FILE_ERROR); }
}
