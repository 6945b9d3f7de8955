// vardex: the command-line host of the Vardex engine.  It uses the engine
// only through the public header, as any host program would.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "support.h"
#include "terminal.h"
#include "vardex32.h"
#include "vardex32x.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
    const char* help;
};

constexpr Command kCommands[] = {
    {"list", cli::RunList, "list the entries of an archive", cli::kListHelp},
    {"extract", cli::RunExtract, "extract entries to disk", cli::kExtractHelp},
    {"test", cli::RunTest, "check entries without writing anything", cli::kTestHelp},
    {"add", cli::RunAdd, "add or replace files in an archive", cli::kAddHelp},
    {"delete", cli::RunDelete, "delete entries from an archive", cli::kDeleteHelp},
    {"sfx", cli::RunSfx, "build a self-extracting archive", cli::kSfxHelp},
    {"demo", cli::RunDemo, "write a built-in example archive and show what vardex does with it", cli::kDemoHelp},
};

const Command* FindCommand(const char* name) {
    for (const Command& c : kCommands)
        if (!strcmp(c.name, name)) return &c;
    return nullptr;
}

void PrintUsage(FILE* out) {
    uint32_t version = 0;
    GetVersionDesc(&version);
    fprintf(out,
            "usage: vardex COMMAND [ARGS]\n"
            "       vardex COMMAND --help\n"
            "       vardex --version\n"
            "\n"
            "Vardex reads and writes ZIP archives (engine interface version %u).\n"
            "\n"
            "Commands:\n",
            version);
    for (const Command& c : kCommands) fprintf(out, "  %-8s %s\n", c.name, c.summary);
    fprintf(out,
            "\n"
            "Paths use '/' as usual; names inside archives are shown as stored.\n"
            "On failure a command names the cause and the engine's status on stderr and\n"
            "exits with 1 (2 for a usage error, 130 or 143 when interrupted).\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    if (cli::IsHelpOption(argv[1]) || !strcmp(argv[1], "help")) {
        if (argc > 2 && FindCommand(argv[2])) {
            fputs(FindCommand(argv[2])->help, stdout);
            return 0;
        }
        PrintUsage(stdout);
        return 0;
    }
    if (!strcmp(argv[1], "--version") || !strcmp(argv[1], "-V")) {
        printf("vardex %s\n", VxVersion());
        return 0;
    }
    const Command* command = FindCommand(argv[1]);
    if (!command) {
        fprintf(stderr, "vardex: unknown command '%s' (try vardex --help)\n", argv[1]);
        return 2;
    }
    for (int i = 2; i < argc && strcmp(argv[i], "--"); ++i) {
        if (cli::IsHelpOption(argv[i])) {
            fputs(command->help, stdout);
            return 0;
        }
    }
    // For the commands whose operations report progress, Ctrl-C and SIGTERM
    // cancel the running operation through those reports, so that it rolls
    // back and removes what it had begun.  The others end at once as usual.
    if (command->run == cli::RunExtract || command->run == cli::RunTest || command->run == cli::RunAdd)
        cli::CatchInterruptions();
    return command->run(argc - 1, argv + 1);
}
