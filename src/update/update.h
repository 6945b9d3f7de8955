// Archive update: the entry writer, the update driver and delete, all
// writing through the one archive rewrite (archive/rewrite.h).
//
// Working names in entry lists
// are kept in the working form (UTF-8, backslashes) for the whole run and
// turned into the stored form (CP437 or, for flag bit 11, UTF-8; slashes)
// only where they are written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/rewrite.h"
#include "vardex32.h"

namespace vardex {

// Sizes of the update's work buffers.
constexpr uint32_t kUpdateOutputSize = 8192;
constexpr uint32_t kUpdateInputSize = 4096;

// --- work buffers and the entries carried over -------------------------

// The input buffer and, when asked, the compressor's output buffer
// (engine().rewrite), released when the holder goes.  ok() false with
// status 8 when memory runs out.
class UpdateBuffers {
public:
    explicit UpdateBuffers(bool withOutputBuffer);
    ~UpdateBuffers();
    UpdateBuffers(const UpdateBuffers&) = delete;
    UpdateBuffers& operator=(const UpdateBuffers&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// The compressor of one run, reachable as engine().rewrite.compressor while
// the holder lives.  ok() false with status 8 when memory runs out.
class RunCompressor {
public:
    RunCompressor();
    ~RunCompressor();
    RunCompressor(const RunCompressor&) = delete;
    RunCompressor& operator=(const RunCompressor&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// An entry list and the lists of one run, released when the holder goes.
struct RunLists {
    ZipFileList entries{};
    FileMaskList matchAll{};
    FileMaskList named{};
    FileMaskList kept{};
    RunLists() = default;
    ~RunLists();
    RunLists(const RunLists&) = delete;
    RunLists& operator=(const RunLists&) = delete;
};

// Reads every entry of the archive being rewritten, with extra fields and
// comments, into the list (names in working form).  Status on failure.
void ListArchiveEntries(ZipFileList* entries, FileMaskList* matchAll);

// --- entry writer -----------------------------------------------------------

struct AheadResult;

// Writes the entry for the open source (engine().rewrite.source) at the new
// archive's position: local header, encryption header, data (deflated, or
// stored when that is not smaller).  Fills the entry's fields.  The method
// to try is engine().rewrite.method.  `ahead`, when given, is the source
// already compressed (update/ahead.h), used when it still fits.  Status 0 or
// the failure's code.
void WriteNewEntry(ZipFileEntry* entry, uint16_t date, uint16_t time, const AheadResult* ahead = nullptr);
// Writes the entry of a directory named for the update (its name ends in a
// separator): a local header without data.
void WriteDirectoryEntry(ZipFileEntry* entry, uint16_t date, uint16_t time);

// --- update driver ----------------------------------------------------------

// The entry name a named file gets: MakeStoredName, CleanStoredName and,
// with arStripPaths, the file-name part.
void EntryNameFor(const char* givenPath, char* out);

// The new-archive loop (also the self-extractor's): adds every named file.
// engine().rewrite.filesHandled counts the files it dealt with.
void AddFilesToArchive(ZipFileList* entries, const FileMaskList* masks, FileMaskList* named);

// The operations.
void CompressFileMaskList(const FileMaskList* masks);
void DeleteFileMaskList(const FileMaskList* masks);

}  // namespace vardex
