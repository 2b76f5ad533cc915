#!/usr/bin/python3
"""The service on a Windows desk, under Wine: started as a real desktop starts
it, not as a developer does.

Usage: desk_test.py BUILD_FOLDER PENMORA_EXE DEMO_EXE READER_DLL

Each case puts copies of penmora-demo.exe (the service over the virtual pad),
the virtual reader beside it as ZAZAPIt.dll and penmora.exe into a folder of
its own, starts them through the Wine runner (PENMORA_LAUNCHER) and plays the
page and the signer with python3-websockets on this side:

- port 843 held by another program, as when a second user of the PC is logged
  on: the service uses (almost) no processor over 10 s, still delivers a
  signature on 10001, and its log names the port with the system's code;
- a start with C:\\windows\\system32 as working folder, as a start at logon may
  get: the fingerprint is delivered from the reader beside the executable, and
  finger.png goes there, not into the system folder; a start in a folder that
  holds its own reader keeps that folder;
- a user folder whose name holds letters the ANSI code page lacks
  (C:\\users\\Łukasz张三\\Programs\\Penmora, with LANG=C.UTF-8: code page 1252):
  a signature, a fingerprint and both together are delivered, the day's log
  is written in that folder, and penmora.exe's Run value names its path.

Prints one line per case and "N passed, N failed".
"""

import asyncio
import contextlib
import glob
import json
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "demo"))
import control_endpoint_test as demo_cases  # noqa: E402
from control_endpoint_test import accepts  # noqa: E402

import websockets  # noqa: E402

LAUNCHER = shlex.split(os.environ.get("PENMORA_LAUNCHER", ""))
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
POLICY_PORT = 843
SERVICE_PORT = 10001
CONTROL_PORT = 10002
# Winsock's code for a port that another socket holds.
WSAEADDRINUSE = 10048
# A user's folder in the prefix, with letters of neither code page 1252 nor
# code page 936 (Ł) and of code page 936 only (张三).
USER_NAME = "\u0141ukasz\u5f20\u4e09"
CPU_WINDOW = 10.0  # seconds
CPU_LIMIT = 0.1  # seconds of processor time in that window


class Setup:
    def __init__(self, build, service, demo, reader):
        self.build = build
        self.service, self.demo, self.reader = service, demo, reader
        self.prefix = os.environ.get("WINEPREFIX", os.path.join(build, "wine-prefix"))

    def install(self, folder, with_service=False):
        """Copies the demo, the virtual reader beside it and (when asked) the
        service into `folder`; returns the folder."""
        os.makedirs(folder, exist_ok=True)
        shutil.copy(self.demo, os.path.join(folder, "penmora-demo.exe"))
        shutil.copy(self.reader, os.path.join(folder, "ZAZAPIt.dll"))
        if with_service:
            shutil.copy(self.service, os.path.join(folder, "penmora.exe"))
        return folder

    def native(self, windows):
        """The Linux path of a path of the prefix (C:\\...) or of Z:\\..."""
        drive, rest = windows[:3].upper(), windows[3:].split("\\")
        if drive == "Z:\\":
            return os.path.join("/", *rest)
        assert drive == "C:\\", windows
        return os.path.join(self.prefix, "drive_c", *rest)


