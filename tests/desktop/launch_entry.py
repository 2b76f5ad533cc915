"""Starts an autostart desktop entry the way a desktop session does (GLib's
desktop-entry parser and launcher) and prints its Name.

Usage: launch_entry.py ENTRY_FILE [MARKER_FILE]
With MARKER_FILE: starts the entry and exits 0 once the started program has
written MARKER_FILE, 1 otherwise. Without: prints the program the entry would
start ("program=...") and the working folder it names ("path=..."), and
starts nothing.
"""
import os
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402


def main():
    entry = sys.argv[1]
    info = Gio.DesktopAppInfo.new_from_filename(entry)
    if info is None:
        print("entry not accepted")
        return 1
    print("name=" + info.get_name())
    print("autostart=" + str(info.get_boolean("X-GNOME-Autostart-enabled")))
    if len(sys.argv) < 3:
        ok, argv = GLib.shell_parse_argv(info.get_commandline().replace("%%", "%"))
        print("program=" + argv[0])
        print("path=" + str(info.get_string("Path")))
        return 0
    marker = sys.argv[2]
    if not info.launch([], None):
        print("launch failed")
        return 1
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if os.path.exists(marker) and os.path.getsize(marker) > 0:
            return 0
        time.sleep(0.05)
    print("program did not run")
    return 1


sys.exit(main())
