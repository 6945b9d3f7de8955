// CRC-32 over blocks.  Three ways to the same register:
//  - portable: eight table lookups per 8-byte word ("slicing by 8"), bytes
//    one at a time for the head and tail;
//  - x86-64 with PCLMULQDQ: four 128-bit lanes folded forward by carry-less
//    multiplication, then one lane, reduced to 32 bits by Barrett reduction;
//  - ARMv8 with the CRC extension: the CRC32X/CRC32B instructions.
// The hardware path is chosen once, on first use.
#include "common/crc32.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VARDEX_CRC_CLMUL 1
#endif
#if defined(__aarch64__) && defined(__ARM_FEATURE_CRC32)
#include <arm_acle.h>
#define VARDEX_CRC_ARM 1
#endif

namespace vardex {

namespace {

using SliceTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr SliceTables MakeTables() {
    SliceTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    // t[k][n]: the register after byte n followed by k zero bytes.
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
}

constexpr SliceTables kSlices = MakeTables();

inline uint64_t LoadLe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

uint32_t Bytewise(uint32_t crc, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) crc = CrcStep(crc, p[i]);
    return crc;
}

uint32_t Sliced(uint32_t crc, const uint8_t* p, size_t n) {
    while (n >= 8) {
        uint64_t w = LoadLe64(p) ^ crc;
        crc = kSlices[7][w & 0xFF] ^ kSlices[6][(w >> 8) & 0xFF] ^ kSlices[5][(w >> 16) & 0xFF] ^
              kSlices[4][(w >> 24) & 0xFF] ^ kSlices[3][(w >> 32) & 0xFF] ^ kSlices[2][(w >> 40) & 0xFF] ^
              kSlices[1][(w >> 48) & 0xFF] ^ kSlices[0][w >> 56];
        p += 8;
        n -= 8;
    }
    return Bytewise(crc, p, n);
}

#ifdef VARDEX_CRC_CLMUL
// Folding constants for the reflected polynomial: x^(4*128+32) and
// x^(4*128-32) mod P (four lanes), x^(128+32) and x^(128-32) mod P (one lane),
// x^64 mod P, and P with its Barrett quotient floor(x^64 / P).
constexpr uint64_t kFold4Low = 0x154442bd4, kFold4High = 0x1c6e41596;
constexpr uint64_t kFold1Low = 0x1751997d0, kFold1High = 0x0ccaa009e;
constexpr uint64_t kFold64 = 0x163cd6124;
constexpr uint64_t kPoly = 0x1db710641, kQuotient = 0x1f7011641;

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i lane, __m128i k, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
    __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

inline __m128i Load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// n >= 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t Clmul(uint32_t crc, const uint8_t* p, size_t n) {
    __m128i x1 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load128(p + 16);
    __m128i x3 = Load128(p + 32);
    __m128i x4 = Load128(p + 48);
    p += 64;
    n -= 64;
    __m128i k = _mm_set_epi64x(static_cast<long long>(kFold4High), static_cast<long long>(kFold4Low));
    while (n >= 64) {
        x1 = Fold(x1, k, Load128(p));
        x2 = Fold(x2, k, Load128(p + 16));
        x3 = Fold(x3, k, Load128(p + 32));
        x4 = Fold(x4, k, Load128(p + 48));
        p += 64;
        n -= 64;
    }
    k = _mm_set_epi64x(static_cast<long long>(kFold1High), static_cast<long long>(kFold1Low));
    x1 = Fold(x1, k, x2);
    x1 = Fold(x1, k, x3);
    x1 = Fold(x1, k, x4);
    while (n >= 16) {
        x1 = Fold(x1, k, Load128(p));
        p += 16;
        n -= 16;
    }
    // 128 bits to 64, then to 32, then the Barrett reduction.
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x10), _mm_srli_si128(x1, 8));
    k = _mm_set_epi64x(0, static_cast<long long>(kFold64));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00));
    k = _mm_set_epi64x(static_cast<long long>(kQuotient), static_cast<long long>(kPoly));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), k, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool DetectHardware() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

uint32_t Hardware(uint32_t crc, const uint8_t* p, size_t n) {
    if (n >= 64) {
        size_t whole = n & ~size_t{15};
        crc = Clmul(crc, p, whole);
        p += whole;
        n -= whole;
    }
    return Sliced(crc, p, n);
}
#elif defined(VARDEX_CRC_ARM)
bool DetectHardware() { return true; }

uint32_t Hardware(uint32_t crc, const uint8_t* p, size_t n) {
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        crc = __crc32d(crc, w);
        p += 8;
        n -= 8;
    }
    while (n-- > 0) crc = __crc32b(crc, *p++);
    return crc;
}
#else
bool DetectHardware() { return false; }
uint32_t Hardware(uint32_t crc, const uint8_t* p, size_t n) { return Sliced(crc, p, n); }
#endif

bool UseHardware() {
    static const bool use = DetectHardware();
    return use;
}

}  // namespace

const uint32_t kCrcTable[256] = {
#define ROW(i)                                                                                                    \
    kSlices[0][i], kSlices[0][i + 1], kSlices[0][i + 2], kSlices[0][i + 3], kSlices[0][i + 4], kSlices[0][i + 5], \
        kSlices[0][i + 6], kSlices[0][i + 7]
    ROW(0),   ROW(8),   ROW(16),  ROW(24),  ROW(32),  ROW(40),  ROW(48),  ROW(56),  ROW(64),  ROW(72),  ROW(80),
    ROW(88),  ROW(96),  ROW(104), ROW(112), ROW(120), ROW(128), ROW(136), ROW(144), ROW(152), ROW(160), ROW(168),
    ROW(176), ROW(184), ROW(192), ROW(200), ROW(208), ROW(216), ROW(224), ROW(232), ROW(240), ROW(248),
#undef ROW
};

uint32_t CrcUpdate(uint32_t crc, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (length < 16) return Bytewise(crc, p, length);
    return UseHardware() ? Hardware(crc, p, length) : Sliced(crc, p, length);
}

uint32_t CrcUpdatePortable(uint32_t crc, const void* data, size_t length) {
    return Sliced(crc, static_cast<const uint8_t*>(data), length);
}

bool CrcHasHardwarePath() { return UseHardware(); }

}  // namespace vardex
