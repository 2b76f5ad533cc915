#!/usr/bin/python3
"""installer/local-network-access.reg, the template an administrator fills
with the sites' origins and imports on Windows: a file regedit reads (its
header, ASCII, CR LF line ends), the policy LocalNetworkAccessAllowedForUrls
under the machine's policy keys of Chrome and Edge and Firefox's
LocalNetworkAccess SkipDomains, and nowhere else, values "1", "2", ...
holding origins that scripts/install-browser-policy.sh accepts too, the same
list for both browsers, and for Firefox the host names of those origins, as
the Linux script writes them (scripts/firefox_policy.py).

Usage: reg_template_test.py
"""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
TEMPLATE = os.path.join(TOP, "installer", "local-network-access.reg")
POLICY_SCRIPT = os.path.join(TOP, "scripts", "install-browser-policy.sh")
FIREFOX_SCRIPT = os.path.join(TOP, "scripts", "firefox_policy.py")
KEYS = [r"HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Google\Chrome\LocalNetworkAccessAllowedForUrls",
        r"HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Microsoft\Edge\LocalNetworkAccessAllowedForUrls",
        r"HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Mozilla\Firefox\LocalNetworkAccess\SkipDomains"]


def sections(lines):
    """The keys in file order, each with its values as (name, data) pairs."""
    found = []
    for line in lines:
        if not line or line.startswith(";"):
            continue
        key = re.fullmatch(r"\[(.+)\]", line)
        if key:
            found.append((key.group(1), []))
            continue
        value = re.fullmatch(r'"([^"]*)"="([^"\\]*)"', line)
        assert value and found, "a line regedit would not read as a string value: %r" % line
        found[-1][1].append((value.group(1), value.group(2)))
    return found


def main():
    raw = open(TEMPLATE, "rb").read()
    raw.decode("ascii")
    assert b"\n" not in raw.replace(b"\r\n", b""), "a line does not end in CR LF"
    lines = raw.decode("ascii").split("\r\n")
    assert lines[0] == "Windows Registry Editor Version 5.00", lines[0]
    print("ok      a file regedit reads: its header, ASCII, CR LF")

    found = sections(lines[1:])
    assert [key for key, _ in found] == KEYS, [key for key, _ in found]
    lists = [values for _, values in found]
    for values in lists:
        assert [name for name, _ in values] == [str(i) for i in range(1, len(values) + 1)], values
        assert values, "no origin"
    assert lists[0] == lists[1], lists
    print("ok      the policy under Chrome's, Edge's and Firefox's machine keys only, values 1..%d"
          % len(lists[0]))

    origins = [data for _, data in lists[0]]
    checked = subprocess.run(["bash", POLICY_SCRIPT, "--print"] + origins,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert checked.returncode == 0, checked.stdout.decode()
    print("ok      origins the Linux policy script takes as well: %s" % ", ".join(origins))

    hosts = subprocess.run([sys.executable, FIREFOX_SCRIPT, "print"] + origins,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert hosts.returncode == 0, hosts.stdout.decode()
    assert [data for _, data in lists[2]] == hosts.stdout.decode().split(), (lists[2], hosts.stdout)
    print("ok      Firefox's SkipDomains hold those origins' host names: %s"
          % ", ".join(data for _, data in lists[2]))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as error:
        print("FAILED  %s" % error)
        sys.exit(1)
