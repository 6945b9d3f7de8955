// vardex extract and vardex test.
//
// The command line selects the entries itself (unzip's patterns) and hands
// the library their exact names.  The library ends a call at the first entry
// that fails; the command then takes up with the next one, so one damaged
// entry costs only itself, and the failures are summed up at the end.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "commands.h"
#include "patterns.h"
#include "status_text.h"
#include "support.h"
#include "terminal.h"
#include "vardex32.h"
#include "vardex32x.h"

namespace cli {

const char kExtractHelp[] =
    "usage: vardex extract [OPTIONS] ARCHIVE [PATTERN...]\n"
    "\n"
    "Extracts the entries of ARCHIVE that the PATTERNs select (all without one),\n"
    "with their directories, times and permissions; every entry is checked against\n"
    "its CRC-32.  A damaged entry is reported and the others are still extracted.\n"
    "\n"
    "  -d, --dir=DIR          write under DIR (created when missing; default: here)\n"
    "  -j, --junk-paths       drop the stored directories: every file lands in DIR\n"
    "  -P, --password=PW      password for encrypted entries\n"
    "  -o, --overwrite        replace existing files without asking\n"
    "  -n, --skip-existing    keep existing files and pass over their entries\n"
    "  -C, --ignore-case      patterns match regardless of case\n"
    "  -q, --quiet            print nothing but errors\n"
    "\n"
    "PATTERNs work as unzip's: '*' matches any run of characters, '/' included,\n"
    "'?' one character, [abc] or [a-z] one of a set; quote them from the shell.\n"
    "Without --password, the password of an encrypted entry is asked for on the\n"
    "terminal.  Without --overwrite or --skip-existing each existing file is asked\n"
    "about; with no terminal to ask, it is kept and the command fails.\n"
    "Exit status: 0 all extracted, 1 something failed or was kept, 2 usage error,\n"
    "130/143 interrupted (the entry being written is removed).\n";

const char kTestHelp[] =
    "usage: vardex test [OPTIONS] ARCHIVE [PATTERN...]\n"
    "\n"
    "Checks the entries of ARCHIVE that the PATTERNs select (all without one):\n"
    "decodes each one, with its password when it is encrypted, and compares the\n"
    "CRC-32, writing nothing.  Names every entry that fails; exits 1 if any did.\n"
    "\n"
    "  -P, --password=PW      password for encrypted entries\n"
    "  -C, --ignore-case      patterns match regardless of case\n"
    "  -q, --quiet            print nothing but errors and the summary\n";

namespace {

enum class Existing { Ask, Overwrite, Skip };

struct Options {
    bool testing = false;
    std::string archive, dir, password;
    bool havePassword = false, junkPaths = false, ignoreCase = false, quiet = false;
    Existing existing = Existing::Ask;
    std::vector<std::string> patterns;
};

// The command's state, reached from the callbacks.
struct Session {
    Options* options = nullptr;
    std::unordered_map<std::string, size_t> indexOf;  // entry name -> index
    long currentIndex = -1;                           // the entry being handled
    std::string current;                              // its output path (extract) or name (test)
    std::string pendingLine;                          // its line, printed once the entry is really taken
    std::chrono::steady_clock::time_point started;
    int lastPercent = -1;
    bool barShown = false;
    bool stderrIsTerminal = false;
    int kept = 0;  // existing files kept without anyone asked
    // While an entry is extracted through a scratch directory: its name, the
    // scratch directory, and where the library put the entry there.
    std::string scratchEntry, scratchDir, scratchOutput;
};
Session g_session;

const char* CommandName() { return g_session.options && g_session.options->testing ? "test" : "extract"; }

void ClearBar() {
    if (!g_session.barShown) return;
    fputs("\r\033[K", stderr);
    g_session.barShown = false;
}

void FlushPendingLine() {
    if (g_session.pendingLine.empty()) return;
    ClearBar();
    fputs(g_session.pendingLine.c_str(), stdout);
    fflush(stdout);
    g_session.pendingLine.clear();
}

std::string Shown(const char* text) {
    std::string shown = text;
    for (char& c : shown)
        if (c == '\\') c = '/';
    return Printable(shown);
}

int32_t VARDEX_CALL OnFileName(uint32_t, const char* from, const char* to) {
    FlushPendingLine();
    const char* name = from[0] == '\\' ? from + 1 : from;
    const auto found = g_session.indexOf.find(name);
    g_session.currentIndex = found == g_session.indexOf.end() ? -1 : static_cast<long>(found->second);
    const bool testing = g_session.options->testing;
    if (!g_session.scratchDir.empty()) {
        // Only the entry asked for is shown, under the path it will have.
        if (g_session.scratchEntry != name) {
            g_session.currentIndex = -1;
            return 1;
        }
        g_session.scratchOutput = to;
        for (char& c : g_session.scratchOutput)
            if (c == '\\') c = '/';
        std::string final = g_session.options->dir;
        if (!final.empty() && final.back() != '/') final += '/';
        g_session.current = final + g_session.scratchOutput.substr(g_session.scratchDir.size() + 1);
    } else {
        g_session.current = Shown(testing ? name : to);
    }
    g_session.started = std::chrono::steady_clock::now();
    g_session.lastPercent = -1;
    if (!g_session.options->quiet) g_session.pendingLine = (testing ? "  testing: " : "  ") + g_session.current + "\n";
    return 1;
}

// The bar appears once an entry takes longer than a moment, and is drawn
// again only when the percentage changes.
int32_t VARDEX_CALL OnProgress(uint32_t, int32_t percent) {
    if (Interrupted()) return 0;
    FlushPendingLine();
    if (!g_session.stderrIsTerminal || g_session.options->quiet) return 1;
    using namespace std::chrono;
    if (!g_session.barShown && steady_clock::now() - g_session.started < milliseconds(300)) return 1;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    if (percent == g_session.lastPercent && g_session.barShown) return 1;
    g_session.lastPercent = percent;
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    fprintf(stderr, "\r  [%.*s%*s] %3d%%", filled, "##############################", kWidth - filled, "", percent);
    fflush(stderr);
    g_session.barShown = true;
    return 1;
}

int32_t VARDEX_CALL OnPassword(uint32_t, char* password, const char* name) {
    if (Interrupted()) return 0;
    FlushPendingLine();
    ClearBar();
    // A password left in the buffer is one that did not fit.
    const bool retry = password[0] != '\0';
    const std::string shown = Shown(name);
    const std::string prompt = retry ? "Wrong password for " + shown + ". Password: " : "Password for " + shown + ": ";
    std::string answer;
    if (!AskTerminal(prompt, true, &answer) || answer.empty()) return 0;
    if (answer.size() > 255) answer.resize(255);
    memcpy(password, answer.c_str(), answer.size() + 1);
    g_session.started = std::chrono::steady_clock::now();  // the question is not decoding time
    return 1;
}

bool g_replaceAll = false;

int32_t VARDEX_CALL OnReplace(uint32_t, WIN32_FIND_DATAA*, WIN32_FIND_DATAA*) {
    if (Interrupted()) return 2;
    ClearBar();
    switch (g_session.options->existing) {
        case Existing::Overwrite: return 0;
        case Existing::Skip: g_session.pendingLine.clear(); return 1;
        case Existing::Ask: break;
    }
    if (g_replaceAll) return 0;
    for (;;) {
        std::string answer;
        if (!AskTerminal("Replace " + g_session.current + "? [y]es, [n]o, [A]ll, [q]uit: ", false, &answer)) {
            if (Interrupted()) return 2;
            g_session.pendingLine.clear();
            fprintf(stderr, "vardex: %s exists; kept (no terminal to ask: use --overwrite or --skip-existing)\n",
                    g_session.current.c_str());
            ++g_session.kept;
            return 1;
        }
        if (answer == "y" || answer == "Y" || answer == "yes") return 0;
        if (answer == "n" || answer == "N" || answer == "no") {
            g_session.pendingLine.clear();
            return 1;
        }
        if (answer == "A" || answer == "a" || answer == "all") {
            g_replaceAll = true;
            return 0;
        }
        if (answer == "q" || answer == "Q" || answer == "quit") return 2;
    }
}

// Creates DIR and its parents; false with errno set.
bool MakeDirectories(const std::string& dir) {
    std::string path;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            if (!path.empty() && mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
        }
        if (i < dir.size()) path += dir[i];
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// Why an output file could not be created, as the system says it: the first
// level of its path that exists decides.
std::string CreateCause(const std::string& outputPath) {
    std::string path = outputPath;
    for (;;) {
        const size_t slash = path.find_last_of('/');
        path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return strerror(ENOTDIR);
            if (access(path.c_str(), W_OK | X_OK) != 0) return strerror(errno);
            return {};
        }
        if (errno != ENOENT) return strerror(errno);
        if (path == "." || path == "/") return {};
    }
}

void ReportEntryFailure(const std::string& name, uint16_t status) {
    FlushPendingLine();
    ClearBar();
    std::string cause;
    if (status == VX_CANNOT_CREATE_OUTPUT && !g_session.options->testing) cause = CreateCause(g_session.current);
    fprintf(stderr, "vardex: %s: %s: %s%s%s (status %u)\n", CommandName(), Printable(name).c_str(), cause.c_str(),
            cause.empty() ? "" : ": ", VxStatusText(status), status);
}

void RunLibrary(const std::vector<std::string>& names) {
    MaskList masks;
    for (const std::string& name : names) {
        if (!masks.Append(name)) {
            SetArchiveStatus(VX_OUT_OF_MEMORY);
            return;
        }
    }
    g_session.currentIndex = -1;
    if (g_session.options->testing)
        VxTestFileMaskListZip(masks.get());
    else
        ExtractFileMaskListZip(masks.get());
}

struct Outcome {
    int failed = 0;
    bool cancelled = false;
};

// One library call over the pending entries, then again after each entry
// that fails.  `everything`: the pending entries are all of the archive, and
// an empty mask list says so without naming each.
void RunPending(const std::vector<EntryInfo>& entries, std::vector<size_t> pending, bool everything, Outcome* outcome) {
    while (!pending.empty() && !outcome->cancelled) {
        std::vector<std::string> names;
        if (!everything)
            for (size_t i : pending) names.push_back(entries[i].name);
        RunLibrary(names);
        const uint16_t status = GetArchiveStatus();
        FlushPendingLine();
        ClearBar();
        // Exact names that select nothing are entries the library cannot
        // name: each is reported, never passed over in silence.
        if (status == 0 || (status == VX_NOTHING_SELECTED && everything)) return;
        if (status == VX_CANCELLED || Interrupted()) {
            outcome->cancelled = true;
            return;
        }
        size_t at = 0;
        for (size_t k = 0; k < pending.size(); ++k)
            if (static_cast<long>(pending[k]) == g_session.currentIndex) at = k;
        ReportEntryFailure(entries[pending[at]].name, status);
        ++outcome->failed;
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(at) + 1);
        everything = false;
    }
}

// Where an existing file stands at the entry's path, the same rules as for
// the library's question: true when the file may be replaced.
bool MayReplace(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return true;
    WIN32_FIND_DATAA existing{}, archived{};
    return OnReplace(0, &existing, &archived) == 0;
}

// An entry the library's masks cannot name alone is extracted with the
// others its name selects into a private directory beside the output, and
// only its own file is moved into place; the rest is removed.
void ExtractThroughScratch(const std::vector<EntryInfo>& entries, size_t index, Outcome* outcome) {
    Options& o = *g_session.options;
    std::string base = o.dir.empty() ? "." : o.dir;
    std::string scratch = base + "/.vardex-XXXXXX";
    if (!mkdtemp(scratch.data())) {
        fprintf(stderr, "vardex: extract: %s: cannot make a scratch directory in %s: %s\n",
                Printable(entries[index].name).c_str(), Printable(base).c_str(), strerror(errno));
        ++outcome->failed;
        return;
    }
    g_session.scratchEntry = entries[index].name;
    g_session.scratchDir = scratch;
    g_session.scratchOutput.clear();
    const Existing existing = o.existing;
    o.existing = Existing::Overwrite;  // a fresh directory: nothing of the user's to ask about
    SetOutputPath(EnginePath(scratch).c_str());
    RunLibrary({entries[index].name});
    const uint16_t status = GetArchiveStatus();
    SetOutputPath(EnginePath(o.dir).c_str());
    o.existing = existing;
    const std::string produced = g_session.scratchOutput;
    g_session.scratchDir.clear();
    g_session.scratchEntry.clear();
    if (status == VX_CANCELLED || Interrupted()) {
        outcome->cancelled = true;
    } else {
        struct stat st;
        const bool made = !produced.empty() && lstat(produced.c_str(), &st) == 0;
        if (made) {
            const std::string target = g_session.current;
            const size_t slash = target.find_last_of('/');
            if (MayReplace(target)) {
                if ((slash != std::string::npos && !MakeDirectories(target.substr(0, slash))) ||
                    rename(produced.c_str(), target.c_str()) != 0) {
                    fprintf(stderr, "vardex: extract: %s: %s\n", Printable(target).c_str(), strerror(errno));
                    ++outcome->failed;
                } else {
                    FlushPendingLine();
                }
            }
            g_session.pendingLine.clear();
        }
        if (status != 0) {
            ReportEntryFailure(entries[index].name, status);
            ++outcome->failed;
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

// The library's masks ignore case and know '?' and '*': an exact name can
// select more than its own entry.  Such entries are handled one by one, and
// one that cannot be named alone goes through a scratch directory (testing
// another entry along with it does no harm).
void RunSelected(const std::vector<EntryInfo>& entries, const std::vector<size_t>& selected, Outcome* outcome) {
    if (selected.size() == entries.size()) {
        RunPending(entries, selected, true, outcome);
        return;
    }
    // Names that another entry's mask could also take, or that hold the
    // masks' wildcards, are suspects; the others go in one call, checked.
    const std::vector<bool> ambiguous = AmbiguousNames(entries);
    std::vector<size_t> batch, singles;
    for (size_t i : selected) (ambiguous[i] ? singles : batch).push_back(i);
    if (!batch.empty()) {
        std::vector<std::string> names;
        for (size_t i : batch) names.push_back(entries[i].name);
        uint16_t status = 0;
        if (LibrarySelection(names, &status).size() == names.size() && status == 0) {
            RunPending(entries, batch, false, outcome);
        } else {
            singles.insert(singles.end(), batch.begin(), batch.end());
            std::sort(singles.begin(), singles.end());
        }
    }
    for (size_t i : singles) {
        if (outcome->cancelled) return;
        uint16_t status = 0;
        const std::vector<std::string> chosen = LibrarySelection({entries[i].name}, &status);
        if (chosen.size() != 1 && !g_session.options->testing) {
            ExtractThroughScratch(entries, i, outcome);
            continue;
        }
        RunPending(entries, {i}, false, outcome);
    }
}

int Usage(const char* message) {
    if (message) fprintf(stderr, "vardex: %s: %s\n", CommandName(), message);
    fputs(g_session.options && g_session.options->testing ? kTestHelp : kExtractHelp, stderr);
    return 2;
}

int Parse(int argc, char** argv, Options* o) {
    static const option kLong[] = {
        {"dir", required_argument, nullptr, 'd'},   {"junk-paths", no_argument, nullptr, 'j'},
        {"paths", no_argument, nullptr, 'p'},       {"password", required_argument, nullptr, 'P'},
        {"overwrite", no_argument, nullptr, 'o'},   {"skip-existing", no_argument, nullptr, 'n'},
        {"ignore-case", no_argument, nullptr, 'C'}, {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0},
    };
    const char* shortOptions = o->testing ? ":P:Cqh" : ":d:jP:onCqh";
    optind = 0;  // a fresh scan of this command's arguments
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, shortOptions, kLong, nullptr)) != -1;) {
        if (o->testing && (c == 'd' || c == 'j' || c == 'p' || c == 'o' || c == 'n'))
            return Usage("that option is for extract only");
        switch (c) {
            case 'd': o->dir = optarg; break;
            case 'j': o->junkPaths = true; break;
            case 'p': o->junkPaths = false; break;  // keeping paths is the default
            case 'P':
                o->password = optarg;
                o->havePassword = true;
                break;
            case 'o':
            case 'n': {
                const Existing wanted = c == 'o' ? Existing::Overwrite : Existing::Skip;
                if (o->existing != Existing::Ask && o->existing != wanted)
                    return Usage("--overwrite and --skip-existing exclude each other");
                o->existing = wanted;
                break;
            }
            case 'C': o->ignoreCase = true; break;
            case 'q': o->quiet = true; break;
            case 'h': fputs(o->testing ? kTestHelp : kExtractHelp, stdout); return -1;
            case ':': return Usage((std::string(argv[optind - 1]) + " needs a value").c_str());
            default: return Usage(("unknown option " + std::string(argv[optind - 1])).c_str());
        }
    }
    if (optind >= argc) return Usage("no archive given");
    o->archive = argv[optind];
    o->patterns.assign(argv + optind + 1, argv + argc);
    if (o->havePassword && (o->password.empty() || o->password.size() > 255))
        return Usage("the password must have 1 to 255 characters");
    return 0;
}

// The engine's output path for an entry is its directory and the name; a
// path over the engine's 255 characters cannot be written.
bool FitsOutputPath(const Options& o, const EntryInfo& entry) {
    std::string dir = o.dir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    std::string name = entry.name;
    if (o.junkPaths) {
        const size_t slash = name.find_last_of("/\\");
        if (slash != std::string::npos) name = name.substr(slash + 1);
    }
    return dir.size() + name.size() <= 255;
}

int Run(Options& o) {
    g_session = Session{};
    g_session.options = &o;
    g_session.stderrIsTerminal = IsTerminal(STDERR_FILENO);

    // Nothing is created before the archive opens.
    InitZipFile(EnginePath(o.archive).c_str());
    if (GetArchiveStatus() != 0) {
        const uint16_t status = GetArchiveStatus();
        DoneZipFile();
        return ReportArchiveFailure(CommandName(), o.archive, status);
    }
    std::vector<EntryInfo> entries;
    if (const uint16_t status = ReadEntries(&entries); status != 0) {
        DoneZipFile();
        return ReportArchiveFailure(CommandName(), o.archive, status);
    }
    std::vector<std::string> unmatched;
    std::vector<size_t> selected = SelectEntries(entries, o.patterns, o.ignoreCase, &unmatched);
    for (const std::string& pattern : unmatched)
        fprintf(stderr, "vardex: %s: %s: no entry matches (status %u)\n", CommandName(), Printable(pattern).c_str(),
                VX_NOTHING_SELECTED);

    Outcome outcome;
    if (!o.testing) {
        // Entries whose output path would be too long are named and passed over.
        std::vector<size_t> fitting;
        for (size_t i : selected) {
            if (FitsOutputPath(o, entries[i])) {
                fitting.push_back(i);
                continue;
            }
            fprintf(stderr, "vardex: extract: %s: %s (the path would exceed 255 characters)\n",
                    Printable(entries[i].name).c_str(), strerror(ENAMETOOLONG));
            ++outcome.failed;
        }
        selected = fitting;
        if (!selected.empty() && !o.dir.empty() && !MakeDirectories(o.dir)) {
            fprintf(stderr, "vardex: extract: cannot create %s: %s\n", Printable(o.dir).c_str(), strerror(errno));
            DoneZipFile();
            return 1;
        }
        // InitZipFile cleared the callbacks and the base path: everything else follows it.
        SetOutputPath(EnginePath(o.dir).c_str());
        if (o.junkPaths)
            arOptionsOff(arUsePaths);
        else
            arOptionsOn(arUsePaths);
        SetOkToReplaceProc(0, &OnReplace);
    }
    if (o.havePassword) SetCryptKey(o.password.c_str());
    SetSetFileNameProc(0, &OnFileName);
    SetSetProgressProc(0, &OnProgress);
    SetSetCryptKeyProc(0, &OnPassword);
    for (size_t i = 0; i < entries.size(); ++i) g_session.indexOf.emplace(entries[i].name, i);

    if (!selected.empty()) RunSelected(entries, selected, &outcome);
    ClearBar();
    DoneZipFile();

    if (outcome.cancelled || Interrupted()) {
        if (Interrupted()) {
            fprintf(stderr, "vardex: %s: interrupted; the entry in progress was removed\n", CommandName());
            return InterruptedExitStatus();
        }
        return ReportStatus(CommandName(), VX_CANCELLED);
    }
    size_t files = 0;
    for (size_t i : selected)
        if (!entries[i].directory) ++files;
    if (outcome.failed > 0)
        fprintf(stderr, "vardex: %s: %d of %zu entr%s failed\n", CommandName(), outcome.failed, files,
                files == 1 ? "y" : "ies");
    if (g_session.kept > 0)
        fprintf(stderr, "vardex: extract: %d existing file%s kept without asking\n", g_session.kept,
                g_session.kept == 1 ? "" : "s");
    if (o.testing && outcome.failed == 0 && unmatched.empty() && !o.quiet)
        printf("No errors detected in %s (%zu entr%s tested)\n", Printable(o.archive).c_str(), files,
               files == 1 ? "y" : "ies");
    return outcome.failed > 0 || g_session.kept > 0 || !unmatched.empty() ? 1 : 0;
}

}  // namespace

int RunExtract(int argc, char** argv) {
    Options o;
    g_session.options = &o;
    if (const int rc = Parse(argc, argv, &o); rc != 0) return rc < 0 ? 0 : rc;
    return Run(o);
}

int RunTest(int argc, char** argv) {
    Options o;
    o.testing = true;
    g_session.options = &o;
    if (const int rc = Parse(argc, argv, &o); rc != 0) return rc < 0 ? 0 : rc;
    return Run(o);
}

}  // namespace cli
