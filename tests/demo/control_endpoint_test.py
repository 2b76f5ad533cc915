#!/usr/bin/python3
"""The demo's control endpoint, driven by a client that is not the page.

Starts penmora-demo (the path is the first argument; through the command in
PENMORA_LAUNCHER when that is set, as Wine runs a Windows build), plays the signer through
ws://127.0.0.1:10002/ with python3-websockets and plays the integrator's page
on ws://127.0.0.1:10001, then checks what each side hears. Also fetches the
page files over HTTP. Prints one line per case and "N passed, N failed".
"""

import asyncio
import base64
import io
import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

import websockets
from PIL import Image

CONTROL = "ws://127.0.0.1:10002/"
SERVICE = "ws://127.0.0.1:10001"
WAIT = 60.0  # seconds any one expected event may take on a loaded machine

SANITIZER_REPORT = "WARNING: ThreadSanitizer"
ERROR_TEXT = "\u5f00\u59cb\u7b7e\u5b57\u5931\u8d25"  # the TavoError message


def feature(code, accepted=True):
    return {"feature": "06 %02X 00 00 00 00 00 00 00 00" % code, "accepted": accepted}


class Peer:
    """One WebSocket connection whose messages are collected by a reader task."""

    def __init__(self, connection):
        self.connection = connection
        self.queue = asyncio.Queue()
        self.task = asyncio.ensure_future(self._read())

    async def _read(self):
        try:
            async for message in self.connection:
                await self.queue.put(message)
        except websockets.ConnectionClosed:
            pass
        await self.queue.put(None)

    async def send(self, obj):
        await self.connection.send(obj if isinstance(obj, (str, bytes)) else json.dumps(obj))

    async def next(self, timeout=WAIT):
        message = await asyncio.wait_for(self.queue.get(), timeout)
        assert message is not None, "the connection closed"
        return message

    async def next_json(self, timeout=WAIT):
        return json.loads(await self.next(timeout))

    async def expect(self, wanted, timeout=WAIT):
        """Reads until an object equal to `wanted` arrives; returns what came before."""
        before = []
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            assert left > 0, "did not receive %s; got %s" % (wanted, before)
            event = await self.next_json(left)
            if event == wanted:
                return before
            before.append(event)

    async def expect_error(self, timeout=WAIT):
        """Reads until an error answer arrives; returns the events before it."""
        before = []
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            assert left > 0, "no error answer; got %s" % before
            event = await self.next_json(left)
            if "error" in event:
                return before
            before.append(event)

    async def close(self):
        await self.connection.close()
        self.task.cancel()


async def control(origin=None):
    peer = Peer(await websockets.connect(CONTROL, origin=origin, max_size=None))
    return peer


async def page():
    return Peer(await websockets.connect(SERVICE, max_size=None))


async def sync(ctl):
    """Control messages of one connection are applied in order, and a malformed
    one is answered: its answer means every earlier message has been applied.
    Returns the events that came before the answer."""
    await ctl.send({"sync": True})
    return await ctl.expect_error()


def png_of(message, type_name):
    obj = json.loads(message)
    assert obj["typeName"] == type_name, obj["typeName"]
    text = obj["message"]
    assert "=" not in text, "the service sends Base64 without padding"
    data = base64.b64decode(text + "=" * (-len(text) % 4), validate=True)
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    image = Image.open(io.BytesIO(data))
    image.load()
    return image


def alpha_counts(image):
    """Pixels fully transparent, and pixels with some ink."""
    assert image.mode == "RGBA", image.mode
    histogram = image.getchannel("A").histogram()
    return histogram[0], sum(histogram[1:])


def raw_point(column, row):
    """Raw pad units whose scaled values are this column and row."""
    return round((column + 0.5) * 10206 / 600), round((row + 0.5) * 7422 / 400)


async def draw_stroke(ctl, pressure=700):
    for i in range(40):
        x, y = raw_point(100 + 8 * i, 120 + (i * 37) % 90)
        await ctl.send({"pen": [x, y, pressure]})
    x, y = raw_point(420, 150)
    await ctl.send({"pen": [x, y, 0]})


async def start_sign(svc, ctl, finger=False):
    if finger:
        await svc.send({"typeName": "TavoStartSignFinger",
                        "message": {"penwidth": "4", "quality": "20"}})
    else:
        await svc.send({"typeName": "TavoStartSign", "message": {"penwidth": "4"}})
    await ctl.expect({"pad": "open"})
    await ctl.expect(feature(1))


