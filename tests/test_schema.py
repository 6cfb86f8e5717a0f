"""The descriptor compiler, observed through compile_descriptor's errors and a
compiled descriptor's `name` and `ref_fields()`."""

import pytest
from google.protobuf import descriptor_pb2
from google.protobuf.message import DecodeError

from protos import I32, I64, LEN, REPEATED, REQUIRED, VARINT, field, ld, map_entry, message, message_proto, tag, varint, vf
from quillspar._core import compile_descriptor


def error_of(data):
    with pytest.raises(ValueError) as info:
        compile_descriptor(data)
    msg = str(info.value)
    assert msg.startswith("bad descriptor: ")
    return msg.removeprefix("bad descriptor: ")


def refs(data):
    return compile_descriptor(data).ref_fields()


def raw_field(number=1, type=5, name=b"f", label=None, type_name=None, extra=b""):
    """A FieldDescriptorProto record body built by hand."""
    body = ld(1, name) + vf(3, number)
    if label is not None:
        body += vf(4, label)
    if type is not None:
        body += vf(5, type)
    if type_name is not None:
        body += ld(6, type_name)
    return body + extra


MSG = field("m", 1, "MESSAGE", type_name=".pkg.Other")
NO_TYPE = ld(2, raw_field(type=None))


def test_empty_descriptor():
    d = compile_descriptor(b"")
    assert d.name == "" and d.ref_fields() == [] and d.is_linked is False


def test_descriptor_from_reference_runtime():
    # Everything the compiler skips (enums, options, extensions, reserved
    # ranges, json names, defaults, a package-qualified nested message) is there.
    m = message(
        "Outer",
        fields=[
            field("color", 5, "ENUM", type_name=".pkg.Color"),
            field("s", 1, "STRING", type_name=".pkg.Ignored"),
            field("items", 3, "MESSAGE", REPEATED, type_name=".pkg.Outer.ItemsEntry"),
            field("counts", 2, "MESSAGE", REPEATED, type_name=".pkg.Outer.CountsEntry"),
            field("inner", 4, "MESSAGE", type_name=".pkg.Outer.Inner"),
            field("o", 6, "INT32", oneof_index=0, proto3_optional=True),
            field("c", 7, "UINT64", oneof_index=1),
        ],
        nested=[
            map_entry("ItemsEntry", value="MESSAGE", value_type_name=".pkg.Item"),
            map_entry("CountsEntry", key="INT64", value="SINT32"),
            message("Inner", fields=[field("x", 1, "BYTES")]),
        ],
        oneofs=["_o", "choice"],
    )
    m.field[1].default_value = "x"
    m.field[1].json_name = "S"
    m.field[1].options.packed = True
    m.enum_type.add(name="Color").value.add(name="RED", number=0)
    m.extension_range.add(start=100, end=200)
    m.reserved_range.add(start=50, end=60)
    m.reserved_name.append("old")
    m.options.deprecated = True
    m.extension.add(name="ext", number=100, type=descriptor_pb2.FieldDescriptorProto.TYPE_INT32, extendee=".x")
    d = compile_descriptor(m.SerializeToString())
    assert d.name == "Outer"
    assert d.ref_fields() == [(5, "Color"), (3, "Item"), (4, "Inner")]
    assert all(type(n) is int and type(s) is str for n, s in d.ref_fields())


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"\x0a", "Wire(UnexpectedEof)"),
        (b"\x80", "Wire(UnexpectedEof)"),
        (b"\x0a\x05abc", "Wire(InvalidLength)"),
        (b"\x0b", "Wire(InvalidWireType(3))"),
        (b"\x0c", "Wire(InvalidWireType(4))"),
        (b"\x0e", "Wire(InvalidWireType(6))"),
        (b"\x0f", "Wire(InvalidWireType(7))"),
        (b"\xff" * 9 + b"\x80", "Wire(VarintOverflow)"),
        (ld(2, raw_field(type=10)), "UnsupportedType(10)"),
        (ld(2, raw_field(type=0)), "UnsupportedType(0)"),
        (ld(2, raw_field(type=19)), "UnsupportedType(19)"),
        (ld(2, raw_field(type=4294967295)), "UnsupportedType(-1)"),
        (ld(2, raw_field(type=2**31)), "UnsupportedType(-2147483648)"),
        (ld(2, raw_field(type=2**64 - 1)), "UnsupportedType(-1)"),
        # Compared on the full value, reported with the low 32 bits.
        (ld(2, raw_field(type=2**32 + 5)), "UnsupportedType(5)"),
        (NO_TYPE, "MissingType"),
        (ld(2, b""), "MissingType"),
        (ld(1, b"\xff"), "InvalidUtf8"),
    ],
)
def test_error_text_forms(data, expected):
    assert error_of(data) == expected


