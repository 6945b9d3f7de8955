// Archives written byte by byte, for tests that need headers no tool would
// write: any method, flags, sizes, CRC or attributes, exactly as given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxtest {

// One entry: its local and central headers carry these fields as they are.
struct RawEntry {
    std::string name;           // the stored name bytes
    std::vector<uint8_t> data;  // the bytes stored behind the local header
    uint16_t versionNeeded = 20;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t time = 0x6000;  // 12:00:00
    uint16_t date = 0x5A21;  // 2025-01-01
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t externalAttributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE
};

// Local headers with their data, the central directory (made by version
// 2.0, no extra fields or comments) and the end record.
std::vector<uint8_t> WriteRawZip(const std::vector<RawEntry>& entries);

}  // namespace vxtest