# ---- Cases ------------------------------------------------------------------

def http_get(path, method="GET"):
    with socket.create_connection(("127.0.0.1", 10002), timeout=WAIT) as s:
        s.sendall(("%s %s HTTP/1.1\r\nHost: 127.0.0.1:10002\r\n\r\n" % (method, path)).encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), headers, body


async def case_page_files():
    status, headers, body = http_get("/")
    assert status == 200 and headers["content-type"].startswith("text/html"), (status, headers)
    assert b'<canvas id="pad"' in body and b"demo.js" in body
    assert int(headers["content-length"]) == len(body)
    for path, kind in [("/penmora.js", "text/javascript"), ("/demo.js", "text/javascript"),
                       ("/demo.css", "text/css"), ("/index.html", "text/html")]:
        status, headers, body = http_get(path)
        assert status == 200 and headers["content-type"].startswith(kind), (path, status)
        assert len(body) > 0
    status, _, body = http_get("/penmora.js?v=2")
    assert status == 200 and b"export class Penmora" in body
    for path in ["/../CMakeLists.txt", "/package.json", "/node_modules/", "/%2e%2e/run.sh",
                 "/etc/passwd", "//index.html"]:
        assert http_get(path)[0] == 404, path
    assert http_get("/", "POST")[0] == 405
    status, headers, body = http_get("/", "HEAD")
    assert status == 200 and body == b"" and int(headers["content-length"]) > 0


async def case_loopback_only():
    # The listening socket of port 10002 (0x2712) is bound to 127.0.0.1 alone.
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    listeners = [r[1] for r in rows if r[3] == "0A" and r[1].endswith(":2712")]
    assert listeners == ["0100007F:2712"], listeners


async def case_foreign_origin_refused():
    try:
        await websockets.connect(CONTROL, origin="http://example.com")
    except websockets.InvalidStatusCode as refused:
        assert refused.status_code == 403
    else:
        raise AssertionError("a page of another site opened a control connection")
    ctl = await control(origin="http://127.0.0.1:10002")
    await sync(ctl)
    await ctl.close()


async def case_signature():
    ctl, other, svc = await control(), await control(), await page()
    await start_sign(svc, ctl)
    await other.expect({"pad": "open"})  # events go to every control client
    await other.expect(feature(1))
    # The pen report of the protocol's example, raw bytes included.
    await ctl.send({"report": "02 00 EE 13 FE 0E 00 01"})
    await ctl.send({"report": "0200f013000f0001"})
    await draw_stroke(ctl)
    await ctl.send({"button": "OK"})
    image = png_of(await svc.next(), "TavoSignBase64")
    assert json.loads(await svc.next()) == {"typeName": "TavoOK"}
    assert image.size == (600, 355), image.size
    transparent, opaque = alpha_counts(image)
    assert transparent > 600 * 355 // 2 and opaque > 50, (transparent, opaque)
    await ctl.expect(feature(4))
    await ctl.expect({"pad": "closed"})
    await other.expect({"pad": "closed"})
    for peer in (ctl, other, svc):
        await peer.close()


async def case_clear_cancel_and_raw_button():
    ctl, svc = await control(), await page()
    await start_sign(svc, ctl)
    await draw_stroke(ctl)
    await ctl.send({"button": "CL"})
    assert json.loads(await svc.next()) == {"typeName": "TavoClear"}
    await ctl.send({"report": "02 80 4F 4B"})  # OK as raw bytes, nothing drawn since Clear
    unsign = json.loads(await svc.next())
    assert unsign["typeName"] == "TavoUnSign", unsign
    await ctl.expect(feature(1))  # the pad is asked to sign again
    await ctl.send({"button": "CNCL"})
    assert json.loads(await svc.next()) == {"typeName": "TavoCancel"}
    await ctl.expect(feature(4))
    await ctl.expect({"pad": "closed"})
    await ctl.close()
    await svc.close()


