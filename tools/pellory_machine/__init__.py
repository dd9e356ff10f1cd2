"""The QEMU machinery of the real-firmware tests, the demo and the bench.

machine: a machine built from parts (firmware and its variable store, a
volume, a stick, a system disk, a kernel, a network card) and its boot;
linux: the Linux test guests' machine, a system disk and the steps each of
its boots runs (guest-step.sh, the guests' side); serial: the console as
it arrives and the keys sent on it; console: the console as text;
ovmf_vars: the variable store as a file; volume and stick: the FAT volume
and the service stick's disk image the machine boots."""
