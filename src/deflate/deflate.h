// The Deflate compressor's entry points as the entry writer uses them.
//
// A Compressor holds one DeflateState, the whole working memory of one
// compression (window, hash chains, block buffers and trees, output
// buffer).  DeflateEntry compresses one source with it; nothing outside the
// state is read or written, so separate states may run on separate threads.
#pragma once

#include <cstdint>

#include "crypt/crypt.h"
#include "vardex32.h"

namespace vardex {

namespace deflate {
struct DeflateState;
}
using deflate::DeflateState;

// The compression levels: 1 (fastest) to 4 (smallest).
constexpr uint8_t kMinDeflateLevel = 1;
constexpr uint8_t kMaxDeflateLevel = 4;

// The level a descriptor word selects: 1..4 as it is, anything else 1.
inline uint8_t DeflateLevelOf(uint32_t word) {
    return word >= kMinDeflateLevel && word <= kMaxDeflateLevel ? static_cast<uint8_t>(word) : kMinDeflateLevel;
}

struct DeflateIo {
    int source = -1;                 // source file, positioned at its start
    uint32_t sourceSize = 0;         // its length, for progress
    int output = -1;                 // the archive being written, positioned for the data
    uint8_t level = kMinDeflateLevel;  // 1..4 (anything else is taken as 1)
    // When set, the compressed bytes go here instead of to `output`: bytes
    // taken, fewer when the device is full.
    int32_t (*write)(void* context, const void* buffer, uint32_t count) = nullptr;
    void* writeContext = nullptr;
    uint8_t* outputBuffer = nullptr; // 8,192 bytes; null: the state's own
    CipherState* cipher = nullptr;   // non-null: every byte written is encrypted with it
    // When set, told the share of the source read (percent) after every
    // read, the last one included; false cancels the entry.
    bool (*progress)(void* context, int32_t percent) = nullptr;
    void* progressContext = nullptr;
};

struct DeflateOutcome {
    uint32_t crc = 0;                // CRC-32 of the source (already complemented)
    uint64_t compressedSize = 0;     // bytes written (counted in 64 bits)
    uint8_t textFlag = 0;            // the compressor's text-or-binary guess
    uint16_t flagWord = 0;           // general-purpose bits 1-2 (always 0)
};

// Null when memory runs out.
DeflateState* NewDeflateState();
void FreeDeflateState(DeflateState* state);

// Owns one compressor's state.
class Compressor {
public:
    Compressor() : state_(NewDeflateState()) {}
    ~Compressor() { FreeDeflateState(state_); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    bool held() const { return state_ != nullptr; }
    DeflateState& state() { return *state_; }

private:
    DeflateState* state_;
};

// Compresses the whole source at io.level.  Returns the status: VX_OK,
// VX_FILE_ERROR (read), VX_SHORT_WRITE or VX_CANCELLED (the progress hook
// said stop).
uint16_t DeflateEntry(DeflateState& state, const DeflateIo& io, DeflateOutcome* outcome);

}  // namespace vardex
