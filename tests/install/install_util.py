"""What the installer tests share: a page's first exchange with an installed
service, and waits on the service's port."""

import asyncio
import json
import os
import sys
import time

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "demo"))
from control_endpoint_test import accepts  # noqa: E402,F401  (the installer tests' port check)

SERVICE_PORT = 10001
# The answer to "TavoStartSign" of a service that finds no pad, as on a test
# machine: "开始签字失败".
START_FAILED = {"typeName": "TavoError", "message": "\u5f00\u59cb\u7b7e\u5b57\u5931\u8d25"}


def wait_port(port, listening, seconds=60.0):
    """Waits until the port accepts connections (or refuses them)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if accepts(port) == listening:
            return
        time.sleep(0.1)
    raise AssertionError("port %d still %s after %.0f s"
                         % (port, "closed" if listening else "open", seconds))


async def open_page():
    """A page's connection to the service, after its handshake."""
    return await websockets.connect("ws://127.0.0.1:%d" % SERVICE_PORT, open_timeout=30)


async def start_sign(connection):
    """Sends "TavoStartSign" and returns the service's answer as an object."""
    await connection.send(json.dumps({"typeName": "TavoStartSign", "message": {"penwidth": "3"}}))
    return json.loads(await asyncio.wait_for(connection.recv(), 30))


def check_service_answers():
    """A handshake and "TavoStartSign" on the service's port."""
    async def exchange():
        connection = await open_page()
        try:
            answer = await start_sign(connection)
        finally:
            await connection.close()
        assert answer == START_FAILED, answer
    asyncio.run(exchange())
