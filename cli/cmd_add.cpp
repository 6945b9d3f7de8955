// vardex add and vardex delete.
//
// add creates the archive when it does not exist and otherwise updates it.
// The library takes files, not directories, so directories named on the
// command line are walked here and every regular file under them is named.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "status_text.h"
#include "support.h"
#include "vardex32.h"

namespace cli {

const char kAddHelp[] =
    "usage: vardex add ARCHIVE [--level 1-4] [--password [PW]] [--junk-paths]\n"
    "                  [--relative BASE] [--overwrite] PATH...\n"
    "\n"
    "Adds the files PATH... to ARCHIVE, which is created when it does not exist\n"
    "(\".ZIP\" is appended to a name without an extension).  Directories are\n"
    "walked and every file under them is added.  Each file is Deflated, or\n"
    "Stored when Deflate does not make it smaller.  An entry of the same name is\n"
    "replaced after asking (unless --overwrite).\n"
    "\n"
    "  --level 1-4       compression level: 1 fastest (the default), 4 smallest\n"
    "  --password [PW]   encrypt the new entries with the traditional ZIP cipher;\n"
    "                    the next argument is PW unless it is the last one or\n"
    "                    starts with '-' (or write --password=PW); without PW the\n"
    "                    password is asked for twice on the terminal\n"
    "  --junk-paths      store file names only, without their directories\n"
    "  --relative BASE   store names relative to the directory BASE (PATHs are\n"
    "                    taken inside BASE)\n"
    "  --overwrite       replace entries of the same name without asking\n";

const char kDeleteHelp[] =
    "usage: vardex delete ARCHIVE MASK...\n"
    "\n"
    "Deletes the entries of ARCHIVE that the MASKs select (wildcards as in\n"
    "vardex list: '*' for a whole name or extension, '?' for one character).\n"
    "An archive left without entries is removed.\n";

namespace {

struct AddOptions {
    std::string archive;
    int level = 1;
    bool password = false;
    std::string passwordText;
    bool junkPaths = false;
    std::string relative;
    bool overwrite = false;
    std::vector<std::string> paths;
};

// State the callbacks share with the command (one command per process).
struct Session {
    bool terminal = false;
    bool overwrite = false;
    bool replaceAll = false;
    bool keepAll = false;
    std::string current;  // the entry being written, for the progress line
    int skipped = 0;
};
Session g_session;

int Usage(const char* message) {
    fprintf(stderr, "vardex: add: %s\n\n%s", message, kAddHelp);
    return 2;
}

// Reads one line from the terminal without echo.
bool ReadHidden(const char* prompt, std::string* out) {
    FILE* tty = fopen("/dev/tty", "r+");
    if (!tty) return false;
    termios saved{};
    const bool haveTerm = tcgetattr(fileno(tty), &saved) == 0;
    // Echo goes off before the prompt shows: nothing typed after it is echoed or lost.
    if (haveTerm) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
    }
    fputs(prompt, tty);
    fflush(tty);
    char line[512];
    const bool ok = fgets(line, sizeof line, tty) != nullptr;
    if (haveTerm) tcsetattr(fileno(tty), TCSAFLUSH, &saved);
    fputs("\n", tty);
    fclose(tty);
    if (!ok) return false;
    *out = line;
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
    return true;
}

bool AskPassword(std::string* password) {
    std::string again;
    if (!ReadHidden("Password: ", password) || !ReadHidden("Password again: ", &again)) {
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
    std::vector<std::string> rest;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            rest.push_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "--level") {
            if (i + 1 >= argc) return Usage("--level needs a value 1-4");
            const std::string v = argv[++i];
            if (v.size() != 1 || v[0] < '1' || v[0] > '4') return Usage("--level takes 1, 2, 3 or 4");
            o->level = v[0] - '0';
        } else if (arg.rfind("--password=", 0) == 0) {
            o->password = true;
            o->passwordText = arg.substr(11);
            if (o->passwordText.empty()) return Usage("--password= needs a password");
        } else if (arg == "--password") {
            o->password = true;
            if (i + 2 < argc && argv[i + 1][0] != '-') o->passwordText = argv[++i];
        } else if (arg == "--junk-paths") {
            o->junkPaths = true;
        } else if (arg == "--relative") {
            if (i + 1 >= argc) return Usage("--relative needs a directory");
            o->relative = argv[++i];
        } else if (arg == "--overwrite") {
            o->overwrite = true;
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (rest.size() < 2) return Usage("an archive and at least one PATH are needed");
    o->archive = rest[0];
    o->paths.assign(rest.begin() + 1, rest.end());
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
    ClearProgressLine();
    printf("  adding: %s\n", g_session.current.c_str());
    fflush(stdout);
    return 1;
}

int32_t VARDEX_CALL OnProgress(uint32_t, int32_t percent) {
    if (!g_session.terminal) return 1;
    percent = std::clamp(percent, 0, 100);
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
            // No one to ask: the entry stays as it is.
            printf("\n");
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

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

int RunAdd(int argc, char** argv) {
    AddOptions o;
    if (const int rc = ParseAdd(argc, argv, &o); rc != 0) return rc;
    if (o.password && o.passwordText.empty() && !AskPassword(&o.passwordText)) return 1;

    std::vector<std::string> files;
    for (const std::string& p : o.paths) {
        const std::string inside = o.relative.empty() ? p : o.relative + "/" + NamedPath(p, o.relative);
        std::vector<std::string> found;
        if (!CollectFiles(inside, &found, "add")) return 1;
        for (const std::string& f : found) files.push_back(NamedPath(f, o.relative));
    }

    // The name CreateZipFile would give the archive decides whether it exists.
    std::string archive = o.archive;
    const size_t slash = archive.rfind('/');
    if (archive.find('.', slash == std::string::npos ? 0 : slash + 1) == std::string::npos) archive += ".ZIP";
    const bool existing = Exists(archive);
    if (existing)
        InitZipFile(EnginePath(archive).c_str());
    else
        CreateZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) {
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return ReportStatus(existing ? "cannot open the archive" : "cannot create the archive", status);
    }

    // InitZipFile reset the settings; they are made now.
    uint32_t desc[VX_ARCERDESC_WORDS];
    GetArcerDesc(desc);
    desc[9] = static_cast<uint32_t>(o.level);
    SetArcerStats(desc);
    if (o.password) SetCryptKey(o.passwordText.c_str());
    if (o.junkPaths) arOptionsOn(arStripPaths);
    else arOptionsOff(arStripPaths);
    arOptionsOff(arNoInputPath);
    // The input path gets its separator here: the library adds one only to
    // paths longer than three characters.
    std::string input = o.relative;
    if (!input.empty() && input.back() != '/') input += '/';
    SetInputPath(EnginePath(input).c_str());
    SetRelativePath("");
    g_session.terminal = isatty(fileno(stderr)) != 0;
    g_session.overwrite = o.overwrite;
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
    if (status != 0) return ReportStatus("add", status);
    if (g_session.skipped > 0) {
        fprintf(stderr, "vardex: add: %d file%s could not be read\n", g_session.skipped,
                g_session.skipped == 1 ? "" : "s");
        return 1;
    }
    return 0;
}

namespace {

int32_t VARDEX_CALL OnDeleted(uint32_t, const char* name, const char*) {
    std::string text = Printable(name[0] == '\\' ? name + 1 : name);
    for (char& c : text)
        if (c == '\\') c = '/';
    printf("  deleting: %s\n", text.c_str());
    return 1;
}

}  // namespace

int RunDelete(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "vardex: delete: an archive and at least one MASK are needed\n\n%s", kDeleteHelp);
        return 2;
    }
    const std::string archive = argv[1];
    InitZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) {
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return ReportStatus("cannot open the archive", status);
    }
    SetSetFileNameProc(0, OnDeleted);
    MaskList masks;
    for (int i = 2; i < argc; ++i) {
        if (!masks.Append(argv[i])) {
            DoneZipFile();
            return ReportStatus("delete", 8);
        }
    }
    DeleteFileMaskListZip(masks.get());
    const uint16_t status = GetArchiveStatus();
    DoneZipFile();
    if (status != 0) return ReportStatus("delete", status);
    if (!Exists(archive)) printf("no entries left: %s removed\n", Printable(archive).c_str());
    return 0;
}

}  // namespace cli
