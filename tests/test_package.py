"""The quillspar package: message classes, their schema, and the public API."""

import enum
import gc
import importlib.util
import inspect
import itertools
import re
import subprocess
import sys
import textwrap
from typing import Any
import types
import weakref

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
from quillspar import _link
from quillspar._names import _message_info

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
    return descriptor_pb2.DescriptorProto.FromString(_message_info(cls).proto)


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
        ("x: int | str", r"Bad\.x: unsupported annotation 'int \| str': the only unions allowed are `T \| None` and, for an enum E, `E \| int`"),
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
        ("a: int32 = field(name='k')\nb: int32 | None = field(oneof='k')", r"Bad\.b: oneof 'k' has the name of a field"),
        ("x: str = field(packed=False)", r"Bad\.x: packed=False applies to repeated number, bool and enum fields only"),
        ("x: list[bytes] = field(packed=False)", r"Bad\.x: packed=False applies to repeated number"),
        ("x: dict[int32, int32] = field(packed=False)", r"Bad\.x: packed=False applies to repeated number"),
        ("x: list[int32] = field(packed=0)", r"Bad\.x: packed is a bool, not int"),
        ("x: int32 = field(deprecated=None)", r"Bad\.x: deprecated is a bool, not NoneType"),
        ("x: int32 = field(name='a.b')", r"Bad\.x: protobuf name 'a\.b' is not an ASCII identifier"),
        ("a: int32\nb: int32 = field(name='a')", r"Bad\.b: protobuf name 'a' is already used by field 'a'"),
        ("x: int32 = field(json_name='')", r"Bad\.x: json_name must be a non-empty str, not ''"),
        ("_unknown_fields: bytes", r"Bad\._unknown_fields: '_unknown_fields' holds the message's unknown fields"),
        ("__proto_name__ = 'no way'\nx: int32", r"Bad: __proto_name__ must be an ASCII identifier, not 'no way'"),
        ("@message\nclass Bad:\n    @message\n    class TagsEntry:\n        k: str\n    tags: dict[str, str]",
         r"Bad\.tags: the map's entry type would be called TagsEntry, the protobuf name of nested type Bad\.TagsEntry"),
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
        ("__proto_package__ = 'acme..v1'\n@message\nclass Bad:\n    x: int32",
         r"Bad: __proto_package__ of module snippets\d+ must be a dotted name such as 'acme\.billing\.v1', not 'acme\.\.v1'"),
    ],
)
def test_definition_errors(body: str, message_pattern: str) -> None:
    if "class " not in body:
        body = "from typing import Annotated\n@message\nclass Bad:\n" + textwrap.indent(body, "    ")
    with pytest.raises(SchemaError, match=message_pattern):
        define(body)


# ---------------------------------------------------------------- the generated class

def test_open_enum_annotations() -> None:
    @message
    class Paint:
        color: Color | int
        maybe: Color | int | None
        colors: list[Color | int]
        by_name: dict[str, int | Color]

    fields = {f.name: f for f in descriptor_of(Paint).field}
    assert [(f.type, f.label, f.proto3_optional) for f in fields.values()] == [
        (14, 1, False), (14, 1, True), (14, 3, False), (11, 3, False)]
    value = Paint(color=7, maybe=Color.RED, colors=[Color.BLUE, 9], by_name={"a": 8})
    back = Paint.from_bytes(value.to_bytes())
    assert back == value and back.maybe is Color.RED and back.colors[0] is Color.BLUE and back.color == 7


