// The entry writer: one open source file becomes one entry of the new
// archive.  Room for the local header is reserved, the data is written
// (deflated, or stored when Deflate does not make it smaller), and the local
// header is then written over the reserved room with the CRC-32 and sizes
// that are now known.  No data descriptor is ever written.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "api/engine.h"
#include "api/paths.h"
#include "archive/records.h"
#include "common/crc32.h"
#include "common/text.h"
#include "crypt/crypt.h"
#include "deflate/deflate.h"
#include "platform/platform.h"
#include "update/ahead.h"
#include "update/update.h"

namespace vardex {

namespace {

constexpr uint32_t kCrcPiece = 32768;
constexpr int64_t kMaxOffset = 0xFFFFFFFFll;
constexpr uint32_t kEncryptionHeaderSize = 12;

bool ReportProgress(uint32_t done, uint32_t total) {
    const Callback<SetProgressProc>& proc = engine().progressProc;
    if (!proc) return true;
    const int32_t percent = Percent(done, total, PercentRule::Halved);
    if (proc.proc(proc.hostWord, percent) == 0) {
        SetStatus(VX_CANCELLED);
        return false;
    }
    return true;
}

// The compressor's writer: the bytes go to the new archive.
int32_t WriteToArchive(void*, const void* buffer, uint32_t count) {
    Rewrite* rewrite = engine().rewrite.active;
    return rewrite && rewrite->Write(buffer, count) ? static_cast<int32_t>(count) : -1;
}

bool ReportToHost(void*, int32_t percent) {
    const Callback<SetProgressProc>& proc = engine().progressProc;
    return !proc || proc.proc(proc.hostWord, percent) != 0;
}

// Writes a stream compressed ahead as the compressor would have written it
// right now: each progress share is reported once the bytes produced before
// it are written.  The status, as DeflateEntry's.
uint16_t WriteCompressedAhead(const AheadResult& ahead) {
    uint64_t done = 0;
    const auto writeUpTo = [&](uint64_t end) {
        while (done < end) {
            const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(end - done, 1u << 20));
            if (WriteToArchive(nullptr, ahead.data.data() + done, piece) < 0) return false;
            done += piece;
        }
        return true;
    };
    const bool reporting = static_cast<bool>(engine().progressProc);
    for (const AheadResult::Report& report : ahead.reports) {
        if (!writeUpTo(report.producedBefore)) return VX_SHORT_WRITE;
        if (reporting && !ReportToHost(nullptr, report.percent)) return VX_CANCELLED;
    }
    return writeUpTo(ahead.data.size()) ? VX_OK : VX_SHORT_WRITE;
}

// The stored copy's reader: the source read in blocks through the input
// buffer, with the CRC-32 of what was read.
struct SourceReader {
    int fd = -1;
    uint32_t size = 0;
    uint8_t* buffer = nullptr;  // kUpdateInputSize bytes
    bool encrypt = false;
    uint32_t crcRegister = 0xFFFFFFFF;
    uint32_t readCount = 0;
    int32_t fillCount = 0;
    int32_t readIndex = 1;  // 1-based; past fillCount means refill
    bool endOfInput = false;
};

// Makes the 12-byte encryption header for the source and writes it.
bool WriteEncryptionHeader(uint32_t checkCrc) {
    EngineState& e = engine();
    const uint32_t seed = static_cast<uint32_t>(std::time(nullptr)) ^ 0xBB40E64Eu;
    uint8_t header[kEncryptionHeaderSize];
    MakeHeader(e.cipher, e.password, checkCrc, seed, header);
    return WriteOutput(header, kEncryptionHeaderSize);
}

bool ReadSourceByte(SourceReader& r, uint8_t* out) {
    if (r.readIndex > r.fillCount) {
        if (r.endOfInput) return false;
        r.readIndex = 1;
        const int32_t got = platform::FileRead(r.fd, r.buffer, kUpdateInputSize);
        if (got < 0) {
            // A source that cannot be read on must not end as a short entry.
            r.endOfInput = true;
            r.fillCount = 0;
            SetStatus(VX_FILE_ERROR);
            return false;
        }
        if (got < static_cast<int32_t>(kUpdateInputSize)) r.endOfInput = true;
        r.fillCount = got;
        r.crcRegister = CrcUpdate(r.crcRegister, r.buffer, static_cast<size_t>(got));
        if (!ReportProgress(r.readCount, r.size)) return false;
        if (got == 0) return false;
    }
    *out = r.buffer[r.readIndex - 1];
    ++r.readIndex;
    ++r.readCount;
    return true;
}

// Copies the source as it is (encrypted when asked) and gives the CRC-32 of
// what was copied; status on failure.
uint32_t StoreFileData(const EntrySource& source, uint32_t size, bool encrypt) {
    EngineState& e = engine();
    if (platform::FileSeek(source.fd, 0, SEEK_SET) < 0) {
        SetStatus(VX_FILE_ERROR);
        return 0;
    }
    SetStatus(0);
    SourceReader r{.fd = source.fd, .size = size, .buffer = source.input, .encrypt = encrypt};
    e.rewrite.writtenCount = 0;

    uint8_t first;
    while (ReadSourceByte(r, &first)) {
        // The whole block just read is taken at once.
        const uint32_t block = static_cast<uint32_t>(r.fillCount);
        r.readCount += block - 1;
        // A source that grows while it is copied (the archive itself under
        // another name, say) would never end.
        if (r.readCount > r.size) {
            SetStatus(VX_FILE_ERROR);
            return 0;
        }
        if (r.encrypt) EncryptBuffer(e.cipher, r.buffer, block);
        if (!WriteOutput(r.buffer, block)) return 0;
        r.readIndex = r.fillCount + 1;
    }
    if (Status() != 0) return 0;
    // The source changed size while it was read: the entry would not hold
    // the file it claims to hold.
    if (r.readCount != r.size) {
        SetStatus(VX_FILE_ERROR);
        return 0;
    }
    return ~r.crcRegister;
}

// The CRC-32 of the whole source, read ahead for the encryption header; the
// source is left at its start.
uint32_t ComputeFileCrc(int fd) {
    uint8_t piece[kCrcPiece];
    uint32_t crc = 0xFFFFFFFF;
    for (;;) {
        const int32_t got = platform::FileRead(fd, piece, kCrcPiece);
        if (got < 0) {
            SetStatus(VX_FILE_ERROR);
            return 0;
        }
        crc = CrcUpdate(crc, piece, static_cast<size_t>(got));
        if (got < static_cast<int32_t>(kCrcPiece)) break;
    }
    if (platform::FileSeek(fd, 0, SEEK_SET) < 0) {
        SetStatus(VX_FILE_ERROR);
        return 0;
    }
    return ~crc;
}

}  // namespace

