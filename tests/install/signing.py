#!/usr/bin/python3
"""Code signing for the installer tests and the Windows stage: a throwaway
self-signed code-signing certificate (openssl), an RFC 3161 timestamp
server of the test's own on loopback, and the check of a signature with
`osslsigncode verify`.

Usage (the Windows stage):
  signing.py certificate FOLDER     makes FOLDER/signing.pfx, its password in
                                    FOLDER/password and the certificate in
                                    FOLDER/certificate.pem
  signing.py verify CERTIFICATE FILE...
                                    checks that each file carries a valid
                                    signature by that certificate
"""

import http.server
import os
import secrets
import subprocess
import sys
import tempfile
import threading

SUBJECT = "Penmora test signing"
TSA_SUBJECT = "Penmora test timestamps"
TSA_CONFIG = """[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = {folder}/serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def openssl(*arguments):
    subprocess.run(["openssl"] + list(arguments), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def self_signed(folder, name, subject, usage):
    """A key and a self-signed certificate for one extended key usage,
    valid for two days: name.key, name.pem."""
    key, certificate = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".pem")
    openssl("req", "-x509", "-newkey", "rsa:3072", "-nodes", "-days", "2",
            "-subj", "/CN=" + subject,
            "-addext", "extendedKeyUsage=critical," + usage,
            "-addext", "keyUsage=critical,digitalSignature",
            "-keyout", key, "-out", certificate)
    return key, certificate


def make_certificate(folder):
    """A code-signing certificate in a password-protected PKCS#12 file, as
    IT gets one: returns the environment that hands it to the scripts, and
    the certificate (PEM) that verifies what it signs."""
    key, certificate = self_signed(folder, "signing", SUBJECT, "codeSigning")
    password = secrets.token_urlsafe(12)
    pfx = os.path.join(folder, "signing.pfx")
    openssl("pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pfx,
            "-passout", "pass:" + password)
    os.remove(key)
    with open(os.path.join(folder, "password"), "w") as stored:
        stored.write(password)
    os.rename(certificate, os.path.join(folder, "certificate.pem"))
    return ({"PENMORA_SIGN_PFX": pfx, "PENMORA_SIGN_PASSWORD": password},
            os.path.join(folder, "certificate.pem"))


def verify(path, certificate, tsa_certificate=None):
    """osslsigncode's verdict on a file's signature; raises AssertionError
    unless it is valid and made with this certificate (and timestamped by
    this timestamp server, when one is given). Returns the verdict's text."""
    command = ["osslsigncode", "verify", "-CAfile", certificate]
    if tsa_certificate:
        command += ["-TSA-CAfile", tsa_certificate]
    done = subprocess.run(command + ["-in", path], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    text = done.stdout.decode(errors="replace")
    assert done.returncode == 0, "%s: not validly signed:\n%s" % (path, text)
    assert "Subject: /CN=%s" % SUBJECT in text, "%s: signed by someone else:\n%s" % (path, text)
    if tsa_certificate:
        assert ("Issuer: /CN=%s" % TSA_SUBJECT in text
                and "Timestamp Server Signature verification: ok" in text), \
            "%s: no timestamp of the test's server:\n%s" % (path, text)
    return text


def unsigned(path):
    """Whether osslsigncode finds no signature at all in a file."""
    done = subprocess.run(["osslsigncode", "verify", "-in", path], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    # "No signature found" (programs), "MSI file has no signature".
    return done.returncode != 0 and b"no signature" in done.stdout.lower()


class TimestampServer:
    """An RFC 3161 timestamp server on 127.0.0.1 (an ephemeral port), whose
    answers openssl's ts command makes with a certificate of its own."""

    def __init__(self, folder):
        self.folder = folder
        self.key, self.certificate = self_signed(folder, "tsa", TSA_SUBJECT, "timeStamping")
        self.config = os.path.join(folder, "tsa.cnf")
        with open(self.config, "w") as config:
            config.write(TSA_CONFIG.format(folder=folder))
        with open(os.path.join(folder, "serial"), "w") as serial:
            serial.write("01\n")
        self.requests = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                server.requests += 1
                answer = server.stamp(query)
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *arguments):
                pass

        self.http = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.http.server_address[1]
        self.thread = threading.Thread(target=self.http.serve_forever, daemon=True)
        self.thread.start()

    def stamp(self, query):
        with tempfile.TemporaryDirectory(dir=self.folder) as scratch:
            with open(os.path.join(scratch, "query.tsq"), "wb") as stored:
                stored.write(query)
            openssl("ts", "-reply", "-config", self.config, "-queryfile", stored.name,
                    "-inkey", self.key, "-signer", self.certificate,
                    "-out", os.path.join(scratch, "reply.tsr"))
            with open(os.path.join(scratch, "reply.tsr"), "rb") as reply:
                return reply.read()

    def stop(self):
        self.http.shutdown()
        self.http.server_close()
        self.thread.join()


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "certificate":
        make_certificate(arguments[1])
        return 0
    if len(arguments) >= 3 and arguments[0] == "verify":
        for path in arguments[2:]:
            try:
                verify(path, arguments[1])
            except AssertionError as error:
                print("FAILED  %s" % error)
                return 1
            print("ok      %s: signed by %s" % (path, SUBJECT))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
