"""Descriptor.decode: extreme values from the reference runtime, malformed input,
lenient wire types, strings, linking, re-entry and error paths."""

import struct

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
from google.protobuf.message import DecodeError
from hypothesis import given, settings, strategies as st

from codec_protos import (
    COLOR, SCALARS, Boom, Marked, Msg, Schema, all_kinds_schema, canon, fixed32, fixed64, ld, messages,
    panic_type, raising, small_schema, tag, vint,
)
from quillspar._core import compile_descriptor

S = all_kinds_schema()
W = small_schema()
Sub, Small, Color = W.cls["Sub"], W.cls["Small"], W.enum["Color"]


def decode(data, schema=W, name="Small"):
    return schema.desc[name].decode(schema.cls[name], data)


# ---------------------------------------------------------------- against the reference runtime

EXTREMES = {
    "double": [float("nan"), -float("inf"), -0.0, 5e-324, 1.7976931348623157e308],
    "float": [float("nan"), float("inf"), -0.0, 1.401298464324817e-45, 3.4028234663852886e38],
    "int32": [-(2**31), 2**31 - 1, -1], "int64": [-(2**63), 2**63 - 1], "uint32": [2**32 - 1],
    "uint64": [2**64 - 1], "sint32": [-(2**31), 2**31 - 1], "sint64": [-(2**63), 2**63 - 1],
    "fixed32": [2**32 - 1], "fixed64": [2**64 - 1], "sfixed32": [-(2**31)], "sfixed64": [-(2**63)],
    "bool": [True], "string": ["é", "日本語", "\U0001f600", "\x00", "x" * 300], "bytes": [b"\x00\xff" * 100],
}


@pytest.mark.parametrize("kind,value", [(k, v) for k in SCALARS for v in EXTREMES[k]])
def test_extreme_values_match_the_reference(kind, value):
    ref = S.ref["All"]()
    setattr(ref, "f_" + kind, value)
    setattr(ref, "o_" + kind, value)
    getattr(ref, "r_" + kind).extend([value, value])
    got = decode(ref.SerializeToString(), S, "All")
    assert got == S.from_ref(ref)
    assert canon([getattr(got, "o_" + kind)] + getattr(got, "r_" + kind)) == canon([value] * 3)


@settings(max_examples=150, deadline=None)
@given(messages(S, "All"), st.integers(0, 400), st.integers(0, 400), st.binary(max_size=12))
def test_damaged_bytes_fail_cleanly(x, cut, resume, junk):
    data = S.desc["All"].encode(x)
    data = data[:cut] + junk + data[max(cut, resume):]
    try:
        got = decode(data, S, "All")
    except UnicodeDecodeError as e:
        assert e.reason == "invalid utf-8 in string field"
    except ValueError as e:  # an enum number Color refuses, too
        assert str(e).startswith("malformed protobuf data: ") or " is not a valid Color" in str(e), e
    else:  # what survives the damage reads as the reference reads it, and travels on unchanged
        assert got == S.from_ref(S.ref["All"].FromString(data))
        assert decode(S.desc["All"].encode(got), S, "All") == got


# ---------------------------------------------------------------- hand-made wire data

MALFORMED = [
    (b"\x08", "UnexpectedEof"), (b"\x08\x96", "UnexpectedEof"), (b"\x80", "UnexpectedEof"),
    (b"\x08" + b"\xff" * 9 + b"\x80", "VarintOverflow"), (b"\x08" + b"\xff" * 9 + b"\x80\x01", "VarintOverflow"),
    (b"\x0b", "InvalidWireType(3)"), (b"\x0c", "InvalidWireType(4)"), (b"\x0e", "InvalidWireType(6)"),
    (b"\x0f", "InvalidWireType(7)"), (vint(1, 1) + tag(1000, 3), "InvalidWireType(3)"),
    (b"\x12\x05ab", "InvalidLength"), (b"\x12" + b"\xff" * 9 + b"\x01", "InvalidLength"),
    (b"\x1a\x01", "InvalidLength"), (tag(11, 2) + b"\x03ab", "InvalidLength"),
    (b"\x29" + b"\x00" * 7, "UnexpectedEof"), (b"\x55" + b"\x00" * 3, "UnexpectedEof"),
    (b"\x22\x06" + b"\x00" * 6, "UnexpectedEof"),  # a packed fixed32 run of 6 bytes
    (b"\x3a\x02\x01\x80", "UnexpectedEof"), (tag(12, 2) + b"\x01\x80", "UnexpectedEof"),
    (vint(1, 5) + b"\x00", "InvalidFieldNumber"),  # trailing 0x00: tag of field 0
    (tag(8, 0), "UnexpectedEof"), (tag(8, 5), "UnexpectedEof"), (tag(6, 0), "UnexpectedEof"),
    (ld(6, b"\x08"), "UnexpectedEof"), (ld(6, vint(1, 1) + b"\x0b"), "InvalidWireType(3)"),
    (ld(9, b"\x0b"), "InvalidWireType(3)"), (ld(9, b"\x0a\x05a"), "InvalidLength"),
    (tag(9, 2) + b"\x05\x0a", "InvalidLength"), (ld(13, ld(2, b"\x08")), "UnexpectedEof"),
    (tag(101, 1) + b"\x00" * 7, "UnexpectedEof"), (tag(101, 5) + b"\x00" * 3, "UnexpectedEof"),
    (tag(101, 2) + b"\x02\x00", "InvalidLength"), (vint(1, 1) + tag(100, 0), "UnexpectedEof"),
    # each occurrence of a message is a whole encoding: occurrences are not glued into one record
    (ld(6, b"\x08") + ld(6, b"\x01"), "UnexpectedEof"), (ld(6, vint(1, 1)) + ld(6, b"\x0b"), "InvalidWireType(3)"),
]


