"""The quillspar package: message classes, their schema, and the public API."""

import enum
import importlib.util
import itertools
import re
import subprocess
import sys
import textwrap
from typing import Any
import types

import pytest

import quillspar
from quillspar import (
    Message,
    SchemaError,
    double,
    field,
    fixed32,
    float32,
    int32,
    message,
    sint64,
    uint64,
)
from quillspar._message import _MESSAGES

_snippets = itertools.count()


def define(source: str, name: str = "Bad") -> type:
    """Run class definitions in a new module; return the class `name`."""
    module = types.ModuleType(f"snippets{next(_snippets)}")
    sys.modules[module.__name__] = module
    module.__dict__.update(quillspar=quillspar, enum=enum, field=field, message=message, Message=Message)
    module.__dict__.update((n, getattr(quillspar, n)) for n in quillspar.__all__)
    exec(textwrap.dedent(source), module.__dict__)
    return getattr(module, name)  # type: ignore[no-any-return]


def descriptor_of(cls: type) -> Any:
    """The class's DescriptorProto, read by the reference runtime."""
    descriptor_pb2 = pytest.importorskip("google.protobuf.descriptor_pb2")
    quillspar.resolve(cls)
    return descriptor_pb2.DescriptorProto.FromString(_MESSAGES[cls].proto)


class Color(enum.IntEnum):
    RED = 0
    GREEN = 1
    BLUE = 2


@message
class Point:
    x: sint64
    y: sint64


@message
class Everything:
    d: double
    f: float32
    i: int32
    u: uint64
    fx: fixed32
    flag: bool
    text: str
    blob: bytes
    color: Color
    opt: int32 | None
    point: Point | None
    points: list[Point]
    counts: dict[str, int32]


# ---------------------------------------------------------------- definition errors

