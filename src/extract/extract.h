// The extraction driver: writes the entries of the open archive that a mask
// list selects into files under the output directory.
#pragma once

#include <cstddef>

#include "vardex32.h"

namespace vardex {

struct StreamState;

// ExtractFileMaskListZip: the outcome is the status code.
void ExtractEntries(FileMaskList* masks);
// Decodes the selected entries as extraction would and checks their CRCs,
// writing nothing anywhere (no file, no directory); the outcome is the
// status code.  The host hears each entry through SetFileNameProc with an
// empty output name.  A password accepted here stays for a following
// extraction.  VxTestFileMaskListZip.
void CheckEntries(FileMaskList* masks);

// The password step of an encrypted entry, its source at the entry's first
// byte: a password at hand (the host is asked when none is set), then the
// 12-byte header read from the source and checked, asking again after each
// wrong password.  Once accepted, the source decrypts everything behind the
// header.  False: no SetCryptKeyProc, the host gave up, or the data is too
// short to hold a header.
bool PasswordStep(StreamState& s, const char* name);

// The overwrite check (installed into engine().overwriteCheck by the first
// InitZipFile): asks OkToReplaceProc about an existing output file.  Answer
// 0 replace (a read-only file made writable when the host said so), 1 skip
// the entry, 2 stop.  The file is looked up as `leaf` in the open output
// directory `dirFd` (-1 when that does not exist yet), without following
// a link.
int OverwriteCheck(const ZipFileEntry& entry, const char* outputPath, int dirFd, const char* leaf);

// Builds the output path for a stored name (the output directory followed by
// the name as the options and the relative path shape it) into out[kPathField].
// Names that are absolute or climb with ".." lose those parts, so the path
// always lies inside the output directory.  False when the path would be
// longer than 255 characters.
bool BuildOutputPath(const char* storedName, char* out);

}  // namespace vardex
