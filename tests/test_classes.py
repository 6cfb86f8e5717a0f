"""Message classes built on the native metaclass behave exactly as plain
Python ones: every test here runs in both modes (`native`: the package's
`_classes.MessageType` with its constructor installed; `python`: a plain
`type` with the generated `__init__` alone)."""

import copy
import ctypes
import enum
import inspect
import pickle
import sys
import types

import pytest

import quillspar
from quillspar import _build, _classes, field, message
from test_package import define

SOURCE = """
class Color(enum.IntEnum):
    RED = 0
    BLUE = 2

@message
class Inner:
    n: int32

@message
class Ok:
    a: int32
    s: str
    color: Color
    inner: Inner
    maybe: int32 | None
    tags: list[str]
    counts: dict[str, int32]
    one: str | None = field(oneof="pick")
    two: Inner | None = field(oneof="pick")
"""


@pytest.fixture(params=["native", "python"])
def mode(request, monkeypatch):
    if request.param == "python":
        monkeypatch.setattr(_build, "_classes", types.SimpleNamespace(MessageType=type, install=lambda *a: False))
    return request.param


@pytest.fixture
def ns(mode):
    cls = define(SOURCE, "Ok")
    module = sys.modules[cls.__module__]
    assert type(cls) is (_classes.MessageType if mode == "native" else type)
    return module


def test_defaults_and_given_values(ns):
    Ok, Inner = ns.Ok, ns.Inner
    a, b = Ok(), Ok()
    assert (a.a, a.s, a.color, a.inner, a.maybe, a.tags, a.counts, a.one, a.two, a._unknown_fields) == (
        0, "", ns.Color.RED, None, None, [], {}, None, None, b"")
    assert type(a.color) is ns.Color and a.tags is not b.tags and a.counts is not b.counts
    tags, inner = ["x"], Inner(n=1)
    c = Ok(tags=tags, inner=inner, counts=None, a=True, _unknown_fields=b"\x08")
    assert c.tags is tags and c.inner is inner and c.counts == {} and c.a is True and c._unknown_fields == b"\x08"
    assert Ok(tags=None).tags == [] and Ok(s=None).s is None  # None asks for a new list; other fields store it
    assert Ok(**{"a": 1}).a == 1 and Ok(two=inner, one="x").two is inner


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda Ok: Ok(1), "Ok.__init__() takes 1 positional argument but 2 were given"),
        (lambda Ok: Ok(1, a=2), "Ok.__init__() takes 1 positional argument but 2 positional arguments"),
        (lambda Ok: Ok(z=1), "Ok.__init__() got an unexpected keyword argument 'z'"),
        (lambda Ok: Ok(a=1, z=2), "Ok.__init__() got an unexpected keyword argument 'z'"),
        (lambda Ok: Ok(**{f"k{i}": i for i in range(20)}), "Ok.__init__() got an unexpected keyword argument 'k0'"),
        (lambda Ok: Ok(**{"a": 1}, a=2), "got multiple values for keyword argument 'a'"),
    ],
)
def test_constructor_errors(ns, call, message):
    with pytest.raises(TypeError) as info:
        call(ns.Ok)
    assert str(info.value).startswith(message) or str(info.value).endswith(message)


def test_equality_repr_pickle_copy(ns):
    Ok, Inner = ns.Ok, ns.Inner
    v = Ok(a=3, tags=["t"], counts={"k": 1}, inner=Inner(n=2), one="o")
    assert v == Ok(a=3, tags=["t"], counts={"k": 1}, inner=Inner(n=2), one="o") and v != Ok(a=3)
    assert repr(v) == (
        "Ok(a=3, s='', color=<Color.RED: 0>, inner=Inner(n=2), maybe=None, tags=['t'], counts={'k': 1}, "
        "one='o')")
    assert copy.replace(v, two=Inner(n=1)) == Ok(a=3, tags=["t"], counts={"k": 1}, inner=Inner(n=2), two=Inner(n=1))
    assert pickle.loads(pickle.dumps(v)) == v and copy.copy(v) == v and copy.deepcopy(v) == v and copy.deepcopy(v).tags is not v.tags
    assert Ok.from_bytes(v.to_bytes()) == v


