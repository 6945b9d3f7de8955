// The extraction driver: writes the entries of the open archive that a mask
// list selects into files under the output directory.
#pragma once

#include <cstddef>

#include "vardex32.h"

namespace vardex {

// ExtractFileMaskListZip: the outcome is the status code.
void ExtractEntries(FileMaskList* masks);
// VxTestFileMaskListZip: extraction that decodes and checks every selected
// entry but creates and writes nothing.
void TestEntries(FileMaskList* masks);

// The overwrite check (installed into engine().overwriteCheck by the first
// InitZipFile): asks OkToReplaceProc about an existing output file.  Answer
// 0 replace, 1 skip the entry, 2 stop, other: replace without touching the
// file's attributes.
int OverwriteCheck(const ZipFileEntry& entry, const char* outputPath);

// Builds the output path for a stored name (the output directory followed by
// the name as the options and the relative path shape it) into out[kPathField].
// Names that are absolute or climb with ".." lose those parts, so the path
// always lies inside the output directory.  False when the path would be
// longer than 255 characters.
bool BuildOutputPath(const char* storedName, char* out);

}  // namespace vardex