@pytest.mark.parametrize(
    ("body", "message_pattern"),
    [
        ("x: list[list[int]]", r"Bad\.x: unsupported annotation 'list\[list\[int\]\]': lists and dicts cannot be nested"),
        ("x: int | str", r"Bad\.x: unsupported annotation 'int \| str': the only union allowed is `T \| None`"),
        ("x: complex", r"Bad\.x: unsupported annotation 'complex': complex is neither a message class"),
        ("x: list", r"Bad\.x: unsupported annotation 'list': list needs its item types"),
        ("x: list[int] | None", r"Bad\.x: unsupported annotation 'list\[int\] \| None': repeated and map fields are never None"),
        ("x: list[int | None]", r"Bad\.x: unsupported annotation 'list\[int \| None\]': only a field itself can be optional"),
        ("x: dict[float, int]", r"Bad\.x: unsupported annotation 'dict\[float, int\]': map keys must be integers, bool or str, not float"),
        ("x: Annotated[str, quillspar.int32.__metadata__[0]]", r"Bad\.x: unsupported annotation .*: the int32 marker needs the Python type int, not str"),
        ("x: int32 = field(0)", r"Bad\.x: field number 0 is invalid \(valid: 1 to 536870911, except 19000 to 19999\)"),
        ("x: int32 = field(536870912)", r"Bad\.x: field number 536870912 is invalid"),
        ("x: int32 = field(19000)", r"Bad\.x: field number 19000 is invalid"),
        ("x: int32 = field(19999)", r"Bad\.x: field number 19999 is invalid"),
        ("x: int32 = field(True)", r"Bad\.x: field number must be an int, not bool"),
        ("a: int32 = field(536870911)\nb: int32", r"Bad\.b: field number 536870912 is invalid"),
        ("a: int32 = field(3)\nb: str = field(3)", r"Bad\.b: field number 3 is already used by field 'a'"),
        ("a: int32 = field(2)\nb: int32 = field(1)\nc: int32", r"Bad\.c: field number 2 is already used by field 'a'"),
        ("a: list[int32] = field(oneof='k')", r"Bad\.a: a repeated field cannot be a member of oneof 'k'"),
        ("a: dict[str, int32] = field(oneof='k')", r"Bad\.a: a map field cannot be a member of oneof 'k'"),
        ("a: int32 | None = field(oneof='a')", r"Bad\.a: oneof 'a' has the name of a field"),
        ("a: int32 | None = field(oneof='no way')", r"Bad\.a: oneof name 'no way' is not an ASCII identifier"),
        ("x: int32 = 5", r"Bad\.x: the default of this field is 0, fixed by protobuf; got 5"),
        ("x: bool = 0", r"Bad\.x: the default of this field is False"),
        ("x: list[int32] = [1]", r"Bad\.x: the default of this field is \[\]"),
        ("x: int32 | None = 0", r"Bad\.x: the default of this field is None"),
        ("café: int32", r"Bad\.café: field name 'café' is not an ASCII identifier"),
        ("__x__: int32", r"Bad\.__x__: field names cannot start with two underscores"),
        ("to_bytes: int32", r"Bad\.to_bytes: 'to_bytes' is the name of a message class method"),
        ("x = field(3)", r"Bad\.x: field\(\) needs an annotation"),
        ("a_b: dict[str, int]\naB: dict[str, int]", r"Bad\.aB: map fields 'a_b' and 'aB' would both need an entry type called ABEntry"),
        ("__slots__ = ()\nx: int32", r"Bad: @message gives the class its __slots__"),
        # Sources of their own: the errors involve other classes.
        ("class E(enum.Enum):\n    A = 0\n@message\nclass Bad:\n    e: E",
         r"Bad\.e: unsupported annotation 'E': enum E must derive from enum\.IntEnum"),
        ("class E(enum.IntEnum):\n    A = 0\n    B = 1 << 31\n@message\nclass Bad:\n    e: list[E]",
         r"Bad\.e: enum E member B = 2147483648 does not fit in 32 bits"),
        ("class Plain: pass\n@message\nclass Bad:\n    p: Plain | None",
         r"Bad\.p: unsupported annotation 'Plain \| None': Plain is neither a message class \(decorate it"),
        ("@message\nclass Base:\n    a: int32\n@message\nclass Bad(Base):\n    b: int32",
         r"Bad: a message class cannot derive from message class Base"),
        ("@message\nclass Bad(enum.IntEnum):\n    A = 0", r"Bad: enums need no decorator"),
    ],
)
def test_definition_errors(body: str, message_pattern: str) -> None:
    if "class " not in body:
        body = "from typing import Annotated\n@message\nclass Bad:\n" + textwrap.indent(body, "    ")
    with pytest.raises(SchemaError, match=message_pattern):
        define(body)


# ---------------------------------------------------------------- the generated class

def test_defaults() -> None:
    e, other = Everything(), Everything()
    assert [getattr(e, n) for n in Everything.__slots__] == [0.0, 0.0, 0, 0, 0, False, "", b"", 0, None, None, [], {}, b""]
    assert [type(getattr(e, n)) for n in ("d", "f", "flag", "color")] == [float, float, bool, Color]
    assert e.points is not other.points and e.counts is not other.counts
    no_zero = define("class E(enum.IntEnum):\n    ONE = 1\n@message\nclass Ok:\n    e: E", "Ok")
    assert no_zero().e == 0 and type(no_zero().e) is int


@message
class Tree:
    name: str
    children: list[Tree]


def test_generated_class() -> None:
    p = Point(x=1, y=-2)
    assert Point.__slots__ == ("x", "y", "_unknown_fields") and not hasattr(p, "__dict__") and Point.__hash__ is None
    assert isinstance(Point.__quillspar__, quillspar._core.Descriptor) and Point.__quillspar__.is_linked
    with pytest.raises(AttributeError):
        p.z = 1  # type: ignore[attr-defined]
    with pytest.raises(TypeError):
        Point(1, 2)  # type: ignore[misc]
    with pytest.raises(TypeError, match="unexpected keyword argument 'z'"):
        Point(z=1)  # type: ignore[call-arg]
    assert repr(p) == "Point(x=1, y=-2)" and p == Point(x=1, y=-2) and p != Point(x=1)
    same_fields = define("@message\nclass Point:\n    x: sint64\n    y: sint64", "Point")
    assert p != same_fields(x=1, y=-2) and same_fields.__quillspar__.name == Point.__quillspar__.name == "Point"
    tree = Tree(name="a")
    tree.children.append(tree)
    assert repr(tree) == "Tree(name='a', children=[...])"


