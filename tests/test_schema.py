"""The descriptor compiler, seen through compile_descriptor's errors, a
compiled descriptor's `name` and `ref_fields()`, and (for the packed option)
what its encoder writes."""

import types

import pytest
from google.protobuf import descriptor_pb2
from hypothesis import given, settings
from hypothesis import strategies as st
from google.protobuf.message import DecodeError

from codec_protos import FDP, I32, I64, LEN, VARINT, Msg, ld, short, tag, varint, vint
from quillspar._core import compile_descriptor


def error_of(data):
    with pytest.raises(ValueError, match="^bad descriptor: ") as info:
        compile_descriptor(data)
    return str(info.value).removeprefix("bad descriptor: ")


def refs(data):
    return compile_descriptor(data).ref_fields()


def raw_field(number=1, type=5, name=b"f", label=None, type_name=None, extra=b""):
    """A FieldDescriptorProto body by hand (the reference runtime refuses bad UTF-8)."""
    body = ld(1, name) + vint(3, number) + (vint(4, label) if label is not None else b"")
    body += (vint(5, type) if type is not None else b"") + (ld(6, type_name) if type_name is not None else b"")
    return body + extra


def entry(name=b"TagsEntry", options=(b"\x38\x01",), key=(1, 9, None), value=(2, 11, b".pkg.Other"), extra=b""):
    """A nested type by hand; key and value are (number, type, type_name) or None."""
    body = ld(1, name) if name is not None else b""
    for f in (key, value):
        if f is not None:
            body += ld(2, raw_field(number=f[0], type=f[1], type_name=f[2]))
    return ld(3, body + b"".join(ld(7, o) for o in options) + extra)


NO_TYPE = ld(2, raw_field(type=None))
MSG = ld(1, b"Msg")
TAGS = MSG + ld(2, raw_field(name=b"tags", label=3, type=11, type_name=b".pkg.Msg.TagsEntry"))
TAGS_ENTRY = entry()


def test_full_descriptor_from_reference_runtime():
    # Enums, options, extensions, reserved ranges, defaults and json names are all skipped.
    b = (Msg("Outer").add("color", 5, "enum", type_name=".pkg.Color").add("s", 1, "string", type_name=".x.Y")
         .map("items", 3, "string", "message", ".pkg.Item").map("counts", 2, "int64", "sint32")
         .add("inner", 4, "message", type_name=".pkg.Outer.Inner").add("untyped", 9, "message")
         .add("o", 6, "int32", "optional"))
    m = b.add("c", 7, "uint64", oneof=b.oneof("choice")).finish()
    m.nested_type.add(name="Inner").field.add(name="x", number=1, type=FDP.TYPE_BYTES)
    m.field[1].default_value, m.field[1].json_name, m.field[1].options.packed = "x", "S", True
    m.enum_type.add(name="Color").value.add(name="RED", number=0)
    m.extension_range.add(start=100, end=200)
    m.reserved_range.add(start=50, end=60)
    m.reserved_name.append("old")
    m.options.deprecated = True
    m.extension.add(name="ext", number=100, type=5, extendee=".x")
    d = compile_descriptor(m.SerializeToString())
    assert d.name == "Outer" and d.ref_fields() == [(5, "Color"), (3, "Item"), (4, "Inner")]
    assert compile_descriptor(b"").name == "" and compile_descriptor(b"").ref_fields() == []


