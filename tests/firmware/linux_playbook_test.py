"""The fleet playbook (deploy/ansible/pellory-update.yml) run by Debian's
ansible-playbook against the Debian guest (tools/debian_guest.py) over SSH,
on a loopback port that QEMU's user networking forwards to the guest's
OpenSSH server (restrict=on: nothing else leaves QEMU). One QEMU process,
so NVRAM lives on and the simulated converter is never powered off: it
keeps showing its old firmware (0x07_0x22) throughout. The guest reboots
the way Ansible reboots any host (ansible.builtin.reboot's own command).

The inventory names the guest twice (pc-a, pc-b), one host per batch; the
controller's pelloryctl is the build's. The guest starts without
pelloryctl.
- run 0, without pellory_deb: pc-a fails with the one line that says
  pelloryctl is missing; nothing else happens;
- run 1 (this and every later run with pellory_deb): pc-a gets the package
  installed by apt and updates (`successful`, action `updated`, a power-off
  needed); pc-b is the same machine, so its record already shows this
  image written: row `none`, no reboot; the flash equals the image; the
  guest has the package's version as /usr/sbin/pelloryctl and its manual
  page as `man 8 pelloryctl` shows it;
- run 2, the same rollout again: both rows `none`, no host changed
  (Ansible's recap: the package is not installed again), the guest not
  rebooted (its boot_id and boot count) and the simulator's counts
  untouched;
- a check run: nothing changed, both rows `none`;
- run 3 with pellory_allow=same (a reinstall): the simulator corrupts the
  read-back, pc-a's record says `failed`, the playbook fails and stops
  after that batch: pc-b is never touched and its row is missing;
- an identify rollout on pc-a alone: row `identified` with the versions
  the converter runs (still 0x07_0x22: no power-off came), nothing written;
- a check run: both rows `would-update` (the record shows 0x07_0x22);
- run 4: the program is not a Pellory program: the controller's
  `pelloryctl inspect` refuses it, pc-a's row says `error` with
  pelloryctl's own reason, and the guest does not reboot.
- last, an administrator's own `apt-get install ./pelloryctl_*.deb`, after
  the playbook's package and libefiboot1/libefivar1 are removed: refused
  alone (by dpkg and by apt, naming them), installed with the libraries'
  packages beside it.
"""
import csv
import os
import re
import socket
import subprocess
import time
from pathlib import Path

import pytest

import debian_guest
from check_playbook_columns import CONTRACT, report_columns
from expect import SIM, SIM_ENTRIES, disk_files
from pellory_machine import linux

PLAYBOOK = Path(__file__).resolve().parents[2] / "deploy" / "ansible" / "pellory-update.yml"

READY = "guest: ssh ready"
# The first boot: the test's boot entries, an address from QEMU's DHCP and
# root's authorized key; the guest then keeps running (systemd's sshd is up
# before the step runs).
SETUP = SIM_ENTRIES + r"""for i in $(seq 120); do
  ip -4 addr show scope global | grep -q inet && break
  sleep 1
done
mkdir -p /root/.ssh
chmod 700 /root/.ssh
cp /boot/efi/ssh/authorized_keys /root/.ssh/authorized_keys
chmod 600 /root/.ssh/authorized_keys
command -v pelloryctl || echo "no pelloryctl"
echo "%s"
after stay
""" % READY
CORRUPT = "corruptReadBack = true\n"
SERIAL = "FLEET,0042"
UUID = "12345678-9abc-def0-1122-334455667788"
COLUMNS = report_columns(CONTRACT.read_text())
# What pelloryctl's package depends on besides the C and C++ runtimes.
LIBRARIES = ("libefiboot1", "libefivar1")
RECAP = re.compile(r"^(pc-[ab])\s*:\s*ok=\d+\s+changed=(\d+)", re.M)


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


def ssh(port, key, command, given=b""):
    """One command in the guest, the way the playbook reaches it, with
    `given` on its standard input; its output."""
    return subprocess.run(["ssh", "-p", str(port), "-i", str(key), "-o", "StrictHostKeyChecking=no",
                           "-o", "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes",
                           "root@127.0.0.1", command], check=True, input=given,
                          capture_output=True, timeout=120).stdout.decode()


