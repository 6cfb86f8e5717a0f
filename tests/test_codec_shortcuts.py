"""Short paths of the codec that must give exactly what the general ones give:
ASCII strings copied without the interpreter's decoder, packed runs read into
a list of the counted size, the encoder's first kilobyte on the stack, field
reads straight from slots, small ints read without PyLong_AsLong."""

import pytest

from codec_protos import Index, Msg, Schema, ld, small_schema, tag
from quillspar import int32, message

W = small_schema()
Small = W.cls["Small"]


def decode(data, name="Small", schema=W):
    return schema.desc[name].decode(schema.cls[name], data)


@pytest.mark.parametrize("n", [*range(20), 23, 24, 25, 31, 32, 33, 63, 64, 65, 127, 128, 129, 130, 300])
def test_strings_of_every_length_decode_exactly(n):
    ascii_text = "".join(chr(33 + (i * 7) % 90) for i in range(n))
    spots = sorted({0, n // 2, n - 1}) if n else []
    for text in [ascii_text] + [ascii_text[:at] + c + ascii_text[at + 1:] for at in spots for c in "é\x7f€"]:
        raw = text.encode()
        got = decode(ld(2, raw) + ld(11, raw) + ld(9, ld(1, raw)))
        assert (got.s, got.rs, got.mp) == (text, [text], {text: 0})
        assert type(got.s) is str and got.s.isascii() == text.isascii() and hash(got.s) == hash(text)
    for at in spots:
        raw = ascii_text.encode()[:at] + b"\xff" + ascii_text.encode()[at + 1:]
        with pytest.raises(UnicodeDecodeError) as e:
            decode(ld(2, raw))
        assert (e.value.object, e.value.start, e.value.end, e.value.reason) == (
            raw, at, at + 1, "invalid utf-8 in string field")


P = Schema([Msg("P").add("i32", 1, "int32", "repeated").add("u64", 2, "uint64", "repeated")
            .add("s64", 3, "sint64", "repeated").add("f32", 4, "fixed32", "repeated")
            .add("d", 5, "double", "repeated").add("f", 6, "float", "repeated")
            .add("b", 7, "bool", "repeated").add("sf64", 8, "sfixed64", "repeated")], reference=False)
PACKED = {"i32": [0, 1, -1, 127, 128, 2**31 - 1, -(2**31), 300], "u64": [0, 2**64 - 1, 2**63, 1],
          "s64": [0, -1, 1, -(2**63), 2**63 - 1], "f32": [0, 1, 2**32 - 1], "d": [0.5, -0.0, float("inf"), 1e300],
          "f": [0.5, -2.0, float("inf")], "b": [True, False, True], "sf64": [-1, 0, 2**63 - 1]}
WIRE = {"d": 1, "sf64": 1, "f32": 5, "f": 5}


@pytest.mark.parametrize("name", PACKED)
def test_packed_runs_append_in_order(name):
    values = PACKED[name]
    packed = P.desc["P"].encode(P.cls["P"](**{name: values}))
    alone = P.desc["P"].encode(P.cls["P"](**{name: values[:1]}))[2:]  # the first value, written unpacked below
    got = getattr(decode(tag(packed[0] >> 3, WIRE.get(name, 0)) + alone + packed + packed, "P", P), name)
    expected = values[:1] + values + values
    assert got == expected and [type(v) for v in got] == [type(v) for v in expected]
    long = {"u64": [1] * 9000, "f32": [1] * 9000, "b": [True] * 9000}.get(name, list(range(-50_000, 50_000, 7)))
    assert getattr(decode(P.desc["P"].encode(P.cls["P"](**{name: long})), "P", P), name) == long


@pytest.mark.parametrize("data, error", [
    (ld(1, b"\x01\x80"), "UnexpectedEof"), (ld(1, b"\x80" * 9 + b"\x80\x01"), "VarintOverflow"),
    (ld(2, b"\x01" + b"\xff" * 10), "VarintOverflow"), (ld(3, b"\x01\x02\xff"), "UnexpectedEof"),
    *((ld(field, b"\x00" * size), "UnexpectedEof") for field, size in [(4, 3), (4, 7), (5, 9), (5, 15), (8, 4), (6, 1)]),
])
def test_damaged_runs(data, error):
    with pytest.raises(ValueError) as e:
        decode(data, "P", P)
    assert str(e.value) == f"malformed protobuf data: {error}"


@pytest.mark.parametrize("n", [0, 1, 1000, 1010, 1017, 1018, 1019, 1020, 1023, 1024, 1025, 1100, 5000])
def test_outputs_around_the_stack_buffer(n):
    obj = Small(s="z" * (n // 2), m=W.cls["Sub"](x=1, y="y" * n), rs=["w" * (n // 3)] * 3, ri=list(range(n)))
    data = W.desc["Small"].encode(obj)
    assert decode(data) == obj and data == W.to_ref(obj).SerializeToString()


@message
class SlotPoint:
    x: int32
    label: str


def test_field_reads_follow_the_class():
    with_property = type("P", (SlotPoint,), {"x": property(lambda self: 7, lambda self, value: None)})
    with_getattribute = type("G", (SlotPoint,), {
        "__getattribute__": lambda self, name: 9 if name == "x" else object.__getattribute__(self, name)})
    late = type("L", (SlotPoint,), {"__getattr__": lambda self, name: "late"})(x=2)
    del late.label
    assert [SlotPoint(x=1, label="a").to_bytes(), with_property(x=1).to_bytes(), with_getattribute(x=1).to_bytes(),
            late.to_bytes()] == [b"\x08\x01\x12\x01a", b"\x08\x07", b"\x08\x09", b"\x08\x02\x12\x04late"]
    p = SlotPoint(x=1)
    del p.label
    with pytest.raises(AttributeError) as e:
        p.to_bytes()
    with pytest.raises(AttributeError) as expected:
        p.label
    assert (str(e.value), e.value.name, e.value.obj) == (str(expected.value), "label", p)


D = 2**30  # CPython keeps ints below this magnitude in one digit
ONE_DIGIT = {"int32": [D - 1, D, -D, -D - 1, -(2**31)], "int64": [D - 1, D, -D, -D - 1, -(2**63)],
             "uint32": [D - 1, D, 2**32 - 1], "uint64": [D - 1, D, 2**64 - 1], "sint32": [-D, -D - 1, D - 1],
             "sint64": [-D, D], "fixed32": [D - 1, D], "fixed64": [D - 1, 2**64 - 1], "sfixed32": [-1, -D - 1],
             "sfixed64": [-1, -D - 1]}


@pytest.mark.parametrize("kind", ONE_DIGIT)
@pytest.mark.parametrize("label", ["", "optional", "repeated"])
def test_integers_at_the_one_digit_boundary(kind, label):
    S1 = Schema([Msg("One").add("v", 1, kind, label)])
    for value in ONE_DIGIT[kind]:
        obj = S1.cls["One"](v=[value, 1] if label == "repeated" else value)
        assert S1.desc["One"].encode(obj) == S1.to_ref(obj).SerializeToString()
        assert decode(S1.desc["One"].encode(obj), "One", S1) == obj


@pytest.mark.parametrize("kind", ["double", "float", "int32", "int64", "uint32", "uint64", "sint32", "sint64",
                                  "fixed32", "fixed64", "sfixed32", "sfixed64", "bool"])
def test_packed_items_of_any_type_give_the_plain_bytes(kind):
    S1 = Schema([Msg("P").add("v", 1, kind, "repeated")])
    enc = lambda v: S1.desc["P"].encode(S1.cls["P"](v=v))  # noqa: E731
    if kind == "bool":
        assert enc([True, False, pytest.importorskip("numpy").bool_(True)]) == enc([True, False, True])
        return
    plain = [1, 2, 3, 2**40 if kind in ("double", "float", "int64", "uint64", "sint64", "fixed64", "sfixed64") else 7]
    mixed = [1, True + 1, Index(3), float(plain[3]) if kind in ("double", "float") else plain[3]]
    assert enc(mixed) == enc(plain) == enc(tuple(plain)) == enc(iter(plain))
    # items added or removed while the run is written count as iteration sees them
    grown = [Index(5, hook=lambda: grown.extend([9] * 299) if len(grown) < 3 else None), 1]
    shrunk = [Index(5, hook=lambda: shrunk.clear())] + [1] * 199
    assert (enc(grown), enc(shrunk)) == (enc([5, 1] + [9] * 299), enc([5]))
    if kind.startswith(("uint", "fixed")):
        with pytest.raises(OverflowError):
            enc([1, -1])