def test_wire_errors_are_refused_by_the_reference_too():
    for data in (b"\x0a", b"\x80", b"\x0a\x05abc", b"\x0b", b"\xff" * 9 + b"\x80"):
        with pytest.raises(DecodeError):
            descriptor_pb2.DescriptorProto.FromString(data)


@pytest.mark.parametrize(
    "data, expected",
    [
        # Phase 1 reads the whole input before any own field is resolved.
        (NO_TYPE + b"\x0a", "Wire(UnexpectedEof)"),
        (NO_TYPE + ld(1, b"\xc0\x80"), "InvalidUtf8"),
        (NO_TYPE + ld(8, b"\x0b"), "Wire(InvalidWireType(3))"),
        # ... nested types included, whose fields are checked as they are read.
        (NO_TYPE + ld(3, ld(2, raw_field(number=2, type=10))), "UnsupportedType(10)"),
        (ld(2, raw_field(type=10)) + ld(3, ld(2, raw_field(number=3, type=None))), "MissingType"),
        # Own fields: the earlier one in the input.
        (ld(2, raw_field(type=10)) + NO_TYPE, "UnsupportedType(10)"),
        (NO_TYPE + ld(2, raw_field(type=10)), "MissingType"),
        (ld(2, raw_field(type=5)) + ld(2, raw_field(type=19)) + ld(2, raw_field(type=0)), "UnsupportedType(19)"),
        # Within phase 1, the first problem in input order.
        (ld(1, b"\xff") + b"\x0a", "InvalidUtf8"),
        (ld(3, ld(2, raw_field(number=2, type=None))) + ld(3, ld(2, raw_field(number=2, type=10))), "MissingType"),
    ],
)
def test_first_error_wins(data, expected):
    assert error_of(data) == expected


@pytest.mark.parametrize(
    "where",
    ["message", "field", "type_name", "scalar_type_name", "oneof", "nested", "nested_field", "nested_type_name"],
)
@pytest.mark.parametrize(
    "bad",
    [
        b"\xff",
        b"\x80",
        b"\xc0\x80",  # overlong NUL
        b"\xe0\x80\xaf",  # overlong "/"
        b"\xed\xa0\x80",  # surrogate U+D800
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        b"\xf8\x88\x80\x80\x80",
        b"\xe2\x82",  # truncated
        b"abcdefghijklmnop\xe2\x82",
        b"abcdefgh\xff",
    ],
)
def test_invalid_utf8_in_every_name(where, bad):
    data = {
        "message": ld(1, bad),
        "field": ld(2, raw_field(name=bad)),
        "type_name": ld(2, raw_field(type=11, type_name=bad)),
        "scalar_type_name": ld(2, raw_field(type=5, type_name=bad)),
        "oneof": ld(8, ld(1, bad)),
        "nested": ld(3, ld(1, bad)),
        "nested_field": ld(3, ld(2, raw_field(number=1, name=bad))),
        "nested_type_name": ld(3, ld(2, raw_field(number=2, type=11, type_name=bad))),
    }[where]
    assert error_of(data) == "InvalidUtf8"


@pytest.mark.parametrize(
    "name",
    ["", "a", "é", "€uro", "𝄞", "\U0010ffff", "\ud7ff", "\ue000", "ascii-run-longer-than-eight-é", "x" * 300, "\x00"],
)
def test_valid_utf8_names(name):
    raw = name.encode()
    data = ld(1, raw) + ld(2, raw_field(type=11, type_name=b"." + raw, name=raw)) + ld(8, ld(1, raw)) + ld(3, ld(1, raw))
    d = compile_descriptor(data)
    assert d.name == name
    assert d.ref_fields() == [(1, name)]


def test_name_record_handling():
    assert compile_descriptor(ld(1, b"first") + ld(1, b"second")).name == "second"
    # A name sent with another wire type is skipped.
    assert compile_descriptor(vf(1, 7)).name == ""
    assert compile_descriptor(ld(1, b"kept") + vf(1, 7) + tag(1, I32) + b"abcd").name == "kept"
    # Field numbers are the low 32 bits of tag >> 3: 2^32 + 1 reads as the name.
    assert compile_descriptor(tag(2**32 + 1, LEN) + varint(2) + b"hi").name == "hi"
    assert compile_descriptor(tag(2**61 - 1, LEN) + varint(1) + b"x").name == ""