BAD_TAGS = [b"\x00\x00", vint(0, 1), tag(0, 2) + b"\x00", tag(0, 5) + b"\x00" * 4, tag(2**29, 0) + b"\x01",
            tag(2**32 + 1, 0) + b"\x05",  # once read as field 1
            b"\x88\x80\x80\x80\x80\x00\x05", b"\x88\x80\x80\x80\x10\x05",  # six bytes; five, above 2^32
            tag(2**60, 0) + b"\x01"]


@pytest.mark.parametrize("where", [lambda t: t, lambda t: vint(1, 5) + t, lambda t: ld(6, t), lambda t: ld(9, t),
                                   lambda t: ld(13, ld(2, t)), lambda t: ld(6, vint(1, 1)) + ld(6, t)])
@pytest.mark.parametrize("bad_tag", BAD_TAGS)
def test_invalid_field_numbers_are_malformed(bad_tag, where):
    with pytest.raises(DecodeError):
        W.ref["Small"].FromString(where(bad_tag))
    with pytest.raises(ValueError) as e:
        decode(where(bad_tag))
    assert type(e.value) is ValueError and str(e.value) == "malformed protobuf data: InvalidFieldNumber"


@pytest.mark.parametrize("data,error", MALFORMED)
def test_malformed_input(data, error):
    with pytest.raises(DecodeError):
        W.ref["Small"].FromString(data)
    with pytest.raises(ValueError) as e:
        decode(data)
    assert type(e.value) is ValueError and str(e.value) == "malformed protobuf data: " + error


LENIENT = [
    (b"", {}), (b"\x08\x80\x00", {"a": 0}), (b"\x08" + b"\xff" * 9 + b"\x7f", {"a": -1}),
    (vint(1, 2**32 - 1), {"a": -1}), (vint(15, 2**32 + 7), {"u": 7}), (vint(16, 1), {"sb": -1}),
    (vint(16, 4294967294), {"sb": 2**31 - 1}), (vint(18, 3), {"s64": -2}), (vint(17, 2), {"bo": True}),
    (vint(1, 1) + vint(1, 2), {"a": 2}),
    # a wire type that cannot hold the field: an unknown field, skipped by its own wire type
    (fixed64(1, 7) + ld(2, b"x"), {"s": "x"}), (vint(2, 1) + fixed32(5, 1), {}), (ld(1, b"\x05"), {}),
    (vint(11, 5) + ld(11, b"z"), {"rs": ["z"]}), (ld(7, b"") + fixed32(7, 9), {"ri": []}),
    (vint(4, 5) + fixed64(4, 5) + fixed32(7, 5) + fixed32(12, 5) + vint(6, 2) + fixed64(13, 1), {}),
    (tag(8, 1) + bytes.fromhex("0118051806188501"), {}),  # once read as e=1, then two more values
    (tag(8, 5) + b"\x02\x00\x00\x00" + vint(1, 3), {"a": 3}), (ld(8, b"\x02"), {}),
    (tag(6, 0) + b"\x02\x08\x05", {"a": 5}),  # once a message holding x=5
    (tag(9, 0) + b"\x03" + ld(2, b"k"), {"s": "k"}), (fixed32(14, 0x0308) + ld(14, vint(1, 3)), {"me": {3: 0}}),
    # packed and unpacked elements mix, in order
    (vint(7, 1) + ld(7, b"\x02\x03") + vint(7, 4), {"ri": [1, 2, 3, 4]}),
    (fixed32(4, 5) + ld(4, struct.pack("<II", 6, 7)), {"rf": [5, 6, 7]}),
    (vint(12, 1) + ld(12, b"\x02\x00") + fixed32(12, 1), {"re": [1, 2, 0]}),
    (vint(8, 2**32 - 5), {"e": Color.NEG}),
    # a message that occurs again is merged
    (ld(6, vint(1, 1) + ld(2, b"a")) + ld(6, vint(1, 2)), {"m": Sub(x=2, y="a")}),
    (ld(6, ld(2, b"a")) + vint(1, 7) + ld(6, b"") + ld(6, vint(1, 2)), {"a": 7, "m": Sub(x=2, y="a")}),
    # map entries: missing parts take defaults, later entries and values win
    (ld(9, b""), {"mp": {"": 0}}), (ld(9, vint(2, 7)), {"mp": {"": 7}}), (ld(9, ld(1, b"k")), {"mp": {"k": 0}}),
    (ld(9, ld(1, b"k") + vint(2, 1)) + ld(9, ld(1, b"k") + vint(2, 2)), {"mp": {"k": 2}}),
    (ld(9, vint(2, 1) + ld(1, b"k") + vint(2, 3)), {"mp": {"k": 3}}),
    (ld(13, ld(1, b"k")), {"mm": {"k": Sub()}}), (ld(14, vint(1, 3)), {"me": {3: Color.ZERO}}),
    (ld(19, vint(1, 3)), {"ms": {3: ""}}),
    # a message value that occurs twice in one entry is merged; entries with one key replace each other
    (ld(13, ld(2, vint(1, 1)) + ld(1, b"k") + ld(2, ld(2, b"y"))), {"mm": {"k": Sub(x=1, y="y")}}),
    (ld(13, ld(1, b"k") + ld(2, vint(1, 1))) + ld(13, ld(1, b"k") + ld(2, ld(2, b"y"))), {"mm": {"k": Sub(y="y")}}),
    (fixed32(101, 0) + fixed64(102, 0) + ld(103, b"abc") + vint(2**29 - 1, 1) + vint(1, 9), {"a": 9}),
    (b"\x88\x80\x80\x80\x00\x05", {"a": 5}),  # an over-long tag of five bytes
]


# The reference runtime keeps a map entry that holds an unknown field as an unknown field of
# the message; here the entry is decoded, its unknown fields dropped.
ENTRIES_WITH_UNKNOWN_FIELDS = [
    (ld(9, ld(1, b"k") + vint(3, 9)), {"mp": {"k": 0}}), (ld(9, vint(1, 5) + vint(2, 1)), {"mp": {"": 1}}),
    (ld(13, ld(1, b"k") + vint(2, 5)), {"mm": {"k": Sub()}}), (ld(14, vint(1, 3) + fixed32(2, 1)), {"me": {3: 0}}),
]


