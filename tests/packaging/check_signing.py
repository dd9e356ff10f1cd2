#!/usr/bin/env python3
"""Checks of Secure Boot signing, with keys made here by openssl:

- tools/sign-efi.sh refuses, by name and before sbsign runs, a missing key
  or certificate, one that is a directory, an encrypted key (saying how to
  decrypt it, and without waiting for a passphrase even on a terminal), a
  key that is not PEM and a key that does not belong to the certificate;
  a good pair gives a program that passes sbverify, both SHA-256 sums, and
  a detached signature that, attached to the unsigned program, gives the
  very same signed bytes.
- The make targets, in a build directory of their own: `make usb-image
  FIRMWARE_IMAGE=... SIGNING_KEY=... SIGNING_CERT=...` signs pellory.efi
  (and the resident driver, pellory-identify.efi) and puts it on a stick
  that check_usb_image.py accepts; later `make efi`
  runs without and with the key switch between the unsigned and the
  signed program; an encrypted key stops `make efi` at once, naming it.

    pytest check_signing.py --source DIR --unsigned EFI --embedded IMAGE --scratch DIR
"""
import hashlib
import os
import pty
import select
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from check_usb_image import check_stick


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, stdin=subprocess.DEVNULL)


def make_keys(directory):
    """An OEM pair, another pair, and the OEM key encrypted both ways."""
    keys = {}
    for name in ("oem", "other"):
        key, cert = directory / f"{name}.key", directory / f"{name}.pem"
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
                "-out", str(cert), "-days", "3650", "-subj", f"/CN=Pellory test {name}")
        keys[name] = (key, cert)
    pkcs8, traditional = directory / "pkcs8-encrypted.key", directory / "rsa-encrypted.key"
    openssl("pkey", "-in", str(keys["oem"][0]), "-aes256", "-passout", "pass:x", "-out", str(pkcs8))
    openssl("rsa", "-in", str(keys["oem"][0]), "-aes256", "-passout", "pass:x", "-traditional",
            "-out", str(traditional))
    keys["pkcs8"], keys["traditional"] = pkcs8, traditional
    return keys


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def sbverify(cert, program):
    return subprocess.run(["sbverify", "--cert", str(cert), str(program)], capture_output=True,
                          stdin=subprocess.DEVNULL).returncode == 0


class Signer:
    """tools/sign-efi.sh with keys of its own, in a folder of its own."""

    def __init__(self, source, unsigned, work):
        self.unsigned, self.work = unsigned, work
        self.keys = make_keys(work)
        self.script = Path(source) / "tools" / "sign-efi.sh"

    def sign(self, key, cert, out="signed.efi"):
        return subprocess.run(["sh", str(self.script), self.unsigned, str(self.work / out),
                               str(key), str(cert)], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=60)


@pytest.fixture(scope="module")
def signer(source, unsigned, scratch_root):
    work = scratch_root / "script"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    return Signer(source, unsigned, work)


def test_a_good_pair_signs_verifies_and_the_signature_reattaches(signer):
    key, cert = signer.keys["oem"]
    done = signer.sign(key, cert)
    assert done.returncode == 0, done.stderr
    signed, unsigned = signer.work / "signed.efi", signer.unsigned
    assert sbverify(cert, signed)
    assert not sbverify(signer.keys["other"][1], signed)
    assert f"{unsigned}: SHA-256 {sha256(unsigned)}" in done.stdout
    assert f"{signed}: SHA-256 {sha256(signed)}" in done.stdout
    rebuilt = signer.work / "rebuilt.efi"
    shutil.copyfile(unsigned, rebuilt)
    subprocess.run(["sbattach", "--attach", f"{signed}.sig", str(rebuilt)], check=True,
                   capture_output=True, stdin=subprocess.DEVNULL)
    assert rebuilt.read_bytes() == signed.read_bytes()


# (key, certificate, words the refusal holds), each by the names
# make_keys gives; "work" is the folder itself.
BAD_PAIRS = [
    ("absent.key", "oem.pem", ["absent.key", "does not exist"]),
    ("oem.key", "work", ["certificate {work} is not a regular file"]),
    ("pkcs8-encrypted.key", "oem.pem",
     ["pkcs8-encrypted.key is encrypted", "openssl pkey -in {work}/pkcs8-encrypted.key"]),
    ("rsa-encrypted.key", "oem.pem",
     ["rsa-encrypted.key is encrypted", "openssl pkey -in {work}/rsa-encrypted.key"]),
    ("other.key", "oem.pem", ["{work}/other.key does not belong to signing certificate "
                              "{work}/oem.pem"]),
    ("oem.pem", "oem.pem", ["{work}/oem.pem is not a PEM private key"]),
    ("oem.key", "oem.key", ["{work}/oem.key is not a PEM X.509 certificate"]),
]


