"""Checks of tools/pellory_machine that need no firmware: the console text
helpers against transcripts shaped like OVMF's, the FAT volume round trip
through mtools, and the boot plumbing (keys, sticks, store) with a stand-in
process for QEMU."""

import os
import shutil
import sys
from pathlib import Path

import pytest

from pellory_machine import console, linux, stick
from pellory_machine.machine import (BootStopped, BootTimeout, Firmware, Machine, Nic,
                                     startup_script)
from pellory_machine.serial import KeyPress
from pellory_machine.volume import build_volume, list_files, read_file

# Shaped like the shell's countdown: colour escapes split "Press ESC in",
# and each second's line is redrawn with cursor positioning.
COUNTDOWN = ("\x1b[10;01HPress \x1b[1m\x1b[37m\x1b[40mESC\x1b[0m\x1b[37m\x1b[40m"
             " in 5 seconds to skip \x1b[1m\x1b[33m\x1b[40mstartup.nsh\x1b[0m"
             "\x1b[37m\x1b[40m or any other key to continue.\r\n")
BANNER = "\x1b[2J\x1b[01;01H\x1b[=3h\x1b[2J\x1b[01;01HUEFI Interactive Shell v2.2\r\n"

needs_mtools = pytest.mark.skipif(not (shutil.which("mformat") and shutil.which("mcopy")),
                                  reason="mtools is not installed")


@pytest.mark.parametrize("raw, text", [
    (COUNTDOWN, "Press ESC in 5 seconds to skip startup.nsh or any other key to continue.\r\n"),
    # Screen setup and private modes vanish.
    (BANNER, "UEFI Interactive Shell v2.2\r\n"),
    # Short escapes and character set selection vanish.
    ("a\x1bcb\x1b(Bc\x1b7d\x1b]0;t\x07e", "abcde"),
    # Line ends are untouched.
    ("Page:00\rPage:01\r\x1b[0mdone\r\nbare\nend\r", "Page:00\rPage:01\rdone\r\nbare\nend\r"),
])
def test_escapes_are_stripped(raw, text):
    assert console.strip_escapes(raw) == text


def test_every_byte_survives_decoding():
    # The terminal turns box drawing into code page bytes such as 0xC4.
    assert console.clean(b"box:\xc4\xff\x1b[1m!\r\n") == "box:\xc4\xff!\r\n"


@pytest.mark.parametrize("text, body, rc", [
    # The shell adds no line break after a program that ended on "\r".
    (console.clean(BANNER + COUNTDOWN + "==BEGIN==\r\nstart\r\nPage:00\rPage:FF\r"
                   "==END== rc=0x0\r\nReset with <null string> (0 bytes)"),
     "start\r\nPage:00\rPage:FF\r", 0),
    ("==BEGIN==\r\nx\r\n==END== rc=0x1A\r\n", "x\r\n", 0x1A),
    # Without "@echo -off" the shell echoes each command after its prompt:
    # markers inside echoed commands do not count.
    ("FS0:\\> echo ==BEGIN==\r\n==BEGIN==\r\nFS0:\\> app.efi\r\nout\r\n"
     "FS0:\\> echo ==END== rc=%lasterror%\r\n==END== rc=0x2\r\n",
     "FS0:\\> app.efi\r\nout\r\nFS0:\\> echo ==END== rc=%lasterror%\r\n", 2),
    ("==BEGIN==\r\n==END==", "", None),
])
def test_section_between_the_markers(text, body, rc):
    section = console.extract(text)
    assert (section.body, section.rc) == (body, rc)
    assert section.end_line.startswith("==END==")


def test_missing_markers_name_what_is_missing():
    with pytest.raises(console.MarkerMissing, match="==BEGIN==.*\n.*hung"):
        console.extract("hung\r\n")
    with pytest.raises(console.MarkerMissing, match="==END=="):
        console.extract("==BEGIN==\r\nPage:3A\r")


def test_lines_and_overwrites():
    # Only CR LF ends a line; later segments overwrite earlier ones.
    assert console.lines("a\r\nPage:00\rPage:01\r\nb\nc\r\nPage:02\r") == \
        ["a", "Page:00\rPage:01", "b\nc", "Page:02\r"]
    assert console.visible("Page:00\rPage:01\rPage:FF\r") == "Page:FF"
    assert console.visible("Waiting...\rDone") == "Doneing..."