def test_subclasses_and_replaced_methods(ns):
    Ok = ns.Ok

    class Sub(Ok):
        __slots__ = ("extra",)

        def __init__(self, extra=7, **kw):
            super().__init__(**kw)
            self.extra = extra

    s = Sub(a=2)
    assert (s.a, s.extra, s.tags) == (2, 7, [])
    calls = []
    generated = Ok.__init__
    Ok.__init__ = lambda self, **kw: calls.append(kw)
    assert Ok(a=1).__class__ is Ok and calls == [{"a": 1}]
    type.__setattr__(Ok, "__init__", generated)
    assert Ok(a=4).a == 4
    Ok.__setattr__ = lambda self, name, value: calls.append(name) or object.__setattr__(self, name, value)
    assert Ok(a=5).a == 5 and calls[1:4] == ["a", "s", "color"]
    del Ok.__setattr__
    Ok.__new__ = lambda cls, **kw: "made"
    assert Ok(a=1) == "made"


@pytest.mark.parametrize(
    "body",
    [
        "def __init__(self, **kw):\n        self.a = kw.get('a', 0) + 100",
        "def __new__(cls, **kw):\n        return object.__new__(cls) if kw.get('a') != 1 else 101",
    ],
)
def test_class_body_constructors_are_kept(mode, body):
    cls = define(f"@message\nclass Own:\n    a: int32\n    {body}\n", "Own")
    made = cls(a=1)
    assert (made if type(made) is int else made.a) == 101 and cls.from_bytes(b"\x08\x02").a in (2, 102)


def test_own_metaclass_is_kept():
    cls = define("class Meta(type):\n    pass\n@message\nclass Own(metaclass=Meta):\n    a: int32\n", "Own")
    assert type(cls).__name__ == "Meta" and cls.from_bytes(b"\x08\x05") == cls(a=5)


def test_install_checks_its_arguments():
    plain = define("@message\nclass P:\n    a: int32\n", "P")
    with pytest.raises(TypeError, match="a class made by MessageType"):
        _classes.install(int, (), ())
    with pytest.raises(TypeError, match="two tuples of the same length"):
        _classes.install(plain, ("a",), ())
    with pytest.raises(TypeError, match="field names are str"):
        _classes.install(plain, (1,), (0,))
    assert _classes.install(plain, ("nope",), (0,)) is False  # not a slot of the class
    assert plain(a=3).a == 3


# A class remembers the keyword names of its last call and maps that very
# tuple again without a search. Python call sites pass a constant tuple; these
# tests pass their own through the vectorcall protocol, as the core does.
_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = (ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object)


def _vcall(cls, names, *values):
    return _vectorcall(cls, (ctypes.py_object * len(values))(*values), 0, names)


def _made_ab(order=("a", "b")):
    def __init__(self, *, a=0, b=""):
        self.a = a
        self.b = b

    cls = _classes.MessageType("AB", (), {"__slots__": ("a", "b"), "__init__": __init__})
    assert _classes.install(cls, order, tuple({"a": 0, "b": ""}[n] for n in order))
    return cls


def _remembered_names_round():
    """Returns what a sequence of calls sharing names tuples stored: two
    classes alternating, keywords that fail, a layout replaced and an
    `__init__` replaced in between."""
    ba, dup, unknown = tuple(["b", "a"]), tuple(["a", "a"]), tuple(["a", "z"])
    one, other = _made_ab(), _made_ab(("b", "a"))
    seen = []
    for cls in (one, other, one, other):
        seen.append(_vcall(cls, ba, "B", 1))
    seen.append(_vcall(one, dup, 1, 2))  # the last value wins, as type.__call__'s dict has it
    seen.append(_vcall(one, ba, "B", 1))  # the map written before the repeat is not reused
    with pytest.raises(TypeError, match="unexpected keyword argument 'z'"):
        _vcall(one, unknown, 1, 2)
    seen.append(_vcall(one, ba, "B", 1))
    assert _classes.install(one, ("b", "a"), ("", 0))  # a new layout, with nothing remembered
    seen.append(_vcall(one, ba, "B", 1))
    one.__init__ = lambda self, **kw: (setattr(self, "a", "init"), setattr(self, "b", "init"))[0]
    seen.append(_vcall(one, ba, "B", 1))
    del one.__init__
    return [(o.a, o.b) for o in seen]


