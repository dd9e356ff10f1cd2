"""What the Secure Boot scenarios boot, signed with Debian's snakeoil key
(the one the snakeoil firmware's db trusts), through the build's own
signing step (tools/sign-efi.sh): --signed-dir gets the loader, the
simulator's images, the test-image program and the identification driver,
signed, and the signed stick
built from that program as `make usb-image` builds one. The key is
decrypted there for the signing only and removed afterwards; it never lands
in the source tree.
"""
import os
import subprocess
from pathlib import Path

from pellory_machine import machine, stick

TOOLS = Path(__file__).resolve().parents[2] / "tools"
SIGNED = ("convsim-boot", "convsim", "convsim-dump", "pellory-testimage", "pellory-identify")
SIGNED_STICK = "pellory-usb-testimage-signed.img"


def test_sign(efi_dir, signed_dir):
    out = Path(signed_dir)
    out.mkdir(parents=True, exist_ok=True)
    key = out / "snakeoil-key.pem"
    old_mask = os.umask(0o077)
    try:
        subprocess.run(["openssl", "pkey", "-in", machine.SNAKEOIL_KEY, "-passin",
                        "pass:" + machine.SNAKEOIL_PASSWORD, "-out", str(key)],
                       check=True, stdin=subprocess.DEVNULL)
        for name in SIGNED:
            subprocess.run(["sh", str(TOOLS / "sign-efi.sh"),
                            os.path.join(efi_dir, name + ".efi"), str(out / (name + ".efi")),
                            str(key), machine.SNAKEOIL_CERT],
                           check=True, stdin=subprocess.DEVNULL)
    finally:
        os.umask(old_mask)
        key.unlink(missing_ok=True)
    digest = stick.build(out / SIGNED_STICK, out / "pellory-testimage.efi")
    print(f"built {out / SIGNED_STICK} (program SHA-256 {digest})")
