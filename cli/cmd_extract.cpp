// vardex extract: not built yet.
#include <cstdio>

#include "commands.h"

namespace cli {

const char kExtractHelp[] =
    "usage: vardex extract ARCHIVE [-d DIR] [--paths] [--password PW]\n"
    "                      [--overwrite | --skip-existing] [MASK...]\n"
    "\n"
    "Extracts the entries of ARCHIVE that the MASKs select (all without a MASK):\n"
    "Stored, Shrunk, Reduced, Imploded and Deflated entries, checked against\n"
    "their CRC-32, with their time and attributes.\n"
    "\n"
    "  -d DIR           write the files under DIR (default: the current directory)\n"
    "  --paths          keep the directories stored with the names and create them;\n"
    "                   without it every file lands directly in DIR\n"
    "  --password PW    password for encrypted entries\n"
    "  --overwrite      replace existing files without asking\n"
    "  --skip-existing  keep existing files and pass over their entries\n";

int RunExtract(int, char**) {
    fprintf(stderr, "vardex: extract: not available yet\n");
    return 2;
}

}  // namespace cli
