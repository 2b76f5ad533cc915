#!/usr/bin/python3
"""Starts the host's tools (python3, pngcheck, sh) for tests that run under Wine.

A Windows test cannot start a Unix program reliably itself: the standard
handles Wine passes to one do not always reach it, and a second Unix child
can take over the first one's connection. So the tests ask this broker, a
plain Unix process beside the Wine prefix, over loopback TCP.

Usage: host_broker.py FD
Listens on an ephemeral loopback port, writes the port as a line to the open
descriptor FD, closes it, and serves until killed. Each request is one connection:
  one mode byte, then the folder to run the program in and the program's
  arguments, each ending in a NUL byte, then one more NUL byte.
  Mode "C": the program's standard input, output and error are the connection
            itself, as long as the program runs.
  Mode "R": its standard input is empty; its output and error come down the
            connection, then "\\n@penmora-host-exit@" CODE "\\n", and the
            connection closes. CODE is -1 when it could not be started.
"""
import os
import socket
import subprocess
import sys
import threading

EXIT_MARKER = b"\n@penmora-host-exit@"


def read_request(connection):
    data = b""
    while not data.endswith(b"\0\0") or len(data) < 3:
        chunk = connection.recv(4096)
        if not chunk:
            return None, None
        data += chunk
    mode = data[:1]
    parts = [os.fsdecode(part) for part in data[1:-2].split(b"\0")]
    return mode, parts


def serve(connection):
    try:
        mode, parts = read_request(connection)
        if mode is None or len(parts) < 2:
            return
        folder, argv = parts[0], parts[1:]
        if mode == b"C":
            try:
                subprocess.Popen(argv, stdin=connection.fileno(), stdout=connection.fileno(),
                                 stderr=connection.fileno(), close_fds=True, cwd=folder,
                                 start_new_session=True)
            except OSError as error:
                connection.sendall(f"host_broker: {error}\n".encode())
        elif mode == b"R":
            try:
                child = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                         stdout=connection.fileno(),
                                         stderr=connection.fileno(), close_fds=True, cwd=folder,
                                         start_new_session=True)
                code = child.wait()
            except OSError as error:
                connection.sendall(f"host_broker: {error}".encode())
                code = -1
            connection.sendall(EXIT_MARKER + f"{code}\n".encode())
    except OSError:
        pass
    finally:
        # The program keeps its own copy of the connection for as long as it
        # runs; this one goes now, so the test sees the end when it exits.
        connection.close()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    with os.fdopen(int(sys.argv[1]), "w") as out:
        out.write(f"{listener.getsockname()[1]}\n")
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection,), daemon=True).start()


if __name__ == "__main__":
    main()