def test_class_body_methods_classvars_and_base_class() -> None:
    cls = define(
        """
        from typing import ClassVar
        @message
        class Ok(Message):
            kind: ClassVar[str] = "k"
            x: int32 = 0
            def __repr__(self):
                return "custom " + super().__repr__()[:6]
            def double(self):
                return 2 * self.x
        """,
        "Ok",
    )
    assert cls.__slots__ == ("x", "_unknown_fields") and cls.kind == "k" and isinstance(cls(), Message)
    assert repr(cls(x=2)).startswith("custom <") and cls(x=2).double() == 4
    assert cls.from_bytes(cls(x=5).to_bytes()) == cls(x=5)


def test_field_numbers_declaration_order_and_oneofs() -> None:
    cls = define(
        """
        @message
        class Ok:
            a: int32
            b: int32 | None = field(10)
            _b: int32
            x: int32 | None = field(4, oneof="choice")
            y: str | None = field(oneof="choice")
        """,
        "Ok",
    )
    proto = descriptor_of(cls)
    assert [(f.name, f.number, f.HasField("oneof_index") and f.oneof_index) for f in proto.field] == [
        ("a", 1, False), ("x", 4, 0), ("y", 5, 0), ("b", 10, 1), ("_b", 11, False)]
    assert [o.name for o in proto.oneof_decl] == ["choice", "X_b"]  # synthetic oneofs follow the real ones
    assert cls(x=1, a=2).to_bytes() == bytes.fromhex("0802 2001")


# ---------------------------------------------------------------- references between classes

def test_references_between_local_and_nested_classes() -> None:
    @message
    class Left:
        right: Right | None

    @message
    class Right:
        left: Left | None
        tag: str

    value = Left(right=Right(left=Left(), tag="t"))
    assert Left.from_bytes(value.to_bytes()) == value
    cls = define(
        """
        from __future__ import annotations
        @message
        class Outer:
            @message
            class Inner:
                v: int32
            inner: Inner | None
            many: list[Outer.Inner]
            next: Outer | None
        """,
        "Outer",
    )
    value = cls(inner=cls.Inner(v=2), many=[cls.Inner(v=3)], next=cls())
    assert cls.from_bytes(value.to_bytes()) == value


def test_unknown_names_are_resolved_or_reported_at_first_use() -> None:
    waiting = define("@message\nclass Waiting:\n    later: Later | None\n    n: int\n    e: Shade\n", "Waiting")
    namespace = sys.modules[waiting.__module__].__dict__
    assert not hasattr(waiting, "__quillspar__")
    for use in (waiting, lambda: waiting().to_bytes(), lambda: waiting.from_bytes(b""), lambda: quillspar.resolve(waiting)):
        with pytest.raises(SchemaError, match=r"Waiting\.later: cannot resolve 'Later' in annotation 'Later \| None'"):
            use()
    exec("@message\nclass Later:\n    x: int32\nclass Shade(enum.IntEnum):\n    DARK = 0\n    LIGHT = 1\n", namespace)
    assert waiting().e is namespace["Shade"].DARK  # constructing resolves the class
    assert waiting(n=2, later=namespace["Later"](x=1)).to_bytes() == bytes.fromhex("0a020801 1002")
    assert waiting.from_bytes(b"\x18\x01").e is namespace["Shade"].LIGHT


# ---------------------------------------------------------------- oneofs and the public API

@message
class Choice:
    name: str
    number: int32 | None = field(oneof="value")
    text: str | None = field(oneof="value")
    point: Point | None = field(oneof="value")


