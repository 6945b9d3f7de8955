// The extraction export.  (Placeholder body until extraction lands.)
#include "api/engine.h"

using namespace vardex;

extern "C" {
VARDEX_API void ExtractFileMaskListZip(FileMaskList*) { SetStatus(VX_FILE_ERROR); }
}