def playbook(work, hosts, program, report, controller, *options):
    """One ansible-playbook run; (exit status, {host: changed tasks})."""
    env = dict(os.environ, ANSIBLE_LOCAL_TEMP=str(work / "ansible-tmp"),
               ANSIBLE_REMOTE_TMP="/tmp/.ansible", ANSIBLE_NOCOLOR="1",
               ANSIBLE_HOST_KEY_CHECKING="False", ANSIBLE_RETRY_FILES_ENABLED="False",
               # One SSH session a task instead of four: each costs seconds
               # against a guest without KVM.
               ANSIBLE_PIPELINING="True", HOME=str(work))
    command = ["ansible-playbook", "-i", str(hosts), str(PLAYBOOK),
               "-e", f"pellory_program={program}", "-e", f"pellory_report={report}",
               "-e", "pellory_reboot_timeout=900",
               "-e", f"pellory_controller_pelloryctl={controller}", *options]
    started = time.monotonic()
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=900)
    print(done.stdout[-6000:], done.stderr[-3000:])
    print(f"ansible-playbook {' '.join(options)} exited {done.returncode} after "
          f"{time.monotonic() - started:.1f} s")
    return done.returncode, {host: int(n) for host, n in RECAP.findall(done.stdout)}


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


def check_successful(row, action, failures):
    want = {"state": "successful", "action": action, "target": "07_23", "start": "boot",
            "machine_serial": SERIAL, "machine_uuid": UUID.upper(), "converter_oui": "0A1B2C",
            "bootloader": "2.0.1", "firmware_before": "0x07_0x22", "outcome": "successful",
            "power_off_needed": "true"}
    for key, value in want.items():
        if row.get(key) != value:
            failures.append(f"{row.get('host')}: {key} is {row.get(key)!r}, not {value!r}")


def guest_state(port, key):
    """What shows a reboot or a converter access: the kernel's boot_id, the
    guest's boot count and the simulator's last counts."""
    return ssh(port, key, f"cat /proc/sys/kernel/random/boot_id /boot/efi/EFI/linux/boots "
                          f"/boot/efi/{SIM}/simrec.txt")


def check_package(port, key, deb, failures):
    """pelloryctl as the package installs it: its version, its command and
    its manual page as man shows it."""
    version = subprocess.run(["dpkg-deb", "--field", str(deb), "Version"], check=True,
                             capture_output=True, text=True).stdout.strip()
    shown = ssh(port, key, "dpkg-query -W -f '${Status} ${Version}\\n' pelloryctl; "
                           "command -v pelloryctl; pelloryctl --version; "
                           "MANPAGER=cat MANWIDTH=100 man 8 pelloryctl | grep -A1 '^NAME'")
    if not re.fullmatch(rf"install ok installed {re.escape(version)}\n/usr/sbin/pelloryctl\n"
                        rf"pelloryctl {re.escape(version)}\nNAME\n\s+pelloryctl \S+ .+\n", shown):
        failures.append(f"pelloryctl {version} as installed: {shown!r}")


def administrator_install(port, key, deb, work, failures):
    """`apt-get install ./pelloryctl_*.deb` as an administrator runs it, on
    the guest without pelloryctl and its libraries: refused while they are
    missing, naming them as pelloryctl's dependencies, installed when their
    packages lie beside it (the guest has no package source of its own).
    The libraries go with dpkg, past what else depends on them (GRUB's
    tools, and mokutil, which shim-signed needs: apt would take the boot
    chain with them), and dpkg unpacks pelloryctl first, so apt's refusal is
    about pelloryctl's own Depends, not only the others'."""
    folder = work / "libraries"
    folder.mkdir(exist_ok=True)
    subprocess.run(["apt-get", "download", *LIBRARIES], cwd=folder, check=True,
                   stdin=subprocess.DEVNULL, capture_output=True)
    files = [deb, *sorted(folder.glob("*.deb"))]
    for path in files:
        ssh(port, key, f"cat > /root/{path.name}", path.read_bytes())
    alone = ssh(port, key, f"apt-get -qq purge pelloryctl >/dev/null 2>&1; dpkg --purge --force-depends "
                           f"{' '.join(LIBRARIES)} >/dev/null 2>&1; cd /root; dpkg -i ./{deb.name} 2>&1; "
                           f"echo dpkg-rc=$?; apt-get -q -y install ./{deb.name} 2>&1; echo rc=$?")
    print(f"dpkg -i and apt-get install ./{deb.name} without the libraries:\n{alone}")
    named = all(f"pelloryctl depends on {name}" in alone and re.search(rf"pelloryctl :.*\n?.*Depends: {name}", alone)
                for name in LIBRARIES)
    if "dpkg-rc=1\n" not in alone or not alone.endswith("rc=100\n") or not named:
        failures.append(f"pelloryctl installed without its libraries: {alone!r}")
    # -f: the packages that lost the libraries get them back too.
    ssh(port, key, "cd /root && apt-get -qq -f install " + " ".join(f"./{p.name}" for p in files))
    check_package(port, key, deb, failures)