class Program:
    """A Windows program of the build under Wine, started in `folder`."""

    def __init__(self, exe, folder, env=None):
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(LAUNCHER + [exe], cwd=folder, stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT,
                                        env=env or os.environ)

    def wait_port(self, port, seconds=60.0):
        deadline = time.monotonic() + seconds
        while not accepts(port):
            if self.process.poll() is not None:
                raise AssertionError("ended with %d before port %d opened:\n%s"
                                     % (self.process.returncode, port, self.text()))
            assert time.monotonic() < deadline, "port %d did not open:\n%s" % (port, self.text())
            time.sleep(0.1)

    def cpu_seconds(self):
        """Processor time of the process (every thread), user and system."""
        with open("/proc/%d/stat" % self.process.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def text(self):
        self.output.seek(0)
        return self.output.read().decode(errors="replace")

    def stop(self):
        # Wine hands SIGINT to the program as Ctrl+C, which ends it with 0.
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.output.close()


@contextlib.contextmanager
def running(exe, folder, port, env=None):
    """The program `exe` started in `folder`, once it listens on `port`;
    stopped when the block ends."""
    program = Program(exe, folder, env)
    try:
        program.wait_port(port)
        yield program
    finally:
        program.stop()


def fingerprint_from(demo_folder, start_folder):
    """The demo of `demo_folder`, started in `start_folder`, delivers a
    fingerprint alone."""
    with running(os.path.join(demo_folder, "penmora-demo.exe"), start_folder, CONTROL_PORT):
        run(demo_cases.case_fingerprint_alone())


def todays_logs(folder):
    """Every day's log in `folder`\\log, joined (a run across midnight has two)."""
    text = b""
    for path in sorted(glob.glob(os.path.join(folder, "log", "*.txt"))):
        with open(path, "rb") as log:
            text += log.read()
    return text


def run(coroutine):
    asyncio.run(asyncio.wait_for(coroutine, 120))


async def refused_start(expected_text):
    """TavoStartSign to a service without a pad: its refusal."""
    async with websockets.connect("ws://127.0.0.1:%d" % SERVICE_PORT, open_timeout=30) as page:
        await page.send(json.dumps({"typeName": "TavoStartSign",
                                    "message": {"penwidth": "3"}}))
        answer = json.loads(await asyncio.wait_for(page.recv(), 30))
    assert answer == {"typeName": "TavoError", "message": expected_text}, answer


def case_busy_policy_port(setup, work):
    folder = setup.install(os.path.join(work, "policy"))
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # An earlier test's policy answers leave connections of port 843 in
    # TIME_WAIT for a minute; they must not keep the holder from its port.
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        try:
            holder.bind(("0.0.0.0", POLICY_PORT))
            holder.listen(1)
        except PermissionError:
            pass  # without privileges the service cannot bind it either
        with running(os.path.join(folder, "penmora-demo.exe"), folder, CONTROL_PORT) as demo:
            demo.wait_port(SERVICE_PORT)
            before = demo.cpu_seconds()
            time.sleep(CPU_WINDOW)
            used = demo.cpu_seconds() - before
            assert used < CPU_LIMIT, "%.2f s of processor time in %.0f s" % (used, CPU_WINDOW)
            run(demo_cases.case_signature())
        log = todays_logs(folder)
        line = b"port %d could not be opened: system error %d" % (POLICY_PORT, WSAEADDRINUSE)
        assert line in log, log.decode("latin-1")
        assert b"port %d " % SERVICE_PORT not in log, log.decode("latin-1")
        print("        %.3f s of processor time in %.0f s" % (used, CPU_WINDOW))
    finally:
        holder.close()


def case_started_in_the_system_folder(setup, work):
    folder = setup.install(os.path.join(work, "logon"))
    system = os.path.join(setup.prefix, "drive_c", "windows", "system32")
    assert os.path.isdir(system), system
    assert not os.path.exists(os.path.join(system, "ZAZAPIt.dll"))
    stray = os.path.join(system, "finger.png")
    if os.path.exists(stray):
        os.remove(stray)
    fingerprint_from(folder, system)
    assert os.path.isfile(os.path.join(folder, "finger.png")), os.listdir(folder)
    assert not os.path.exists(stray), "finger.png was written into the system folder"


def case_a_folder_with_its_own_reader_is_kept(setup, work):
    folder = setup.install(os.path.join(work, "program"))
    own = os.path.join(work, "own-reader")
    os.makedirs(own)
    shutil.copy(setup.reader, os.path.join(own, "ZAZAPIt.dll"))
    fingerprint_from(folder, own)
    assert os.path.isfile(os.path.join(own, "finger.png")), os.listdir(own)
    assert not os.path.exists(os.path.join(folder, "finger.png"))


def run_value(setup, work, env):
    """The data of the Run value "Penmora.exe", read as stored (UTF-16)."""
    exported = os.path.join(work, "run.reg")
    done = subprocess.run(LAUNCHER + ["reg", "export", RUN_KEY, "Z:" + exported.replace("/", "\\"),
                                      "/y"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=env, timeout=120)
    assert done.returncode == 0, done.stdout.decode(errors="replace")
    with open(exported, "rb") as f:
        text = f.read().decode("utf-16")
    for line in text.splitlines():
        if line.startswith('"Penmora.exe"="'):
            return json.loads(line.split("=", 1)[1])  # a .reg string escapes as JSON does
    raise AssertionError("no Run value: " + text)


def case_a_user_folder_outside_the_ansi_code_page(setup, work):
    folder = os.path.join(setup.prefix, "drive_c", "users", USER_NAME, "Programs", "Penmora")
    shutil.rmtree(os.path.dirname(os.path.dirname(folder)), ignore_errors=True)
    setup.install(folder, with_service=True)
    # Code page 1252 as the ANSI code page: neither Ł nor 张三 are in it.
    env = dict(os.environ, LANG="C.UTF-8")
    env.pop("LC_ALL", None)
    try:
        with running(os.path.join(folder, "penmora-demo.exe"), folder, CONTROL_PORT, env):
            run(demo_cases.case_signature())
            run(demo_cases.case_fingerprint_alone())
            run(demo_cases.case_signature_with_fingerprint())
        log = todays_logs(folder)
        assert b"recv message: : " in log and b"TavoStartSignFinger" in log, log

        with running(os.path.join(folder, "penmora.exe"), folder, SERVICE_PORT, env):
            run(refused_start(demo_cases.ERROR_TEXT))
            value = run_value(setup, work, env)
        assert os.path.samefile(setup.native(value), os.path.join(folder, "penmora.exe")), value
        assert USER_NAME in value, value
        # The service's own line: "打开设备失败" in code page 936, as always.
        log = todays_logs(folder)
        assert "打开设备失败".encode("gbk") in log, log.decode("gbk", errors="replace")
    finally:
        shutil.rmtree(os.path.dirname(os.path.dirname(folder)), ignore_errors=True)


CASES = [
    case_busy_policy_port,
    case_started_in_the_system_folder,
    case_a_folder_with_its_own_reader_is_kept,
    case_a_user_folder_outside_the_ansi_code_page,
]


def passes(case, setup, work):
    """Runs one case and prints its outcome."""
    begun = time.monotonic()
    try:
        case(setup, work)
        print("ok      %s (%.0f s)" % (case.__name__, time.monotonic() - begun))
        return True
    except Exception:
        print("FAILED  %s" % case.__name__)
        traceback.print_exc()
        return False
    finally:
        sys.stdout.flush()


def main():
    setup = Setup(*[os.path.abspath(argument) for argument in sys.argv[1:5]])
    assert LAUNCHER, "PENMORA_LAUNCHER must name the Wine runner"
    for port in (SERVICE_PORT, CONTROL_PORT):
        if accepts(port):
            print("port %d is held by another program" % port)
            return 1
    work = tempfile.mkdtemp(prefix="desk-test.")
    try:
        results = [passes(case, setup, work) for case in CASES]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (results.count(True), results.count(False)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
