#include "support/zip_writer.h"

#include "support/test_support.h"

namespace vxtest {

std::vector<uint8_t> WriteRawZip(const std::vector<RawEntry>& entries) {
    std::vector<uint8_t> file, central;
    for (const RawEntry& e : entries) {
        const uint32_t offset = static_cast<uint32_t>(file.size());
        // The fields both headers share, in the same order.
        auto shared = [&](std::vector<uint8_t>& b) {
            Put16(b, e.versionNeeded);
            Put16(b, e.flags);
            Put16(b, e.method);
            Put16(b, e.time);
            Put16(b, e.date);
            Put32(b, e.crc);
            Put32(b, e.compressedSize);
            Put32(b, e.uncompressedSize);
            Put16(b, static_cast<uint32_t>(e.name.size()));
            Put16(b, 0);  // extra field length
        };
        Put32(file, 0x04034B50);
        shared(file);
        file.insert(file.end(), e.name.begin(), e.name.end());
        file.insert(file.end(), e.data.begin(), e.data.end());

        Put32(central, 0x02014B50);
        Put16(central, 20);  // made by
        shared(central);
        Put16(central, 0);  // comment
        Put16(central, 0);  // disk
        Put16(central, 0);  // internal attributes
        Put32(central, e.externalAttributes);
        Put32(central, offset);
        central.insert(central.end(), e.name.begin(), e.name.end());
    }
    const uint32_t centralOffset = static_cast<uint32_t>(file.size());
    file.insert(file.end(), central.begin(), central.end());
    Put32(file, 0x06054B50);
    Put16(file, 0);  // this disk
    Put16(file, 0);  // the central directory's disk
    Put16(file, static_cast<uint32_t>(entries.size()));
    Put16(file, static_cast<uint32_t>(entries.size()));
    Put32(file, static_cast<uint32_t>(central.size()));
    Put32(file, centralOffset);
    Put16(file, 0);  // comment length
    return file;
}

}  // namespace vxtest
