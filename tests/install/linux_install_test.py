#!/usr/bin/python3
"""scripts/install.sh and its --uninstall for a user whose home is a fresh
temporary folder, with the udev rule and the browsers' policy folders in
folders of the test's own.

Usage: linux_install_test.py BUILD_FOLDER   (the folder holding penmora)

Install: the executable in ~/.local/lib/penmora/ with the project's LICENSE
beside it, the rule for the pad's ids,
the service started there (a handshake and "TavoStartSign" on its port) with
its autostart entry naming the installed executable, and with --allow-origin
the Local Network Access policy for Chromium and Chrome, and Firefox's merged
into a policies.json that holds an administrator's other policies, and the
service's own list of allowed origins (and with --allow-host its hosts); a
wrong origin or host stops
the install before anything changes, and an install without --allow-origin
keeps the policy. Uninstall: the service ended, the rule and the policy (in
Firefox's file just our host names, the administrator's left as they were)
removed, and nothing left in the home but the log.
"""

import json

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from install_util import SERVICE_PORT, accepts, check_service_answers, wait_port  # noqa: E402

INSTALL = os.path.join(TOP, "scripts", "install.sh")
ORIGINS = ["https://app.example.com", "https://[*.]shop.example.org:8443"]


def pids_of(exe):
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                if os.readlink("/proc/%s/exe" % name) == exe:
                    found.append(int(name))
            except OSError:
                pass
    return found


def files_under(folder):
    return sorted(os.path.relpath(os.path.join(root, name), folder)
                  for root, _, names in os.walk(folder) for name in names)


def pad_ids():
    header = open(os.path.join(TOP, "pad", "device.h")).read()
    return [re.search(r"%s = 0x([0-9A-Fa-f]{4})" % name, header).group(1).lower()
            for name in ("PadVendorId", "PadProductId")]


