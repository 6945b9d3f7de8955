// Terminal and signals on POSIX.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "terminal.h"

namespace cli {

namespace {

volatile sig_atomic_t g_signal = 0;

// The terminal's settings while a hidden answer is read, for the handler to
// put back.
termios g_savedTerminal{};
volatile sig_atomic_t g_echoOffFd = -1;

void OnSignal(int signal) {
    g_signal = signal;
    const int fd = g_echoOffFd;
    if (fd >= 0) tcsetattr(fd, TCSANOW, &g_savedTerminal);  // async-signal-safe
}

// Reads up to the end of the line.  The wait looks at the interruption flag
// several times a second, so a signal that arrives at any moment (also just
// before the read starts) ends it.
bool ReadLine(int fd, std::string* line) {
    for (;;) {
        if (g_signal != 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char c;
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return !line->empty();
        if (c == '\n') return true;
        if (line->size() < 4096) *line += c;
    }
}

}  // namespace

bool IsTerminal(int fd) { return isatty(fd) != 0; }

bool AskTerminal(const std::string& prompt, bool hidden, std::string* answer) {
    if (g_signal != 0) return false;
    FILE* tty = fopen("/dev/tty", "r+");
    if (!tty) return false;
    // The echo goes off before the prompt shows, so that nothing typed at
    // the prompt is ever shown.
    const int fd = fileno(tty);
    const bool restore = hidden && tcgetattr(fd, &g_savedTerminal) == 0;
    if (restore) {
        termios quiet = g_savedTerminal;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        g_echoOffFd = fd;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    fputs(prompt.c_str(), tty);
    fflush(tty);
    std::string line;
    const bool ok = ReadLine(fd, &line);
    if (restore) {
        tcsetattr(fd, TCSAFLUSH, &g_savedTerminal);
        g_echoOffFd = -1;
    }
    if (!ok && g_signal != 0) fputs("\n", tty);
    fclose(tty);
    if (!ok) return false;
    *answer = line;
    while (!answer->empty() && (answer->back() == '\n' || answer->back() == '\r')) answer->pop_back();
    return true;
}

void CatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return g_signal != 0; }

int InterruptedExitStatus() { return 128 + static_cast<int>(g_signal); }

}  // namespace cli