def test_defaults() -> None:
    e = Everything()
    assert [getattr(e, n) for n in Everything.__slots__] == [0.0, 0.0, 0, 0, 0, False, "", b"", 0, None, None, [], {}, b""]
    assert [type(getattr(e, n)) for n in ("d", "f", "flag", "color")] == [float, float, bool, Color]
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
            h: int32 = field(2)
            _h: str | None = field(oneof="other")
            y: str | None = field(5, oneof="choice")
            _c: bool | None
        """,
        "Ok",
    )
    proto = descriptor_of(cls)
    # The core gets the fields by number: that is the order it writes them in.
    assert [(f.name, f.number, f.HasField("oneof_index") and f.oneof_index) for f in proto.field] == [
        ("a", 1, False), ("h", 2, False), ("_h", 3, 1), ("x", 4, 0), ("y", 5, 0), ("_c", 6, 3),
        ("b", 10, 2), ("_b", 11, False)]
    # Real oneofs in order of first use, then protoc's synthetic names, "_b" being a field.
    assert [o.name for o in proto.oneof_decl] == ["choice", "other", "X_b", "X_c"]
    value = cls(b=7, a=2, y="s", h=3)
    assert value.to_bytes() == bytes.fromhex("0802 1003 2a0173 5007")
    assert repr(value) == "Ok(a=2, b=7, _b=0, h=3, y='s', _c=None)"  # unset oneof members left out
    assert list(inspect.signature(cls).parameters) == ["a", "b", "_b", "x", "h", "_h", "y", "_c", "_unknown_fields"]


def test_field_options_in_the_core_descriptor() -> None:
    cls = define(
        """
        @message
        class Ok:
            plain: list[int32]
            loose: list[sint64] = field(packed=False)
            kinds: list[Color] = field(packed=False)
            from_: str = field(name="from", json_name="sender", deprecated=True)
        class Color(enum.IntEnum):
            RED = 0
        """,
        "Ok",
    )
    proto = descriptor_of(cls)
    # The core reads and passes attributes: its descriptor names them so, and
    # carries only what encoding needs.
    assert [(f.name, f.HasField("options"), f.options.packed) for f in proto.field] == [
        ("plain", False, False), ("loose", True, False), ("kinds", True, False), ("from_", False, False)]
    value = cls(plain=[1, 2], loose=[-1, 1], kinds=[0, 3], from_="x")
    assert cls.from_bytes(value.to_bytes()) == value


def test_unknown_fields_slot_keyword_and_equality() -> None:
    keep = define("@message\nclass Keep:\n    x: int32", "Keep")
    drop = define("@message(unknown_fields=False)\nclass Drop:\n    x: int32", "Drop")
    extension = bytes.fromhex("d8d71801")  # MessageOptions: 50555 = true
    assert descriptor_of(keep).options.SerializeToString() == extension
    assert not descriptor_of(drop).HasField("options")
    a, b = keep(x=1, _unknown_fields=b"\x10\x01"), keep(x=1)
    assert quillspar.unknown_fields(a) == b"\x10\x01" and quillspar.unknown_fields(b) == b""
    assert a != b and a == keep(x=1, _unknown_fields=b"\x10\x01") and repr(a) == repr(b) == "Keep(x=1)"
    b._unknown_fields = None  # what the encoder also takes for "none"
    assert b == keep(x=1) and quillspar.unknown_fields(b) == b""
    assert drop.__slots__ == ("x",) and quillspar.unknown_fields(drop(x=1)) == b""
    with pytest.raises(TypeError, match="unexpected keyword argument '_unknown_fields'"):
        drop(_unknown_fields=b"")


# ---------------------------------------------------------------- protobuf names

SHOP = """
__proto_package__ = "acme.shop.v1"

@message
class Order:
    @message
    class Item:
        @message
        class Note:
            text: str
        sku: str
        note: Note | None
    class State(enum.IntEnum):
        OPEN = 0
    items: list[Item]
    state: State
    stock: list[warehouse.Item]

class Scope:  # not a message class: what it holds is not nested
    @message
    class Loose:
        x: int32

@message
class Renamed:
    __proto_name__ = "class"
    order: Order | None
"""

WAREHOUSE = """
__proto_package__ = "acme.warehouse"

@message
class Item:
    count: int32
    sku: str
