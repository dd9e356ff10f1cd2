#!/usr/bin/env python3
"""Real-firmware scenarios: the program and the simulator driver booted in
QEMU with OVMF's UEFI Shell, one boot per scenario.

    scenario_test.py NAME --efi-dir DIR --image TEST_IMAGE

Each scenario checks the console between the markers (escape codes
stripped, exact lines in order, the progress line as its exact carriage
return segments), log.txt's bytes and the simulator's record.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import qemu_run  # noqa: E402

BANNER = "Pellory Version:0.4, firmware version 07_23\r\n"
START = "start to update downloading\r\n"
SUCCESS = "Download success,Please shutdown to reset the system!\r\n"
NATIVE_LOOKUP = "ERROR : Can't get GopNative Protocol.\r\n"
I2C_LOOKUP = "ERROR : Can't get GopI2c Protocol.\r\n"


def pages(last=0):
    return "".join("Page:%02X\r" % n for n in range(0xFF, last - 1, -1))


def identification(bootloader="2.0.1", firmware="0x07_0x22"):
    return BANNER + "Bootloader:%s\r\nCurrent FirmwareVer:%s\r\n" % (bootloader, firmware)


def whole(console):
    return console + START + pages() + "\r\nverifying\r\n" + SUCCESS


def record(result):
    """simrec.txt as a dict of strings."""
    text = result.fetched.get("simrec.txt")
    if text is None:
        return {}
    values = {}
    for line in text.decode("ascii", "replace").splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            values[key.strip()] = value.strip()
    return values


# name: (convsim.cfg, files to place, directories to make, checks)
def scenarios(image):
    def flash_is_image(result, rec):
        flash = result.fetched.get("flash0.bin")
        return flash == image, "flash0.bin differs from the embedded image"

    def expect(key, value):
        def check(result, rec):
            return rec.get(key) == str(value), "record %s is %r, expected %r" % (
                key, rec.get(key), str(value))
        return check

    return {
        "whole_update": dict(
            cfg="",
            console=whole(identification()),
            log=b"successful",
            checks=[flash_is_image, expect("violations0", 0), expect("modeChanges0", 2)]),
        "port4_low_block": dict(
            cfg="answeringPort = 4\ndownstreamPort = 0\nfirmwareMajor = 0x01\n"
                "firmwareMinor = 0x0B\nbootloader = 0xA3\n",
            console=whole(identification("A.0.3", "0x01_0x0B")),
            log=b"successful",
            checks=[flash_is_image, expect("violations0", 0)]),
        "readback_corrupted": dict(
            cfg="corruptReadBack = true\ncorruptPage = 3\ncorruptByte = 0x10\n",
            console_prefix=identification() + START + pages() + "\r\nverifying\r\n"
            + "Firmware verify error at 784, data[i] = %x, fwBufRead[i] = %x\r\n" % (
                image[784], image[784] ^ 0xFF),
            log=b"failed",
            checks=[expect("modeChanges0", 1)]),
        "handshake_fails_old_log": dict(
            cfg="echoAfterReads = never\n",
            files={"log.txt": b"successful"},
            console=identification() + "3Cannot get ACK. Update failed\r\n",
            log=b"",
            checks=[expect("stalls", 100 * 100)]),
        "log_cannot_be_created": dict(
            cfg="",
            dirs=["log.txt"],
            console=identification() + "The file can not be opened.\r\n",
            log=None,
            checks=[expect("dpcdWrites0", 0)]),
        "no_converter_driver": dict(
            cfg="installProtocols = false\n",
            console=BANNER + I2C_LOOKUP * 8 + NATIVE_LOOKUP * 5 + "Bootloader:0.0.0\r\n"
            + NATIVE_LOOKUP * 2 + "Current FirmwareVer:0x00_0x00\r\n"
            # source OUI 3, 0x30C 1, first character and 0x30C 2, one wait 101
            + NATIVE_LOOKUP * (3 + 1 + 2 + 101) + "DPCD50C not 0.Update failed\r\n",
            log=b"",
            checks=[expect("stalls", 100)]),
    }


STARTUP = qemu_run.startup_script("pellory-testimage.efi", setup=("load convsim.efi",),
                                   after=("convsim-dump.efi",))


def first_difference(got, want):
    for i, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return i
    return min(len(got), len(want))


def run(name, efi_dir, image_path, timeout):
    image = open(image_path, "rb").read()
    scenario = scenarios(image)[name]
    files = {
        "pellory-testimage.efi": os.path.join(efi_dir, "pellory-testimage.efi"),
        "convsim.efi": os.path.join(efi_dir, "convsim.efi"),
        "convsim-dump.efi": os.path.join(efi_dir, "convsim-dump.efi"),
    }
    files.update(scenario.get("files", {}))
    files["convsim.cfg"] = scenario["cfg"].encode("ascii")
    result = qemu_run.run(files=files, dirs=scenario.get("dirs", []),
                          startup=STARTUP, timeout=timeout,
                          fetch=["log.txt", "simrec.txt", "flash0.bin"])
    failures = []
    section = result.section()
    body = section.body
    if "console" in scenario and body != scenario["console"]:
        at = first_difference(body, scenario["console"])
        failures.append("console differs at %d:\n  got  %r\n  want %r" % (
            at, body[max(0, at - 60):at + 60], scenario["console"][max(0, at - 60):at + 60]))
    if "console_prefix" in scenario and body != scenario["console_prefix"]:
        failures.append("console differs:\n  got  %r\n  want %r" % (
            body[-200:], scenario["console_prefix"][-200:]))
    if section.rc != 0:
        failures.append("program exit status %r, expected 0x0" % section.rc)
    log = result.fetched.get("log.txt")
    if scenario["log"] is not None and log != scenario["log"]:
        failures.append("log.txt holds %r, expected %r" % (log, scenario["log"]))
    rec = record(result)
    if not rec:
        failures.append("no simulator record (simrec.txt) was written")
    for check in scenario["checks"]:
        ok, message = check(result, rec)
        if not ok:
            failures.append(message)
    print("%s: boot %.1f s, converter accesses %s us" % (name, result.wall_time, rec.get("accessMicroseconds", "?")))
    if failures:
        print("FAILED %s:\n  %s" % (name, "\n  ".join(failures)))
        print("---- console ----\n%s" % result.text)
        return 1
    print("passed %s" % name)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("name")
    parser.add_argument("--efi-dir", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--timeout", type=float, default=240)
    args = parser.parse_args()
    return run(args.name, args.efi_dir, args.image, args.timeout)


if __name__ == "__main__":
    sys.exit(main())
