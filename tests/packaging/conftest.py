"""The packaging tests' command-line options, as CTest passes them: the
built program (--efi) and its link (--so), the embedded image, the
build's .sbat text, the source tree, the unsigned program to sign and a
scratch folder."""
import shutil
from pathlib import Path

import pytest

OPTIONS = ("efi", "so", "embedded", "sbat", "source", "unsigned", "scratch")


def pytest_addoption(parser):
    for name in OPTIONS:
        parser.addoption("--" + name)


@pytest.fixture(scope="module")
def option(request):
    """An option's value; the test fails when CTest did not give it."""
    def given(name):
        value = request.config.getoption(name)
        if value is None:
            pytest.fail(f"this test needs --{name}", pytrace=False)
        return value
    return given


@pytest.fixture
def scratch(option):
    """The scratch folder, made empty for one test and removed after it."""
    folder = Path(option("scratch"))
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)