ERRORS = [
    (b"\x0a", "Wire(UnexpectedEof)"), (b"\x0a\x05abc", "Wire(InvalidLength)"), (b"\x0b", "Wire(InvalidWireType(3))"),
    (ld(2, raw_field(type=10)), "UnsupportedType(10)"), (ld(2, raw_field(type=4294967295)), "UnsupportedType(-1)"),
    (ld(2, raw_field(type=2**32 + 5)), "UnsupportedType(5)"),  # refused on 64 bits, shown with 32
    (ld(2, raw_field(type=0)), "UnsupportedType(0)"), (ld(2, raw_field(type=19)), "UnsupportedType(19)"),
    (ld(2, raw_field(type=11, extra=ld(5, b"") + vint(5, 10))), "UnsupportedType(10)"),  # the last type wins
    (NO_TYPE, "MissingType"),
    (ld(2, raw_field(type=None, extra=ld(5, b"\x0b"))), "MissingType"),  # type with the wrong wire type
    (ld(1, b"\xff"), "InvalidUtf8"),
    # Phase 1 reads the whole input, nested types included, before own fields are resolved.
    (NO_TYPE + b"\x0a", "Wire(UnexpectedEof)"),
    (NO_TYPE + ld(8, ld(1, b"\xc0\x80")), "InvalidUtf8"),
    (NO_TYPE + ld(3, ld(2, raw_field(number=2, type=10))), "UnsupportedType(10)"),
    # Own fields: the earlier one; within phase 1: the first in input order.
    (ld(2, raw_field(type=10)) + NO_TYPE, "UnsupportedType(10)"),
    (NO_TYPE + ld(2, raw_field(type=10)), "MissingType"),
    (ld(1, b"\xff") + b"\x0a", "InvalidUtf8"),
    (ld(3, ld(2, raw_field(number=2, type=None))) + ld(3, ld(2, raw_field(number=2, type=10))), "MissingType"),
] + [  # the fields of nested types are checked, map entries included
    (ld(3, ld(1, b"N") + ld(2, nested_field) + flag), expected)
    for nested_field, expected in [(raw_field(number=2, type=10), "UnsupportedType(10)"),
                                   (raw_field(number=2, type=None), "MissingType"), (b"", "MissingType")]
    for flag in (b"", ld(7, b"\x38\x01"))
]




@pytest.mark.parametrize("data, expected", ERRORS)
def test_errors_and_the_first_that_wins(data, expected):
    assert error_of(data) == expected


@pytest.mark.parametrize("where", ["message", "field", "type_name", "scalar_type_name", "oneof", "nested",
                                   "nested_field", "nested_type_name"])
@pytest.mark.parametrize("bad", [b"\xc0\x80", b"\xed\xa0\x80", b"abcdefghij\xe2\x82"])
def test_invalid_utf8_in_every_name(where, bad):
    data = {
        "message": ld(1, bad), "field": ld(2, raw_field(name=bad)), "oneof": ld(8, ld(1, bad)),
        "type_name": ld(2, raw_field(type=11, type_name=bad)),
        "scalar_type_name": ld(2, raw_field(type=5, type_name=bad)), "nested": ld(3, ld(1, bad)),
        "nested_field": ld(3, ld(2, raw_field(number=1, name=bad))),
        "nested_type_name": ld(3, ld(2, raw_field(number=2, type=11, type_name=bad))),
    }[where]
    assert error_of(data) == "InvalidUtf8"


@pytest.mark.parametrize("name", ["", "\U0010ffff", "longer-than-eight-€\ud7ff\ue000\x00"])
def test_valid_utf8_names(name):
    raw = name.encode()
    d = compile_descriptor(ld(1, raw) + ld(2, raw_field(type=11, type_name=b"." + raw, name=raw)) + ld(8, ld(1, raw)))
    assert d.name == name and d.ref_fields() == [(1, name)]


@settings(deadline=None)
@given(st.one_of(st.binary(max_size=24), st.text(max_size=12).map(str.encode),
                 st.lists(st.sampled_from([b"a", b"\x80", b"\xc2", b"\xe0", b"\xed", b"\xa0", b"\xbf", b"\xf0",
                                           b"\xf4", b"\x90", b"\x8f", b"\xff", "\ud7ff".encode()]),
                          max_size=12).map(b"".join)))
def test_utf8_validation_agrees_with_python(raw):
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        assert error_of(ld(1, raw)) == "InvalidUtf8"
    else:
        assert compile_descriptor(ld(1, raw)).name == text


