// The format's own reading: exact reads, record signatures, the end record's
// fields and the search for the end record.  Nothing here knows the engine.
#include "archive/records.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace vardex {

static_assert(std::endian::native == std::endian::little, "records are moved as little-endian blocks");

bool ReadExactly(int fd, void* buffer, uint32_t count) {
    return count == 0 || platform::FileRead(fd, buffer, count) == static_cast<int32_t>(count);
}

bool ReadExactlyAt(int fd, int64_t position, void* buffer, uint32_t count) {
    return count == 0 || platform::FileReadAt(fd, buffer, count, position) == static_cast<int32_t>(count);
}

ReadResult ReadRecord(int fd, void* buffer, uint32_t count) {
    const int32_t got = platform::FileRead(fd, buffer, count);
    if (got < 0) return ReadResult::Failed;
    return static_cast<uint32_t>(got) == count ? ReadResult::Ok : ReadResult::AtEnd;
}

ReadResult ReadSignature(int fd, uint8_t signature[4]) { return ReadRecord(fd, signature, 4); }

RecordReader::RecordReader(int fd, int64_t position, uint32_t blockSize) : fd_(fd), position_(position) {
    if (blockSize == 0) return;
    block_ = new (std::nothrow) uint8_t[blockSize];
    if (block_) blockSize_ = blockSize;
}

RecordReader::~RecordReader() { delete[] block_; }

ReadResult RecordReader::Read(void* out, uint32_t count) {
    auto* to = static_cast<uint8_t*>(out);
    if (!block_) {
        const int32_t got = count == 0 ? 0 : platform::FileReadAt(fd_, to, count, position_);
        if (got < 0) return ReadResult::Failed;
        position_ += got;
        return static_cast<uint32_t>(got) == count ? ReadResult::Ok : ReadResult::AtEnd;
    }
    while (count > 0) {
        if (position_ < blockStart_ || position_ >= blockStart_ + blockFill_) {
            const int32_t got = platform::FileReadAt(fd_, block_, blockSize_, position_);
            if (got < 0) return ReadResult::Failed;
            if (got == 0) return ReadResult::AtEnd;
            blockStart_ = position_;
            blockFill_ = static_cast<uint32_t>(got);
        }
        const uint32_t offset = static_cast<uint32_t>(position_ - blockStart_);
        const uint32_t piece = std::min(count, blockFill_ - offset);
        std::memcpy(to, block_ + offset, piece);
        to += piece;
        count -= piece;
        position_ += piece;
    }
    return ReadResult::Ok;
}

int64_t RecordReader::Length() {
    if (length_ < 0) length_ = platform::FileLength(fd_);
    return length_;
}

EndRecord ParseEndRecord(const uint8_t raw[kEndFieldsSize]) {
    EndRecord end;
    end.diskNumber = Le16(raw + 0);
    end.centralDisk = Le16(raw + 2);
    end.entriesOnDisk = Le16(raw + 4);
    end.entriesTotal = Le16(raw + 6);
    end.centralSize = Le32(raw + 8);
    end.centralOffset = Le32(raw + 12);
    end.commentLength = Le16(raw + 16);
    return end;
}

namespace {

constexpr int64_t kFirstWindow = 64;
constexpr int64_t kWindowStep = 60;
// The windows are taken from larger blocks read at once, which finds exactly
// the same signature with far fewer reads.
constexpr int64_t kBlockBytes = 60 * 256;  // windows gathered per read

}  // namespace

int64_t FindEndSignature(int fd) {
    const int64_t length = platform::FileLength(fd);
    if (length < 0) return -2;
    static_assert(kFirstWindow <= kBlockBytes);
    uint8_t block[kBlockBytes + 3];

    // A window holds the signature starts [lo, hi); the bytes read reach 3
    // beyond hi, which are the kept bytes of the window behind it.
    int64_t lo = length > kFirstWindow ? length - kFirstWindow : 0;
    int64_t hi = length - 3;
    for (;;) {
        // The windows that fit one block: starts from blockLo up to hi.
        int64_t blockLo = lo;
        while (blockLo > 0 && hi - (blockLo - kWindowStep) <= kBlockBytes)
            blockLo = blockLo > kWindowStep ? blockLo - kWindowStep : 0;
        const int64_t readEnd = hi + 3 < length ? hi + 3 : length;
        const int64_t count = readEnd > blockLo ? readEnd - blockLo : 0;
        if (count > 0) {
            if (platform::FileSeek(fd, blockLo, SEEK_SET) < 0) return -2;
            if (platform::FileRead(fd, block, static_cast<uint32_t>(count)) != static_cast<int32_t>(count)) return -2;
        }
        for (;;) {
            for (int64_t s = lo; s < hi; ++s)
                if (memcmp(block + (s - blockLo), kEndSignature, 4) == 0) return s + 4;
            if (lo == blockLo) break;
            hi = lo;
            lo = lo > kWindowStep ? lo - kWindowStep : 0;
        }
        if (lo == 0) return -1;
        hi = lo;
        lo = lo > kWindowStep ? lo - kWindowStep : 0;
    }
}

}  // namespace vardex
