#!/usr/bin/python3
"""A WebSocket client for the tests, driven over stdin/stdout.

Usage: ws_client.py PORT [HOST]

Lines in (stdin):  "S <base64>" send the decoded UTF-8 text as one text
                   frame; "C" close the connection with a close frame. When
                   stdin ends, the client drops the connection at once.
Lines out (stdout): "OK" connected, "ERR <reason>" connect failed, "R <base64>"
                   one text message received (UTF-8 bytes), "X" the connection
                   ended. The client exits when stdin closes or the connection
                   ends.
"""
import asyncio
import base64
import os
import sys
import threading

import websockets


def emit(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


async def main(port, host):
    loop = asyncio.get_running_loop()
    commands = asyncio.Queue()

    def read_stdin():
        for line in sys.stdin:
            loop.call_soon_threadsafe(commands.put_nowait, line.rstrip("\n"))
        loop.call_soon_threadsafe(commands.put_nowait, None)

    try:
        ws = await websockets.connect(
            "ws://%s:%d/" % (host, port),
            ping_interval=None,  # the service answers no pings
            close_timeout=1,  # nor close frames
            max_size=None,
            compression=None,
            open_timeout=10,
        )
    except Exception as error:  # noqa: BLE001 - reported to the test
        emit("ERR %s" % type(error).__name__)
        return
    emit("OK")
    threading.Thread(target=read_stdin, daemon=True).start()

    async def receive():
        try:
            async for message in ws:
                if isinstance(message, str):
                    message = message.encode("utf-8")
                emit("R " + base64.b64encode(message).decode("ascii"))
        except websockets.ConnectionClosed:
            pass
        emit("X")

    receiver = asyncio.ensure_future(receive())
    while True:
        getter = asyncio.ensure_future(commands.get())
        done, _ = await asyncio.wait({getter, receiver}, return_when=asyncio.FIRST_COMPLETED)
        if getter not in done:
            getter.cancel()
            break
        command = getter.result()
        if command is None:
            sys.stdout.flush()
            os._exit(0)
        if command == "C":
            await ws.close()
            await receiver
            break
        if command.startswith("S "):
            text = base64.b64decode(command[2:]).decode("utf-8", "replace")
            try:
                await ws.send(text)
            except websockets.ConnectionClosed:
                pass


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), sys.argv[2] if len(sys.argv) > 2 else "127.0.0.1"))