"""


def shop() -> tuple[Any, Any]:
    """Class Item of a new WAREHOUSE module, class Order of a new SHOP module."""
    warehouse = define(WAREHOUSE, "Item")
    return warehouse, define(f"import sys\nwarehouse = sys.modules[{warehouse.__module__!r}]\n" + SHOP, "Order")


def test_full_names_nesting_and_find_class() -> None:
    warehouse, order = shop()
    shop_module = sys.modules[order.__module__]
    names = {
        order: "acme.shop.v1.Order", order.Item: "acme.shop.v1.Order.Item",
        order.Item.Note: "acme.shop.v1.Order.Item.Note", order.State: "acme.shop.v1.Order.State",
        shop_module.Scope.Loose: "acme.shop.v1.Loose", shop_module.Renamed: "acme.shop.v1.class", warehouse: "acme.warehouse.Item",
    }
    for cls, name in names.items():
        assert quillspar.full_name(cls) == name and quillspar.find_class(name) is cls
    assert quillspar.find_class("." + names[order]) is order and quillspar.find_class("acme.shop.v1.Item") is not order.Item
    assert order.Item.__quillspar__.name == warehouse.__quillspar__.name == "Item"
    assert shop_module.Renamed.__quillspar__.name == "class"
    # Links go by field number to the annotation's class, whatever the names.
    value = order(items=[order.Item(sku="a", note=order.Item.Note(text="n"))], stock=[warehouse(count=2, sku="b")])
    back = order.from_bytes(value.to_bytes())
    assert back == value and type(back.items[0]) is order.Item and type(back.stock[0]) is warehouse
    # The last class defined with a name is the one found.
    again = define(WAREHOUSE, "Item")
    assert quillspar.find_class("acme.warehouse.Item") is again


def test_nested_types_stand_alone_again_when_the_enclosing_class_fails() -> None:
    with pytest.raises(SchemaError, match=r"Bad\.y: unsupported annotation 'complex'"):
        define("__proto_package__ = 'p'\n@message\nclass Bad:\n    @message\n    class Inner:\n        x: int32\n"
               "    y: complex")
    inner = quillspar.find_class("p.Inner")
    assert inner is not None and inner.__qualname__ == "Bad.Inner" and quillspar.full_name(inner) == "p.Inner"
    assert quillspar.find_class("p.Bad.Inner") is None


def test_exported_files_keep_same_named_types_apart() -> None:
    descriptor_pb2 = pytest.importorskip("google.protobuf.descriptor_pb2")
    descriptor_pool = pytest.importorskip("google.protobuf.descriptor_pool")
    warehouse, order = shop()
    files = [descriptor_pb2.FileDescriptorProto.FromString(raw) for raw in quillspar.file_descriptors(order)]
    assert [(f.name, f.package, list(f.dependency)) for f in files] == [
        ("acme/warehouse.proto", "acme.warehouse", []),
        ("acme/shop/v1.proto", "acme.shop.v1", ["acme/warehouse.proto"])]
    exported = files[1].message_type[0]
    assert [(f.name, f.type_name) for f in exported.field] == [
        ("items", ".acme.shop.v1.Order.Item"), ("state", ".acme.shop.v1.Order.State"),
        ("stock", ".acme.warehouse.Item")]
    assert [n.name for n in exported.nested_type] == ["Item"] and exported.nested_type[0].nested_type[0].name == "Note"
    pool = descriptor_pool.DescriptorPool()
    for f in files:
        pool.Add(f)
    assert pool.FindMessageTypeByName("acme.shop.v1.Order.Item.Note").full_name == "acme.shop.v1.Order.Item.Note"
    _, twin = shop()
    modules = f"import sys\nA = sys.modules[{order.__module__!r}].Order\nB = sys.modules[{twin.__module__!r}].Order\n"
    pair = define(modules + "@message\nclass Pair:\n    a: A | None\n    b: B | None", "Pair")
    with pytest.raises(ValueError, match=r"snippets\d+\.Item and snippets\d+\.Item have the same protobuf name "
                                         r"acme\.warehouse\.Item; set __proto_name__ or __proto_package__"):
        quillspar.file_descriptors(pair)


def test_a_class_named_like_a_map_entry() -> None:
    descriptor_pb2 = pytest.importorskip("google.protobuf.descriptor_pb2")
    message_factory = pytest.importorskip("google.protobuf.message_factory")
    tagged = define(
        """
        @message
        class TagsEntry:
            key: str
            value: int32
        @message
        class Tagged:
            tags: dict[str, str]
            entries: list[TagsEntry]
        """,
        "Tagged",
    )
    entry = sys.modules[tagged.__module__].TagsEntry
    value = tagged(tags={"a": "b"}, entries=[entry(key="k", value=2)])
    data = value.to_bytes()
    assert data == bytes.fromhex("0a06 0a0161 120162 1205 0a016b 1002")
    assert tagged.from_bytes(data) == value
    files = [descriptor_pb2.FileDescriptorProto.FromString(raw) for raw in quillspar.file_descriptors(tagged)]
    reference = message_factory.GetMessages(files)[quillspar.full_name(tagged)]
    parsed = reference.FromString(data)
    assert dict(parsed.tags) == {"a": "b"} and parsed.entries[0].value == 2
    assert parsed.SerializeToString() == data


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


@message
class Shadowed:  # a module-level class that local classes of the same name hide
    text: str


def test_string_annotations_resolve_in_the_defining_function() -> None:
    @message
    class Shadowed:
        v: int32

    @message
    class Earlier:
        v: int32

    @message
    class User:
        shadowed: "Shadowed | None"
        earlier: "list[Earlier]"
        later: "Later | None"

    @message
    class Later:
        v: int32

    class Holder:  # not a message class: the function's names stay in view
        @message
        class Inside:
            shadowed: "Shadowed | None"

    value = User(shadowed=Shadowed(v=1), earlier=[Earlier(v=2)], later=Later(v=3))
    assert value.to_bytes() == bytes.fromhex("0a020801 12020802 1a020803")
    assert User.from_bytes(value.to_bytes()) == value
    assert type(User.from_bytes(value.to_bytes()).shadowed) is Shadowed
    inside = Holder.Inside(shadowed=Shadowed(v=4))
    assert Holder.Inside.from_bytes(inside.to_bytes()) == inside


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
    ({"name": "n", "number": 1}, "0a016e 1001"), ({"point": Point(x=-1, y=1)}, "2204 0801 1002"),
])
def test_oneof_encoding_and_module_functions(kwargs: dict[str, object], expected: str) -> None:
    value = Choice(**kwargs)
    data = bytes.fromhex(expected)
    assert value.to_bytes() == quillspar.encode(value) == data
    assert Choice.from_bytes(data) == quillspar.decode(Choice, data) == value


@pytest.mark.parametrize(("call", "error", "pattern"), [
    (lambda: quillspar.encode(5), TypeError, "int is not a message class"),
    (lambda: quillspar.decode(int, b""), TypeError, "int is not a message class"),
    (lambda: quillspar.decode(5, b""), TypeError, "expected a message class, not int"),
    (lambda: Point.from_bytes(b"\x08"), ValueError, "malformed protobuf data: UnexpectedEof"),
    (lambda: Point(x=1 << 70).to_bytes(), OverflowError, None),
    (lambda: quillspar.unknown_fields(5), TypeError, "expected a message, not int"),
    (lambda: message(unknown_fields=1), TypeError, "unknown_fields is a bool, not int"),
    (lambda: quillspar.full_name(5), TypeError, "expected a message class or an enum.IntEnum, not 5"),
    (lambda: quillspar.find_class(b"acme"), TypeError, "a full name is a str, not bytes"),
])
def test_api_errors(call: Any, error: type[Exception], pattern: str | None) -> None:
    with pytest.raises(error, match=pattern):
        call()


# ---------------------------------------------------------------- type checking, no reference runtime

USER_MODULE = '''
import enum
import quillspar
from quillspar import Message, double, field, int32, message, uint32, uint64


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


@message(unknown_fields=False)
class Loose:
    counts: list[uint32] = field(packed=False)
    from_: str = field(name="from", json_name="sender", deprecated=True)


def names() -> tuple[bytes, str, type | None, list[bytes]]:
    return (quillspar.unknown_fields(Loose(from_="a")), quillspar.full_name(Point),
            quillspar.find_class("user_module.Point"), quillspar.file_descriptors(Loose))


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


# ---------------------------------------------------------------- classes are freed

def _descriptors() -> int:
    return sum(type(o) is quillspar._core.Descriptor for o in gc.get_objects())


@pytest.mark.parametrize("kind", ["plain", "recursive", "nested enum", "never resolved"])
def test_classes_are_freed_with_their_descriptors(kind: str) -> None:
    gc.collect()
    before = _descriptors()
    refs = []
    for _ in range(300):
        if kind == "plain":
            @message
            class Made:
                v: int32
        elif kind == "recursive":
            @message
            class Made:
                children: "list[Made]"
                parent: "Made | None"
        elif kind == "nested enum":
            @message
            class Made:
                class Kind(enum.IntEnum):
                    A = 0
                kind: Kind
        else:
            @message
            class Made:
                missing: "Missing | None"  # type: ignore[name-defined]  # noqa: F821
        if kind != "never resolved":
            assert Made.from_bytes(Made().to_bytes()) == Made()
            assert quillspar.find_class(quillspar.full_name(Made)) is Made
            assert quillspar.file_descriptors(Made)
        refs.append(weakref.ref(Made))
    del Made
    gc.collect()
    assert [r for r in refs if r() is not None] == []
    assert _descriptors() == before and "Missing" not in _link._WAITING
