/*
 * vardex32.h - the public contract of the Vardex ZIP archiving engine.
 *
 * A host opens or creates one archive, names files or entries through file
 * mask lists, runs one operation and reads the 16-bit status code that the
 * operation left (GetArchiveStatus).  Questions and progress reach the host
 * through seven callbacks; every callback gets the host word it was
 * registered with as its first argument.
 *
 * Typical order: InitZipFile or CreateZipFile; then SetArcerStats, the
 * callback registrations, SetCryptKey and SetRelativePath as wanted (InitZipFile
 * clears them); then the operation; then GetArchiveStatus; finally DoneZipFile.
 *
 * Strings are zero-terminated 8-bit texts in the host's ANSI code page (UTF-8
 * on POSIX).  Paths use backslash separators; on POSIX they are mapped to '/'.
 * Paths, masks, names and the password are limited to 255 characters; longer
 * arguments are cut, never copied past their fields.
 *
 * What a host must know:
 *  - One engine per process.  The library keeps one process-wide state (the
 *    status, options, paths, password, callbacks and the one open archive).
 *    Calls from several threads are safe but serialised: each exported call
 *    holds a process-wide lock for its whole length, and the thread holding
 *    it may call in again from a callback.  A callback must not wait for
 *    another thread that calls the library.
 *  - InitZipFile resets the callback registrations, the password, the level,
 *    the descriptor and the base path: register callbacks and make settings
 *    after it, before the operation.  Options, the input and output paths
 *    outlast it.
 *  - An encrypted entry is first tried with the password set by SetCryptKey;
 *    then SetCryptKeyProc is asked, and asked again after each password that
 *    does not fit, until it answers 0 (the entry then fails with 9961).
 *  - Extraction writes below the output directory, which must exist (with
 *    arUsePaths the directories below it are created).  The first entry that
 *    fails ends the call; the host may start another for the entries after it.
 *  - Changes are atomic: an update, delete or self-extractor writes a new
 *    archive beside the old one (NAME.!!!) and renames it into place once it
 *    is complete and flushed, so the archive's name always holds a whole
 *    archive.  Writers of the same archive in several processes take turns
 *    through an advisory lock on it.
 *  - On POSIX, names are UTF-8: new names outside ASCII are stored as UTF-8
 *    with flag bit 11, and entries made on Unix keep and restore the file's
 *    permission bits (never setuid, setgid or sticky).
 *  - Extensions beyond this contract (version, status words, testing without
 *    writing, further status codes) are declared in vardex32x.h, each with
 *    the Vx prefix.
 *
 * Build against the installed library with pkg-config (vardex32) or CMake
 * (find_package(Vardex32), target Vardex32::vardex32).
 *
 * Usable from C and C++.
 */
#ifndef VARDEX32_H
#define VARDEX32_H

#include <stdint.h>

#ifdef _WIN32
/* The engine itself is built with VARDEX_BUILD (exports and the full
 * Windows records); hosts import and need no <windows.h> for this header. */
#ifdef VARDEX_BUILD
#include <windows.h>
#ifdef VARDEX_STATIC
#define VARDEX_API /* linked in statically (the stub library, the head) */
#else
#define VARDEX_API __declspec(dllexport)
#endif
#else
#define VARDEX_API __declspec(dllimport)
#endif
#define VARDEX_CALL __stdcall
#else
#define VARDEX_API __attribute__((visibility("default")))
#define VARDEX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Windows records the contract is written in terms of.  On Windows only the */
/* find record's tag is named here: a host that reads its fields includes    */
/* <windows.h>, before or after this header.                                */
/* ------------------------------------------------------------------------ */
#ifdef _WIN32
struct _WIN32_FIND_DATAA;
#define VARDEX_FIND_DATA struct _WIN32_FIND_DATAA
#else
#define VARDEX_FIND_DATA WIN32_FIND_DATAA
typedef struct FILETIME {
    uint32_t dwLowDateTime;  /* 100-ns intervals since 1601-01-01, low half */
    uint32_t dwHighDateTime; /* high half */
} FILETIME;

#define MAX_PATH 260

typedef struct WIN32_FIND_DATAA {
    uint32_t dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    uint32_t nFileSizeHigh;
    uint32_t nFileSizeLow;
    uint32_t dwReserved0;
    uint32_t dwReserved1;
    char cFileName[MAX_PATH];
    char cAlternateFileName[14];
} WIN32_FIND_DATAA;

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#endif

