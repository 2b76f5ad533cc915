#!/usr/bin/python3
"""The x64 installer under Wine, in a prefix of this test's own.

Usage: msi_test.py BUILD_FOLDER VERSION

Installs the Windows build into a folder (cmake --install), makes its MSI and
one of a lower version with scripts/make-msi.sh, then, with msiexec /qn:
installs the older one and starts the service through its Start-menu
shortcut; upgrades, which ends that service and starts the new one, leaving
one installed product; checks the files, the shortcut with its working
folder and the Run value; uninstalls while the service runs, which ends it
and leaves only the log; installs again with the demo feature, whose demo
serves its page and delivers a signature through its control endpoint, and
uninstalls that; and installs with a (reduced) user interface, which starts
the service at its end. Prints one line per step.
"""

import asyncio
import getpass
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import websockets

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "demo"))
import control_endpoint_test as demo_cases  # noqa: E402
import msi_tables_test  # noqa: E402
from install_util import (SERVICE_PORT, START_FAILED, check_service_answers, open_page,  # noqa: E402
                          start_sign, wait_port)

WINE = "/usr/lib/wine/wine64"
RUN_SH = os.path.join(TOP, "tests", "wine", "run.sh")
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
CONTROL_PORT = 10002


class Prefix:
    """A Wine prefix with its own server, display and booted system."""

    def __init__(self, folder, build):
        self.env = dict(os.environ, WINEPREFIX=folder, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.folder = folder
        self.build = build
        try:
            subprocess.run(["sh", RUN_SH, "--start", build], env=self.env, check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            with open(os.path.join(folder, ".xvfb")) as display:
                self.env["DISPLAY"] = ":" + display.readline().strip()
        except BaseException:
            self.stop()
            raise
        self.user = os.path.join(folder, "drive_c", "users", getpass.getuser())

    def stop(self):
        subprocess.run(["sh", RUN_SH, "--stop", self.build], env=self.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def run(self, *arguments, check=True):
        # A file, not a pipe, for the output: a program started by this one
        # (msiexec starts the service) inherits it and would hold a pipe open.
        with tempfile.TemporaryFile() as output_file:
            code = subprocess.run([WINE] + list(arguments), env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=output_file,
                                  stderr=subprocess.STDOUT, timeout=180).returncode
            output_file.seek(0)
            output = output_file.read().decode(errors="replace")
        if check and code != 0:
            raise AssertionError("%s ended with %d: %s" % (arguments, code, output))
        return code, output

    def start(self, path):
        """Opens a file the way the desktop does (a shortcut starts its target
        in its working folder); returns at once."""
        self.run("start", "/unix", path)

    def msiexec(self, *arguments):
        started = time.monotonic()
        self.run("msiexec", *arguments)
        return time.monotonic() - started

    def products(self):
        return [line for line in self.run("uninstaller", "--list")[1].splitlines() if line.strip()]

    def run_value(self):
        """The data of the Run value "Penmora.exe", or None."""
        code, output = self.run("reg", "query", RUN_KEY, "/v", "Penmora.exe", check=False)
        if code != 0:
            return None
        for line in output.splitlines():
            fields = line.split(None, 2)
            if len(fields) == 3 and fields[0] == "Penmora.exe":
                assert fields[1] == "REG_SZ", line
                return fields[2].strip()
        raise AssertionError("reg query answered without the value: " + output)

    def native(self, windows):
        """The Linux path of a C:\\ path of this prefix."""
        assert windows[:3].upper() == "C:\\", windows
        return os.path.join(self.folder, "drive_c", *windows[3:].split("\\"))


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_shortcut(path):
    """The working folder and the target's local path of a shell link."""
    data = open(path, "rb").read()
    assert data[:4] == b"\x4c\x00\x00\x00", "not a shell link"
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    if flags & 0x01:  # an item ID list
        at += 2 + struct.unpack_from("<H", data, at)[0]
    target = None
    if flags & 0x02:  # link info, with the target's local base path
        size, _, info_flags, _, base = struct.unpack_from("<5I", data, at)
        if info_flags & 1:
            end = data.index(b"\0", at + base)
            target = data[at + base:end].decode("mbcs" if os.name == "nt" else "latin-1")
        at += size
    unicode = bool(flags & 0x80)
    strings = {}
    for bit, name in ((0x04, "name"), (0x08, "relative"), (0x10, "working"),
                      (0x20, "arguments"), (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, at)[0]
            width = 2 if unicode else 1
            raw = data[at + 2:at + 2 + count * width]
            strings[name] = raw.decode("utf-16-le" if unicode else "latin-1").rstrip("\0")
            at += 2 + count * width
    return target, strings.get("working")


def same_folder(a, b):
    return a.rstrip("\\").lower() == b.rstrip("\\").lower()


class Installer:
    def __init__(self, prefix):
        self.prefix = prefix
        local = os.path.join(prefix.user, "AppData", "Local", "Programs", "Penmora")
        self.folder = local
        self.exe = os.path.join(local, "penmora.exe")
        self.menu = os.path.join(prefix.user, "AppData", "Roaming", "Microsoft", "Windows",
                                 "Start Menu", "Programs")
        self.shortcut = os.path.join(self.menu, "Penmora.lnk")
        self.demo_shortcut = os.path.join(self.menu, "Penmora demo.lnk")

    def check_installed(self, version, with_demo):
        assert os.path.isfile(self.exe), "no penmora.exe in " + self.folder
        # The virtual reader never lies beside the service, where it would
        # hide the maker's library.
        assert not os.path.exists(os.path.join(self.folder, "ZAZAPIt.dll"))
        demo = os.path.join(self.folder, "demo")
        if with_demo:
            for name in ("penmora-demo.exe", "ZAZAPIt.dll", os.path.join("web", "index.html"),
                         os.path.join("web", "penmora.js")):
                assert os.path.isfile(os.path.join(demo, name)), "no demo file " + name
        else:
            assert not os.path.exists(demo), "the demo was installed without being chosen"
            assert not os.path.exists(self.demo_shortcut)
        # The shortcut starts penmora.exe in its own folder.
        target, working = read_shortcut(self.shortcut)
        assert target is not None and os.path.samefile(self.prefix.native(target), self.exe), target
        assert working and same_folder(working, target.rsplit("\\", 1)[0]), (working, target)
        if with_demo:
            target, working = read_shortcut(self.demo_shortcut)
            assert os.path.samefile(self.prefix.native(target),
                                    os.path.join(demo, "penmora-demo.exe")), target
            assert same_folder(working, target.rsplit("\\", 1)[0]), (working, target)
        # The Run value, as the service writes it: the installed executable's path.
        value = self.prefix.run_value()
        assert value is not None, "no Run value"
        assert os.path.samefile(self.prefix.native(value), self.exe), value
        products = self.prefix.products()
        assert len(products) == 1 and products[0].endswith("|Penmora"), products
        code, output = self.prefix.run("reg", "query", r"HKCU\Software\Penmora", "/v", "Service",
                                       check=False)
        assert code == 0 and version in output, output

    def check_removed(self):
        for path in (self.exe, self.shortcut, self.demo_shortcut):
            assert not os.path.exists(path), "left behind: " + path
        assert self.prefix.run_value() is None, "the Run value was left"
        assert self.prefix.products() == [], self.prefix.products()
        # The log folders are the user's data and stay; nothing else does.
        left = [os.path.relpath(os.path.join(root, name), self.folder)
                for root, _, names in os.walk(self.folder) for name in names]
        assert any(name.startswith("log" + os.sep) for name in left), "the log was removed"
        kept = ("log" + os.sep, os.path.join("demo", "log") + os.sep)
        assert all(name.startswith(kept) for name in left), "left behind: %s" % left


async def still_open(connection):
    """Whether the service on the other end still answers."""
    try:
        return await start_sign(connection) == START_FAILED
    except (websockets.ConnectionClosed, asyncio.TimeoutError, OSError):
        return False


def main():
    build, version = os.path.abspath(sys.argv[1]), sys.argv[2]
    older = "0.0.1"
    assert tuple(map(int, version.split("."))) > (0, 0, 1), version
    for port in (SERVICE_PORT, CONTROL_PORT):
        if demo_cases.accepts(port):
            print("port %d is held by another program" % port)
            return 1
    work = tempfile.mkdtemp(prefix="install-test.", dir=build)
    begun = time.monotonic()
    prefix = None
    try:
        dist = os.path.join(work, "dist")
        subprocess.run([os.environ.get("CMAKE", "cmake"), "--install", build, "--prefix", dist],
                       check=True, stdout=subprocess.DEVNULL)
        msi = os.path.join(work, "penmora-%s-x64.msi" % version)
        old_msi = os.path.join(work, "penmora-%s-x64.msi" % older)
        make = os.path.join(TOP, "scripts", "make-msi.sh")
        for output, which in ((msi, version), (old_msi, older)):
            made = subprocess.run(["bash", make, "x64", dist, output, which],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            assert made.returncode == 0, made.stdout.decode()
        msi_tables_test.check(msi, "x64", version)
        print("ok      MSIs made, their tables checked (%.0f s)" % (time.monotonic() - begun))

        prefix = Prefix(os.path.join(work, "prefix"), build)
        installer = Installer(prefix)
        print("ok      prefix booted (%.0f s)" % (time.monotonic() - begun))

        prefix.msiexec("/i", windows_path(old_msi), "/qn")
        installer.check_installed(older, with_demo=False)
        # A silent install starts nothing; the shortcut starts the service.
        assert not demo_cases.accepts(SERVICE_PORT), "a silent install started the service"
        prefix.start(installer.shortcut)
        wait_port(SERVICE_PORT, True)
        check_service_answers()
        print("ok      %s installed and started from its shortcut" % older)

        async def upgrade():
            before = await open_page()
            assert await start_sign(before) == START_FAILED
            prefix.msiexec("/i", windows_path(msi), "/qn")
            # The old service was ended: its connection is gone.
            assert not await still_open(before), "the old service still runs"
        asyncio.run(upgrade())
        installer.check_installed(version, with_demo=False)
        # And the new one was started.
        wait_port(SERVICE_PORT, True)
        check_service_answers()
        print("ok      upgraded to %s: one product, the service restarted" % version)

        prefix.msiexec("/x", windows_path(msi), "/qn")
        wait_port(SERVICE_PORT, False, 30)
        installer.check_removed()
        print("ok      uninstalled: the service ended, only the log left")

        prefix.msiexec("/i", windows_path(msi), "ADDLOCAL=ALL", "/qn")
        installer.check_installed(version, with_demo=True)
        prefix.start(installer.demo_shortcut)
        wait_port(CONTROL_PORT, True)
        wait_port(SERVICE_PORT, True)
        asyncio.run(asyncio.wait_for(demo_cases.case_page_files(), 120))
        asyncio.run(asyncio.wait_for(demo_cases.case_signature(), 120))
        # The demo leaves the Run value to the service it was installed with.
        value = prefix.run_value()
        assert value is not None and os.path.samefile(prefix.native(value), installer.exe), value
        print("ok      the demo feature serves its page and delivers a signature, and the "
              "Run value still names the service")

        prefix.msiexec("/x", windows_path(msi), "/qn")
        wait_port(CONTROL_PORT, False, 30)
        wait_port(SERVICE_PORT, False, 30)
        installer.check_removed()
        assert os.listdir(os.path.join(installer.folder, "demo", "log")), "the demo's log"
        print("ok      the demo uninstalled while running: ended, only its log left")

        # An install with a user interface (reduced: progress only) starts
        # the service at its end.
        prefix.msiexec("/i", windows_path(msi), "/qr")
        wait_port(SERVICE_PORT, True)
        check_service_answers()
        prefix.msiexec("/x", windows_path(msi), "/qn")
        wait_port(SERVICE_PORT, False, 30)
        installer.check_removed()
        print("ok      an interactive install starts the service")
        print("all installer steps passed in %.0f s" % (time.monotonic() - begun))
        return 0
    except Exception:
        import traceback
        traceback.print_exc()
        print("FAILED after %.0f s" % (time.monotonic() - begun))
        return 1
    finally:
        if prefix is not None:
            prefix.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
