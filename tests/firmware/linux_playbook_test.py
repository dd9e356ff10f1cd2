"""The fleet playbook (deploy/ansible/pellory-update.yml) run by Debian's
ansible-playbook against the Debian guest (tools/debian_guest.py) over SSH,
on a loopback port that QEMU's user networking forwards to the guest's
OpenSSH server (restrict=on: nothing else leaves QEMU). The guest reboots
the way Ansible reboots any host (ansible.builtin.reboot's own command);
NVRAM lives on across its reboots, and the converter starts the firmware
written only at the one power-off and on the test makes (a second QEMU
process on the same disk and variables).

The inventory names the guest twice (pc-a, pc-b), one host per batch; the
controller's pelloryctl is the build's. The guest starts without
pelloryctl.
- run 0, without pellory_deb: pc-a fails with the one line that says
  pelloryctl is missing; nothing else happens;
- run 1 (this and every later run with pellory_deb): pc-a gets the package
  and the identification driver installed, then updates (`successful`,
  action `updated`); that boot's reading still shows 0x07_0x22, so a
  power-off is needed; pc-b is the same machine, so its record already
  shows this image written: row `none`, no reboot; the flash equals the
  image; the guest has the package's version as /usr/sbin/pelloryctl and
  its manual page as `man 8 pelloryctl` shows it;
- run 2, the same rollout again, and a check run: both rows `none`, no host
  changed, the guest not rebooted (its boot_id and boot count) and the
  simulator's counts untouched;
- the power-off and on: `pelloryctl status` shows 0x07_0x23 and `result`
  no longer asks for a power-off; the rollout then reads `none` for both
  hosts from the reading, an inventory (pellory_mode=inventory) and a
  check run reboot nothing, and a program of an older release (07_21)
  fails pc-a at once with one line, without a reboot;
- a reinstall (pellory_allow=same) whose read-back the simulator
  corrupts: pc-a's record says `failed`, the playbook fails and stops
  after that batch: pc-b is never touched and its row is missing;
- an identify rollout on pc-a alone: row `identified` with the versions
  the converter runs (0x07_0x23 now), nothing written; a check run then
  says `none` for both;
- a program that is not a Pellory program: the controller's
  `pelloryctl inspect` refuses it, pc-a's row says `error` with
  pelloryctl's own reason, and the guest does not reboot;
- last, an administrator's own `apt-get install ./pelloryctl_*.deb`, after
  the playbook's package and libefiboot1/libefivar1 are removed: refused
  alone (by dpkg and by apt, naming them), installed with the libraries'
  packages beside it.
"""
import csv
import json
import os
import re
import subprocess
import time
from pathlib import Path

import pytest

import debian_guest
from boot_server import free_port
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
            "running": "0x07_0x22", "power_off_needed": "true"}
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


def first_rollouts(rollouts, port, key, deb, failures):
    """Run 0 without the package: pc-a has no pelloryctl and fails with one
    line. Run 1 installs the package and the identification driver before
    pc-a's update reboots it: that boot's reading still shows the old
    firmware (a reboot starts no new one), so a power-off is needed; pc-b,
    the same machine, finds this image written. Run 2, the same again, and
    a check run: nothing reboots, nothing reaches the converter."""
    missing, _ = rollouts.run(deb=False, ok=False)
    check_rows(missing, [("pc-a", "error", "")], failures, "run 0")
    if missing and "pelloryctl is not installed on pc-a" not in missing[0]["outcome"]:
        failures.append(f"run 0's reason: {missing[0]['outcome']!r}")
    first, _ = rollouts.run()
    check_rows(first, [("pc-a", "successful", "updated"), ("pc-b", "successful", "none")],
               failures, "run 1")
    for row in first:
        check_successful(row, "updated" if row["host"] == "pc-a" else "none", failures)
    if len({r["request"] for r in first}) != 1:
        failures.append("pc-b's row does not show pc-a's record")
    check_package(port, key, deb, failures)
    check_status(port, key, "0x07_0x22", failures, "after the update's reboot")
    before = guest_state(port, key)
    again, changed = rollouts.run()
    check_rows(again, [("pc-a", "successful", "none"), ("pc-b", "successful", "none")],
               failures, "run 2")
    check_untouched(before, guest_state(port, key), changed, failures, "run 2")
    checked, changed = rollouts.run("--check")
    check_rows(checked, [("pc-a", "successful", "none"), ("pc-b", "successful", "none")],
               failures, "check run")
    check_untouched(before, guest_state(port, key), changed, failures, "check run")
    if [r["request"] for r in again + checked] != [first[0]["request"]] * 4:
        failures.append("a later run's rows do not show run 1's record")
    # What run 1 left in the converter's flash, before later runs change it.
    ssh(port, key, f"cp /boot/efi/{SIM}/flash0.bin /boot/efi/{SIM}/flash-run1.bin && sync")


