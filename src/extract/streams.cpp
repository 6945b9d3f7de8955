// The source and the sink of the decoder seam.
//
// A refill that fails or finds the archive shorter than the entry claims ends
// the data (status 5): no byte that was not read is ever handed out.
#include "extract/streams.h"

#include <cstring>

#include "api/engine.h"
#include "common/crc32.h"
#include "common/text.h"
#include "platform/platform.h"

namespace vardex {

void DecodeSource::Reset(uint32_t compressedSize) {
    next = end = buffer;
    size = toRead = compressedSize;
    cipher = nullptr;
    ended = false;
}

bool DecodeSource::Refill() {
    next = end = buffer;
    if (toRead == 0 || buffer == nullptr) {
        ended = true;
        return false;
    }
    const uint32_t want = toRead < capacity ? toRead : capacity;
    int32_t got;
    if (memory) {
        got = static_cast<int32_t>(want);
        memcpy(buffer, memory + (size - toRead), want);
    } else {
        got = platform::FileReadAt(handle, buffer, want, position);
        if (got > 0) position += got;
    }
    if (got <= 0) {
        // A failed read, or an archive that ends before the entry's data does.
        SetStatus(VX_FILE_ERROR);
        toRead = 0;
        ended = true;
        return false;
    }
    toRead -= static_cast<uint32_t>(got);
    if (cipher) DecryptBuffer(*cipher, buffer, static_cast<size_t>(got));
    end = buffer + got;
    return true;
}

void DecodeSource::StartDecrypting(CipherState& c) {
    cipher = &c;
    // The bytes read together with the encryption header: the cipher runs
    // over the data in order, so they are decrypted now, before any later block.
    uint8_t* first = buffer + (next - buffer);
    DecryptBuffer(c, first, InHand());
}

uint16_t DecodeSink::Put(const uint8_t* data, uint32_t n, uint16_t writeFailure) {
    if (n == 0) return VX_OK;
    // More data than the entry declares is damaged data or a bomb: nothing
    // past the declared size is ever written.
    if (sunk + n > declared) return VX_BAD_DATA;
    sunk += n;
    crc = CrcUpdate(crc, data, n);
    if (checkOnly) return VX_OK;
    return platform::FileWrite(handle, data, n) == static_cast<int32_t>(n) ? VX_OK : writeFailure;
}

void DecodeSink::Write(const uint8_t* data, uint32_t n, uint16_t writeFailure) {
    const uint16_t result = Put(data, n, writeFailure);
    if (result != VX_OK) SetStatus(result);
    written += n;
    EngineState& e = engine();
    if (Status() != 0 || !e.progressProc) return;
    const int32_t percent = declared == 0 ? static_cast<int32_t>(n) : Percent(written, declared);
    if (e.progressProc.proc(e.progressProc.hostWord, percent) == 0) SetStatus(VX_CANCELLED);
}

void ResetStream(StreamState& s, const CentralFields& entry) {
    s.current = entry;
    s.in.Reset(entry.compressedSize);
    s.out.declared = entry.uncompressedSize;
    s.out.sunk = 0;
    s.out.written = 0;
    s.out.crc = 0xFFFFFFFFu;
}

}  // namespace vardex