@pytest.mark.parametrize("data,fields", LENIENT)
def test_wire_cases(data, fields):
    assert decode(data) == Small(**fields) == W.from_ref(W.ref["Small"].FromString(data))
    kw = keeping(W, "Small")(data)  # with the option, the unknown fields the reference runtime keeps, last
    if unknown := reference_unknown(W.ref["Small"], data):
        assert list(kw)[-1] == "_unknown_fields" and kw.pop("_unknown_fields") == unknown
    assert "_unknown_fields" not in kw and Small(**kw) == Small(**fields)


@pytest.mark.parametrize("data,fields", ENTRIES_WITH_UNKNOWN_FIELDS)
def test_map_entries_drop_their_unknown_fields(data, fields):
    assert decode(data) == Small(**fields)


def test_enum_values_come_from_the_linked_class_or_stay_ints():
    data = vint(8, 2) + ld(12, b"\x01\x00") + ld(14, vint(1, 1) + vint(2, 2))
    for schema, cls in ((W, Color), (small_schema(link=False), int)):
        got = decode(data, schema)
        assert [type(v) for v in (got.e, *got.re, got.me[1])] == [cls] * 4


def test_keyword_order_seen_by_a_kwargs_constructor():
    class Rec:
        def __init__(self, *args, **kw):
            self.args, self.kw = args, kw

    rec = W.desc["Small"].decode(Rec, vint(8, 1) + vint(1, 3) + ld(2, b"s") + vint(8, 2))
    assert list(rec.kw.items())[-3:] == [("e", 2), ("a", 3), ("s", "s")]
    assert list(rec.kw)[:-3] == ["rf", "ri", "rs", "re", "mp", "mm", "me", "ms"]
    assert W.desc["Sub"].decode(Rec, b"").__dict__ == {"args": (), "kw": {}}


def test_nested_messages_are_made_in_input_order_and_merged_ones_at_the_end():
    made = []

    class Leaf:
        def __init__(self, **kw):
            made.append(kw.get("x", 0))
            self.kw = kw

    class Outer:
        def __init__(self, **kw):
            made.append("outer")
            self.kw = kw

    leaf = compile_descriptor(Msg("Leaf").add("x", 1, "int32").serialize())
    outer = compile_descriptor(Msg("Outer").add("a", 1, "message", "", ".t.Leaf").add("b", 2, "message", "", ".t.Leaf")
                               .serialize())
    Leaf.__quillspar__ = leaf
    outer.link({1: Leaf, 2: Leaf})
    outer.decode(Outer, ld(2, vint(1, 2)) + ld(1, vint(1, 1)))
    assert made == [2, 1, "outer"]
    made.clear()
    got = outer.decode(Outer, ld(1, vint(1, 1)) + ld(2, vint(1, 2)) + ld(1, vint(1, 3)))
    assert made == [1, 2, 3, "outer"] and list(got.kw) == ["a", "b"] and got.kw["a"].kw == {"x": 3}


@pytest.mark.parametrize("base", [1, 3000])
def test_first_field_of_a_duplicated_number_wins(base):
    d = Msg("Dup").add("a", base, "int32", "repeated").add("b", base, "int32", "repeated")
    d.add("c", base + 1, "message", "", ".t.Sub").add("d", base + 1, "message", "", ".t.Sub")
    d.add("x", base + 2, "int32").add("y", base + 2, "string")
    D = Schema([Msg("Sub").add("x", 1, "int32").add("y", 2, "string"), d], reference=False)
    data = vint(base, 5) + ld(base, b"\x06") + ld(base + 1, ld(2, b"q")) + ld(base + 2, b"hi")
    assert decode(data, D, "Dup") == D.cls["Dup"](a=[5, 6], b=[], c=D.cls["Sub"](y="q"))


# ---------------------------------------------------------------- strings

BAD_UTF8 = [b"\xff", b"a\x80b", b"ab\xc3", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
            b"\xf8\x88\x80\x80\x80", b"ok\xe2\x82", b"\xe2\x28\xa1", b"\xf0\x9f\x98"]
PLACES = {"field": lambda raw: ld(2, raw), "element": lambda raw: ld(11, b"ok") + ld(11, raw),
          "key": lambda raw: ld(9, ld(1, raw)), "value": lambda raw: ld(19, ld(2, raw)),
          "nested": lambda raw: ld(6, ld(2, raw))}


def check_utf8(raw, data):
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as expected:
        with pytest.raises(UnicodeDecodeError) as e:
            decode(data)
        assert (e.value.encoding, e.value.object, e.value.start, e.value.end, e.value.reason) == (
            "utf-8", raw, expected.start, expected.end, "invalid utf-8 in string field")
    else:
        assert decode(data).s == text


@pytest.mark.parametrize("raw", BAD_UTF8)
@pytest.mark.parametrize("place", PLACES)
def test_invalid_utf8_is_located_like_the_interpreter_does(raw, place):
    check_utf8(raw, PLACES[place](raw))


@settings(deadline=None)
@given(st.binary(max_size=12) | st.text(max_size=4).map(lambda s: s.encode() + b"\xed\xbf\xbf"))
def test_utf8_validation_agrees_with_the_interpreter(raw):
    check_utf8(raw, ld(2, raw))


# ---------------------------------------------------------------- linking and callbacks


class NotAType:
    __quillspar__ = W.desc["Sub"]


@pytest.mark.parametrize("linked,exc,message", [
    ("unlinked", RuntimeError, "message field was not linked to a class"),
    (Marked, TypeError, "linked class is not a quillspar message"),
    (NotAType(), TypeError, "'NotAType' object cannot be converted to 'PyType'"),
    (int, AttributeError, "type object 'int' has no attribute '__quillspar__'"),
    (None, AttributeError, "'NoneType' object has no attribute '__quillspar__'"),
])
@pytest.mark.parametrize("data", [ld(6, b""), ld(13, ld(2, b"")), ld(13, b""), ld(13, ld(1, b"k"))])
def test_bad_links(linked, exc, message, data):
    X = small_schema(reference=False, link=linked != "unlinked")
    if linked != "unlinked":
        X.desc["Small"].link({6: linked, 13: linked})
    assert decode(vint(1, 1), X).m is None  # fails only when the field is present
    with pytest.raises(exc) as e:
        decode(data, X)
    assert type(e.value) is exc and str(e.value) == message


