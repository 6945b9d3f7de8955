// Match finding: the front half of the compressor.
//
// The source is read into a 64 KiB window made of two 32 KiB halves.  Every
// position's next three bytes are hashed (15 bits); `head` holds the most
// recent position of each hash and `prev` links each position to the previous
// one with the same hash, so a chain walks back through earlier candidates
// for a match.  Lazy evaluation: a match found at one position is kept
// pending while the next position is searched for a longer one; only then is
// the pending match (or a literal) recorded for the block.
//
// Invariants:
//  - at least 262 bytes (the longest match plus a hashed string) are ahead
//    of the position while input remains, so a match never runs past the
//    data; near the end a search may compare past it, and its result is cut
//    to the bytes that are there;
//  - when the position reaches 65,274 the upper half moves down, positions
//    and chain links lose 32,768, and links that would fall below the window
//    become 0 (position 0 doubles as "no candidate", so it is never a match);
//  - candidates farther than 32,506 bytes back are never used;
//  - the window is cleared at the start of each entry, so what lies past the
//    data (which a search may compare) never depends on an earlier entry and
//    the same input always gives the same stream;
//  - the CRC-32 runs over exactly the bytes read, before they are compressed.
#include <algorithm>
#include <bit>
#include <cstddef>

#include "common/crc32.h"
#include "deflate/deflate_internal.h"
#include "platform/platform.h"

namespace vardex::deflate {

namespace {

struct LevelParameters {
    uint32_t goodLength;  // at or above: search a quarter of the chain
    uint32_t lazyLimit;   // at or above: no search for a longer match
    uint32_t chainLimit;  // most candidates examined in one search
};

constexpr LevelParameters kLevels[5] = {
    {4, 4, 16},  // stand-in for any level outside 1..4
    {4, 4, 16},
    {8, 16, 32},
    {8, 16, 128},
    {32, 258, 4096},
};

// A search compares up to 258 bytes from a position that can lie just below
// the window's end; the guard keeps those reads inside the array.
constexpr uint32_t kWindowGuard = 512;

uint8_t gWindow[kWindowSize + kWindowGuard];
uint16_t gHead[kHashSize];
uint16_t gPrev[kHalfWindow];
uint8_t gFallbackOutput[kOutputBufferSize];

struct MatcherState {
    LevelParameters level;
    uint32_t hash;
    uint32_t position;
    uint32_t lookahead;
    int32_t blockStart;
    uint32_t matchStart;
    uint32_t previousLength;
    bool inputEnded;