async def case_input_while_closed_is_dropped():
    ctl, svc = await control(), await page()
    # Pressed and drawn on the closed pad: the next session never sees it.
    await ctl.send({"button": "CNCL"})
    await draw_stroke(ctl)
    await ctl.send({"button": "OK"})
    await sync(ctl)
    await start_sign(svc, ctl)
    # The first thing the page hears is what was done after the opening.
    await ctl.send({"button": "CL"})
    assert await svc.next_json() == {"typeName": "TavoClear"}
    await ctl.send({"button": "CNCL"})
    assert await svc.next_json() == {"typeName": "TavoCancel"}
    await ctl.expect({"pad": "closed"})
    await ctl.close()
    await svc.close()


async def case_refused_command():
    ctl, svc = await control(), await page()
    await ctl.send({"refuse": [1, 4]})
    await sync(ctl)
    await svc.send({"typeName": "TavoStartSign", "message": {"penwidth": "3"}})
    error = await svc.next_json()
    assert error == {"typeName": "TavoError", "message": ERROR_TEXT}, error
    await ctl.expect({"pad": "open"})
    await ctl.expect(feature(1, accepted=False))
    await svc.send({"typeName": "TavoCloseSign"})
    await ctl.expect(feature(4, accepted=False))  # refused, and released all the same
    await ctl.expect({"pad": "closed"})
    await ctl.send({"refuse": []})
    await sync(ctl)
    await start_sign(svc, ctl)
    await svc.send({"typeName": "TavoCloseSign"})
    await ctl.expect(feature(4))
    await ctl.expect({"pad": "closed"})
    await ctl.close()
    await svc.close()


async def case_unplugged():
    ctl, svc = await control(), await page()
    await ctl.send({"plugged": False})
    await sync(ctl)
    await svc.send({"typeName": "TavoStartSign", "message": {"penwidth": "3"}})
    assert await svc.next_json() == {"typeName": "TavoError", "message": ERROR_TEXT}
    await ctl.send({"plugged": True})
    events = await sync(ctl)
    assert {"pad": "open"} not in events, events
    await start_sign(svc, ctl)
    await svc.send({"typeName": "TavoCloseSign"})
    await ctl.expect({"pad": "closed"})
    await ctl.close()
    await svc.close()


async def case_fingerprint_alone():
    ctl, svc = await control(), await page()
    await ctl.send({"finger": "place"})
    await sync(ctl)
    await svc.send({"typeName": "TavoStartFinger", "message": {"quality": "20"}})
    await ctl.expect({"pad": "open"})
    await ctl.expect({"reader": "open"})
    await ctl.expect(feature(5))
    image = png_of(await svc.next(), "TavoFingerBase64")
    assert image.size == (128, 144), image.size
    transparent, opaque = alpha_counts(image)
    assert transparent > 0 and opaque > 0, (transparent, opaque)
    await ctl.expect({"reader": "closed"})
    await ctl.expect({"pad": "closed"})
    await ctl.send({"finger": "lift"})
    await sync(ctl)
    await ctl.close()
    await svc.close()


async def case_signature_with_fingerprint():
    ctl, svc = await control(), await page()
    await ctl.send({"finger": "place"})
    await start_sign(svc, ctl, finger=True)
    await draw_stroke(ctl)
    await ctl.send({"button": "OK"})
    assert await svc.next_json() == {"typeName": "TavoOK"}
    image = png_of(await svc.next(), "TavoSignFBase64")
    assert image.size == (600, 355), image.size
    transparent, opaque = alpha_counts(image)
    assert transparent > 0 and opaque > 0, (transparent, opaque)
    await ctl.expect({"reader": "open"})
    await ctl.expect({"reader": "closed"})
    await ctl.expect({"pad": "closed"})
    await ctl.send({"finger": "lift"})
    await sync(ctl)
    await ctl.close()
    await svc.close()


async def case_reader_absent():
    ctl, svc = await control(), await page()
    await ctl.send({"finger": "absent"})
    await ctl.send({"finger": "place"})
    await sync(ctl)
    await svc.send({"typeName": "TavoStartFinger", "message": {"quality": "20"}})
    await ctl.expect({"pad": "open"})
    # The capture gives up without opening the reader; the page hears nothing
    # until it closes the session itself.
    await svc.send({"typeName": "TavoCloseSign"})
    events = await ctl.expect({"pad": "closed"})
    assert {"reader": "open"} not in events, events
    await ctl.send({"finger": "present"})
    await ctl.send({"finger": "lift"})
    await sync(ctl)
    await ctl.close()
    await svc.close()


