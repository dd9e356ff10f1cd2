#!/usr/bin/env python3
"""Checks of tools/qemu_run.py that need no firmware: the console text
helpers against transcripts shaped like OVMF's, the FAT volume round trip
through mtools, and the boot plumbing (keys, sticks) with a stand-in
process for QEMU."""

import os
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import qemu_run  # noqa: E402
import linux_run  # noqa: E402

# Shaped like the shell's countdown: colour escapes split "Press ESC in",
# and each second's line is redrawn with cursor positioning.
COUNTDOWN = ("\x1b[10;01HPress \x1b[1m\x1b[37m\x1b[40mESC\x1b[0m\x1b[37m\x1b[40m"
             " in 5 seconds to skip \x1b[1m\x1b[33m\x1b[40mstartup.nsh\x1b[0m"
             "\x1b[37m\x1b[40m or any other key to continue.\r\n")
BANNER = "\x1b[2J\x1b[01;01H\x1b[=3h\x1b[2J\x1b[01;01HUEFI Interactive Shell v2.2\r\n"


class EscapeStripping(unittest.TestCase):
    def test_countdown_reads_as_plain_text(self):
        self.assertEqual(
            qemu_run.strip_escapes(COUNTDOWN),
            "Press ESC in 5 seconds to skip startup.nsh or any other key to continue.\r\n")

    def test_screen_setup_and_private_modes_vanish(self):
        self.assertEqual(qemu_run.strip_escapes(BANNER), "UEFI Interactive Shell v2.2\r\n")

    def test_short_escapes_and_charset_selection_vanish(self):
        self.assertEqual(qemu_run.strip_escapes("a\x1bcb\x1b(Bc\x1b7d\x1b]0;t\x07e"), "abcde")

    def test_line_ends_are_untouched(self):
        text = "Page:00\rPage:01\r\x1b[0mdone\r\nbare\nend\r"
        self.assertEqual(qemu_run.strip_escapes(text), "Page:00\rPage:01\rdone\r\nbare\nend\r")

    def test_every_byte_survives_decoding(self):
        # The terminal turns box drawing into code page bytes such as 0xC4.
        raw = b"box:\xc4\xff\x1b[1m!\r\n"
        self.assertEqual(qemu_run.clean(raw), "box:\xc4\xff!\r\n")


class MarkerExtraction(unittest.TestCase):
    def test_end_marker_right_after_a_progress_line(self):
        # The shell adds no line break after a program that ended on "\r".
        text = (BANNER + COUNTDOWN + "==BEGIN==\r\nstart\r\nPage:00\rPage:FF\r"
                "==END== rc=0x0\r\nReset with <null string> (0 bytes)")
        section = qemu_run.extract(qemu_run.clean(text))
        self.assertEqual(section.body, "start\r\nPage:00\rPage:FF\r")
        self.assertEqual(section.end_line, "==END== rc=0x0")
        self.assertEqual(section.rc, 0)

    def test_status_is_hexadecimal(self):
        section = qemu_run.extract("==BEGIN==\r\nx\r\n==END== rc=0x1A\r\n")
        self.assertEqual(section.rc, 0x1A)

    def test_markers_inside_echoed_commands_do_not_count(self):
        # Without "@echo -off" the shell echoes each command after its prompt.
        text = ("FS0:\\> echo ==BEGIN==\r\n==BEGIN==\r\nFS0:\\> app.efi\r\nout\r\n"
                "FS0:\\> echo ==END== rc=%lasterror%\r\n==END== rc=0x2\r\n")
        section = qemu_run.extract(text)
        self.assertEqual(section.body, "FS0:\\> app.efi\r\nout\r\n"
                                       "FS0:\\> echo ==END== rc=%lasterror%\r\n")
        self.assertEqual(section.rc, 2)

    def test_missing_markers_name_what_is_missing(self):
        with self.assertRaisesRegex(qemu_run.MarkerMissing, "==BEGIN==.*\n.*hung"):
            qemu_run.extract("hung\r\n")
        with self.assertRaisesRegex(qemu_run.MarkerMissing, "==END=="):
            qemu_run.extract("==BEGIN==\r\nPage:3A\r")

    def test_end_line_without_status(self):
        self.assertIsNone(qemu_run.extract("==BEGIN==\r\n==END==").rc)


