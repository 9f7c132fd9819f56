import pytest

from clib import flush_c_stdio


@pytest.fixture
def cio(capfd):
    """Reads what C code wrote to standard output and standard error so far."""
    def read():
        flush_c_stdio()
        return capfd.readouterr()
    read()
    return read