def test_unknown_records_are_skipped():
    unknown = vf(0, 1) + tag(4, LEN) + varint(2) + b"\x0b\x0c" + tag(99, I64) + b"12345678" + tag(100, I32) + b"1234"
    inner = raw_field(number=9, type=14, type_name=b".E", extra=unknown + ld(8, b"\x0b") + ld(2, b"\x0b"))
    nested = ld(1, b"N") + unknown + ld(3, b"\x0b") + ld(4, b"\x0c") + ld(8, b"\x0f")
    data = unknown + ld(7, b"\x0b") + ld(4, b"\x0b") + ld(2, inner) + ld(3, nested) + ld(8, ld(1, b"o") + unknown) + ld(1, b"X")
    d = compile_descriptor(data)
    assert d.name == "X" and d.ref_fields() == [(9, "E")]
    # Records the compiler reads are scanned for wire types: nested options are.
    assert error_of(ld(3, ld(7, b"\x0b"))) == "Wire(InvalidWireType(3))"


@pytest.mark.parametrize(
    "extra, expected",
    [
        (b"", [(1, "Other")]),
        (vf(3, 2), [(2, "Other")]),
        (vf(3, 2**32 + 7), [(7, "Other")]),
        (vf(3, 2**64 - 1), [(4294967295, "Other")]),
        (vf(3, 0), [(0, "Other")]),
        # A number sent with another wire type is skipped and stays as before.
        (ld(3, b"\x05"), [(1, "Other")]),
        # A type sent as a length-delimited record is no type.
        (ld(5, b"\x0b"), [(1, "Other")]),
        (ld(6, b".a.Last"), [(1, "Last")]),
        (vf(6, 1), [(1, "Other")]),
        # Labels other than 1..3 and required fields are accepted.
        (vf(4, 2), [(1, "Other")]),
        (vf(4, 77), [(1, "Other")]),
        # A oneof index beyond the oneofs, a proto3 flag without a oneof.
        (vf(9, 12345), [(1, "Other")]),
        (vf(17, 1) + vf(9, 2**32 + 3), [(1, "Other")]),
        (vf(5, 14), [(1, "Other")]),
        (vf(5, 9), []),
    ],
)
def test_field_record_members(extra, expected):
    assert refs(ld(2, raw_field(number=1, type=11, type_name=b".pkg.Other", extra=extra))) == expected


def test_field_record_type_is_last_one():
    assert error_of(ld(2, raw_field(type=11, type_name=b"X", extra=ld(5, b"") + vf(5, 10)))) == "UnsupportedType(10)"
    assert error_of(ld(2, raw_field(type=None, extra=ld(5, b"\x0b")))) == "MissingType"


@pytest.mark.parametrize(
    "type_name, expected",
    [
        (".pkg.Outer.Inner", "Inner"),
        ("Inner", "Inner"),
        (".a.b.", ""),
        ("", ""),
        (".", ""),
        ("..x", "x"),
        (".é.Ü", "Ü"),
    ],
)
@pytest.mark.parametrize("kind", ["MESSAGE", "ENUM"])
def test_type_name_shortening(type_name, expected, kind):
    for label in (1, 2, REPEATED):
        assert refs(message_proto(fields=[field("f", 4, kind, label, type_name=type_name)])) == [(4, expected)]


def test_ref_fields_selection_and_order():
    fields = [
        field("color", 5, "ENUM", type_name=".pkg.Color"),
        field("s", 1, "STRING", type_name=".pkg.Color"),  # scalars keep no type name
        field("items", 3, "MESSAGE", REPEATED, type_name=".pkg.M.ItemsEntry"),
        field("counts", 2, "MESSAGE", REPEATED, type_name=".pkg.M.CountsEntry"),
        field("untyped", 8, "MESSAGE"),  # no type name: not listed
        field("again", 5, "MESSAGE", type_name="Color"),
        field("e", 1, "ENUM", REPEATED, type_name="E"),
    ]
    nested = [map_entry("ItemsEntry", value="MESSAGE", value_type_name=".pkg.Item"), map_entry("CountsEntry")]
    assert refs(message_proto(fields=fields, nested=nested)) == [(5, "Color"), (3, "Item"), (5, "Color"), (1, "E")]
    all_scalars = [field(f"f{t}", t, t) for t in (1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 15, 16, 17, 18)]
    assert refs(message_proto(fields=all_scalars)) == []


