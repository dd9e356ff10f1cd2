#!/usr/bin/env python3
"""The fleet playbook (deploy/ansible/pellory-update.yml) run by Debian's
ansible-playbook against the Linux guest over SSH, on a loopback port that
QEMU's user networking forwards to the guest's dropbear (restrict=on:
nothing else leaves QEMU). One QEMU process, so NVRAM lives on.

    linux_playbook_test.py --efi-dir DIR --image TEST_IMAGE --pelloryctl PATH
                           --cache DIR --work DIR

The inventory names the guest twice (pc-a, pc-b), one host per batch:
- run 1: both update; the report has the header and two `successful` rows
  with the machine's serial (it holds a comma), the simulated converter's
  OUI and versions and two request ids; the flash equals the image;
- run 2: the simulator corrupts the read-back, so pc-a's record says
  `failed`, the playbook fails and stops after that batch: pc-b is never
  touched and its row is missing;
- run 3: the program is not a Pellory program: pc-a's schedule refuses it,
  its row says `error` with pelloryctl's own line, and the guest does not
  reboot.
"""
import argparse
import csv
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from linux_roundtrip_test import ENTRIES, SIM, disk_files  # noqa: E402

TOOLS = Path(__file__).resolve().parents[2] / "tools"
PLAYBOOK = Path(__file__).resolve().parents[2] / "deploy" / "ansible" / "pellory-update.yml"
sys.path.insert(0, str(TOOLS))
import linux_guest  # noqa: E402
import linux_run  # noqa: E402

READY = "guest: ssh ready"
# Every boot: the network, the authorized key from the ESP, dropbear (its
# host key made at its first connection) in the foreground until a reboot.
SERVE = r"""ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0
ip route add default via 10.0.2.2
mkdir -p /root/.ssh /etc/dropbear /var/tmp
chmod 700 /root/.ssh
cp /boot/efi/ssh/authorized_keys /root/.ssh/authorized_keys
chmod 600 /root/.ssh/authorized_keys
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
echo "%s"
dropbear -F -E -R -s -p 22 2>/dev/null
""" % READY
CORRUPT = "corruptReadBack = true\n"
SERIAL = "FLEET,0042"
UUID = "12345678-9abc-def0-1122-334455667788"
COLUMNS = ["host", "state", "request", "start", "time", "machine_serial", "machine_uuid", "port",
           "vendor_block", "converter_oui", "bootloader", "firmware_before", "image", "outcome"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def inventory(work, port, key):
    path = work / "inventory.ini"
    path.write_text(
        "[pellory]\npc-a\npc-b\n\n[pellory:vars]\n"
        f"ansible_host=127.0.0.1\nansible_port={port}\nansible_user=root\n"
        f"ansible_ssh_private_key_file={key}\nansible_python_interpreter=/usr/bin/python3\n"
        "ansible_ssh_transfer_method=piped\n"
        # Both names reach one guest: a shared SSH master would outlive its reboot.
        "ansible_ssh_args='-o ControlMaster=no'\n"
        "ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
        "-o ServerAliveInterval=5 -o ServerAliveCountMax=3'\n")
    return path


def ssh(port, key, command):
    """One command in the guest, the way the playbook reaches it."""
    subprocess.run(["ssh", "-p", str(port), "-i", str(key), "-o", "StrictHostKeyChecking=no",
                    "-o", "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes",
                    "root@127.0.0.1", command], check=True, stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=120)


def playbook(work, hosts, program, report):
    env = dict(os.environ, ANSIBLE_LOCAL_TEMP=str(work / "ansible-tmp"),
               ANSIBLE_REMOTE_TMP="/tmp/.ansible", ANSIBLE_NOCOLOR="1",
               ANSIBLE_HOST_KEY_CHECKING="False", ANSIBLE_RETRY_FILES_ENABLED="False",
               HOME=str(work))
    command = ["ansible-playbook", "-i", str(hosts), str(PLAYBOOK),
               "-e", f"pellory_program={program}", "-e", f"pellory_report={report}",
               "-e", "pellory_reboot_timeout=600", "-e", "pellory_reboot_command=guest-reboot"]
    started = time.monotonic()
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=900)
    print(done.stdout[-6000:], done.stderr[-3000:])
    print(f"ansible-playbook exited {done.returncode} after {time.monotonic() - started:.1f} s")
    return done.returncode


def rows(report, failures):
    try:
        text = Path(report).read_text()
    except OSError:
        failures.append(f"no report {report}")
        return []
    print(f"{report}:\n{text}")
    table = list(csv.reader(text.splitlines()))
    if not table or table[0] != COLUMNS:
        failures.append(f"the report's header is {table[:1]}")
        return []
    return [dict(zip(COLUMNS, row)) for row in table[1:]]