/* ------------------------------------------------------------------------ */
/* Status codes (GetArchiveStatus).                                          */
/* ------------------------------------------------------------------------ */
#define VX_OK 0u                          /* success */
#define VX_STUB_NOT_FOUND 2u              /* the stub library KORVAL32.KVL cannot be loaded */
#define VX_FILE_ERROR 5u                  /* a file cannot be opened, created, read, positioned or written */
#define VX_OUT_OF_MEMORY 8u               /* an allocation failed */
#define VX_SHORT_WRITE 101u               /* a write stored fewer bytes than asked */
#define VX_STUB_ENTRY_MISSING 106u        /* the stub library lacks an entry point */
#define VX_CANCELLED 2926u                /* the host cancelled (progress 0, or an answer of 2) */
#define VX_CANNOT_DECRYPT 9961u           /* encrypted entry without an accepted password */
#define VX_CRC_MISMATCH 9962u             /* CRC-32 of extracted data differs from the entry's */
#define VX_CANNOT_CREATE 9963u            /* a file to be created new exists already; no temp dir */
#define VX_BAD_DATA 9964u                 /* bad central directory record or compressed data; wrong interface version */
#define VX_NOT_AN_ARCHIVE 9966u           /* no end of central directory record */
#define VX_NOTHING_SELECTED 19906u        /* the entry list holds no entry */
#define VX_UNSUPPORTED_ENTRY 19960u       /* version needed above 20, or method 7 or above 8 */
#define VX_CANNOT_CREATE_OUTPUT 19963u    /* an extracted file cannot be created */
#define VX_STUB_FAILURE 32768u            /* the stub's head function failed */

/* ------------------------------------------------------------------------ */
/* Option bits (arOptionsOn, arOptionsOff, arOptionsAreOn).                  */
/* ------------------------------------------------------------------------ */
enum {
    arUsePaths = 0x0001,        /* extraction keeps stored directories and creates them */
    arKeepComments = 0x0004,    /* entry lists keep each entry's file comment */
    arStripPaths = 0x0008,      /* adding stores only the file-name part */
    arNoInputPath = 0x0010,     /* update: no source path in front, names reduced to name.ext */
    arUpdateDone = 0x0100,      /* set by update and self-extractor creation */
    arDeleteDone = 0x0200,      /* set by delete */
    arArchiveInit = 0x0400,     /* set by every InitZipFile */
    arDefaultOptions = 0x0800,  /* the initial option word */
    arKeepExtraFields = 0x8000  /* entry lists keep extra fields; cannot be switched off */
};

/* The interface version reported by GetVersionDesc and checked by the Ver functions. */
#define VX_INTERFACE_VERSION 20
/* ArcerDesc: ten u32 words; word 9 selects the Deflate level 1..4. */
#define VX_ARCERDESC_WORDS 10

/* ------------------------------------------------------------------------ */
/* Records.                                                                  */
/* ------------------------------------------------------------------------ */
typedef struct FileMask {
    char* dir;              /* drive and directory with trailing backslash; "" when none */
    char name[256];         /* file-name part without extension */
    char ext[256];          /* extension without its dot; all zero when none */
    struct FileMask* next;  /* null at the tail */
} FileMask;

typedef struct FileMaskList {
    FileMask* first;
    FileMask* last;
} FileMaskList;

#pragma pack(push, 1)
/* One central directory header in memory.  The 42 bytes from versionMadeBy to
 * localHeaderOffset are the central header's fixed fields in disk order. */
typedef struct ZipFileEntry {
    struct ZipFileEntry* next;
    uint16_t versionMadeBy;
    uint16_t versionNeeded;
    uint16_t flags;              /* bit 0: encrypted; bit 3: data descriptor; bit 11: UTF-8 name */
    uint16_t method;
    uint16_t time;               /* DOS time */
    uint16_t date;               /* DOS date */
    uint32_t crc32;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
    uint16_t nameLength;         /* as stored; may exceed strlen(name) */
    uint16_t extraLength;
    uint16_t commentLength;
    uint16_t diskNumberStart;
    uint16_t internalAttributes;
    uint32_t externalAttributes;
    uint32_t localHeaderOffset;
    char name[256];              /* stored name in the ANSI code page, '/' as stored, at most 255 bytes */
    uint8_t* comment;            /* commentLength bytes when arKeepComments was on, else null */
    uint8_t* extra;              /* extraLength bytes when arKeepExtraFields was on, else null */
    uint8_t selected;            /* 1 when listed; extraction skips entries with 0 */
} ZipFileEntry;

