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

namespace {

// Writes count bytes from data; true when all of them were written.
bool WriteRaw(DeflateState& s, const void* data, uint32_t count) {
    OutputState& o = s.out;
    int32_t n = o.streams->write(o.streams->context, data, count);
    if (n > 0) o.written += static_cast<uint32_t>(n);
    if (n < 0 || static_cast<uint32_t>(n) != count) {
        s.status = VX_SHORT_WRITE;
        return false;
    }
    return true;
}

}  // namespace

void StartOutput(DeflateState& s, uint8_t* buffer, CipherState* cipher, const DeflateStreams* streams) {
    OutputState& o = s.out;
    o.bitBuffer = 0;
    o.bitCount = 0;
    o.buffer = buffer;
    o.count = 0;
    o.cipher = cipher;
    o.streams = streams;
    o.written = 0;
    std::memset(buffer, 0, kOutputBufferSize);
}

bool WriteOutputBuffer(DeflateState& s) {
    OutputState& o = s.out;
    if (s.status != 0) return false;
    if (o.count == 0) return true;
    if (o.cipher) EncryptBuffer(*o.cipher, o.buffer, o.count);
    if (!WriteRaw(s, o.buffer, o.count)) return false;
    o.count = 0;
    return true;
}

void AlignToByte(DeflateState& s) {
    OutputState& o = s.out;
    SpillBits(s);
    if (o.bitCount > 8) {
        EmitWord(s, static_cast<uint16_t>(o.bitBuffer));
    } else if (o.bitCount > 0) {
        EmitByte(s, static_cast<uint8_t>(o.bitBuffer));
    }
    o.bitBuffer = 0;
    o.bitCount = 0;
}

void FinishOutput(DeflateState& s) {
    AlignToByte(s);
    if (s.status != 0) return;
    WriteOutputBuffer(s);
    s.out.bitBuffer = 0;
    s.out.bitCount = 0;
}

void EmitStoredBlock(DeflateState& s, const uint8_t* data, uint32_t length) {
    OutputState& o = s.out;
    AlignToByte(s);
    if (s.status != 0) return;
    if (!WriteOutputBuffer(s)) return;
    EmitWord(s, static_cast<uint16_t>(length));
    EmitWord(s, static_cast<uint16_t>(length ^ 0xFFFF));
    if (s.status != 0) return;
    // The length bytes must precede the data in the file.
    if (!WriteOutputBuffer(s)) return;
    if (length == 0) return;
    if (!o.cipher) {
        WriteRaw(s, data, length);
        return;
    }
    // The buffer is empty now: stage the data through it to encrypt a copy.
    uint32_t done = 0;
    while (done < length) {
        uint32_t piece = std::min(length - done, kOutputBufferSize);
        std::memcpy(o.buffer, data + done, piece);
        EncryptBuffer(*o.cipher, o.buffer, piece);
        if (!WriteRaw(s, o.buffer, piece)) return;
        done += piece;
    }
}

}  // namespace vardex::deflate