def check_successful(row, failures):
    want = {"state": "successful", "start": "boot", "machine_serial": SERIAL,
            "machine_uuid": UUID.upper(), "converter_oui": "0A1B2C",
            "bootloader": "2.0.1", "firmware_before": "0x07_0x22", "outcome": "successful"}
    for key, value in want.items():
        if row.get(key) != value:
            failures.append(f"{row.get('host')}: {key} is {row.get(key)!r}, not {value!r}")


def main():
    parser = argparse.ArgumentParser()
    for name in ("--efi-dir", "--image", "--pelloryctl", "--cache", "--work"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    kernel, initrd = linux_guest.build(args.cache, [args.pelloryctl, "/usr/bin/efibootmgr"],
                                       ssh=True)
    key = work / "id_ed25519"
    key.unlink(missing_ok=True)
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(key)], check=True)
    port = free_port()
    # The machine's serial holds a comma, so the report's quoting is read
    # back through a CSV reader.
    net = ["-netdev", f"user,id=n,restrict=on,hostfwd=tcp:127.0.0.1:{port}-:22",
           "-device", "virtio-net-pci,netdev=n,romfile=",
           "-smbios", f"type=1,serial={SERIAL.replace(',', ',,')},uuid={UUID}"]
    machine = linux_run.Machine(work / "guest", qemu_args=net, memory_mib=1024)
    program = (Path(args.efi_dir) / "pellory-testimage.efi").resolve()
    files = {**disk_files(args.efi_dir, None, program),
             "ssh/authorized_keys": Path(f"{key}.pub").read_bytes(),
             f"{linux_run.STEPS}/1.sh": ENTRIES.encode(),
             f"{linux_run.STEPS}/every.sh": SERVE.encode()}
    machine.make_disk(files, kernel, initrd)
    failures = []
    started = time.monotonic()
    # Fresh variables send OVMF through minutes of network boot attempts
    # before its shell: the first boot, which only makes the entries, has
    # no network card; the entries then come first in BootOrder.
    machine.qemu_args = []
    setup = machine.boot(300)
    print(f"set-up boot: {setup.wall_time:.1f} s, steps {[s.number for s in setup.steps]}")
    machine.qemu_args = net
    guest = linux_run.start(machine)
    try:
        if not guest.wait_for(READY, timeout=300):
            raise RuntimeError(f"the guest did not come up:\n{guest.text()[-3000:]}")
        print(f"guest up after {time.monotonic() - started:.1f} s")
        hosts = inventory(work, port, key)
        # Run 1: both hosts update.
        if playbook(work, hosts, program, work / "report-1.csv") != 0:
            failures.append("the first run failed")
        first = rows(work / "report-1.csv", failures)
        if [r["host"] for r in first] != ["pc-a", "pc-b"]:
            failures.append(f"run 1 rows: {[r['host'] for r in first]}")
        for row in first:
            check_successful(row, failures)
        if len({r["request"] for r in first}) != len(first):
            failures.append("two rows name the same request")
        # Run 2: a read-back that differs: pc-a fails, pc-b is never reached.
        # What the last update (pc-b's) left in the converter's flash is
        # kept before the simulator is told to corrupt the read-back.
        ssh(port, key, f"cp /boot/efi/{SIM}/flash0.bin /boot/efi/{SIM}/flash-run1.bin && "
                       f"echo '{CORRUPT.strip()}' > /boot/efi/convsim.cfg && sync")
        if playbook(work, hosts, program, work / "report-2.csv") == 0:
            failures.append("the second run did not fail")
        second = rows(work / "report-2.csv", failures)
        if [(r["host"], r["state"], r["outcome"]) for r in second] != [("pc-a", "failed", "failed")]:
            failures.append(f"run 2 rows: {second}")
        # Run 3: not a Pellory program: schedule refuses it, the row says
        # why in pelloryctl's words, and nothing reboots.
        begun = guest.text().count("==GUEST ")
        if playbook(work, hosts, Path(args.efi_dir).resolve() / "convsim-dump.efi",
                    work / "report-3.csv") == 0:
            failures.append("the third run did not fail")
        third = rows(work / "report-3.csv", failures)
        refusal = ("Schedule one unattended run at the next boot: pelloryctl: "
                   '/tmp/pellory-update.efi is not a Pellory program (no "Pellory Version:" in it)')
        if [(r["host"], r["state"], r["outcome"]) for r in third] != [("pc-a", "error", refusal)]:
            failures.append(f"run 3 rows: {third}")
        if guest.text().count("==GUEST ") != begun:
            failures.append("the guest rebooted after a refused schedule")
        boots = guest.text().count("==GUEST ")
        print(f"guest steps begun and ended: {boots}; whole test {time.monotonic() - started:.1f} s")
    finally:
        guest.stop()
    if machine.read(f"{SIM}/flash-run1.bin") != Path(args.image).read_bytes():
        failures.append("the flash after run 1 differs from the image")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