def power_cycle(machine, running, port, key, failures):
    """The power-off the converter needs, and the power-on: a new QEMU
    process on the same disk and variables. The reading now shows the new
    firmware, and `result` no longer asks for a power-off."""
    subprocess.run(["ssh", "-p", str(port), "-i", str(key), "-o", "StrictHostKeyChecking=no",
                    "-o", "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "root@127.0.0.1",
                    "systemctl poweroff"], stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    if not running.wait_ended(timeout=300):
        raise RuntimeError("the guest did not power off")
    started = time.monotonic()
    running = linux.start(machine, "console-power-on.txt")
    wait_for_ssh(port, key)
    print(f"powered on again; SSH answers after {time.monotonic() - started:.1f} s")
    check_status(port, key, "0x07_0x23", failures, "after the power-on")
    result = json.loads(ssh(port, key, "pelloryctl result --json"))
    print("pelloryctl result --json after the power-on:", json.dumps(result))
    for name, value in (("state", "successful"), ("running", "0x07_0x23"), ("power_off_needed", False)):
        if result.get(name) != value:
            failures.append(f"after the power-on: result {name} is {result.get(name)!r}, not {value!r}")
    return running


def after_power_on(rollouts, port, key, program, work, failures):
    """Every rollout now decides from the reading and reboots nothing: the
    update reads `none` for both hosts, an inventory shows the running
    firmware, a check run says `none`, and a program of an older release
    fails pc-a at once."""
    before = guest_state(port, key)
    done, changed = rollouts.run()
    check_rows(done, [("pc-a", "successful", "none"), ("pc-b", "successful", "none")],
               failures, "the rollout after the power-on")
    for row in done:
        if (row["running"], row["power_off_needed"]) != ("0x07_0x23", "false"):
            failures.append(f"after the power-on {row['host']}: running {row['running']!r}, "
                            f"power_off_needed {row['power_off_needed']!r}")
    inventory_rows, _ = rollouts.run("-e", "pellory_mode=inventory")
    check_rows(inventory_rows, [("pc-a", "seen", "read"), ("pc-b", "seen", "read")], failures, "inventory")
    for row in inventory_rows:
        want = {"running": "0x07_0x23", "port": "0", "vendor_block": "0x500", "converter_oui": "0A1B2C",
                "bootloader": "2.0.1", "power_off_needed": "false"}
        wrong = {k: row.get(k) for k, v in want.items() if row.get(k) != v}
        if wrong:
            failures.append(f"inventory row {row['host']}: {wrong}")
    checked, _ = rollouts.run("--check")
    check_rows(checked, [("pc-a", "successful", "none"), ("pc-b", "successful", "none")],
               failures, "the check run after the power-on")
    older, _ = rollouts.run(program=older_release(program, work, "07_21"), ok=False)
    check_rows(older, [("pc-a", "error", "")], failures, "an older release")
    if older and "the converter runs 0x07_0x23, newer than the image's 07_21" not in older[0]["outcome"]:
        failures.append(f"an older release's reason: {older[0]['outcome']!r}")
    check_untouched(before, guest_state(port, key), {"pc-a": 0, "pc-b": 0}, failures,
                    "the rollouts after the power-on")


def stops_and_identify(rollouts, port, key, efi_dir, failures):
    """A reinstall whose read-back differs fails pc-a and stops the rollout
    before pc-b; an identify rollout shows the new firmware; a check run
    then says `none` (the reading shows the image's version); a program
    that is not a Pellory program stops at the controller, no reboot."""
    ssh(port, key, f"echo '{CORRUPT.strip()}' > /boot/efi/convsim.cfg && sync")
    third, _ = rollouts.run("-e", "pellory_allow=same", ok=False)
    check_rows(third, [("pc-a", "failed", "")], failures, "the reinstall")
    if third and third[0]["outcome"] != "failed":
        failures.append(f"the reinstall's outcome: {third[0]['outcome']}")
    before = guest_state(port, key)
    identified, _ = rollouts.run("-e", "pellory_mode=identify", "--limit", "pc-a")
    check_rows(identified, [("pc-a", "identified", "identified")], failures, "identify run")
    if identified and (identified[0]["firmware_before"], identified[0]["bootloader"],
                       identified[0]["power_off_needed"]) != ("0x07_0x23", "2.0.1", ""):
        failures.append(f"identify row: {identified[0]}")
    after = guest_state(port, key)
    if after.split()[0] == before.split()[0] or "pagesCommitted0=0\n" not in after:
        failures.append("the identify run did not reboot, or wrote pages")
    checked, changed = rollouts.run("--check")
    check_rows(checked, [("pc-a", "identified", "none"), ("pc-b", "identified", "none")],
               failures, "second check run")
    check_untouched(after, guest_state(port, key), changed, failures, "second check run")
    refused, _ = rollouts.run(program=efi_dir.resolve() / "convsim-dump.efi", ok=False)
    check_rows(refused, [("pc-a", "error", "")], failures, "a program that is none")
    reason = refused[0]["outcome"] if refused else ""
    if not (reason.startswith("Read the program's image version on the controller: ")
            and "not a Pellory program" in reason):
        failures.append(f"the refused program's reason: {reason!r}")
    if guest_state(port, key) != after:
        failures.append("the guest rebooted after a refused program")


def check_status(port, key, firmware, failures, when):
    """`pelloryctl status --json` on the guest: the driver's reading of
    this boot, the driver named."""
    status = json.loads(ssh(port, key, "pelloryctl status --json"))
    print(f"pelloryctl status --json {when}:", json.dumps(status))
    want = {"state": "seen", "port": "0", "vendor_block": "0x500", "converter_oui": "0A1B2C",
            "bootloader": "2.0.1", "firmware": firmware}
    wrong = {k: status.get(k) for k, v in want.items() if status.get(k) != v}
    if wrong or "pellory-identify.efi" not in status.get("driver", ""):
        failures.append(f"{when}: pelloryctl status says {status}")


def wait_for_ssh(port, key, timeout=600):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            ssh(port, key, "true")
            return
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired):
            time.sleep(2)
    raise RuntimeError(f"the guest's SSH did not answer within {timeout} s")


