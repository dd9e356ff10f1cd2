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
  and puts it on a stick that check_usb_image.py accepts; later `make efi`
  runs without and with the key switch between the unsigned and the
  signed program; an encrypted key stops `make efi` at once, naming it.

    check_signing.py --source DIR --unsigned EFI --image IMAGE --scratch DIR
"""
import argparse
import hashlib
import os
import pty
import select
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

from check_usb_image import check_stick

ARGS = None


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


class SignScript(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(ARGS.scratch) / "script"
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.work.mkdir(parents=True)
        cls.keys = make_keys(cls.work)
        cls.script = Path(ARGS.source) / "tools" / "sign-efi.sh"

    def sign(self, key, cert, out="signed.efi"):
        return subprocess.run(["sh", str(self.script), ARGS.unsigned, str(self.work / out),
                               str(key), str(cert)], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=60)

    def test_a_good_pair_signs_verifies_and_the_signature_reattaches(self):
        key, cert = self.keys["oem"]
        done = self.sign(key, cert)
        self.assertEqual(done.returncode, 0, done.stderr)
        signed = self.work / "signed.efi"
        self.assertTrue(sbverify(cert, signed))
        self.assertFalse(sbverify(self.keys["other"][1], signed))
        self.assertIn(f"{ARGS.unsigned}: SHA-256 {sha256(ARGS.unsigned)}", done.stdout)
        self.assertIn(f"{signed}: SHA-256 {sha256(signed)}", done.stdout)
        rebuilt = self.work / "rebuilt.efi"
        shutil.copyfile(ARGS.unsigned, rebuilt)
        subprocess.run(["sbattach", "--attach", f"{signed}.sig", str(rebuilt)], check=True,
                       capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(rebuilt.read_bytes(), signed.read_bytes())

    def test_bad_keys_and_certificates_are_refused_by_name(self):
        key, cert = self.keys["oem"]
        other_key = self.keys["other"][0]
        cases = [
            (self.work / "absent.key", cert, ["absent.key", "does not exist"]),
            (key, self.work, [f"certificate {self.work} is not a regular file"]),
            (self.keys["pkcs8"], cert,
             ["pkcs8-encrypted.key is encrypted", f"openssl pkey -in {self.keys['pkcs8']}"]),
            (self.keys["traditional"], cert,
             ["rsa-encrypted.key is encrypted", f"openssl pkey -in {self.keys['traditional']}"]),
            (other_key, cert, [f"{other_key} does not belong to signing certificate {cert}"]),
            (cert, cert, [f"{cert} is not a PEM private key"]),
            (key, key, [f"{key} is not a PEM X.509 certificate"]),
        ]
        for number, (bad_key, bad_cert, words) in enumerate(cases):
            with self.subTest(key=bad_key.name, cert=bad_cert.name):
                out = f"refused{number}.efi"
                done = self.sign(bad_key, bad_cert, out)
                self.assertNotEqual(done.returncode, 0)
                for word in words:
                    self.assertIn(word, " ".join(done.stderr.split()))
                self.assertFalse((self.work / out).exists())
                self.assertFalse((self.work / f"{out}.sig").exists())

    def test_an_encrypted_key_never_waits_for_a_passphrase_on_a_terminal(self):
        # A terminal is where a passphrase prompt would hang the build.
        pid, terminal = pty.fork()
        if pid == 0:
            os.execvp("sh", ["sh", str(self.script), ARGS.unsigned,
                             str(self.work / "tty.efi"), str(self.keys["pkcs8"]),
                             str(self.keys["oem"][1])])
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
        self.assertTrue(closed, f"still waiting after 20 s: {output!r}")
        self.assertNotEqual(os.waitstatus_to_exitcode(status), 0)
        self.assertIn(b"is encrypted", output)


class MakeTargets(unittest.TestCase):
    """One build directory of its own, driven through the Makefile."""

    def make(self, *words):
        # A make of our own: the outer make's job server is not ours to use.
        env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
        return subprocess.run(["make", "-C", ARGS.source, f"BUILD={self.build}",
                               f"FIRMWARE_IMAGE={ARGS.image}", *words],
                              capture_output=True, text=True, env=env,
                              stdin=subprocess.DEVNULL, timeout=600)

    def test_signed_stick_then_unsigned_again_then_an_encrypted_key(self):
        work = Path(ARGS.scratch) / "make"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        keys = make_keys(work)
        key, cert = keys["oem"]
        self.build = work / "build"
        efi = self.build / "efi"

        done = self.make("usb-image", f"SIGNING_KEY={key}", f"SIGNING_CERT={cert}")
        self.assertEqual(done.returncode, 0, done.stdout[-3000:] + done.stderr[-3000:])
        signed, unsigned = efi / "pellory.efi", efi / "pellory-unsigned.efi"
        self.assertTrue(sbverify(cert, signed))
        self.assertIn(f"SHA-256 {sha256(unsigned)}", done.stdout)
        self.assertIn(f"SHA-256 {sha256(signed)}", done.stdout)
        self.assertEqual(check_stick(self.build / "pellory-usb.img", signed.read_bytes()), [])

        # Back and forth: each switch remakes pellory.efi, though the
        # sources stayed the same.
        for round in range(2):
            done = self.make("efi")
            self.assertEqual(done.returncode, 0, done.stderr[-3000:])
            self.assertEqual(signed.read_bytes(), unsigned.read_bytes(),
                             f"round {round}: make efi without the key left it signed")
            done = self.make("efi", f"SIGNING_KEY={key}", f"SIGNING_CERT={cert}")
            self.assertEqual(done.returncode, 0, done.stderr[-3000:])
            self.assertTrue(sbverify(cert, signed), f"round {round}: signing again did not sign")

        done = self.make("efi", f"SIGNING_KEY={keys['pkcs8']}", f"SIGNING_CERT={cert}")
        self.assertNotEqual(done.returncode, 0)
        message = " ".join(done.stderr.split())
        self.assertIn(f"{keys['pkcs8']} is encrypted", message)
        self.assertIn("openssl pkey -in", message)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--unsigned", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--scratch", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
