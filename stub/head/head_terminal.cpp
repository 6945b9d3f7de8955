#include "head_terminal.h"

#include <cstdio>
#include <string>

#include "extract/extract.h"
#include "status_text.h"
#include "terminal.h"
#include "vardex32.h"

namespace vxhead {

namespace {

bool g_overwriteAll = false;

// Questions are asked only of a person at a terminal: with input or errors
// redirected, the head decides without asking and never waits.
bool Interactive() { return cli::IsTerminal(0) && cli::IsTerminal(2); }

// One line from the terminal, without echo when hidden; false when there is
// no answer (input ended, or an interruption arrived).
bool Ask(const std::string& prompt, bool hidden, std::string* answer) {
    return Interactive() && cli::AskTerminal(prompt, hidden, answer);
}

int32_t VARDEX_CALL AskPassword(uint32_t, char* password, const char* name) {
    std::string answer;
    if (!Ask(std::string("Password for ") + name + ": ", true, &answer) || answer.empty()) return 0;
    snprintf(password, 256, "%s", answer.c_str());
    return 1;
}

int32_t VARDEX_CALL AskReplace(uint32_t, WIN32_FIND_DATAA* existing, WIN32_FIND_DATAA*) {
    if (g_overwriteAll) return 0;
    if (!Interactive()) {
        fprintf(stderr, "  skipping %s: it exists (use -o to overwrite)\n", existing->cFileName);
        return 1;
    }
    for (;;) {
        std::string answer;
        if (!Ask(std::string("Replace ") + existing->cFileName + "? [y]es, [n]o, [A]ll, [q]uit: ", false, &answer))
            return 2;
        switch (answer.empty() ? '\0' : answer[0]) {
            case 'y': return 0;
            case 'n': return 1;
            case 'A': g_overwriteAll = true; return 0;
            case 'q': return 2;
            default: break;
        }
    }
}

// A Ctrl-C (or SIGTERM) cancels the running pass at its next report: the
// engine removes the file it was writing.
int32_t VARDEX_CALL OnProgress(uint32_t, int32_t) { return cli::Interrupted() ? 0 : 1; }

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
    if (cli::Interrupted()) return false;
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
    // From here an interruption is noted and ends the run cleanly: the echo
    // comes back, the file being written is removed.
    cli::CatchInterruptions();
    if (!message.empty()) {
        printf("%s\n", message.c_str());
        fflush(stdout);
        if (Interactive()) {
            std::string answer;
            if (!Ask("Extract now? [Y/n]: ", false, &answer))
                return cli::Interrupted() ? cli::InterruptedExitStatus() : 1;
            if (!answer.empty() && (answer[0] == 'n' || answer[0] == 'N')) return 1;
        }
    }
    g_overwriteAll = overwrite;
    arOptionsOn(arUsePaths);
    SetSetCryptKeyProc(0, AskPassword);
    SetSetProgressProc(0, OnProgress);
    if (!TestPass()) {
        if (!cli::Interrupted()) return 1;
        fprintf(stderr, "interrupted; nothing was extracted\n");
        return cli::InterruptedExitStatus();
    }
    std::string out = dir;
    for (char& c : out)
        if (c == '/') c = '\\';
    SetOutputPath(out.c_str());
    // The options and the password and progress callbacks of the test pass
    // stay; only the real pass asks about existing files and names them.
    SetOkToReplaceProc(0, AskReplace);
    SetSetFileNameProc(0, ShowName);
    FileMaskList all;
    InitFileMaskList(&all);
    ExtractFileMaskListZip(&all);
    uint16_t status = GetArchiveStatus();
    if (cli::Interrupted()) {
        fflush(stdout);
        fprintf(stderr, "interrupted; the entry in progress was removed\n");
        return cli::InterruptedExitStatus();
    }
    if (status != 0) {
        fprintf(stderr, "extraction failed: %s (status %u)\n", cli::StatusText(status), status);
        return 1;
    }
    return 0;
}

}  // namespace vxhead
