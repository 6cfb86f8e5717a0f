"""Descriptor.encode: round trips, agreement with the reference runtime in both
directions, exact bytes, scalar conversion errors and the encoder's own errors."""

import collections
import decimal
import enum
import struct
import types

import pytest
from hypothesis import given, settings, strategies as st

from codec_protos import (
    Index, Marked, Msg, Schema, all_kinds_schema, ld, messages, nested_chain, panic_type, single, varint, vint,
)

S = all_kinds_schema()
NS = types.SimpleNamespace
OUT_OF_RANGE = "out of range integral type conversion attempted"
DEPTH = "^message nesting exceeds the depth limit of 1000$"


def enc(kind, value, label="", number=1):
    type_name = ".t.M" if kind in ("enum", "message") else None
    return single(kind, label, number, type_name).desc["M"].encode(NS(v=value))


# ---------------------------------------------------------------- round trips and the reference runtime


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_round_trip_and_the_reference_runtime_both_ways(data):
    name, map_size = data.draw(st.sampled_from(["All", "Unpacked", "Wide", "Leaf"])), data.draw(st.sampled_from([1, 3]))
    x = data.draw(messages(S, name, depth=3 if name == "Leaf" else 2, map_size=map_size))
    ours, theirs = S.desc[name].encode(x), S.to_ref(x).SerializeToString(deterministic=True)
    assert S.desc[name].decode(S.cls[name], ours) == x
    assert S.from_ref(S.ref[name].FromString(ours)) == x
    assert S.desc[name].decode(S.cls[name], theirs) == x
    # All, Wide and Leaf are declared in field-number order: with one map entry
    # at most (entry order is free) our bytes are the reference runtime's own.
    if name != "Unpacked" and map_size == 1:
        assert ours == theirs


ODD = Schema([Msg("Odd").map("md", 1, "double", "string").map("mf", 2, "float", "bool")
              .map("mb", 3, "bytes", "sfixed32")], reference=False)


@settings(deadline=None)
@given(messages(ODD, "Odd"))
def test_round_trip_of_maps_with_key_kinds_the_reference_refuses(x):
    assert ODD.desc["Odd"].decode(ODD.cls["Odd"], ODD.desc["Odd"].encode(x)) == x


def leaf(**kw):
    return S.cls["Leaf"](**kw)


@pytest.mark.parametrize("fields", [
    {"r_int32": [1] * 200}, {"r_int32": [1] * 20000}, {"r_int32": [-1] * 2000}, {"r_fixed32": list(range(40))},
    {"r_double": [0.5] * 5000}, {"r_bool": [True, False] * 100}, {"re": [1, -5] * 1000},
    {"r_string": ["x" * 200, "", "y" * 20000]}, {"m": leaf(s="x" * 200)},
    {"m": leaf(s="x" * 20000, child=leaf(s="y" * 150))}, {"rm": [leaf(s="x" * 130), leaf(), leaf(r=[-1] * 3000)]},
    {"mapstringmessage": {"k": leaf(s="x" * 300)}}, {"mapfixed32message": {7: leaf(s="x" * 17000)}},
    {"mapint32string": {1: "v" * 20000}}, {"c_leaf": leaf(s="x" * 200)},
])
@pytest.mark.parametrize("as_iterator", [False, True])
def test_long_records_match_the_reference(fields, as_iterator):
    expected = S.to_ref(S.cls["All"](**fields)).SerializeToString(deterministic=True)
    if as_iterator:  # no length known in advance
        fields = {k: iter(v) if isinstance(v, list) else v for k, v in fields.items()}
    assert S.desc["All"].encode(S.cls["All"](**fields)) == expected


# ---------------------------------------------------------------- exact bytes


class Color(enum.IntEnum):
    RED = 1


