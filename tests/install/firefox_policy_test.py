#!/usr/bin/python3
"""scripts/firefox_policy.py, Firefox's part of the browsers' policy, on real
files in a temporary folder: written where there was none; merged into an
administrator's policies.json whose other policies, LocalNetworkAccess
members and SkipDomains names (one of them also one of ours) stay; a new list
replacing just our names; remove taking out just ours (and the file it made
alone); [*.]example.com as *.example.com; a malformed file or origin refused
with nothing changed. Firefox reads the file it writes: tests/web/prompt_test.mjs.

Usage: firefox_policy_test.py
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts", "firefox_policy.py")


def run(*args):
    return subprocess.run([sys.executable, SCRIPT] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=30)


def policies(folder):
    with open(os.path.join(folder, "policies.json")) as f:
        return json.load(f)


def main():
    work = tempfile.mkdtemp(prefix="penmora-firefox-policy.")
    try:
        fresh = os.path.join(work, "fresh", "distribution")
        result = run("set", fresh, "https://app.example.com", "https://[*.]shop.example.org:8443/",
                     "http://app.example.com:8080")
        assert result.returncode == 0, result.stdout.decode()
        assert policies(fresh) == {"policies": {"LocalNetworkAccess": {
            "SkipDomains": ["app.example.com", "*.shop.example.org"]}}}, policies(fresh)
        print("ok      written where there was none: host names, once each, [*.] as *.")
        assert run("remove", fresh).returncode == 0
        assert os.listdir(fresh) == [], os.listdir(fresh)
        print("ok      removed again: the file it made alone is gone")

        admin = os.path.join(work, "admin")
        os.makedirs(admin)
        theirs = {"policies": {"DisableTelemetry": True, "LocalNetworkAccess": {
            "Enabled": True, "Locked": True, "SkipDomains": ["intranet.example", "app.example.com"]}},
            "comment": "the administrator's"}
        with open(os.path.join(admin, "policies.json"), "w") as f:
            json.dump(theirs, f)
        result = run("set", admin, "https://app.example.com", "https://pay.example.net")
        assert result.returncode == 0, result.stdout.decode()
        merged = policies(admin)
        assert merged["policies"]["DisableTelemetry"] is True and merged["comment"] == "the administrator's"
        access = merged["policies"]["LocalNetworkAccess"]
        assert access["Enabled"] is True and access["Locked"] is True, access
        assert access["SkipDomains"] == ["intranet.example", "app.example.com", "pay.example.net"], access
        print("ok      merged into the administrator's file, whose policies and names stay")

        result = run("set", admin, "https://sign.example.org")
        assert result.returncode == 0, result.stdout.decode()
        assert policies(admin)["policies"]["LocalNetworkAccess"]["SkipDomains"] == [
            "intranet.example", "app.example.com", "sign.example.org"], policies(admin)
        print("ok      a new list replaces only the names written before")

        assert run("remove", admin).returncode == 0
        assert policies(admin) == theirs, policies(admin)
        assert os.listdir(admin) == ["policies.json"], os.listdir(admin)
        print("ok      remove leaves the administrator's file as it was, app.example.com included")

        with open(os.path.join(admin, "policies.json"), "w") as f:
            f.write('{"policies": {')
        result = run("set", admin, "https://app.example.com")
        assert result.returncode == 1, result.stdout.decode()
        with open(os.path.join(admin, "policies.json")) as f:
            assert f.read() == '{"policies": {'
        result = run("set", admin, 'https://a.example" x')
        assert result.returncode == 1 and b"is not an origin" in result.stdout, result.stdout.decode()
        assert sorted(os.listdir(admin)) == ["policies.json"], os.listdir(admin)
        print("ok      a malformed file or origin is refused, nothing changed")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as error:
        print("FAILED  %s" % error)
        sys.exit(1)