@pytest.mark.parametrize("data,refused", [(vint(8, 7), True), (vint(12, 7), True), (ld(12, b"\x00\x07"), True),
                                          (ld(14, vint(2, 7)), True), (ld(6, b""), False), (ld(13, b""), False),
                                          (ld(13, ld(2, b"")), False)])
def test_exceptions_from_linked_callables_propagate(data, refused):
    if refused:
        with pytest.raises(ValueError, match="^7 is not a valid Color\n"):
            decode(data)
    X = small_schema(reference=False)
    Bad = type("Bad", (), {"__quillspar__": X.desc["Sub"], "__init__": raising})
    X.desc["Small"].link({6: Bad, 13: Bad, 8: raising, 12: raising, 14: raising})
    for cls in (Small, Bad):
        with pytest.raises(Boom):
            X.desc["Small"].decode(cls, data)


def test_link_from_a_constructor_during_decode_is_refused():
    X = small_schema(reference=False)
    outer, inner = X.desc["Small"], X.desc["Sub"]

    def relinking(desc, marker=inner):
        return type("Relink", (), {"__quillspar__": marker, "__init__": lambda self, **kw: desc.link({})})

    for cls in (relinking(inner), relinking(outer)):  # the nested level's own descriptor, the outer one
        outer.link({6: cls})
        with pytest.raises(RuntimeError, match="^Already borrowed\n"):
            outer.decode(Small, ld(6, b""))
    with pytest.raises(RuntimeError, match="^Already borrowed\n"):
        outer.decode(relinking(outer), b"")
    outer.link({})  # every borrow was released
    inner.link({})


def test_decode_while_a_nested_descriptor_is_being_linked():
    X = small_schema(reference=False)
    outer, inner = X.desc["Small"], X.desc["Sub"]
    seen = []

    class Key:
        def __index__(self):
            for d, data in [(outer, ld(6, b"")), (outer, ld(13, b"")), (inner, b"")]:
                try:
                    d.decode(Small, data)
                except BaseException as e:  # noqa: B036 - PanicException is a BaseException
                    seen.append(e)
            return 99

    inner.link({Key(): int})
    panic = panic_type(seen[0])
    assert [type(e) for e in seen] == [panic, panic, RuntimeError]
    assert [str(e) for e in seen] == ["Already mutably borrowed: PyBorrowError"] * 2 + ["Already mutably borrowed"]
    assert outer.decode(Small, ld(6, b"")).m == X.cls["Sub"]()


# ---------------------------------------------------------------- merging, against the reference runtime


@settings(max_examples=80, deadline=None)
@given(messages(S, "All"), messages(S, "All"))
def test_concatenated_messages_merge_like_the_reference(x, y):
    # Every depth: Leaf.child, All.m, the oneof member c_leaf (merged when both pick it,
    # replaced otherwise), map values (replaced by key), repeated fields (appended).
    data = S.to_ref(x).SerializeToString() + S.to_ref(y).SerializeToString()
    assert decode(data, S, "All") == S.from_ref(S.ref["All"].FromString(data))


LEAF = {"a": vint(1, 1), "s": ld(2, b"s"), "r": ld(3, b"\x02"), "child": ld(4, vint(1, 2)), "c": vint(5, 1)}


@pytest.mark.parametrize("data", [
    ld(72, LEAF["a"] + LEAF["child"]) + ld(72, LEAF["s"] + ld(4, LEAF["s"])),  # a oneof member twice: merged
    ld(72, LEAF["a"]) + vint(70, 5) + ld(72, LEAF["s"]),  # another member in between resets it
    ld(72, LEAF["a"]) + ld(71, b"x") + ld(72, LEAF["s"]) + ld(72, LEAF["r"]),
    ld(49, LEAF["a"]) + ld(72, LEAF["s"]) + ld(49, LEAF["child"] + LEAF["r"]) + ld(49, ld(4, LEAF["c"])),
    ld(49, ld(4, ld(4, LEAF["a"]))) + ld(49, ld(4, ld(4, LEAF["s"]) + LEAF["r"])),  # three levels down
    ld(49, LEAF["r"]) + ld(49, LEAF["r"]) + ld(50, LEAF["a"]) + ld(50, LEAF["s"]),  # repeated: appended; elements apart
    ld(62, ld(1, b"k") + ld(2, LEAF["a"]) + ld(2, LEAF["s"])) + ld(62, ld(1, b"j") + ld(2, LEAF["r"])),
    ld(62, ld(1, b"k") + ld(2, LEAF["a"])) + ld(62, ld(2, LEAF["s"]) + ld(1, b"k")),  # same key: the last entry
])
def test_merge_cases_match_the_reference(data):
    assert decode(data, S, "All") == S.from_ref(S.ref["All"].FromString(data))


def test_a_dropped_oneof_member_is_still_checked():
    with pytest.raises(DecodeError):
        S.ref["All"].FromString(ld(72, ld(2, b"\xff")) + vint(70, 1))
    with pytest.raises(UnicodeDecodeError):
        decode(ld(72, ld(2, b"\xff")) + vint(70, 1), S, "All")


# ---------------------------------------------------------------- unknown fields, kept on request

KEEP = ld(7, vint(50555, 1))  # MessageOptions: quillspar's keep-unknown-fields option


class Kw:
    """A message class that takes any keywords, in order."""

    def __init__(self, **kw):
        self.kw = kw


def keeping(S, name, options=KEEP):
    """S's message `name` compiled with `options`, decoding into Kw, linked like S's own."""
    d = compile_descriptor(S.protos[name].SerializeToString() + options)
    d.link({n: S.cls.get(t) or S.enum[t] for n, t in d.ref_fields()})
    return lambda data: d.decode(Kw, data).kw