class LinesAndOverwrites(unittest.TestCase):
    def test_only_cr_lf_ends_a_line(self):
        self.assertEqual(qemu_run.lines("a\r\nPage:00\rPage:01\r\nb\nc\r\nPage:02\r"),
                         ["a", "Page:00\rPage:01", "b\nc", "Page:02\r"])

    def test_later_segments_overwrite_earlier_ones(self):
        self.assertEqual(qemu_run.visible("Page:00\rPage:01\rPage:FF\r"), "Page:FF")
        self.assertEqual(qemu_run.visible("Waiting...\rDone"), "Doneing...")


def _mtools_present():
    return shutil.which("mformat") and shutil.which("mcopy")


@unittest.skipUnless(_mtools_present(), "mtools is not installed")
class VolumeRoundTrip(unittest.TestCase):
    def test_files_dirs_and_script_come_back(self):
        with tempfile.TemporaryDirectory() as work:
            source = Path(work, "app.efi")
            source.write_bytes(bytes(range(256)) * 5)
            image = os.path.join(work, "v.img")
            qemu_run.build_volume(image, [("app.efi", str(source)),
                                          ("deep/er/data.bin", b"\x00\x01")],
                                  dirs=["empty/inner", "deep"],
                                  startup="@echo -off\nreset -s")
            self.assertEqual(qemu_run.read_file(image, "app.efi"), source.read_bytes())
            self.assertEqual(qemu_run.read_file(image, "deep/er/data.bin"), b"\x00\x01")
            self.assertEqual(qemu_run.read_file(image, "startup.nsh"),
                             b"@echo -off\nreset -s\n")
            self.assertIsNone(qemu_run.read_file(image, "log.txt"))
            self.assertIsNone(qemu_run.read_file(image, "empty/inner/log.txt"))
            # Files only, directories (empty or not) left out.
            self.assertEqual(qemu_run.list_files(image),
                             ["app.efi", "deep/er/data.bin", "startup.nsh"])


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


class _StandInQemu(unittest.TestCase):
    def setUp(self):
        self.saved = qemu_run._qemu_command, qemu_run.OVMF_VARS
        self.work = tempfile.mkdtemp()
        qemu_run.OVMF_VARS = os.path.join(self.work, "vars")
        Path(qemu_run.OVMF_VARS).write_bytes(b"v")

    def tearDown(self):
        qemu_run._qemu_command, qemu_run.OVMF_VARS = self.saved
        shutil.rmtree(self.work)

    def guest(self, exit_code=0, script=FAKE_GUEST):
        self.qemu_args = None

        def command(image, vars_copy, memory, qemu_args=(), **machine):
            self.qemu_args = tuple(qemu_args)
            self.machine = dict(machine, vars=Path(vars_copy).read_bytes())
            return [sys.executable, "-c", script, str(exit_code)]
        qemu_run._qemu_command = command