@pytest.mark.parametrize("number, key, cert, words",
                         [(n, *case) for n, case in enumerate(BAD_PAIRS)])
def test_bad_keys_and_certificates_are_refused_by_name(signer, number, key, cert, words):
    def place(name):
        return signer.work if name == "work" else signer.work / name
    out = f"refused{number}.efi"
    done = signer.sign(place(key), place(cert), out)
    assert done.returncode != 0
    for word in words:
        assert word.format(work=signer.work) in " ".join(done.stderr.split())
    assert not (signer.work / out).exists()
    assert not (signer.work / f"{out}.sig").exists()


def test_an_encrypted_key_never_waits_for_a_passphrase_on_a_terminal(signer):
    # A terminal is where a passphrase prompt would hang the build.
    pid, terminal = pty.fork()
    if pid == 0:
        os.execvp("sh", ["sh", str(signer.script), signer.unsigned,
                         str(signer.work / "tty.efi"), str(signer.keys["pkcs8"]),
                         str(signer.keys["oem"][1])])
    output, deadline, closed = b"", time.monotonic() + 20, False
    while not closed and time.monotonic() < deadline:
        if select.select([terminal], [], [], 0.5)[0]:
            try:
                chunk = os.read(terminal, 4096)
            except OSError:
                chunk = b""
            closed = not chunk
            output += chunk
    if not closed:
        os.kill(pid, 9)
    _, status = os.waitpid(pid, 0)
    os.close(terminal)
    assert closed, f"still waiting after 20 s: {output!r}"
    assert os.waitstatus_to_exitcode(status) != 0
    assert b"is encrypted" in output


def test_make_signs_a_stick_then_unsigned_again_then_refuses_an_encrypted_key(source, embedded,
                                                                             scratch_root):
    """One build directory of its own, driven through the Makefile."""
    work = scratch_root / "make"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    keys = make_keys(work)
    key, cert = keys["oem"]
    build = work / "build"
    efi = build / "efi"

    def make(*words):
        # A make of our own: the outer make's job server is not ours to use.
        env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
        return subprocess.run(["make", "-C", source, f"BUILD={build}",
                               f"FIRMWARE_IMAGE={embedded}", *words],
                              capture_output=True, text=True, env=env,
                              stdin=subprocess.DEVNULL, timeout=600)

    done = make("usb-image", f"SIGNING_KEY={key}", f"SIGNING_CERT={cert}")
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    signed, unsigned = efi / "pellory.efi", efi / "pellory-unsigned.efi"
    assert sbverify(cert, signed)
    assert f"SHA-256 {sha256(unsigned)}" in done.stdout
    assert f"SHA-256 {sha256(signed)}" in done.stdout
    assert check_stick(build / "pellory-usb.img", signed.read_bytes()) == []
    # The resident driver is signed with the same key.
    driver, driver_unsigned = efi / "pellory-identify.efi", efi / "pellory-identify-unsigned.efi"
    assert sbverify(cert, driver)

    # Back and forth: each switch remakes pellory.efi, though the sources
    # stayed the same.
    for round in range(2):
        done = make("efi")
        assert done.returncode == 0, done.stderr[-3000:]
        assert signed.read_bytes() == unsigned.read_bytes(), \
            f"round {round}: make efi without the key left it signed"
        assert driver.read_bytes() == driver_unsigned.read_bytes(), \
            f"round {round}: the driver built without the key differs from the one that was signed"
        done = make("efi", f"SIGNING_KEY={key}", f"SIGNING_CERT={cert}")
        assert done.returncode == 0, done.stderr[-3000:]
        assert sbverify(cert, signed), f"round {round}: signing again did not sign"

    done = make("efi", f"SIGNING_KEY={keys['pkcs8']}", f"SIGNING_CERT={cert}")
    assert done.returncode != 0
    message = " ".join(done.stderr.split())
    assert f"{keys['pkcs8']} is encrypted" in message
    assert "openssl pkey -in" in message
