""""Exit" in the status icon's menu while the service is busy: in the middle
of a signing session with strokes on the pad, and while a fingerprint capture
waits for a finger. Runs penmora-demo (the service over the virtual pad and
reader) on the private session bus and display this test is started in; the
demo's control endpoint plays the signer. The process must end at once with
exit code 0 and the page must hear nothing more.

Usage: exit_during_work_test.py PENMORA_DEMO_EXECUTABLE
"""
import asyncio
import json
import sys
import time

import dbus
import websockets

from service_copy import Failure, Sandbox, check, exit_code
from status_icon_test import WatcherProcess, check_item

CONTROL = "ws://127.0.0.1:10002/"
PAGE = "ws://127.0.0.1:10001/"
WAIT = 20


async def next_event(control, wanted):
    """Reads events until `wanted` arrives (None: an error answer)."""
    deadline = time.monotonic() + WAIT
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Failure("the control endpoint did not report %r" % (wanted,))
        try:
            event = json.loads(await asyncio.wait_for(control.recv(), left))
        except asyncio.TimeoutError:
            continue
        if event == wanted or (wanted is None and "error" in event):
            return


async def until_listening(url):
    deadline = time.monotonic() + WAIT
    while True:
        try:
            probe = await websockets.connect(url, open_timeout=5, ping_interval=None)
            probe.transport.abort()  # the service answers no close frame
            return
        except (OSError, asyncio.TimeoutError, websockets.WebSocketException):
            if time.monotonic() > deadline:
                raise Failure("nothing listens on " + url)
            await asyncio.sleep(0.05)


async def messages_until_closed(page):
    heard = []
    try:
        while True:
            heard.append(await asyncio.wait_for(page.recv(), WAIT))
    except websockets.ConnectionClosed:
        return heard
    except asyncio.TimeoutError:
        raise Failure("the page's connection stayed open after Exit")


async def exit_while(bus, watcher, sandbox, demo, work):
    service = sandbox.start(demo, desktop=True)
    name, path = watcher.registration()
    menu, exit_id = check_item(bus, name, path)
    await until_listening(PAGE)
    async with websockets.connect(CONTROL, max_size=None) as control, \
            websockets.connect(PAGE, max_size=None, ping_interval=None,
                               close_timeout=1) as page:
        # A malformed control message is answered once the endpoint reads
        # this connection, and from then on it hears every device event.
        await control.send(json.dumps({"sync": True}))
        await next_event(control, None)
        await work(control, page)
        check(service.poll() is None, "the service runs while busy")
        try:
            menu.Event(dbus.Int32(exit_id), "clicked", dbus.Int32(0, variant_level=1),
                       dbus.UInt32(int(time.time()) & 0xFFFFFFFF))
        except dbus.DBusException:
            pass  # the process may end before it answers
        heard = await messages_until_closed(page)
        check(heard == [], "nothing is sent to the page on Exit, got %r" % heard)
    check(exit_code(service, WAIT, "the demo after Exit") == 0, "exit code 0 after Exit")


async def signing(control, page):
    await page.send(json.dumps({"typeName": "TavoStartSign", "message": {"penwidth": "3"}}))
    await next_event(control, {"pad": "open"})
    for i in range(20):
        await control.send(json.dumps({"pen": [2000 + 100 * i, 3000 + 50 * i, 600]}))


async def capturing(control, page):
    await control.send(json.dumps({"finger": "lift"}))
    await page.send(json.dumps({"typeName": "TavoStartFinger", "message": {"quality": "20"}}))
    await next_event(control, {"reader": "open"})


def main():
    sandbox = Sandbox(sys.argv[1])
    watcher = None
    try:
        bus = dbus.SessionBus()
        watcher = WatcherProcess()
        asyncio.run(exit_while(bus, watcher, sandbox, sys.argv[1], signing))
        asyncio.run(exit_while(bus, watcher, sandbox, sys.argv[1], capturing))
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
