#!/usr/bin/python3
"""Who may use the pad, tried as an attacker would against the running
programs, in a private network namespace with a dummy interface (or the
loopback device, where the kernel has no dummy ones) whose addresses
(198.18.0.0/15, our test range) stand for the desk's network card and two
hosts of the network.

Usage: trust_desk_test.py PENMORA PENMORA_DEMO   (run as root)

- The service listens on loopback only: its ports are not reachable at the
  desk's address, and its listeners are bound to 127.0.0.1.
- penmora-demo with IT's lists (--trust-folder): with a host listed it listens
  on every interface; the listed host is served, another host is refused with
  "TavoDenied" naming its address.
- Another user of this computer (setpriv to uid 65534) is refused, with or
  without a page's Origin, and takes nothing from the clerk's page.
- A site nobody allowed is refused and the clerk's page keeps the pad; a site
  added to IT's list is served from its next connection, no restart.
Prints one line per case and "N passed, N failed".
"""

import asyncio
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import traceback

import websockets

HERE = os.path.dirname(os.path.abspath(__file__))
DESK = "198.18.0.1"
LISTED_HOST = "198.18.0.2"
OTHER_HOST = "198.18.0.3"
START_SIGN = json.dumps({"typeName": "TavoStartSign", "message": {"penwidth": "3"}})
WAIT = 30.0


def in_private_network():
    """Runs this script again in a network namespace of its own."""
    if os.environ.get("PENMORA_TRUST_NETNS") == "1":
        return False
    env = dict(os.environ, PENMORA_TRUST_NETNS="1")
    os.execvpe("unshare", ["unshare", "-n", sys.executable] + sys.argv, env)
    return True


def setup_network():
    """The desk's network card: a dummy interface, or where the kernel has
    none, the loopback device, with addresses of the test range."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    card = "desk0"
    if subprocess.run(["ip", "link", "add", card, "type", "dummy"],
                      stderr=subprocess.DEVNULL).returncode != 0:
        card = "lo"
    for address in (DESK + "/15", LISTED_HOST + "/32", OTHER_HOST + "/32"):
        subprocess.run(["ip", "addr", "add", address, "dev", card], check=True)
    subprocess.run(["ip", "link", "set", card, "up"], check=True)


def listeners(port):
    """The local addresses of the TCP listeners on `port`."""
    found = []
    with open("/proc/net/tcp") as table:
        for row in (line.split() for line in table.readlines()[1:]):
            address, hex_port = row[1].split(":")
            if row[3] == "0A" and int(hex_port, 16) == port:
                raw = bytes.fromhex(address)[::-1]
                found.append(".".join(str(b) for b in raw))
    return found


def wait_listening(port, process, seconds=60):
    deadline = time.monotonic() + seconds
    while not listeners(port):
        assert process.poll() is None, "the program ended with %d" % process.returncode
        assert time.monotonic() < deadline, "nothing listens on %d" % port
        time.sleep(0.05)


def connect(host=DESK, source=None, origin=None):
    """A page's connection; `source` is the address it connects from."""
    kwargs = {"origin": origin, "open_timeout": WAIT}
    if source:
        kwargs["local_addr"] = (source, 0)
    return websockets.connect("ws://%s:10001" % host, **kwargs)


async def answer_to(connection, command=START_SIGN):
    await connection.send(command)
    return json.loads(await asyncio.wait_for(connection.recv(), WAIT))


async def nothing_arrives(connection, seconds=0.5):
    try:
        message = await asyncio.wait_for(connection.recv(), seconds)
    except asyncio.TimeoutError:
        return
    raise AssertionError("received %s" % message)


class Program:
    def __init__(self, argv, env):
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(argv, stdout=self.output, stderr=subprocess.STDOUT, env=env)
        wait_listening(10001, self.process)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self.output.seek(0)
        text = self.output.read().decode(errors="replace")
        assert code == 0, "ended with %d: %s" % (code, text[-2000:])
        assert "Sanitizer" not in text and "runtime error:" not in text, text[-4000:]


def case_the_service_listens_on_loopback_only(service, env, _):
    program = Program([service], env)
    try:
        assert listeners(10001) == ["127.0.0.1"], listeners(10001)
        assert listeners(843) in ([], ["127.0.0.1"]), listeners(843)

        async def attempt():
            try:
                connection = await connect(DESK, source=OTHER_HOST)
            except OSError:
                return
            await connection.close()
            raise AssertionError("the desk's address answered")
        asyncio.run(attempt())

        async def local():
            async with connect("127.0.0.1") as page:
                answer = await answer_to(page)
                assert answer["typeName"] == "TavoError", answer
        asyncio.run(local())
    finally:
        program.stop()