async def case_malformed_messages_change_nothing():
    ctl, svc = await control(), await page()
    await start_sign(svc, ctl)
    malformed = [
        "not json", "{}", '{"button":"ok"}', '{"button":"OK","pen":[1,2,3]}',
        '{"pen":[1,2]}', '{"pen":[70000,1,1]}', '{"report":"02 80 4F 4"}',
        '{"report":"02 80 ZZ"}', '{"refuse":[300]}', '{"plugged":"no"}',
        '{"finger":"press"}', '{"button":"OK"} {"button":"CL"}', '[1]',
    ]
    for text in malformed:
        await ctl.send(text)
        event = await ctl.next_json()
        assert set(event) == {"error"} and event["error"], (text, event)
    await ctl.send(b'{"button":"OK"}')  # a binary frame is not a control message
    event = await ctl.next_json()
    assert set(event) == {"error"}, event
    # None of them reached the pad: the next thing the page hears is the Cancel.
    await ctl.send({"button": "CNCL"})
    assert await svc.next_json() == {"typeName": "TavoCancel"}
    await ctl.expect({"pad": "closed"})
    await ctl.close()
    await svc.close()


async def case_fragmented_message_and_ping():
    ctl, svc = await control(), await page()
    await start_sign(svc, ctl)
    # One message in three fragments.
    await ctl.connection.send(iter(['{"butt', 'on":"CN', 'CL"}']))
    assert await svc.next_json() == {"typeName": "TavoCancel"}
    pong = await ctl.connection.ping()
    await asyncio.wait_for(pong, WAIT)
    await ctl.expect({"pad": "closed"})
    await ctl.close()
    await svc.close()


