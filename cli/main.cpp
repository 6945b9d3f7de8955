// vardex: the command-line host of the Vardex engine.
#include <cstdio>
#include <cstring>

#include "vardex32.h"

int main(int argc, char** argv) {
    if (argc < 2 || !strcmp(argv[1], "--help")) {
        printf("usage: vardex COMMAND [ARGS]\n");
        return argc < 2 ? 2 : 0;
    }
    fprintf(stderr, "vardex: unknown command '%s'\n", argv[1]);
    return 2;
}
