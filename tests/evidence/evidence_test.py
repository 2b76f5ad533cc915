#!/usr/bin/python3
"""Sealed signature evidence end to end, opened by an independent JOSE
implementation (python3-jwcrypto).

Starts penmora-demo (the path is the first argument; through PENMORA_LAUNCHER
when that is set), plays the signer through the demo's control endpoint and
the integrator's page on ws://127.0.0.1:10001 with python3-websockets, asks
for evidence sealed to fresh RSA 2048, RSA 3072 and P-256 keys, and opens it
with the private keys. Checks every field of the plaintext, the picture's hash
and its iTXt chunk (read back by PIL), tampering, fresh randomness, the
refusals of bad members, and that a page that does not ask sees today's
traffic. Prints one line per case and "N passed, N failed".
"""

import asyncio
import base64
import datetime
import hashlib
import io
import json
import os
import struct
import subprocess
import sys
import tempfile

from jwcrypto import jwe, jwk
from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo"))
import control_endpoint_test as demo  # noqa: E402  (the demo test's page and control helpers)

KEYWORD = "penmora-evidence"
CONTENT_TYPE = "vnd.penmora.evidence+json"
DOCUMENT = hashlib.sha256(b"the contract, page 1 to 12").hexdigest()
WHO = "Zo\u00eb M\u00fcller \u5f20\u4e09"
WHY = "I approve this contract"

KEYS = {}


def key(kind):
    """One key pair per kind for the whole run: RSA 2048, RSA 3072, P-256."""
    if kind not in KEYS:
        if kind == "P-256":
            KEYS[kind] = jwk.JWK.generate(kty="EC", crv="P-256")
        else:
            KEYS[kind] = jwk.JWK.generate(kty="RSA", size=int(kind[3:]))
    return KEYS[kind]


def spki_pem(k):
    return k.export_to_pem(private_key=False, password=None).decode()


def spki_base64_der(k):
    pem = spki_pem(k)
    return "".join(line for line in pem.splitlines() if not line.startswith("-----"))


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def png_bytes(message, type_name="TavoSignBase64"):
    obj = json.loads(message)
    assert obj["typeName"] == type_name, obj["typeName"]
    text = obj["message"]
    return base64.b64decode(text + "=" * (-len(text) % 4), validate=True)