@needs_mtools
def test_volume_files_dirs_and_script_come_back(tmp_path):
    source = tmp_path / "app.efi"
    source.write_bytes(bytes(range(256)) * 5)
    image = str(tmp_path / "v.img")
    build_volume(image, [("app.efi", str(source)), ("deep/er/data.bin", b"\x00\x01")],
                 dirs=["empty/inner", "deep"], startup="@echo -off\nreset -s")
    assert read_file(image, "app.efi") == source.read_bytes()
    assert read_file(image, "deep/er/data.bin") == b"\x00\x01"
    assert read_file(image, "startup.nsh") == b"@echo -off\nreset -s\n"
    assert read_file(image, "log.txt") is None
    assert read_file(image, "empty/inner/log.txt") is None
    # Files only, directories (empty or not) left out.
    assert list_files(image) == ["app.efi", "deep/er/data.bin", "startup.nsh"]


# Stands in for QEMU: the countdown as the shell draws it, then it waits for
# one key on the serial line and reports it between the markers. It gives up
# after GUEST_PATIENCE seconds, so a runner that never sends the key or never
# kills its guest fails instead of hanging.
GUEST_PATIENCE = 20
FAKE_GUEST = (
    "import select, sys\n"
    f"sys.stdout.buffer.write({(BANNER + COUNTDOWN).encode()!r})\n"
    "sys.stdout.buffer.flush()\n"
    f"ready = select.select([sys.stdin], [], [], {GUEST_PATIENCE})[0]\n"
    "key = sys.stdin.buffer.read(1) if ready else b''\n"
    "sys.stdout.buffer.write(b'==BEGIN==\\r\\nkey=%r\\r\\n==END== rc=0x0\\r\\n' % key)\n"
    "sys.exit(int(sys.argv[1]))\n")

# Stands in for a loader's boot: asks for a key twice and reports the keys
# and how long it waited for the second one; a key that never comes reads
# as b'' after KEY_PATIENCE seconds.
KEY_PATIENCE = 2
KEYED_GUEST = (
    "import select, sys, time\n"
    "def key():\n"
    f"    ready = select.select([sys.stdin], [], [], {KEY_PATIENCE})[0]\n"
    "    return sys.stdin.buffer.read(1) if ready else b''\n"
    "out = sys.stdout.buffer\n"
    "out.write(b'==BEGIN==\\r\\nPage:FF\\r'); out.flush()\n"
    "first = key()\n"
    "out.write(b'Press any key\\r\\n'); out.flush()\n"
    "asked = time.monotonic()\n"
    "second = key()\n"
    "out.write(b'%r %r %.2f\\r\\n==END== rc=0x0\\r\\n' % (first, second, time.monotonic() - asked))\n")


@pytest.fixture
def stand_in(tmp_path, monkeypatch):
    """A machine whose QEMU is a Python script; returns a function that
    makes one with `script` run by the boot, given the machine's parts."""
    template = tmp_path / "vars"
    template.write_bytes(b"v")
    made = []

    def make(script=FAKE_GUEST, exit_code=0, **parts):
        machine = Machine(Firmware("code.fd", str(template)), **parts)
        made.append(machine)
        monkeypatch.setattr(machine, "command", lambda: [
            sys.executable, "-c", script, str(exit_code), machine.vars])
        return machine
    yield make
    for machine in made:
        machine.close()


@needs_mtools
def test_countdown_gets_one_key_and_files_come_back(stand_in, tmp_path):
    machine = stand_in()
    machine.add_volume({"sub/x.bin": b"payload"}, startup="reset -s")
    capture = tmp_path / "console.raw"
    result = machine.boot(limit=60, console_out=str(capture))
    assert [k.text for k in result.keys_sent] == ["Press ESC in"]
    assert result.exit_code == 0
    assert result.section().body == "key=b' '\r\n"
    assert capture.read_bytes() == result.console_raw
    assert machine.read("sub/x.bin") == b"payload"
    assert machine.read("log.txt") is None


