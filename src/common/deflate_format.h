// The constants of the Deflate format (RFC 1951) that the compressor and
// the decoder both need: length and distance codes with their bases and
// extra bits, the order of the code-length code lengths, and the bit
// reversal that turns a canonical code into the order the bits are sent in.
#pragma once

#include <cstdint>

namespace vardex {

// Length codes 257..285.
constexpr int kDeflateLengthCodes = 29;
constexpr uint16_t kDeflateLengthBase[kDeflateLengthCodes] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,
                                                              15, 17, 19, 23, 27, 31, 35, 43,  51,  59,
                                                              67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kDeflateLengthExtra[kDeflateLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Distance codes 0..29.
constexpr int kDeflateDistanceCodes = 30;
constexpr uint16_t kDeflateDistanceBase[kDeflateDistanceCodes] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDeflateDistanceExtra[kDeflateDistanceCodes] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                                  6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The order in which a dynamic block sends the lengths of the code-length code.
constexpr int kDeflateCodeLengthCodes = 19;
constexpr uint8_t kDeflateCodeLengthOrder[kDeflateCodeLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// The low `length` bits (at most 16) of `code` in reverse order: Huffman
// codes are defined first bit first but packed from the least significant bit.
constexpr uint16_t ReverseBits(uint32_t code, unsigned length) {
    uint32_t x = code & 0xFFFF;
    x = ((x & 0x5555) << 1) | ((x >> 1) & 0x5555);
    x = ((x & 0x3333) << 2) | ((x >> 2) & 0x3333);
    x = ((x & 0x0F0F) << 4) | ((x >> 4) & 0x0F0F);
    x = ((x & 0x00FF) << 8) | ((x >> 8) & 0x00FF);
    return static_cast<uint16_t>(x >> (16 - length));
}
static_assert(ReverseBits(0b0000000000000001, 1) == 1 && ReverseBits(0b110, 3) == 0b011 &&
              ReverseBits(0x1234, 16) == 0x2C48 && ReverseBits(0b1011, 0) == 0);

}  // namespace vardex
