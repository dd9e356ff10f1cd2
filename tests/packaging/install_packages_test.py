"""tools/install-packages.sh: its groups hold every package once, `make
demo` asks for the build and the demo only, a user who is not root is told
exactly what the target asked for lacks, and a package the script installs
that started a system service has it disabled and stopped (or, where
systemd does not run, its wants link removed), while a package installed
before is never touched. The Debian tools are stand-ins on the PATH that
record what they were asked (a real apt-get would change this machine).

    pytest install_packages_test.py --source SOURCE_TREE
"""
import os
import subprocess
from pathlib import Path

import pytest

# What a newcomer's `make demo` must not bring: servers, the fleet's and the
# guests' tools, the package checker, the fuzz compiler.
NOT_FOR_THE_DEMO = ("nginx-core", "dnsmasq-base", "ansible-core", "lintian", "mmdebstrap", "clang")

# Stand-ins. The package database is STATE ("name" per installed package);
# apt-get installs what it is given and what DEPENDS names for it; dpkg -L
# lists FILES/<package>; systemctl answers is-enabled and is-active from
# ENABLED and ACTIVE and logs every call.
FAKES = {
    "id": 'echo "${FAKE_UID:-0}"\n',
    "dpkg-query": r'''
if [ "$#" -eq 3 ]; then
  grep -qx "$3" "$FAKE/state" && { printf installed; exit 0; }
  exit 1
fi
sed 's/^/installed /' "$FAKE/state"
''',
    "apt-get": r'''
echo "apt-get $*" >> "$FAKE/log"
[ "$1" = install ] || exit 0
for word in "$@"; do
  case "$word" in -*|install) continue ;; esac
  echo "$word" >> "$FAKE/state"
  [ -f "$FAKE/depends/$word" ] && cat "$FAKE/depends/$word" >> "$FAKE/state"
done
exit 0
''',
    "dpkg": r'''[ "$1" = -L ] && cat "$FAKE/files/$2" 2>/dev/null; exit 0
''',
    "systemctl": r'''
echo "systemctl $*" >> "$FAKE/log"
case "$1" in
  is-enabled) grep -qx "$2" "$FAKE/enabled" && echo enabled || echo disabled ;;
  is-active) grep -qx "$2" "$FAKE/active" && echo active || echo inactive ;;
esac
exit 0
''',
}


def script(source):
    return str(Path(source) / "tools" / "install-packages.sh")


def run(source, *words, env=None):
    return subprocess.run(["sh", script(source), *words], capture_output=True, text=True,
                          env=env, stdin=subprocess.DEVNULL, timeout=60)


def groups(source):
    done = run(source, "--groups")
    assert done.returncode == 0, done.stderr
    return {name: members.split() for name, members in
            (line.split(": ", 1) for line in done.stdout.splitlines())}


def listed(source, *targets):
    done = run(source, "--list", *targets)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_every_package_stands_in_one_group_and_the_demo_asks_for_little(source):
    found = groups(source)
    everything = [p for members in found.values() for p in members]
    assert len(everything) == len(set(everything)), f"a package in two groups: {found}"
    assert sorted(listed(source, "test")) == sorted(everything)
    demo = listed(source, "demo")
    assert demo == found["BUILD"] + found["BOOT"]
    assert not set(demo) & set(NOT_FOR_THE_DEMO)
    # Each target asks for its own groups only.
    assert "clang" in listed(source, "fuzz") and "clang" not in listed(source, "deb")
    assert "sbsigntool" in listed(source, "efi", "signing")
    assert "sbsigntool" not in listed(source, "efi")
    assert run(source, "--list", "no-such-target").returncode != 0