# Stands in for a guest that fails early: one fatal line, then it would
# wait for ever.
FAILING_GUEST = ("import sys, time\n"
                 "sys.stdout.write('Kernel panic - not syncing\\r\\n'); sys.stdout.flush()\n"
                 f"time.sleep({GUEST_PATIENCE})\n")


@needs_mtools
def test_a_fatal_text_stops_the_boot_at_once(stand_in):
    with pytest.raises(BootStopped, match="stopped on 'Kernel panic'") as caught:
        stand_in(FAILING_GUEST).boot([], limit=60, fatal=linux.FATAL)
    assert caught.value.result.wall_time < GUEST_PATIENCE / 2


def test_the_linux_guest_s_steps_come_back_with_their_times(tmp_path, monkeypatch):
    script = ("import sys, time\n"
              "out = sys.stdout\n"
              "out.write('==GUEST 1 BEGIN uptime=1.50==\\r\\nhello\\r\\n'); out.flush()\n"
              "time.sleep(0.3)\n"
              "out.write('==GUEST 1 END rc=3 uptime=2.00==\\r\\n"
              "==GUEST 2 BEGIN uptime=0.5==\\r\\n==GUEST 2 END rc=0 uptime=0.6==\\r\\n')\n")
    guest = linux.Machine(tmp_path)
    monkeypatch.setattr(guest, "command", lambda: [sys.executable, "-c", script])
    result = guest.boot([], limit=60)
    first, second = result.steps
    assert (first.number, first.body, first.rc, first.uptime) == (1, "hello\r\n", 3, 1.5)
    assert (second.number, second.body, second.rc) == (2, "", 0)
    assert 0 <= first.seconds < second.seconds <= result.wall_time


@needs_mtools
def test_guest_failure_shows_in_the_exit_code(stand_in):
    assert stand_in(exit_code=3).boot(limit=60).exit_code == 3


@needs_mtools
def test_expired_limit_kills_the_guest_and_says_why(stand_in):
    machine = stand_in()
    machine.add_volume(startup="echo hi")
    with pytest.raises(BootTimeout, match="no 'reset -s'") as caught:
        machine.boot(limit=0)
    result = caught.value.result
    assert result.wall_time < GUEST_PATIENCE / 2
    assert result.timed_out and result.exit_code is None
    assert machine.read("startup.nsh") == b"echo hi\n"


@needs_mtools
def test_keys_follow_their_texts_in_order_and_wait_their_delay(stand_in):
    result = stand_in(KEYED_GUEST).boot(
        [KeyPress("Page:", b"a"), KeyPress("Press any key", b"b", delay=0.6)], limit=60)
    first, second, waited = result.section().body.split("\r\n")[1].split(" ")
    assert (first, second) == ("b'a'", "b'b'")
    assert float(waited) >= 0.6
    assert [k.text for k in result.keys_sent] == ["Page:", "Press any key"]
    text = result.text
    # Each key went out after its text and before what answered it.
    assert text.index("Page:") < result.keys_sent[0].offset <= text.index("Press any key")
    assert result.keys_sent[1].offset < text.index("==END==")


@needs_mtools
def test_a_text_seen_before_the_previous_key_does_not_count_again(stand_in):
    result = stand_in(KEYED_GUEST).boot(
        [KeyPress("Page:", b"a"), KeyPress("Page:", b"b")], limit=60)
    assert "b'a' b''" in result.section().body
    assert len(result.keys_sent) == 1


@needs_mtools
def test_a_stick_is_attached_as_a_copy_and_read_back(stand_in, tmp_path):
    program = tmp_path / "app.efi"
    program.write_bytes(b"MZ" + bytes(1000) + b"Pellory Version:0.4, firmware version 07_23\n")
    image = tmp_path / "stick.img"
    stick.build(image, program)
    before = image.read_bytes()
    machine = stand_in()
    machine.add_stick(image)
    machine.boot(limit=60)
    assert machine.stick != str(image)
    assert image.read_bytes() == before
    assert machine.read_stick("EFI/BOOT/BOOTX64.EFI") == program.read_bytes()
    assert machine.read_stick("EFI/BOOT/log.txt") is None


