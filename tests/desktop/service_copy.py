"""Helpers for the tests that run the service executable: copies of it under
chosen file names in a temporary folder, an environment whose home (and so
whose autostart folder) lies in that folder, and checks of its WebSocket port.
"""
import asyncio
import os
import shutil
import subprocess
import tempfile
import time

import websockets

CLIENT_PORT = 10001


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


class Sandbox:
    """A temporary folder holding copies of the service and the user's home."""

    def __init__(self, executable):
        self.executable = executable
        self.root = tempfile.mkdtemp(prefix="penmora-desktop-")
        self.home = os.path.join(self.root, "home")
        self.config = os.path.join(self.home, "config")
        os.makedirs(self.config)
        self.processes = []

    def copy(self, folder, name):
        path = os.path.join(self.root, folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copy2(self.executable, path)
        return path

    def env(self, desktop, bus=True, accessible=False):
        """desktop: keep the display; bus: keep the session bus; accessible:
        let the test read the service's windows over the accessibility bus."""
        env = dict(os.environ)
        env["HOME"] = self.home
        env["XDG_CONFIG_HOME"] = self.config
        if not accessible:
            env["NO_AT_BRIDGE"] = "1"
        if not desktop:
            env.pop("DISPLAY", None)
            env.pop("WAYLAND_DISPLAY", None)
        if not desktop or not bus:
            env.pop("DBUS_SESSION_BUS_ADDRESS", None)
            env["XDG_RUNTIME_DIR"] = self.root  # holds no session bus
        return env

    def start(self, path, desktop, bus=True, accessible=False):
        process = subprocess.Popen([path], cwd=os.path.dirname(path),
                                   env=self.env(desktop, bus, accessible),
                                   stdin=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def autostart_program(self):
        """The program named by the Exec line of the autostart entry, or None."""
        entry = os.path.join(self.config, "autostart", "Penmora.exe.desktop")
        try:
            with open(entry, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except OSError:
            return None
        for line in lines:
            # Plain test paths: the quoted program needs no unescaping.
            if line.startswith('Exec="') and line.endswith('"'):
                return line[len('Exec="'):-1]
        return None

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise Failure("timed out waiting for " + what)


def handshake_succeeds(port=CLIENT_PORT):
    """True when a WebSocket client completes its handshake on the port."""
    async def attempt():
        try:
            ws = await websockets.connect("ws://127.0.0.1:%d/" % port, open_timeout=5,
                                          ping_interval=None, close_timeout=1,
                                          compression=None)
        except (OSError, asyncio.TimeoutError, websockets.WebSocketException):
            return False
        ws.transport.abort()
        return True
    return asyncio.run(attempt())


def exit_code(process, seconds, what):
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        raise Failure(what + " did not end")