@unittest.skipUnless(_mtools_present(), "mtools is not installed")
class BootPlumbing(_StandInQemu):

    def test_countdown_gets_one_key_and_files_come_back(self):
        self.guest()
        dest = os.path.join(self.work, "back.bin")
        capture = os.path.join(self.work, "console.raw")
        result = qemu_run.run(files={"sub/x.bin": b"payload"}, startup="reset -s",
                              timeout=60, console_out=capture,
                              fetch={"sub/x.bin": dest, "log.txt": None})
        self.assertTrue(result.key_sent)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.section().body, "key=b' '\r\n")
        self.assertEqual(Path(capture).read_bytes(), result.console_raw)
        self.assertEqual(Path(dest).read_bytes(), b"payload")
        self.assertEqual(result.fetched, {"sub/x.bin": b"payload"})
        self.assertEqual(result.missing, ["log.txt"])

    def test_guest_failure_shows_in_the_exit_code(self):
        self.guest(exit_code=3)
        self.assertEqual(qemu_run.run(startup="reset -s", timeout=60,
                                      qemu_args=("-icount", "shift=0")).exit_code, 3)
        self.assertEqual(self.qemu_args, ("-icount", "shift=0"))

    def test_expired_limit_kills_the_guest_and_says_why(self):
        self.guest()
        with self.assertRaisesRegex(qemu_run.BootTimeout, "no 'reset -s'") as caught:
            qemu_run.run(startup="echo hi", timeout=0, fetch=["startup.nsh"])
        result = caught.exception.result
        self.assertLess(result.wall_time, GUEST_PATIENCE / 2)
        self.assertTrue(result.timed_out)
        self.assertIsNone(result.exit_code)
        self.assertEqual(result.fetched["startup.nsh"], b"echo hi\n")


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


@unittest.skipUnless(_mtools_present(), "mtools is not installed")
class KeysAndSticks(_StandInQemu):
    def test_keys_follow_their_texts_in_order_and_wait_their_delay(self):
        self.guest(script=KEYED_GUEST)
        result = qemu_run.run(startup="reset -s", timeout=60, keys=[
            qemu_run.KeyPress("Page:", b"a"),
            qemu_run.KeyPress("Press any key", b"b", delay=0.6)])
        first, second, waited = result.section().body.split("\r\n")[1].split(" ")
        self.assertEqual((first, second), ("b'a'", "b'b'"))
        self.assertGreaterEqual(float(waited), 0.6)
        self.assertEqual([k.text for k in result.keys_sent], ["Page:", "Press any key"])
        text = result.text
        # Each key went out after its text and before what answered it.
        self.assertLess(text.index("Page:"), result.keys_sent[0].offset)
        self.assertLessEqual(result.keys_sent[0].offset, text.index("Press any key"))
        self.assertLess(result.keys_sent[1].offset, text.index("==END=="))

    def test_a_text_seen_before_the_previous_key_does_not_count_again(self):
        self.guest(script=KEYED_GUEST)
        result = qemu_run.run(startup="reset -s", timeout=60, keys=[
            qemu_run.KeyPress("Page:", b"a"), qemu_run.KeyPress("Page:", b"b")])
        self.assertIn("b'a' b''", result.section().body)
        self.assertEqual(len(result.keys_sent), 1)

    def test_a_stick_is_attached_as_a_copy_and_read_back(self):
        sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
        import usb_image
        self.guest()
        program = Path(self.work, "app.efi")
        program.write_bytes(b"MZ" + bytes(1000) + b"Pellory Version:0.4, firmware version 07_23\n")
        stick = os.path.join(self.work, "stick.img")
        usb_image.build(stick, program)
        before = Path(stick).read_bytes()
        result = qemu_run.run(startup="reset -s", timeout=60, stick=stick,
                              stick_offset=usb_image.ESP_OFFSET,
                              stick_fetch=["EFI/BOOT/BOOTX64.EFI", "EFI/BOOT/log.txt"])
        self.assertNotEqual(self.machine["stick"], stick)
        self.assertEqual(Path(stick).read_bytes(), before)
        self.assertEqual(result.stick_fetched, {"EFI/BOOT/BOOTX64.EFI": program.read_bytes()})
        self.assertEqual(result.stick_missing, ["EFI/BOOT/log.txt"])
        self.assertIsNone(self.machine["firmware"])


