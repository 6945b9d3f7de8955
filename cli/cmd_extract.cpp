// vardex extract ARCHIVE [-d DIR] [--paths] [--password PW]
//                        [--overwrite | --skip-existing] [MASK...]
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "status_text.h"
#include "support.h"
#include "vardex32.h"

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
    "  --skip-existing  keep existing files and pass over their entries\n"
    "\n"
    "Without --password, the password of an encrypted entry is asked for on the\n"
    "terminal (and asked again when it is wrong).  Without --overwrite or\n"
    "--skip-existing, each existing file is asked about: y(es), n(o), A(ll), q(uit).\n";

namespace {

enum class Existing { Ask, Overwrite, Skip };

// The command's state, reached from the callbacks.
struct Session {
    Existing existing = Existing::Ask;
    bool replaceAll = false;
    std::string current;  // output path of the entry being extracted
    std::chrono::steady_clock::time_point started;
    bool barShown = false;
    bool stderrIsTerminal = false;
};
Session g_session;

// The controlling terminal for questions; null without one.
FILE* OpenTerminal() { return fopen("/dev/tty", "r+"); }

// Reads one line from the terminal, optionally without echo.  False when
// there is no terminal or input ends.
bool AskTerminal(const std::string& prompt, bool hidden, std::string* answer) {
    FILE* tty = OpenTerminal();
    if (!tty) return false;
    termios saved{};
    const int fd = fileno(tty);
    const bool restore = hidden && tcgetattr(fd, &saved) == 0;
    // Echo goes off before the prompt shows, so that nothing typed after the
    // prompt is echoed or thrown away by the switch.
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    fputs(prompt.c_str(), tty);
    fflush(tty);
    char line[512];
    const bool ok = fgets(line, sizeof line, tty) != nullptr;
    if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
    fclose(tty);
    if (!ok) return false;
    *answer = line;
    while (!answer->empty() && (answer->back() == '\n' || answer->back() == '\r')) answer->pop_back();
    return true;
}

void ClearBar() {
    if (!g_session.barShown) return;
    fputs("\r\033[K", stderr);
    g_session.barShown = false;
}

int32_t VARDEX_CALL OnFileName(uint32_t, const char* from, const char* to) {
    ClearBar();
    (void)from;
    std::string shown = to;
    for (char& c : shown)
        if (c == '\\') c = '/';
    g_session.current = shown;
    g_session.started = std::chrono::steady_clock::now();
    printf("  %s\n", Printable(shown).c_str());
    fflush(stdout);
    return 1;
}

// Draws a bar once an entry has taken longer than a moment.
int32_t VARDEX_CALL OnProgress(uint32_t, int32_t percent) {
    if (!g_session.stderrIsTerminal) return 1;
    using namespace std::chrono;
    if (!g_session.barShown && steady_clock::now() - g_session.started < milliseconds(300)) return 1;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    fprintf(stderr, "\r  [%.*s%*s] %3d%%", filled, "##############################", kWidth - filled, "", percent);
    fflush(stderr);
    g_session.barShown = true;
    return 1;
}

int32_t VARDEX_CALL OnPassword(uint32_t, char* password, const char* name) {
    ClearBar();
    std::string shown = name;
    for (char& c : shown)
        if (c == '\\') c = '/';
    // A password left in the buffer is one that did not fit.
    const bool retry = password[0] != '\0';
    std::string prompt = retry ? "Wrong password for " + Printable(shown) + ". Password: "
                               : "Password for " + Printable(shown) + ": ";
    std::string answer;
    if (!AskTerminal(prompt, true, &answer) || answer.empty()) return 0;
    if (answer.size() > 255) answer.resize(255);
    memcpy(password, answer.c_str(), answer.size() + 1);
    g_session.started = std::chrono::steady_clock::now();  // the question is not decoding time
    return 1;
}

int32_t VARDEX_CALL OnReplace(uint32_t, WIN32_FIND_DATAA*, WIN32_FIND_DATAA*) {
    ClearBar();
    switch (g_session.existing) {
        case Existing::Overwrite: return 0;
        case Existing::Skip: return 1;
        case Existing::Ask: break;
    }
    if (g_session.replaceAll) return 0;
    for (;;) {
        std::string answer;
        if (!AskTerminal("Replace " + Printable(g_session.current) + "? [y]es, [n]o, [A]ll, [q]uit: ", false,
                         &answer)) {
            fprintf(stderr, "vardex: %s exists; kept (use --overwrite to replace it)\n",
                    Printable(g_session.current).c_str());
            return 1;
        }
        if (answer == "y" || answer == "Y" || answer == "yes") return 0;
        if (answer == "n" || answer == "N" || answer == "no") return 1;
        if (answer == "A" || answer == "a" || answer == "all") {
            g_session.replaceAll = true;
            return 0;
        }
        if (answer == "q" || answer == "Q" || answer == "quit") return 2;
    }
}

// Creates DIR and its parents.
bool MakeDirectories(const std::string& dir) {
    std::string path;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            if (!path.empty() && mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
        }
        if (i < dir.size()) path += dir[i];
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Usage(const char* message) {
    if (message) fprintf(stderr, "vardex: extract: %s\n", message);
    fputs(kExtractHelp, stderr);
    return 2;
}

}  // namespace

int RunExtract(int argc, char** argv) {
    std::string archive, dir, password;
    bool usePaths = false, havePassword = false;
    Existing existing = Existing::Ask;
    std::vector<std::string> masks;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (IsHelpOption(argv[i])) {
            fputs(kExtractHelp, stdout);
            return 0;
        }
        if (arg == "-d" || arg == "--password") {
            if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
            (arg == "-d" ? dir : password) = argv[++i];
            if (arg == "--password") havePassword = true;
        } else if (arg == "--paths") {
            usePaths = true;
        } else if (arg == "--overwrite" || arg == "--skip-existing") {
            Existing wanted = arg == "--overwrite" ? Existing::Overwrite : Existing::Skip;
            if (existing != Existing::Ask && existing != wanted)
                return Usage("--overwrite and --skip-existing exclude each other");
            existing = wanted;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (archive.empty()) {
            archive = arg;
        } else {
            masks.push_back(arg);
        }
    }
    if (archive.empty()) return Usage("no archive given");
    if (havePassword && (password.empty() || password.size() > 255))
        return Usage("the password must have 1 to 255 characters");
    if (!dir.empty() && !MakeDirectories(dir)) {
        fprintf(stderr, "vardex: extract: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }

    g_session = Session{};
    g_session.existing = existing;
    g_session.stderrIsTerminal = isatty(STDERR_FILENO) != 0;

    InitZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) return ReportStatus(archive.c_str(), GetArchiveStatus());
    // InitZipFile clears the callbacks and the base path: everything else follows it.
    SetOutputPath(EnginePath(dir).c_str());
    if (usePaths)
        arOptionsOn(arUsePaths);
    else
        arOptionsOff(arUsePaths);
    if (havePassword) SetCryptKey(password.c_str());
    SetSetFileNameProc(0, &OnFileName);
    SetSetProgressProc(0, &OnProgress);
    SetSetCryptKeyProc(0, &OnPassword);
    SetOkToReplaceProc(0, &OnReplace);

    uint16_t status;
    {
        MaskList maskList;
        bool ok = true;
        for (const std::string& mask : masks)
            if (!maskList.Append(mask)) ok = false;
        if (ok) ExtractFileMaskListZip(maskList.get());
        status = ok ? GetArchiveStatus() : VX_OUT_OF_MEMORY;
    }
    ClearBar();
    DoneZipFile();
    if (status != 0) {
        const std::string context = g_session.current.empty() ? archive : archive + ": " + g_session.current;
        return ReportStatus(context.c_str(), status);
    }
    return 0;
}

}  // namespace cli
