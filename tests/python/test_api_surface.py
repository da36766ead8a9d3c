"""What Python shows of the classes: method order, doc texts, signatures, properties, and the
type stub against the real module."""

import ast
import inspect
import math
import pathlib
import pickle
import pydoc

import pytest

import _qorel

Database = _qorel.Database

# The binding's one table of signatures and docs: (name, parameters after self, doc text or
# None) per method in the class's method order, and the doc text of each property. What Python
# shows is checked against it here, and so are the type stub, the README and the cluster client.
TABLE, PROPERTIES = _qorel._api
SHOWN = {"__init__", "__len__", "__contains__"}  # shown, but not as ordinary methods
METHODS = [entry for entry in TABLE if entry[0] not in SHOWN]
CONSTRUCTOR = "(" + dict((n, p) for n, p, _ in TABLE)["__init__"] + ")"
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def with_self(params):
    return f"(self, {params})" if params else "(self)"


@pytest.fixture
def db(db_path):
    return Database(db_path, dim=2)


def test_methods_in_class_order():
    shown = [n for n, v in vars(Database).items()
             if callable(getattr(Database, n)) and (not n.startswith("_") or n in ("__enter__", "__exit__"))]
    assert shown == [name for name, _, _ in METHODS]
    assert list(PROPERTIES) == [n for n, v in vars(Database).items() if isinstance(v, property)]


