"""The packaging tests' command-line options, as CTest passes them
(tests/ctest_options.py): the built program (--efi) and its link (--so),
the embedded image, the build's .sbat text, the source tree, the unsigned
program to sign, the service stick and a scratch folder."""
import shutil
from pathlib import Path

import pytest

import ctest_options

PATHS = ("efi", "so", "embedded", "sbat", "source", "unsigned", "stick")


def pytest_addoption(parser):
    ctest_options.add(parser, PATHS + ("scratch",))


efi, so, embedded, sbat, source, unsigned, stick = map(ctest_options.fixture, PATHS)


@pytest.fixture(scope="session")
def scratch_root(request):
    """The scratch folder as CTest named it, for the tests' folders in it."""
    return Path(ctest_options.given(request, "scratch"))


@pytest.fixture
def scratch(scratch_root):
    """The scratch folder, made empty for one test and removed after it."""
    shutil.rmtree(scratch_root, ignore_errors=True)
    scratch_root.mkdir(parents=True)
    yield scratch_root
    shutil.rmtree(scratch_root, ignore_errors=True)