class Machine:
    """The stand-ins' machine: the tools on a PATH of their own, a package
    database, and a system root whose services are looked at."""

    def __init__(self, folder, installed, systemd):
        self.folder = folder
        self.root = folder / "root"
        (folder / "bin").mkdir()
        for name, body in FAKES.items():
            tool = folder / "bin" / name
            tool.write_text("#!/bin/sh\n" + body)
            tool.chmod(0o755)
        for name in ("depends", "files"):
            (folder / name).mkdir()
        (folder / "state").write_text("".join(p + "\n" for p in installed))
        for name in ("log", "enabled", "active"):
            (folder / name).write_text("")
        (self.root / "etc/systemd/system/multi-user.target.wants").mkdir(parents=True)
        if systemd:
            (self.root / "run/systemd/system").mkdir(parents=True)

    def package(self, name, units=(), depends=(), enabled=True):
        """A package of the archive with its units (enabled, as its
        installation leaves them) and what it depends on."""
        (self.folder / "files" / name).write_text(
            "".join(f"/lib/systemd/system/{unit}\n/usr/share/doc/{name}\n" for unit in units))
        if depends:
            (self.folder / "depends" / name).write_text("".join(d + "\n" for d in depends))
        for unit in units:
            if enabled:
                for answer in ("enabled", "active"):
                    with open(self.folder / answer, "a") as out:
                        out.write(unit + "\n")
                link = self.root / "etc/systemd/system/multi-user.target.wants" / unit
                link.symlink_to(f"/lib/systemd/system/{unit}")

    def links(self):
        return sorted(p.name for p in self.root.glob("etc/systemd/system/*.wants/*"))

    def log(self):
        return (self.folder / "log").read_text().splitlines()

    def env(self, uid=0):
        return dict(os.environ, PATH=f"{self.folder / 'bin'}:/usr/bin:/bin", FAKE=str(self.folder),
                    FAKE_UID=str(uid), PELLORY_SYSTEM_ROOT=str(self.root))


def everything_but(source, *missing):
    return [p for p in listed(source, "test") if p not in missing]


@pytest.mark.parametrize("systemd", [True, False], ids=["systemd", "no-systemd"])
def test_a_service_the_installer_brought_is_stopped_and_one_from_before_is_kept(
        source, tmp_path, systemd):
    # nginx-core comes with nginx-common, whose service its installation
    # enabled and started; postgresql-common was there before, with its own.
    machine = Machine(tmp_path, everything_but(source, "nginx-core", "socat") +
                      ["postgresql-common"], systemd)
    machine.package("postgresql-common", ["postgresql.service"])
    machine.package("nginx-core", depends=["nginx-common"])
    machine.package("nginx-common", ["nginx.service"])
    machine.package("socat")
    done = run(source, "test", env=machine.env())
    assert done.returncode == 0, done.stderr
    assert "apt-get install -y --no-install-recommends nginx-core socat" in machine.log()
    said = [line for line in done.stdout.splitlines() if line.startswith("Disabled and stopped")]
    assert len(said) == 1 and said[0].endswith(": nginx.service"), done.stdout
    changes = [line for line in machine.log() if line.startswith("systemctl disable")]
    if systemd:
        assert changes == ["systemctl disable --now nginx.service"]
    else:
        assert changes == []
    assert machine.links() == (["nginx.service", "postgresql.service"] if systemd
                               else ["postgresql.service"])


@pytest.mark.parametrize("systemd", [True, False], ids=["systemd", "no-systemd"])
def test_a_service_installed_before_is_never_touched(source, tmp_path, systemd):
    # The developer runs nginx: nginx-common was installed, nginx-core not.
    machine = Machine(tmp_path, everything_but(source, "nginx-core") + ["nginx-common"], systemd)
    machine.package("nginx-core", depends=["nginx-common"])
    machine.package("nginx-common", ["nginx.service"])
    done = run(source, "test", env=machine.env())
    assert done.returncode == 0, done.stderr
    assert "Disabled" not in done.stdout
    assert not [line for line in machine.log() if line.startswith("systemctl")]
    assert machine.links() == ["nginx.service"]


@pytest.mark.parametrize("target, missing, server_hint", [
    # The demo's own missing packages, not the test's it also lacks.
    ("demo", ["qemu-system-x86"], False),
    ("test", ["clang", "dpkg-dev", "nginx-core", "qemu-system-x86"], True),
    ("deb", ["dpkg-dev"], False),
])
def test_a_user_who_is_not_root_is_told_exactly_what_the_target_lacks(
        source, tmp_path, target, missing, server_hint):
    lacking = {"qemu-system-x86", "clang", "nginx-core", "dpkg-dev"}
    machine = Machine(tmp_path, everything_but(source, *lacking), systemd=True)
    done = run(source, target, env=machine.env(uid=1000))
    assert done.returncode == 1
    wanted = [p for p in listed(source, target) if p in missing]
    lines = done.stderr.splitlines()
    assert lines[0] == "Missing Debian packages: " + " ".join(wanted)
    assert lines[2] == "    sudo apt-get install -y --no-install-recommends " + " ".join(wanted)
    assert ("sudo sh tools/install-packages.sh " + target in done.stderr) == server_hint
    assert machine.log() == [], "apt-get or systemctl ran for a user who is not root"


def test_nothing_missing_changes_nothing(source, tmp_path):
    machine = Machine(tmp_path, listed(source, "test"), systemd=True)
    done = run(source, "test", env=machine.env(uid=1000))
    assert (done.returncode, done.stdout, done.stderr, machine.log()) == (0, "", "", [])
