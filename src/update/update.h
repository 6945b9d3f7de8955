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

namespace deflate {
struct DeflateState;
}

// Sizes of the update's work buffers.
constexpr uint32_t kUpdateOutputSize = 8192;
constexpr uint32_t kUpdateInputSize = 4096;

// --- work buffers and the entries carried over -------------------------

// The input buffer and, when asked, the compressor's output buffer,
// released when the holder goes.  ok() false with status 8 when memory runs
// out.
class UpdateBuffers {
public:
    explicit UpdateBuffers(bool withOutputBuffer);
    ~UpdateBuffers();
    UpdateBuffers(const UpdateBuffers&) = delete;
    UpdateBuffers& operator=(const UpdateBuffers&) = delete;
    bool ok() const { return ok_; }
    uint8_t* input() const { return input_; }    // kUpdateInputSize bytes
    uint8_t* output() const { return output_; }  // kUpdateOutputSize bytes

private:
    uint8_t* input_ = nullptr;
    uint8_t* output_ = nullptr;
    bool ok_ = false;
};

// The compressor of one run, released when the holder goes.  ok() false
// with status 8 when memory runs out.
class RunCompressor {
public:
    RunCompressor();
    ~RunCompressor();
    RunCompressor(const RunCompressor&) = delete;
    RunCompressor& operator=(const RunCompressor&) = delete;
    bool ok() const { return state_ != nullptr; }
    deflate::DeflateState& state() const { return *state_; }

private:
    deflate::DeflateState* state_ = nullptr;
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

// A named file open for reading, what its entry is written with and what
// the compressor made of it.  The file is closed when the holder goes.
struct EntrySource {
    EntrySource(const UpdateBuffers& buffers, const RunCompressor& compressor)
        : input(buffers.input()), output(buffers.output()), compressor(compressor.state()) {}
    ~EntrySource() { platform::CloseFile(&fd); }
    EntrySource(const EntrySource&) = delete;
    EntrySource& operator=(const EntrySource&) = delete;

    int fd = -1;
    uint8_t* const input;   // source and copy buffer
    uint8_t* const output;  // the compressor's output buffer
    deflate::DeflateState& compressor;
    uint8_t textFlag = 0;  // the compressor's text verdict, for the internal attributes
};

// Writes the entry for the open source at the new archive's position: local
// header, encryption header, data (deflated, or stored when that is not
// smaller).  Fills the entry's fields.  `ahead`, when given, is the source
// already compressed (update/ahead.h), used when it still fits.  Status 0 or
// the failure's code.
void WriteNewEntry(EntrySource& source, ZipFileEntry* entry, uint16_t date, uint16_t time,
                   const AheadResult* ahead = nullptr);
// Writes the entry of a directory named for the update (its name ends in a
// separator): a local header without data.
void WriteDirectoryEntry(ZipFileEntry* entry, uint16_t date, uint16_t time);

// --- update driver ----------------------------------------------------------

// The entry name a named file gets: MakeStoredName, CleanStoredName and,
// with arStripPaths, the file-name part.
void EntryNameFor(const char* givenPath, char* out);

// The new-archive loop (also the self-extractor's): adds every named file
// and gives the number of files it dealt with.
uint32_t AddFilesToArchive(const UpdateBuffers& buffers, const RunCompressor& compressor, ZipFileList* entries,
                           const FileMaskList* masks, FileMaskList* named);

// The operations.
void CompressFileMaskList(const FileMaskList* masks);
void DeleteFileMaskList(const FileMaskList* masks);

}  // namespace vardex
