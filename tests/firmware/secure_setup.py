#!/usr/bin/env python3
"""What the Secure Boot scenarios boot, signed with Debian's snakeoil key
(the one the snakeoil firmware's db trusts), through the build's own
signing step (tools/sign-efi.sh):

    secure_setup.py --efi-dir DIR --out DIR

OUT gets the loader, the simulator's images and the test-image program,
signed, and the signed stick built from that program as `make usb-image`
builds one. The key is decrypted into OUT for the signing only and removed
afterwards; it never lands in the source tree.
"""
import argparse
import os
import subprocess
import sys
from pathlib import Path

TOOLS = Path(__file__).resolve().parents[2] / "tools"
sys.path.insert(0, str(TOOLS))
import qemu_run  # noqa: E402
import usb_image  # noqa: E402

SIGNED = ("convsim-boot", "convsim", "convsim-dump", "pellory-testimage")
SIGNED_STICK = "pellory-usb-testimage-signed.img"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--efi-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    key = out / "snakeoil-key.pem"
    old_mask = os.umask(0o077)
    try:
        subprocess.run(["openssl", "pkey", "-in", qemu_run.SNAKEOIL_KEY, "-passin",
                        "pass:" + qemu_run.SNAKEOIL_PASSWORD, "-out", str(key)],
                       check=True, stdin=subprocess.DEVNULL)
        for name in SIGNED:
            subprocess.run(["sh", str(TOOLS / "sign-efi.sh"),
                            os.path.join(args.efi_dir, name + ".efi"), str(out / (name + ".efi")),
                            str(key), qemu_run.SNAKEOIL_CERT],
                           check=True, stdin=subprocess.DEVNULL)
    finally:
        os.umask(old_mask)
        key.unlink(missing_ok=True)
    digest = usb_image.build(out / SIGNED_STICK, out / "pellory-testimage.efi")
    print(f"built {out / SIGNED_STICK} (program SHA-256 {digest})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
