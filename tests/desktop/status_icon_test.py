"""The status icon over the real protocol, on the private session bus and
display this test is started in (dbus-run-session, with_display.py): a watcher of
our own records the item's registration, the test reads its title and its
menu through com.canonical.dbusmenu, restarts the watcher and sees the item
register again, then chooses "Exit" and expects exit code 0 while a page is
connected. Then, on the display without the bus: no icon, but the service
runs and SIGTERM ends it with 0.

Usage: status_icon_test.py PENMORA_EXECUTABLE
"""
import os
import queue
import signal
import subprocess
import sys
import threading
import time

import dbus

from service_copy import Failure, Sandbox, check, exit_code, handshake_succeeds, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


class WatcherProcess:
    def __init__(self):
        self.process = subprocess.Popen([sys.executable, os.path.join(HERE, "sni_watcher.py")],
                                        stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self.read_lines, daemon=True).start()
        check(self.next_line(20) == "ready", "the watcher took its bus name")

    def read_lines(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())

    def next_line(self, seconds):
        try:
            return self.lines.get(timeout=seconds)
        except queue.Empty:
            raise Failure("the watcher reported nothing")

    def registration(self, seconds=30):
        line = self.next_line(seconds)
        parts = line.split()
        check(len(parts) == 3 and parts[0] == "registered", "a registration, got " + repr(line))
        return parts[1], parts[2]

    def stop(self):
        self.process.terminate()
        self.process.wait()


def menu_layout(bus, name, menu_path):
    menu = dbus.Interface(bus.get_object(name, menu_path), MENU)
    _, root = menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"))
    items = []
    for child in root[2]:
        item_id, props = int(child[0]), child[1]
        if props.get("visible", True) and props.get("type", "standard") == "standard":
            items.append((item_id, str(props.get("label", ""))))
    return menu, items


def check_item(bus, name, path):
    """Reads the item as a panel does; returns the menu and the id of "Exit"."""
    props = dbus.Interface(bus.get_object(name, path), dbus.PROPERTIES_IFACE)
    check(str(props.Get(ITEM, "Title")) == "Scribtor", "the tooltip title is Scribtor")
    check(str(props.Get(ITEM, "Status")) == "Active", "the item is shown")
    check(str(props.Get(ITEM, "IconName")) != "", "the item has an icon")
    menu_path = str(props.Get(ITEM, "Menu"))
    menu, items = menu_layout(bus, name, menu_path)
    check([label for _, label in items] == ["Exit"],
          "the menu holds the one item Exit, got %r" % items)
    return menu, items[0][0]


def main():
    sandbox = Sandbox(sys.argv[1])
    watcher = None
    try:
        bus = dbus.SessionBus()
        watcher = WatcherProcess()
        service = sandbox.start(sandbox.copy("bin", "Penmora.exe"), desktop=True)
        name, path = watcher.registration()
        check_item(bus, name, path)

        # A restarted panel: the item registers again with the new watcher.
        watcher.stop()
        watcher = WatcherProcess()
        again = watcher.registration()
        check(again == (name, path), "the same item registered again, got %r" % (again,))
        menu, exit_id = check_item(bus, name, path)
        check(service.poll() is None, "the service still runs")

        # A page is connected while "Exit" is chosen; the process ends at once.
        wait_for(handshake_succeeds, 20, "the service's WebSocket port")
        try:
            menu.Event(dbus.Int32(exit_id), "clicked", dbus.Int32(0, variant_level=1),
                       dbus.UInt32(int(time.time()) & 0xFFFFFFFF))
        except dbus.DBusException:
            pass  # the process may end before it answers
        check(exit_code(service, 20, "the service after Exit") == 0, "exit code 0 after Exit")

        # A display without a session bus: no icon, but the service runs, and
        # SIGTERM still ends it with 0 while the desktop loop runs.
        service = sandbox.start(sandbox.copy("bin", "Penmora.exe"), desktop=True, bus=False)
        wait_for(handshake_succeeds, 20, "the WebSocket port of the service without a bus")
        check(service.poll() is None, "the service runs without a session bus")
        service.send_signal(signal.SIGTERM)
        check(exit_code(service, 20, "the service without a bus") == 0,
              "exit code 0 on SIGTERM with the desktop loop")
    except Failure as failure:
        print("FAILED:", failure)
        return 1
    finally:
        if watcher is not None:
            watcher.stop()
        sandbox.close()
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
