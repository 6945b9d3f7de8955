// vardex sfx: not built yet.
#include <cstdio>

#include "commands.h"

namespace cli {

const char kSfxHelp[] =
    "usage: vardex sfx OUTPUT [--volumes 1-4] [--title TEXT] [--level 1-4]\n"
    "                  [--password PW] PATH...\n"
    "\n"
    "Builds the self-extracting archive OUTPUT from the files PATH...: the\n"
    "extractor program from the stub library KORVAL32.KVL (beside the engine\n"
    "library), followed by a ZIP archive of the files.\n"
    "\n"
    "  --volumes 1-4     split the result into diskette volumes of 362,496 /\n"
    "                    730,112 / 1,213,952 / 1,457,664 bytes\n"
    "  --title TEXT      the title the self-extractor shows\n"
    "  --level 1-4       compression level: 1 fastest (the default), 4 smallest\n"
    "  --password PW     encrypt the files with the traditional ZIP cipher\n";

int RunSfx(int, char**) {
    fprintf(stderr, "vardex: sfx: not available yet\n");
    return 2;
}

}  // namespace cli