@settings(deadline=None)
@given(st.binary(max_size=64))
def test_arbitrary_bytes_compile_or_fail_cleanly(data):
    try:
        d = compile_descriptor(data)
    except ValueError as e:
        assert str(e).startswith("bad descriptor: ")
    else:
        assert isinstance(d.name, str) and isinstance(d.ref_fields(), list)


@settings(deadline=None)
@given(st.integers(0, 2**64 - 1))
def test_field_numbers_keep_their_low_32_bits(n):
    assert refs(ld(2, raw_field(number=n, type=14, type_name=b"E"))) == [(n & 0xFFFFFFFF, "E")]


def test_records_read_and_skipped():
    assert compile_descriptor(ld(1, b"first") + ld(1, b"second")).name == "second"
    assert compile_descriptor(ld(1, b"kept") + vint(1, 7) + tag(1, I32) + b"abcd").name == "kept"
    # Unknown records of every wire type, at every level; groups hidden in skipped bodies go unseen.
    unknown = vint(2**29 - 1, 1) + ld(4, b"\x0b") + tag(99, I64) + b"12345678" + tag(100, I32) + b"1234"
    fld = raw_field(number=9, type=14, type_name=b".E", extra=unknown + ld(7, b"\x0b") + ld(2, b"\x0c"))
    nested = ld(1, b"N") + unknown + ld(3, b"\x0b") + ld(8, b"\x0f")
    d = compile_descriptor(unknown + ld(5, b"\x0b") + ld(2, fld) + ld(3, nested) + ld(8, unknown) + ld(1, b"X"))
    assert d.name == "X" and d.ref_fields() == [(9, "E")]
    # Options are read (message, nested type, field), so they are checked.
    for options in (ld(7, b"\x0b"), ld(3, ld(7, b"\x0b")), ld(2, raw_field(extra=ld(8, b"\x0b")))):
        assert error_of(options) == "Wire(InvalidWireType(3))"


@pytest.mark.parametrize("extra, expected", [
    (ld(3, b"\x05"), [(1, "Other")]),  # number with the wrong wire type: skipped
    (ld(6, b".a.Last"), [(1, "Last")]), (vint(6, 1), [(1, "Other")]), (vint(5, 14), [(1, "Other")]),
    (vint(4, 77) + vint(9, 12345) + vint(17, 1), [(1, "Other")]),  # odd label, oneof index past the oneofs
    (vint(5, 9), []),  # scalars keep no type name
])
def test_field_record_members(extra, expected):
    assert refs(ld(2, raw_field(number=1, type=11, type_name=b".pkg.Other", extra=extra))) == expected


@pytest.mark.parametrize("type_name, short", [(".pkg.Outer.Inner", "Inner"), ("Inner", "Inner"), (".a.b.", ""),
                                              ("", ""), ("..x", "x"), (".é.Ü", "Ü")])
def test_type_name_shortening(type_name, short):
    fields = b"".join(ld(2, raw_field(4, kind, label=label, type_name=type_name.encode()))
                      for kind in (11, 14) for label in (1, 2, 3))
    assert refs(fields) == [(4, short)] * 6


