// CRC-32 over blocks: the dispatching entry, the portable tables and the
// one-byte step all agree with zlib's crc32 for every length and alignment
// that reaches a different branch, and registers chain across splits.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "common/crc32.h"

namespace {

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return v;
}

uint32_t Zlib(const uint8_t* p, size_t n) { return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n))); }

uint32_t OneByteAtATime(uint32_t crc, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) crc = vardex::CrcStep(crc, p[i]);
    return crc;
}

TEST(Crc32, EveryPathMatchesZlibAcrossLengthsAndAlignments) {
    const std::vector<uint8_t> data = Noise(70000, 7);
    // Around the 8-byte words, the 16-byte lanes and the 64-byte folds.
    const size_t lengths[] = {0,  1,  7,  8,  9,   15,  16,  17,  31,  63,   64,   65,   79,
                              80, 127, 128, 129, 191, 255, 256, 1000, 4096, 4099, 65536, 69990};
    for (size_t offset = 0; offset < 9; ++offset) {
        for (size_t n : lengths) {
            const uint8_t* p = data.data() + offset;
            const uint32_t want = Zlib(p, n);
            EXPECT_EQ(~vardex::CrcUpdate(0xFFFFFFFFu, p, n), want) << offset << " " << n;
            EXPECT_EQ(~vardex::CrcUpdatePortable(0xFFFFFFFFu, p, n), want) << offset << " " << n;
            EXPECT_EQ(~OneByteAtATime(0xFFFFFFFFu, p, n), want) << offset << " " << n;
        }
    }
}

TEST(Crc32, RegisterChainsAcrossSplitsOnBothPaths) {
    const std::vector<uint8_t> data = Noise(9000, 99);
    const uint32_t whole = Zlib(data.data(), data.size());
    for (size_t split : {size_t{1}, size_t{13}, size_t{64}, size_t{100}, size_t{4097}, size_t{8999}}) {
        uint32_t r = vardex::CrcUpdate(0xFFFFFFFFu, data.data(), split);
        r = vardex::CrcUpdate(r, data.data() + split, data.size() - split);
        EXPECT_EQ(~r, whole) << split;
        uint32_t q = vardex::CrcUpdatePortable(0xFFFFFFFFu, data.data(), split);
        q = vardex::CrcUpdate(q, data.data() + split, data.size() - split);
        EXPECT_EQ(~q, whole) << split;
    }
}

TEST(Crc32, KnownValues) {
    const char* digits = "123456789";
    EXPECT_EQ(~vardex::CrcUpdate(0xFFFFFFFFu, digits, 9), 0xCBF43926u);
    const std::vector<uint8_t> zeros(1 << 20, 0);
    EXPECT_EQ(~vardex::CrcUpdate(0xFFFFFFFFu, zeros.data(), zeros.size()), Zlib(zeros.data(), zeros.size()));
    const std::vector<uint8_t> ones(1 << 20, 0xFF);
    EXPECT_EQ(~vardex::CrcUpdate(0xFFFFFFFFu, ones.data(), ones.size()), Zlib(ones.data(), ones.size()));
    RecordProperty("hardware", vardex::CrcHasHardwarePath() ? "yes" : "no");
}

}  // namespace