REPEATED_TAGS = field("tags", 1, "MESSAGE", REPEATED, type_name=".pkg.Msg.TagsEntry")
TAGS_ENTRY = map_entry("TagsEntry", value="MESSAGE", value_type_name=".pkg.Other")


@pytest.mark.parametrize("entry_first", [False, True])
def test_map_entry_recognised_before_and_after_the_field(entry_first):
    entry = ld(3, TAGS_ENTRY.SerializeToString())
    fld = ld(2, REPEATED_TAGS.SerializeToString())
    assert refs(entry + fld if entry_first else fld + entry) == [(1, "Other")]


def entry_body(name=b"TagsEntry", options=(b"\x38\x01",), key=(1, 9, None), value=(2, 11, b".pkg.Other"), extra=b""):
    """A nested DescriptorProto body by hand; key/value are (number, type, type_name) or None."""
    body = ld(1, name) if name is not None else b""
    for f in (key, value):
        if f is not None:
            body += ld(2, raw_field(number=f[0], type=f[1], type_name=f[2]))
    return body + b"".join(ld(7, o) for o in options) + extra


@pytest.mark.parametrize(
    "nested, expected",
    [
        ([entry_body()], "Other"),
        ([entry_body(options=())], "TagsEntry"),
        ([entry_body(options=(b"\x38\x00",))], "TagsEntry"),
        ([entry_body(options=(b"\x38\x02",))], "Other"),
        ([entry_body(options=(b"\x38" + varint(2**63),))], "Other"),
        ([entry_body(options=(b"\x38\x01", b"\x38\x00"))], "TagsEntry"),
        ([entry_body(options=(b"\x38\x01\x38\x00",))], "TagsEntry"),
        ([entry_body(options=(b"\x38\x00", b"\x08\x01\x38\x01"))], "Other"),
        # map_entry with another wire type, or another option number, does not count.
        ([entry_body(options=(ld(7, b"\x01"),))], "TagsEntry"),
        ([entry_body(options=(b"\x08\x01\x30\x01",))], "TagsEntry"),
        # Names compare exactly.
        ([entry_body(name=b"tagsentry")], "TagsEntry"),
        ([entry_body(name=b"Msg.TagsEntry")], "TagsEntry"),
        # The last map entry of a name replaces an earlier one; a non-map type does not.
        ([entry_body(), entry_body(value=(2, 14, b".pkg.Second"))], "Second"),
        ([entry_body(), entry_body(options=(), value=(2, 11, b".x.Plain"))], "Other"),
        ([entry_body(name=b"TagsEntry", extra=ld(1, b"Renamed"))], "TagsEntry"),
        # The last value field replaces kind and type name together.
        ([entry_body(extra=ld(2, raw_field(number=2, type=14, type_name=b".e.Late")))], "Late"),
        ([entry_body(value=(2, 14, b".e.Early"), extra=ld(2, raw_field(number=2, type=11)))], None),
        ([entry_body(extra=ld(2, raw_field(number=2, type=5, type_name=b".x.Y")))], None),
        # Fields with other numbers, and the key's type name, play no part.
        ([entry_body(key=(1, 14, b".x.KeyEnum"), extra=ld(2, raw_field(number=3, type=11, type_name=b".x.Z")))], "Other"),
        # No value field: a String value, so nothing to link.
        ([entry_body(value=None)], None),
        ([entry_body(value=(2, 11, None))], None),
        ([entry_body(key=None)], "Other"),
    ],
)
def test_map_entry_recognition(nested, expected):
    data = ld(2, REPEATED_TAGS.SerializeToString()) + b"".join(ld(3, n) for n in nested)
    assert refs(data) == ([] if expected is None else [(1, expected)])


@pytest.mark.parametrize("key_type", [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 0, 19, 2**64 - 1])
def test_map_key_types_are_never_refused(key_type):
    data = ld(2, REPEATED_TAGS.SerializeToString()) + ld(3, entry_body(key=(1, key_type, b".k.K")))
    assert refs(data) == [(1, "Other")]


@pytest.mark.parametrize(
    "value_type, expected",
    [(t, None) for t in (1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 15, 16, 17, 18)] + [(11, "V"), (14, "V")],
)
def test_map_value_kinds(value_type, expected):
    data = ld(2, REPEATED_TAGS.SerializeToString()) + ld(3, entry_body(value=(2, value_type, b".v.V")))
    assert refs(data) == ([] if expected is None else [(1, expected)])


