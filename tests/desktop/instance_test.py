"""One instance per executable file name, on a machine without a desktop:
a second start under the same file name ends at once with exit code 0 and
leaves the first serving; a copy under another file name starts, rewrites
the autostart entry with its own path, finds the ports taken and runs on
without harm; SIGTERM ends each with exit code 0.

Usage: instance_test.py PENMORA_EXECUTABLE
"""
import os
import signal
import socket
import sys

from service_copy import Failure, Sandbox, check, exit_code, handshake_succeeds, wait_for


POLICY_PORT = 843
POLICY_ANSWER = (b'<cross-domain-policy> <allow-access-from domain="*" to-ports="*"/>'
                 b'</cross-domain-policy> \0')


def may_bind_policy_port():
    """Whether this user may listen on port 843 (root, or a lowered limit)."""
    try:
        with open("/proc/sys/net/ipv4/ip_unprivileged_port_start") as f:
            if int(f.read()) <= POLICY_PORT:
                return True
    except (OSError, ValueError):
        pass
    return os.geteuid() == 0


def policy_answer():
    with socket.create_connection(("127.0.0.1", POLICY_PORT), timeout=20) as s:
        s.sendall(b"<policy-file-request/>\0")
        answer = b""
        while True:
            chunk = s.recv(256)
            if not chunk:
                return answer
            answer += chunk


def thread_count(pid):
    try:
        return len(os.listdir("/proc/%d/task" % pid))
    except OSError:
        return 0


def main():
    sandbox = Sandbox(sys.argv[1])
    try:
        first_path = sandbox.copy("first", "Penmora.exe")
        first = sandbox.start(first_path, desktop=False)
        wait_for(handshake_succeeds, 20, "the first instance's WebSocket port")
        wait_for(lambda: sandbox.autostart_program() == first_path, 20,
                 "the autostart entry naming the first instance")
        if may_bind_policy_port():
            check(policy_answer() == POLICY_ANSWER, "the policy port answers")

        # The same file name in another folder counts as the same program.
        second = sandbox.start(sandbox.copy("second", "Penmora.exe"), desktop=False)
        check(exit_code(second, 20, "the second start") == 0, "the second start returns 0")
        check(first.poll() is None, "the first instance still runs")
        check(handshake_succeeds(), "the first instance still serves")
        check(sandbox.autostart_program() == first_path,
              "the second start left the autostart entry alone")

        # Another file name is another program: it starts, and only its
        # listeners fail, the ports being the first one's.
        other_path = sandbox.copy("other", "Other.bin")
        other = sandbox.start(other_path, desktop=False)
        wait_for(lambda: sandbox.autostart_program() == other_path, 20,
                 "the autostart entry naming the copy")
        # Its accept thread runs once its listener on the client port has
        # been tried, and failed.
        wait_for(lambda: thread_count(other.pid) >= 2, 20, "the copy's accept thread")
        check(handshake_succeeds(), "the ports are still served")
        check(other.poll() is None, "the copy runs on without its ports")
        other.send_signal(signal.SIGTERM)
        check(exit_code(other, 20, "the copy") == 0, "the copy ends with 0 on SIGTERM")

        check(first.poll() is None, "the first instance still runs")
        check(handshake_succeeds(), "the first instance still serves")
        if may_bind_policy_port():
            check(policy_answer() == POLICY_ANSWER, "the policy port still answers")
        first.send_signal(signal.SIGTERM)
        check(exit_code(first, 20, "the first instance") == 0,
              "the first instance ends with 0 on SIGTERM")
    except Failure as failure:
        print("FAILED:", failure)
        return 1
    finally:
        sandbox.close()
    print("passed")
    return 0


sys.exit(main())
