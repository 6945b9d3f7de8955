// vardex delete: removes the entries that patterns select; an archive left
// without entries is removed with them.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "patterns.h"
#include "status_text.h"
#include "support.h"
#include "terminal.h"
#include "vardex32.h"

namespace cli {

const char kDeleteHelp[] =
    "usage: vardex delete [OPTIONS] ARCHIVE PATTERN...\n"
    "\n"
    "Deletes the entries of ARCHIVE that the PATTERNs select (as in extract:\n"
    "'*' any run of characters, '/' included, '?' one character, [...] a set).\n"
    "A pattern that selects nothing is an error.  An archive left without\n"
    "entries is removed.\n"
    "\n"
    "  -C, --ignore-case    patterns match regardless of case\n"
    "  -q, --quiet          print nothing but errors\n";

namespace {

bool g_deleteQuiet = false;

int32_t VARDEX_CALL OnDeleted(uint32_t, const char* name, const char*) {
    if (g_deleteQuiet) return 1;
    std::string text = Printable(name[0] == '\\' ? name + 1 : name);
    for (char& c : text)
        if (c == '\\') c = '/';
    printf("  deleting: %s\n", text.c_str());
    return 1;
}

int DeleteUsage(const char* message) {
    fprintf(stderr, "vardex: delete: %s\n\n%s", message, kDeleteHelp);
    return 2;
}

}  // namespace

// The command line selects the entries and names them exactly; an entry
// whose name the library's masks would take for others as well (they ignore
// case and know '?' and '*') is refused rather than deleted with them.
int RunDelete(int argc, char** argv) {
    static const option kLong[] = {
        {"ignore-case", no_argument, nullptr, 'C'},
        {"quiet", no_argument, nullptr, 'q'},
        {nullptr, 0, nullptr, 0},
    };
    bool ignoreCase = false;
    optind = 0;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":Cq", kLong, nullptr)) != -1;) {
        if (c == 'C')
            ignoreCase = true;
        else if (c == 'q')
            g_deleteQuiet = true;
        else
            return DeleteUsage(("unknown option " + std::string(argv[optind - 1])).c_str());
    }
    if (argc - optind < 2) return DeleteUsage("an archive and at least one PATTERN are needed");
    const std::string archive = argv[optind];
    const std::vector<std::string> patterns(argv + optind + 1, argv + argc);

    InitZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) {
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return ReportArchiveFailure("delete", archive, status);
    }
    std::vector<EntryInfo> entries;
    if (const uint16_t status = ReadEntries(&entries); status != 0) {
        DoneZipFile();
        return ReportArchiveFailure("delete", archive, status);
    }
    std::vector<std::string> unmatched;
    const std::vector<size_t> selected = SelectEntries(entries, patterns, ignoreCase, &unmatched);
    int exitStatus = 0;
    for (const std::string& pattern : unmatched) {
        fprintf(stderr, "vardex: delete: %s: no entry matches (status %u)\n", Printable(pattern).c_str(),
                VX_NOTHING_SELECTED);
        exitStatus = 1;
    }
    // Suspect names are checked one by one against the library's own
    // selection; an entry that cannot be named alone is kept.
    const std::vector<bool> ambiguous = AmbiguousNames(entries);
    // The library deletes by pattern: a name that would also select another
    // entry is refused rather than take that one with it.
    auto refuse = [&exitStatus](const std::string& name) {
        fprintf(stderr,
                "vardex: delete: %s: not deleted (another entry's name differs from it only in case or by "
                "wildcard characters)\n",
                Printable(name).c_str());
        exitStatus = 1;
    };
    std::vector<std::string> names;
    for (size_t i : selected) {
        const std::string& name = entries[i].name;
        uint16_t ignored = 0;
        if (!ambiguous[i] || LibrarySelection({name}, &ignored).size() == 1) {
            names.push_back(name);
            continue;
        }
        refuse(name);
    }
    uint16_t status = 0;
    if (!names.empty() && LibrarySelection(names, &status).size() != names.size()) {
        // The check above missed a case: keep only the names that stand alone.
        std::vector<std::string> exact;
        for (const std::string& name : names) {
            if (LibrarySelection({name}, &status).size() == 1) {
                exact.push_back(name);
                continue;
            }
            refuse(name);
        }
        names = exact;
    }
    if (names.empty()) {
        DoneZipFile();
        return exitStatus != 0 ? exitStatus : 1;
    }
    SetSetFileNameProc(0, OnDeleted);
    MaskList masks;
    for (const std::string& name : names) {
        if (!masks.Append(name)) {
            DoneZipFile();
            return ReportStatus("delete", VX_OUT_OF_MEMORY);
        }
    }
    DeleteFileMaskListZip(masks.get());
    status = GetArchiveStatus();
    DoneZipFile();
    if (status != 0) return ReportStatus("delete", status);
    if (!PathExists(archive) && !g_deleteQuiet) printf("no entries left: %s removed\n", Printable(archive).c_str());
    return exitStatus;
}

}  // namespace cli