@pytest.mark.parametrize(
    "nested_field, expected",
    [
        (raw_field(number=2, type=10), "UnsupportedType(10)"),
        (raw_field(number=2, type=0), "UnsupportedType(0)"),
        (raw_field(number=2, type=2**32 + 10), "UnsupportedType(10)"),
        (raw_field(number=2, type=None), "MissingType"),
        (raw_field(number=1, type=None), "MissingType"),
        (raw_field(number=7, type=None), "MissingType"),
        (b"", "MissingType"),
    ],
)
@pytest.mark.parametrize("is_map_entry", [True, False])
def test_nested_type_fields_are_checked(nested_field, expected, is_map_entry):
    nested = ld(1, b"N") + ld(2, nested_field) + (ld(7, b"\x38\x01") if is_map_entry else b"")
    assert error_of(ld(3, nested)) == expected


@pytest.mark.parametrize(
    "label, type_name, expected",
    [
        # Only label 3 (compared on the full value) makes a map.
        (REPEATED, b".pkg.Msg.TagsEntry", "Other"),
        (1, b".pkg.Msg.TagsEntry", "TagsEntry"),
        (REQUIRED, b".pkg.Msg.TagsEntry", "TagsEntry"),
        (0, b".pkg.Msg.TagsEntry", "TagsEntry"),
        (2**32 + 3, b".pkg.Msg.TagsEntry", "TagsEntry"),
        # A repeated message field of a type that is not a map entry.
        (REPEATED, b".pkg.Msg.Other", "Other"),
        (REPEATED, b".pkg.Msg.Unrelated", "Unrelated"),
        (REPEATED, b"TagsEntry", "Other"),
        (REPEATED, b"Other.TagsEntry", "Other"),
    ],
)
def test_map_recognition_needs_repeated_message(label, type_name, expected):
    own = ld(2, raw_field(number=1, type=11, label=label, type_name=type_name))
    assert refs(own + ld(3, TAGS_ENTRY.SerializeToString())) == [(1, expected)]


def test_map_recognition_other_cases():
    entry = ld(3, TAGS_ENTRY.SerializeToString())
    # An enum field or a field without type name is never a map.
    assert refs(ld(2, raw_field(type=14, label=3, type_name=b".pkg.TagsEntry")) + entry) == [(1, "TagsEntry")]
    assert refs(ld(2, raw_field(type=11, label=3)) + entry) == []
    # A map field ignores its own oneof index and proto3 flag.
    extra = vf(9, 0) + vf(17, 1)
    assert refs(ld(2, raw_field(type=11, label=3, type_name=b".p.TagsEntry", extra=extra)) + entry) == [(1, "Other")]
    # A nameless map entry matches a type name that ends in ".".
    nameless = ld(3, entry_body(name=None, value=(2, 14, b".e.Mode")))
    assert refs(ld(2, raw_field(type=11, label=3, type_name=b"pkg.")) + nameless) == [(1, "Mode")]
    assert refs(ld(2, raw_field(type=11, label=3, type_name=b"")) + nameless) == [(1, "Mode")]


@pytest.mark.parametrize(
    "fields, oneofs",
    [
        ([field("a", 1, "INT32", 1)], []),
        ([field("a", 1, "INT32", oneof_index=0, proto3_optional=True)], ["_a"]),
        ([field("a", 1, "INT32", oneof_index=1)], ["x", "y"]),
        ([field("a", 1, "INT32", oneof_index=7)], []),
        ([field("a", 1, "MESSAGE", type_name="A"), field("b", 1, "MESSAGE", REPEATED, type_name="A")], [""]),
        ([field("a", 0, "INT32"), field("a", 2**29 - 1, "INT32"), field("a", 0, "INT32")], []),
    ],
)
def test_cardinality_and_oneof_inputs_compile(fields, oneofs):
    d = compile_descriptor(message_proto(fields=fields, oneofs=oneofs))
    assert d.ref_fields() == [(f.number, f.type_name) for f in fields if f.type_name]


# ---- the wire reader's limits, as the compiler meets them

OVERLONG_TAG_10 = b"\x8a" + b"\x80" * 8  # tag 0x0a (field 1, LEN) spread over ten bytes


@pytest.mark.parametrize(
    "data",
    [
        OVERLONG_TAG_10 + b"\x00\x01X",
        OVERLONG_TAG_10 + b"\x7e\x01X",  # bits 1..6 of the tenth byte are ignored
        OVERLONG_TAG_10 + b"\x7f\x01X",  # bit 63 falls outside the 32-bit field number
        b"\x0a\x81" + b"\x80" * 8 + b"\x00X",  # ten-byte length
        b"\x0a\x81" + b"\x80" * 8 + b"\x7eX",
        b"\x80\x00\x00" + ld(1, b"X"),  # over-long tag 0 (field 0, varint) is skipped
    ],
)
def test_long_varints(data):
    assert compile_descriptor(data).name == "X"