def test_remembered_keyword_names():
    assert _remembered_names_round() == [(1, "B")] * 4 + [(2, "")] + [(1, "B")] * 3 + [("init", "init")]


@pytest.mark.parametrize(
    "data", [b"\x08\x05", bytearray(b"\x08\x05"), memoryview(b"\x08\x05"), memoryview(b"\x00\x08\x05")[1:]])
def test_native_codec_methods(ns, data):
    Ok = ns.Ok
    assert Ok.from_bytes(data) == Ok(a=5) and Ok.from_bytes(data=data) == Ok(a=5)
    assert Ok(a=5).to_bytes() == Ok.to_bytes(Ok(a=5)) == quillspar.encode(Ok(a=5)) == b"\x08\x05"


@pytest.mark.parametrize(
    "call, error, pattern",
    [
        (lambda Ok: Ok.from_bytes("\x08\x05"), TypeError, "expected bytes, bytearray or memoryview, not str"),
        (lambda Ok: Ok.from_bytes(), TypeError, "missing 1 required positional argument: 'data'"),
        (lambda Ok: Ok.from_bytes(b"", b""), TypeError, "takes 2 positional arguments but 3 were given"),
        (lambda Ok: Ok.from_bytes(b"", nope=1), TypeError, "unexpected keyword argument 'nope'"),
        (lambda Ok: Ok.from_bytes(*[b""] * 9), TypeError, "takes one argument"),
        (lambda Ok: Ok.from_bytes(b"\x0a"), ValueError, "malformed protobuf data"),
        (lambda Ok: Ok(a=2**40).to_bytes(), OverflowError, "out of range"),
    ],
)
def test_native_codec_method_errors(ns, call, error, pattern):
    with pytest.raises(error, match=pattern):
        call(ns.Ok)


def test_native_codec_methods_call_whatever_the_class_carries(ns):
    class Fake:
        def encode(self, obj):
            return ("encoded", obj)

        def decode(self, cls, data):
            return ("decoded", cls, data)

    Ok, value = ns.Ok, ns.Ok(a=1)
    sub = type(Ok)("Sub", (Ok,), {})
    sub_value = sub(a=1)
    real = Ok.__quillspar__
    assert (value.to_bytes(), sub_value.to_bytes(), type(sub.from_bytes(b""))) == (b"\x08\x01", b"\x08\x01", sub)
    try:
        type.__setattr__(Ok, "__quillspar__", Fake())
        assert value.to_bytes() == ("encoded", value) and Ok.from_bytes(b"x") == ("decoded", Ok, b"x")
        assert sub_value.to_bytes() == ("encoded", sub_value) and sub.from_bytes(b"x") == ("decoded", sub, b"x")
        type.__setattr__(sub, "__quillspar__", real)  # the subclass's own wins over its base's
        assert sub_value.to_bytes() == b"\x08\x01" and type(sub.from_bytes(b"")) is sub
    finally:
        type.__setattr__(Ok, "__quillspar__", real)
    assert value.to_bytes() == b"\x08\x01" and Ok.from_bytes(b"\x08\x01") == value


@pytest.mark.parametrize(
    "attrs, call, message",
    [
        ({"encode": str.encode}, lambda cls: cls(a=1).to_bytes(), "'encode' for 'str' objects doesn't apply"),
        ({"decode": bytes.decode}, lambda cls: cls.from_bytes(b""), "'decode' for 'bytes' objects doesn't apply"),
    ],
)
def test_native_codec_methods_check_a_borrowed_builtin_method(ns, attrs, call, message):
    # A built-in method taken from another type must still check its receiver.
    Ok = ns.Ok
    real = Ok.__quillspar__
    try:
        type.__setattr__(Ok, "__quillspar__", type("Fake", (), attrs)())
        for _ in range(2):
            with pytest.raises(TypeError, match=message):
                call(Ok)
    finally:
        type.__setattr__(Ok, "__quillspar__", real)
    assert Ok.from_bytes(Ok(a=1).to_bytes()) == Ok(a=1)


