// The streams every decoder works through: one byte reader over the entry's
// compressed data (refilled 4,096 bytes at a time, never past the entry's
// compressed size, decrypting on the fly) and three writers that add the
// output to the running CRC-32, write it, count it and report progress.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/records.h"

namespace vardex {

constexpr int16_t kInputBufferSize = 4096;
constexpr int16_t kOutputBufferSize = 8192;
constexpr uint32_t kInflateWindowSize = 32768;

struct StreamState {
    CentralFields current{};         // the entry being extracted
    int inHandle = -1;               // the archive
    int outHandle = -1;              // the output file
    uint8_t* inBuf = nullptr;        // 4,096 bytes, per entry
    int16_t inCount = 0;             // bytes placed by the last refill
    int16_t inPos = kInputBufferSize + 1;  // 1-based index of the next byte
    uint8_t lastByte = 0;            // also Unreduce's unread bits
    uint8_t bitCount = 0;            // Unreduce's bit count
    bool endOfInput = false;
    uint32_t toRead = 0;             // compressed bytes not yet read
    const uint8_t* memory = nullptr; // when set, the compressed data itself
                                     // (tests and fuzzers), read in place of inHandle
    uint32_t encrypted = 0;
    uint32_t pendingDecrypt = 0;
    uint8_t* outBuf = nullptr;       // 8,192 bytes, per entry
    int16_t outCount = 0;
    uint32_t written = 0;            // bytes produced for this entry
    uint32_t crc = 0xFFFFFFFFu;
    uint64_t sunk = 0;               // bytes that reached the sink
    bool checkOnly = false;          // the sink keeps the CRC and writes nothing
};

// Resets the per-entry fields for an entry (buffers and handles are kept).
void ResetStream(StreamState& s, const CentralFields& entry);

// Next compressed byte (decrypted when the entry is), -1 at the end.
int ReadByte();

// The decoders' direct view of the input: the bytes already read and not yet
// handed out, decrypted.  A decoder that takes bytes from it marks them used
// with ConsumeInput; ReadByte then goes on after them and refills the view
// when it is empty.
struct InputView {
    const uint8_t* next;
    const uint8_t* end;
};
InputView InputInHand();
void ConsumeInput(size_t n);
// Next byte without decryption, left in stream.lastByte (Unreduce).
void ReadBytePlain();
// One output byte into the 8,192-byte buffer (Unreduce); flushes when full.
void PutByte(uint8_t b);
// The one way decoded bytes leave a decoder: never past the entry's declared
// uncompressed size (VX_BAD_DATA, nothing of the block written), added to
// the CRC, written unless only checking.  0, VX_BAD_DATA or writeFailure.
uint16_t SinkOutput(const uint8_t* data, uint32_t n, uint16_t writeFailure);
// Writes the output buffer.
void FlushOutput();
// Writes n bytes of a decoder's own window (Unshrink, Explode).
void WriteBlock(const uint8_t* data, uint32_t n);
// Writes the first n bytes of the Inflate window.
void FlushSlide(const uint8_t* window, uint32_t n);

}  // namespace vardex