@pytest.mark.parametrize(
    "tenth, is_map",
    [(b"\x00", True), (b"\x7e", True), (b"\x7f", False), (b"\x01", False)],
)
def test_tenth_varint_byte_contributes_bit_63(tenth, is_map):
    # A label of 3 written in ten bytes: with bit 63 set it is no longer 3.
    label = tag(4, VARINT) + b"\x83" + b"\x80" * 8 + tenth
    own = ld(2, raw_field(number=1, type=11, type_name=b"TagsEntry", extra=label))
    assert refs(own + ld(3, TAGS_ENTRY.SerializeToString())) == [(1, "Other" if is_map else "TagsEntry")]


def test_ten_byte_type_keeps_64_bits():
    long_type = tag(5, VARINT) + b"\x8b" + b"\x80" * 8
    assert refs(ld(2, raw_field(type=None, type_name=b"T", extra=long_type + b"\x7e"))) == [(1, "T")]
    assert error_of(ld(2, raw_field(type=None, type_name=b"T", extra=long_type + b"\x01"))) == "UnsupportedType(11)"


@pytest.mark.parametrize("tail", [b"", b"\x00", b"\x0a\x01X" * 5])
@pytest.mark.parametrize(
    "data, expected",
    [
        # Overflow: the tenth byte still continues; no eleventh byte is read.
        (b"\xff" * 9 + b"\x80", "VarintOverflow"),
        (b"\x80" * 10, "VarintOverflow"),
        (b"\x0a" + b"\xff" * 9 + b"\x80", "VarintOverflow"),
        (ld(2, vf(3, 1) + tag(5, VARINT) + b"\xff" * 9 + b"\x81\x01"), "VarintOverflow"),
        # Lengths past the end, or whose sum with the position overflows.
        (b"\x0a" + varint(2**64 - 1) + b"xyz", "InvalidLength"),
        (b"\x0a" + varint(2**63) + b"xyz", "InvalidLength"),
        (b"\x12" + varint(2**64 - 2) + b"xyz", "InvalidLength"),
        (tag(42, LEN) + varint(2**64 - 1), "InvalidLength"),
    ],
)
def test_varint_overflow_and_lengths(data, expected, tail):
    assert error_of(data + tail) == f"Wire({expected})"


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"\x80", "UnexpectedEof"),
        (b"\x80\x00", "UnexpectedEof"),
        (b"\xff" * 9, "UnexpectedEof"),
        (b"\x0a", "UnexpectedEof"),
        (b"\x0a\x80", "UnexpectedEof"),
        (b"\x08", "UnexpectedEof"),
        (b"\x08\xff\xff", "UnexpectedEof"),
        (tag(9, I32) + b"abc", "UnexpectedEof"),
        (tag(9, I64) + b"abcdefg", "UnexpectedEof"),
        (b"\x0a\x02X", "InvalidLength"),
        # Sub-records end where their length says, whatever follows them.
        (ld(2, vf(3, 1) + tag(9, I64) + b"abcd") + b"efghijkl", "UnexpectedEof"),
        (ld(2, vf(3, 1) + tag(9, I32) + b"ab") + b"cdef", "UnexpectedEof"),
        (ld(2, vf(3, 1) + vf(5, 300)[:-1]) + b"\x02", "UnexpectedEof"),
        (ld(3, ld(7, tag(7, VARINT))) + b"\x01", "UnexpectedEof"),
        (ld(2, ld(1, b"ab")[:-1]) + b"b", "InvalidLength"),
        (ld(8, ld(1, b"name")[:-2]) + b"me", "InvalidLength"),
    ],
)
def test_truncation(data, expected):
    assert error_of(data) == f"Wire({expected})"
    with pytest.raises(DecodeError):
        descriptor_pb2.DescriptorProto.FromString(data)


def test_fixed_width_values_at_the_end():
    assert compile_descriptor(tag(9, I32) + b"abcd").name == ""
    assert compile_descriptor(tag(9, I64) + b"abcdefgh").name == ""
    assert compile_descriptor(ld(1, b"X") + tag(9, I64) + b"abcdefgh" + tag(9, I32) + b"abcd").name == "X"
