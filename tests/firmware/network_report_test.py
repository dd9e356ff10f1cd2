"""Real-firmware network starts that report to their boot server: OVMF's
boot manager starts the program from the network (BootNext, the simulator
loaded before it as a Driver#### entry), and the program PUTs its record to
a real web server, Debian's nginx (or lighttpd) with WebDAV PUT, run by
this test on a loopback port and reached through QEMU's user network
(restrict=on: only the guestfwd addresses lead anywhere, each guest
connection runs socat to that port).

http_boot: OVMF HTTP-boots http://10.0.2.100/line3/pellory.efi (a boot
option whose device path ends in that Uri node); afterwards the server's
line3/pellory-results/ holds exactly one file, named after the NIC's MAC
and the run's start time, whose bytes are the PelloryResult left in the
store, PUT twice (started, then the final record); `pelloryctl collect`
makes it a row of the fleet report.
http_boot_lighttpd: the same from Debian's lighttpd, set up with README's
block (mod_webdav for the results folder) and its results folder made
first, owned by www-data, as which lighttpd runs (boot_server.Lighttpd).
http_refused: the same as http_boot, but nginx answers 403 under
pellory-results/: the converter is still updated, the variable still holds
the record, and the program's last line says the result could not be
sent.
pxe: OVMF PXE-boots the program and the record arrives at
http://SERVER/pellory-results/NAME, SERVER being the boot server PXE
reports. QEMU's user network can not give its boot server an HTTP server:
its DHCP names the host alias 10.0.2.2 as the TFTP server, and QEMU refuses
a guestfwd to that address ("Conflicting/invalid host:port in guest
forwarding rule"). So this scenario makes a network namespace of its own
(root only, as CI runs): a tap device for QEMU at 10.0.3.1, Debian's
dnsmasq on it for DHCP and TFTP, nginx on 10.0.3.1:80; the test runs
itself again inside the namespace, and nothing in it reaches any other
network.

The server's folder, its configuration and its access log stay in
WORK/NAME for the report.
"""
import csv
import io
import os
import re
import subprocess
import sys
import time

import pytest

import boot_entries as entries
import boot_server
import ctest_options
import expect
from expect import NOT_SENT, SUCCESS
from pellory_machine import ovmf_vars
from pellory_machine.machine import NETWORK_BOOTFILE, NIC_MAC, Machine, Nic

HTTP_SERVER = "10.0.2.100"
# QEMU's user network: its DHCP names itself, the host alias, as the
# server whose TFTP holds the boot file.
PXE_SERVER = "10.0.3.1"
PXE_TAP = "tap0"
PXE_LEASES = "10.0.3.10,10.0.3.20,255.255.255.0,10m"
DNSMASQ = "/usr/sbin/dnsmasq"
RECORD_NAME = re.compile(r"%s-(\d{8}T\d{6}|unknown-time)\.txt" % NIC_MAC.replace(":", ""))
# address:port #connection "request" status request_length body_bytes_sent
# "content_type" content_length
ACCESS = re.compile(r'\S+ #\d+ "(\S+) (\S+) HTTP/1\.[01]" (\d{3}) \d+ \d+ "([^"]*)" (\S+)')

# name: (request id, the server's folder, boot by HTTP, server refuses,
# the server)
SCENARIOS = {
    "http_boot": ("line3-0001", "line3", True, False, boot_server.BootServer),
    "http_refused": ("line3-0002", "line3", True, True, boot_server.BootServer),
    "pxe": ("line3-0003", "", False, False, boot_server.BootServer),
    "http_boot_lighttpd": ("line3-0004", "line3", True, False, boot_server.Lighttpd),
}


def requests(server):
    """nginx's access log as (method, path, status, content type, length)."""
    found = []
    for line in server.access_log():
        match = ACCESS.fullmatch(line)
        if match:
            found.append(match.groups())
    return found


