// Unreduce: each byte is predicted from the byte before it through a
// follower set of up to 32 likely successors, sent at the start of the data
// (sets 255 down to 0).  Over that, the byte 144 escapes a run: a length and a
// distance whose split depends on the compression factor (method - 1).
// Back-references copy from the 8,192-byte output window, which always holds
// the last 8,192 bytes produced (the largest distance is 4,096); a reference
// before the first byte gives zeros.
#include <cstdint>
#include <cstdlib>

#include "api/engine.h"
#include "api/paths.h"
#include "extract/bit_reader.h"
#include "extract/legacy.h"
#include "extract/window.h"

namespace vardex {
namespace {

constexpr unsigned kSets = 256;
constexpr unsigned kMaxFollowers = 32;
constexpr uint8_t kEscape = 144;
constexpr uint32_t kHistorySize = 8192;  // the window: output steps, and the reach of a back-reference

struct FollowerSet {
    uint8_t count;
    uint8_t bytes[kMaxFollowers];
};
static_assert(sizeof(FollowerSet) == 33, "a follower set is 33 bytes");

unsigned FollowerIndexBits(unsigned n) {
    unsigned bits = 1;
    while ((1u << bits) < n) ++bits;
    return bits;
}

// False when a set claims more followers than it can hold.
bool ReadFollowerSets(BitReader& in, FollowerSet* sets) {
    for (int i = kSets - 1; i >= 0; --i) {
        unsigned n = in.Take(6);
        if (n > kMaxFollowers) return false;
        sets[i].count = static_cast<uint8_t>(n);
        for (unsigned j = 0; j < n; ++j) sets[i].bytes[j] = static_cast<uint8_t>(in.Take(8));
    }
    return true;
}

uint8_t NextByte(BitReader& in, const FollowerSet& set) {
    if (set.count == 0 || in.Take(1) == 1) return static_cast<uint8_t>(in.Take(8));
    // An index past the set's count (damaged data) reads a zeroed slot.
    return set.bytes[in.Take(FollowerIndexBits(set.count))];
}

void ExpandRuns(BitReader& in, OutputWindow& out, const FollowerSet* sets, unsigned factor) {
    const unsigned lengthMask = 0xFFu >> factor;
    const unsigned distanceMask = (1u << factor) - 1;
    const int64_t size = static_cast<int32_t>(out.sink.declared);

    uint8_t previous = 0;
    unsigned state = 0;
    unsigned v = 0;
    unsigned length = 0;
    // A failed write or a host cancel ends decoding at once.
    while (static_cast<int64_t>(out.produced) < size && Status() == 0) {
        uint8_t c = NextByte(in, sets[previous]);
        previous = c;
        if (in.Overrun()) return;
        switch (state) {
        case 0:
            if (c == kEscape) {
                state = 1;
            } else {
                out.Put(c);
            }
            break;
        case 1:
            if (c == 0) {
                out.Put(kEscape);
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
            out.Copy(distance, length + 3);
            state = 0;
            break;
        }
        }
        if (in.Overrun()) return;
    }
}

}  // namespace

void Unreduce(DecodeSource& source, DecodeSink& sink, unsigned factor) {
    if (factor < 1 || factor > 4) return;
    auto* sets = static_cast<FollowerSet*>(AllocateWork(kSets * sizeof(FollowerSet), true));
    if (sets == nullptr) {
        SetStatus(VX_OUT_OF_MEMORY);
        return;
    }
    BitReader in(source);
    OutputWindow out(WindowStorage(), kHistorySize, sink, VX_FILE_ERROR);
    if (ReadFollowerSets(in, sets) && !in.Overrun()) ExpandRuns(in, out, sets, factor);
    std::free(sets);
    // The bytes still waiting, unless decoding ended on a failure.
    if (out.pos > 0 && Status() == 0) out.Flush();
}

}  // namespace vardex