typedef struct ZipFileList {
    ZipFileEntry* first;
    ZipFileEntry* last;
    uint16_t count;
} ZipFileList;

/* The self-extractor request record (CreateZipSfx2), 2,076 bytes. */
typedef struct SfxDesc {
    uint32_t stubWord0;          /* read only by the stub library */
    int32_t form;                /* below 3: first form (GetSfxHead); 3 or more: second form */
    int32_t volumeChoice;        /* 0: one file; 1..4: volumes of 362,496 / 730,112 / 1,213,952 / 1,457,664 bytes */
    uint32_t stubWord3;          /* read only by the stub library */
    uint8_t stubData[772];       /* read only by the stub library */
    char text1[256];
    char text2[1032];
} SfxDesc;
#pragma pack(pop)

/* ------------------------------------------------------------------------ */
/* Callbacks: host word first, 32-bit int result.                           */
/* ------------------------------------------------------------------------ */
/* Names of files as they are handled; the answer is ignored. */
typedef int32_t(VARDEX_CALL* SetFileNameProc)(uint32_t hostWord, const char* from, const char* to);
/* A source file cannot be opened: 2 stops (2926), anything else skips the file. */
typedef int32_t(VARDEX_CALL* SkipFileProc)(uint32_t hostWord, const char* path);
/* Fill the 256-byte password buffer; 0 gives up the entry (9961). */
typedef int32_t(VARDEX_CALL* SetCryptKeyProc)(uint32_t hostWord, char* password, const char* name);
/* Progress in percent; 0 cancels (2926). */
typedef int32_t(VARDEX_CALL* SetProgressProc)(uint32_t hostWord, int32_t percent);
/* 0 replace, 1 keep the old item, 2 stop (2926), other: see the operation. */
typedef int32_t(VARDEX_CALL* OkToReplaceProc)(uint32_t hostWord, VARDEX_FIND_DATA* existing,
                                              VARDEX_FIND_DATA* replacement);
/* Asked by the stub library before each further volume: the 1-based volume
 * number and its path (a 260-byte buffer the host may change); 0 cancels. */
typedef int32_t(VARDEX_CALL* GetNextDiskProc)(uint32_t hostWord, int32_t volume, char* path);
/* Progress of the stub library's volume split in percent; 0 cancels. */
typedef int32_t(VARDEX_CALL* SetSfxProgressProc)(uint32_t hostWord, int32_t percent);

/* ------------------------------------------------------------------------ */
/* Status, options, paths, password, level, descriptor.                      */
/* None of these touches the status code except SetArchiveStatus.            */
/* ------------------------------------------------------------------------ */
VARDEX_API uint16_t VARDEX_CALL GetArchiveStatus(void);
VARDEX_API void VARDEX_CALL SetArchiveStatus(uint16_t code);
VARDEX_API void VARDEX_CALL arOptionsOn(uint16_t mask);
/* Clears the mask's bits except arKeepExtraFields. */
VARDEX_API void VARDEX_CALL arOptionsOff(uint16_t mask);
/* 1 when every bit of mask is set (an empty mask gives 1). */
VARDEX_API uint8_t VARDEX_CALL arOptionsAreOn(uint16_t mask);
/* Source directory; a backslash is appended when longer than 3 characters. */
VARDEX_API void VARDEX_CALL SetInputPath(const char* path);
/* Destination directory; a backslash is appended unless it ends in '\' or ':'. */
VARDEX_API void VARDEX_CALL SetOutputPath(const char* path);
/* Base path cut from names: stripped from stored names on extraction, put in front on update. */
VARDEX_API void VARDEX_CALL SetRelativePath(const char* path);
/* Empty: new entries are not encrypted (the old text is still tried first when reading). */
VARDEX_API void VARDEX_CALL SetCryptKey(const char* key);
/* Stores and returns the level; every Deflate start replaces it with ArcerDesc word 9. */
VARDEX_API int32_t VARDEX_CALL SetPackLevel(int32_t level);
/* Writes the interface version (20). */
VARDEX_API void VARDEX_CALL GetVersionDesc(uint32_t* version);
/* Writes the ten default ArcerDesc words. */
VARDEX_API void VARDEX_CALL GetArcerDesc(uint32_t* desc);
/* As GetArcerDesc; returns 9964 and writes nothing for a version other than 20, else 0. */
VARDEX_API uint32_t VARDEX_CALL GetArcerVerDesc(int32_t version, uint32_t* desc);
/* Takes words 6..9 of the host's ArcerDesc (word 9: Deflate level 1..4). */
VARDEX_API void VARDEX_CALL SetArcerStats(const uint32_t* desc);
/* As SetArcerStats; returns 9964 and changes nothing for a version other than 20, else 0. */
VARDEX_API uint32_t VARDEX_CALL SetArcerVerStats(int32_t version, const uint32_t* desc);

