#!/usr/bin/env python3
"""The figures `make bench` prints: one table, each figure with its unit.
Figures only; nothing here passes or fails.

    bench.py --build DIR [--boots N] [--host-runs N]

1. host: bench_host's whole update through the UEFI double (-O2, no
   sanitizers), median over --host-runs runs.
2. firmware: the size of pellory-testimage.efi, and what it carries beyond
   the 65,536-byte converter image.
3. real firmware: QEMU with OVMF's UEFI Shell, the simulator driver loaded,
   then the program or the floor application. The driver timestamps its
   first and last converter call with the TSC; their distance over its
   tscHz is the time with the converter. The record cannot be reset, so
   every measurement is a boot of its own with a fresh converter; program
   and floor boots alternate, --boots of each, and the medians are shown.
   QEMU runs with -icount: its clock, and so the guest's TSC, advances by
   the guest's instructions, not by the host's time. A free-running clock
   swung by half between boots on a loaded host; this one repeats to the
   microsecond, so one boot of each is enough.
4. the resident driver: its size, and two more instruction-counted boots
   to the shell with the simulator as a Driver#### entry, with and
   without pellory-identify.efi after it: its converter calls and their
   span, and how much later the shell dumps the simulator's record.
"""
import argparse
import os
import statistics
import subprocess
import sys

from pellory_machine import ovmf_vars
from pellory_machine.machine import PLAIN, BootTimeout, Machine, startup_script

IMAGE_SIZE = 65536
BOOT_TIMEOUT = 300
# One nanosecond per guest instruction; an idle guest jumps to its next
# timer instead of waiting for the host.
ICOUNT = ("-icount", "shift=0,sleep=off")


def host_rows(build, runs):
    exe = os.path.join(build, "bench", "bench_host")
    done = subprocess.run([exe, "--runs", str(runs)], capture_output=True, text=True)
    if done.returncode != 0:
        return [("host: whole update", "not measured", done.stderr.strip())]
    rows = []
    for line in done.stdout.splitlines():
        name, value, unit = (line.split("\t") + ["", ""])[:3]
        rows.append((name, value, unit))
    return rows


def size_rows(efi_dir):
    path = os.path.join(efi_dir, "pellory-testimage.efi")
    if not os.path.isfile(path):
        return [("firmware: pellory-testimage.efi", "not built", "")]
    size = os.path.getsize(path)
    return [("firmware: pellory-testimage.efi", f"{size:,}", "bytes"),
            ("firmware: beyond the 65,536-byte image", f"{size - IMAGE_SIZE:,}", "bytes")]


def record(simrec):
    values = {}
    for line in (simrec or b"").decode("ascii", "replace").splitlines():
        key, sep, value = line.partition("=")
        if sep:
            values[key.strip()] = value.strip()
    return values


def one_boot(efi_dir, app):
    """Milliseconds from the first to the last converter call, the record,
    the boot and log.txt, for one boot that runs `app` after loading the driver."""
    files = {name: os.path.join(efi_dir, name)
             for name in (app, "convsim.efi", "convsim-dump.efi")}
    startup = startup_script(app, setup=("load convsim.efi",), after=("convsim-dump.efi",))
    with Machine(qemu_args=ICOUNT) as machine:
        machine.add_volume(files, startup=startup)
        result = machine.boot(limit=BOOT_TIMEOUT)
        log = machine.read("log.txt")
        rec = record(machine.read("simrec.txt"))
    try:
        first, last, hz = (int(rec[k]) for k in ("tscFirst", "tscLast", "tscHz"))
    except (KeyError, ValueError):
        raise RuntimeError(f"{app}: no timing in the simulator's record")
    if hz == 0 or first == 0 or last < first:
        raise RuntimeError(f"{app}: the simulator saw no converter call")
    return (last - first) * 1000.0 / hz, rec, result, log


def counts(rec):
    return "/".join(rec.get(k, "?") for k in ("dpcdWrites0", "dpcdReads0", "i2cWrites0", "i2cReads0"))


def firmware_rows(efi_dir, boots):
    needed = ["pellory-testimage.efi", "pellory-floor.efi", "convsim.efi", "convsim-dump.efi"]
    missing = [n for n in needed if not os.path.isfile(os.path.join(efi_dir, n))]
    if missing:
        return [("real firmware", "not measured", "missing " + ", ".join(missing))]
    for path in (PLAIN.code, PLAIN.vars_template):
        if not os.path.isfile(path):
            return [("real firmware", "not measured", f"{path} is not installed")]
    times = {"pellory-testimage.efi": [], "pellory-floor.efi": []}
    walls, recs, log = [], {}, None
    try:
        for _ in range(boots):
            for app in times:
                ms, rec, result, app_log = one_boot(efi_dir, app)
                times[app].append(ms)
                walls.append(result.wall_time)
                recs[app] = rec
                if app == "pellory-testimage.efi":
                    log = app_log
    except (RuntimeError, OSError, BootTimeout) as failure:
        return [("real firmware", "not measured", str(failure).splitlines()[0])]
    program = statistics.median(times["pellory-testimage.efi"])
    floor = statistics.median(times["pellory-floor.efi"])

    def spread(values):
        return " ".join(f"{v:.3f}" for v in values)

    return [
        ("real firmware: program, first to last converter call", f"{program:.3f}",
         "ms of instruction-counted time (median)"),
        ("real firmware: floor application, the same", f"{floor:.3f}",
         "ms of instruction-counted time (median)"),
        ("real firmware: program / floor", f"{program / floor:.3f}", "x"),
        ("real firmware: program, each boot", spread(times["pellory-testimage.efi"]), "ms"),
        ("real firmware: floor, each boot", spread(times["pellory-floor.efi"]), "ms"),
        ("real firmware: boots", str(2 * boots), f"boots, {statistics.median(walls):.1f} s each (median)"),
        ("real firmware: program's log.txt", repr(log.decode("latin-1")) if log is not None else "(none)", ""),
        ("real firmware: DPCD w/r, I2C w/r (program)", counts(recs["pellory-testimage.efi"]), "calls"),
        ("real firmware: DPCD w/r, I2C w/r (floor)", counts(recs["pellory-floor.efi"]), "calls"),
        ("real firmware: tscHz (program boot)", f"{int(recs['pellory-testimage.efi']['tscHz']):,}", "ticks/s"),
    ]