@pytest.mark.parametrize("name, params, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_doc_and_signature(db, name, params, doc):
    unbound, bound = getattr(Database, name), getattr(db, name)
    assert unbound.__doc__ == doc
    assert bound.__doc__ == doc
    assert unbound.__text_signature__ == with_self(params)
    assert str(inspect.signature(unbound)) == with_self(params)
    # Bound to an instance, `self` is left out as for a Python method.
    assert str(inspect.signature(bound)) == f"({params})"


def test_readme_api_table_follows_the_table():
    text = README.read_text(encoding="utf-8")
    api = text[text.index("\n## API\n"):]
    cells = [line.split("|")[1].strip() for line in api.splitlines() if line.startswith("| `")]
    properties = {c[1:-len("` (read-only)")] for c in cells if c.endswith("` (read-only)")}
    calls = {c.strip("`") for c in cells if c.endswith(")`") and not c.startswith("`len(")}
    assert properties == set(PROPERTIES)
    assert calls == {"Database" + CONSTRUCTOR} | {f"{name}({params})" for name, params, _ in METHODS
                                                  if not name.startswith("__")}


def test_cluster_client_has_the_same_signatures():
    cluster = pytest.importorskip("qorel.cluster")
    for name, _, _ in TABLE:
        single, sharded = (inspect.signature(getattr(cls, name)).parameters.values()
                           for cls in (Database, cluster.ShardedDatabase))
        # The sharded client adds keyword-only options of its own after the engine's parameters.
        single, sharded = [(p.name, p.kind, p.default) for p in single], [(p.name, p.kind, p.default) for p in sharded]
        assert sharded[:len(single)] == single, name
        assert all(kind is inspect.Parameter.KEYWORD_ONLY for _, kind, _ in sharded[len(single):]), name


def test_class_constructor_and_protocol_signatures():
    assert Database.__doc__ is None
    assert Database.__text_signature__ == CONSTRUCTOR
    assert str(inspect.signature(Database)) == CONSTRUCTOR
    assert str(inspect.signature(Database.__init__)) == "(self, " + CONSTRUCTOR[1:]
    assert str(inspect.signature(Database.__len__)) == "(self)"
    assert str(inspect.signature(Database.__contains__)) == "(self, id)"
    for name in ("__init__", "__len__", "__contains__"):
        assert vars(Database)[name].__get__(None, Database).__doc__ is None


def test_help_reads_like_the_method_table():
    text = pydoc.render_doc(Database, renderer=pydoc.plaintext)
    lines = [line.removeprefix(" |  ") for line in text.splitlines()]
    assert "Database" + CONSTRUCTOR in lines
    for name, params, doc in METHODS:
        at = lines.index(name + with_self(params))
        if doc is None:
            assert lines[at + 1] == ""
        else:
            body = doc.split("\n")
            assert lines[at + 1:at + 1 + len(body)] == ["    " + line for line in body]
    for name, doc in PROPERTIES.items():
        at = lines.index(name)
        assert lines[at + 1] == ("" if doc is None else "    " + doc)


def test_properties_are_read_only_with_their_docs(db):
    db.add("a", [1.0, 0.0])
    db.delete("a")
    before = {name: getattr(db, name) for name in PROPERTIES}
    assert before == {"quantized_search": False, "deleted_count": 1, "total_slots": 1, "dim": 2, "metric": "cosine",
                      "read_only": False, "text_index": None}
    for name, doc in PROPERTIES.items():
        prop = vars(Database)[name]
        assert prop.__doc__ == doc
        assert prop.fset is None and prop.fdel is None
        with pytest.raises(AttributeError):
            setattr(db, name, before[name])
        with pytest.raises(AttributeError):
            delattr(db, name)
    assert {name: getattr(db, name) for name in PROPERTIES} == before


def test_shown_methods_call_through_unchanged(db, db_path):
    # Through the class, by keyword, and with the engine's and the conversion's errors.
    Database.add(db, "a", [1.0, 0.0])
    db.upsert(id="b", vector=[0.0, 1.0], metadata={"k": 1})
    assert Database.__len__(db) == 2 and Database.__contains__(db, id="b")
    assert [r.id for r in db.search(vector=[0.0, 1.0], k=1)] == ["b"]
    with pytest.raises(ValueError, match="^id 'a' already exists, use upsert instead$"):
        db.add("a", [1.0, 0.0])
    with pytest.raises(TypeError, match="argument 'vector'"):
        db.add("c", "not a vector")
    with pytest.raises(TypeError):
        db.add("c")
    with pytest.raises(TypeError):
        db.count(colour="red")
    with pytest.raises(TypeError):
        Database.add()
    with pytest.raises(TypeError):
        Database.add(object(), "c", [1.0, 0.0])
    # A subclass constructs through the class's __init__ attribute.
    class Sub(Database):
        def __init__(self, path):
            super().__init__(path, dim=3)

    sub = Sub(db_path + "-sub")
    assert sub.dim == 3 and isinstance(sub, Database)
    with sub as entered:
        assert entered is sub
    assert Database(db_path + "-sub").dim == 3
    # The binding objects behind the methods cannot be made from Python.
    with pytest.raises(TypeError):
        type(vars(Database)["add"])()


def test_search_result_has_no_doc_text(db):
    db.add("a", [1.0, 0.0])
    (hit,) = db.search([1.0, 0.0], k=1)
    assert type(hit).__doc__ is None
    for name in ("id", "distance", "metadata"):
        assert vars(_qorel.SearchResult)[name].__doc__ is None


# --- the type stub against the module -------------------------------------------------------

# The stub as installed: a stub-only package beside the module, where type checkers look for it.
# A module loaded straight from a build directory (the sanitizer job's) has none beside it; the
# source tree's stub is checked then.
STUB = pathlib.Path(_qorel.__file__).resolve().parent / "_qorel-stubs" / "__init__.pyi"
if not STUB.exists():
    STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "_qorel-stubs" / "__init__.pyi"

# Members the stub leaves out on purpose: SearchResult cannot be instantiated, so its
# (refusing) constructor is not declared.
NOT_IN_STUB = {"__doc__", "__module__", "__new__", "__dict__", "__weakref__"}
NOT_IN_STUB_FOR = {"SearchResult": {"__init__"}}


def stub_classes():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_parameters(fn):
    """(name, kind, default) per parameter; names of positional-only parameters are not part
    of the call interface and are left out."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    out = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        posonly = i < len(a.posonlyargs)
        out.append((None if posonly else arg.arg,
                    "POSITIONAL_ONLY" if posonly else "POSITIONAL_OR_KEYWORD", default))
    assert a.vararg is None and a.kwarg is None
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, "KEYWORD_ONLY", inspect.Parameter.empty if default is None else ast.literal_eval(default)))
    return out


def real_parameters(fn):
    out = []
    for p in inspect.signature(fn).parameters.values():
        posonly = p.kind is inspect.Parameter.POSITIONAL_ONLY
        out.append((None if posonly else p.name, p.kind.name, p.default))
    return out


def is_property(node):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def test_stub_matches_the_module():
    classes = stub_classes()
    public = {n for n in dir(_qorel) if not n.startswith("_")}
    assert public == set(classes)
    for cls_name, node in classes.items():
        cls = getattr(_qorel, cls_name)
        declared = set()
        for fn in node.body:
            if not isinstance(fn, ast.FunctionDef):
                continue
            declared.add(fn.name)
            real = inspect.getattr_static(cls, fn.name)
            where = f"{cls_name}.{fn.name}"
            if is_property(fn):
                assert inspect.isdatadescriptor(real), where
            else:
                assert not inspect.isdatadescriptor(real), where
                assert real_parameters(getattr(cls, fn.name)) == stub_parameters(fn), where
        present = set(vars(cls)) - NOT_IN_STUB - NOT_IN_STUB_FOR.get(cls_name, set())
        assert present == declared, cls_name


def _corrupt(path):
    db = Database(path, dim=2)
    db.add("a", [1, 2])
    db.save()
    del db
    graph = pathlib.Path(path, "graph.qorel")
    graph.write_bytes(graph.read_bytes()[:-9])  # a torn graph file
    Database(path)


def _not_a_directory(path):
    pathlib.Path(path).write_bytes(b"")
    Database(path + "/db", dim=2)


def _with(call):
    def run(path):
        call(Database(path, dim=2))

    return run


@pytest.mark.parametrize(
    "cause, error",
    [
        (_with(lambda db: db.get("missing")), "NotFoundError"),
        (_with(lambda db: db.update("missing", [1, 2])), "NotFoundError"),
        (_with(lambda db: (db.add("a", [1, 2]), db.add("a", [1, 2]))), "DuplicateIdError"),
        (_with(lambda db: db.add_many(["a", "a"], [[1, 2], [3, 4]])), "DuplicateIdError"),
        (_with(lambda db: db.search([1, 2, 3])), "DimensionMismatchError"),
        (_with(lambda db: db.add("a", [1, math.nan])), "InvalidVectorError"),
        (lambda path: Database(path, dim=2, metric="hamming"), "InvalidMetricError"),
        (lambda path: Database(path), "DatabaseNotFoundError"),
        (_corrupt, "CorruptDatabaseError"),
        (_not_a_directory, "StorageError"),
        (lambda path: (Database(path, dim=2).save(), Database(path, read_only=True).add("a", [1, 2])), "ReadOnlyError"),
    ],
)
def test_each_failure_raises_its_class(db_path, cause, error):
    cls = getattr(_qorel, error)
    with pytest.raises(cls) as caught:
        cause(db_path)
    assert type(caught.value) is cls
    # Handlers written for ValueError still catch it, and it crosses processes as itself.
    assert isinstance(caught.value, _qorel.QorelError) and isinstance(caught.value, ValueError)
    again = pickle.loads(pickle.dumps(caught.value))
    assert type(again) is cls and str(again) == str(caught.value)


def test_internal_error_escapes_ordinary_handlers():
    assert not issubclass(_qorel.InternalError, Exception)