def chunks(png):
    """(type, data) of every chunk, each CRC checked."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    found, at = [], 8
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        data = png[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", png[at + 8 + length:at + 12 + length])
        import zlib
        assert zlib.crc32(kind + data) == crc, kind
        found.append((kind.decode(), data))
        at += 12 + length
    return found


def without_evidence_chunk(png):
    """The PNG with its evidence chunk left out: the bytes the evidence seals."""
    out, at = png[:8], 8
    while at < len(png):
        (length,) = struct.unpack(">I", png[at:at + 4])
        whole = png[at:at + 12 + length]
        if not (whole[4:8] == b"iTXt" and whole[8:8 + len(KEYWORD) + 1] == KEYWORD.encode() + b"\0"):
            out += whole
        at += 12 + length
    return out


def start_message(extra, finger=False):
    message = {"penwidth": "4"}
    if finger:
        message["quality"] = "20"
    message.update(extra)
    return {"typeName": "TavoStartSignFinger" if finger else "TavoStartSign", "message": message}


def evidence_members(k, form="pem", document=DOCUMENT, who=WHO, why=WHY):
    members = {"sealto": spki_pem(k) if form == "pem" else spki_base64_der(k)}
    if document is not None:
        members["document"] = document
    if who is not None:
        members["who"] = who
    if why is not None:
        members["why"] = why
    return members


async def signed(extra, finger=False):
    """One signature with the demo's stroke: every message the page got up to
    TavoOK (with a fingerprint, up to the composite image), and the raw pen
    values drawn."""
    ctl, svc = await demo.control(), await demo.page()
    try:
        if finger:
            await ctl.send({"finger": "place"})
            await demo.sync(ctl)
        await svc.send(start_message(extra, finger))
        await ctl.expect({"pad": "open"})
        await ctl.expect(demo.feature(1))
        drawn = []
        for i in range(40):
            x, y = demo.raw_point(100 + 8 * i, 120 + (i * 37) % 90)
            drawn.append((x, y, 700))
        drawn.append(demo.raw_point(420, 150) + (0,))
        for x, y, p in drawn:
            await ctl.send({"pen": [x, y, p]})
        await demo.sync(ctl)
        await ctl.send({"button": "OK"})
        messages = []
        last = "TavoSignFBase64" if finger else "TavoOK"
        while True:
            message = await svc.next()
            messages.append(message)
            if json.loads(message)["typeName"] == last:
                break
        if finger:
            await ctl.send({"finger": "lift"})
        await ctl.expect({"pad": "closed"})
        return messages, drawn
    finally:
        await ctl.close()
        await svc.close()


def names(messages):
    return [json.loads(m)["typeName"] for m in messages]


def evidence_of(messages):
    found = [json.loads(m)["message"] for m in messages
             if json.loads(m)["typeName"] == "TavoSignEvidence"]
    assert len(found) == 1, names(messages)
    return found[0]


def open_evidence(token, k):
    sealed = jwe.JWE()
    sealed.deserialize(token, key=k)
    return json.loads(sealed.payload.decode()), sealed.jose_header


def check_record(record, drawn):
    header, _, samples = record.partition("|")
    fields = dict(item.split("=") for item in header.split(","))
    assert fields["v"] == "1" and fields["cut"] == "0", fields
    assert fields["xmax"] == "10206" and fields["ymax"] == "7422", fields
    pen = [tuple(int(v) for v in s.split(",")) for s in samples.split(";")]
    assert int(fields["n"]) == len(pen) == len(drawn), (fields["n"], len(pen), len(drawn))
    assert [p[1:] for p in pen] == drawn, "the record holds other samples than were drawn"
    times = [p[0] for p in pen]
    assert times == sorted(times), times


async def check_sealed_signature(kind, form):
    k = key(kind)
    messages, drawn = await signed(evidence_members(k, form))
    # The evidence before the picture, no plaintext record, no live samples.
    assert names(messages) == ["TavoSignEvidence", "TavoSignBase64", "TavoOK"], names(messages)
    token = evidence_of(messages)
    assert token.count(".") == 4
    plain, header = open_evidence(token, k)
    assert header["alg"] == ("ECDH-ES+A256KW" if kind == "P-256" else "RSA-OAEP-256"), header
    assert header["enc"] == "A256GCM" and header["cty"] == CONTENT_TYPE, header
    assert header["kid"] == k.thumbprint(), (header["kid"], k.thumbprint())
    assert plain["format"] == "penmora-evidence" and plain["version"] == 1, plain
    assert plain["document"] == DOCUMENT and plain["who"] == WHO and plain["why"] == WHY, plain
    ok = datetime.datetime.strptime(plain["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
    now = datetime.datetime.utcnow()
    assert abs((now - ok).total_seconds()) < 120, (plain["time"], now)
    assert plain["pad"] == {"vendorId": "3f72", "productId": "0a01", "serial": None}, plain["pad"]
    service = plain["service"]
    assert service["name"] == "Penmora" and service["version"].count(".") == 2, service
    assert service["platform"] == ("windows" if demo.LAUNCHER else "linux"), service
    check_record(plain["record"], drawn)
    assert set(plain) == {"format", "version", "document", "who", "why", "time", "pngSha256",
                          "pad", "service", "record"}, sorted(plain)
    # The picture: its hash with the evidence chunk left out, and the chunk.
    png = png_bytes(messages[1])
    assert hashlib.sha256(without_evidence_chunk(png)).hexdigest() == plain["pngSha256"]
    kinds = [c[0] for c in chunks(png)]
    assert kinds[-2:] == ["iTXt", "IEND"] and kinds.count("iTXt") == 1, kinds
    image = Image.open(io.BytesIO(png))
    image.load()
    assert image.size == (600, 355) and image.mode == "RGBA"
    assert image.text[KEYWORD] == token, "the PNG reader finds another text"
    return token


async def case_rsa_2048_pem():
    await check_sealed_signature("RSA2048", "pem")


async def case_rsa_3072_base64_der():
    await check_sealed_signature("RSA3072", "der")


async def case_p256_pem():
    await check_sealed_signature("P-256", "pem")


async def case_only_sealto():
    k = key("P-256")
    messages, drawn = await signed(evidence_members(k, "der", None, None, None))
    plain, _ = open_evidence(evidence_of(messages), k)
    assert plain["document"] is None and plain["who"] is None and plain["why"] is None, plain
    check_record(plain["record"], drawn)


async def case_with_pen_data_too():
    k = key("RSA2048")
    extra = evidence_members(k, "der")
    extra["PenData"] = "1"
    messages, drawn = await signed(extra)
    kinds = names(messages)
    assert "TavoSignData" not in kinds, kinds
    assert kinds[-3:] == ["TavoSignEvidence", "TavoSignBase64", "TavoOK"], kinds
    live = ";".join(json.loads(m)["message"] for m in messages
                    if json.loads(m)["typeName"] == "TavoPenData")
    assert set(kinds[:-3]) == {"TavoPenData"}, kinds
    plain, _ = open_evidence(evidence_of(messages), k)
    assert plain["record"].partition("|")[2] == live, "the live samples differ from the record"
    check_record(plain["record"], drawn)


async def case_sign_finger():
    k = key("P-256")
    messages, _ = await signed(evidence_members(k), finger=True)
    kinds = names(messages)
    assert kinds == ["TavoSignEvidence", "TavoOK", "TavoSignFBase64"], kinds
    plain, _ = open_evidence(evidence_of(messages), k)
    assert len(plain["pngSha256"]) == 64 and plain["who"] == WHO, plain


async def case_tampering_and_other_key():
    k = key("RSA2048")
    messages, _ = await signed(evidence_members(k, "der"))
    token = evidence_of(messages)
    open_evidence(token, k)
    parts = token.split(".")
    for index in range(5):
        raw = bytearray(b64url_decode(parts[index]))
        for bit in (0, len(raw) * 8 - 1):
            flipped = bytearray(raw)
            flipped[bit // 8] ^= 1 << (bit % 8)
            changed = list(parts)
            changed[index] = b64url(bytes(flipped))
            try:
                open_evidence(".".join(changed), k)
            except Exception:
                continue
            raise AssertionError("part %d opened with bit %d flipped" % (index, bit))
    for other in (jwk.JWK.generate(kty="RSA", size=2048), key("RSA3072")):
        try:
            open_evidence(token, other)
        except Exception:
            continue
        raise AssertionError("another key opened the evidence")


async def case_fresh_randomness():
    for kind in ("RSA2048", "P-256"):
        k = key(kind)
        first = evidence_of((await signed(evidence_members(k)))[0]).split(".")
        second = evidence_of((await signed(evidence_members(k)))[0]).split(".")
        for index in range(1, 5):
            assert first[index] != second[index], (kind, index)
        header = [json.loads(b64url_decode(p[0])) for p in (first, second)]
        if kind == "P-256":
            assert header[0]["epk"] != header[1]["epk"], "the ephemeral key was used twice"
        plain = [open_evidence(".".join(p), k)[0] for p in (first, second)]
        assert plain[0]["pngSha256"] == plain[1]["pngSha256"], "the same strokes, another picture"


BAD_MEMBERS = [
    ({"sealto": "not a key"}, "sealto: not a public key"),
    ({"sealto": 5}, "sealto: not a JSON string"),
    ({"sealto": ""}, "sealto: not a public key"),
    ({"SealTo": "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA"}, "sealto: not a public key"),
    ("rsa1024", "sealto: an RSA key of 1024 bits"),
    ("p384", "sealto: an EC key on the curve secp384r1"),
    ("ed25519", "sealto: a key of a type that is not accepted"),
    ("document", "document: not a SHA-256 in hex"),
    ("document63", "document: not a SHA-256 in hex"),
    ("documentNumber", "document: not a JSON string"),
    ("who", "who: not a JSON string"),
    ("why", "why: not a JSON string"),
]


def bad_members(spec):
    if isinstance(spec, dict):
        return spec
    good = spki_base64_der(key("P-256"))
    if spec == "rsa1024":
        return {"sealto": spki_pem(jwk.JWK.generate(kty="RSA", size=1024))}
    if spec == "p384":
        return {"sealto": spki_pem(jwk.JWK.generate(kty="EC", crv="P-384"))}
    if spec == "ed25519":
        return {"sealto": spki_pem(jwk.JWK.generate(kty="OKP", crv="Ed25519"))}
    if spec == "document":
        return {"sealto": good, "document": "zz" + DOCUMENT[2:]}
    if spec == "document63":
        return {"sealto": good, "document": DOCUMENT[:63]}
    if spec == "documentNumber":
        return {"sealto": good, "document": 12}
    if spec == "who":
        return {"sealto": good, "document": DOCUMENT, "who": ["Zo\u00eb"]}
    return {"sealto": good, "why": None}


async def case_bad_members_start_nothing():
    ctl, svc = await demo.control(), await demo.page()
    try:
        for finger in (False, True):
            for spec, text in BAD_MEMBERS:
                await svc.send(start_message(bad_members(spec), finger))
                answer = await svc.next_json()
                assert answer["typeName"] == "TavoEvidenceError", answer
                assert answer["message"].startswith(text), (answer, text)
                assert set(answer) == {"typeName", "message"}, answer
                events = await demo.sync(ctl)
                assert events == [], (spec, events)  # the pad was not even opened
        # The next good command starts as always.
        await demo.start_sign(svc, ctl)
        await svc.send({"typeName": "TavoCloseSign"})
        await ctl.expect({"pad": "closed"})
    finally:
        await ctl.close()
        await svc.close()


async def case_without_sealto_today():
    plain, _ = await signed({})
    extras, _ = await signed({"document": "not even hex", "who": WHO, "why": 7, "pendata": "0"})
    assert extras == plain, "members without sealto changed the traffic"
    assert names(plain) == ["TavoSignBase64", "TavoOK"], names(plain)
    png = png_bytes(plain[0])
    assert "iTXt" not in [c[0] for c in chunks(png)]
    sealed, _ = await signed(evidence_members(key("P-256")))
    sealed_png = png_bytes(sealed[1])
    assert without_evidence_chunk(sealed_png) == png, "the sealed picture differs beyond its chunk"
    assert sealed[2] == plain[1]


TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                    "penmora-evidence")


def tool(*args):
    done = subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


async def case_tool_opens_checks_and_draws():
    contract = b"the contract, page 1 to 12"
    for kind in ("RSA2048", "P-256"):
        k = key(kind)
        members = evidence_members(k, "der", hashlib.sha256(contract).hexdigest(), "Zo\u00eb", None)
        messages, drawn = await signed(members)
        token = evidence_of(messages)
        png = png_bytes(messages[1])
        expected, _ = open_evidence(token, k)
        with tempfile.TemporaryDirectory() as folder:
            def put(name, data):
                path = os.path.join(folder, name)
                with open(path, "wb") as f:
                    f.write(data)
                return path
            private = put("key.pem", k.export_to_pem(private_key=True, password=None))
            jwe_file = put("evidence.jwe", token.encode() + b"\n")
            png_file = put("signature.png", png)
            document = put("contract.txt", contract)
            other = put("other.txt", contract + b".")
            code, out, err = tool("--key", private, jwe_file)
            assert code == 0 and json.loads(out) == expected, (code, err)
            code, out, err = tool("--key", private, png_file, "--document", document)
            assert code == 0, (code, err)
            assert json.loads(out) == expected
            assert "picture: matches" in err and "document: matches" in err, err
            code, _, err = tool("--key", private, png_file, "--document", other)
            assert code == 1 and "document: DOES NOT MATCH" in err, (code, err)
            code, _, err = tool("--key", private, jwe_file, "--document-hash", "0" * 64)
            assert code == 1 and "document: DOES NOT MATCH" in err, (code, err)
            # The same picture encoded anew: other bytes, another hash.
            image = Image.open(io.BytesIO(png))
            again = io.BytesIO()
            image.save(again, "PNG", compress_level=1)
            code, _, err = tool("--key", private, jwe_file, "--png", put("again.png", again.getvalue()))
            assert code == 1 and "picture: DOES NOT MATCH" in err, (code, err)
            wrong = put("wrong.pem", jwk.JWK.generate(kty="RSA", size=2048).export_to_pem(
                private_key=True, password=None))
            code, out, err = tool("--key", wrong, jwe_file)
            assert code == 3 and "sealed to another key" in err and out == "", (code, err)
            parts = token.split(".")
            raw = bytearray(b64url_decode(parts[3]))
            raw[len(raw) // 2] ^= 0x10
            parts[3] = b64url(bytes(raw))
            code, out, err = tool("--key", private, put("tampered.jwe", ".".join(parts).encode()))
            assert code == 3 and "altered" in err and out == "", (code, err)
            code, _, err = tool("--key", document, jwe_file)
            assert code == 2 and "not a private key" in err, (code, err)
            strokes, dynamics = os.path.join(folder, "s.png"), os.path.join(folder, "d.png")
            code, _, err = tool("--key", private, jwe_file, "--draw", strokes, "--plot", dynamics)
            assert code == 0, (code, err)
            drawing = Image.open(strokes).convert("L")
            assert drawing.size == (1200, 800), drawing.size
            # Ink where the stroke was drawn, none far from it.
            x, y = drawn[10][0] / 10206 * 1200, drawn[10][1] / 7422 * 800
            assert min(drawing.getpixel((round(x) + dx, round(y) + dy))
                       for dx in (-1, 0, 1) for dy in (-1, 0, 1)) < 128, (x, y)
            assert drawing.getpixel((1150, 750)) == 255
            plot = Image.open(dynamics).convert("L")
            assert plot.size[0] == 900 and plot.getextrema()[0] < 128


CASES = [
    case_rsa_2048_pem,
    case_rsa_3072_base64_der,
    case_p256_pem,
    case_only_sealto,
    case_with_pen_data_too,
    case_sign_finger,
    case_tampering_and_other_key,
    case_fresh_randomness,
    case_bad_members_start_nothing,
    case_without_sealto_today,
    case_tool_opens_checks_and_draws,
]

if __name__ == "__main__":
    demo.CASES = CASES
    sys.exit(demo.main())
