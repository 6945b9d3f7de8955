// The command line's dealings with the terminal and with signals, kept in
// one place so that each system has one small file for them.
#pragma once

#include <string>

namespace cli {

// True when the descriptor is a terminal (0 stdin, 1 stdout, 2 stderr).
bool IsTerminal(int fd);

// Shows the prompt on the controlling terminal and reads one line from it,
// without echo when hidden.  False when there is no terminal, input ends or
// an interruption arrives.  The echo is back on whichever way it returns,
// also when the process is interrupted while it waits.
bool AskTerminal(const std::string& prompt, bool hidden, std::string* answer);

// From now on the first SIGINT or SIGTERM is noted rather than fatal: the
// running operation is cancelled at its next progress report and the command
// ends with InterruptedExitStatus().  A second one ends the process at once.
void CatchInterruptions();
// True once an interruption has arrived.
bool Interrupted();
// 128 + the signal's number (130 for SIGINT, 143 for SIGTERM).
int InterruptedExitStatus();

}  // namespace cli
