#!/usr/bin/env python3
"""Types Ctrl-C at a program in a terminal once a file is in flight.

    ctrl-c.py FOLDER PROGRAM [ARG...]

Runs PROGRAM on a new pseudo-terminal, reads nothing of what it prints until a
temporary output (".morvex-*") shows up in FOLDER (its output fills the
terminal meanwhile, so files stay in flight), then types Ctrl-C, reads the rest,
and exits with PROGRAM's status (128 + the signal if it died of one). Exits 3,
with what PROGRAM printed, when no file was ever in flight. Wine turns the
keystroke into the console's CTRL_C_EVENT, as a Windows console does.
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
    ended = None
    for _ in range(6000):  # at most a minute
        if in_flight(folder):
            seen = True
            break
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            ended = status
            break
        time.sleep(0.01)
    if ended is None:
        os.write(fd, b"\x03")
    printed = b""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        printed += chunk
    status = ended if ended is not None else os.waitpid(pid, 0)[1]
    if not seen:
        sys.stderr.write("no file was ever in flight; the program printed:\n")
        sys.stderr.write(printed[-2000:].decode("utf-8", "replace") + "\n")
        sys.exit(3)
    sys.exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))


main()
