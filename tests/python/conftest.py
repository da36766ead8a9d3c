import inspect

import pytest


@pytest.fixture
def db_path(tmp_path):
    """A directory path for a database that does not exist yet."""
    return str(tmp_path / "db")


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