def check_rows(got, want, failures, run):
    """(host, state, action) of each row, in order."""
    seen = [(r["host"], r["state"], r["action"]) for r in got]
    if seen != want:
        failures.append(f"{run} rows: {seen}, expected {want}")


def check_untouched(before, after, changed, failures, run):
    if after != before:
        failures.append(f"{run}: the guest rebooted or the converter was reached")
    if changed != {"pc-a": 0, "pc-b": 0}:
        failures.append(f"{run}: hosts changed: {changed}")


class Rollouts:
    """The playbook's runs against the one guest, each with its report."""

    def __init__(self, work, hosts, program, controller, deb, failures):
        self.work, self.hosts, self.program = work, hosts, program
        self.controller, self.deb, self.failures = controller, deb, failures
        self.count = 0

    def run(self, *options, program=None, ok=True, deb=True):
        self.count += 1
        report = self.work / f"report-{self.count}.csv"
        if deb:
            options = ("-e", f"pellory_deb={self.deb}", *options)
        rc, changed = playbook(self.work, self.hosts, program or self.program, report,
                               self.controller, *options)
        if (rc == 0) != ok:
            self.failures.append(f"run {self.count} {options} exited {rc}")
        return rows(report, self.failures), changed


def test_playbook(options):
    args = options
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    guest = debian_guest.build(args.cache)
    key = work / "id_ed25519"
    key.unlink(missing_ok=True)
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(key)], check=True)
    port = free_port()
    # The machine's serial holds a comma, so the report's quoting is read
    # back through a CSV reader.
    net = ["-netdev", f"user,id=n,restrict=on,hostfwd=tcp:127.0.0.1:{port}-:22",
           "-device", "virtio-net-pci,netdev=n,romfile=",
           "-smbios", f"type=1,serial={SERIAL.replace(',', ',,')},uuid={UUID}"]
    machine = linux.Machine(work / "guest", qemu_args=net)
    program = (Path(args.efi_dir) / "pellory-testimage.efi").resolve()
    files = {**disk_files(args.efi_dir, None, program),
             "ssh/authorized_keys": Path(f"{key}.pub").read_bytes(),
             f"{linux.STEPS}/1.sh": SETUP.encode()}
    machine.copy_guest_disk(guest, files)
    failures = []
    started = time.monotonic()
    running = linux.start(machine)
    try:
        if not running.wait_for(READY, timeout=600):
            raise RuntimeError(f"the guest did not come up:\n{running.text()[-3000:]}")
        print(f"guest up after {time.monotonic() - started:.1f} s")
        rollouts = Rollouts(work, inventory(work, port, key), program,
                            Path(args.pelloryctl).resolve(), Path(args.deb).resolve(), failures)
        # Run 0, without the package: pc-a has no pelloryctl and fails
        # with one line; the rollout stops there.
        missing, _ = rollouts.run(deb=False, ok=False)
        check_rows(missing, [("pc-a", "error", "")], failures, "run 0")
        if missing and "pelloryctl is not installed on pc-a" not in missing[0]["outcome"]:
            failures.append(f"run 0's reason: {missing[0]['outcome']!r}")
        # Run 1: pc-a updates; pc-b, the same machine, finds this image written.
        first, _ = rollouts.run()
        check_rows(first, [("pc-a", "successful", "updated"), ("pc-b", "successful", "none")],
                   failures, "run 1")
        for row in first:
            check_successful(row, "updated" if row["host"] == "pc-a" else "none", failures)
        if len({r["request"] for r in first}) != 1:
            failures.append("pc-b's row does not show pc-a's record")
        # What apt installed: the package's version and its manual page.
        check_package(port, key, Path(args.deb), failures)
        # Run 2, the same again, and a check run: nothing reboots, nothing
        # reaches the converter, no host changes.
        before = guest_state(port, key)
        again_started = time.monotonic()
        again, changed = rollouts.run()
        print(f"the repeated rollout took {time.monotonic() - again_started:.1f} s")
        check_rows(again, [("pc-a", "successful", "none"), ("pc-b", "successful", "none")],
                   failures, "run 2")
        check_untouched(before, guest_state(port, key), changed, failures, "run 2")
        checked, changed = rollouts.run("--check")
        check_rows(checked, [("pc-a", "successful", "none"), ("pc-b", "successful", "none")],
                   failures, "check run")
        check_untouched(before, guest_state(port, key), changed, failures, "check run")
        if [r["request"] for r in again + checked] != [first[0]["request"]] * 4:
            failures.append("a later run's rows do not show run 1's record")
        # Run 3, a reinstall whose read-back differs: pc-a fails, pc-b is
        # never reached. What run 1 left in the converter's flash is kept
        # before the simulator is told to corrupt the read-back.
        ssh(port, key, f"cp /boot/efi/{SIM}/flash0.bin /boot/efi/{SIM}/flash-run1.bin && "
                       f"echo '{CORRUPT.strip()}' > /boot/efi/convsim.cfg && sync")
        third, _ = rollouts.run("-e", "pellory_allow=same", ok=False)
        check_rows(third, [("pc-a", "failed", "")], failures, "run 3")
        if third and third[0]["outcome"] != "failed":
            failures.append(f"run 3 outcome: {third[0]['outcome']}")
        # An identify rollout on pc-a: its converter's versions, nothing
        # written; still the old firmware, as no power-off came.
        before = guest_state(port, key)
        identified, _ = rollouts.run("-e", "pellory_mode=identify", "--limit", "pc-a")
        check_rows(identified, [("pc-a", "identified", "identified")], failures, "identify run")
        if identified and (identified[0]["firmware_before"], identified[0]["bootloader"],
                           identified[0]["power_off_needed"]) != ("0x07_0x22", "2.0.1", ""):
            failures.append(f"identify row: {identified[0]}")
        after = guest_state(port, key)
        if after.split()[0] == before.split()[0] or "pagesCommitted0=0\n" not in after:
            failures.append("the identify run did not reboot, or wrote pages")
        # A check run now says the update would be written.
        before = after
        checked, changed = rollouts.run("--check")
        check_rows(checked, [("pc-a", "identified", "would-update"),
                             ("pc-b", "identified", "would-update")], failures, "second check run")
        check_untouched(before, guest_state(port, key), changed, failures, "second check run")
        # Run 4: not a Pellory program: the controller's inspect refuses it,
        # the row says why in pelloryctl's words, and nothing reboots.
        refused, _ = rollouts.run(program=Path(args.efi_dir).resolve() / "convsim-dump.efi",
                                  ok=False)
        check_rows(refused, [("pc-a", "error", "")], failures, "run 4")
        reason = refused[0]["outcome"] if refused else ""
        if not (reason.startswith("Read the program's image version on the controller: ")
                and "not a Pellory program" in reason):
            failures.append(f"run 4's reason: {reason!r}")
        if guest_state(port, key) != before:
            failures.append("the guest rebooted after a refused program")
        administrator_install(port, key, Path(args.deb), work, failures)
        print(f"guest steps begun and ended: {running.text().count('==GUEST ')}; "
              f"whole test {time.monotonic() - started:.1f} s")
    finally:
        running.stop()
    if machine.read(f"{SIM}/flash-run1.bin") != Path(args.image).read_bytes():
        failures.append("the flash after run 1 differs from the image")
    if failures:
        pytest.fail("\n".join(failures), pytrace=False)
