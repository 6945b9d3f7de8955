// The console and Ctrl-C on Windows.
#include <windows.h>
#include <io.h>

#include <atomic>

#include "terminal.h"

namespace cli {

namespace {

// The console event that arrived first (0 none); read by the progress
// report, set from the handler thread the system starts for the event.
std::atomic<DWORD> g_event{0};
std::atomic<bool> g_caught{false};
// The console input a prompt is waiting on, if any.  An event that is not
// typed at the keyboard (Ctrl-Break, a closing window, one sent by another
// program) does not end a console read by itself, so the handler cancels it:
// the prompt then gives the echo back and the command ends as cancelled.
std::atomic<HANDLE> g_promptInput{nullptr};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    DWORD none = 0;
    if (g_event.compare_exchange_strong(none, event + 1)) {  // noted: cancel at the next report
        if (const HANDLE in = g_promptInput.load()) CancelIoEx(in, nullptr);
        return TRUE;
    }
    return FALSE;  // the second one ends the process as the system would
}

// Reads one line from the console; the Enter key's line break is dropped.
bool ReadConsoleLine(HANDLE in, std::string* answer) {
    char buffer[512];
    DWORD got = 0;
    if (!ReadConsoleA(in, buffer, sizeof buffer - 1, &got, nullptr) || got == 0) {
        // Ctrl-C typed at the keyboard ends the read while the system starts
        // the handler on a thread of its own: give it a moment to be noted,
        // so that the command ends as interrupted rather than as failed.
        for (int i = 0; i < 20 && !Interrupted(); ++i) Sleep(10);
        return false;
    }
    answer->assign(buffer, got);
    while (!answer->empty() && (answer->back() == '\n' || answer->back() == '\r')) answer->pop_back();
    return true;
}

}  // namespace

bool IsTerminal(int fd) {
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

bool AskTerminal(const std::string& prompt, bool hidden, std::string* answer) {
    if (Interrupted()) return false;
    // The console itself, even when standard input and output are redirected.
    const HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    bool ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
    if (ok) {
        DWORD written = 0;
        // Echo goes off before the prompt shows, so nothing typed early is seen.
        if (hidden) SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        WriteConsoleA(out, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
        g_promptInput.store(in);
        // (An event noted between this check and the read's start is not
        // seen by the read; the second one ends the process.)
        ok = !Interrupted() && ReadConsoleLine(in, answer) && !Interrupted();
        g_promptInput.store(nullptr);
        if (hidden) {
            SetConsoleMode(in, mode);
            WriteConsoleA(out, "\r\n", 2, &written, nullptr);
        }
    }
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    return ok;
}

void CatchInterruptions() {
    if (!g_caught.exchange(true)) SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() { return g_event.load() != 0; }

// The same figures as on POSIX: 130 for Ctrl-C, 143 for the window closing.
int InterruptedExitStatus() { return g_event.load() == CTRL_CLOSE_EVENT + 1 ? 143 : 130; }

}  // namespace cli
