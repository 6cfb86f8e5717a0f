"""Short paths of the codec that must give exactly what the general ones give:
ASCII strings copied without the interpreter's decoder, packed runs read into
a list of the counted size, the encoder's first kilobyte on the stack, field
reads straight from slots, small ints read without PyLong_AsLong."""

import struct

import pytest

from codec_protos import Index, Msg, Schema, ld, small_schema, tag, varint, vint
from quillspar import int32, message

W = small_schema()
Small = W.cls["Small"]


def decode(data, name="Small", schema=W):
    return schema.desc[name].decode(schema.cls[name], data)


# ---------------------------------------------------------------- strings


def texts():
    out = []
    for n in [*range(0, 20), 23, 24, 25, 31, 32, 33, 63, 64, 65, 127, 128, 129, 130, 300]:
        ascii_text = "".join(chr(33 + (i * 7) % 90) for i in range(n))
        out.append(ascii_text)
        for at in {0, n // 2, n - 1} if n else ():
            out.append(ascii_text[:at] + "é" + ascii_text[at + 1:])  # two UTF-8 bytes
            out.append(ascii_text[:at] + "\x7f" + ascii_text[at + 1:])  # highest ASCII byte
            out.append(ascii_text[:at] + "€" + ascii_text[at + 1:])
    return out


@pytest.mark.parametrize("text", texts(), ids=lambda t: f"{len(t)}:{t.isascii()}")
def test_strings_of_every_length_decode_exactly(text):
    raw = text.encode()
    got = decode(ld(2, raw) + ld(11, raw) + ld(9, ld(1, raw)))
    assert (got.s, got.rs, got.mp) == (text, [text], {text: 0})
    assert type(got.s) is str and got.s.isascii() == text.isascii()
    assert hash(got.s) == hash(text)


@pytest.mark.parametrize("n", [2, 3, 4, 7, 8, 9, 15, 16, 17, 64, 128])
@pytest.mark.parametrize("at", ["first", "middle", "last"])
def test_invalid_utf8_in_short_strings(n, at):
    raw = bytearray(b"a" * n)
    i = {"first": 0, "middle": n // 2, "last": n - 1}[at]
    raw[i] = 0xFF
    with pytest.raises(UnicodeDecodeError) as e:
        decode(ld(2, bytes(raw)))
    assert (e.value.object, e.value.start, e.value.end, e.value.reason) == (
        bytes(raw), i, i + 1, "invalid utf-8 in string field")


# ---------------------------------------------------------------- packed runs

P = Schema([Msg("P").add("i32", 1, "int32", "repeated").add("u64", 2, "uint64", "repeated")
            .add("s64", 3, "sint64", "repeated").add("f32", 4, "fixed32", "repeated")
            .add("d", 5, "double", "repeated").add("f", 6, "float", "repeated")
            .add("b", 7, "bool", "repeated").add("sf64", 8, "sfixed64", "repeated")], reference=False)

PACKED = {
    "i32": [0, 1, -1, 127, 128, 2**31 - 1, -(2**31), 300],
    "u64": [0, 2**64 - 1, 2**63, 1],
    "s64": [0, -1, 1, -(2**63), 2**63 - 1],
    "f32": [0, 1, 2**32 - 1],
    "d": [0.5, -0.0, float("inf"), 1e300],
    "f": [0.5, -2.0, float("inf")],
    "b": [True, False, True],
    "sf64": [-1, 0, 2**63 - 1],
}


@pytest.mark.parametrize("name", PACKED)
@pytest.mark.parametrize("before", [[], "one unpacked value first"])
def test_packed_runs_append_in_order(name, before):
    values = PACKED[name]
    obj = P.cls["P"](**{name: values})
    packed = P.desc["P"].encode(obj)
    # the same run twice, and optionally one value written alone before it
    data = packed + packed
    expected = values + values
    if before:
        single = P.desc["P"].encode(P.cls["P"](**{name: values[:1]}))
        number, rest = single[0] >> 3, single[2:]  # the run's field number and its one value
        wire = {"d": 1, "sf64": 1, "f32": 5, "f": 5}.get(name, 0)
        data = tag(number, wire) + rest + data
        expected = values[:1] + expected
    got = getattr(decode(data, "P", P), name)
    assert got == expected and [type(v) for v in got] == [type(v) for v in expected]


@pytest.mark.parametrize("run, error", [
    (b"\x01\x80", "UnexpectedEof"),             # a varint cut short after a complete one
    (b"\x80" * 9 + b"\x80\x01", "VarintOverflow"),
    (b"\x01" + b"\xff" * 10, "VarintOverflow"),
    (b"\x01\x02\xff", "UnexpectedEof"),
])
def test_damaged_varint_runs(run, error):
    with pytest.raises(ValueError) as e:
        decode(ld(1, run), "P", P)
    assert str(e.value) == f"malformed protobuf data: {error}"


@pytest.mark.parametrize("field, size", [(4, 3), (4, 7), (5, 9), (5, 15), (8, 4), (6, 1)])
def test_fixed_width_runs_with_a_partial_value(field, size):
    with pytest.raises(ValueError) as e:
        decode(ld(field, b"\x00" * size), "P", P)
    assert str(e.value) == "malformed protobuf data: UnexpectedEof"


def test_long_packed_run():
    values = list(range(-50_000, 50_000, 7))
    data = P.desc["P"].encode(P.cls["P"](i32=values, d=[v / 2 for v in values]))
    got = decode(data, "P", P)
    assert got.i32 == values and got.d == [v / 2 for v in values]


# ---------------------------------------------------------------- output around the first kilobyte


@pytest.mark.parametrize("n", [0, 1, 1000, 1010, 1017, 1018, 1019, 1020, 1023, 1024, 1025, 1100, 5000])
def test_outputs_around_the_stack_buffer(n):
    sub = W.cls["Sub"](x=1, y="y" * n)
    obj = Small(s="z" * (n // 2), m=sub, rs=["w" * (n // 3)] * 3, ri=list(range(n)))
    data = W.desc["Small"].encode(obj)
    assert decode(data) == obj
    assert data.startswith(ld(2, ("z" * (n // 2)).encode()) if n // 2 else b"")


# ---------------------------------------------------------------- field reads


@message
class SlotPoint:
    x: int32
    label: str


class WithProperty(SlotPoint):  # a plain subclass: its property comes before the slot
    x = property(lambda self: 7, lambda self, value: None)


class WithGetattribute(SlotPoint):
    def __getattribute__(self, name):
        return 9 if name == "x" else super().__getattribute__(name)


class WithGetattr(SlotPoint):
    def __getattr__(self, name):
        return "late"


def test_field_reads_follow_the_class():
    assert SlotPoint(x=1, label="a").to_bytes() == vint(1, 1) + ld(2, b"a")
    assert WithProperty(x=1).to_bytes() == vint(1, 7)
    assert WithGetattribute(x=1).to_bytes() == vint(1, 9)
    late = WithGetattr(x=2)
    del late.label
    assert late.to_bytes() == vint(1, 2) + ld(2, b"late")


def test_empty_slot_raises_the_interpreters_error():
    p = SlotPoint(x=1)
    del p.label
    with pytest.raises(AttributeError) as e:
        p.to_bytes()
    with pytest.raises(AttributeError) as expected:
        p.label
    assert (str(e.value), e.value.name, e.value.obj) == (str(expected.value), "label", p)


ONE_DIGIT = 2**30  # CPython keeps ints below this magnitude in one digit


@pytest.mark.parametrize("kind, value", [
    (kind, value)
    for kind, values in {
        "int32": [ONE_DIGIT - 1, ONE_DIGIT, -ONE_DIGIT, -ONE_DIGIT - 1, -(2**31)],
        "int64": [ONE_DIGIT - 1, ONE_DIGIT, -ONE_DIGIT, -ONE_DIGIT - 1, -(2**63)],
        "uint32": [ONE_DIGIT - 1, ONE_DIGIT, 2**32 - 1], "uint64": [ONE_DIGIT - 1, ONE_DIGIT, 2**64 - 1],
        "sint32": [-ONE_DIGIT, -ONE_DIGIT - 1, ONE_DIGIT - 1], "sint64": [-ONE_DIGIT, ONE_DIGIT],
        "fixed32": [ONE_DIGIT - 1, ONE_DIGIT], "fixed64": [ONE_DIGIT - 1, 2**64 - 1],
        "sfixed32": [-1, -ONE_DIGIT - 1], "sfixed64": [-1, -ONE_DIGIT - 1],
    }.items()
    for value in values
])
@pytest.mark.parametrize("label", ["", "optional", "repeated"])
def test_integers_at_the_one_digit_boundary(kind, value, label):
    S1 = Schema([Msg("One").add("v", 1, kind, label)])
    v = [value, 1] if label == "repeated" else value
    obj = S1.cls["One"](v=v)
    assert S1.desc["One"].encode(obj) == S1.to_ref(obj).SerializeToString()
    assert decode(S1.desc["One"].encode(obj), "One", S1).v == v


PACKED_KINDS = ["double", "float", "int32", "int64", "uint32", "uint64", "sint32", "sint64",
                "fixed32", "fixed64", "sfixed32", "sfixed64", "bool"]


@pytest.mark.parametrize("kind", PACKED_KINDS)
def test_packed_items_of_any_type_give_the_plain_bytes(kind):
    S1 = Schema([Msg("P").add("v", 1, kind, "repeated")])
    enc = lambda v: S1.desc["P"].encode(S1.cls["P"](v=v))  # noqa: E731
    if kind == "bool":
        odd = [True, False, pytest.importorskip("numpy").bool_(True)]
        assert enc(odd) == enc([True, False, True])
        return
    plain = [1, 2, 3, 2**40 if kind in ("double", "float", "int64", "uint64", "sint64", "fixed64", "sfixed64") else 7]
    mixed = [1, True + 1, Index(3), float(plain[3]) if kind in ("double", "float") else plain[3]]
    assert enc(mixed) == enc(plain) == enc(tuple(plain)) == enc(iter(plain))
    grown = [1]
    grown.insert(0, Index(5, hook=lambda: grown.append(9) if len(grown) < 3 else None))
    assert enc(grown) == enc([5, 1, 9])  # items added while encoding are written, as iteration would
    if kind.startswith(("uint", "fixed")):
        with pytest.raises(OverflowError):
            enc([1, -1])
