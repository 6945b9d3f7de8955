#include "common/crc32.h"

#include <array>

namespace vardex {

namespace {
constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> kTable = MakeTable();
}  // namespace

const uint32_t kCrcTable[256] = {
#define ROW(i) kTable[i], kTable[i + 1], kTable[i + 2], kTable[i + 3], kTable[i + 4], kTable[i + 5], kTable[i + 6], kTable[i + 7]
    ROW(0),   ROW(8),   ROW(16),  ROW(24),  ROW(32),  ROW(40),  ROW(48),  ROW(56),  ROW(64),  ROW(72),  ROW(80),
    ROW(88),  ROW(96),  ROW(104), ROW(112), ROW(120), ROW(128), ROW(136), ROW(144), ROW(152), ROW(160), ROW(168),
    ROW(176), ROW(184), ROW(192), ROW(200), ROW(208), ROW(216), ROW(224), ROW(232), ROW(240), ROW(248),
#undef ROW
};

uint32_t CrcUpdate(uint32_t crc, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) crc = CrcStep(crc, p[i]);
    return crc;
}

}  // namespace vardex