def reference_unknown(ref_cls, data):
    """The unknown fields the reference runtime keeps for `data`, as bytes."""
    m = ref_cls.FromString(data)
    for f in m.DESCRIPTOR.fields:
        m.ClearField(f.name)
    return m.SerializeToString()


@pytest.mark.parametrize("options", [b"", ld(7, vint(50555, 0)), ld(7, vint(50555, 1) + vint(50555, 0)),
                                     ld(7, fixed32(50555, 1)), ld(7, vint(50554, 1))])
def test_unknown_fields_dropped_without_the_option(options):
    assert keeping(W, "Small", options)(vint(100, 1) + vint(1, 2) + fixed64(6, 0)) == {
        **{f: [] for f in ("rf", "ri", "rs", "re")}, **{f: {} for f in ("mp", "mm", "me", "ms")}, "a": 2}


def test_unknown_fields_of_merged_occurrences_and_of_every_wire_type():
    records = [vint(100, 2**64 - 1), fixed64(101, 1), ld(102, b"\x0b"), fixed32(103, 7), b"\xc0\x86\x80\x80\x00\x01"]
    data = ld(49, records[0] + LEAF["a"] + records[1]) + vint(3, 3) + records[2] + ld(49, records[3] + records[4])
    leaf = descriptor_pb2.DescriptorProto()
    leaf.CopyFrom(S.protos["Leaf"])
    leaf.options.MergeFromString(vint(50555, 1))  # the option as the reference runtime carries it along
    d = compile_descriptor(leaf.SerializeToString())
    Leaf = type("Leaf", (Kw,), {"__quillspar__": d})
    d.link({4: Leaf})
    top = compile_descriptor(S.protos["All"].SerializeToString() + KEEP)
    top.link({n: (Leaf if t == "Leaf" else S.enum.get(t) or S.cls.get(t)) for n, t in top.ref_fields()})
    got = top.decode(Kw, data).kw
    assert got["_unknown_fields"] == records[2] and got["f_int32"] == 3
    assert got["m"].kw == {"r": [], "a": 1, "_unknown_fields": records[0] + records[1] + records[3] + records[4]}
    ref = S.ref["All"].FromString(data)
    assert reference_unknown(type(ref.m), ref.m.SerializeToString()) == got["m"].kw["_unknown_fields"]


def pool_enum():
    e = descriptor_pb2.EnumDescriptorProto(name="Color")
    e.value.extend(descriptor_pb2.EnumValueDescriptorProto(name=k, number=v) for k, v in COLOR.items())
    return e


@settings(max_examples=60, deadline=None)
@given(messages(S, "All", depth=1), st.sets(st.sampled_from([f.name for f in S.protos["All"].field
                                                             if not f.HasField("oneof_index")])))
def test_fields_a_schema_lacks_pass_through_like_the_reference(x, removed):
    full = S.to_ref(x).SerializeToString()
    partial = descriptor_pb2.DescriptorProto()
    partial.CopyFrom(S.protos["All"])
    del partial.field[:]
    partial.field.extend(f for f in S.protos["All"].field if f.name not in removed)
    d = compile_descriptor(partial.SerializeToString() + KEEP)
    d.link({n: S.cls.get(t) or S.enum[t] for n, t in d.ref_fields()})
    kw = d.decode(Kw, full).kw
    pool = descriptor_pool.DescriptorPool()
    pool.Add(descriptor_pb2.FileDescriptorProto(name="partial.proto", package="t", syntax="proto3",
                                                enum_type=[pool_enum()], message_type=[S.protos["Leaf"], partial]))
    ref_cls = message_factory.GetMessageClass(pool.FindMessageTypeByName("t.All"))
    assert kw.pop("_unknown_fields", b"") == reference_unknown(ref_cls, full)
    assert S.cls["All"](**kw) == S.from_ref(ref_cls.FromString(full))


# ---------------------------------------------------------------- where a decode failed


@pytest.mark.parametrize("data, exc, note", [
    (b"\x0b", ValueError, "Small"),
    (vint(8, 7), ValueError, "Small.e"),
    (vint(1, 1) + b"\x08", ValueError, "Small.a"),
    (ld(12, b"\x00\x07"), ValueError, "Small.re[1]"),
    (vint(12, 0) + vint(12, 7), ValueError, "Small.re[1]"),
    (ld(11, b"ok") + ld(11, b"\xff"), UnicodeDecodeError, "Small.rs[1]"),
    (ld(6, ld(2, b"\xff")), UnicodeDecodeError, "Small.m.y"),
    (ld(6, vint(1, 1)) + ld(6, b"\x0b"), ValueError, "Small.m"),
    (ld(14, vint(1, 3) + vint(2, 7)), ValueError, "Small.me[3]"),
    (ld(14, vint(2, 7)), ValueError, "Small.me"),  # no key yet
    (ld(13, ld(1, b"k") + ld(2, ld(2, b"\xff"))), UnicodeDecodeError, "Small.mm['k'].y"),
    (ld(9, ld(1, b"\xff")), UnicodeDecodeError, "Small.mp"),
    (ld(19, vint(1, -1) + ld(2, b"\xff")), UnicodeDecodeError, "Small.ms[-1]"),
])
def test_errors_name_where_they_happened(data, exc, note):
    with pytest.raises(exc) as e:
        decode(data)
    assert type(e.value) is exc and e.value.__notes__ == ["while decoding " + note]


def test_error_paths_at_depth():
    data = ld(50, b"") * 2 + ld(50, ld(4, ld(4, LEAF["a"]) + ld(2, b"\xc0")))
    with pytest.raises(UnicodeDecodeError) as e:
        decode(data, S, "All")
    assert e.value.__notes__ == ["while decoding All.rm[2].child.s"]
    X = small_schema(reference=False)
    Bad = type("Bad", (), {"__quillspar__": X.desc["Sub"], "__init__": raising})
    X.desc["Small"].link({6: Bad})
    with pytest.raises(Boom) as e:
        X.desc["Small"].decode(Small, ld(6, b""))
    assert e.value.__notes__ == ["while decoding Small.m"]
    with pytest.raises(Boom) as e:
        X.desc["Small"].decode(Bad, b"")
    assert e.value.__notes__ == ["while decoding Small"]


