// The byte reader and the three writers shared by every decoder.
//
// The reader hands out the entry's compressed bytes from a 4,096-byte buffer
// refilled from the archive, never past the entry's compressed size.  A
// refill that fails or finds the archive shorter than the entry claims ends
// the data (status 5): no byte that was not read is ever handed out.
#include "extract/streams.h"

#include <cstring>

#include "api/engine.h"
#include "common/crc32.h"
#include "platform/platform.h"

namespace vardex {

namespace {

// Progress for the writers.  The percentage is computed in 64-bit arithmetic
// so that outputs beyond 21,474,836 bytes never overflow.  Returns false when
// the host cancels.
bool ReportProgress(int64_t percent) {
    EngineState& e = engine();
    if (!e.progressProc) return true;
    return e.progressProc.proc(e.progressProc.hostWord, static_cast<int32_t>(percent)) != 0;
}

int64_t PercentOf(uint32_t written, uint32_t total, int64_t whenTotalZero) {
    if (total == 0) return whenTotalZero;
    return static_cast<int64_t>(written) * 100 / total;
}

// Reads the next block of compressed data.  False at the end of the data.
bool Refill(StreamState& s) {
    if (s.toRead == 0) return false;
    uint32_t want = s.toRead < static_cast<uint32_t>(kInputBufferSize) ? s.toRead : kInputBufferSize;
    int32_t got;
    if (s.memory) {
        got = static_cast<int32_t>(want);
        memcpy(s.inBuf, s.memory + (s.current.compressedSize - s.toRead), want);
    } else {
        got = platform::FileRead(s.inHandle, s.inBuf, want);
    }
    if (got <= 0) {
        // A failed read, or an archive that ends before the entry's data does.
        SetStatus(VX_FILE_ERROR);
        s.inCount = 0;
        s.toRead = 0;
        s.endOfInput = true;
        return false;
    }
    s.inCount = static_cast<int16_t>(got);
    s.toRead -= static_cast<uint32_t>(got);
    s.endOfInput = Status() != 0;
    if (s.encrypted) {
        DecryptBuffer(engine().cipher, s.inBuf, static_cast<size_t>(got));
        s.pendingDecrypt = 0;
    }
    s.inPos = 1;
    return true;
}

// The next byte, decrypted when `decrypt` and the entry is encrypted; -1 at
// the end of the data.
int NextByte(bool decrypt) {
    StreamState& s = engine().stream;
    if (s.inPos > s.inCount) {
        if (!Refill(s)) {
            s.endOfInput = true;
            s.inPos = static_cast<int16_t>(s.inCount + 1);
            return -1;
        }
    } else if (decrypt && s.pendingDecrypt && s.encrypted) {
        // Bytes read together with the encryption header, before the password
        // was accepted: decrypted one at a time as they are handed out.
        DecryptBuffer(engine().cipher, &s.inBuf[s.inPos - 1], 1);
    }
    uint8_t b = s.inBuf[s.inPos - 1];
    ++s.inPos;
    s.lastByte = b;
    return b;
}

}  // namespace

InputView InputInHand() {
    StreamState& s = engine().stream;
    if (s.inPos > s.inCount) return {nullptr, nullptr};
    uint8_t* next = &s.inBuf[s.inPos - 1];
    uint8_t* end = s.inBuf + s.inCount;
    if (s.pendingDecrypt && s.encrypted) {
        // The bytes read together with the encryption header: the cipher
        // runs over them in order, whether one at a time or together.
        DecryptBuffer(engine().cipher, next, static_cast<size_t>(end - next));
        s.pendingDecrypt = 0;
    }
    return {next, end};
}

void ConsumeInput(size_t n) {
    StreamState& s = engine().stream;
    s.inPos = static_cast<int16_t>(s.inPos + static_cast<int16_t>(n));
    if (n > 0) s.lastByte = s.inBuf[s.inPos - 2];
}

void ResetStream(StreamState& s, const CentralFields& entry) {
    s.current = entry;
    s.inPos = kInputBufferSize + 1;
    s.inCount = 0;
    s.lastByte = 0;
    s.bitCount = 0;
    s.endOfInput = false;
    s.toRead = entry.compressedSize;
    s.written = 0;
    s.outCount = 0;
    s.crc = 0xFFFFFFFFu;
    s.sunk = 0;
}

uint16_t SinkOutput(const uint8_t* data, uint32_t n, uint16_t writeFailure) {
    StreamState& s = engine().stream;
    if (n == 0) return VX_OK;
    // More data than the entry declares is damaged data or a bomb: nothing
    // past the declared size is ever written.
    if (s.sunk + n > s.current.uncompressedSize) return VX_BAD_DATA;
    s.sunk += n;
    s.crc = CrcUpdate(s.crc, data, n);
    if (s.checkOnly) return VX_OK;
    return platform::FileWrite(s.outHandle, data, n) == static_cast<int32_t>(n) ? VX_OK : writeFailure;
}

int ReadByte() { return NextByte(true); }

// Unreduce's reader.  Encrypted entries of the Reduce methods are decrypted
// here as well, so that an accepted password yields their real data.
void ReadBytePlain() {
    if (NextByte(true) < 0) engine().stream.lastByte = 0;
}

void PutByte(uint8_t b) {
    StreamState& s = engine().stream;
    s.outBuf[s.outCount] = b;
    ++s.written;
    ++s.outCount;
    if (s.outCount >= kOutputBufferSize) FlushOutput();
}

void FlushOutput() {
    StreamState& s = engine().stream;
    uint32_t n = s.outCount > 0 ? static_cast<uint32_t>(s.outCount) : 0;
    const uint16_t result = SinkOutput(s.outBuf, n, VX_FILE_ERROR);
    s.outCount = 0;
    SetStatus(result);
    if (result != VX_OK) {
        s.toRead = 0;
        return;
    }
    if (!ReportProgress(PercentOf(s.written, s.current.uncompressedSize, 0))) {
        SetStatus(VX_CANCELLED);
        s.toRead = 0;
    } else if (Status() != 0) {
        s.toRead = 0;
    }
}

namespace {
// Adds n bytes to the CRC, writes and counts them, and reports progress;
// a failed write leaves writeFailure (the two writers report it differently),
// data beyond the declared size VX_BAD_DATA.
void WriteCounted(const uint8_t* data, uint32_t n, uint16_t writeFailure) {
    StreamState& s = engine().stream;
    const uint16_t result = SinkOutput(data, n, writeFailure);
    if (result != VX_OK) SetStatus(result);
    s.written += n;
    if (Status() == 0 && !ReportProgress(PercentOf(s.written, s.current.uncompressedSize, n)))
        SetStatus(VX_CANCELLED);
}
}  // namespace

void WriteBlock(const uint8_t* data, uint32_t n) { WriteCounted(data, n, VX_FILE_ERROR); }

void FlushSlide(const uint8_t* window, uint32_t n) { WriteCounted(window, n, VX_SHORT_WRITE); }

}  // namespace vardex