def older_release(program, work, version):
    """The program as a release for an older image version: the same image,
    its banner naming `version`, as a build with FIRMWARE_VERSION=version
    gives it."""
    banner = b"Pellory Version:0.4, firmware version 07_23\n"
    data = program.read_bytes()
    assert data.count(banner) == 1, "the test program's banner is not where it was"
    path = work / f"pellory-{version}.efi"
    path.write_bytes(data.replace(banner, banner.replace(b"07_23", version.encode())))
    return path


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


def test_playbook(efi_dir, image, pelloryctl, deb, cache, work):
    work = Path(work)
    work.mkdir(parents=True, exist_ok=True)
    guest = debian_guest.build(cache)
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
    program = (Path(efi_dir) / "pellory-testimage.efi").resolve()
    files = {**disk_files(efi_dir, None, program),
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
                            Path(pelloryctl).resolve(), Path(deb).resolve(), failures)
        first_rollouts(rollouts, port, key, Path(deb), failures)
        running = power_cycle(machine, running, port, key, failures)
        after_power_on(rollouts, port, key, program, work, failures)
        stops_and_identify(rollouts, port, key, Path(efi_dir), failures)
        administrator_install(port, key, Path(deb), work, failures)
        print(f"guest steps begun and ended: {running.text().count('==GUEST ')}; "
              f"whole test {time.monotonic() - started:.1f} s")
    finally:
        running.stop()
    if machine.read(f"{SIM}/flash-run1.bin") != image:
        failures.append("the flash after run 1 differs from the image")
    if failures:
        pytest.fail("\n".join(failures), pytrace=False)
