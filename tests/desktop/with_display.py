"""Runs a command on a display of its own: a virtual X server (Xvfb) that
picks a free display number by itself, so several of these may start at once.

Usage: with_display.py COMMAND [ARGUMENT...]
Exits with the command's exit code (1 when no display could be started).
"""
import os
import subprocess
import sys


def main():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0",
         "1024x768x24"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as announced:
        number = announced.readline().strip()  # written once the server accepts clients
    if not number.isdigit():
        server.kill()
        server.wait()
        print("with_display: the virtual X server did not start", file=sys.stderr)
        return 1
    env = dict(os.environ, DISPLAY=":" + number)
    env.pop("WAYLAND_DISPLAY", None)
    try:
        return subprocess.call(sys.argv[1:], env=env)
    finally:
        server.terminate()
        server.wait()


sys.exit(main())
