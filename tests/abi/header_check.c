/* The public header as a C host sees it: it compiles as C, and the records
 * keep the sizes and offsets that hosts and the stub library were built
 * against. */
#include <stddef.h>

#ifdef _WIN32
/* The header itself leaves WIN32_FIND_DATAA to <windows.h> there. */
#include <windows.h>
#endif
#include "vardex32.h"

#define PTR sizeof(void*)

_Static_assert(sizeof(FILETIME) == 8, "FILETIME is two 32-bit halves");

_Static_assert(offsetof(WIN32_FIND_DATAA, ftCreationTime) == 4, "find data: creation time");
_Static_assert(offsetof(WIN32_FIND_DATAA, ftLastAccessTime) == 12, "find data: access time");
_Static_assert(offsetof(WIN32_FIND_DATAA, ftLastWriteTime) == 20, "find data: write time");
_Static_assert(offsetof(WIN32_FIND_DATAA, nFileSizeHigh) == 28, "find data: size high");
_Static_assert(offsetof(WIN32_FIND_DATAA, nFileSizeLow) == 32, "find data: size low");
_Static_assert(offsetof(WIN32_FIND_DATAA, dwReserved0) == 36, "find data: reserved words");
_Static_assert(offsetof(WIN32_FIND_DATAA, cFileName) == 44, "find data: file name");
_Static_assert(offsetof(WIN32_FIND_DATAA, cAlternateFileName) == 304, "find data: short name");
_Static_assert(sizeof(WIN32_FIND_DATAA) == 320, "find data: 318 bytes padded to 320");

_Static_assert(offsetof(SfxDesc, form) == 4, "SfxDesc: form");
_Static_assert(offsetof(SfxDesc, volumeChoice) == 8, "SfxDesc: volume choice");
_Static_assert(offsetof(SfxDesc, stubWord3) == 12, "SfxDesc: word 3");
_Static_assert(offsetof(SfxDesc, stubData) == 16, "SfxDesc: stub data");
_Static_assert(offsetof(SfxDesc, text1) == 788, "SfxDesc: text 1");
_Static_assert(offsetof(SfxDesc, text2) == 1044, "SfxDesc: text 2");
_Static_assert(sizeof(SfxDesc) == 2076, "SfxDesc is 2,076 bytes");

_Static_assert(offsetof(FileMask, name) == PTR, "FileMask: name after the directory pointer");
_Static_assert(offsetof(FileMask, ext) == PTR + 256, "FileMask: extension");
_Static_assert(offsetof(FileMask, next) == PTR + 512, "FileMask: next");
_Static_assert(sizeof(FileMask) == 2 * PTR + 512, "FileMask size");
_Static_assert(sizeof(FileMaskList) == 2 * PTR, "FileMaskList: first and last");

_Static_assert(offsetof(ZipFileEntry, versionMadeBy) == PTR, "entry: fixed fields after next");
_Static_assert(offsetof(ZipFileEntry, localHeaderOffset) == PTR + 38, "entry: local header offset");
_Static_assert(offsetof(ZipFileEntry, name) == PTR + 42, "entry: name");
_Static_assert(offsetof(ZipFileEntry, comment) == PTR + 298, "entry: comment");
_Static_assert(offsetof(ZipFileEntry, selected) == 3 * PTR + 298, "entry: selected");
_Static_assert(sizeof(ZipFileEntry) == 3 * PTR + 299, "entry is packed");
_Static_assert(sizeof(ZipFileList) == 2 * PTR + 2, "entry list is packed");

/* Every export is callable from C with the declared types. */
void VardexHeaderCheck(void) {
    FileMaskList masks;
    InitFileMaskList(&masks);
    (void)AppendFileMask("*.*", &masks);
    DoneFileMaskList(&masks);
    (void)GetArchiveStatus();
    (void)arOptionsAreOn(arUsePaths);
}
