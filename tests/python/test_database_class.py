"""The Database class itself: construction, argument rules, errors and protocol slots."""

import os
import pathlib

import numpy as np
import pytest

import _qorel
import qorel

NOT_FOUND = "database not found \u2014 specify dim to create a new one"
BAD_METRIC = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"


def test_package_reexports_the_module():
    assert qorel.Database is _qorel.Database
    assert isinstance(qorel.__version__, str)
    assert len(NOT_FOUND.encode("utf-8")) == 54


def test_create_in_memory_writes_only_the_directory(db_path):
    db = _qorel.Database(db_path, dim=3)
    assert db.dim == 3
    assert db.metric == "cosine"
    assert len(db) == 0
    assert "a" not in db
    assert os.path.isdir(db_path)
    # Nothing but the lock file that claims the directory for this process.
    assert os.listdir(db_path) == ["qorel.lock"]
    # Nested parents are created too.
    nested = os.path.join(db_path, "x", "y")
    _qorel.Database(nested, 2)
    assert os.path.isdir(nested)


def test_opening_without_dim_needs_data_files(db_path):
    with pytest.raises(ValueError) as e:
        _qorel.Database(db_path)
    assert str(e.value) == NOT_FOUND
    _qorel.Database(db_path, dim=4)
    # Creating wrote nothing, so a later open without a dimension still finds nothing.
    with pytest.raises(ValueError, match=NOT_FOUND):
        _qorel.Database(db_path)
    # A graph file without a vectors file is what is left of a stored database: no new one is
    # created over it.
    pathlib.Path(db_path, "graph.qorel").write_bytes(b"junk")
    with pytest.raises(ValueError, match="vectors.bin"):
        _qorel.Database(db_path, dim=4)


@pytest.mark.parametrize(
    "name, expected",
    [(None, "cosine"), ("cosine", "cosine"), ("euclidean", "euclidean"), ("l2", "euclidean"),
     ("dot", "dot_product"), ("dot_product", "dot_product")],
)
def test_metric_names(db_path, name, expected):
    assert _qorel.Database(db_path, dim=2, metric=name).metric == expected


@pytest.mark.parametrize("name", ["L2", "Cosine", " cosine", "cosine ", "manhattan", ""])
def test_metric_names_are_byte_exact(db_path, name):
    with pytest.raises(ValueError) as e:
        _qorel.Database(db_path, dim=2, metric=name)
    assert str(e.value) == BAD_METRIC


def test_arguments_positional_or_keyword(db_path):
    db = _qorel.Database(db_path, 5, "l2", 8, 50, False)
    assert (db.dim, db.metric) == (5, "euclidean")
    # Other directories: a directory that is open keeps the configuration it was opened with.
    db = _qorel.Database(path=db_path + "-kw", dim=6, metric="dot", m=4, ef_construction=10, quantize=True)
    assert (db.dim, db.metric) == (6, "dot_product")
    assert _qorel.Database(db_path + "-np", dim=np.int64(3), quantize=np.bool_(True)).dim == 3


@pytest.mark.parametrize(
    "kwargs, exc, argname",
    [
        (dict(dim=-1), OverflowError, "dim"),
        (dict(dim=2**64), OverflowError, "dim"),
        (dict(dim="3"), TypeError, "dim"),
        (dict(dim=3.0), TypeError, "dim"),
        (dict(dim=3, quantize=None), TypeError, "quantize"),
        (dict(dim=3, quantize=1), TypeError, "quantize"),
        (dict(dim=3, m=-2), OverflowError, "m"),
        (dict(dim=3, ef_construction="x"), TypeError, "ef_construction"),
        (dict(dim=3, metric=3), TypeError, "metric"),
    ],
)
def test_argument_conversion_errors_name_the_argument(db_path, kwargs, exc, argname):
    with pytest.raises(exc) as e:
        _qorel.Database(db_path, **kwargs)
    assert f"argument '{argname}'" in str(e.value)


def test_path_must_be_str(tmp_path):
    with pytest.raises(TypeError, match="argument 'path'"):
        _qorel.Database(tmp_path / "db", dim=3)
    with pytest.raises(TypeError, match="argument 'path'"):
        _qorel.Database(str(tmp_path / "db").encode(), dim=3)


def test_conversion_happens_before_anything_else(tmp_path):
    # A bad later argument fails before the directory is created.
    path = str(tmp_path / "never")
    with pytest.raises(TypeError):
        _qorel.Database(path, dim=3, quantize=None)
    assert not os.path.exists(path)
    # Without a dimension the metric is only type-checked, never examined.
    with pytest.raises(ValueError, match=NOT_FOUND):
        _qorel.Database(path, metric="L2")
    with pytest.raises(TypeError, match="argument 'quantize'"):
        _qorel.Database(path, quantize=None)


def test_call_shape_errors(db_path):
    with pytest.raises(TypeError):
        _qorel.Database()
    with pytest.raises(TypeError):
        _qorel.Database(db_path, 3, None, None, None, False, "extra")
    with pytest.raises(TypeError):
        _qorel.Database(db_path, dim=3, colour="red")
    with pytest.raises(TypeError):
        _qorel.Database(db_path, 3, dim=3)


@pytest.mark.parametrize("kwargs, text", [(dict(dim=0), "dim"), (dict(dim=4, m=1), "m"), (dict(dim=4, m=0), "m")])
def test_degenerate_configurations_are_refused(db_path, kwargs, text):
    with pytest.raises(ValueError, match=text):
        _qorel.Database(db_path, **kwargs)


def test_membership_needs_a_str(db_path):
    db = _qorel.Database(db_path, dim=3)
    with pytest.raises(TypeError, match="argument 'id'"):
        1 in db
    assert ("x" in db) is False


def test_class_text_signature():
    assert _qorel.Database.__text_signature__ == (
        "(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False, checkpoint=1.0, read_only=False)"
    )
