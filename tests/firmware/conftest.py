"""The firmware tests' command-line options, as CTest passes them: the
build's EFI programs, the embedded image, the test stick, the signed
copies, pelloryctl and its package, a guest's cache and a work folder."""
from pathlib import Path
from types import SimpleNamespace

import pytest

OPTIONS = ("efi-dir", "image", "stick", "signed-dir", "pelloryctl", "deb", "work", "cache")


def pytest_addoption(parser):
    for name in OPTIONS:
        parser.addoption("--" + name)
    # The pxe scenario runs again inside the network namespace it made.
    parser.addoption("--in-namespace", action="store_true")


def _option(request, name):
    value = request.config.getoption(name.replace("-", "_"))
    if value is None:
        pytest.fail("this test needs --" + name, pytrace=False)
    return value


def _given(name):
    """The fixture of the option `name`, as its value."""
    @pytest.fixture(name=name.replace("-", "_"))
    def value(request):
        return _option(request, name)
    return value


efi_dir, stick, signed_dir, pelloryctl, work = map(
    _given, ("efi-dir", "stick", "signed-dir", "pelloryctl", "work"))


@pytest.fixture
def image(request):
    """The embedded firmware image's bytes."""
    return Path(_option(request, "image")).read_bytes()


@pytest.fixture
def options(request):
    """Every option as given (None when not), for the Linux round trips
    that pass them on as one."""
    names = [name.replace("-", "_") for name in OPTIONS]
    return SimpleNamespace(**{name: request.config.getoption(name) for name in names})