@needs_mtools
def test_the_store_is_the_machine_s_own_and_read_after_the_boot(stand_in):
    script = ("import sys\n"
              "open(sys.argv[2], 'ab').write(b'+guest')\n"
              "sys.stdout.write('==BEGIN==\\r\\nfirst\\r\\n'); sys.stdout.flush()\n")
    machine = stand_in(script)
    Path(machine.vars).write_bytes(b"store")
    result = machine.boot([], limit=60)
    assert Path(machine.vars).read_bytes() == b"store+guest"
    assert result.arrival("first") is not None
    assert result.arrival("first") <= result.wall_time
    assert result.arrival("never") is None


def command(**parts):
    machine = Machine(Firmware("code.fd", os.devnull), **parts)
    machine.volume = "v.img"
    machine.close()
    return machine.command()


def test_usual_boot_ends_at_a_reset_and_has_no_network():
    usual = command()
    assert "-no-reboot" in usual and "-netdev" not in usual
    assert "-kernel" not in usual and "virtio-blk-pci,drive=esp" not in usual
    assert "-no-reboot" not in command(reboot=True)
    extra = command(qemu_args=("-icount", "shift=0"))
    assert extra[extra.index("-icount") + 1] == "shift=0"


def test_the_linux_guest_is_a_machine_with_a_disk_and_a_kernel(tmp_path):
    guest = linux.Machine(tmp_path / "guest", qemu_args=("-device", "virtio-net-pci,netdev=n"))
    argv = guest.command()
    # Its resets restart the firmware, its disk is virtio-blk, and no
    # volume comes before it; the caller's NIC comes after the disk, as the
    # guest's devices were always ordered.
    assert "-no-reboot" not in argv and ["-m", "512"] == argv[argv.index("-m"):][:2]
    assert f"if=none,id=esp,format=raw,cache=unsafe,file={guest.disk}" in argv
    assert argv.index("virtio-blk-pci,drive=esp") < argv.index("virtio-net-pci,netdev=n")
    assert not any(a.startswith("format=raw,file=") for a in argv)
    assert "-kernel" not in argv
    guest.kernel = linux.kernel("vmlinuz.efi", "initrd.img")
    assert guest.command()[-6:] == ["-kernel", "vmlinuz.efi", "-initrd", "initrd.img",
                                    "-append", linux.CONSOLE_ARGS]
    # The machine's folder is the caller's and stays after it is closed.
    guest.close()
    assert Path(guest.vars).is_file() and guest.esp == f"{guest.disk}@@{stick.ESP_OFFSET}"


def test_every_process_brings_a_power_on_token_of_its_own(tmp_path):
    def token(argv):
        values = [argv[i + 1] for i, a in enumerate(argv) if a == "-smbios"]
        assert len(values) == 1, argv
        assert values[0].startswith("type=11,value=convsim-power-on=")
        assert len(values[0]) == len("type=11,value=convsim-power-on=") + 32
        return values[0]
    guest = linux.Machine(tmp_path)
    tokens = {token(command()), token(command(reboot=True)),
              token(guest.command()), token(guest.command())}
    assert len(tokens) == 4


FORWARD = "tcp:10.0.2.100:80-cmd:socat - TCP:127.0.0.1:8080"


@pytest.mark.parametrize("nic, netdev", [
    # The firmware's PXE, every packet kept inside.
    (Nic(tftp="/srv/t"), "user,id=n,restrict=on,tftp=/srv/t,bootfile=pellory.efi"),
    # Forwarded addresses alone or beside TFTP stay restricted.
    (Nic(guestfwd=(FORWARD,)), "user,id=n,restrict=on,guestfwd=" + FORWARD),
    (Nic(tftp="/srv/t", guestfwd=(FORWARD,)),
     "user,id=n,restrict=on,tftp=/srv/t,bootfile=pellory.efi,guestfwd=" + FORWARD),
    (Nic(tap="tap0"), "tap,id=n,ifname=tap0,script=no,downscript=no"),
])
def test_network_card(nic, netdev):
    argv = command(nic=nic)
    assert argv.count("-netdev") == 1
    assert argv[argv.index("-netdev") + 1] == netdev
    device = argv[argv.index("-device", argv.index("-netdev")) + 1]
    assert device.startswith("virtio-net-pci,netdev=n,romfile=,addr=0x3,"), device
