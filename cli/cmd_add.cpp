// vardex add and vardex delete: not built yet.
#include <cstdio>

#include "commands.h"

namespace cli {

const char kAddHelp[] =
    "usage: vardex add ARCHIVE [--level 1-4] [--password [PW]] [--junk-paths]\n"
    "                  [--relative BASE] [--overwrite] PATH...\n"
    "\n"
    "Adds the files PATH... to ARCHIVE, which is created when it does not exist\n"
    "(\".ZIP\" is appended to a name without an extension).  Each file is\n"
    "Deflated, or Stored when Deflate does not make it smaller.\n"
    "\n"
    "  --level 1-4       compression level: 1 fastest (the default), 4 smallest\n"
    "  --password [PW]   encrypt the new entries with the traditional ZIP cipher;\n"
    "                    without PW the password is asked for\n"
    "  --junk-paths      store file names only, without their directories\n"
    "  --relative BASE   store names relative to the directory BASE\n"
    "  --overwrite       replace entries of the same name without asking\n";

const char kDeleteHelp[] =
    "usage: vardex delete ARCHIVE MASK...\n"
    "\n"
    "Deletes the entries of ARCHIVE that the MASKs select.  An archive left\n"
    "without entries is removed.\n";

int RunAdd(int, char**) {
    fprintf(stderr, "vardex: add: not available yet\n");
    return 2;
}

int RunDelete(int, char**) {
    fprintf(stderr, "vardex: delete: not available yet\n");
    return 2;
}

}  // namespace cli
