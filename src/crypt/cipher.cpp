#include "common/crc32.h"
#include "crypt/crypt.h"

namespace vardex {

namespace {
uint32_t g_randState = 1;
}  // namespace

void CrtSrand(uint32_t seed) { g_randState = seed; }

int CrtRand() {
    g_randState = g_randState * 214013u + 2531011u;
    return static_cast<int>((g_randState >> 16) & 0x7FFF);
}

void InitKeys(CipherState& s, const char* password) {
    s.key0 = 0x12345678u;
    s.key1 = 0x23456789u;
    s.key2 = 0x34567890u;
    if (!password) return;
    for (const char* p = password; *p; ++p) UpdateKeys(s, static_cast<uint8_t>(*p));
}

void UpdateKeys(CipherState& s, uint8_t c) {
    s.key0 = CrcStep(s.key0, c);
    s.key1 = (s.key1 + (s.key0 & 0xFF)) * 134775813u + 1;
    s.key2 = CrcStep(s.key2, static_cast<uint8_t>(s.key1 >> 24));
}

uint8_t CipherByte(const CipherState& s) {
    uint32_t t = (s.key2 | 2) & 0xFFFF;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

void DecryptBuffer(CipherState& s, uint8_t* buffer, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t p = buffer[i] ^ CipherByte(s);
        buffer[i] = p;
        UpdateKeys(s, p);
    }
}

void EncryptBuffer(CipherState& s, uint8_t* buffer, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t t = CipherByte(s);
        UpdateKeys(s, buffer[i]);
        buffer[i] ^= t;
    }
}

bool CheckHeader(CipherState& s, const char* password, const uint8_t header[12], uint32_t checkCrc, int32_t timeCheck) {
    uint8_t copy[12];
    for (int i = 0; i < 12; ++i) copy[i] = header[i];
    InitKeys(s, password);
    DecryptBuffer(s, copy, 12);
    if (copy[11] == static_cast<uint8_t>(checkCrc >> 24)) return true;
    // Streaming writers (data descriptor, bit 3) cannot know the CRC when they
    // write the header and put the high byte of the DOS time there instead.
    return timeCheck >= 0 && copy[11] == static_cast<uint8_t>(timeCheck);
}

void MakeHeader(CipherState& s, const char* password, uint32_t checkCrc, uint32_t seed, uint8_t header[12]) {
    CrtSrand(seed);
    InitKeys(s, password);
    for (int i = 0; i < 10; ++i) {
        uint8_t r = static_cast<uint8_t>((CrtRand() >> 7) & 0xFF);
        uint8_t t = CipherByte(s);
        UpdateKeys(s, r);
        header[i] = r ^ t;
    }
    InitKeys(s, password);
    EncryptBuffer(s, header, 10);
    header[10] = static_cast<uint8_t>(checkCrc >> 16);
    header[11] = static_cast<uint8_t>(checkCrc >> 24);
    EncryptBuffer(s, header + 10, 2);
}

}  // namespace vardex