class MachineOptions(unittest.TestCase):
    """The options of the scheduled and network boots reach QEMU's command
    line; a usual boot's command line has none of them."""

    def command(self, **options):
        return qemu_run._qemu_command("v.img", "vars.fd", 256, **options)

    def test_usual_boot_ends_at_a_reset_and_has_no_network(self):
        command = self.command()
        self.assertIn("-no-reboot", command)
        self.assertNotIn("-netdev", command)

    def test_reboot_keeps_the_machine_running_across_a_reset(self):
        self.assertNotIn("-no-reboot", self.command(reboot=True))

    def test_every_process_brings_a_power_on_token_of_its_own(self):
        def token(command):
            values = [command[i + 1] for i, a in enumerate(command) if a == "-smbios"]
            self.assertEqual(len(values), 1, command)
            self.assertRegex(values[0], r"^type=11,value=convsim-power-on=[0-9a-f]{32}$")
            return values[0]
        with tempfile.TemporaryDirectory() as work:
            machine = linux_run.Machine(work)
            tokens = {token(self.command()), token(self.command(reboot=True)),
                      token(machine._command()), token(machine._command())}
        self.assertEqual(len(tokens), 4)

    def test_network_boot_uses_the_firmware_pxe_and_keeps_packets_inside(self):
        command = self.command(tftp="/srv/t")
        netdev = command[command.index("-netdev") + 1]
        self.assertEqual(netdev, "user,id=n,restrict=on,tftp=/srv/t,bootfile=pellory.efi")
        device = command[command.index("-device", command.index("-netdev")) + 1]
        self.assertTrue(device.startswith("virtio-net-pci,netdev=n,romfile=,"), device)

    def test_forwarded_addresses_alone_or_beside_tftp_stay_restricted(self):
        forward = "tcp:10.0.2.100:80-cmd:socat - TCP:127.0.0.1:8080"
        for options, want in (
                ({"guestfwd": [forward]}, "user,id=n,restrict=on,guestfwd=" + forward),
                ({"tftp": "/srv/t", "guestfwd": [forward]},
                 "user,id=n,restrict=on,tftp=/srv/t,bootfile=pellory.efi,guestfwd=" + forward)):
            command = self.command(**options)
            self.assertEqual(command[command.index("-netdev") + 1], want)
            self.assertEqual(command.count("-netdev"), 1)


@unittest.skipUnless(_mtools_present(), "mtools is not installed")
class VarsAndArrivals(_StandInQemu):
    def test_given_vars_file_is_used_in_place(self):
        script = ("import sys, re\n"
                  "path = [a for a in sys.argv if a.startswith('vars=')][0][5:]\n"
                  "open(path, 'ab').write(b'+guest')\n"
                  "sys.stdout.write('==BEGIN==\\r\\nfirst\\r\\n'); sys.stdout.flush()\n")

        def command(image, vars_copy, memory, qemu_args=(), **machine):
            self.machine = machine
            return [sys.executable, "-c", script, "vars=" + vars_copy]
        qemu_run._qemu_command = command
        kept = Path(self.work, "kept.fd")
        kept.write_bytes(b"store")
        result = qemu_run.run(startup="reset -s", timeout=60, keys=[], vars_file=str(kept),
                              reboot=True, tftp=self.work)
        self.assertEqual(kept.read_bytes(), b"store+guest")
        self.assertEqual(self.machine["reboot"], True)
        self.assertEqual(self.machine["tftp"], self.work)
        self.assertIsNotNone(result.arrival("first"))
        self.assertLessEqual(result.arrival("first"), result.wall_time)
        self.assertIsNone(result.arrival("never"))


class StartupArgument(unittest.TestCase):
    def test_script_text_starting_with_at_sign_is_text(self):
        script = qemu_run.startup_script("app.efi")
        self.assertTrue(script.startswith("@echo -off\n"))
        self.assertEqual(qemu_run.startup_argument(script), script)

    def test_one_line_at_path_reads_the_file(self):
        with tempfile.NamedTemporaryFile("w", suffix=".nsh", delete=False) as f:
            f.write("reset -s\n")
        try:
            self.assertEqual(qemu_run.startup_argument("@" + f.name), "reset -s\n")
        finally:
            os.unlink(f.name)


if __name__ == "__main__":
    unittest.main()