def check_sends(server, record, refused, prefix, failures):
    """What reached the server: the program once by GET (HTTP boot), then
    PUTs of the record under prefix/pellory-results/ to one name, text/plain
    with the exact length; stored, it is the record's bytes."""
    stored = server.results()
    puts = [r for r in requests(server) if r[0] == "PUT"]
    names = {path for _m, path, *_rest in puts}
    if len(names) != 1:
        failures.append("PUTs to %d names: %s" % (len(names), sorted(names)))
        return
    path = names.pop()
    folder, _, name = path.rpartition("/")
    if folder != prefix + "/" + boot_server.RESULTS or not RECORD_NAME.fullmatch(name):
        failures.append("the record went to %r, expected %s/%s/<mac>-<time>.txt"
                        % (path, prefix, boot_server.RESULTS))
    if any(r[3] != "text/plain" for r in puts):
        failures.append("a PUT is not text/plain: %s" % puts)
    if puts and puts[-1][4] != str(len(record)):
        failures.append("the last PUT's Content-Length %s, the record has %d bytes"
                        % (puts[-1][4], len(record)))
    statuses = [r[2] for r in puts]
    if refused:
        # The first send and the final one, each tried at most twice.
        if not 2 <= len(puts) <= 4 or set(statuses) != {"403"}:
            failures.append("refused PUTs: %s" % statuses)
        if stored:
            failures.append("the refusing server stored %s" % sorted(stored))
        return
    if statuses != ["201", "204"]:
        failures.append("PUT statuses %s, expected 201 (started) then 204 (final)" % statuses)
    if list(stored) != [name]:
        failures.append("the server holds %s, expected only %s" % (sorted(stored), name))
    elif stored[name] != record:
        failures.append("the server's record differs from PelloryResult:\n    got  %r\n    want %r"
                        % (stored[name], record))


def check_collect(pelloryctl, server, record, failures):
    """`pelloryctl collect` of the server's folder: the header and one row,
    the file's name then the record's own fields."""
    run = subprocess.run([pelloryctl, "collect", server.results_dir()], capture_output=True,
                         text=True, timeout=30)
    rows = list(csv.reader(io.StringIO(run.stdout)))
    fields = [line.split("=", 1)[1] for line in record.decode("ascii").splitlines()]
    if run.returncode != 0 or run.stderr or len(rows) != 2:
        failures.append("pelloryctl collect: exit %d, %r %r" % (run.returncode, run.stdout, run.stderr))
        return
    want = [next(iter(server.results())), "successful", "updated", fields[11][:5]] + fields[1:] + ["", "true"]
    if rows[1] != want:
        failures.append("collect's row:\n    got  %r\n    want %r" % (rows[1], want))
    print("pelloryctl collect:\n" + run.stdout, end="")


def run_in_namespace(request, efi_dir, pelloryctl, work):
    """The pxe scenario: a namespace with a tap device, this test run again
    in it, the namespace removed whatever happened."""
    name = "pellory-pxe-%d" % os.getpid()
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        for command in (["link", "set", "lo", "up"],
                        ["tuntap", "add", "dev", PXE_TAP, "mode", "tap"],
                        ["addr", "add", PXE_SERVER + "/24", "dev", PXE_TAP],
                        ["link", "set", PXE_TAP, "up"]):
            subprocess.run(["ip", "-n", name, *command], check=True)
        return subprocess.run([
            "ip", "netns", "exec", name, sys.executable, "-m", "pytest",
            "-c", str(request.config.inipath), "%s::%s" % (__file__, request.node.name),
            "--efi-dir", efi_dir, "--image", ctest_options.given(request, "image"),
            "--pelloryctl", pelloryctl, "--work", work, "--in-namespace"]).returncode
    finally:
        subprocess.run(["ip", "netns", "del", name])


