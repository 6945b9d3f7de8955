// Unreduce: each byte is predicted from the byte before it through a
// follower set of up to 32 likely successors, sent at the start of the data
// (sets 255 down to 0).  Over that, the byte 144 escapes a run: a length and a
// distance whose split depends on the compression factor (method - 1).
// Back-references copy from the 8,192-byte output buffer, which PutByte fills
// at position (bytes written mod 8,192) and flushing leaves intact, so it
// always holds the last 8,192 bytes (the largest distance is 4,096).
#include <cstdint>
#include <cstdlib>

#include "api/engine.h"
#include "api/paths.h"
#include "extract/legacy.h"
#include "extract/streams.h"

namespace vardex {
namespace {

constexpr unsigned kSets = 256;
constexpr unsigned kMaxFollowers = 32;
constexpr uint8_t kEscape = 144;

struct FollowerSet {
    uint8_t count;
    uint8_t bytes[kMaxFollowers];
};
static_assert(sizeof(FollowerSet) == 33, "a follower set is 33 bytes");

// The bit reader keeps its unused bits in the stream's last byte and their
// number in the stream's bit count; bits are taken from the low end.
unsigned ReadBits(unsigned n) {
    StreamState& st = engine().stream;
    if (st.bitCount == 0) {
        ReadBytePlain();
        st.bitCount = 8;
    }
    if (st.bitCount >= n) {
        unsigned v = st.lastByte & ((1u << n) - 1);
        st.lastByte = static_cast<uint8_t>(st.lastByte >> n);
        st.bitCount = static_cast<uint8_t>(st.bitCount - n);
        return v;
    }
    unsigned have = st.bitCount;
    unsigned v = st.lastByte & ((1u << have) - 1);
    ReadBytePlain();
    unsigned rest = n - have;
    v |= (st.lastByte & ((1u << rest) - 1)) << have;
    st.lastByte = static_cast<uint8_t>(st.lastByte >> rest);
    st.bitCount = static_cast<uint8_t>(8 - rest);
    return v;
}

unsigned FollowerIndexBits(unsigned n) {
    unsigned bits = 1;
    while ((1u << bits) < n) ++bits;
    return bits;
}

// False when a set claims more followers than it can hold.
bool ReadFollowerSets(FollowerSet* sets) {
    for (int i = kSets - 1; i >= 0; --i) {
        unsigned n = ReadBits(6);
        if (n > kMaxFollowers) return false;
        sets[i].count = static_cast<uint8_t>(n);
        for (unsigned j = 0; j < n; ++j) sets[i].bytes[j] = static_cast<uint8_t>(ReadBits(8));
    }
    return true;
}

uint8_t NextByte(const FollowerSet& set) {
    if (set.count == 0 || ReadBits(1) == 1) return static_cast<uint8_t>(ReadBits(8));
    // An index past the set's count (damaged data) reads a zeroed slot.
    return set.bytes[ReadBits(FollowerIndexBits(set.count))];
}

// Copies a run byte by byte, so that a distance shorter than the length
// repeats the pattern; a source before the first byte gives a zero.
void CopyRun(unsigned length, unsigned distance) {
    StreamState& st = engine().stream;
    for (unsigned i = 0; i < length; ++i) {
        uint8_t b = 0;
        if (st.written >= distance) b = st.outBuf[(st.written - distance) % static_cast<uint32_t>(kOutputBufferSize)];
        PutByte(b);
    }
}

void Decode(const FollowerSet* sets, unsigned factor) {
    StreamState& st = engine().stream;
    const unsigned lengthMask = 0xFFu >> factor;
    const unsigned distanceMask = (1u << factor) - 1;
    const int32_t size = static_cast<int32_t>(st.current.uncompressedSize);

    uint8_t previous = 0;
    unsigned state = 0;
    unsigned v = 0;
    unsigned length = 0;
    // A failed write or a host cancel ends decoding at once: a later flush
    // that succeeded would otherwise overwrite the status code with 0.
    while (static_cast<int32_t>(st.written) < size && Status() == 0) {
        uint8_t c = NextByte(sets[previous]);
        previous = c;
        if (st.endOfInput) return;
        switch (state) {
        case 0:
            if (c == kEscape) {
                state = 1;
            } else {
                PutByte(c);
            }
            break;
        case 1:
            if (c == 0) {
                PutByte(kEscape);
                state = 0;
            } else {
                v = c;
                length = v & lengthMask;
                state = length == lengthMask ? 2 : 3;
            }
            break;
        case 2:
            length += c;
            state = 3;
            break;
        default: {
            unsigned distance = ((v >> (8 - factor)) & distanceMask) * 256 + c + 1;
            CopyRun(length + 3, distance);
            state = 0;
            break;
        }
        }
        if (st.endOfInput) return;
    }
}

}  // namespace

void Unreduce() {
    StreamState& st = engine().stream;
    unsigned method = st.current.method;
    if (method < 2 || method > 5 || st.outBuf == nullptr) return;
    auto* sets = static_cast<FollowerSet*>(AllocateWork(kSets * sizeof(FollowerSet), true));
    if (sets == nullptr) {
        SetStatus(VX_OUT_OF_MEMORY);
        return;
    }
    if (ReadFollowerSets(sets) && !st.endOfInput) Decode(sets, method - 1);
    std::free(sets);
}

}  // namespace vardex
