#!/usr/bin/python3
"""The Windows build under Wine against the Linux build, in one run.

Usage: compare.py LINUX_DEMO WINDOWS_DEMO_EXE [HANDSHAKES] [COMMANDS] [SIGNATURES]

Starts each penmora-demo in turn (the Windows one through tests/wine/run.sh,
with the Wine prefix of the build folder that holds it) and measures,
from this Linux process over loopback:
  - handshakes per second, one connection after another on port 10001;
  - command to reply: "TavoStartSign" with the virtual pad unplugged, which
    answers TavoError (median and 99th percentile);
  - OK to the last byte of the image at the page: from the control
    endpoint's {"button": "OK"} to the whole TavoSignBase64 message received
    (median of SIGNATURES signatures of 40 pen points each);
  - the CPU time of an idle signing session over 10 s (the process; under
    Wine the wineserver's share as well).
Prints one line per figure and build, then the ratio Windows/Linux. Run it
where the fixed ports are free: unshare -n bash -c 'ip link set lo up; ...'.
"""
import asyncio
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import time

import websockets

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "demo"))
from control_endpoint_test import accepts  # noqa: E402  (whether a port takes connections)
RUN_UNDER_WINE = os.path.join(HERE, "..", "..", "tests", "wine", "run.sh")
PAGE = "ws://127.0.0.1:10001/"
CONTROL = "ws://127.0.0.1:10002/"
REQUEST = (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")


def masked_text_frame(text):
    data = text.encode()
    key = b"\x37\xfa\x21\x3d"
    assert len(data) < 126
    return bytes([0x81, 0x80 | len(data)]) + key + bytes(b ^ key[i % 4] for i, b in enumerate(data))


def read_until(s, marker):
    data = b""
    while marker not in data:
        chunk = s.recv(4096)
        if not chunk:
            raise RuntimeError("the connection ended")
        data += chunk
    return data


def read_frame(s):
    head = read_exact(s, 2)
    n = head[1] & 0x7F
    if n == 126:
        n = int.from_bytes(read_exact(s, 2), "big")
    elif n == 127:
        n = int.from_bytes(read_exact(s, 8), "big")
    return read_exact(s, n)


def read_exact(s, count):
    data = b""
    while len(data) < count:
        chunk = s.recv(count - len(data))
        if not chunk:
            raise RuntimeError("the connection ended")
        data += chunk
    return data


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wineserver_pids():
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/comm" % entry) as f:
                    if f.read().strip().startswith("wineserver"):
                        pids.append(int(entry))
            except OSError:
                pass
    return pids


def handshakes(count):
    start = time.perf_counter()
    for _ in range(count):
        with socket.create_connection(("127.0.0.1", 10001)) as s:
            s.sendall(REQUEST)
            if b" 101 " not in read_until(s, b"\r\n\r\n"):
                raise RuntimeError("handshake refused")
    return count / (time.perf_counter() - start)


def command_replies(count):
    frame = masked_text_frame('{"typeName":"TavoStartSign","message":{"penwidth":"3"}}')
    micros = []
    with socket.create_connection(("127.0.0.1", 10001)) as s:
        s.sendall(REQUEST)
        read_until(s, b"\r\n\r\n")
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for _ in range(count):
            start = time.perf_counter()
            s.sendall(frame)
            read_frame(s)
            micros.append((time.perf_counter() - start) * 1e6)
    micros.sort()
    return micros[len(micros) // 2], micros[len(micros) * 99 // 100]


async def expect(connection, wanted):
    while json.loads(await connection.recv()) != wanted:
        pass


async def open_session(control, page):
    await page.send(json.dumps({"typeName": "TavoStartSign", "message": {"penwidth": "3"}}))
    await expect(control, {"pad": "open"})


async def sync(control):
    """Control messages are applied in order; a malformed one is answered."""
    await control.send(json.dumps({"sync": True}))
    while "error" not in json.loads(await control.recv()):
        pass


async def set_plugged(plugged):
    async with websockets.connect(CONTROL) as control:
        await control.send(json.dumps({"plugged": plugged}))
        await sync(control)


async def signatures(count):
    millis = []
    async with websockets.connect(CONTROL, max_size=None) as control, \
            websockets.connect(PAGE, max_size=None, ping_interval=None, close_timeout=1) as page:
        for _ in range(count):
            await open_session(control, page)
            for i in range(40):
                x = round((100 + 8 * i + 0.5) * 10206 / 600)
                y = round((120 + (i * 37) % 90 + 0.5) * 7422 / 400)
                await control.send(json.dumps({"pen": [x, y, 700]}))
            await control.send(json.dumps({"pen": [1000, 1000, 0]}))
            await sync(control)  # every point is on the pad before OK
            start = time.perf_counter()
            await control.send(json.dumps({"button": "OK"}))
            while True:
                message = json.loads(await page.recv())
                if message["typeName"] == "TavoSignBase64":
                    break
            millis.append((time.perf_counter() - start) * 1e3)
            await expect(control, {"pad": "closed"})
    return statistics.median(millis)


async def idle_session_cpu(pid, seconds, wine):
    async with websockets.connect(CONTROL) as control, \
            websockets.connect(PAGE, ping_interval=None, close_timeout=1) as page:
        await open_session(control, page)
        await asyncio.sleep(1)  # the session's start is not idle time
        servers = wineserver_pids() if wine else []
        before = cpu_seconds(pid)
        server_before = sum(cpu_seconds(p) for p in servers)
        await asyncio.sleep(seconds)
        used = cpu_seconds(pid) - before
        server_used = sum(cpu_seconds(p) for p in servers) - server_before
        await page.send(json.dumps({"typeName": "TavoCloseSign"}))
        await expect(control, {"pad": "closed"})
    return used, server_used


def measure(command, wine, counts):
    if accepts(10001) or accepts(10002):
        raise RuntimeError("the ports are held by another program")
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    env["XDG_CONFIG_HOME"] = "/nonexistent"  # no autostart entry for the tester
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=env)
    try:
        deadline = time.monotonic() + 60
        while not accepts(10002):
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("%s did not start" % command[-1])
            time.sleep(0.1)
        figures = {"handshakes_per_second": handshakes(counts[0])}
        asyncio.run(set_plugged(False))
        figures["command_reply_median_us"], figures["command_reply_p99_us"] = \
            command_replies(counts[1])
        asyncio.run(set_plugged(True))
        figures["ok_to_image_median_ms"] = asyncio.run(signatures(counts[2]))
        cpu, server = asyncio.run(idle_session_cpu(process.pid, 10, wine))
        figures["idle_session_cpu_s_10s"] = cpu
        if wine:
            figures["idle_session_wineserver_cpu_s_10s"] = server
        return figures
    finally:
        process.send_signal(signal.SIGINT if wine else signal.SIGTERM)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    linux_demo, windows_demo = sys.argv[1], sys.argv[2]
    counts = [int(a) for a in sys.argv[3:6]] + [2000, 2000, 20][len(sys.argv[3:6]):]
    build = os.path.dirname(os.path.abspath(windows_demo))
    while not os.path.exists(os.path.join(build, "CMakeCache.txt")) and build != "/":
        build = os.path.dirname(build)
    subprocess.run([RUN_UNDER_WINE, "--start", build], check=True)
    linux = measure([linux_demo], False, counts)
    windows = measure([RUN_UNDER_WINE, build, windows_demo], True, counts)
    for name, value in linux.items():
        print("linux   %-36s %12.3f" % (name, value))
    for name, value in windows.items():
        print("wine    %-36s %12.3f" % (name, value))
    for name in linux:
        if linux[name] > 0:
            print("ratio   %-36s %12.2f  (wine / linux)" % (name, windows[name] / linux[name]))


if __name__ == "__main__":
    main()
