"""OVMF's variable store, read and written as a file: the firmware volume
that QEMU maps as the second pflash (OVMF_VARS_4M.fd), before QEMU starts
or after it exited.

The volume holds a firmware volume header, then a variable store of
authenticated-variable headers, each followed by its UCS-2 name and its
data; a header starts on a 4-byte boundary, the first one that does not
begin with 0x55AA ends the store. The firmware never rewrites a variable in
place: it marks the old copy "in deleted transition", adds the new copy,
then marks the old one deleted. So a variable is the copy marked added, or
a copy in deleted transition when no added copy follows (an update cut
short). Only the Python standard library is used.

    from pellory_machine import ovmf_vars
    store = ovmf_vars.VarStore.load("vars.fd")
    store.get("PelloryResult", ovmf_vars.PELLORY_GUID)   # (attributes, data) or None
    store.add("BootNext", ovmf_vars.GLOBAL_GUID, ovmf_vars.NV_BS_RT, b"\\x00\\x01")
    store.save("vars.fd")

Also a program: `python3 -m pellory_machine.ovmf_vars VARS.fd` lists the variables it holds.
"""

import re
import struct
import sys
import uuid
from pathlib import Path

GLOBAL_GUID = uuid.UUID("8be4df61-93ca-11d2-aa0d-00e098032b8c")
# db and dbx; shim's MokList and its mirrors.
IMAGE_SECURITY_GUID = uuid.UUID("d719b2cb-3d3a-4596-a3bc-dad00e67656f")
SHIM_GUID = uuid.UUID("605dab50-e046-4300-abb6-3dd810dd8b23")
CERT_X509 = uuid.UUID("a5c059a1-94e4-4aa7-87b5-ab155c2bf072")
CERT_SHA256 = uuid.UUID("c1c41626-504c-4092-aca9-41f936934328")


def _contract_guid():
    """Pellory's vendor GUID, read from the one place both sides take it."""
    text = (Path(__file__).resolve().parents[2] / "contract" / "contract.h").read_text()
    found = re.search(r"kVendorGuid = \{\s*0x([0-9a-f]+),\s*0x([0-9a-f]+),\s*0x([0-9a-f]+),\s*\{([^}]*)\}", text)
    data4 = [int(b, 16) for b in re.findall(r"0x([0-9a-f]+)", found.group(4))]
    return uuid.UUID(fields=(int(found.group(1), 16), int(found.group(2), 16), int(found.group(3), 16),
                             data4[0], data4[1], int.from_bytes(bytes(data4[2:]), "big")))


PELLORY_GUID = _contract_guid()
NV_BS_RT = 7   # NON_VOLATILE | BOOTSERVICE_ACCESS | RUNTIME_ACCESS
# What shim's enrollment leaves MokList with: boot-service access only (a
# MokList that the OS could reach at runtime shim deletes at its start:
# "Variable MokList has incorrect attribute").
NV_BS = 3

_FV_SIGNATURE = b"_FVH"
_AUTH_STORE_GUID = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792")
_STORE_HEADER = struct.Struct("<16sIBB6x")           # 28 bytes
_FORMATTED, _HEALTHY = 0x5A, 0xFE
# StartId, State, Reserved, Attributes, MonotonicCount, TimeStamp,
# PubKeyIndex, NameSize, DataSize, VendorGuid: 60 bytes.
_VAR_HEADER = struct.Struct("<HBBIQ16sIII16s")
_START_ID = 0x55AA
_ADDED = 0x3F
_IN_DELETED_TRANSITION = 0x3E   # added, then marked on its way out
_DELETED = 0x3D
_HEADER_ALIGN = 4


class StoreError(ValueError):
    pass


class VarStore:
    """The variable store inside one vars file's bytes."""

    def __init__(self, image):
        self.image = bytearray(image)
        self.start, self.end = _store_bounds(self.image)

    @classmethod
    def load(cls, path):
        return cls(Path(path).read_bytes())

    def save(self, path):
        Path(path).write_bytes(bytes(self.image))

    def _entries(self):
        """(state, attributes, name, guid, data, next header's offset) of
        every variable header, in store order."""
        at = _align(self.start + _STORE_HEADER.size)
        while at + _VAR_HEADER.size <= self.end:
            (start_id, state, _, attributes, _, _, _, name_size, data_size,
             guid) = _VAR_HEADER.unpack_from(self.image, at)
            if start_id != _START_ID:
                return
            name_at = at + _VAR_HEADER.size
            data_at = name_at + name_size
            if data_at + data_size > self.end or name_size % 2:
                raise StoreError("variable at 0x%x runs past the store" % at)
            name = self.image[name_at:data_at].decode("utf-16-le").rstrip("\0")
            at = _align(data_at + data_size)
            yield (state, attributes, name, uuid.UUID(bytes_le=bytes(guid)),
                   bytes(self.image[data_at:data_at + data_size]), at)

    def variables(self):
        """{(name, guid): (attributes, data)} of the live variables."""
        live, leaving = {}, {}
        for state, attributes, name, guid, data, _ in self._entries():
            if state == _ADDED:
                live[(name, guid)] = (attributes, data)
            elif state == _IN_DELETED_TRANSITION:
                leaving[(name, guid)] = (attributes, data)
        for key, value in leaving.items():
            live.setdefault(key, value)
        return live

    def get(self, name, guid=GLOBAL_GUID):
        return self.variables().get((name, guid))

    def add(self, name, guid, attributes, data):
        """Append one variable (a name not in the store yet), as the
        firmware itself would: an added, non-authenticated copy."""
        if (name, guid) in self.variables():
            raise StoreError("%s is in the store already" % name)
        self._append(name, guid, attributes, data, _ADDED)

    def set(self, name, guid, attributes, data):
        """Adds the variable, or replaces it the way the firmware does: the
        old copy marked deleted, the new one appended."""
        at = _align(self.start + _STORE_HEADER.size)
        for state, _, entry_name, entry_guid, _, next_at in self._entries():
            live = state in (_ADDED, _IN_DELETED_TRANSITION)
            if live and (entry_name, entry_guid) == (name, guid):
                self.image[at + 2] = state & _DELETED
            at = next_at
        self._append(name, guid, attributes, data, _ADDED)

    def _append(self, name, guid, attributes, data, state):
        at = _align(self.start + _STORE_HEADER.size)
        for *_, next_at in self._entries():
            at = next_at
        encoded = (name + "\0").encode("utf-16-le")
        header = _VAR_HEADER.pack(_START_ID, state, 0, attributes, 0, bytes(16), 0,
                                  len(encoded), len(data), guid.bytes_le)
        record = header + encoded + bytes(data)
        if at + len(record) > self.end:
            raise StoreError("no room for %s" % name)
        self.image[at:at + len(record)] = record