@pytest.mark.parametrize(("kwargs", "expected"), [
    ({}, ""), ({"number": 0}, "1000"), ({"text": ""}, "1a00"), ({"point": Point()}, "2200"),
    ({"name": "n", "number": 1}, "0a016e 1001"),
])
def test_oneof_encoding(kwargs: dict[str, object], expected: str) -> None:
    value = Choice(**kwargs)
    assert value.to_bytes() == bytes.fromhex(expected)
    assert Choice.from_bytes(value.to_bytes()) == value


def test_module_functions_and_methods_agree() -> None:
    p = Point(x=-1, y=1)
    data = quillspar.encode(p)
    assert data == p.to_bytes() == bytes.fromhex("0801 1002")
    assert quillspar.decode(Point, data) == Point.from_bytes(data) == p
    assert Point.from_bytes(bytearray(data)) == Point.from_bytes(memoryview(data)) == p


@pytest.mark.parametrize(("call", "error", "pattern"), [
    (lambda: quillspar.encode(5), TypeError, "int is not a message class"),
    (lambda: quillspar.decode(int, b""), TypeError, "int is not a message class"),
    (lambda: quillspar.decode(5, b""), TypeError, "expected a message class, not int"),
    (lambda: Point.from_bytes("0801"), TypeError, "not str"),
    (lambda: Point.from_bytes(b"\x08"), ValueError, "malformed protobuf data: UnexpectedEof"),
    (lambda: Point(x=1 << 70).to_bytes(), OverflowError, None),
])
def test_api_errors(call: Any, error: type[Exception], pattern: str | None) -> None:
    with pytest.raises(error, match=pattern):
        call()


# ---------------------------------------------------------------- type checking, no reference runtime

USER_MODULE = '''
import enum
import quillspar
from quillspar import Message, double, field, int32, message, uint64


class Color(enum.IntEnum):
    RED = 0


@message
class Point(Message):
    x: int32 = 0
    y: uint64 = field(5)
    choice_b: str | None = field(oneof="choice")
    tags: list[str] = []
    color: Color = Color.RED


@message
class Tree:
    children: list[Tree] = []
    scores: dict[str, double] = {}
    root: Point | None = None


def use() -> bytes:
    q: Point = Point.from_bytes(Point(x=1, tags=["a"], choice_b="b").to_bytes())
    maybe: str | None = q.choice_b
    back: Tree = quillspar.decode(Tree, quillspar.encode(Tree(children=[Tree()], root=q)))
    total: float = q.x + back.children[0].scores.get("a", 0.0)
    return quillspar.encode(Tree(scores={str(maybe): total}))
'''


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_accepts_user_code(tmp_path: Any) -> None:
    (tmp_path / "user_module.py").write_text(USER_MODULE)
    (tmp_path / "bad_module.py").write_text("from quillspar import message, int32\n@message\nclass P:\n    x: int32 = 0\nP(x='a')\n")
    run = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache")]
    ok = subprocess.run([*run, str(tmp_path / "user_module.py")], capture_output=True, text=True)
    assert ok.returncode == 0, ok.stdout + ok.stderr
    refused = subprocess.run([*run, str(tmp_path / "bad_module.py")], capture_output=True, text=True)
    assert re.search(r'Argument "x" to "P" has incompatible type "str"; expected "int"', refused.stdout)
    namespace: dict[str, Any] = {"__name__": "user_module"}
    exec(compile(USER_MODULE, "user_module", "exec"), namespace)
    assert namespace["use"]() == bytes.fromhex("120c 0a0162 11 000000000000f03f")


def test_package_works_without_the_reference_runtime() -> None:
    script = ("import sys; sys.modules['google'] = None\nimport quillspar\n"
              "@quillspar.message\nclass P:\n    x: quillspar.int32\n"
              "assert P.from_bytes(P(x=3).to_bytes()) == P(x=3)\nassert 'google.protobuf' not in sys.modules\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