# ---------------------------------------------------------------- the keywords of the call

def _oneof_schema():
    m = Msg("K")
    choice = m.oneof("choice")
    return m.add("r", 1, "int32", "repeated").add("a", 2, "int32").add("o1", 3, "int32", oneof=choice).add(
        "o2", 4, "string", oneof=choice)


@pytest.mark.parametrize(
    "build, options, data, expected",
    [
        # a value set again keeps its place; a oneof member replaced by another goes, the new one comes last
        (_oneof_schema, b"", vint(2, 1) + vint(3, 5) + ld(4, b"x") + vint(2, 2) + vint(3, 6),
         [("r", []), ("a", 2), ("o1", 6)]),
        (_oneof_schema, b"", ld(4, b"x") + vint(2, 1) + vint(3, 5), [("r", []), ("a", 1), ("o1", 5)]),
        # hand-made schemas with a name twice pass it once, at its first place
        (lambda: Msg("K").add("x", 1, "int32").add("y", 2, "int32").add("x", 3, "int32"), b"",
         vint(3, 7) + vint(2, 1) + vint(1, 5), [("x", 5), ("y", 1)]),
        (lambda: Msg("K").add("_unknown_fields", 1, "bytes").add("y", 2, "int32"), KEEP,
         ld(1, b"k") + vint(2, 1) + vint(9, 1), [("_unknown_fields", vint(9, 1)), ("y", 1)]),
    ],
)
def test_keywords_in_the_order_of_a_filled_dict(build, options, data, expected):
    d = compile_descriptor(build().serialize() + options)
    assert list(d.decode(Kw, data).kw.items()) == expected


# ---------------------------------------------------------------- long runs

class _Stop(Exception):
    pass


