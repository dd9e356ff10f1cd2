"""Real-firmware scenarios: the program and the simulator driver booted in
QEMU with OVMF's UEFI Shell, one boot per scenario.

Each scenario checks the console between the markers (escape codes
stripped, exact lines in order, the progress line as its exact carriage
return segments), log.txt's bytes and the simulator's record.
"""
import os

import pytest

import expect
from pellory_machine.machine import Machine, startup_script

NATIVE_LOOKUP = "ERROR : Can't get GopNative Protocol.\r\n"
I2C_LOOKUP = "ERROR : Can't get GopI2c Protocol.\r\n"
NAMES = ("whole_update", "port4_low_block", "readback_corrupted", "handshake_fails_old_log",
         "log_cannot_be_created", "no_converter_driver")


# name: (convsim.cfg, files to place, directories to make, checks)
def scenarios(image):
    def flash_is_image(fetched, rec):
        return fetched["flash0.bin"] == image, "flash0.bin differs from the embedded image"

    def record_is(key, value):
        def check(fetched, rec):
            return rec.get(key) == str(value), "record %s is %r, expected %r" % (
                key, rec.get(key), str(value))
        return check

    return {
        "whole_update": dict(
            cfg="",
            console=expect.whole(expect.identification()),
            log=b"successful",
            checks=[flash_is_image, record_is("violations0", 0), record_is("modeChanges0", 2)]),
        "port4_low_block": dict(
            cfg="answeringPort = 4\ndownstreamPort = 0\nfirmwareMajor = 0x01\n"
                "firmwareMinor = 0x0B\nbootloader = 0xA3\n",
            console=expect.whole(expect.identification("A.0.3", "0x01_0x0B")),
            log=b"successful",
            checks=[flash_is_image, record_is("violations0", 0)]),
        "readback_corrupted": dict(
            cfg="corruptReadBack = true\ncorruptPage = 3\ncorruptByte = 0x10\n",
            console_prefix=expect.identification() + expect.START + expect.pages() + "\r\nverifying\r\n"
            + "Firmware verify error at 784, data[i] = %x, fwBufRead[i] = %x\r\n" % (
                image[784], image[784] ^ 0xFF),
            log=b"failed",
            checks=[record_is("modeChanges0", 1)]),
        "handshake_fails_old_log": dict(
            cfg="echoAfterReads = never\n",
            files={"log.txt": b"successful"},
            console=expect.identification() + "3Cannot get ACK. Update failed\r\n",
            log=b"",
            checks=[record_is("stalls", 100 * 100)]),
        "log_cannot_be_created": dict(
            cfg="",
            dirs=["log.txt"],
            console=expect.identification() + "The file can not be opened.\r\n",
            log=None,
            checks=[record_is("dpcdWrites0", 0)]),
        "no_converter_driver": dict(
            cfg="installProtocols = false\n",
            console=expect.BANNER + I2C_LOOKUP * 8 + NATIVE_LOOKUP * 5 + "Bootloader:0.0.0\r\n"
            + NATIVE_LOOKUP * 2 + "Current FirmwareVer:0x00_0x00\r\n"
            # source OUI 3, 0x30C 1, first character and 0x30C 2, one wait 101
            + NATIVE_LOOKUP * (3 + 1 + 2 + 101) + "DPCD50C not 0.Update failed\r\n",
            log=b"",
            checks=[record_is("stalls", 100)]),
    }


STARTUP = startup_script("pellory-testimage.efi", setup=("load convsim.efi",),
                         after=("convsim-dump.efi",))


def first_difference(got, want):
    for i, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return i
    return min(len(got), len(want))


@pytest.mark.parametrize("name", NAMES)
def test_scenario(name, efi_dir, image):
    scenario = scenarios(image)[name]
    files = {name: os.path.join(efi_dir, name)
             for name in ("pellory-testimage.efi", "convsim.efi", "convsim-dump.efi")}
    files.update(scenario.get("files", {}))
    files["convsim.cfg"] = scenario["cfg"].encode("ascii")
    with Machine() as machine:
        machine.add_volume(files, scenario.get("dirs", []), STARTUP)
        result = machine.boot(limit=expect.LIMIT_SECONDS)
        fetched = {name: machine.read(name) for name in ("log.txt", "simrec.txt", "flash0.bin")}
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
    log = fetched["log.txt"]
    if scenario["log"] is not None and log != scenario["log"]:
        failures.append("log.txt holds %r, expected %r" % (log, scenario["log"]))
    rec = expect.record(fetched["simrec.txt"])
    if not rec:
        failures.append("no simulator record (simrec.txt) was written")
    for check in scenario["checks"]:
        ok, message = check(fetched, rec)
        if not ok:
            failures.append(message)
    print("%s: converter accesses %s us" % (name, rec.get("accessMicroseconds", "?")))
    expect.verdict(name, result, failures)
