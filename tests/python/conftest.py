import pytest


@pytest.fixture
def db_path(tmp_path):
    """A directory path for a database that does not exist yet."""
    return str(tmp_path / "db")
