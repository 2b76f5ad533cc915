#!/usr/bin/python3
"""Signing the Windows programs and the installer with scripts/make-msi.sh.

Usage: signing_test.py BUILD_FOLDER

Installs the Windows build into a folder (cmake --install) and makes its MSI:
without a certificate nothing is signed; with a throwaway self-signed
code-signing certificate, penmora.exe, penmora-demo.exe, the MSI and the
programs packed inside it carry valid signatures by it, and the MSI's tables
still keep Windows Installer's rules; with a timestamp server of the test's
own on loopback, the signatures are timestamped by it; a wrong password or a
timestamp server that does not answer fails the whole step and leaves no
installer behind. Prints one line per case.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import msi_rules  # noqa: E402
import signing  # noqa: E402

MAKE_MSI = os.path.join(TOP, "scripts", "make-msi.sh")
PROGRAMS = ("penmora.exe", os.path.join("demo", "penmora-demo.exe"))


def make_msi(dist, output, environment):
    """Runs make-msi.sh with only these signing variables set; returns its
    exit code and output."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith("PENMORA_SIGN_")}
    env.update(environment)
    done = subprocess.run(["bash", MAKE_MSI, "x64", dist, output], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return done.returncode, done.stdout.decode(errors="replace")


def signed_files(dist, msi, unpacked):
    """The programs of the folder, the MSI, and the programs inside it."""
    subprocess.run(["msiextract", "-C", unpacked, msi], check=True, stdout=subprocess.DEVNULL)
    inside = os.path.join(unpacked, "Programs", "Penmora")
    return ([os.path.join(dist, name) for name in PROGRAMS] + [msi]
            + [os.path.join(inside, name) for name in PROGRAMS])


def refused_port():
    """A loopback port on which nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    build = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="signing-test.", dir=build)
    server = None
    try:
        dist = os.path.join(work, "dist")
        subprocess.run([os.environ.get("CMAKE", "cmake"), "--install", build, "--prefix", dist],
                       check=True, stdout=subprocess.DEVNULL)
        keys = os.path.join(work, "keys")
        os.mkdir(keys)
        environment, certificate = signing.make_certificate(keys)

        msi = os.path.join(work, "unsigned.msi")
        code, output = make_msi(dist, msi, {})
        assert code == 0, output
        for path in signed_files(dist, msi, os.path.join(work, "unsigned")):
            assert signing.unsigned(path), "signed without a certificate: " + path
        print("ok      without a certificate nothing is signed")

        msi = os.path.join(work, "signed.msi")
        code, output = make_msi(dist, msi, environment)
        assert code == 0, output
        for path in signed_files(dist, msi, os.path.join(work, "signed")):
            signing.verify(path, certificate)
        failed = [(rule, findings) for _, rule, findings in msi_rules.check([msi]) if findings]
        assert not failed, failed
        print("ok      signed: both programs, the MSI and the programs inside it; "
              "the tables keep their rules")

        # Signing again replaces the signature; the programs stay valid.
        msi = os.path.join(work, "again.msi")
        code, output = make_msi(dist, msi, environment)
        assert code == 0, output
        for path in signed_files(dist, msi, os.path.join(work, "again")):
            text = signing.verify(path, certificate)
            assert "Number of verified signatures: 1" in text, text
        print("ok      signed twice: one signature each")

        server = signing.TimestampServer(keys)
        msi = os.path.join(work, "timestamped.msi")
        code, output = make_msi(dist, msi, dict(environment, PENMORA_SIGN_TIMESTAMP=server.url))
        assert code == 0, output
        for path in signed_files(dist, msi, os.path.join(work, "timestamped")):
            signing.verify(path, certificate, server.certificate)
        # The two programs in the folder and the MSI.
        assert server.requests == 3, server.requests
        print("ok      timestamped by an RFC 3161 server: every signature")

        for case, extra, wanted in (
                ("a wrong password", {"PENMORA_SIGN_PASSWORD": "not the password"},
                 "could not sign"),
                ("a timestamp server that does not answer",
                 {"PENMORA_SIGN_TIMESTAMP": "http://127.0.0.1:%d/" % refused_port()},
                 "could not sign"),
                ("a certificate file that is missing",
                 {"PENMORA_SIGN_PFX": os.path.join(keys, "missing.pfx")},
                 "no certificate file")):
            msi = os.path.join(work, "failed.msi")
            code, output = make_msi(dist, msi, dict(environment, **extra))
            assert code != 0, "%s: make-msi.sh succeeded:\n%s" % (case, output)
            assert wanted in output, "%s:\n%s" % (case, output)
            assert not os.path.exists(msi), "%s: an installer was left" % case
            print("ok      %s: make-msi.sh fails and leaves no installer" % case)
        print("all signing cases passed")
        return 0
    except Exception:
        import traceback
        traceback.print_exc()
        print("FAILED")
        return 1
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