@pytest.mark.skipif(not hasattr(__import__("signal"), "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("kind", ["int32", "enum"])
def test_long_packed_runs_let_signal_handlers_run(kind):
    import signal

    from quillspar._classes import EnumTable

    d = compile_descriptor(Msg("M").add("v", 1, kind, "repeated", type_name=".t.E" if kind == "enum" else None)
                           .serialize())
    if kind == "enum":
        d.link({1: EnumTable({0: "zero"})})
    data = ld(1, bytes(8 << 20))  # eight million zeros

    def stop(signum, frame):
        raise _Stop

    old = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        with pytest.raises(_Stop) as info:
            d.decode(Kw, data)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    # raised inside the run, not once it was over: the decoder placed it
    assert any(note.startswith("while decoding M.v") for note in getattr(info.value, "__notes__", []))


@pytest.mark.parametrize(
    "data, error, note, called",
    [
        # the failing value's place counts the elements decoded before the run
        (vint(1, 0) + ld(1, bytes([0, 1, 7, 2])), Boom, "while decoding M.v[3]", [0, 0, 1, 7]),
        (ld(1, bytes([0, 1, 0x80])), ValueError, "while decoding M.v[2]", [0, 1]),  # a varint cut short
    ],
)
def test_packed_enum_failures_name_the_element(data, error, note, called):
    d = compile_descriptor(Msg("M").add("v", 1, "enum", "repeated", type_name=".t.E").serialize())
    calls = []

    def member(n):
        calls.append(n)
        if n == 7:
            raise Boom
        return n

    d.link({1: member})
    with pytest.raises(error) as info:
        d.decode(Kw, data)
    assert info.value.__notes__ == [note] and calls == called


# ---------------------------------------------------------------- what a decode keeps between calls

def test_keyword_names_follow_each_message_of_one_schema():
    # The names of one call are kept for the next; messages with other fields,
    # or the same fields in another order, or a re-entrant decode of the same
    # schema from a constructor in between, each get their own.
    d = compile_descriptor(_oneof_schema().add("s", 5, "string").serialize())
    inner = ld(5, b"inner") + vint(2, 9)

    class Reentrant:
        def __init__(self, **kw):
            self.kw, self.inside = kw, d.decode(Kw, inner).kw if "s" in kw else None

    for data, expected in [
        (vint(2, 1) + ld(5, b"x"), [("r", []), ("a", 1), ("s", "x")]),
        (vint(2, 1) + ld(5, b"x"), [("r", []), ("a", 1), ("s", "x")]),
        (ld(5, b"x") + vint(2, 1), [("r", []), ("s", "x"), ("a", 1)]),
        (vint(3, 4), [("r", []), ("o1", 4)]),
        (vint(3, 4) + ld(4, b"y"), [("r", []), ("o2", "y")]),
        (b"", [("r", [])]),
        (vint(2, 1) + ld(5, b"x"), [("r", []), ("a", 1), ("s", "x")]),
    ]:
        assert list(d.decode(Kw, data).kw.items()) == expected
        got = d.decode(Reentrant, data)
        assert list(got.kw.items()) == expected
        assert got.inside is None or list(got.inside.items()) == [("r", []), ("s", "inner"), ("a", 9)]


def _nested_pair():
    inner = compile_descriptor(Msg("In").add("x", 1, "int32").serialize())
    outer = compile_descriptor(Msg("Out").add("m", 1, "message", "", ".t.In").add("ms", 2, "message", "repeated", ".t.In")
                               .serialize())

    class In(Kw):
        __quillspar__ = inner

    outer.link({1: In, 2: In})
    return outer, inner, In


class _Meta(type):
    pass


def test_a_changed_link_or_class_is_seen_by_the_next_decode():
    outer, inner, In = _nested_pair()
    data = ld(1, vint(1, 5)) + ld(2, vint(1, 6))
    assert type(outer.decode(Kw, data).kw["m"]) is In

    class Other(Kw):  # linked in place of In
        __quillspar__ = inner

    outer.link({1: Other, 2: Other})
    got = outer.decode(Kw, data).kw
    assert type(got["m"]) is Other and [type(v) for v in got["ms"]] == [Other]

    # the class's own `__quillspar__` replaced, removed, shadowed by a base or a metaclass
    other = compile_descriptor(Msg("In2").add("y", 1, "int32").serialize())
    Other.__quillspar__ = other
    assert outer.decode(Kw, data).kw["m"].kw == {"y": 5}
    Other.__quillspar__ = 7
    with pytest.raises(TypeError, match="^linked class is not a quillspar message\n"):
        outer.decode(Kw, data)
    del Other.__quillspar__
    with pytest.raises(AttributeError):
        outer.decode(Kw, data)
    Kw.__quillspar__ = other  # now found on the base
    try:
        assert outer.decode(Kw, data).kw["m"].kw == {"y": 5}
    finally:
        del Kw.__quillspar__

    class Shadow(Kw, metaclass=_Meta):
        __quillspar__ = inner

    outer.link({1: Shadow, 2: Shadow})
    assert outer.decode(Kw, data).kw["m"].kw == {"x": 5}
    _Meta.__quillspar__ = property(lambda cls: other)  # a data descriptor of the metaclass comes first
    try:
        assert outer.decode(Kw, data).kw["m"].kw == {"y": 5}
    finally:
        del _Meta.__quillspar__
    assert outer.decode(Kw, data).kw["m"].kw == {"x": 5}


def test_a_marker_made_by_a_get_is_looked_up_every_time():
    outer, inner, In = _nested_pair()
    other = compile_descriptor(Msg("In2").add("y", 1, "int32").serialize())
    gets = []

    class Alternating:  # a non-data descriptor in the class's namespace
        def __get__(self, obj, owner):
            gets.append(owner)
            return (inner, other)[len(gets) % 2]

    In.__quillspar__ = Alternating()
    assert [outer.decode(Kw, ld(1, vint(1, 5))).kw["m"].kw for _ in range(3)] == [{"y": 5}, {"x": 5}, {"y": 5}]
    assert gets == [In] * 3


def test_a_nested_descriptor_relinked_from_a_constructor_keeps_its_borrow():
    outer, inner, In = _nested_pair()
    calls = []

    class Relink(Kw):
        __quillspar__ = inner

        def __init__(self, **kw):
            super().__init__(**kw)
            calls.append(kw)
            outer.link({1: In, 2: In})  # refused: the outer level is being decoded

    outer.link({1: Relink, 2: Relink})
    with pytest.raises(RuntimeError, match="^Already borrowed"):
        outer.decode(Kw, ld(2, vint(1, 1)) + ld(2, vint(1, 2)))
    assert calls == [{"x": 1}]
    outer.link({1: In, 2: In})
    assert [v.kw for v in outer.decode(Kw, ld(2, vint(1, 1)) + ld(2, vint(1, 2))).kw["ms"]] == [{"x": 1}, {"x": 2}]


@pytest.mark.parametrize("kind, pack, values", [
    ("int32", lambda vs: b"".join(vint(0, v)[1:] for v in vs), [1, 300, -1]),
    ("double", lambda vs: struct.pack(f"<{len(vs)}d", *vs), [1.5, -0.0]),
    ("enum", lambda vs: b"".join(vint(0, v)[1:] for v in vs), [0, 2, 7]),
])
def test_packed_runs_mixed_with_single_elements(kind, pack, values):
    # The first run becomes the field's list, later ones and single elements
    # are added to it, in input order; every instance has a list of its own.
    d = compile_descriptor(Msg("P").add("v", 1, kind, "repeated", type_name=".t.E" if kind == "enum" else None)
                           .add("w", 2, "int32", "repeated").serialize())
    single = (lambda v: tag(1, 1) + struct.pack("<d", v)) if kind == "double" else (lambda v: vint(1, v))
    run = ld(1, pack(values))
    for data, expected in [
        (run, values),
        (run + run, values * 2),
        (single(values[0]) + run, values[:1] + values),
        (run + single(values[-1]) + ld(1, b"") + run, values + values[-1:] + values),
        (ld(1, b"") + ld(2, b"\x01"), []),
    ]:
        a, b = d.decode(Kw, data).kw, d.decode(Kw, data).kw
        assert a["v"] == expected and a["v"] is not b["v"] and a["w"] is not b["w"]


def _wide_schema(fields=40, oneofs=10, messages=10):
    """A schema past the limits of the decoder's stack-only state."""
    m = Msg("Wide").add("sub", 1, "message", "", ".t.Wide")
    for i in range(2, fields):
        m.add(f"f{i}", i, "int32", "repeated" if i % 5 == 0 else "")
    for i in range(oneofs):
        o = m.oneof(f"o{i}")
        m.add(f"a{i}", 100 + 2 * i, "int32", oneof=o).add(f"b{i}", 101 + 2 * i, "string", oneof=o)
    for i in range(messages):
        m.add(f"m{i}", 200 + i, "message", "", ".t.Wide")
    return compile_descriptor(m.serialize())


def test_wide_schemas_decode_like_narrow_ones():
    d = _wide_schema()

    class Wide(Kw):
        __quillspar__ = d

    d.link({n: Wide for n, _ in d.ref_fields()})
    data = (vint(2, 1) + ld(5, b"\x01\x02") + vint(5, 3) + vint(100, 1) + ld(101, b"s") + ld(203, vint(39, 4))
            + ld(1, vint(2, 7)) + ld(203, vint(3, 5)) + vint(118, 9))
    kw = d.decode(Wide, data).kw
    # b0 replaces a0 and goes last; m3 keeps the place of its first record
    assert [k for k in kw if not isinstance(kw[k], list)] == ["f2", "b0", "m3", "sub", "a9"]
    assert kw["f5"] == [1, 2, 3] and kw["m3"].kw["f39"] == 4 and kw["m3"].kw["f3"] == 5 and kw["sub"].kw["f2"] == 7
    assert len(kw) == 7 + 5


@pytest.mark.parametrize("build, data, expected", [
    # a repeated field and a singular one of the same name: one keyword, the later value
    (lambda: Msg("D").add("x", 1, "int32", "repeated").add("x", 2, "int32"), ld(1, b"\x01\x02") + vint(2, 5),
     [("x", 5)]),
    (lambda: Msg("D").add("x", 1, "int32", "repeated").add("x", 2, "int32"), vint(2, 5) + ld(1, b"\x01\x02"),
     [("x", 5)]),
    (lambda: Msg("D").add("x", 2, "int32").add("x", 1, "int32", "repeated"), ld(1, b"\x01") + vint(1, 3),
     [("x", [1, 3])]),
    # a repeated field named like the unknown fields, in a schema that keeps them
    (lambda: Msg("D").add("_unknown_fields", 1, "int32", "repeated"), ld(1, b"\x04") + vint(9, 1),
     [("_unknown_fields", vint(9, 1))]),
])
def test_containers_under_a_shared_keyword(build, data, expected):
    d = compile_descriptor(build().serialize() + (KEEP if "_unknown" in str(expected) else b""))
    assert list(d.decode(Kw, data).kw.items()) == expected


# ---------------------------------------------------------------- signals in long decodes

def _interrupted(decode_once):
    """Runs `decode_once` with a timer whose handler raises _Stop once the
    decode has begun; returns the exception of an interrupted decode. A
    signal that lands just outside the decode is retried. The cyclic
    collector is off meanwhile: a finaliser it ran could take the signal."""
    import gc
    import signal

    armed, collecting = [False], gc.isenabled()

    def stop(signum, frame):
        if armed[0]:
            armed[0] = False  # once per attempt
            raise _Stop

    old = signal.signal(signal.SIGALRM, stop)
    gc.disable()
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        for _ in range(20):
            try:
                armed[0] = True
                decode_once()
            except _Stop as e:
                if any(n.startswith("while decoding") for n in getattr(e, "__notes__", [])):
                    return e
            finally:
                armed[0] = False
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        if collecting:
            gc.enable()
    raise AssertionError("no decode was interrupted")


@pytest.mark.skipif(not hasattr(__import__("signal"), "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("kind, record", [
    ("int32", vint(1, 0)),  # four million single elements
    ("string", ld(1, b"")),
    ("message", ld(1, ld(2, bytes(1000)))),  # eight thousand, each skipping an unknown field
])
def test_long_record_sequences_let_signal_handlers_run(kind, record):
    # The classes are dict and a subclass: made without running Python code,
    # so only the decoder's own check can let the handler run.
    d = compile_descriptor(Msg("M").add("v", 1, kind, "repeated", type_name=".t.M" if kind == "message" else None)
                           .serialize())
    d.link({1: type("D", (dict,), {"__quillspar__": d})})
    data = record * ((8 << 20) // len(record))
    e = _interrupted(lambda: d.decode(dict, data))
    assert e.__notes__ == ["while decoding M"]
    d.link({})  # no borrow left behind


# ---------------------------------------------------------------- references

def _leak_cases():
    outer, inner, In = _nested_pair()
    other = compile_descriptor(Msg("In2").add("y", 1, "int32").serialize())

    def relinked():  # a link and a class's marker changed between decodes
        outer.link({1: In, 2: In})
        outer.decode(Kw, ld(1, b"") + ld(2, b""))
        In.__quillspar__ = other
        outer.decode(Kw, ld(1, b"") + ld(2, b""))
        In.__quillspar__ = inner

    packed = compile_descriptor(Msg("P").add("v", 1, "int32", "repeated").add("e", 2, "enum", "repeated", ".t.E")
                                .serialize())
    packed.link({2: Color})
    names = compile_descriptor(_oneof_schema().serialize())
    dup = compile_descriptor(Msg("D").add("x", 1, "int32", "repeated").add("x", 2, "int32").serialize())
    wide = _wide_schema()
    wide.link({n: type("Wide", (Kw,), {"__quillspar__": wide}) for n, _ in wide.ref_fields()})
    return {
        "relinked": (relinked, None),
        "packed runs": (lambda: packed.decode(Kw, ld(1, b"\x01\x02") + vint(1, 3) + ld(2, b"\x01") + ld(1, b"\x04")), None),
        "names replaced": (lambda: [names.decode(Kw, data) for data in (vint(2, 1), vint(3, 1), b"", vint(3, 1) + ld(4, b"s"))], None),
        "shared keyword": (lambda: [dup.decode(Kw, data) for data in (ld(1, b"\x01") + vint(2, 5), vint(2, 5) + ld(1, b"\x01"))], None),
        "wide": (lambda: wide.decode(Kw, vint(2, 1) + ld(5, b"\x01") + vint(100, 1) + ld(101, b"s") + ld(203, vint(39, 4))
                                     + ld(203, vint(3, 5))), None),
        "wide failing": (lambda: wide.decode(Kw, ld(5, b"\x01") + ld(203, b"\x80")), ValueError),
    }


@pytest.mark.refcount
@pytest.mark.skipif(not hasattr(__import__("sys"), "gettotalrefcount"), reason="needs a debug interpreter")
@pytest.mark.parametrize("name", list(_leak_cases()))
def test_no_leak_on_the_decoders_own_paths(name):
    from refcount import assert_refcount_flat

    fn, expected = _leak_cases()[name]
    assert_refcount_flat(fn, expected)


@pytest.mark.refcount
@pytest.mark.skipif(not hasattr(__import__("sys"), "gettotalrefcount"), reason="needs a debug interpreter")
@pytest.mark.skipif(not hasattr(__import__("signal"), "setitimer"), reason="needs setitimer")
def test_no_leak_when_a_signal_stops_a_decode():
    from refcount import assert_refcount_flat

    d = compile_descriptor(Msg("M").add("v", 1, "string", "repeated").serialize())
    data = ld(1, b"ab") * (2 << 20)
    assert_refcount_flat(lambda: _interrupted(lambda: d.decode(dict, data)), warmup=1, repeat=3, loops=2)