class Dnsmasq:
    """Debian's dnsmasq on the tap device: DHCP for the one NIC, its boot
    file from `tftp`, no DNS; its log kept in `prefix`."""

    def __init__(self, prefix, tftp):
        self.prefix, self.tftp, self.process = prefix, tftp, None

    def __enter__(self):
        log = os.path.join(self.prefix, "dnsmasq.log")
        self.process = subprocess.Popen([
            DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--port=0",
            "--interface=" + PXE_TAP, "--bind-interfaces", "--dhcp-range=" + PXE_LEASES,
            "--dhcp-boot=" + NETWORK_BOOTFILE, "--enable-tftp", "--tftp-root=" + self.tftp,
            "--dhcp-leasefile=" + os.path.join(self.prefix, "dnsmasq.leases"),
            "--pid-file=" + os.path.join(self.prefix, "dnsmasq.pid"), "--log-dhcp",
            "--log-facility=" + log, "--user=root", "--group=root"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # Ready once it logged that TFTP is on; it ends at once when it can not start.
        deadline = time.monotonic() + boot_server.START_LIMIT_SECONDS
        while time.monotonic() < deadline and self.process.poll() is None:
            if os.path.exists(log) and "TFTP root" in open(log, errors="replace").read():
                return self
            time.sleep(0.05)
        self.__exit__()
        raise RuntimeError("dnsmasq did not start: %s" % self.process.stderr.read().decode())

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        self.process.stderr.close()


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_report(name, efi_dir, image, pelloryctl, work, in_namespace, request):
    if name == "pxe" and not in_namespace:
        assert run_in_namespace(request, efi_dir, pelloryctl, work) == 0, \
            "the run inside the namespace failed"
        return
    program = open(os.path.join(efi_dir, "pellory-testimage.efi"), "rb").read()
    request_id, folder, http, refused, kind = SCENARIOS[name]
    prefix = os.path.join(work, name)
    server = kind(prefix, folder, refuse=refused,
                  **({} if http else {"address": PXE_SERVER, "port": 80}))
    with server:
        if http:
            server.place(NETWORK_BOOTFILE, program)
            boot = entries.http_boot("http://%s/%s/%s" % (HTTP_SERVER, folder, NETWORK_BOOTFILE))
            nic = Nic(guestfwd=(server.guestfwd(HTTP_SERVER),))
        else:
            tftp = os.path.join(prefix, "tftp")
            os.mkdir(tftp)
            with open(os.path.join(tftp, NETWORK_BOOTFILE), "wb") as out:
                out.write(program)
            boot = entries.network_boot()
            nic = Nic(tap=PXE_TAP)
        with Machine(nic=nic, qemu_args=expect.SMBIOS) as machine:
            entries.scheduled_store(machine.vars, boot, entries.request(request_id, "return"))
            placed = expect.volume_files(efi_dir, False)
            machine.add_volume(placed, startup=expect.SHELL_STARTUP)
            if http:
                result = machine.boot(limit=expect.LIMIT_SECONDS)
            else:
                with Dnsmasq(prefix, tftp):
                    result = machine.boot(limit=expect.LIMIT_SECONDS)
            server.stop()
            failures = []
            expect.check_console(result, failures, expect.whole(expect.identification())
                                 + (NOT_SENT if refused else ""))
            expect.check_return(result, failures, NOT_SENT if refused else SUCCESS)
            expect.check_files(machine, "network", placed, image, failures)
            store = ovmf_vars.VarStore.load(machine.vars)
        expect.check_record(store, request_id, "network", image, failures)
        found = store.get("PelloryResult", ovmf_vars.PELLORY_GUID)
        record = found[1] if found else b""
        check_sends(server, record, refused, "/" + folder if folder else "", failures)
        if not refused and not failures:
            check_collect(pelloryctl, server, record, failures)
        print("PelloryResult: %r" % record)
        for stored, data in server.results().items():
            print("received %s:\n%s" % (stored, data.decode("ascii", "replace")), end="")
        print("access log:\n  " + "\n  ".join(server.access_log()))
    expect.verdict(name, result, failures)
