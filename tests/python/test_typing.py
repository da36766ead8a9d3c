"""The installed type information: mypy --strict accepts a program that uses the whole API and
rejects a wrong call, and stubtest finds the stubs faithful to the modules as imported."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

import qorel

EXAMPLES = pathlib.Path(__file__).resolve().parent / "typing_examples"


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    # One cache for the module's runs: the first one reads NumPy's stubs, the others reuse them.
    return tmp_path_factory.mktemp("mypy_cache")


def run_tool(args, cwd):
    # Run from an empty directory, so that the installed package is what gets checked and no
    # configuration file of the checkout changes the rules.
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd, capture_output=True, text=True, timeout=600,
    )


def mypy_strict(source, tmp_path, cache, *extra):
    result = run_tool(["mypy", "--strict", "--config-file", str(tmp_path / "none.ini"),
                       "--cache-dir", str(cache), *extra, str(source)], tmp_path)
    return result.returncode, result.stdout + result.stderr


@pytest.fixture
def empty_config(tmp_path):
    (tmp_path / "none.ini").write_text("[mypy]\n")
    return tmp_path


def test_typed_program_checks_cleanly_and_runs(empty_config, mypy_cache):
    source = EXAMPLES / "typed_usage.py"
    rc, out = mypy_strict(source, empty_config, mypy_cache)
    assert rc == 0, out
    assert "Success: no issues found" in out

    # The same program runs, so the types it was checked against are the ones it gets.
    found = importlib.util.spec_from_file_location("typed_usage", source)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    lines = module.run(str(empty_config / "db"))
    assert lines[0] == qorel.__version__
    assert lines[-3] == "True 1 1 3 ['a', 'd', 'e']"
    assert lines[-2].split() == ["True", "False", "3", "3", "euclidean", "3", "0", "3", "True"]
    assert lines[-1] == "3"


def test_package_checks_strictly(empty_config, mypy_cache):
    # The package as imported: the cluster client, the LangChain store and the salvage tool.
    # By name, so that mypy finds it where it is installed; a path into site-packages would
    # make site-packages a source root, whose other modules then shadow mypy's own.
    rc, out = mypy_strict("qorel", empty_config, mypy_cache, "-p")
    assert rc == 0, out


def test_wrong_argument_type_is_reported(empty_config, mypy_cache):
    rc, out = mypy_strict(EXAMPLES / "type_error.py", empty_config, mypy_cache)
    assert rc == 1, out
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert len(errors) == 1, out
    assert 'type_error.py:8: error: Argument "k" to "search" of "Database"' in errors[0]
    assert errors[0].endswith("[arg-type]")


# What the binding library itself puts on every class: its own metaclass, and a generic __new__
# and __init__ in place of object's. They change nothing about how the classes are used.
BINDING_ARTEFACTS = [
    r"_qorel\.(Database|SearchResult) is inconsistent, metaclass differs",
    r"_qorel\.Database\.__new__ is inconsistent, stub does not have parameter \"\w+\"",
    r"_qorel\.SearchResult\.__init__ is inconsistent, stub does not have \*args parameter \"args\"",
]


def test_stubs_match_the_imported_modules(empty_config):
    result = run_tool(["mypy.stubtest", "_qorel", "qorel", "--concise", "--ignore-disjoint-bases",
                       "--mypy-config-file", str(empty_config / "none.ini")], empty_config)
    out = result.stdout + result.stderr
    assert "error: not checking stubs due to mypy build errors" not in out, out
    problems = [line for line in result.stdout.splitlines()
                if line.startswith("_qorel") or line.startswith("qorel")]
    real = [p for p in problems if not any(re.fullmatch(a, p) for a in BINDING_ARTEFACTS)]
    assert real == [], out
    # Either only the artefacts were found, or nothing at all.
    assert problems or "Success: no issues found" in out, out
