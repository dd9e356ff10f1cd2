"""The firmware tests' command-line options, as CTest passes them
(tests/ctest_options.py): the build's EFI programs, the embedded image,
the test stick, the signed copies, pelloryctl and its package, a guest's
cache and a work folder."""
from pathlib import Path

import pytest

import ctest_options

PATHS = ("efi-dir", "stick", "signed-dir", "pelloryctl", "deb", "work", "cache")


def pytest_addoption(parser):
    # The pxe scenario runs again inside the network namespace it made,
    # with --in-namespace.
    ctest_options.add(parser, PATHS + ("image",), flags=("in-namespace",))


efi_dir, stick, signed_dir, pelloryctl, deb, work, cache, in_namespace = map(
    ctest_options.fixture, PATHS + ("in-namespace",))


@pytest.fixture(scope="session")
def image(request):
    """The embedded firmware image's bytes."""
    return Path(ctest_options.given(request, "image")).read_bytes()
