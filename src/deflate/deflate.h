// The Deflate compressor's entry points as the entry writer uses them.
//
// The update driver allocates the compressor's block buffers and tree tables
// once per run (AllocateCompressorTables), builds the static code tables
// (BuildCodeTables), calls DeflateEntry once per file, and frees the tables at
// the end of the run.
#pragma once

#include <cstdint>

#include "api/engine.h"
#include "crypt/crypt.h"

namespace vardex {

struct DeflateIo {
    int source = -1;                 // source file, positioned at its start
    uint32_t sourceSize = 0;         // its length, for progress
    int output = -1;                 // the archive being written, positioned for the data
    // When set, the compressed bytes go here instead of to `output`: bytes
    // taken, fewer when the device is full.
    int32_t (*write)(void* context, const void* buffer, uint32_t count) = nullptr;
    void* writeContext = nullptr;
    uint8_t* outputBuffer = nullptr; // 8,192 bytes
    CipherState* cipher = nullptr;   // non-null: every byte written is encrypted with it
    Callback<SetProgressProc> progress;
};

struct DeflateOutcome {
    uint32_t crc = 0;                // CRC-32 of the source (already complemented)
    uint64_t compressedSize = 0;     // bytes written (counted in 64 bits)
    uint8_t textFlag = 0;            // the compressor's text-or-binary guess
    uint16_t flagWord = 0;           // general-purpose bits 1-2 (always 0)
};

// False when memory runs out (the caller sets status 8).
bool AllocateCompressorTables();
void FreeCompressorTables();
void BuildCodeTables();

// Holds the compressor's tables for one run.
class CompressorTables {
public:
    CompressorTables() : held_(AllocateCompressorTables()) {}
    ~CompressorTables() {
        if (held_) FreeCompressorTables();
    }
    CompressorTables(const CompressorTables&) = delete;
    CompressorTables& operator=(const CompressorTables&) = delete;
    bool held() const { return held_; }

private:
    bool held_;
};

// Compresses the whole source.  The level is ArcerDesc word 9 (outside 1..4
// taken as 1) and is written back to the engine's pack level.  Returns the
// status: 0, 5 (read or seek), 101 (short write), 2926 (cancelled).
uint16_t DeflateEntry(const DeflateIo& io, DeflateOutcome* outcome);

}  // namespace vardex
