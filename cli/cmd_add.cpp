// vardex add: creates the archive when it does not exist and otherwise updates it.
// The library takes files, not directories, so directories named on the
// command line are walked here and every regular file under them is named.
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
#include "vardex32x.h"

namespace cli {

const char kAddHelp[] =
    "usage: vardex add [OPTIONS] ARCHIVE PATH...\n"
    "\n"
    "Adds the files PATH... to ARCHIVE, which is created when it does not exist\n"
    "(\".ZIP\" is appended to a name without an extension).  Directories are\n"
    "walked: every file under them is added, and every empty directory gets an\n"
    "entry of its own.  Links to files are followed; links to directories and\n"
    "dangling links are named on stderr and left out (the command then exits 1).\n"
    "Each file is Deflated, or Stored when Deflate does not make it smaller, with\n"
    "its permissions.  An entry of the same name is replaced after asking\n"
    "(unless --overwrite).\n"
    "\n"
    "  -l, --level=1-4      compression level: 1 fastest (the default), 4 smallest\n"
    "  -P, --password[=PW]  encrypt the new entries with the traditional ZIP cipher;\n"
    "                       \"--password PW\" also works unless PW is the last\n"
    "                       argument or starts with '-'; without PW the password\n"
    "                       is asked for twice on the terminal\n"
    "  -j, --junk-paths     store file names only, without their directories\n"
    "      --relative=BASE  store names relative to the directory BASE (PATHs are\n"
    "                       taken inside BASE)\n"
    "  -o, --overwrite      replace entries of the same name without asking\n"
    "      --threads=N      compress on N threads (1-64; default: one per core);\n"
    "                       the archive is the same whatever N\n"
    "  -q, --quiet          print nothing but errors\n";

namespace {

struct AddOptions {
    std::string archive;
    int level = 1;
    bool password = false;
    std::string passwordText;
    bool junkPaths = false;
    std::string relative;
    bool overwrite = false;
    bool quiet = false;
    uint32_t threads = DefaultThreadCount();
    std::vector<std::string> paths;
};

// State the callbacks share with the command (one command per process).
struct Session {
    bool terminal = false;
    bool overwrite = false;
    bool replaceAll = false;
    bool keepAll = false;
    std::string current;  // the entry being written, for the progress line
    int lastPercent = -1;
    bool quiet = false;
    int skipped = 0;
    int kept = 0;  // entries kept because nobody could be asked
};
Session g_session;

int Usage(const char* message) {
    fprintf(stderr, "vardex: add: %s\n\n%s", message, kAddHelp);
    return 2;
}

bool AskPassword(std::string* password) {
    std::string again;
    if (!AskTerminal("Password: ", true, password) || !AskTerminal("Password again: ", true, &again)) {
        fprintf(stderr, "vardex: add: cannot read the password from the terminal\n");
        return false;
    }
    if (*password != again) {
        fprintf(stderr, "vardex: add: the passwords differ\n");
        return false;
    }
    if (password->empty()) {
        fprintf(stderr, "vardex: add: empty password\n");
        return false;
    }
    return true;
}

int ParseAdd(int argc, char** argv, AddOptions* o) {
    enum { kRelative = 256, kThreads };
    static const option kLong[] = {
        {"level", required_argument, nullptr, 'l'},        {"password", optional_argument, nullptr, 'P'},
        {"junk-paths", no_argument, nullptr, 'j'},         {"relative", required_argument, nullptr, kRelative},
        {"overwrite", no_argument, nullptr, 'o'},          {"quiet", no_argument, nullptr, 'q'},
        {"threads", required_argument, nullptr, kThreads}, {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":l:P::joq", kLong, nullptr)) != -1;) {
        switch (c) {
            case 'l':
                if (strlen(optarg) != 1 || optarg[0] < '1' || optarg[0] > '4')
                    return Usage("--level takes 1, 2, 3 or 4");
                o->level = optarg[0] - '0';
                break;
            case 'P':
                o->password = true;
                if (optarg) {
                    o->passwordText = optarg;
                    if (o->passwordText.empty()) return Usage("--password= needs a password");
                } else if (optind + 1 < argc && argv[optind][0] != '-') {
                    // "--password PW": the next argument, unless it is the last.
                    o->passwordText = argv[optind++];
                }
                break;
            case 'j': o->junkPaths = true; break;
            case kRelative: o->relative = optarg; break;
            case kThreads:
                if (!ParseThreadCount(optarg, &o->threads)) return Usage("--threads takes a number from 1 to 64");
                break;
            case 'o': o->overwrite = true; break;
            case 'q': o->quiet = true; break;
            case ':': return Usage((std::string(argv[optind - 1]) + " needs a value").c_str());
            default: return Usage(("unknown option " + std::string(argv[optind - 1])).c_str());
        }
    }
    if (argc - optind < 2) return Usage("an archive and at least one PATH are needed");
    o->archive = argv[optind];
    o->paths.assign(argv + optind + 1, argv + argc);
    return 0;
}

// A PATH as the library is to see it: inside BASE with --relative.
std::string NamedPath(const std::string& path, const std::string& base) {
    if (base.empty()) return path;
    std::string prefix = base;
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    if (prefix != "/") prefix += '/';
    if (path.rfind(prefix, 0) == 0) return path.substr(prefix.size());
    return path;
}

void ClearProgressLine() {
    if (g_session.terminal) fputs("\r\033[K", stderr);
}

int32_t VARDEX_CALL OnFileName(uint32_t, const char*, const char* to) {
    g_session.current = Printable(to[0] == '\\' ? to + 1 : to);
    for (char& c : g_session.current)
        if (c == '\\') c = '/';
    g_session.lastPercent = -1;
    if (g_session.quiet) return 1;
    ClearProgressLine();
    printf("  adding: %s\n", g_session.current.c_str());
    fflush(stdout);
    return 1;
}

// Drawn again only when the percentage changes.
int32_t VARDEX_CALL OnProgress(uint32_t, int32_t percent) {
    if (Interrupted()) return 0;
    if (!g_session.terminal || g_session.quiet) return 1;
    percent = std::clamp(percent, 0, 100);
    if (percent == g_session.lastPercent) return 1;
    g_session.lastPercent = percent;
    const int width = 30;
    const int filled = percent * width / 100;
    fprintf(stderr, "\r  [%.*s%*s] %3d%% %s\033[K", filled, "##############################", width - filled, "",
            percent, g_session.current.c_str());
    fflush(stderr);
    return 1;
}

int32_t VARDEX_CALL OnSkip(uint32_t, const char* path) {
    ClearProgressLine();
    std::string name = Printable(path);
    for (char& c : name)
        if (c == '\\') c = '/';
    fprintf(stderr, "vardex: add: cannot read %s, left out\n", name.c_str());
    ++g_session.skipped;
    return 1;
}

int32_t VARDEX_CALL OnReplace(uint32_t, WIN32_FIND_DATAA* existing, WIN32_FIND_DATAA*) {
    if (Interrupted()) return 2;
    if (g_session.overwrite || g_session.replaceAll) return 0;
    if (g_session.keepAll) return 1;
    std::string name = Printable(existing->cFileName);
    for (char& c : name)
        if (c == '\\') c = '/';
    ClearProgressLine();
    for (;;) {
        printf("replace %s? [y]es, [n]o, [A]ll, [N]one, [q]uit: ", name.c_str());
        fflush(stdout);
        char line[64];
        if (!fgets(line, sizeof line, stdin)) {
            if (Interrupted()) return 2;
            // No one to ask: the entry stays as it is, and the command says so.
            printf("\n");
            fprintf(stderr, "vardex: add: %s kept (no one to ask: use --overwrite)\n", name.c_str());
            ++g_session.kept;
            return 1;
        }
        switch (line[0]) {
            case 'y': return 0;
            case 'n': return 1;
            case 'A': g_session.replaceAll = true; return 0;
            case 'N': g_session.keepAll = true; return 1;
            case 'q': return 2;
            default: break;
        }
    }
}

}  // namespace