EXACT = [
    ("int32", "", 1, 0, ""), ("int32", "", 1, -1, "08 ffffffffffffffffff01"), ("int32", "", 1, 150, "08 9601"),
    ("int32", "", 1, Index(5), "08 05"), ("int32", "", 1, Index(0), ""), ("int32", "", 1, Color.RED, "08 01"),
    ("int32", "optional", 1, 0, "08 00"), ("int32", "optional", 1, None, ""),
    ("int32", "repeated", 4, [1, 2, 3], "22 03 010203"), ("int32", "repeated", 4, (1, 2, 3), "22 03 010203"),
    ("int32", "repeated", 4, range(1, 4), "22 03 010203"), ("int32", "repeated", 4, [], ""),
    ("int32", "repeated", 4, set(), ""), ("int32", "repeated", 4, [-1], "22 0a ffffffffffffffffff01"),
    ("string", "repeated", 2, ["a", "b"], "12 0161 12 0162"), ("string", "repeated", 2, "ab", "12 0161 12 0162"),
    ("bytes", "repeated", 2, [b"", b"a"], "12 00 12 0161"), ("string", "", 1, "", ""),
    ("string", "", 1, type("Str", (str,), {})("é"), "0a 02c3a9"), ("string", "optional", 1, "", "0a 00"),
    ("double", "", 15, 1.0, "79 000000000000f03f"), ("int32", "", 16, 1, "8001 01"),
    ("int32", "", 2**29, 1, "8080808010 01"), ("int32", "", -1, 1, "f8ffffff7f 01"),  # field number 2**32 - 1
    ("sint32", "", 1, -1, "08 01"), ("sint32", "", 1, 1, "08 02"), ("sint32", "", 1, -(2**31), "08 ffffffff0f"),
    ("sint64", "", 1, -(2**63), "08 ffffffffffffffffff01"), ("uint32", "", 1, 2**32 - 1, "08 ffffffff0f"),
    ("uint64", "", 1, 2**64 - 1, "08 ffffffffffffffffff01"), ("uint64", "", 1, Index(7), "08 07"),
    ("int64", "", 1, True, "08 01"), ("fixed32", "", 1, 1, "0d 01000000"),
    ("fixed64", "", 1, 2**64 - 1, "09 ffffffffffffffff"), ("sfixed32", "", 1, -2, "0d feffffff"),
    ("sfixed64", "", 1, -2, "09 feffffffffffffff"), ("float", "", 1, 1.0, "0d 0000803f"),
    ("float", "", 1, 1e-50, "0d 00000000"), ("float", "", 1, 1e300, "0d 0000807f"),
    ("float", "", 1, -1e300, "0d 000080ff"), ("float", "", 1, 16777217.0, "0d 0000804b"),  # ties to even
    ("float", "", 1, -0.0, "0d 00000080"), ("double", "", 1, -0.0, "09 0000000000000080"), ("double", "", 1, 0.0, ""),
    ("double", "", 1, float("nan"), "09" + struct.pack("<d", float("nan")).hex()),
    ("double", "", 1, 3, "09 0000000000000840"), ("double", "", 1, decimal.Decimal("0.5"), "09 000000000000e03f"),
    ("bool", "", 1, True, "08 01"), ("bool", "", 1, False, ""), ("bool", "optional", 1, False, "08 00"),
    ("bool", "repeated", 1, [True, False], "0a 02 0100"), ("bytes", "", 1, b"ab", "0a 02 6162"),
    ("bytes", "", 1, bytearray(b"ab"), "0a 02 6162"), ("bytes", "", 1, [97, 98], "0a 02 6162"),
    ("bytes", "", 1, (97, 98), "0a 02 6162"), ("bytes", "", 1, memoryview(b"ab"), "0a 02 6162"),
    ("bytes", "", 1, [Index(97), True], "0a 02 6101"), ("bytes", "", 1, [], ""), ("bytes", "optional", 1, b"", "0a 00"),
    ("enum", "", 1, 0, ""), ("enum", "", 1, -5, "08 fbffffffffffffffff01"), ("enum", "optional", 1, 0, "08 00"),
    ("enum", "repeated", 1, [1, -1, Color.RED], "0a 0c 01ffffffffffffffffff0101"),
]


@pytest.mark.parametrize("kind,label,number,value,hexa", EXACT)
def test_exact_bytes(kind, label, number, value, hexa):
    assert enc(kind, value, label, number).hex() == bytes.fromhex(hexa).hex()


def test_numpy_booleans():
    np = pytest.importorskip("numpy")
    assert [enc("bool", np.True_), enc("bool", np.bool_(False)), enc("bool", np.False_, "optional"),
            enc("bool", [np.True_, False], "repeated")] == [b"\x08\x01", b"", b"\x08\x00", b"\x0a\x02\x01\x00"]
    with pytest.raises(TypeError, match="^'int64' object cannot be converted to 'PyBool'$"):
        enc("bool", np.int64(1))


# ---------------------------------------------------------------- conversion errors