    // Source side.
    const DeflateStreams* streams;
    uint32_t crc;
    uint64_t bytesRead;
    uint64_t sourceSize;
    Callback<SetProgressProc> progress;
};

MatcherState gM{};

inline uint32_t UpdateHash(uint32_t hash, uint8_t byte) { return ((hash << 5) ^ byte) & (kHashSize - 1); }

// Links the string at position p into its chain; returns the previous head
// of that chain (the first candidate, 0 for none).
inline uint32_t InsertString(uint32_t p) {
    gM.hash = UpdateHash(gM.hash, gWindow[p + 2]);
    uint32_t candidate = gHead[gM.hash];
    gPrev[p & (kHalfWindow - 1)] = static_cast<uint16_t>(candidate);
    gHead[gM.hash] = static_cast<uint16_t>(p);
    return candidate;
}

inline uint16_t Load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Length of the common prefix of a and b, at most `limit` bytes.
inline uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t n = 0;
    if constexpr (std::endian::native == std::endian::little) {
        while (n < limit) {
            uint64_t x;
            uint64_t y;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            uint64_t diff = x ^ y;
            if (diff != 0) return std::min(limit, n + static_cast<uint32_t>(std::countr_zero(diff) >> 3));
            n += 8;
        }
        return limit;
    } else {
        while (n < limit && a[n] == b[n]) ++n;
        return n;
    }
}

// Reads up to count bytes of the source into buffer, runs the CRC over them
// and reports progress.  0 at the end of the input, on a failed read (status
// 5) and when the host cancels (status 2926).
uint32_t ReadSourceChunk(uint8_t* buffer, uint32_t count) {
    int32_t got = gM.streams->read(gM.streams->context, buffer, count);
    if (got < 0) {
        SetStatus(5);
        return 0;
    }
    SetStatus(0);
    uint32_t n = static_cast<uint32_t>(got);
    if (gM.progress) {
        gM.bytesRead += n;
        // Both values are halved together until the product below is small;
        // the reported share then follows from the halved values.
        uint64_t done = gM.bytesRead;
        uint64_t total = gM.sourceSize;
        while (done >= 0x1400000) {
            done >>= 1;
            total >>= 1;
        }
        int32_t percent = total == 0 ? 100 : static_cast<int32_t>(done * 100 / total);
        if (gM.progress.proc(gM.progress.hostWord, percent) == 0) {
            SetStatus(2926);
            return 0;
        }
    }
    gM.inputEnded = n == 0;
    if (n > 0) gM.crc = CrcUpdate(gM.crc, buffer, n);
    return n;
}

// The refill step: moves the upper half down when the position has reached
// the slide point, then reads as much as fits behind the lookahead.
void SlideAndRead() {
    if (Status() != 0) {
        gM.lookahead = 0;
        gM.inputEnded = true;
        return;
    }
    uint32_t room = kWindowSize - gM.lookahead - gM.position;
    if (gM.position >= kSlideAt) {
        std::memcpy(gWindow, gWindow + kHalfWindow, kHalfWindow);
        gM.matchStart -= kHalfWindow;
        gM.position -= kHalfWindow;
        gM.blockStart -= static_cast<int32_t>(kHalfWindow);
        for (auto& h : gHead) h = static_cast<uint16_t>(h >= kHalfWindow ? h - kHalfWindow : 0);
        for (auto& p : gPrev) p = static_cast<uint16_t>(p >= kHalfWindow ? p - kHalfWindow : 0);
        room += kHalfWindow;
    }
    if (gM.inputEnded) return;
    uint32_t n = ReadSourceChunk(gWindow + gM.position + gM.lookahead, room);
    if (n == 0) {
        gM.inputEnded = true;
    } else {
        gM.lookahead += n;
    }
}

void StartMatcher() {
    uint32_t level = engine().descriptor[9];
    if (level < 1 || level > 4) level = 1;
    engine().packLevel = static_cast<int32_t>(level);
    gM.level = kLevels[level];

    std::memset(gHead, 0, sizeof gHead);
    std::memset(gWindow, 0, sizeof gWindow);
    gM.position = 0;
    gM.blockStart = 0;
    gM.matchStart = 0;
    gM.previousLength = 0;

    uint32_t n = ReadSourceChunk(gWindow, kHalfWindow);
    if (n == 0) {
        gM.lookahead = 0;
        gM.inputEnded = true;
        return;
    }
    gM.inputEnded = false;
    gM.lookahead = n;
    while (gM.lookahead < kMinLookahead && !gM.inputEnded) {
        if (Status() != 0) {
            gM.lookahead = 0;
            gM.inputEnded = true;
            break;
        }
        SlideAndRead();
    }
    gM.hash = 0;
    gM.hash = UpdateHash(gM.hash, gWindow[0]);
    gM.hash = UpdateHash(gM.hash, gWindow[1]);
}

// Walks one hash chain from `candidate`; returns the longest match length
// found (at least the previous length) and leaves its start in matchStart.
// On equal lengths the nearer candidate, found first, is kept.
uint32_t SearchChain(uint32_t candidate) {
    const uint32_t position = gM.position;
    const uint32_t limit = position > kMaxDistance ? position - kMaxDistance : 0;
    uint32_t chain = gM.level.chainLimit;
    if (gM.previousLength >= gM.level.goodLength) chain >>= 2;
    uint32_t best = gM.previousLength;
    const uint8_t* scan = gWindow + position;
    const uint16_t scanStart = Load16(scan);
    uint16_t scanEnd = Load16(scan + best - 1);

    do {
        const uint8_t* match = gWindow + candidate;
        // Cheap rejections first: the two bytes that would extend the best
        // match, then the first two bytes.
        if (Load16(match + best - 1) != scanEnd || Load16(match) != scanStart) continue;
        uint32_t len = 2 + CommonLength(match + 2, scan + 2, kMaxMatch - 2);
        if (len > best) {
            gM.matchStart = candidate;
            best = len;
            if (len >= kMaxMatch) break;
            scanEnd = Load16(scan + best - 1);
        }
    } while ((candidate = gPrev[candidate & (kHalfWindow - 1)]) > limit && --chain != 0);
    return best;
}

inline void EndBlockAt(uint32_t end) {
    const uint8_t* data = gM.blockStart >= 0 ? gWindow + gM.blockStart : nullptr;
    EndBlock(data, static_cast<uint32_t>(static_cast<int64_t>(end) - gM.blockStart), false);
    gM.blockStart = static_cast<int32_t>(end);
}

// The lazy match loop; returns the entry's compressed size.
uint64_t DeflateInput() {
    uint32_t matchLength = kMinMatch - 1;
    bool literalPending = false;

    while (gM.lookahead != 0) {
        uint32_t candidate = InsertString(gM.position);
        gM.previousLength = matchLength;
        uint32_t previousMatch = gM.matchStart;
        matchLength = kMinMatch - 1;

        if (candidate != 0 && gM.previousLength < gM.level.lazyLimit &&
            gM.position - candidate <= kMaxDistance) {
            matchLength = SearchChain(candidate);
            if (matchLength > gM.lookahead) matchLength = gM.lookahead;
            if (matchLength == kMinMatch && gM.position - gM.matchStart > kTooFar) matchLength = kMinMatch - 1;
        }

        if (gM.previousLength >= kMinMatch && matchLength <= gM.previousLength) {
            // The match found at the previous position stands.
            const uint32_t length = gM.previousLength;
            const uint32_t end = gM.position + length - 1;
            if (RecordSymbol(gM.position - 1 - previousMatch, length - kMinMatch)) EndBlockAt(end);
            gM.lookahead -= length - 1;
            for (uint32_t p = gM.position + 1; p < end; ++p) InsertString(p);
            gM.position = end;
            literalPending = false;
            matchLength = kMinMatch - 1;
        } else if (literalPending) {
            if (RecordSymbol(0, gWindow[gM.position - 1])) EndBlockAt(gM.position);
            gM.position++;
            gM.lookahead--;
        } else {
            literalPending = true;
            gM.position++;
            gM.lookahead--;
        }

        while (gM.lookahead < kMinLookahead && !gM.inputEnded) SlideAndRead();
    }

    if (literalPending) RecordSymbol(0, gWindow[gM.position - 1]);
    const uint8_t* data = gM.blockStart >= 0 ? gWindow + gM.blockStart : nullptr;
    return EndBlock(data, static_cast<uint32_t>(static_cast<int64_t>(gM.position) - gM.blockStart), true);
}

int32_t ReadDescriptor(void* context, void* buffer, uint32_t count) {
    return platform::FileRead(*static_cast<const int*>(context), buffer, count);
}

int32_t WriteDescriptor(void* context, const void* buffer, uint32_t count) {
    return platform::FileWrite(*(static_cast<const int*>(context) + 1), buffer, count);
}

}  // namespace