def test_native_codec_methods_follow_a_descriptor_that_gains_a_get(ns):
    class Fake:
        def encode(self, obj):
            return "unbound"

    class Got:
        def encode(self, obj):
            return "got"

    Ok, value = ns.Ok, ns.Ok(a=1)
    real = Ok.__quillspar__
    try:
        type.__setattr__(Ok, "__quillspar__", Fake())
        assert value.to_bytes() == "unbound"
        Fake.__get__ = lambda self, obj, owner=None: Got()  # now the class attribute's value comes from __get__
        assert value.to_bytes() == "got"
    finally:
        type.__setattr__(Ok, "__quillspar__", real)


def test_native_codec_methods_on_pending_classes():
    cls = define("@message\nclass Early:\n    later: Later | None\n", "Early")
    for call in (lambda: cls.from_bytes(b""), lambda: object.__new__(cls).to_bytes()):
        with pytest.raises(quillspar.SchemaError, match="cannot resolve 'Later'"):
            call()
    later = define("@message\nclass Later:\n    n: int32\n", "Later")
    sys.modules[cls.__module__].Later = later
    value = cls(later=later(n=3))
    assert cls.from_bytes(value.to_bytes()) == value


def _subclasses(Ok):
    """Subclasses made in every way a class can get the metaclass, after the
    base's from_bytes has been called (and its lookups cached)."""
    seen = []

    class Hooked(Ok):
        def __init_subclass__(cls, **kw):
            seen.append(cls.from_bytes(b"\x08\x01"))

    class Plain(Ok):
        pass

    class Late(Hooked):  # Hooked's hook decodes into Late while Late is being made
        __slots__ = ()

    class Meta(type(Ok)):
        pass

    class OwnMeta(Ok, metaclass=Meta):
        pass

    return [Plain, Hooked, Late, OwnMeta, types.new_class("Made", (Ok,))], seen


def test_from_bytes_of_subclasses(ns):
    Ok = ns.Ok
    assert type(Ok.from_bytes(b"\x08\x01")) is Ok and pickle.loads(pickle.dumps(Ok.from_bytes)) == Ok.from_bytes
    classes, seen = _subclasses(Ok)
    assert [type(v) for v in seen] == [classes[2]] and seen[0].a == 1
    for cls in classes:
        assert type(cls.from_bytes(b"\x08\x02")) is cls and type(cls().from_bytes(b"")) is cls
        assert cls.from_bytes(bytearray(b"\x08\x03")).a == 3 and type(cls.from_bytes(data=b"")) is cls
        assert cls.from_bytes.__self__ is cls and str(inspect.signature(cls.from_bytes)) == "(data, /)"
    # A subclass naming from_bytes as a slot or defining its own keeps it.
    slotted = type(Ok)("Slotted", (Ok,), {"__slots__": ("from_bytes",)})
    own = type(Ok)("Own", (Ok,), {"from_bytes": classmethod(lambda cls, data: ("own", cls))})
    assert type(vars(slotted)["from_bytes"]).__name__ == "member_descriptor" and own.from_bytes(b"") == ("own", own)


def test_from_bytes_replaced_on_a_base(ns):
    Ok = ns.Ok
    [plain, hooked, late, *_], _ = _subclasses(Ok)
    assert type(late.from_bytes(b"")) is late
    original = vars(Ok)["from_bytes"]
    Ok.from_bytes = classmethod(lambda cls, data: ("replaced", cls, data))
    try:
        assert [c.from_bytes(b"x") for c in (Ok, plain, late)] == [("replaced", c, b"x") for c in (Ok, plain, late)]
        assert late().from_bytes(data=b"y") == ("replaced", late, b"y")
        del Ok.from_bytes
        with pytest.raises(AttributeError, match="from_bytes"):
            plain.from_bytes(b"")
    finally:
        Ok.from_bytes = original
    assert [type(c.from_bytes(b"\x08\x01")) for c in (Ok, plain, hooked, late)] == [Ok, plain, hooked, late]