def raw_upgrade(version="13", key="dGhlIHNhbXBsZSBub25jZQ==", extra=""):
    """A WebSocket upgrade on a plain socket; the socket and the answer's head."""
    s = socket.create_connection(("127.0.0.1", 10002), timeout=WAIT)
    request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:10002\r\nUpgrade: websocket\r\n" \
              "Connection: Upgrade\r\nSec-WebSocket-Version: %s\r\n" % version
    if key:
        request += "Sec-WebSocket-Key: %s\r\n" % key
    s.sendall((request + extra + "\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            break
        head += chunk
    return s, head.decode()


def close_code_after(s, frame):
    """Sends raw bytes and returns the close code the endpoint answers with."""
    s.sendall(frame)
    data = b""
    while True:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    assert data[:1] == b"\x88", data[:16]
    return int.from_bytes(data[2:4], "big")


async def case_protocol_violations():
    s, head = raw_upgrade()
    # The accept value of the RFC 6455 sample key.
    assert head.startswith("HTTP/1.1 101") and "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=" in head, head
    assert close_code_after(s, b"\x81\x05hello") == 1002  # clients must mask
    s.close()
    s, _ = raw_upgrade()
    big = 70 * 1024
    assert close_code_after(s, b"\x81\xff" + big.to_bytes(8, "big") + b"\0" * 4) == 1009
    s.close()
    s, _ = raw_upgrade()
    # A ping without FIN: control frames may not be fragmented.
    assert close_code_after(s, b"\x09\x80\0\0\0\0") == 1002
    s.close()
    s, head = raw_upgrade(version="8")
    assert head.startswith("HTTP/1.1 426") and "Sec-WebSocket-Version: 13" in head, head
    s.close()
    s, head = raw_upgrade(key="")
    assert head.startswith("HTTP/1.1 400"), head
    s.close()
    s, head = raw_upgrade(extra="X-Padding: %s\r\n" % ("x" * 10000))
    assert head.startswith("HTTP/1.1 400"), head
    s.close()
    # The endpoint still serves control clients after all that.
    ctl = await control()
    await sync(ctl)
    await ctl.close()


CASES = [
    case_page_files,
    case_loopback_only,
    case_foreign_origin_refused,
    case_signature,
    case_clear_cancel_and_raw_button,
    case_input_while_closed_is_dropped,
    case_refused_command,
    case_unplugged,
    case_fingerprint_alone,
    case_signature_with_fingerprint,
    case_reader_absent,
    case_malformed_messages_change_nothing,
    case_fragmented_message_and_ping,
    case_protocol_violations,
]


# ---- Running the demo -----------------------------------------------------------

def listener_inodes(port):
    """Socket inodes of the TCP listeners on `port`, any address."""
    inodes = set()
    with open("/proc/net/tcp") as table:
        for row in (line.split() for line in table.readlines()[1:]):
            if row[3] == "0A" and int(row[1].split(":")[1], 16) == port:
                inodes.add(row[9])
    return inodes


def process_sockets(pid):
    found = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if link.startswith("socket:["):
                found.add(link[8:-1])
    except OSError:
        pass
    return found


# A Windows build under Wine: its sockets belong to the wineserver, so the
# ports are known to be the demo's only while no other program holds them.
LAUNCHER = shlex.split(os.environ.get("PENMORA_LAUNCHER", ""))


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        return True
    except OSError:
        return False


def wait_for_ports(process, seconds):
    deadline = time.monotonic() + seconds
    while not accepts(10002):
        if process.poll() is not None:
            return "penmora-demo ended with %d (is another instance running?)" % process.returncode
        if time.monotonic() > deadline:
            return "penmora-demo did not open port 10002"
        time.sleep(0.1)
    return None if accepts(10001) else "penmora-demo does not listen on port 10001"


def wait_for_listeners(process, seconds=60):
    """Waits until the demo listens on its control port, which it opens after
    the service's ports; then the service's port must be the demo's too, not
    that of another program (a service left running would answer in its
    place). None when all is well, else what is wrong."""
    if LAUNCHER:
        return wait_for_ports(process, seconds)
    deadline = time.monotonic() + seconds
    while not listener_inodes(10002) & process_sockets(process.pid):
        if process.poll() is not None:
            return "penmora-demo ended with %d (is another instance running?)" % process.returncode
        if time.monotonic() > deadline:
            return "penmora-demo did not open port 10002"
        time.sleep(0.1)
    if not listener_inodes(10001) & process_sockets(process.pid):
        return "penmora-demo does not listen on port 10001: another program holds it"
    return None


def main():
    demo = sys.argv[1]
    env = dict(os.environ)
    # No desktop: message boxes go to standard error instead of waiting for a click.
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    with tempfile.TemporaryFile() as output, tempfile.TemporaryDirectory() as config:
        # The demo must register nothing to start at logon: its entry would
        # have the service's name and start the demo in the service's place.
        env["XDG_CONFIG_HOME"] = config
        if LAUNCHER and (accepts(10001) or accepts(10002)):
            print("the ports are held by another program")
            return 1
        process = subprocess.Popen(LAUNCHER + [demo], stdout=output, stderr=subprocess.STDOUT,
                                   env=env)
        passed = failed = 0
        try:
            problem = wait_for_listeners(process)
            if problem:
                print(problem)
                failed = len(CASES)
            else:
                for case in CASES:
                    try:
                        asyncio.run(asyncio.wait_for(case(), 120))
                        passed += 1
                        print("ok      %s" % case.__name__)
                    except Exception:
                        failed += 1
                        print("FAILED  %s" % case.__name__)
                        traceback.print_exc()
                    sys.stdout.flush()
        finally:
            # Wine hands SIGINT to the program as Ctrl+C; SIGTERM would end
            # Wine itself.
            process.send_signal(signal.SIGINT if LAUNCHER else signal.SIGTERM)
            try:
                code = process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                code = process.wait()
            if code != 0:
                print("penmora-demo ended with %d" % code)
                failed += 1
            autostart = os.path.join(config, "autostart")
            if os.path.exists(autostart):
                print("FAILED  the demo wrote an autostart entry: %s" % os.listdir(autostart))
                failed += 1
            output.seek(0)
            lines = output.read().decode(errors="replace").splitlines()
            # Sanitizer builds report a race or a memory fault without ending
            # the demo: such a report fails the test all the same.
            reports = [i for i, line in enumerate(lines) if SANITIZER_REPORT in line or
                       "runtime error:" in line or "ERROR: AddressSanitizer" in line]
            if reports:
                failed += 1
                print("penmora-demo reported %d sanitizer finding(s):" % len(reports))
                print("\n".join(lines[reports[0]:reports[0] + 60]))
            elif failed:
                print("--- the demo's last output lines ---")
                print("\n".join(lines[-40:]))
        print("%d passed, %d failed" % (passed, failed))
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