@pytest.mark.parametrize("nested, expected", [
    (entry(options=()), "TagsEntry"), (entry(options=(b"\x38\x00",)), "TagsEntry"),
    (entry(options=(b"\x38" + varint(2**63),)), "Other"),
    (entry(options=(b"\x38\x01", b"\x38\x00")), "TagsEntry"),  # the last flag wins
    (entry(options=(ld(7, b"\x01"), b"\x30\x01")), "TagsEntry"),  # wrong wire type, wrong option
    (entry(name=b"tagsentry"), "TagsEntry"), (entry(name=b"Msg.TagsEntry"), "TagsEntry"),
    (entry() + entry(value=(2, 14, b".pkg.Second")), "Second"),  # a later entry replaces an earlier one...
    (entry() + entry(options=(), value=(2, 11, b".x.Plain")), "Other"),  # ... a plain message does not
    (entry(extra=ld(2, raw_field(number=2, type=14, type_name=b".e.Late"))), "Late"),  # the last value wins
    (entry(extra=ld(2, raw_field(number=2, type=11))), None),  # ... type name included
    (entry(extra=ld(2, raw_field(number=2, type=5, type_name=b".x.Y"))), None),
    (entry(key=(1, 14, b".k.K"), extra=ld(2, raw_field(number=3, type=11, type_name=b".x.Z"))), "Other"),
    (entry(value=None), None), (entry(key=None), "Other"),  # no value field: a String value
] + [(entry(key=(1, t, b".k.K")), "Other") for t in (10, 14, 0)]  # keys are never refused
  + [(entry(value=(2, t, b".v.V")), "V" if t in (11, 14) else None) for t in (5, 9, 11, 14)])
def test_map_entry_recognition(nested, expected):
    # The entry may come before or after the field.
    assert refs(TAGS + nested) == refs(nested + TAGS) == ([] if expected is None else [(1, expected)])


OWN = ".pkg.Msg.TagsEntry"


@pytest.mark.parametrize("label, type, type_name, expected", [
    (1, 11, OWN, "TagsEntry"), (2, 11, OWN, "TagsEntry"),
    (2**32 + 3, 11, OWN, "TagsEntry"),  # the label is compared on 64 bits
    (3, 14, OWN, "TagsEntry"), (3, 11, None, None),
] + [(3, 11, name, "Other") for name in (OWN, "pkg.Msg.TagsEntry", "TagsEntry", ".a.b.Msg.TagsEntry")]
  # Another message's entry, or a top-level type that only shares the short name.
  + [(3, 11, name, short(name)) for name in (".pkg.TagsEntry", ".pkg.Other.TagsEntry", ".pkg.xMsg.TagsEntry",
                                             ".pkg.Msg.TagsEntryX", "Msg.TagsEntry.", "Msg..TagsEntry", ".msg.TagsEntry")])
def test_map_recognition_needs_a_repeated_field_of_its_own_entry(label, type, type_name, expected):
    own = ld(2, raw_field(type=type, label=label, type_name=type_name and type_name.encode(),
                          extra=vint(9, 0) + vint(17, 1)))
    assert refs(MSG + own + TAGS_ENTRY) == ([] if expected is None else [(1, expected)])


def test_nameless_message_and_entry():
    nameless = entry(name=None, value=(2, 14, b".e.Mode"))
    assert refs(ld(2, raw_field(type=11, label=3, type_name=b".")) + nameless) == [(1, "Mode")]
    assert refs(ld(2, raw_field(type=11, label=3, type_name=b"pkg.")) + nameless) == [(1, "")]


def test_message_class_named_like_a_map_entry():
    # message Msg { map<string, Other> tags = 1; repeated .pkg.TagsEntry items = 2; } with a top-level
    # TagsEntry: only `tags` is a map; `items` keeps its class.
    m = Msg("Msg").map("tags", 1, "string", "message", ".t.Other").add(
        "items", 2, "message", "repeated", type_name=".t.TagsEntry").finish()
    assert m.field[0].type_name == ".t.Msg.TagsEntry"
    assert compile_descriptor(m.SerializeToString()).ref_fields() == [(1, "Other"), (2, "TagsEntry")]


# ---- the wire reader's limits, as the compiler meets them

@pytest.mark.parametrize("data", [
    b"\x8a\x80\x80\x80\x00\x01X",  # the name's tag in five bytes
    b"\x0a\x81" + b"\x80" * 8 + b"\x7eX",  # ten-byte length; bits 1..6 of the tenth byte are ignored
    ld(1, b"X") + tag(9, I64) + b"abcdefgh" + tag(9, I32) + b"abcd",
])
def test_long_varints_and_fixed_values(data):
    assert compile_descriptor(data).name == "X"