/* Callback registration: host word first, then the procedure (null = none). */
VARDEX_API void VARDEX_CALL SetSetFileNameProc(uint32_t hostWord, SetFileNameProc proc);
VARDEX_API void VARDEX_CALL SetSkipFileProc(uint32_t hostWord, SkipFileProc proc);
VARDEX_API void VARDEX_CALL SetSetCryptKeyProc(uint32_t hostWord, SetCryptKeyProc proc);
VARDEX_API void VARDEX_CALL SetSetProgressProc(uint32_t hostWord, SetProgressProc proc);
VARDEX_API void VARDEX_CALL SetOkToReplaceProc(uint32_t hostWord, OkToReplaceProc proc);
VARDEX_API void VARDEX_CALL SetGetNextDiskProc(uint32_t hostWord, GetNextDiskProc proc);
VARDEX_API void VARDEX_CALL SetSetSfxProgressProc(uint32_t hostWord, SetSfxProgressProc proc);

/* ------------------------------------------------------------------------ */
/* File mask lists.                                                          */
/* ------------------------------------------------------------------------ */
VARDEX_API void VARDEX_CALL InitFileMaskList(FileMaskList* list);
/* 1 when appended; 0 with status 8 when memory runs out (list unchanged). */
VARDEX_API uint8_t VARDEX_CALL AppendFileMask(const char* mask, FileMaskList* list);
VARDEX_API void VARDEX_CALL DoneFileMaskList(FileMaskList* list);

/* ------------------------------------------------------------------------ */
/* The archive.                                                              */
/* ------------------------------------------------------------------------ */
/* Opens an existing archive read-only; resets status, password flag, level,
 * descriptor, base path and all callbacks.  Status 0, 5 or 9966. */
VARDEX_API void VARDEX_CALL InitZipFile(const char* path);
/* Creates a new archive (".ZIP" appended when the name has no extension).
 * Status 0, 5 or 9963 (exists already; it is not truncated). */
VARDEX_API void VARDEX_CALL CreateZipFile(const char* path);
/* Closes the archive and removes it when it is empty.  Status unchanged. */
VARDEX_API void VARDEX_CALL DoneZipFile(void);

/* ------------------------------------------------------------------------ */
/* Entry lists.                                                              */
/* ------------------------------------------------------------------------ */
VARDEX_API void VARDEX_CALL InitZipFileList(ZipFileList* list);
/* Appends the central directory entries the masks select (an empty list
 * selects all).  Status 0, 5, 8, 9964, 9966 or 19906. */
VARDEX_API void VARDEX_CALL BuildZipFileList(ZipFileList* list, FileMaskList* masks);
VARDEX_API void VARDEX_CALL DoneZipFileList(ZipFileList* list);

/* ------------------------------------------------------------------------ */
/* Operations.  Each leaves its outcome in the status code.                 */
/* ------------------------------------------------------------------------ */
/* Extracts the selected entries into the output directory. */
VARDEX_API void VARDEX_CALL ExtractFileMaskListZip(FileMaskList* masks);
/* Adds or replaces the named files (a list of file names, not patterns). */
VARDEX_API void VARDEX_CALL CompressFileMaskListZip(FileMaskList* masks);
/* Deletes the entries the masks match; removes the archive when none is left. */
VARDEX_API void VARDEX_CALL DeleteFileMaskListZip(FileMaskList* masks);
/* Builds a self-extracting archive from the named files (first form when form < 3).
 * text1 is cut to 255 characters, text2 to 1,031. */
VARDEX_API void VARDEX_CALL CreateZipSfx(const char* archivePath, FileMaskList* files, int32_t form,
                                         int32_t volumeChoice, const char* text1, const char* text2);
VARDEX_API void VARDEX_CALL CreateZipSfx2(const char* archivePath, FileMaskList* files, SfxDesc* desc);

#ifdef __cplusplus
}
#endif

#endif /* VARDEX32_H */
