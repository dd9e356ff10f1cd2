"""The variables an OS leaves for a scheduled run, written straight into a
machine's fresh variable store before QEMU starts: the simulator as a
driver the firmware loads at every boot, the "Pellory firmware update" boot
entry (never in BootOrder), the shell as the one boot option, BootNext and
the request.

The device paths are those OVMF itself builds on the test machine (read
from a store after a boot): the first SATA disk of q35 with the test
volume on it (a FAT volume with no partition table), the virtio NIC in the
slot the machine fixes, the shell in OVMF's DXE volume.
"""
import struct
import uuid

from pellory_machine import ovmf_vars
from pellory_machine.machine import NIC_MAC, NIC_SLOT

UPDATE_ENTRY = 0x0100
SHELL_ENTRY = 0x0101
SIMULATOR_DRIVER = 0x0000
UPDATE_DESCRIPTION = "Pellory firmware update"
PROGRAM_PATH = "\\EFI\\Pellory\\pellory.efi"
SIMULATOR_PATH = "\\convsim.efi"

_FV_DXE = uuid.UUID("7cb8bdc9-f8eb-4f34-aaea-3ee4af6516a1")
_SHELL_FILE = uuid.UUID("7c04a583-9e3e-4f1c-ad65-e05268d0b4d1")


def _node(kind, subtype, body):
    return struct.pack("<BBH", kind, subtype, 4 + len(body)) + body


def _pci_root():
    return _node(2, 1, struct.pack("<II", 0x0A0341D0, 0))    # ACPI PNP0A03, UID 0


def _pci(device, function=0):
    return _node(1, 1, bytes([function, device]))


volume_file = ovmf_vars.first_disk_file


def _nic_ipv4():
    """PciRoot(0x0)/Pci(0x3,0x0)/MAC(525400123456,0x1)/IPv4(0.0.0.0,...,DHCP,...):
    the machine's NIC, its address from DHCP."""
    mac = bytes.fromhex(NIC_MAC.replace(":", ""))
    return (_pci_root() + _pci(NIC_SLOT) +
            _node(3, 11, mac + bytes(32 - len(mac)) + b"\x01") + _node(3, 12, bytes(23)))


def network_boot():
    """OVMF's PXE over IPv4 on the machine's NIC."""
    return _nic_ipv4() + ovmf_vars.END_NODE


def http_boot(uri):
    """The NIC's IPv4 path ending in Uri(`uri`): OVMF's HTTP boot of that
    address, as a boot option a line's boot server hands out."""
    return _nic_ipv4() + _node(3, 24, uri.encode("ascii")) + ovmf_vars.END_NODE


def shell():
    return _node(4, 7, _FV_DXE.bytes_le) + _node(4, 6, _SHELL_FILE.bytes_le) + ovmf_vars.END_NODE


def request(request_id, after):
    return b"format=1\nid=%s\nafter=%s\n" % (request_id.encode("ascii"), after.encode("ascii"))


def driver_store(path, drivers=()):
    """Adds to the fresh store at `path` the simulator and then `drivers`
    ((number, description, volume path) each) as drivers the firmware loads
    at every boot, in that order, and the shell as the one boot option."""
    store = ovmf_vars.VarStore.load(path)
    glob, nv = ovmf_vars.GLOBAL_GUID, ovmf_vars.NV_BS_RT
    loaded = ((SIMULATOR_DRIVER, "Converter simulator", SIMULATOR_PATH), *drivers)
    for number, description, file in loaded:
        store.add("Driver%04X" % number, glob, nv, ovmf_vars.load_option(description, volume_file(file)))
    store.add("DriverOrder", glob, nv, ovmf_vars.option_list(*(number for number, _, _ in loaded)))
    store.add("Boot%04X" % SHELL_ENTRY, glob, nv, ovmf_vars.load_option("Test shell", shell()))
    store.add("BootOrder", glob, nv, ovmf_vars.option_list(SHELL_ENTRY))
    store.save(path)
    return store


def scheduled_store(path, program, request_bytes):
    """Adds to the fresh store at `path` what an OS leaves for the next
    boot: `program` is the update entry's device path."""
    store = driver_store(path)
    glob, nv = ovmf_vars.GLOBAL_GUID, ovmf_vars.NV_BS_RT
    store.add("Boot%04X" % UPDATE_ENTRY, glob, nv,
              ovmf_vars.load_option(UPDATE_DESCRIPTION, program))
    store.add("BootNext", glob, nv, ovmf_vars.option_list(UPDATE_ENTRY))
    if request_bytes is not None:
        store.add("PelloryRequest", ovmf_vars.PELLORY_GUID, nv, request_bytes)
    store.save(path)
    return store
