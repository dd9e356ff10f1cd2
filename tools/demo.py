#!/usr/bin/env python3
"""The whole update in real UEFI firmware, as a user would see it.

    demo.py --efi-dir build/efi

Boots QEMU with OVMF's UEFI Shell, loads the converter simulator, runs
pellory-testimage.efi and shows its console live, from the banner to the
final message (the progress line counting down in place), then log.txt.
Exit status 0 only when the update succeeded.
"""
import argparse
import os
import sys
import threading
import time

from pellory_machine.console import BEGIN_MARKER, END_MARKER, clean
from pellory_machine.machine import BootTimeout, Machine, startup_script

STARTUP = startup_script("pellory-testimage.efi", setup=("load convsim.efi",), after=())


def follow(path, done, out):
    """Shows the program's part of the console as it arrives: escape codes
    removed, the text between the markers only."""
    shown = 0
    while True:
        finished = done.is_set()
        try:
            raw = open(path, "rb").read()
        except FileNotFoundError:
            raw = b""
        text = clean(raw)
        begin = text.find(BEGIN_MARKER)
        newline = text.find("\n", begin) if begin >= 0 else -1
        if newline >= 0:
            body = text[newline + 1:]
            end = body.find(END_MARKER)
            if end >= 0:
                body = body[:end]
            elif not finished:
                # Only whole lines and whole progress segments: a marker may
                # still be arriving.
                body = body[:max(body.rfind("\n"), body.rfind("\r")) + 1]
            if len(body) > shown:
                out.write(body[shown:])
                out.flush()
                shown = len(body)
            if end >= 0:
                return
        if finished:
            return
        time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--efi-dir", required=True)
    parser.add_argument("--timeout", type=float, default=600)
    args = parser.parse_args()
    files = {name: os.path.join(args.efi_dir, name)
             for name in ("pellory-testimage.efi", "convsim.efi")}
    files["convsim.cfg"] = b""
    print("Booting OVMF's UEFI Shell in QEMU under software emulation (about ten seconds)...",
          flush=True)
    with Machine() as machine:
        machine.add_volume(files, startup=STARTUP)
        capture = os.path.join(machine.folder, "console.raw")
        done = threading.Event()
        viewer = threading.Thread(target=follow, args=(capture, done, sys.stdout))
        viewer.start()
        try:
            result = machine.boot(limit=args.timeout, console_out=capture)
        except BootTimeout as error:
            done.set()
            viewer.join()
            print("\n" + str(error))
            return 1
        done.set()
        viewer.join()
        log = machine.read("log.txt")
    print("\nlog.txt: %s" % ("(missing)" if log is None else repr(log.decode("ascii", "replace"))))
    print("(boot and update took %.0f s)" % result.wall_time)
    return 0 if log == b"successful" else 1


if __name__ == "__main__":
    sys.exit(main())