def signature_list(kind, values, owner=SHIM_GUID):
    """One EFI_SIGNATURE_LIST of `kind` (CERT_X509: DER certificates of
    one length each, so usually one; CERT_SHA256: 32-byte digests)."""
    size = 16 + len(values[0])
    if any(len(v) + 16 != size for v in values):
        raise StoreError("the entries of one signature list have one size")
    body = b"".join(owner.bytes_le + bytes(v) for v in values)
    return kind.bytes_le + struct.pack("<III", 28 + len(body), 0, size) + body


def add_signatures(store, name, guid, lists, attributes):
    """Appends signature lists to db, dbx or MokList (made when absent),
    as written straight into the store: the firmware checks the signature
    of an authenticated write when it is made, never when it reads its
    store, so no signed update is needed here."""
    old = store.get(name, guid)
    store.set(name, guid, old[0] if old else attributes, (old[1] if old else b"") + b"".join(lists))


def _align(offset):
    return (offset + _HEADER_ALIGN - 1) & ~(_HEADER_ALIGN - 1)


def _store_bounds(image):
    """(start, end) of the variable store after the volume header."""
    if len(image) < 0x48 or image[40:44] != _FV_SIGNATURE:
        raise StoreError("not a firmware volume")
    header_length = struct.unpack_from("<H", image, 48)[0]
    guid, size, formatted, healthy = _STORE_HEADER.unpack_from(image, header_length)
    if uuid.UUID(bytes_le=guid) != _AUTH_STORE_GUID:
        raise StoreError("no authenticated variable store after the volume header")
    if formatted != _FORMATTED or healthy != _HEALTHY:
        raise StoreError("the variable store is not formatted and healthy")
    end = header_length + size
    if end > len(image):
        raise StoreError("the variable store runs past the file")
    return header_length, end


# ------------------------------------------------------ load options and paths

def _node(kind, subtype, body):
    return struct.pack("<BBH", kind, subtype, 4 + len(body)) + body


END_NODE = _node(0x7F, 0xFF, b"")


def file_path(path):
    """A short-form device path: one file-path node (backslashes, from a
    volume's root), which the boot manager matches against every volume."""
    return _node(4, 4, (path + "\0").encode("utf-16-le")) + END_NODE


def partition_path(number, first_lba, sectors, partition_guid, path):
    """A device path as a boot entry made by an OS holds: the GPT
    partition (its number, place and unique GUID), then the file."""
    body = struct.pack("<IQQ16sBB", number, first_lba, sectors,
                       uuid.UUID(str(partition_guid)).bytes_le, 2, 2)   # GPT, GUID signature
    return _node(4, 1, body) + file_path(path)


def first_disk_file(path):
    """PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0)/path: a file of the
    volume a machine attaches as its first disk (a FAT volume with no
    partition table), as OVMF itself names it on q35."""
    pci_root = _node(2, 1, struct.pack("<II", 0x0A0341D0, 0))    # ACPI PNP0A03, UID 0
    sata_controller = _node(1, 1, bytes([2, 0x1F]))             # function 2, device 0x1F
    sata = _node(3, 18, struct.pack("<HHH", 0, 0xFFFF, 0))
    return pci_root + sata_controller + sata + file_path(path)


def load_option(description, path, attributes=1, optional=b""):
    """An EFI_LOAD_OPTION (Boot#### or Driver####); attributes 1 is active."""
    return (struct.pack("<IH", attributes, len(path)) +
            (description + "\0").encode("utf-16-le") + path + optional)


def parse_load_option(data):
    """(attributes, description, device path bytes, optional data)."""
    attributes, path_length = struct.unpack_from("<IH", data)
    end = 6
    while data[end:end + 2] != b"\0\0":
        end += 2
    description = data[6:end].decode("utf-16-le")
    path_at = end + 2
    return (attributes, description, data[path_at:path_at + path_length],
            data[path_at + path_length:])


def option_list(*numbers):
    """BootOrder / DriverOrder / BootNext: little-endian 16-bit numbers."""
    return struct.pack("<%dH" % len(numbers), *numbers)


def parse_list(data):
    return list(struct.unpack("<%dH" % (len(data) // 2), data))


def main(argv):
    store = VarStore.load(argv[1])
    for (name, guid), (attributes, data) in sorted(store.variables().items()):
        shown = data.hex(" ") if len(data) <= 96 else data[:96].hex(" ") + " ..."
        print("%s-%s attr=%d %d bytes: %s" % (name, guid, attributes, len(data), shown))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
