"""The resident identification driver in real firmware: OVMF loads the
simulator and then pellory-identify.efi as Driver#### entries, its boot
manager signals ReadyToBoot before it starts the shell, and the driver
leaves its reading in the volatile PelloryConverter. The shell saves the
variable (dmpstore -s), the simulator's counts as the driver left them,
then runs a whole update on the same converter and dumps again: the
driver's reading wrote nothing and disturbed nothing the update needs.
One boot.
"""
import re
import struct
import uuid

import boot_entries as entries
import expect
from pellory_machine import ovmf_vars
from pellory_machine.machine import Machine

DRIVER_ENTRY = 0x0001
DRIVER_PATH = "\\EFI\\Pellory\\pellory-identify.efi"
# A converter that drives a display, on port 4, its vendor block at 0x400.
CFG = b"displayDriven = true\nansweringPort = 4\ndownstreamPort = 0\nbootloader = 0xA3\n"
READING = re.compile(rb"format=1\nstate=seen\ntime=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\nport=4\n"
                     rb"vendor_block=0x400\nconverter_oui=0A1B2C\nbootloader=A\.0\.3\n"
                     rb"firmware=0x07_0x22\n")
STARTUP = "\n".join([
    "@echo -off", "fs0:", "echo " + expect.SHELL_MARK,
    "dmpstore PelloryConverter -guid %s -s reading.bin" % ovmf_vars.PELLORY_GUID,
    "convsim-dump.efi", "cp -q simrec.txt driver-simrec.txt",
    "EFI\\Pellory\\pellory.efi", "convsim-dump.efi", "reset -s", ""])


def saved_variables(data):
    """dmpstore -s's file: per variable its name and data sizes, the UCS-2
    name, the GUID, the attributes, the data and a CRC32."""
    found, at = {}, 0
    while at + 8 <= len(data):
        name_size, data_size = struct.unpack_from("<II", data, at)
        at += 8
        name = data[at:at + name_size].decode("utf-16-le").rstrip("\0")
        at += name_size
        guid = uuid.UUID(bytes_le=data[at:at + 16])
        attributes = struct.unpack_from("<I", data, at + 16)[0]
        at += 20
        found[(name, guid)] = (attributes, data[at:at + data_size])
        at += data_size + 4
    return found


def test_reading(efi_dir, image):
    failures = []
    with Machine(qemu_args=expect.SMBIOS) as machine:
        entries.driver_store(machine.vars, [(DRIVER_ENTRY, "Pellory converter identification", DRIVER_PATH)])
        placed = expect.volume_files(efi_dir, True, CFG)
        placed[DRIVER_PATH.replace("\\", "/")[1:]] = str(efi_dir) + "/pellory-identify.efi"
        machine.add_volume(placed, startup=STARTUP)
        result = machine.boot(limit=expect.LIMIT_SECONDS)
        saved = saved_variables(machine.read("reading.bin") or b"")
        driver_counts = expect.record(machine.read("driver-simrec.txt"))
        after = expect.record(machine.read("simrec.txt"))
        log = machine.read("log.txt")
        flash = machine.read("flash0.bin")
    print(result.text)
    attributes, reading = saved.get(("PelloryConverter", ovmf_vars.PELLORY_GUID), (None, b""))
    print("PelloryConverter (attributes %r):\n%s" % (attributes, reading.decode("ascii", "replace")))
    if not READING.fullmatch(reading):
        failures.append("PelloryConverter holds %r" % reading)
    if attributes != 6:
        failures.append("PelloryConverter's attributes are %r, not boot and runtime access only" % attributes)
    # The probe of ports 0, 2 and 4 and identification's seven DPCD reads,
    # no write, no mode change.
    for key, value in (("dpcdReads0", "7"), ("i2cReads0", "3"), ("dpcdWrites0", "0"),
                       ("i2cWrites0", "0"), ("modeChanges0", "0"), ("violations0", "0")):
        if driver_counts.get(key) != value:
            failures.append("after the driver: simulator %s is %r, expected %r" % (key, driver_counts.get(key), value))
    if log != b"successful" or flash != image:
        failures.append("the update after the driver's reading did not succeed: log.txt %r" % log)
    if after.get("violations0") != "0":
        failures.append("the update met violations: %r" % after.get("violations0"))
    assert not failures, "\n".join(failures)