@pytest.mark.parametrize("record", [
    b"\x00", tag(2**32 + 1, LEN) + b"\x02hi",
])
@pytest.mark.parametrize("where", [lambda r: r, lambda r: ld(1, b"M") + r, lambda r: ld(2, raw_field(extra=r)),
                                   lambda r: ld(3, r), lambda r: ld(2, raw_field(extra=ld(8, r))),
                                   lambda r: ld(7, r), lambda r: ld(8, r)])
def test_invalid_field_numbers(record, where):
    assert error_of(where(record)) == "Wire(InvalidFieldNumber)"
    with pytest.raises(DecodeError):
        descriptor_pb2.DescriptorProto.FromString(where(record))


@pytest.mark.parametrize("tenth, is_map", [(b"\x00", True), (b"\x7e", True), (b"\x7f", False), (b"\x01", False)])
def test_tenth_varint_byte_gives_bit_63(tenth, is_map):
    label = tag(4, VARINT) + b"\x83" + b"\x80" * 8 + tenth  # 3, or 3 + 2^63
    assert refs(ld(2, raw_field(type=11, type_name=b"TagsEntry", extra=label)) + TAGS_ENTRY) == [
        (1, "Other" if is_map else "TagsEntry")]
    long_type = tag(5, VARINT) + b"\x8b" + b"\x80" * 8 + tenth  # 11, or 11 + 2^63
    if is_map:
        assert refs(ld(2, raw_field(type=None, type_name=b"T", extra=long_type))) == [(1, "T")]
    else:
        assert error_of(ld(2, raw_field(type=None, type_name=b"T", extra=long_type))) == "UnsupportedType(11)"


@pytest.mark.parametrize("data, expected", [
    (b"\x80", "UnexpectedEof"), (tag(9, I32) + b"abc", "UnexpectedEof"), (b"\x0a\x02X", "InvalidLength"),
    (b"\x0a" + varint(2**64 - 1) + b"xyz", "InvalidLength"),  # position + length overflows
    (ld(2, vint(3, 1) + tag(5, VARINT) + b"\xff" * 9 + b"\x81\x01"), "VarintOverflow"),
    # A sub-record ends where its length says, whatever follows it.
    (ld(2, vint(3, 1) + tag(9, I64) + b"abcd") + b"efghijkl", "UnexpectedEof"),
    (ld(2, vint(3, 1) + vint(5, 300)[:-1]) + b"\x02", "UnexpectedEof"),
    (ld(3, ld(7, tag(7, VARINT))) + b"\x01", "UnexpectedEof"),
    (ld(8, ld(1, b"name")[:-2]) + b"me", "InvalidLength"),
])
def test_reader_errors_at_every_level(data, expected):
    assert error_of(data) == f"Wire({expected})"
    with pytest.raises(DecodeError):
        descriptor_pb2.DescriptorProto.FromString(data)


@pytest.mark.parametrize("options", [
    b"", ld(8, vint(2, 0)), ld(8, vint(2, 1)), ld(8, vint(2, 0)) + ld(8, vint(2, 1)), ld(8, vint(2, 1) + vint(2, 0)),
    ld(8, vint(2, 2**64 - 1)), ld(8, ld(2, b"")), ld(8, vint(3, 0)), ld(8, vint(1, 1)),
])
def test_packed_option_as_the_reference_reads_it(options):
    field = raw_field(label=3, type=5, extra=options)
    ref = descriptor_pb2.FieldDescriptorProto.FromString(field).options
    unpacked = ref.HasField("packed") and not ref.packed
    got = compile_descriptor(ld(2, field)).encode(types.SimpleNamespace(f=[1, 2]))
    assert got == (vint(1, 1) + vint(1, 2) if unpacked else ld(1, b"\x01\x02"))
