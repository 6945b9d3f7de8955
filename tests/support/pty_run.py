"""Runs a shell command on a new pseudo-terminal, as a user at a terminal
would, answering its questions.

usage: pty_run.py [--hidden] COMMAND [EXPECT ANSWER]...
Waits for each EXPECT text in the output, then types ANSWER and Enter (with
--hidden, once the command has turned the terminal's echo off).  Prints
the whole transcript and exits with the command's exit status; 124 when an
expected text (or, with none left, the end) does not come within 20 seconds
of silence, or PTY_RUN_SILENCE seconds when that is set.
"""
import os
import pty
import select
import sys
import termios
import time


def wait_for_no_echo(fd, limit):
    """True once the terminal's echo is off, False after limit seconds."""
    deadline = time.monotonic() + limit
    while termios.tcgetattr(fd)[3] & termios.ECHO:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def main():
    args = sys.argv[1:]
    hidden = args[:1] == ["--hidden"]
    if hidden:
        args = args[1:]
    command, script = args[0], args[1:]
    silence = float(os.environ.get("PTY_RUN_SILENCE", "20"))
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp("sh", ["sh", "-c", command])
    transcript = b""
    seen = 0  # transcript bytes already matched
    pairs = [(script[i].encode(), script[i + 1].encode()) for i in range(0, len(script) - 1, 2)]
    timed_out = False
    while True:
        if pairs and pairs[0][0] in transcript[seen:]:
            seen = transcript.index(pairs[0][0], seen) + len(pairs[0][0])
            if hidden and not wait_for_no_echo(fd, silence):
                timed_out = True
                break
            os.write(fd, pairs[0][1] + b"\n")
            pairs.pop(0)
            continue
        ready, _, _ = select.select([fd], [], [], silence)
        if not ready:
            timed_out = True
            break
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the command ended and closed the terminal
            break
        if not chunk:
            break
        transcript += chunk
    sys.stdout.write(transcript.decode("utf-8", "replace"))
    if timed_out:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        sys.stdout.write("\n[timed out waiting for %r]\n" % (pairs[0][0] if pairs else b"the end"))
        sys.exit(124)
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))


if __name__ == "__main__":
    main()