def test_from_bytes_of_a_class_made_by_its_bases_metaclass(ns):
    # Made by calling the base class's metaclass's base: type.__new__ hands
    # the class over to the derived metaclass, and both settle from_bytes.
    Ok = ns.Ok
    base = type("Meta", (type(Ok),), {})("Base", (Ok,), {})
    made = type(Ok)("Made", (base,), {})
    assert type(made) is type(base) and type(made.from_bytes(b"")) is made
    base.from_bytes = classmethod(lambda cls, data: ("replaced", cls))
    assert made.from_bytes(b"") == ("replaced", made)


def test_from_bytes_of_a_copied_namespace(ns):
    Ok = ns.Ok

    def __init__(self, **kw):
        self.kw = kw

    made = _classes.MessageType("Made", (), {"__init__": __init__, "from_bytes": vars(Ok)["from_bytes"],
                                             "__quillspar__": Ok.__quillspar__})
    value = made.from_bytes(b"\x08\x05")
    assert type(value) is made and value.kw["a"] == 5 and made.from_bytes.__self__ is made


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda Ok: Ok.to_bytes(), "unbound method object.to_bytes() needs an argument"),
        (lambda Ok: Ok.to_bytes(Ok(), 1), "object.to_bytes() takes no arguments (1 given)"),
        (lambda Ok: Ok.to_bytes(Ok(), x=1), "object.to_bytes() takes no keyword arguments"),
        (lambda Ok: Ok().to_bytes(1), "object.to_bytes() takes no arguments (1 given)"),
        (lambda Ok: getattr(Ok(), "to_bytes")(1), "Ok.to_bytes() takes no arguments (1 given)"),
        (lambda Ok: Ok.to_bytes(5), "int is not a message class"),
    ],
)
def test_to_bytes_argument_errors(ns, call, message):
    with pytest.raises(TypeError) as info:
        call(ns.Ok)
    assert str(info.value) == message


def test_to_bytes_as_a_class_attribute(ns):
    Ok, Inner = ns.Ok, ns.Inner
    method = Ok.to_bytes
    assert method is Inner.to_bytes and method.__get__(None, Ok) is method and repr(method).startswith("<method 'to_bytes'")
    assert (method.__name__, method.__qualname__, method.__objclass__) == ("to_bytes", "object.to_bytes", object)
    assert str(inspect.signature(method)) == "(self, /)" and method.__doc__ == "Encode this message to protobuf wire bytes."
    assert method(Inner(n=1)) == Inner(n=1).to_bytes() == method.__get__(Inner(n=1))() == b"\x08\x01"
    assert inspect.ismethoddescriptor(method) and pickle.loads(pickle.dumps(Ok(a=1).to_bytes))() == b"\x08\x01"


class Color(enum.IntEnum):
    RED = 0
    BLUE = 2


def test_enum_table():
    table = _classes.EnumTable({0: Color.RED, 2: Color.BLUE})
    assert table(2) is Color.BLUE and table[0] is Color.RED and table(5) == 5 and type(table(5)) is int
    assert dict(table.members) == {0: Color.RED, 2: Color.BLUE} and repr(table).startswith("EnumTable({0: ")
    for call, pattern in [(lambda: table(1, 2), "exactly one argument"), (lambda: table(number=1), "exactly one argument"),
                          (lambda: table([]), "unhashable"), (lambda: _classes.EnumTable([(0, Color.RED)]), None)]:
        with pytest.raises(TypeError, match=pattern):
            call()


def test_decoded_enums_go_through_the_table(ns):
    data = bytes.fromhex("1802")  # color = 2
    assert ns.Ok.from_bytes(data).color is ns.Color.BLUE
    assert ns.Ok.from_bytes(bytes.fromhex("1807")).color == 7


