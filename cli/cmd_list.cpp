// vardex list ARCHIVE [MASK...]
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "status_text.h"
#include "support.h"
#include "vardex32.h"

namespace cli {

const char kListHelp[] =
    "usage: vardex list ARCHIVE [MASK...]\n"
    "\n"
    "Lists the entries of ARCHIVE, one line each: uncompressed size, compressed\n"
    "size, method (Stored, Shrunk, Reduced1-4, Imploded, Deflated, or the method\n"
    "number), date and time, CRC-32 and name.  A '*' after the CRC-32 marks an\n"
    "encrypted entry.  A totals line and the archive comment follow.\n"
    "\n"
    "MASKs select entries by name, for example *.txt or docs/*.*; '*' stands for\n"
    "a whole name or extension, '?' for one character, case is ignored.  Without\n"
    "a MASK every entry is listed.\n";

namespace {

std::string MethodName(uint16_t method) {
    switch (method) {
        case 0: return "Stored";
        case 1: return "Shrunk";
        case 2: case 3: case 4: case 5: return "Reduced" + std::to_string(method - 1);
        case 6: return "Imploded";
        case 8: return "Deflated";
        default: return std::to_string(method);
    }
}

void PrintEntry(const ZipFileEntry& e) {
    const unsigned year = 1980 + (e.date >> 9), month = (e.date >> 5) & 15, day = e.date & 31;
    const unsigned hour = e.time >> 11, minute = (e.time >> 5) & 63, second = (e.time & 31) * 2;
    printf("%10" PRIu32 "  %10" PRIu32 "  %-9s  %04u-%02u-%02u %02u:%02u:%02u  %08" PRIx32 "%c  %s\n",
           e.uncompressedSize, e.compressedSize, MethodName(e.method).c_str(), year, month, day, hour, minute,
           second, e.crc32, (e.flags & 1) ? '*' : ' ', Printable(e.name).c_str());
}

}  // namespace

int ListArchive(const std::string& archive, const std::vector<std::string>& masks) {
    InitZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) return ReportStatus(archive.c_str(), GetArchiveStatus());

    int exitStatus = 0;
    {
        MaskList maskList;
        EntryList entries;
        bool ok = true;
        for (const std::string& mask : masks)
            if (!maskList.Append(mask)) ok = false;
        if (ok) BuildZipFileList(entries.get(), maskList.get());
        const uint16_t status = ok ? GetArchiveStatus() : VX_OUT_OF_MEMORY;
        // An archive without entries is listed as such; masks that select
        // nothing are an error.
        if (status != 0 && !(status == VX_NOTHING_SELECTED && masks.empty())) {
            exitStatus = ReportStatus(archive.c_str(), status);
        } else {
            // Columns as PrintEntry writes them; the name starts at column 67.
            printf("%10s  %10s  %-9s  %-10s %-8s  %-9s  %s\n", "Length", "Size", "Method", "Date", "Time", "CRC-32",
                   "Name");
            printf("%10s  %10s  %-9s  %-10s %-8s  %-9s  %s\n", "----------", "----------", "---------", "----------",
                   "--------", "---------", "----");
            uint64_t length = 0, size = 0;
            for (const ZipFileEntry* e = entries.get()->first; e; e = e->next) {
                PrintEntry(*e);
                length += e->uncompressedSize;
                size += e->compressedSize;
            }
            const unsigned count = entries.get()->count;
            printf("%10s  %10s  %41s  %s\n", "----------", "----------", "", "----");
            printf("%10" PRIu64 "  %10" PRIu64 "  %41s  %u %s\n", length, size, "", count,
                   count == 1 ? "entry" : "entries");
            const std::string comment = ReadArchiveComment(archive);
            if (!comment.empty()) printf("\nArchive comment:\n%s\n", Printable(comment, true).c_str());
        }
    }
    DoneZipFile();
    return exitStatus;
}

int RunList(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "%s", kListHelp);
        return 2;
    }
    return ListArchive(argv[1], std::vector<std::string>(argv + 2, argv + argc));
}

}  // namespace cli
