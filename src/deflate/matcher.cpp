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
#include "common/text.h"
#include "deflate/deflate_internal.h"
#include "platform/platform.h"
#include "vardex32.h"

namespace vardex::deflate {

namespace {

constexpr LevelParameters kLevels[kMaxDeflateLevel + 1] = {
    {4, 4, 16},  // stand-in for any level outside 1..4
    {4, 4, 16},
    {8, 16, 32},
    {8, 16, 128},
    {32, 258, 4096},
};

inline uint32_t UpdateHash(uint32_t hash, uint8_t byte) { return ((hash << 5) ^ byte) & (kHashSize - 1); }

// Links the string at position p into its chain; returns the previous head
// of that chain (the first candidate, 0 for none).
inline uint32_t InsertString(DeflateState& s, uint32_t p) {
    s.m.hash = UpdateHash(s.m.hash, s.window[p + 2]);
    uint32_t candidate = s.head[s.m.hash];
    s.prev[p & (kHalfWindow - 1)] = static_cast<uint16_t>(candidate);
    s.head[s.m.hash] = static_cast<uint16_t>(p);
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
// and reports progress.  0 at the end of the input, on a failed read and
// when the progress hook cancels (the status says which).
uint32_t ReadSourceChunk(DeflateState& s, uint8_t* buffer, uint32_t count) {
    MatcherState& m = s.m;
    int32_t got = m.streams->read(m.streams->context, buffer, count);
    if (got < 0) {
        s.status = VX_FILE_ERROR;
        return 0;
    }
    uint32_t n = static_cast<uint32_t>(got);
    if (m.progress) {
        m.bytesRead += n;
        const int32_t percent = Percent(m.bytesRead, m.sourceSize, PercentRule::Halved);
        if (!m.progress(m.progressContext, percent)) {
            s.status = VX_CANCELLED;
            return 0;
        }
    }
    m.inputEnded = n == 0;
    if (n > 0) m.crc = CrcUpdate(m.crc, buffer, n);
    return n;
}

// The refill step: moves the upper half down when the position has reached
// the slide point, then reads as much as fits behind the lookahead.
void SlideAndRead(DeflateState& s) {
    MatcherState& m = s.m;
    if (s.status != 0) {
        m.lookahead = 0;
        m.inputEnded = true;
        return;
    }
    uint32_t room = kWindowSize - m.lookahead - m.position;
    if (m.position >= kSlideAt) {
        std::memcpy(s.window, s.window + kHalfWindow, kHalfWindow);
        m.matchStart -= kHalfWindow;
        m.position -= kHalfWindow;
        m.blockStart -= static_cast<int32_t>(kHalfWindow);
        for (auto& h : s.head) h = static_cast<uint16_t>(h >= kHalfWindow ? h - kHalfWindow : 0);
        for (auto& p : s.prev) p = static_cast<uint16_t>(p >= kHalfWindow ? p - kHalfWindow : 0);
        room += kHalfWindow;
    }
    if (m.inputEnded) return;
    uint32_t n = ReadSourceChunk(s, s.window + m.position + m.lookahead, room);
    if (n == 0) {
        m.inputEnded = true;
    } else {
        m.lookahead += n;
    }
}

void StartMatcher(DeflateState& s, uint8_t level) {
    MatcherState& m = s.m;
    m.level = kLevels[DeflateLevelOf(level)];

    std::memset(s.head, 0, sizeof s.head);
    std::memset(s.window, 0, sizeof s.window);
    m.position = 0;
    m.blockStart = 0;
    m.matchStart = 0;
    m.previousLength = 0;

    uint32_t n = ReadSourceChunk(s, s.window, kHalfWindow);
    if (n == 0) {
        m.lookahead = 0;
        m.inputEnded = true;
        return;
    }
    m.inputEnded = false;
    m.lookahead = n;
    while (m.lookahead < kMinLookahead && !m.inputEnded) {
        if (s.status != 0) {
            m.lookahead = 0;
            m.inputEnded = true;
            break;
        }
        SlideAndRead(s);
    }
    m.hash = 0;
    m.hash = UpdateHash(m.hash, s.window[0]);
    m.hash = UpdateHash(m.hash, s.window[1]);
}

// Walks one hash chain from `candidate`; returns the longest match length
// found (at least the previous length) and leaves its start in matchStart.
// On equal lengths the nearer candidate, found first, is kept.
uint32_t SearchChain(DeflateState& s, uint32_t candidate) {
    MatcherState& m = s.m;
    const uint32_t position = m.position;
    const uint32_t limit = position > kMaxDistance ? position - kMaxDistance : 0;
    uint32_t chain = m.level.chainLimit;
    if (m.previousLength >= m.level.goodLength) chain >>= 2;
    uint32_t best = m.previousLength;
    const uint8_t* scan = s.window + position;
    const uint16_t scanStart = Load16(scan);
    uint16_t scanEnd = Load16(scan + best - 1);

    do {
        const uint8_t* match = s.window + candidate;
        // Cheap rejections first: the two bytes that would extend the best
        // match, then the first two bytes.
        if (Load16(match + best - 1) != scanEnd || Load16(match) != scanStart) continue;
        uint32_t len = 2 + CommonLength(match + 2, scan + 2, kMaxMatch - 2);
        if (len > best) {
            m.matchStart = candidate;
            best = len;
            if (len >= kMaxMatch) break;
            scanEnd = Load16(scan + best - 1);
        }
    } while ((candidate = s.prev[candidate & (kHalfWindow - 1)]) > limit && --chain != 0);
    return best;
}

inline void EndBlockAt(DeflateState& s, uint32_t end) {
    MatcherState& m = s.m;
    const uint8_t* data = m.blockStart >= 0 ? s.window + m.blockStart : nullptr;
    EndBlock(s, data, static_cast<uint32_t>(static_cast<int64_t>(end) - m.blockStart), false);
    m.blockStart = static_cast<int32_t>(end);
}

// The lazy match loop; returns the entry's compressed size.
uint64_t DeflateInput(DeflateState& s) {
    MatcherState& m = s.m;
    BlockTables& t = s.tables;
    uint32_t matchLength = kMinMatch - 1;
    bool literalPending = false;

    while (m.lookahead != 0) {
        uint32_t candidate = InsertString(s, m.position);
        m.previousLength = matchLength;
        uint32_t previousMatch = m.matchStart;
        matchLength = kMinMatch - 1;

        if (candidate != 0 && m.previousLength < m.level.lazyLimit && m.position - candidate <= kMaxDistance) {
            matchLength = SearchChain(s, candidate);
            if (matchLength > m.lookahead) matchLength = m.lookahead;
            if (matchLength == kMinMatch && m.position - m.matchStart > kTooFar) matchLength = kMinMatch - 1;
        }

        if (m.previousLength >= kMinMatch && matchLength <= m.previousLength) {
            // The match found at the previous position stands.
            const uint32_t length = m.previousLength;
            const uint32_t end = m.position + length - 1;
            if (RecordSymbol(t, m.position - 1 - previousMatch, length - kMinMatch)) EndBlockAt(s, end);
            m.lookahead -= length - 1;
            for (uint32_t p = m.position + 1; p < end; ++p) InsertString(s, p);
            m.position = end;
            literalPending = false;
            matchLength = kMinMatch - 1;
        } else if (literalPending) {
            if (RecordSymbol(t, 0, s.window[m.position - 1])) EndBlockAt(s, m.position);
            m.position++;
            m.lookahead--;
        } else {
            literalPending = true;
            m.position++;
            m.lookahead--;
        }

        while (m.lookahead < kMinLookahead && !m.inputEnded) SlideAndRead(s);
    }

    if (literalPending) RecordSymbol(t, 0, s.window[m.position - 1]);
    const uint8_t* data = m.blockStart >= 0 ? s.window + m.blockStart : nullptr;
    return EndBlock(s, data, static_cast<uint32_t>(static_cast<int64_t>(m.position) - m.blockStart), true);
}

int32_t ReadDescriptor(void* context, void* buffer, uint32_t count) {
    return platform::FileRead(*static_cast<const int*>(context), buffer, count);
}

int32_t WriteDescriptor(void* context, const void* buffer, uint32_t count) {
    return platform::FileWrite(*(static_cast<const int*>(context) + 1), buffer, count);
}

}  // namespace

uint16_t DeflateStream(DeflateState& s, const DeflateIo& io, const DeflateStreams& streams,
                       DeflateOutcome* outcome) {
    *outcome = DeflateOutcome{};
    s.status = 0;
    MatcherState& m = s.m;
    m.streams = &streams;
    m.crc = 0xFFFFFFFFu;
    m.bytesRead = 0;
    m.sourceSize = io.sourceSize;
    m.progress = io.progress;
    m.progressContext = io.progressContext;
    m.inputEnded = false;
    StartOutput(s, io.outputBuffer ? io.outputBuffer : s.ownOutput, io.cipher, &streams);

    ClearDeflateTables(s.tables);
    StartTrees(s.tables);
    StartMatcher(s, io.level);
    const uint64_t size = s.status == 0 ? DeflateInput(s) : 0;
    outcome->crc = ~m.crc;
    outcome->compressedSize = size;
    outcome->textFlag = s.tables.guess == TextGuess::Text ? 1 : 0;
    outcome->flagWord = 0;
    return s.status;
}

}  // namespace vardex::deflate

namespace vardex {

uint16_t DeflateEntry(DeflateState& state, const DeflateIo& io, DeflateOutcome* outcome) {
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
    return deflate::DeflateStream(state, io, streams, outcome);
}

}  // namespace vardex
