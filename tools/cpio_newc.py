"""An initramfs archive in the kernel's "newc" cpio format, written without
root and without a cpio tool: every entry is owned by root, dated 0 and
comes out in name order, so the same entries always give the same bytes.
Parent directories are added as needed; naming one path twice is allowed
only with the same entry (two programs share libc). Standard library only."""

import stat

_MAGIC = b"070701"
_TRAILER = "TRAILER!!!"


def _pad(length):
    return b"\0" * (-length % 4)


def _entry(number, name, mode, data=b"", rdev=(0, 0)):
    fields = (number, mode, 0, 0, 2 if stat.S_ISDIR(mode) else 1, 0, len(data),
              0, 0, rdev[0], rdev[1], len(name) + 1, 0)
    header = _MAGIC + b"".join(b"%08X" % value for value in fields)
    raw_name = name.encode() + b"\0"
    return header + raw_name + _pad(len(header) + len(raw_name)) + data + _pad(len(data))


class Archive:
    def __init__(self):
        self._entries = {}   # name -> (mode, data, rdev)

    def _add(self, name, mode, data=b"", rdev=(0, 0)):
        name = name.strip("/")
        if not name or ".." in name.split("/"):
            raise ValueError(f"bad name in the archive: {name!r}")
        parent = name.rpartition("/")[0]
        if parent:
            self.directory(parent)
        entry = (mode, bytes(data), rdev)
        earlier = self._entries.get(name)
        if earlier is not None and earlier != entry:
            raise ValueError(f"{name} added twice with different content")
        self._entries[name] = entry

    def directory(self, name):
        self._add(name, stat.S_IFDIR | 0o755)

    def file(self, name, data, mode=0o644):
        self._add(name, stat.S_IFREG | mode, data)

    def symlink(self, name, target):
        self._add(name, stat.S_IFLNK | 0o777, target.encode())

    def device(self, name, major, minor):
        self._add(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def finish(self):
        """The archive's bytes, trailer included."""
        out = bytearray()
        for number, name in enumerate(sorted(self._entries), start=1):
            mode, data, rdev = self._entries[name]
            out += _entry(number, name, mode, data, rdev)
        out += _entry(0, _TRAILER, 0)
        return bytes(out)
