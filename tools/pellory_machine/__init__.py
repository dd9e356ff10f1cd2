"""The QEMU machinery of the real-firmware tests, the demo and the bench.

machine: a machine built from parts (firmware and its variable store, a
volume, a stick, a network card) and its boot; serial: the console as it
arrives and the keys sent on it; console: the console as text; ovmf_vars:
the variable store as a file; volume and stick: the FAT volume and the
service stick's disk image the machine boots."""
