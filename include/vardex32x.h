/*
 * vardex32x.h - Vardex extensions beside the classic contract of vardex32.h.
 *
 * Everything here carries the Vx prefix, so the classic exports keep exactly
 * their names and meaning.  A host that needs only the classic contract
 * never includes this header.
 */
#ifndef VARDEX32X_H
#define VARDEX32X_H

#include "vardex32.h"

/* An update names more files than an archive can hold (its entry counts are
 * 16-bit: at most 65,535 entries with those already in it).  Nothing has
 * been read or written. */
#define VxTooManyEntries 19907u

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version as "MAJOR.MINOR.PATCH", a static text. */
VARDEX_API const char* VARDEX_CALL VxVersion(void);

/* A status code in words ("CRC-32 mismatch: ..."), a static text; "unknown
 * status" for a code the library never sets. */
VARDEX_API const char* VARDEX_CALL VxStatusText(uint16_t status);

/* Tests the entries of the open archive that the masks select, as
 * ExtractFileMaskListZip would extract them (decoding, password dialogue and
 * CRC-32 check), but writes nothing: no file, no directory, no time.  The
 * host learns each entry through SetFileNameProc (the second name is empty)
 * and the status code, as with extraction; the first entry that fails ends
 * the call. */
VARDEX_API void VARDEX_CALL VxTestFileMaskListZip(FileMaskList* masks);

/* Sets how many threads CompressFileMaskListZip and the self-extractor
 * calls compress files on, the caller's included: 1 (the default) does all
 * the work on the caller's thread.  With more, files of up to 4 MiB are
 * compressed ahead on worker threads while the archive is written in order
 * on the caller's thread; the archive is byte for byte the same, and every
 * callback is still made on the caller's thread, in the same order and with
 * the same values.  Entries with a password are always compressed on the
 * caller's thread.  0 is taken as 1, more than 64 as 64.  Kept across
 * InitZipFile; returns the number now in effect. */
VARDEX_API uint32_t VARDEX_CALL VxSetThreadCount(uint32_t threads);

#ifdef __cplusplus
}
#endif

#endif /* VARDEX32X_H */
