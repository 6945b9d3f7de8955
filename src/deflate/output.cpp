// Compressed output: bits to bytes to the archive file.
//
// Codes are packed least significant bit first (the Deflate bit order) into a
// 64-bit accumulator that leaves whole two-byte words for an 8,192-byte
// buffer.  The buffer goes to the output in one write when it is full, before
// a stored block's body, and at the end of the entry.  A stored block's body
// is written straight from the window, never copied into the buffer.
//
// Invariants:
//  - bytes reach the output in exactly the order they were emitted, buffer
//    contents always before directly written block data, so when the entry
//    is encrypted the cipher runs over the bytes in file order and the key
//    state stays in step with the file;
//  - the window keeps plain bytes: stored data is encrypted on a staged copy;
//  - once the status code is non-zero (a short write here, or a failed read
//    or a cancel upstream) nothing more is written for the entry.
#include <algorithm>

#include "deflate/deflate_internal.h"

namespace vardex::deflate {

OutputState gOut{};

namespace {

// Writes count bytes from data; true when all of them were written.
bool WriteRaw(const void* data, uint32_t count) {
    int32_t n = gOut.streams->write(gOut.streams->context, data, count);
    if (n > 0) gOut.written += static_cast<uint32_t>(n);
    if (n < 0 || static_cast<uint32_t>(n) != count) {
        SetStatus(101);
        return false;
    }
    return true;
}

}  // namespace

void StartOutput(uint8_t* buffer, CipherState* cipher, const DeflateStreams* streams) {
    gOut.bitBuffer = 0;
    gOut.bitCount = 0;
    gOut.buffer = buffer;
    gOut.count = 0;
    gOut.cipher = cipher;
    gOut.streams = streams;
    gOut.written = 0;
    std::memset(buffer, 0, kOutputBufferSize);
}

bool WriteOutputBuffer() {
    if (Status() != 0) return false;
    if (gOut.count == 0) return true;
    if (gOut.cipher) EncryptBuffer(*gOut.cipher, gOut.buffer, gOut.count);
    if (!WriteRaw(gOut.buffer, gOut.count)) return false;
    gOut.count = 0;
    return true;
}

void AlignToByte() {
    SpillBits();
    if (gOut.bitCount > 8) {
        EmitWord(static_cast<uint16_t>(gOut.bitBuffer));
    } else if (gOut.bitCount > 0) {
        EmitByte(static_cast<uint8_t>(gOut.bitBuffer));
    }
    gOut.bitBuffer = 0;
    gOut.bitCount = 0;
}

void FinishOutput() {
    AlignToByte();
    if (Status() != 0) return;
    WriteOutputBuffer();
    gOut.bitBuffer = 0;
    gOut.bitCount = 0;
}

void EmitStoredBlock(const uint8_t* data, uint32_t length) {
    AlignToByte();
    if (Status() != 0) return;
    if (!WriteOutputBuffer()) return;
    EmitWord(static_cast<uint16_t>(length));
    EmitWord(static_cast<uint16_t>(length ^ 0xFFFF));
    if (Status() != 0) return;
    // The length bytes must precede the data in the file.
    if (!WriteOutputBuffer()) return;
    if (length == 0) return;
    if (!gOut.cipher) {
        WriteRaw(data, length);
        return;
    }
    // The buffer is empty now: stage the data through it to encrypt a copy.
    uint32_t done = 0;
    while (done < length) {
        uint32_t piece = std::min(length - done, kOutputBufferSize);
        std::memcpy(gOut.buffer, data + done, piece);
        EncryptBuffer(*gOut.cipher, gOut.buffer, piece);
        if (!WriteRaw(gOut.buffer, piece)) return;
        done += piece;
    }
}

}  // namespace vardex::deflate
