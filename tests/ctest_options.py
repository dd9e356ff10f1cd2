"""The options CTest gives the pytest tests, taken one way in every folder
(tests/firmware, tests/packaging): a folder's conftest names its options,
and each becomes a fixture of the option's own name (`--efi-dir` is
`efi_dir`) whose value is the text CTest gave; a test that asks for one
CTest did not give fails and names it. A fixture that makes something of
an option (its file's bytes, an emptied folder) reads it with `given`."""
import pytest


def add(parser, names, flags=()):
    """The options `names`, each with a value, and the `flags`, each
    false unless given."""
    for name in names:
        parser.addoption("--" + name)
    for name in flags:
        parser.addoption("--" + name, action="store_true")


def given(request, name):
    """The option's value; the test fails when CTest did not give it."""
    value = request.config.getoption(name.replace("-", "_"))
    if value is None:
        pytest.fail(f"this test needs --{name}", pytrace=False)
    return value


def fixture(name):
    """The fixture of the option `name`, as its value."""
    @pytest.fixture(name=name.replace("-", "_"), scope="session")
    def value(request):
        return given(request, name)
    return value
