/* A Windows host program in C that finds Vardex32.dll's exports by name,
 * as Delphi, VB or scripting hosts do: it adds two files to a new archive,
 * lists the archive and extracts it again, checking every step.  The public
 * header comes first and <windows.h> after it, as a host may order them. */
#include "vardex32.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

typedef void(VARDEX_CALL* PathFn)(const char*);
typedef void(VARDEX_CALL* VoidFn)(void);
typedef uint16_t(VARDEX_CALL* StatusFn)(void);
typedef void(VARDEX_CALL* OptionsFn)(uint16_t);
typedef void(VARDEX_CALL* MaskListFn)(FileMaskList*);
typedef uint8_t(VARDEX_CALL* AppendFn)(const char*, FileMaskList*);
typedef void(VARDEX_CALL* ListFn)(ZipFileList*);
typedef void(VARDEX_CALL* BuildFn)(ZipFileList*, FileMaskList*);
typedef void(VARDEX_CALL* NameProcFn)(uint32_t, SetFileNameProc);

static int g_failures = 0;
static int g_names = 0;

#define CHECK(cond)                                                       \
    do {                                                                  \
        if (!(cond)) {                                                    \
            fprintf(stderr, "host: line %d: %s failed\n", __LINE__, #cond); \
            ++g_failures;                                                 \
        }                                                                 \
    } while (0)

static int32_t VARDEX_CALL OnName(uint32_t word, const char* from, const char* to) {
    CHECK(word == 0x5EED);
    printf("  %s -> %s\n", from, to);
    ++g_names;
    return 1;
}

static void* Find(HMODULE dll, const char* name) {
    void* p = (void*)GetProcAddress(dll, name);
    if (!p) {
        fprintf(stderr, "host: %s is not exported\n", name);
        ++g_failures;
    }
    return p;
}

static int WriteText(const char* path, const char* text) {
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    fputs(text, f);
    return fclose(f) == 0;
}

static int SameText(const char* path, const char* text) {
    char buffer[256] = {0};
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    size_t n = fread(buffer, 1, sizeof buffer - 1, f);
    fclose(f);
    return n == strlen(text) && memcmp(buffer, text, n) == 0;
}

int main(void) {
    HMODULE dll = LoadLibraryA("Vardex32.dll");
    if (!dll) {
        fprintf(stderr, "host: cannot load Vardex32.dll (error %lu)\n", GetLastError());
        return 1;
    }
    PathFn createZipFile = (PathFn)Find(dll, "CreateZipFile");
    PathFn initZipFile = (PathFn)Find(dll, "InitZipFile");
    PathFn setOutputPath = (PathFn)Find(dll, "SetOutputPath");
    VoidFn doneZipFile = (VoidFn)Find(dll, "DoneZipFile");
    StatusFn getArchiveStatus = (StatusFn)Find(dll, "GetArchiveStatus");
    OptionsFn optionsOn = (OptionsFn)Find(dll, "arOptionsOn");
    MaskListFn initFileMaskList = (MaskListFn)Find(dll, "InitFileMaskList");
    MaskListFn doneFileMaskList = (MaskListFn)Find(dll, "DoneFileMaskList");
    AppendFn appendFileMask = (AppendFn)Find(dll, "AppendFileMask");
    MaskListFn compress = (MaskListFn)Find(dll, "CompressFileMaskListZip");
    MaskListFn extract = (MaskListFn)Find(dll, "ExtractFileMaskListZip");
    ListFn initZipFileList = (ListFn)Find(dll, "InitZipFileList");
    ListFn doneZipFileList = (ListFn)Find(dll, "DoneZipFileList");
    BuildFn buildZipFileList = (BuildFn)Find(dll, "BuildZipFileList");
    NameProcFn setNameProc = (NameProcFn)Find(dll, "SetSetFileNameProc");
    if (g_failures) return 1;

    CreateDirectoryA("in", NULL);
    CHECK(WriteText("in\\alpha.txt", "alpha, alpha, alpha\r\n"));
    CHECK(WriteText("in\\beta.txt", "beta\n"));
    DeleteFileA("host.zip");

    /* Add. */
    createZipFile("host.zip");
    CHECK(getArchiveStatus() == 0);
    FileMaskList files;
    initFileMaskList(&files);
    CHECK(appendFileMask("in\\alpha.txt", &files));
    CHECK(appendFileMask("in\\beta.txt", &files));
    compress(&files);
    CHECK(getArchiveStatus() == 0);
    doneFileMaskList(&files);
    doneZipFile();

    /* List. */
    initZipFile("host.zip");
    CHECK(getArchiveStatus() == 0);
    FileMaskList all;
    initFileMaskList(&all);
    ZipFileList list;
    initZipFileList(&list);
    buildZipFileList(&list, &all);
    CHECK(getArchiveStatus() == 0);
    CHECK(list.count == 2);
    for (ZipFileEntry* e = list.first; e; e = e->next) printf("  listed %s (%u bytes)\n", e->name, e->uncompressedSize);
    CHECK(list.first && strcmp(list.first->name, "in/alpha.txt") == 0);
    doneZipFileList(&list);

    /* Extract, with a stdcall callback. */
    setNameProc(0x5EED, OnName);
    setOutputPath("out");
    optionsOn(arUsePaths);
    extract(&all);
    CHECK(getArchiveStatus() == 0);
    CHECK(g_names == 2);
    CHECK(SameText("out\\in\\alpha.txt", "alpha, alpha, alpha\r\n"));
    CHECK(SameText("out\\in\\beta.txt", "beta\n"));
    doneFileMaskList(&all);
    doneZipFile();

    FreeLibrary(dll);
    printf(g_failures ? "host: %d check(s) failed\n" : "host: all checks passed\n", g_failures);
    return g_failures ? 1 : 0;
}