uint16_t DeflateStream(const DeflateIo& io, const DeflateStreams& streams, DeflateOutcome* outcome) {
    *outcome = DeflateOutcome{};
    // A status left by an earlier step must not stop this entry (or be
    // reported as its result).
    SetStatus(0);
    if (!gTables) {
        SetStatus(8);
        return Status();
    }
    BuildCodeTables();

    gM.streams = &streams;
    gM.crc = 0xFFFFFFFFu;
    gM.bytesRead = 0;
    gM.sourceSize = io.sourceSize;
    gM.progress = io.progress;
    gM.inputEnded = false;
    StartOutput(io.outputBuffer ? io.outputBuffer : gFallbackOutput, io.cipher, &streams);

    ClearDeflateTables();
    StartTrees();
    uint64_t size = 0;
    if (Status() == 0) {
        StartMatcher();
        if (Status() == 0) size = DeflateInput();
    }
    outcome->crc = ~gM.crc;
    outcome->compressedSize = size;
    outcome->textFlag = gTables->guess == TextGuess::Text ? 1 : 0;
    outcome->flagWord = 0;
    return Status();
}

}  // namespace vardex::deflate

namespace vardex {

uint16_t DeflateEntry(const DeflateIo& io, DeflateOutcome* outcome) {
    // The context carries the source descriptor for reading and either the
    // output descriptor or the caller's writer.
    struct Context {
        int descriptors[2];
        const DeflateIo* io;
    } context{{io.source, io.output}, &io};
    static_assert(offsetof(Context, descriptors) == 0);
    deflate::DeflateStreams streams;
    streams.read = deflate::ReadDescriptor;
    streams.write = io.write ? [](void* c, const void* buffer, uint32_t count) {
        const DeflateIo* own = static_cast<Context*>(c)->io;
        return own->write(own->writeContext, buffer, count);
    } : deflate::WriteDescriptor;
    streams.context = &context;
    return deflate::DeflateStream(io, streams, outcome);
}

}  // namespace vardex
