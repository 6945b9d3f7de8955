// The traditional ZIP password cipher: three 32-bit keys driven by the
// CRC-32 table, a 12-byte encryption header in front of each entry's data.
// Each user holds its own state: an update the engine's (engine().cipher),
// an extraction pass the one in its streams.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vardex {

struct CipherState {
    uint32_t key0 = 0;
    uint32_t key1 = 0;
    uint32_t key2 = 0;
};

// The cipher itself works on an explicit state so that it can be tested and
// fuzzed alone.
void InitKeys(CipherState& s, const char* password);
void UpdateKeys(CipherState& s, uint8_t c);
uint8_t CipherByte(const CipherState& s);
void DecryptBuffer(CipherState& s, uint8_t* buffer, size_t count);
void EncryptBuffer(CipherState& s, uint8_t* buffer, size_t count);

// Reading side.  True when the 12 header bytes (as stored) check against the
// password: the last decrypted byte must equal the high byte of checkCrc, or,
// for an entry written with a data descriptor (flag bit 3), the high byte of
// its DOS time (timeCheck >= 0).  Leaves `s` ready to decrypt the data.
bool CheckHeader(CipherState& s, const char* password, const uint8_t header[12], uint32_t checkCrc,
                 int32_t timeCheck = -1);

// Writing side: fills header[12] for an entry whose CRC-32 is checkCrc and
// leaves `s` ready to encrypt its data.  `seed` feeds the pseudo-random bytes
// (the engine passes the time xor 0xBB40E64E).
void MakeHeader(CipherState& s, const char* password, uint32_t checkCrc, uint32_t seed, uint8_t header[12]);

// The C runtime's pseudo-random generator (15-bit results), kept here so that
// headers and temporary names are the same on every platform.
void CrtSrand(uint32_t seed);
int CrtRand();

}  // namespace vardex
