// The seam between the extraction driver and the decoders: a source that
// hands out an entry's compressed bytes (read from the archive in large
// blocks, never past the entry's compressed size, decrypted once the
// password is accepted; or taken from memory for tests and fuzzers) and a
// sink that takes the decoded bytes (never past the entry's declared size),
// keeps the CRC-32, writes them, counts them and reports progress.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/records.h"
#include "crypt/crypt.h"

namespace vardex {

// The source refills this many bytes at a time.
constexpr uint32_t kSourceBufferSize = 65536;
constexpr uint32_t kInflateWindowSize = 32768;

// An entry's compressed bytes.
struct DecodeSource {
    int handle = -1;                  // the archive
    int64_t position = 0;             // where in it the next block is read (its own position, so
                                      // that a callback moving the archive's offset changes nothing)
    const uint8_t* memory = nullptr;  // or, when set, the data itself
    uint8_t* buffer = nullptr;        // `capacity` bytes
    uint32_t capacity = kSourceBufferSize;  // the most one refill reads
    const uint8_t* next = nullptr;    // the bytes in hand: [next, end)
    const uint8_t* end = nullptr;
    uint32_t size = 0;                // the entry's compressed size (after any encryption header)
    uint32_t toRead = 0;              // bytes not yet read
    CipherState* cipher = nullptr;    // decrypts every byte read from here on
    bool ended = false;               // a read found nothing left, or failed

    // Starts over for an entry of `compressedSize` bytes (buffer, handle
    // and memory are kept).
    void Reset(uint32_t compressedSize);
    // The next byte, -1 at the end of the data.
    int Byte() {
        if (next == end && !Refill()) return -1;
        return *next++;
    }
    // Reads the next block into the buffer.  False at the end of the data or
    // when the read fails (status 5); either way `ended` is set.
    bool Refill();
    // The bytes in hand and not yet used, read directly by a decoder, which
    // then moves `next` past the bytes it took.
    size_t InHand() const { return static_cast<size_t>(end - next); }
    // From here on the data is decrypted with `c` (an accepted password):
    // the bytes in hand now, and every block read later.
    void StartDecrypting(CipherState& c);
};

// Where decoded bytes go.
struct DecodeSink {
    int handle = -1;            // the output file
    bool checkOnly = false;     // keep the CRC, write nothing
    uint32_t declared = 0;      // the entry's uncompressed size
    uint64_t sunk = 0;          // bytes that reached the sink
    uint32_t written = 0;       // bytes counted for the progress percentage
    uint32_t crc = 0xFFFFFFFFu; // the CRC-32 register

    // Adds n bytes to the CRC and writes them, refusing anything beyond the
    // declared size (VX_BAD_DATA, nothing of the block written).  0,
    // VX_BAD_DATA or writeFailure.  Counts nothing and reports nothing.
    uint16_t Put(const uint8_t* data, uint32_t n, uint16_t writeFailure);
    // Put, then counts the bytes and reports progress: failures and a host
    // cancel (VX_CANCELLED) are left in the status.  A percentage with a
    // declared size of 0 is n.
    void Write(const uint8_t* data, uint32_t n, uint16_t writeFailure);
};

// One entry's streams.
struct StreamState {
    CentralFields current{};  // the entry being extracted
    DecodeSource in;
    DecodeSink out;
    CipherState cipher;  // the entry's keys once its password is accepted
};

// Resets the per-entry fields for an entry (buffers, handles and the
// check-only choice are kept).
void ResetStream(StreamState& s, const CentralFields& entry);

}  // namespace vardex
