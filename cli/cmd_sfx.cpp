// vardex sfx: builds a self-extracting archive with CreateZipSfx2.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "status_text.h"
#include "support.h"
#include "vardex32.h"
#include "vardex32x.h"

namespace cli {

const char kSfxHelp[] =
    "usage: vardex sfx OUTPUT [--volumes 1-4] [--title TEXT] [--level 1-4]\n"
    "                  [--password PW] [--threads N] PATH...\n"
    "\n"
    "Builds the self-extracting archive OUTPUT from the files PATH... (directories\n"
    "are walked): the extractor program from the stub library KORVAL32.KVL\n"
    "(beside the engine library), followed by a ZIP archive of the files.  Run\n"
    "OUTPUT to extract (-d DIR, -l to list, -o to overwrite); any ZIP tool reads\n"
    "it too.  The configuration at the end of the program is sealed with a\n"
    "checksum of the whole file, so a damaged or altered file refuses to run.\n"
    "\n"
    "  --volumes 1-4     split the result into volumes of at most 362,496 /\n"
    "                    730,112 / 1,213,952 / 1,457,664 bytes: OUTPUT, then\n"
    "                    OUTPUT's name with .s01, .s02, ...; running OUTPUT joins\n"
    "                    them again\n"
    "  --title TEXT      the title the self-extractor shows\n"
    "  --level 1-4       compression level: 1 fastest (the default), 4 smallest\n"
    "  --password PW     encrypt the files with the traditional ZIP cipher\n"
    "  --threads N       compress on N threads (1-64; default: one per core)\n";

namespace {

struct SfxOptions {
    std::string output;
    int volumes = 0;
    std::string title;
    int level = 1;
    uint32_t threads = DefaultThreadCount();
    std::string password;
    std::vector<std::string> paths;
};

int Usage(const char* message) {
    fprintf(stderr, "vardex: sfx: %s\n\n%s", message, kSfxHelp);
    return 2;
}

int Parse(int argc, char** argv, SfxOptions* o) {
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--volumes" || arg == "--level") {
            const char* v = value();
            if (!v || strlen(v) != 1 || v[0] < '1' || v[0] > '4') return Usage((arg + " takes 1, 2, 3 or 4").c_str());
            (arg == "--volumes" ? o->volumes : o->level) = v[0] - '0';
        } else if (arg == "--threads") {
            if (!ParseThreadCount(value(), &o->threads)) return Usage("--threads takes a number from 1 to 64");
        } else if (arg == "--title") {
            const char* v = value();
            if (!v) return Usage("--title needs a text");
            o->title = v;
        } else if (arg == "--password") {
            const char* v = value();
            if (!v || !*v) return Usage("--password needs a password");
            o->password = v;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            return Usage(("unknown option " + arg).c_str());
        } else {
            rest.push_back(arg);
        }
    }
    if (rest.size() < 2) return Usage("an OUTPUT file and at least one PATH are needed");
    o->output = rest[0];
    o->paths.assign(rest.begin() + 1, rest.end());
    return 0;
}

int32_t VARDEX_CALL OnFileName(uint32_t, const char*, const char* to) {
    std::string name = Printable(to[0] == '\\' ? to + 1 : to);
    for (char& c : name)
        if (c == '\\') c = '/';
    printf("  adding: %s\n", name.c_str());
    fflush(stdout);
    return 1;
}

int32_t VARDEX_CALL OnNextVolume(uint32_t, int32_t volume, char* path) {
    std::string name = Printable(path);
    for (char& c : name)
        if (c == '\\') c = '/';
    printf("  volume %d: %s\n", volume, name.c_str());
    fflush(stdout);
    return 1;
}

int32_t VARDEX_CALL OnSkip(uint32_t, const char* path) {
    std::string name = Printable(path);
    for (char& c : name)
        if (c == '\\') c = '/';
    fprintf(stderr, "vardex: sfx: cannot read %s\n", name.c_str());
    return 2;
}

}  // namespace

int RunSfx(int argc, char** argv) {
    SfxOptions o;
    if (const int rc = Parse(argc, argv, &o); rc != 0) return rc;
    std::vector<std::string> files;
    for (const std::string& p : o.paths)
        if (!CollectFiles(p, &files, "sfx")) return 1;

    uint32_t desc[VX_ARCERDESC_WORDS];
    GetArcerDesc(desc);
    desc[9] = static_cast<uint32_t>(o.level);
    SetArcerStats(desc);
    SetCryptKey(o.password.c_str());
    VxSetThreadCount(o.threads);
    arOptionsOff(arStripPaths | arNoInputPath);
    SetInputPath("");
    SetRelativePath("");
    SetSetFileNameProc(0, OnFileName);
    SetSkipFileProc(0, OnSkip);
    SetGetNextDiskProc(0, OnNextVolume);

    MaskList masks;
    for (const std::string& f : files)
        if (!masks.Append(f)) return ReportStatus("sfx", VX_OUT_OF_MEMORY);

    SfxDesc request;
    memset(&request, 0, sizeof request);
    request.form = 3;
    request.volumeChoice = o.volumes;
    snprintf(request.text1, sizeof request.text1, "%s", o.title.c_str());
    CreateZipSfx2(EnginePath(o.output).c_str(), masks.get(), &request);
    const uint16_t status = GetArchiveStatus();
    if (status != 0) return ReportStatus("sfx", status);
    printf("self-extracting archive written: %s\n", Printable(o.output).c_str());
    return 0;
}

}  // namespace cli
