// vardex list ARCHIVE [PATTERN...]
#include <getopt.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "patterns.h"
#include "status_text.h"
#include "support.h"
#include "vardex32.h"
#include "vardex32x.h"

namespace cli {

const char kListHelp[] =
    "usage: vardex list [-C] ARCHIVE [PATTERN...]\n"
    "\n"
    "Lists the entries of ARCHIVE, one line each: uncompressed size, compressed\n"
    "size, method (Stored, Shrunk, Reduced1-4, Imploded, Deflated, or the method\n"
    "number), date and time, CRC-32 and name.  A '*' after the CRC-32 marks an\n"
    "encrypted entry.  A totals line and the archive comment follow.\n"
    "\n"
    "PATTERNs select entries as unzip's do: '*' matches any run of characters,\n"
    "'/' included, '?' one character, [abc] or [a-z] one of a set; case counts\n"
    "unless -C (--ignore-case).  Without a PATTERN every entry is listed; a\n"
    "PATTERN that selects nothing is an error.\n";

namespace {

std::string MethodName(uint16_t method) {
    switch (method) {
        case 0: return "Stored";
        case 1: return "Shrunk";
        case 2:
        case 3:
        case 4:
        case 5: return "Reduced" + std::to_string(method - 1);
        case 6: return "Imploded";
        case 8: return "Deflated";
        default: return std::to_string(method);
    }
}

void PrintEntry(const ZipFileEntry& e) {
    const unsigned year = 1980 + (e.date >> 9), month = (e.date >> 5) & 15, day = e.date & 31;
    const unsigned hour = e.time >> 11, minute = (e.time >> 5) & 63, second = (e.time & 31) * 2;
    printf("%10" PRIu32 "  %10" PRIu32 "  %-9s  %04u-%02u-%02u %02u:%02u:%02u  %08" PRIx32 "%c  %s\n",
           e.uncompressedSize, e.compressedSize, MethodName(e.method).c_str(), year, month, day, hour, minute, second,
           e.crc32, (e.flags & 1) ? '*' : ' ', Printable(e.name).c_str());
}

}  // namespace

int ListArchive(const std::string& archive, const std::vector<std::string>& patterns, bool ignoreCase) {
    InitZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) {
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return ReportArchiveFailure("list", archive, status);
    }
    int exitStatus = 0;
    {
        EntryList entries;
        BuildZipFileList(entries.get(), nullptr);
        const uint16_t status = GetArchiveStatus();
        // An archive without entries is listed as such.
        if (status != 0 && status != VX_NOTHING_SELECTED) {
            exitStatus = ReportArchiveFailure("list", archive, status);
        } else {
            std::vector<const ZipFileEntry*> shown;
            std::vector<bool> used(patterns.size(), false);
            for (const ZipFileEntry* e = entries.get()->first; e; e = e->next) {
                bool take = patterns.empty();
                for (size_t k = 0; k < patterns.size(); ++k)
                    if (PatternMatches(patterns[k], e->name, ignoreCase)) take = used[k] = true;
                if (take) shown.push_back(e);
            }
            for (size_t k = 0; k < patterns.size(); ++k) {
                if (used[k]) continue;
                fprintf(stderr, "vardex: list: %s: %s (status %u)\n", Printable(patterns[k]).c_str(),
                        VxStatusText(VX_NOTHING_SELECTED), VX_NOTHING_SELECTED);
                exitStatus = 1;
            }
            // Columns as PrintEntry writes them; the name starts at column 67.
            printf("%10s  %10s  %-9s  %-10s %-8s  %-9s  %s\n", "Length", "Size", "Method", "Date", "Time", "CRC-32",
                   "Name");
            printf("%10s  %10s  %-9s  %-10s %-8s  %-9s  %s\n", "----------", "----------", "---------", "----------",
                   "--------", "---------", "----");
            uint64_t length = 0, size = 0;
            for (const ZipFileEntry* e : shown) {
                PrintEntry(*e);
                length += e->uncompressedSize;
                size += e->compressedSize;
            }
            const size_t count = shown.size();
            printf("%10s  %10s  %41s  %s\n", "----------", "----------", "", "----");
            printf("%10" PRIu64 "  %10" PRIu64 "  %41s  %zu %s\n", length, size, "", count,
                   count == 1 ? "entry" : "entries");
            const std::string comment = ReadArchiveComment(archive);
            if (!comment.empty()) printf("\nArchive comment:\n%s\n", Printable(comment, true).c_str());
        }
    }
    DoneZipFile();
    return exitStatus;
}

int RunList(int argc, char** argv) {
    static const option kLong[] = {{"ignore-case", no_argument, nullptr, 'C'}, {nullptr, 0, nullptr, 0}};
    bool ignoreCase = false;
    optind = 0;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "C", kLong, nullptr)) != -1;) {
        if (c != 'C') {
            fprintf(stderr, "vardex: list: unknown option %s\n\n%s", argv[optind - 1], kListHelp);
            return 2;
        }
        ignoreCase = true;
    }
    if (optind >= argc) {
        fprintf(stderr, "%s", kListHelp);
        return 2;
    }
    return ListArchive(argv[optind], std::vector<std::string>(argv + optind + 1, argv + argc), ignoreCase);
}

}  // namespace cli
