#!/usr/bin/env python3
"""Types Ctrl-C at a program in a terminal once a file is in flight.

    ctrl-c.py FOLDER PROGRAM [ARG...]

Runs PROGRAM on a new pseudo-terminal, reads nothing of what it prints until a
temporary output (".morvex-*") shows up in FOLDER (its output fills the
terminal meanwhile, so files stay in flight), then types Ctrl-C, reads the rest,
and exits with PROGRAM's status (128 + the signal if it died of one). Exits 3
when no file was ever in flight. Wine turns the keystroke into the console's
CTRL_C_EVENT, as a Windows console does.
"""
import os
import pty
import sys
import time


def in_flight(folder):
    try:
        return any(name.startswith(".morvex-") for name in os.listdir(folder))
    except FileNotFoundError:
        return False


def main():
    folder, command = sys.argv[1], sys.argv[2:]
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)
    seen = False
    for _ in range(6000):  # at most a minute
        if in_flight(folder):
            seen = True
            break
        time.sleep(0.01)
    os.write(fd, b"\x03")
    while True:
        try:
            if not os.read(fd, 65536):
                break
        except OSError:
            break
    _, status = os.waitpid(pid, 0)
    if not seen:
        sys.exit(3)
    sys.exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))


main()
