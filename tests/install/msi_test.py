#!/usr/bin/python3
"""The x64 installer under Wine, in a prefix of this test's own, and the x86
installer over it.

Usage: msi_test.py BUILD_FOLDER VERSION [X86_MSI]

Installs the Windows build into a folder (cmake --install), makes its MSI,
the same MSI built again (a new ProductCode) and one of a lower version with
scripts/make-msi.sh, all signed with a throwaway certificate, and checks
their signatures; then, with msiexec /qn: installs the older one and starts
the service through its Start-menu shortcut; upgrades, which ends that
service and starts the new one, leaving one installed product; installs the
same version built again over it, with the same result; checks the files
(the license among them), the shortcut with its working folder and the Run
value; uninstalls while the service runs, which ends it and leaves only the
log; installs again with the demo feature, whose demo serves its page and
delivers a signature through its control endpoint, and uninstalls that;
installs with a (reduced) user interface, which starts the service at its
end; and, when X86_MSI exists, installs the x86 package of the same version
over the x64 one, which replaces it, and uninstalls it. Prints one line per
step.
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
import msi_rules  # noqa: E402
import msi_tables_test  # noqa: E402
import signing  # noqa: E402
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

    def check_installed(self, version, with_demo, product=None):
        assert os.path.isfile(self.exe), "no penmora.exe in " + self.folder
        with open(os.path.join(TOP, "LICENSE"), "rb") as license_file:
            installed = os.path.join(self.folder, "LICENSE.txt")
            assert open(installed, "rb").read() == license_file.read(), "the license"
        # The virtual reader never lies beside the service, where it would
        # hide the maker's library.
        assert not os.path.exists(os.path.join(self.folder, "ZAZAPIt.dll"))
        demo = os.path.join(self.folder, "demo")
        if with_demo:
            for name in ("penmora-demo.exe", "ZAZAPIt.dll", os.path.join("web", "index.html"),
                         os.path.join("web", "penmora.js")):
                assert os.path.isfile(os.path.join(demo, name)), "no demo file " + name
        else:
            # A demo that ran before left its log, as the user's data.
            assert not os.path.exists(demo) or os.listdir(demo) == ["log"], \
                "the demo was installed without being chosen"
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
        assert product is None or products[0].startswith(product + "|"), (product, products)
        code, output = self.prefix.run("reg", "query", r"HKCU\Software\Penmora", "/v", "Service",
                                       check=False)
        assert code == 0 and version in output, output

    def check_removed(self):
        for path in (self.exe, os.path.join(self.folder, "LICENSE.txt"), self.shortcut,
                     self.demo_shortcut):
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


def make_msis(build, work, version, older, signing_keys):
    """Installs the build into work/dist and makes its MSIs, signed with a
    throwaway certificate: this version, the same version again (another
    build: a new ProductCode), and an older one. Checks every signature."""
    dist = os.path.join(work, "dist")
    subprocess.run([os.environ.get("CMAKE", "cmake"), "--install", build, "--prefix", dist],
                   check=True, stdout=subprocess.DEVNULL)
    environment, certificate = signing.make_certificate(signing_keys)
    msis = {}
    for name, which in (("current", version), ("rebuilt", version), ("older", older)):
        msis[name] = os.path.join(work, "penmora-%s-x64-%s.msi" % (which, name))
        made = subprocess.run(["bash", os.path.join(TOP, "scripts", "make-msi.sh"), "x64", dist,
                               msis[name], which], env=dict(os.environ, **environment),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        assert made.returncode == 0, made.stdout.decode()
    for path in list(msis.values()) + [os.path.join(dist, "penmora.exe"),
                                       os.path.join(dist, "demo", "penmora-demo.exe")]:
        signing.verify(path, certificate)
    msi_tables_test.check(msis["current"], "x64", version)
    assert product_code(msis["current"]) != product_code(msis["rebuilt"])
    return msis


def product_code(msi):
    return {row[0]: row[1] for row in msi_rules.table(msi, "Property")}["ProductCode"]


def machine(path):
    data = open(path, "rb").read()
    return struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4)[0]


def life_cycle(prefix, installer, msis, version, older):
    """Install, start, upgrade, replace by another build of the same
    version, uninstall; the demo feature; an interactive install."""
    msi = msis["current"]
    prefix.msiexec("/i", windows_path(msis["older"]), "/qn")
    installer.check_installed(older, with_demo=False)
    # A silent install starts nothing; the shortcut starts the service.
    assert not demo_cases.accepts(SERVICE_PORT), "a silent install started the service"
    prefix.start(installer.shortcut)
    wait_port(SERVICE_PORT, True)
    check_service_answers()
    print("ok      %s installed and started from its shortcut" % older)

    def replace_running(by):
        async def replace():
            before = await open_page()
            assert await start_sign(before) == START_FAILED
            prefix.msiexec("/i", windows_path(by), "/qn")
            # The old service was ended: its connection is gone.
            assert not await still_open(before), "the old service still runs"
        asyncio.run(replace())
        installer.check_installed(version, with_demo=False, product=product_code(by))
        # And the new one was started.
        wait_port(SERVICE_PORT, True)
        check_service_answers()

    replace_running(msi)
    print("ok      upgraded to %s: one product, the service restarted" % version)
    # Another build of the same version (a new ProductCode) replaces the
    # installed one instead of installing beside it.
    replace_running(msis["rebuilt"])
    print("ok      the same version built again replaces it: one product, the service restarted")

    prefix.msiexec("/x", windows_path(msis["rebuilt"]), "/qn")
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
    # the service at its end; IT's list of sites comes with it.
    prefix.msiexec("/i", windows_path(msi), "ALLOWED_ORIGINS=https://shop.example,https://pay.example",
                   "/qr")
    wait_port(SERVICE_PORT, True)
    check_service_answers()
    code, output = prefix.run("reg", "query", r"HKCU\Software\Penmora", "/v", "AllowedOrigins",
                              check=False)
    assert code == 0 and "https://shop.example,https://pay.example" in output, output
    asyncio.run(asyncio.wait_for(sites_answered(), 120))
    prefix.msiexec("/x", windows_path(msi), "/qn")
    wait_port(SERVICE_PORT, False, 30)
    installer.check_removed()
    code, output = prefix.run("reg", "query", r"HKCU\Software\Penmora", "/v", "AllowedOrigins",
                              check=False)
    assert code != 0, "the list was left: " + output
    print("ok      an interactive install with ALLOWED_ORIGINS starts the service, which "
          "serves the listed sites and refuses a null origin; uninstalled, the list goes too")


async def sites_answered():
    """A listed site is served as a page of this computer is; a page
    without an origin of its own ("null", which is never asked about: a
    site nobody listed would raise the question's box on the prefix's
    desktop and wait for an answer) is refused with "TavoDenied"."""
    for origin, expected in (("https://pay.example", "TavoError"), ("null", "TavoDenied")):
        connection = await websockets.connect("ws://127.0.0.1:%d" % SERVICE_PORT, origin=origin,
                                              open_timeout=30)
        try:
            answer = await start_sign(connection)
        finally:
            await connection.close()
        assert answer["typeName"] == expected, (origin, answer)


def other_architecture(prefix, installer, msi, x86_msi, version):
    """The x86 package of the same version over the installed x64 one: it
    replaces it (no 32-bit program runs here, so its service does not
    start)."""
    prefix.msiexec("/i", windows_path(msi), "/qn")
    installer.check_installed(version, with_demo=False, product=product_code(msi))
    assert machine(installer.exe) == msi_tables_test.MACHINE["x64"]
    prefix.msiexec("/i", windows_path(x86_msi), "/qn")
    installer.check_installed(version, with_demo=False, product=product_code(x86_msi))
    assert machine(installer.exe) == msi_tables_test.MACHINE["x86"], "penmora.exe was not replaced"
    print("ok      the x86 %s over the x64 one: one product, its files and the Run value" % version)
    prefix.msiexec("/x", windows_path(x86_msi), "/qn")
    installer.check_removed()
    print("ok      the x86 one uninstalled: only the log left")


def main():
    build, version = os.path.abspath(sys.argv[1]), sys.argv[2]
    x86_msi = sys.argv[3] if len(sys.argv) > 3 else None
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
        keys = os.path.join(work, "keys")
        os.mkdir(keys)
        msis = make_msis(build, work, version, older, keys)
        print("ok      MSIs made and signed, their signatures and tables checked (%.0f s)"
              % (time.monotonic() - begun))

        prefix = Prefix(os.path.join(work, "prefix"), build)
        installer = Installer(prefix)
        print("ok      prefix booted (%.0f s)" % (time.monotonic() - begun))

        life_cycle(prefix, installer, msis, version, older)
        if x86_msi and os.path.isfile(x86_msi):
            other_architecture(prefix, installer, msis["current"], x86_msi, version)
        elif x86_msi:
            print("skip    no %s: test.sh makes it (the x86 MSI over the x64 one)" % x86_msi)
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