def main():
    build = os.path.abspath(sys.argv[1])
    if accepts(SERVICE_PORT):
        print("port %d is held by another program" % SERVICE_PORT)
        return 1
    work = tempfile.mkdtemp(prefix="penmora-install-test.")
    home = os.path.join(work, "home")
    rules = os.path.join(work, "rules.d")
    policies = [os.path.join(work, "etc", "chromium", "policies", "managed"),
                os.path.join(work, "etc", "opt", "chrome", "policies", "managed")]
    firefox = os.path.join(work, "firefox-esr", "policies")
    os.makedirs(home)
    # An administrator's Firefox policies, one of them naming a site of its own.
    os.makedirs(firefox)
    admins = {"policies": {"DisableTelemetry": True,
                           "LocalNetworkAccess": {"Enabled": True, "SkipDomains": ["intranet.example"]}}}
    with open(os.path.join(firefox, "policies.json"), "w") as f:
        json.dump(admins, f)
    trust = os.path.join(work, "etc", "penmora")
    env = dict(os.environ, HOME=home, PENMORA_UDEV_RULES_DIR=rules,
               PENMORA_CHROMIUM_POLICY_DIR=policies[0], PENMORA_CHROME_POLICY_DIR=policies[1],
               PENMORA_FIREFOX_POLICY_DIR=firefox, PENMORA_TRUST_DIR=trust)
    # No desktop of the tester's: the service runs without an icon.
    for name in ("XDG_CONFIG_HOME", "DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    exe = os.path.join(home, ".local", "lib", "penmora", "penmora")
    begun = time.monotonic()
    allow = [part for origin in ORIGINS for part in ("--allow-origin", origin)]
    allow += ["--allow-host", "198.18.0.0/15"]
    try:
        # A wrong origin (it would break the policy's JSON) changes nothing.
        result = subprocess.run(["bash", INSTALL, "--allow-origin", 'https://a.example" x', build],
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120)
        assert result.returncode != 0, result.stdout.decode()
        assert "is not an origin" in result.stdout.decode(), result.stdout.decode()
        assert not os.path.exists(work + "/etc") and not os.path.exists(exe), files_under(work)
        result = subprocess.run(["bash", INSTALL, "--allow-host", "198.18.0.0/33", build],
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120)
        assert result.returncode != 0, result.stdout.decode()
        assert "is not an IPv4 address" in result.stdout.decode(), result.stdout.decode()
        assert not os.path.exists(work + "/etc") and not os.path.exists(exe), files_under(work)
        print("ok      a wrong origin or host stops the install before anything changes")

        result = subprocess.run(["bash", INSTALL] + allow + [build], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120)
        output = result.stdout.decode()
        assert result.returncode == 0, output
        assert os.access(exe, os.X_OK), "no executable " + exe
        with open(os.path.join(os.path.dirname(exe), "LICENSE")) as installed, \
                open(os.path.join(TOP, "LICENSE")) as project:
            assert installed.read() == project.read(), "the installed LICENSE differs"
        with open(os.path.join(rules, "70-penmora-pad.rules")) as rule:
            text = rule.read()
        vendor, product = pad_ids()
        assert 'ATTRS{idVendor}=="%s"' % vendor in text and \
            'ATTRS{idProduct}=="%s"' % product in text, text
        running = pids_of(exe)
        assert len(running) == 1, running
        wait_port(SERVICE_PORT, True)
        check_service_answers()
        entry = os.path.join(home, ".config", "autostart", "Penmora.exe.desktop")
        with open(entry) as desktop:
            text = desktop.read()
        assert 'Exec="%s"' % exe in text, text
        print("ok      installed, started, answers on port %d" % SERVICE_PORT)
        for folder in policies:
            with open(os.path.join(folder, "penmora.json")) as policy:
                written = json.load(policy)
            assert written == {"LocalNetworkAccessAllowedForUrls": ORIGINS}, written
        with open(os.path.join(firefox, "policies.json")) as policy:
            written = json.load(policy)
        hosts = [re.sub(r"^\[\*\.\]", "*.", re.match(r"https?://([^:/]+)", origin).group(1))
                 for origin in ORIGINS]
        assert written == {"policies": {"DisableTelemetry": True, "LocalNetworkAccess": {
            "Enabled": True, "SkipDomains": ["intranet.example"] + hosts}}}, written
        print("ok      the browsers' policy lets %s reach the service" % " and ".join(ORIGINS))
        # The service's own lists: whole origins only (the wildcard is the
        # browsers'), and the host range.
        with open(os.path.join(trust, "allowed-origins")) as listed:
            entries = [line.strip() for line in listed if not line.startswith("#")]
        assert entries == ["https://app.example.com"], entries
        with open(os.path.join(trust, "allowed-hosts")) as listed:
            entries = [line.strip() for line in listed if not line.startswith("#")]
        assert entries == ["198.18.0.0/15"], entries
        print("ok      the service's lists allow https://app.example.com and 198.18.0.0/15")

        # Installing again replaces the running service with the new copy.
        result = subprocess.run(["bash", INSTALL, build], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        assert result.returncode == 0, result.stdout.decode()
        again = pids_of(exe)
        assert len(again) == 1 and again != running, (running, again)
        wait_port(SERVICE_PORT, True)
        check_service_answers()
        for folder in policies:
            assert os.path.exists(os.path.join(folder, "penmora.json")), folder
        print("ok      installed again over the running service, the policy kept")

        result = subprocess.run(["bash", INSTALL, "--uninstall"], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120)
        assert result.returncode == 0, result.stdout.decode()
        assert pids_of(exe) == [], "the service still runs"
        wait_port(SERVICE_PORT, False, 10)
        assert os.listdir(rules) == [], os.listdir(rules)
        for folder in policies:
            assert os.listdir(folder) == [], os.listdir(folder)
        assert os.listdir(firefox) == ["policies.json"], os.listdir(firefox)
        with open(os.path.join(firefox, "policies.json")) as policy:
            assert json.load(policy) == admins, "Firefox's other policies changed"
        assert not os.path.exists(trust), files_under(trust)
        left = files_under(home)
        assert left and all(name.startswith(".local/lib/penmora/log/") for name in left), left
        print("ok      uninstalled: the service ended, rule and policy removed, only the log left (%s)"
              % left)
        print("all passed in %.1f s" % (time.monotonic() - begun))
        return 0
    except Exception:
        import traceback
        traceback.print_exc()
        return 1
    finally:
        for pid in pids_of(exe):
            os.kill(pid, 9)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
