#include "head_terminal.h"

#ifdef _WIN32
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>

#include "extract/extract.h"
#include "status_text.h"

#include "vardex32.h"

namespace vxhead {

namespace {

bool g_overwriteAll = false;

#ifdef _WIN32
bool Interactive() { return _isatty(_fileno(stdin)) && _isatty(_fileno(stderr)); }

// Reads one line from the console; without echo when secret.
bool ReadLine(char* out, size_t cap, bool secret) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool restore =
        secret && GetConsoleMode(in, &mode) && SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    bool ok = fgets(out, static_cast<int>(cap), stdin) != nullptr;
    if (restore) {
        SetConsoleMode(in, mode);
        fputc('\n', stderr);
    }
    if (!ok) return false;
    out[strcspn(out, "\r\n")] = '\0';
    return true;
}
#else
bool Interactive() { return isatty(STDIN_FILENO) && isatty(STDERR_FILENO); }

// Reads one line from the terminal; without echo when secret.
bool ReadLine(char* out, size_t cap, bool secret) {
    termios old{};
    bool restore = false;
    if (secret && tcgetattr(STDIN_FILENO, &old) == 0) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        restore = tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
    }
    bool ok = fgets(out, static_cast<int>(cap), stdin) != nullptr;
    if (restore) {
        tcsetattr(STDIN_FILENO, TCSANOW, &old);
        fputc('\n', stderr);
    }
    if (!ok) return false;
    out[strcspn(out, "\r\n")] = '\0';
    return true;
}
#endif

int32_t VARDEX_CALL AskPassword(uint32_t, char* password, const char* name) {
    if (!Interactive()) return 0;
    fprintf(stderr, "Password for %s: ", name);
    char line[256];
    if (!ReadLine(line, sizeof line, true)) return 0;
    if (!*line) return 0;
    snprintf(password, 256, "%s", line);
    return 1;
}

int32_t VARDEX_CALL AskReplace(uint32_t, WIN32_FIND_DATAA* existing, WIN32_FIND_DATAA*) {
    if (g_overwriteAll) return 0;
    if (!Interactive()) {
        fprintf(stderr, "  skipping %s: it exists (use -o to overwrite)\n", existing->cFileName);
        return 1;
    }
    for (;;) {
        fprintf(stderr, "Replace %s? [y]es, [n]o, [A]ll, [q]uit: ", existing->cFileName);
        char line[16];
        if (!ReadLine(line, sizeof line, false)) return 2;
        switch (line[0]) {
            case 'y': return 0;
            case 'n': return 1;
            case 'A': g_overwriteAll = true; return 0;
            case 'q': return 2;
            default: break;
        }
    }
}

int32_t VARDEX_CALL ShowName(uint32_t, const char* from, const char*) {
    printf("  extracting: %s\n", from + (from[0] == '\\'));
    return 1;
}

void PrintEntries() {
    FileMaskList all;
    InitFileMaskList(&all);
    ZipFileList list;
    InitZipFileList(&list);
    BuildZipFileList(&list, &all);
    uint64_t total = 0;
    for (ZipFileEntry* e = list.first; e; e = e->next) {
        printf("%10u  %s%s\n", e->uncompressedSize, e->name, (e->flags & 1) ? " *" : "");
        total += e->uncompressedSize;
    }
    printf("%10llu  %u file(s)\n", static_cast<unsigned long long>(total), list.count);
    DoneZipFileList(&list);
}

// Decodes every entry and checks its CRC without writing anything anywhere,
// so that a damaged entry stops the run before anything reaches the
// destination and no plaintext ever lands outside it.  The password
// accepted here stays in the engine for the real pass.
bool TestPass() {
    FileMaskList all;
    InitFileMaskList(&all);
    vardex::CheckEntries(&all);
    const uint16_t status = GetArchiveStatus();
    if (status != 0) {
        fprintf(stderr, "the archive cannot be extracted: %s (status %u); nothing was extracted\n",
                cli::StatusText(status), status);
        return false;
    }
    return true;
}

}  // namespace

int Run(bool list, bool overwrite, const std::string& dir, const std::string& message) {
    if (list) {
        PrintEntries();
        return 0;
    }
    if (!message.empty()) {
        printf("%s\n", message.c_str());
        if (Interactive()) {
            fprintf(stderr, "Extract now? [Y/n]: ");
            char line[16];
            if (!ReadLine(line, sizeof line, false) || line[0] == 'n' || line[0] == 'N') return 1;
        }
    }
    g_overwriteAll = overwrite;
    arOptionsOn(arUsePaths);
    SetSetCryptKeyProc(0, AskPassword);
    if (!TestPass()) return 1;
    std::string out = dir;
    for (char& c : out)
        if (c == '/') c = '\\';
    SetOutputPath(out.c_str());
    arOptionsOn(arUsePaths);
    SetSetCryptKeyProc(0, AskPassword);
    SetOkToReplaceProc(0, AskReplace);
    SetSetFileNameProc(0, ShowName);
    FileMaskList all;
    InitFileMaskList(&all);
    ExtractFileMaskListZip(&all);
    uint16_t status = GetArchiveStatus();
    if (status != 0) {
        fprintf(stderr, "extraction failed: %s (status %u)\n", cli::StatusText(status), status);
        return 1;
    }
    return 0;
}

}  // namespace vxhead
