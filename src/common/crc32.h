// The ZIP CRC-32: reflected polynomial 0xEDB88320.  Callers keep the running
// register (preset 0xFFFFFFFF) and complement it themselves when they store or
// compare it; the byte table also drives the key updates of the traditional
// cipher.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vardex {

extern const uint32_t kCrcTable[256];

inline uint32_t CrcStep(uint32_t crc, uint8_t byte) { return kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

// Runs the register over a block and returns the new register.  Uses the
// CPU's carry-less multiply or CRC instructions when it has them, the
// portable eight-bytes-at-a-time tables otherwise.
uint32_t CrcUpdate(uint32_t crc, const void* data, size_t length);

// The portable path on its own, and whether CrcUpdate has a faster one on
// this CPU (tests compare the two).
uint32_t CrcUpdatePortable(uint32_t crc, const void* data, size_t length);
bool CrcHasHardwarePath();

}  // namespace vardex