void WriteNewEntry(EntrySource& source, ZipFileEntry* entry, uint16_t date, uint16_t time, const AheadResult* ahead) {
    EngineState& e = engine();
    CentralFields* f = FieldsOf(entry);

    if (OptionsOn(arStripPaths)) {
        char part[kPathField];
        FileNamePart(entry->name, part);
        CopyText(entry->name, sizeof entry->name, part);
    }
    char stored[kTextField];
    const size_t nameLength = StoredNameOf(entry, stored);
    const int64_t headerPos = RecordablePosition();
    if (headerPos < 0) return;
    const int64_t dataPos = headerPos + 30 + static_cast<int64_t>(nameLength);
    if (!SeekOutput(dataPos)) return;

    const int64_t length = platform::FileLength(source.fd);
    const bool encrypted = e.passwordSet != 0 && length != 0;
    const int64_t limit = kMaxOffset - (encrypted ? kEncryptionHeaderSize : 0);
    // Sizes are 32-bit fields: a larger file cannot be recorded.
    if (length < 0 || length > limit) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    const uint32_t size = static_cast<uint32_t>(length);

    uint32_t checkCrc = 0;
    if (encrypted) {
        checkCrc = ComputeFileCrc(source.fd);
        if (Status() != 0) return;
        if (!WriteEncryptionHeader(checkCrc)) return;
    }

    const uint16_t utf8 = f->flags & kFlagUtf8Name;
    const uint16_t cipherFlag = encrypted ? kFlagEncrypted : 0;
    f->versionNeeded = 10;
    f->flags = cipherFlag | utf8;
    f->method = 0;
    f->time = time;
    f->date = date;
    f->crc32 = 0;
    f->compressedSize = 0;
    f->uncompressedSize = size;
    f->extraLength = 0;
    f->localHeaderOffset = 0;

    // The compressor uses the level it is given, and the pack level setting
    // reports the one in effect.
    const uint8_t level = DeflateLevelOf(e.descriptor[9]);
    e.packLevel = level;
    DeflateOutcome outcome;
    // A file compressed ahead is used only when it was compressed as it would
    // be now: same level, same length, no encryption.
    if (ahead && !encrypted && ahead->level == level && ahead->sourceSize == size) {
        outcome = ahead->outcome;
        SetStatus(WriteCompressedAhead(*ahead));
        if (Status() != 0) return;
    } else {
        DeflateIo io;
        io.source = source.fd;
        io.sourceSize = size;
        io.level = level;
        io.write = WriteToArchive;
        io.outputBuffer = source.output;
        io.cipher = encrypted ? &e.cipher : nullptr;
        if (e.progressProc) io.progress = ReportToHost;
        SetStatus(DeflateEntry(source.compressor, io, &outcome));
        if (Status() != 0) return;
        // The source changed size while it was compressed.
        if (platform::FileSeek(source.fd, 0, SEEK_CUR) != static_cast<int64_t>(size)) {
            SetStatus(VX_FILE_ERROR);
            return;
        }
    }
    uint32_t crc = outcome.crc;
    uint64_t written = outcome.compressedSize;
    bool deflated = true;
    source.textFlag = outcome.textFlag;

    if (written >= size) {
        // Deflate did not pay: the file is stored in the same place.  An
        // encrypted entry gets a fresh encryption header for the new pass.
        if (!SeekOutput(dataPos)) return;
        if (encrypted && !WriteEncryptionHeader(checkCrc)) return;
        crc = StoreFileData(source, size, encrypted);
        if (Status() != 0) return;
        written = e.rewrite.writtenCount;
        deflated = false;
    }

    const int64_t endPos = RecordablePosition();
    if (endPos < 0) return;
    if (encrypted) written += kEncryptionHeaderSize;
    if (written > static_cast<uint64_t>(kMaxOffset)) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    if (deflated) {
        f->versionNeeded = 20;
        f->flags = static_cast<uint16_t>(outcome.flagWord | cipherFlag | utf8);
        f->method = 8;
    }
    f->crc32 = crc;
    f->compressedSize = static_cast<uint32_t>(written);
    f->localHeaderOffset = static_cast<uint32_t>(headerPos);

    if (!SeekOutput(headerPos)) return;
    const LocalFields local = LocalFromCentral(*f);
    if (!WriteOutput(kLocalSignature, 4) || !WriteOutput(&local, sizeof local) ||
        !WriteOutput(stored, static_cast<uint32_t>(nameLength)))
        return;
    SeekOutput(endPos);
}

void WriteDirectoryEntry(ZipFileEntry* entry, uint16_t date, uint16_t time) {
    CentralFields* f = FieldsOf(entry);
    char stored[kTextField];
    const size_t nameLength = StoredNameOf(entry, stored);
    const int64_t headerPos = RecordablePosition();
    if (headerPos < 0) return;
    // No data and nothing to encrypt: only the name, marked as UTF-8 or not.
    f->versionNeeded = 20;
    f->flags = static_cast<uint16_t>(f->flags & kFlagUtf8Name);
    f->method = 0;
    f->time = time;
    f->date = date;
    f->crc32 = 0;
    f->compressedSize = 0;
    f->uncompressedSize = 0;
    f->extraLength = 0;
    f->localHeaderOffset = static_cast<uint32_t>(headerPos);
    const LocalFields local = LocalFromCentral(*f);
    if (!WriteOutput(kLocalSignature, 4) || !WriteOutput(&local, sizeof local)) return;
    WriteOutput(stored, static_cast<uint32_t>(nameLength));
}

}  // namespace vardex