LONG, ULONG = "Python int too large to convert to C long", "int too big to convert"
WIDE = "Python int larger than 128 bits"
NOT_INT, NOT_STR = "'{}' object cannot be interpreted as an integer", "'{}' object cannot be converted to 'PyString'"
NOT_BOOL, NOT_VEC = "'{}' object cannot be converted to 'PyBool'", "Can't extract `str` to `Vec`"
CONVERSION_ERRORS = [
    ("int32", "", 2**31, OverflowError, OUT_OF_RANGE), ("int32", "", -(2**31) - 1, OverflowError, OUT_OF_RANGE),
    ("sint32", "repeated", [2**31], OverflowError, OUT_OF_RANGE), ("fixed32", "", -1, OverflowError, OUT_OF_RANGE),
    ("sfixed32", "optional", -(2**31) - 1, OverflowError, OUT_OF_RANGE),
    ("uint32", "", -1, OverflowError, OUT_OF_RANGE),
    ("uint32", "", 2**32, OverflowError, OUT_OF_RANGE), ("int32", "", 2**64, OverflowError, LONG),
    ("int64", "", 2**63, OverflowError, LONG), ("sfixed64", "repeated", [-(2**63) - 1], OverflowError, LONG),
    ("uint64", "", -1, OverflowError, "can't convert negative int to unsigned"),
    ("fixed64", "optional", 2**64, OverflowError, ULONG), ("uint64", "", 2**127, OverflowError, WIDE),
    ("int32", "", -(2**127) - 1, OverflowError, WIDE), ("uint64", "", 2**127 - 1, OverflowError, ULONG),
    ("uint64", "optional", 2**127, OverflowError, ULONG), ("uint64", "repeated", [2**127], OverflowError, ULONG),
    ("int32", "", 3.0, TypeError, NOT_INT.format("float")),
    ("int32", "optional", 3.0, TypeError, NOT_INT.format("float")),
    ("uint64", "", "1", TypeError, NOT_INT.format("str")), ("int32", "", None, TypeError, NOT_INT.format("NoneType")),
    ("double", "", "x", TypeError, "must be real number, not str"), ("bool", "", 1, TypeError, NOT_BOOL.format("int")),
    ("bool", "", None, TypeError, NOT_BOOL.format("NoneType")),
    ("bool", "repeated", [True, 1], TypeError, NOT_BOOL.format("int")),
    ("string", "", None, TypeError, NOT_STR.format("NoneType")),
    ("string", "", b"ab", TypeError, NOT_STR.format("bytes")),
    ("string", "repeated", [Index(1)], TypeError, NOT_STR.format("Index")),
    ("string", "", "a\ud800", UnicodeEncodeError, None), ("string", "optional", "\udfff", UnicodeEncodeError, None),
    ("bytes", "", "ab", TypeError, NOT_VEC), ("bytes", "repeated", [b"", "ab"], TypeError, NOT_VEC),
    ("bytes", "", 5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ("bytes", "", iter([1]), TypeError, "'list_iterator' object cannot be converted to 'Sequence'"),
    ("bytes", "", [256], OverflowError, OUT_OF_RANGE), ("bytes", "optional", [-1], OverflowError, OUT_OF_RANGE),
    ("bytes", "", [1.0], TypeError, NOT_INT.format("float")), ("enum", "", 2**31, OverflowError, OUT_OF_RANGE),
    ("enum", "", 2**63, OverflowError, LONG), ("enum", "repeated", [0, -(2**31) - 1], OverflowError, OUT_OF_RANGE),
    ("int32", "repeated", None, TypeError, "'NoneType' object is not iterable"),
    ("message", "optional", 5, AttributeError, "type object 'int' has no attribute '__quillspar__'"),
    ("message", "repeated", [None], AttributeError, "type object 'NoneType' has no attribute '__quillspar__'"),
]


@pytest.mark.parametrize("kind,label,value,exc,message", CONVERSION_ERRORS)
def test_conversion_errors(kind, label, value, exc, message):
    with pytest.raises(exc) as e:
        enc(kind, value, label)
    assert type(e.value) is exc and (message is None or str(e.value) == message)


class Raises:
    """Raises its exception from every conversion hook."""

    def __init__(self, exc):
        self.exc = exc

    def hook(self, *args):
        raise self.exc

    __index__ = __float__ = __iter__ = __len__ = __getitem__ = hook


@pytest.mark.parametrize("kind,label", [("int32", ""), ("int32", "optional"), ("uint64", ""), ("sint64", "repeated"),
                                        ("double", ""), ("float", "repeated"), ("enum", ""), ("bytes", ""),
                                        ("bytes", "repeated"), ("int32", "repeated")])
def test_exceptions_from_value_hooks_pass_unchanged(kind, label):
    boom = LookupError("boom")
    with pytest.raises(LookupError) as e:  # the repeated int32 field iterates the object itself
        enc(kind, [Raises(boom)] if label == "repeated" and kind != "int32" else Raises(boom), label)
    assert e.value is boom


# ---------------------------------------------------------------- encoder errors


def oneof_schema():
    m = Msg("O")
    first, second = m.oneof("choice"), m.oneof("other")
    m.add("x", 1, "int32").add("a", 2, "int32", oneof=first).add("b", 3, "string", oneof=first)
    m.add("c", 4, "message", oneof=first, type_name=".t.O").add("p", 5, "int32", oneof=second)
    m.add("q", 6, "int32", oneof=second).add("o1", 7, "int32", "optional").add("o2", 8, "int32", "optional")
    return Schema([m], reference=False)


O = oneof_schema()
o = O.cls["O"]


@pytest.mark.parametrize("fields,result", [
    ({"a": 0, "b": ""}, "choice' may be set, got 2"), ({"a": 0, "b": "", "c": o()}, "choice' may be set, got 3"),
    ({"p": 1, "q": 2, "a": 1, "c": o()}, "choice' may be set, got 2"), ({"p": 1, "q": 2}, "other' may be set, got 2"),
    ({"a": 0}, "1000"), ({"c": o(), "q": 0, "x": 3}, "0803 2200 3000"), ({"o1": 0, "o2": 0}, "3800 4000"),
])
def test_oneofs(fields, result):
    if "set" in result:
        with pytest.raises(ValueError, match=f"^at most one member of oneof '{result}$"):
            O.desc["O"].encode(o(**fields))
    else:
        assert O.desc["O"].encode(o(**fields)) == bytes.fromhex(result)


def test_oneof_check_comes_before_any_field_is_read():
    class Lazy(o):
        x = property(lambda self: 1 / 0, lambda self, value: None)

    with pytest.raises(ValueError, match="oneof 'choice'"):
        O.desc["O"].encode(Lazy(a=1, b="b"))
    m = Msg("Bad").add("a", 1, "int32", oneof=3)
    m.oneof("only")
    with pytest.raises(BaseException) as e:
        Schema([m], reference=False).desc["Bad"].encode(NS(a=1))
    panic_type(e.value)
    assert str(e.value) == "index out of bounds: the len is 1 but the index is 3"


MAPS = Schema([Msg("Mp").map("mp", 3, "string", "int32").map("mm", 4, "int32", "message", ".t.Mp")
               .map("me", 5, "bool", "enum", ".t.E")], reference=False)
Mp = MAPS.cls["Mp"]


@pytest.mark.parametrize("value", [None, [("a", 1)], types.MappingProxyType({"a": 1}), collections.UserDict(a=1)])
def test_map_field_must_be_a_dict(value):
    with pytest.raises(TypeError, match="^map field must be a dict$"):
        MAPS.desc["Mp"].encode(NS(mp=value, mm={}, me={}))


def test_maps():
    d = MAPS.desc["Mp"]
    assert d.encode(Mp(mp={"a": 0})).hex() == "1a050a01611000"
    assert d.encode(Mp(mp=collections.OrderedDict(b=1, a=2))).hex() == "1a050a01621001" "1a050a01611002"
    assert d.encode(Mp(mm={0: Mp()}, me={False: 0})).hex() == "220408001200" "2a0408001000"
    big = Mp(mp={"k": 2**31 - 1, "x" * 200: 1})
    assert d.encode(Mp(mm={-1: big})) == ld(4, vint(1, -1) + ld(2, d.encode(big)))
    with pytest.raises(OverflowError, match=OUT_OF_RANGE):
        d.encode(Mp(me={True: 2**31}))
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        d.encode(Mp(mp={1: 1}))


@pytest.mark.parametrize("keys,mutation,message", [
    ("abc", lambda d: d.__setitem__("new", 1), "dictionary changed size during iteration"),
    ("abc", lambda d: d.pop("c"), "dictionary changed size during iteration"),
    ("a", lambda d: (d.pop("a"), d.__setitem__("z", 1)), "dictionary keys changed during iteration"),
])
def test_dictionary_changed_while_its_map_is_encoded(keys, mutation, message):
    class Mutating:
        def __index__(self):
            mutation(mp)
            return 1

    mp = {k: Mutating() for k in keys}
    with pytest.raises(BaseException) as e:
        MAPS.desc["Mp"].encode(Mp(mp=mp))
    panic_type(e.value)
    assert str(e.value) == message


def test_nested_values():
    d = S.desc["All"]
    with pytest.raises(TypeError, match="^nested value is not a quillspar message$"):
        d.encode(S.cls["All"](m=Marked()))
    with pytest.raises(AttributeError, match="__quillspar__"):
        d.encode(S.cls["All"](rm=[leaf(), 5]))
    # A value of another message class is written with that class's own schema.
    assert d.encode(S.cls["All"](m=Mp(mp={"a": 0}))) == ld(49, MAPS.desc["Mp"].encode(Mp(mp={"a": 0})))
    assert d.encode(S.cls["All"](m=leaf())) == bytes.fromhex("8a0300")


def test_attribute_errors_pass_unchanged():
    boom = KeyError("boom")
    desc = single("int32").desc["M"]
    with pytest.raises(AttributeError, match="^'types.SimpleNamespace' object has no attribute 'v'$"):
        desc.encode(NS())
    with pytest.raises(KeyError) as e:
        desc.encode(type("Prop", (), {"v": property(Raises(boom).hook)})())
    assert e.value is boom


def test_packed_run_whose_list_changes_while_it_is_written():
    desc = single("int32", "repeated").desc["M"]

    class Clears:
        def __index__(self):
            items.clear()
            return 1

    class Grows:
        def __index__(self):
            items.extend([1] * 299)
            return 1

    items = [Clears()] + [1] * 199
    assert desc.encode(NS(v=items)) == bytes.fromhex("0a0101")
    items = [Grows()]
    assert desc.encode(NS(v=items)) == b"\x0a" + varint(300) + b"\x01" * 300


# ---------------------------------------------------------------- nesting depth and re-entry

N = Schema([Msg("Node").add("child", 1, "message", "", ".t.Node").add("v", 2, "int32")], reference=False)
Node = N.cls["Node"]


def test_nesting_depth():
    def chain(levels):
        top = Node(v=7)
        for _ in range(levels - 1):
            top = Node(child=top)
        return top

    assert N.desc["Node"].encode(chain(1000)) == nested_chain(1000, vint(2, 7))
    loop = Node()
    loop.child = loop
    for value in (chain(1001), loop):
        with pytest.raises(RecursionError, match=DEPTH):
            N.desc["Node"].encode(value)
    N.desc["Node"].link({})  # no borrow was left behind


def test_reentry_while_linking_and_encoding():
    d = N.desc["Node"]
    outer = single("message", "optional", type_name=".t.Node").desc["M"]
    seen = []

    class Key:
        def __index__(self):
            for call in (lambda: d.encode(Node(child=Node())), lambda: outer.encode(NS(v=Node()))):
                try:
                    call()
                except BaseException as e:  # noqa: B036 - PanicException is a BaseException
                    seen.append(e)
            return 5

    d.link({Key(): int})
    assert type(seen[0]) is RuntimeError and str(seen[0]) == "Already mutably borrowed"
    panic_type(seen[1])
    assert str(seen[1]) == "Already mutably borrowed: PyBorrowError"
    relinks = type("Relinks", (), {"__quillspar__": d, "child": None, "v": property(lambda self: d.link({}))})
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        d.encode(Node(child=relinks()))
    assert d.encode(Node(v=1)) == b"\x10\x01"


@pytest.mark.parametrize("kind,items", [("int32", [1, 2]), ("string", ["a", "b"]), ("enum", [1, 2])])
def test_each_iterable_is_iterated_once(kind, items):
    class Once:  # its own iterator: a second iter() shows in `calls`
        def __iter__(self):
            calls.append("iter")
            return self

        def __next__(self):
            if not left:
                raise StopIteration
            return left.pop(0)

    calls, left = [], list(items)
    assert enc(kind, Once(), "repeated") == enc(kind, items, "repeated") and calls == ["iter"]
