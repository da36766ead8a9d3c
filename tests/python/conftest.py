import inspect
import pathlib

import pytest


@pytest.fixture
def db_path(tmp_path):
    """A directory path for a database that does not exist yet."""
    return str(tmp_path / "db")


@pytest.fixture
def record_id_twice(db_path):
    """Damages the saved graph of the database at db_path: the one record of id `dropped` is
    made to name `kept` as well, so that two records carry the same id."""

    def damage(dropped, kept):
        graph = pathlib.Path(db_path, "graph.qorel")
        data = graph.read_bytes()
        assert data.count(dropped.encode()) == 1
        graph.write_bytes(data.replace(dropped.encode(), kept.encode()))

    return damage


@pytest.hookimpl(wrapper=True, trylast=True)
def pytest_pycollect_makeitem(collector, name, obj):
    # Coroutine tests (LangChain's conformance suite has async ones) run on an event loop.
    # Marked here, inside the asyncio plugin's own collection step, so that it picks them up.
    collected = yield
    if inspect.iscoroutinefunction(obj):
        for item in collected if isinstance(collected, list) else [collected]:
            if isinstance(item, pytest.Function):
                item.add_marker(pytest.mark.asyncio)
    return collected
