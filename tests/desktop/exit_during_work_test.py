""""Exit" in the status icon's menu while the service is busy: in the middle
of a signing session with strokes on the pad, while a fingerprint capture
waits for a finger, and while a capture waits for its message box (the
reader cannot be opened) to be dismissed. The box itself is read and pressed
over the accessibility bus: modal, its text, one OK button that dismisses it. Runs penmora-demo (the service over the virtual pad and
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
import gi
import websockets

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

from service_copy import Failure, Sandbox, check, exit_code
from status_icon_test import WatcherProcess, check_item

CONTROL = "ws://127.0.0.1:10002/"
PAGE = "ws://127.0.0.1:10001/"
WAIT = 20
READER_OPEN_FAILED = "\u65e0\u6cd5\u6253\u5f00\u6307\u7eb9\u8bbe\u5907"  # the box's text


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


async def exit_while(bus, watcher, sandbox, demo, work, accessible=False):
    service = sandbox.start(demo, desktop=True, accessible=accessible)
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


# ---- Message boxes, read and pressed over the accessibility bus -------------

def descendants(node):
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield child
            yield from descendants(child)


def open_alerts(text):
    """The service's boxes showing `text`, each with its OK button."""
    found = []
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or app.get_name() != "penmora-demo":
            continue
        for node in descendants(app):
            if node.get_role() != Atspi.Role.ALERT:
                continue
            inside = list(descendants(node))
            if any(n.get_role() == Atspi.Role.LABEL and n.get_name() == text for n in inside):
                buttons = [n for n in inside
                           if n.get_role() == Atspi.Role.PUSH_BUTTON and n.get_name() == "OK"]
                found.append((node, buttons))
    return found


async def wait_for_alert(text):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        alerts = open_alerts(text)
        if alerts:
            return alerts
        await asyncio.sleep(0.1)
    raise Failure("no box showing %r" % text)


async def reader_missing(control, page):
    await control.send(json.dumps({"finger": "absent"}))
    await control.send(json.dumps({"sync": True}))
    await next_event(control, None)

    # The first capture: the box with its one button; OK dismisses it.
    await page.send(json.dumps({"typeName": "TavoStartFinger", "message": {"quality": "20"}}))
    alerts = await wait_for_alert(READER_OPEN_FAILED)
    check(len(alerts) == 1, "one box, got %d" % len(alerts))
    alert, buttons = alerts[0]
    check(alert.get_state_set().contains(Atspi.StateType.MODAL), "the box is modal")
    check(len(buttons) == 1, "the box has an OK button")
    buttons[0].do_action(0)
    deadline = time.monotonic() + WAIT
    while open_alerts(READER_OPEN_FAILED):
        check(time.monotonic() < deadline, "OK dismisses the box")
        await asyncio.sleep(0.1)

    # The second capture: "Exit" is chosen while its box waits for OK.
    await page.send(json.dumps({"typeName": "TavoStartFinger", "message": {"quality": "20"}}))
    await wait_for_alert(READER_OPEN_FAILED)


def main():
    sandbox = Sandbox(sys.argv[1])
    watcher = None
    try:
        bus = dbus.SessionBus()
        watcher = WatcherProcess()
        asyncio.run(exit_while(bus, watcher, sandbox, sys.argv[1], signing))
        asyncio.run(exit_while(bus, watcher, sandbox, sys.argv[1], capturing))
        Atspi.init()
        asyncio.run(exit_while(bus, watcher, sandbox, sys.argv[1], reader_missing,
                               accessible=True))
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