def test_classes_and_tables_are_freed(mode):
    import gc
    import weakref

    cls = define("@message\nclass Gone:\n    a: int32\n    tags: list[str]\n", "Gone")
    cls(a=1)
    ref = weakref.ref(cls)
    del sys.modules[cls.__module__], cls
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------- reference counts

from refcount import REFCOUNT_MARKS, assert_refcount_flat  # noqa: E402


def _made_and_dropped():
    def __init__(self, *, a=0, tags=None):
        self.a = a
        self.tags = [] if tags is None else tags

    cls = _classes.MessageType("Made", (), {"__slots__": ("a", "tags"), "__init__": __init__})
    assert _classes.install(cls, ("a", "tags"), (Color.RED, list))
    assert _classes.install(cls, ("a", "tags"), (0, list))  # replaces the layout
    cls(a=1, tags=None)


def _subclass_after_a_replaced_base(ns):
    sub = type(ns.Ok)("Sub", (ns.Ok,), {})
    original = vars(ns.Ok)["from_bytes"]
    ns.Ok.from_bytes = classmethod(lambda cls, data: cls)
    try:
        assert sub.from_bytes(b"") is sub
    finally:
        ns.Ok.from_bytes = original
    sub.from_bytes(b"\x08\x01")


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda ns: ns.Ok(), None),
        (lambda ns: type(ns.Ok)("Sub", (ns.Ok,), {}).from_bytes(b"\x08\x01"), None),
        (lambda ns: type(ns.Ok)("Sub", (ns.Ok,), {"__slots__": "from_bytes"}), None),
        (lambda ns: _classes.MessageType("Copy", (), {"from_bytes": vars(ns.Ok)["from_bytes"]}), None),
        (lambda ns: type(ns.Ok)("Bad", (ns.Ok,), {"__slots__": 1}), TypeError),
        (_subclass_after_a_replaced_base, None),
        (lambda ns: ns.Ok.to_bytes.__get__(ns.Ok(a=1))(), None),
        (lambda ns: (ns.Ok.to_bytes.__qualname__, ns.Ok.to_bytes.__objclass__, ns.Ok.to_bytes.__reduce__()), None),
        (lambda ns: ns.Ok.to_bytes(ns.Ok(), 1), TypeError),
        (lambda ns: ns.Ok.to_bytes(), TypeError),
        (lambda ns: ns.Ok.to_bytes(ns.Ok(), x=1), TypeError),
        (lambda ns: ns.Ok(a=1, tags=["x"], counts=None, inner=ns.Inner(n=2), _unknown_fields=b"x"), None),
        (lambda ns: ns.Ok(z=1), TypeError),
        (lambda ns: ns.Ok(1), TypeError),
        (lambda ns: ns.Ok.from_bytes(ns.Ok(a=1, tags=["x"], counts={"k": 1}, color=2, inner=ns.Inner(n=1)).to_bytes()),
         None),
        (lambda ns: _classes.EnumTable({0: ns.Color.RED})(0), None),
        (lambda ns: ns.Ok.__quillspar__.ref_fields() and _classes.EnumTable({0: 1})(5), None),
        (lambda ns: _classes.EnumTable({0: 1})([]), TypeError),
        (lambda ns: _classes.EnumTable({})(1, 2), TypeError),
        (lambda ns: _made_and_dropped(), None),
        (lambda ns: _remembered_names_round(), None),
        (lambda ns: ns.Ok.from_bytes(bytearray(b"\x08\x01")), None),
        (lambda ns: ns.Ok.from_bytes(data=b"\x08\x01"), None),
        (lambda ns: ns.Ok.from_bytes(b"\x0a"), ValueError),
        (lambda ns: ns.Ok.from_bytes("x"), TypeError),
        (lambda ns: ns.Ok(a=2**40).to_bytes(), OverflowError),
    ],
)
@pytest.mark.refcount
@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_no_leak(ns, call, expected):
    assert_refcount_flat(lambda: call(ns), expected)