def demo(demo_path, env, lists):
    folder = tempfile.mkdtemp(prefix="penmora-trust-lists.")
    for name, entries in lists.items():
        with open(os.path.join(folder, name), "w") as out:
            out.write("\n".join(entries) + "\n")
    return Program([demo_path, "--trust-folder", folder], env), folder


async def unplug():
    async with websockets.connect("ws://127.0.0.1:10002/") as control:
        await control.send(json.dumps({"plugged": False}))
        await control.send(json.dumps({"sync": True}))
        while "error" not in json.loads(await asyncio.wait_for(control.recv(), WAIT)):
            pass


def case_a_listed_host_is_served_and_another_refused(_, env, demo_path):
    program, _folder = demo(demo_path, env, {"allowed-hosts": ["# the counter", LISTED_HOST]})
    try:
        assert listeners(10001) == ["0.0.0.0"], listeners(10001)

        async def run():
            await unplug()
            async with connect(DESK, source=LISTED_HOST) as listed:
                answer = await answer_to(listed)
                assert answer["typeName"] == "TavoError", answer
            async with connect(DESK, source=OTHER_HOST) as other:
                answer = await answer_to(other)
                assert answer["typeName"] == "TavoDenied", answer
                assert OTHER_HOST in answer["message"], answer
        asyncio.run(run())
    finally:
        program.stop()


OTHER_USER_CLIENT = r"""
import asyncio, json, sys, websockets
async def main():
    origin = sys.argv[1] or None
    async with websockets.connect("ws://127.0.0.1:10001", origin=origin, open_timeout=30) as c:
        await c.send(json.dumps({"typeName": "TavoStartSign", "message": {"penwidth": "3"}}))
        print(await asyncio.wait_for(c.recv(), 30))
asyncio.run(main())
"""


def case_another_user_is_refused(_, env, demo_path):
    program, _folder = demo(demo_path, env, {})
    try:
        async def run():
            await unplug()
            async with connect("127.0.0.1") as clerk:
                for origin in ("", "http://127.0.0.1:10002"):
                    result = subprocess.run(
                        ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                         sys.executable, "-c", OTHER_USER_CLIENT, origin],
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60,
                        env=dict(env, HOME="/nonexistent"))
                    output = result.stdout.decode()
                    assert result.returncode == 0, output
                    answer = json.loads(output.strip().splitlines()[-1])
                    assert answer["typeName"] == "TavoDenied", answer
                    assert "other users" in answer["message"], answer
                await nothing_arrives(clerk)
                # The clerk's page still has the pad.
                answer = await answer_to(clerk)
                assert answer["typeName"] == "TavoError", answer
        asyncio.run(run())
    finally:
        program.stop()


def case_a_site_is_refused_until_it_is_listed(_, env, demo_path):
    program, folder = demo(demo_path, env, {})
    try:
        async def run():
            await unplug()
            async with connect("127.0.0.1", origin="http://127.0.0.1:10002") as clerk:
                async with connect("127.0.0.1", origin="https://evil.example") as evil:
                    for command in (START_SIGN, json.dumps({"typeName": "TavoCloseSocket"})):
                        answer = await answer_to(evil, command)
                        assert answer["typeName"] == "TavoDenied", answer
                        assert "https://evil.example" in answer["message"], answer
                    await nothing_arrives(clerk)
                    answer = await answer_to(clerk)
                    assert answer["typeName"] == "TavoError", answer
                with open(os.path.join(folder, "allowed-origins"), "w") as out:
                    out.write("https://shop.example\n")
                async with connect("127.0.0.1", origin="https://shop.example") as shop:
                    answer = await answer_to(shop)
                    assert answer["typeName"] == "TavoError", answer
        asyncio.run(run())
    finally:
        program.stop()


CASES = [case_the_service_listens_on_loopback_only,
         case_a_listed_host_is_served_and_another_refused,
         case_another_user_is_refused,
         case_a_site_is_refused_until_it_is_listed]


def main():
    if os.geteuid() != 0:
        print("skipped: a private network and another user need root")
        return 0
    if in_private_network():
        return 0
    setup_network()
    service, demo_path = sys.argv[1], sys.argv[2]
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    passed = failed = 0
    with tempfile.TemporaryDirectory() as home:
        # Nothing of the tester's: a home and configuration of the test's own.
        env["HOME"] = home
        env["XDG_CONFIG_HOME"] = os.path.join(home, ".config")
        for case in CASES:
            started = time.monotonic()
            try:
                case(service, env, demo_path)
                passed += 1
                print("ok      %s (%.1f s)" % (case.__name__, time.monotonic() - started))
            except Exception:
                failed += 1
                print("FAILED  %s" % case.__name__)
                traceback.print_exc()
            sys.stdout.flush()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