int RunAdd(int argc, char** argv) {
    AddOptions o;
    if (const int rc = ParseAdd(argc, argv, &o); rc != 0) return rc;
    if (o.password && o.passwordText.empty() && !AskPassword(&o.passwordText))
        return Interrupted() ? InterruptedExitStatus() : 1;

    std::vector<std::string> files;
    int leftOut = 0;
    for (const std::string& p : o.paths) {
        const std::string inside = o.relative.empty() ? p : o.relative + "/" + NamedPath(p, o.relative);
        std::vector<std::string> found;
        if (!CollectFiles(inside, &found, "add", &leftOut)) return 1;
        for (const std::string& f : found) files.push_back(NamedPath(f, o.relative));
    }

    // The name CreateZipFile would give the archive decides whether it exists.
    std::string archive = o.archive;
    const size_t slash = archive.rfind('/');
    if (archive.find('.', slash == std::string::npos ? 0 : slash + 1) == std::string::npos) archive += ".ZIP";
    const bool existing = PathExists(archive);
    if (existing)
        InitZipFile(EnginePath(archive).c_str());
    else
        CreateZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) {
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return ReportArchiveFailure("add", archive, status);
    }

    // InitZipFile reset the settings; they are made now.
    uint32_t desc[VX_ARCERDESC_WORDS];
    GetArcerDesc(desc);
    desc[9] = static_cast<uint32_t>(o.level);
    SetArcerStats(desc);
    if (o.password) SetCryptKey(o.passwordText.c_str());
    VxSetThreadCount(o.threads);
    if (o.junkPaths)
        arOptionsOn(arStripPaths);
    else
        arOptionsOff(arStripPaths);
    arOptionsOff(arNoInputPath);
    // The input path gets its separator here: the library adds one only to
    // paths longer than three characters.
    std::string input = o.relative;
    if (!input.empty() && input.back() != '/') input += '/';
    SetInputPath(EnginePath(input).c_str());
    SetRelativePath("");
    g_session.terminal = IsTerminal(STDERR_FILENO);
    g_session.overwrite = o.overwrite;
    g_session.quiet = o.quiet;
    SetSetFileNameProc(0, OnFileName);
    SetSetProgressProc(0, OnProgress);
    SetSkipFileProc(0, OnSkip);
    SetOkToReplaceProc(0, OnReplace);

    MaskList masks;
    for (const std::string& f : files) {
        if (!masks.Append(f)) {
            DoneZipFile();
            return ReportStatus("add", 8);
        }
    }
    CompressFileMaskListZip(masks.get());
    const uint16_t status = GetArchiveStatus();
    ClearProgressLine();
    DoneZipFile();
    if (Interrupted()) {
        fprintf(stderr, "vardex: add: interrupted; the archive is as it was\n");
        return InterruptedExitStatus();
    }
    if (status != 0) return ReportStatus("add", status);
    int exitStatus = 0;
    if (g_session.skipped > 0) {
        fprintf(stderr, "vardex: add: %d file%s could not be read\n", g_session.skipped,
                g_session.skipped == 1 ? "" : "s");
        exitStatus = 1;
    }
    if (leftOut > 0) {
        fprintf(stderr, "vardex: add: %d path%s left out (see above)\n", leftOut, leftOut == 1 ? "" : "s");
        exitStatus = 1;
    }
    if (g_session.kept > 0) exitStatus = 1;
    return exitStatus;
}

}  // namespace cli
