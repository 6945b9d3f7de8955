/*
 * list_extract: a small host of the Vardex engine in C.
 *
 *     list_extract ARCHIVE [OUTDIR]
 *
 * Lists the entries of ARCHIVE and, given OUTDIR (which must exist),
 * extracts them all below it with their directories.
 */
#include <stdio.h>

#include "vardex32.h"
#include "vardex32x.h"

static int fail(const char* what) {
    uint16_t status = GetArchiveStatus();
    fprintf(stderr, "%s: %s (status %u)\n", what, VxStatusText(status), status);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s ARCHIVE [OUTDIR]\n", argv[0]);
        return 2;
    }
    printf("Vardex %s\n", VxVersion());

    InitZipFile(argv[1]);
    if (GetArchiveStatus() != VX_OK) return fail(argv[1]);

    ZipFileList entries;
    InitZipFileList(&entries);
    BuildZipFileList(&entries, NULL); /* no masks: every entry */
    for (ZipFileEntry* e = entries.first; e; e = e->next)
        printf("%10u  %s\n", (unsigned)e->uncompressedSize, e->name);
    printf("%u entries\n", (unsigned)entries.count);
    DoneZipFileList(&entries);

    int rc = 0;
    if (argc == 3) {
        /* Settings and callbacks come after InitZipFile, which resets them. */
        SetOutputPath(argv[2]);
        arOptionsOn(arUsePaths);
        FileMaskList all;
        InitFileMaskList(&all);
        ExtractFileMaskListZip(&all);
        DoneFileMaskList(&all);
        if (GetArchiveStatus() != VX_OK)
            rc = fail("extract");
        else
            printf("extracted to %s\n", argv[2]);
    }
    DoneZipFile();
    return rc;
}