DRIVER_ENTRY = 0x0001
DRIVER_PATH = "\\EFI\\Pellory\\pellory-identify.efi"


def driver_boot(efi_dir, with_driver):
    """One boot to the shell with the simulator (and the resident driver)
    as Driver#### entries; the shell dumps the simulator's record at once.
    Returns the record: the driver's converter calls and the TSC at the
    dump, which tells what the driver added to the boot."""
    files = {"convsim.efi": os.path.join(efi_dir, "convsim.efi"),
             "convsim-dump.efi": os.path.join(efi_dir, "convsim-dump.efi"),
             "convsim.cfg": b"displayDriven = true\n"}
    drivers = [(0, "Converter simulator", "\\convsim.efi")]
    if with_driver:
        files[DRIVER_PATH[1:].replace("\\", "/")] = os.path.join(efi_dir, "pellory-identify.efi")
        drivers.append((DRIVER_ENTRY, "Pellory converter identification", DRIVER_PATH))
    startup = "\n".join(["@echo -off", "fs0:", "convsim-dump.efi", "reset -s", ""])
    with Machine(qemu_args=ICOUNT) as machine:
        store = ovmf_vars.VarStore.load(machine.vars)
        glob, nv = ovmf_vars.GLOBAL_GUID, ovmf_vars.NV_BS_RT
        for number, description, path in drivers:
            store.add("Driver%04X" % number, glob, nv,
                      ovmf_vars.load_option(description, ovmf_vars.first_disk_file(path)))
        store.add("DriverOrder", glob, nv, ovmf_vars.option_list(*(n for n, _, _ in drivers)))
        store.save(machine.vars)
        machine.add_volume(files, startup=startup)
        machine.boot(limit=BOOT_TIMEOUT)
        return record(machine.read("simrec.txt"))


def driver_rows(efi_dir):
    """The resident driver's cost per boot: its size, its converter calls
    and their span, and how much later the shell's dump comes with it."""
    path = os.path.join(efi_dir, "pellory-identify.efi")
    if not os.path.isfile(path):
        return [("resident driver", "not built", "")]
    rows = [("resident driver: pellory-identify.efi", f"{os.path.getsize(path):,}", "bytes")]
    try:
        plain, read = driver_boot(efi_dir, False), driver_boot(efi_dir, True)
        hz = int(read["tscHz"])
        first, last = int(read["tscFirst"]), int(read["tscLast"])
        added = int(read["tscDump"]) - int(plain["tscDump"])
    except (KeyError, ValueError, RuntimeError, OSError, BootTimeout) as failure:
        return rows + [("resident driver: real firmware", "not measured", str(failure).splitlines()[0])]
    operations = int(read["dpcdReads0"]) + int(read["i2cReads0"]) + int(read["dpcdWrites0"]) + int(read["i2cWrites0"])
    return rows + [
        ("resident driver: link operations a boot", str(operations), "calls (DPCD w/r, I2C w/r " + counts(read) + ")"),
        ("resident driver: first to last converter call", f"{(last - first) * 1000.0 / hz:.3f}",
         "ms of instruction-counted time"),
        ("resident driver: added to a boot, up to the shell", f"{added * 1000.0 / hz:.3f}",
         "ms of instruction-counted time (the dump's TSC with and without it)"),
    ]


def print_table(rows):
    width = max(len(name) for name, _, _ in rows)
    value_width = max(len(value) for _, value, _ in rows)
    print(f"{'figure':<{width}}  {'value':>{value_width}}  unit")
    print(f"{'-' * width}  {'-' * value_width}  ----")
    group = None
    for name, value, unit in rows:
        head = name.split(":")[0]
        if group is not None and head != group:
            print()
        group = head
        print(f"{name:<{width}}  {value:>{value_width}}  {unit}".rstrip())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the CMake build folder")
    parser.add_argument("--boots", type=int, default=1,
                        help="QEMU boots of the program and of the floor each (default 1)")
    parser.add_argument("--host-runs", type=int, default=31,
                        help="host runs of the whole update (at least 20; default 31)")
    args = parser.parse_args(argv)
    efi_dir = os.path.join(args.build, "efi")
    rows = host_rows(args.build, max(args.host_runs, 20))
    rows += size_rows(efi_dir)
    rows += firmware_rows(efi_dir, max(args.boots, 1))
    rows += driver_rows(efi_dir)
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
