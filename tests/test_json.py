"""The proto3 JSON mapping against the reference runtime's `json_format`
(loading the descriptors the package exports, and the reference's own files
for the well-known types), its error messages, both text codecs, and the
conveniences (which_oneof, copy.replace, repr)."""

import concurrent.futures
import copy
import enum
import functools
import gc
import json
import math
import subprocess
import sys
import threading
import weakref

import pytest
from google.protobuf import (
    any_pb2, descriptor_pb2, descriptor_pool, duration_pb2, empty_pb2, field_mask_pb2, json_format, message_factory,
    struct_pb2, timestamp_pb2, wrappers_pb2,
)
from hypothesis import HealthCheck, given, settings, strategies as st

import quillspar
from codec_protos import SCALARS, Types, canon, messages
from quillspar import (
    JsonError, double, field, fixed32, fixed64, float32, int32, int64, message, sfixed32, sfixed64, sint32, sint64,
    uint32, uint64, wkt,
)
from quillspar import _json
from quillspar._names import _message_info, _type_info
from refcount import assert_refcount_flat

__proto_package__ = "json.test"

MARKERS = dict(zip(SCALARS, [double, float32, int32, int64, uint32, uint64, sint32, sint64, fixed32, fixed64,
                             sfixed32, sfixed64, bool, str, bytes]))


class Mood(enum.IntEnum):
    CALM = 0
    HAPPY = 1
    SAD = -2
    GLAD = 1  # an alias: written by the first name


@message
class Inner:
    name: str
    weight: sint32


def declare(name, annotations):
    return message(type(name, (), {"__annotations__": annotations, "__module__": __name__}))


Scalars = declare("Scalars", {"f_" + k: t for k, t in MARKERS.items()} | {"r_" + k: list[t] for k, t in MARKERS.items()}
                  | {"o_" + k: t | None for k, t in MARKERS.items()}
                  | {"mood": Mood, "moods": list[Mood], "o_mood": Mood | None, "inner": Inner | None,
                     "inners": list[Inner]})
Maps = declare("Maps", {f"{k}_{v}": dict[MARKERS[k], MARKERS[v]] for k, v in [
    ("string", "int64"), ("int32", "string"), ("int64", "double"), ("uint32", "bytes"), ("uint64", "float"),
    ("sint32", "bool"), ("sint64", "sint64"), ("fixed32", "fixed64"), ("fixed64", "uint32"),
    ("sfixed32", "sfixed32"), ("sfixed64", "int32"), ("bool", "string")]} | {"string_mood": dict[str, Mood],
                                                                             "int32_inner": dict[int32, Inner]})


@message
class Named:
    snake_case_field: int32
    renamed: int64 = field(json_name="customName")
    listed: list[str] = field(json_name="x_y")
    choice_a: Inner | None = field(oneof="choice")
    choice_b: str | None = field(oneof="choice")
    choice_c: Mood | None = field(oneof="choice")
    maybe: Mood | None


@message
class Keyword:
    from_: str = field(name="from")
    is_ok: bool = field(json_name="ok")


W = wkt
Holder = declare("Holder", {
    "ts": W.Timestamp | None, "dur": W.Duration | None, "fm": W.FieldMask | None, "st": W.Struct | None,
    "val": W.Value | None, "lv": W.ListValue | None, "any": W.Any | None, "empty": W.Empty | None,
    "d": W.DoubleValue | None, "f": W.FloatValue | None, "i64": W.Int64Value | None, "u64": W.UInt64Value | None,
    "i32": W.Int32Value | None, "u32": W.UInt32Value | None, "b": W.BoolValue | None, "s": W.StringValue | None,
    "by": W.BytesValue | None, "vals": list[W.Value], "by_key": dict[str, W.Value], "null": W.NullValue,
    "stamps": list[W.Timestamp]})


@message
class Node:
    label: str
    children: list[Node]


CLASSES = [Scalars, Maps, Named, Keyword, Holder, Inner, Node]
quillspar.resolve()
WKT_FILES = [timestamp_pb2, duration_pb2, field_mask_pb2, struct_pb2, any_pb2, empty_pb2, wrappers_pb2]
POOL = descriptor_pool.DescriptorPool()
for _module in WKT_FILES:
    POOL.Add(descriptor_pb2.FileDescriptorProto.FromString(_module.DESCRIPTOR.serialized_pb))
for _raw in quillspar.file_descriptors(*CLASSES):
    _file = descriptor_pb2.FileDescriptorProto.FromString(_raw)
    if _file.package == "google.protobuf":
        continue  # the reference runtime's own files stand in for it
    del _file.dependency[:]
    _file.dependency.extend(m.DESCRIPTOR.name for m in WKT_FILES)
    POOL.Add(_file)


def ref(cls):
    return message_factory.GetMessageClass(POOL.FindMessageTypeByName(quillspar.full_name(cls)))


HYPOTHESIS = [Scalars, Maps, Named]
T = Types({_message_info(c).name: descriptor_pb2.DescriptorProto.FromString(_message_info(c).proto) for c in HYPOTHESIS + [Inner]},
          {_message_info(c).name: c for c in HYPOTHESIS + [Inner]}, {_type_info(Mood).name: Mood},
          {_message_info(c).name: ref(c) for c in HYPOTHESIS + [Inner]}, open_enums=True)

# (our options, json_format's)
OPTIONS = [
    ({}, {}),
    ({"include_defaults": True}, {"always_print_fields_with_no_presence": True}),
    ({"enums_as_numbers": True, "proto_names": True},
     {"use_integers_for_enums": True, "preserving_proto_field_name": True}),
]


@pytest.fixture(autouse=True, scope="module", params=["native", "python"])
def path(request):
    """Every test twice: with the native plans, and with the Python converters alone."""
    saved = _json._NATIVE
    _json._NATIVE = request.param == "native"
    yield request.param
    _json._NATIVE = saved


def python_only(fn, *args, **kwargs):
    """What the Python converters alone give."""
    saved = _json._NATIVE
    _json._NATIVE = False
    try:
        return fn(*args, **kwargs)
    finally:
        _json._NATIVE = saved


@pytest.fixture(params=["orjson", "json"])
def codec(request, monkeypatch):
    """Both JSON text codecs: orjson and the standard library's fallback."""
    if request.param == "json":
        monkeypatch.setattr(_json, "_loads", _json._std_loads)
        monkeypatch.setattr(_json, "_dumps", _json._std_dumps)
    return request.param


# ---------------------------------------------------------------- against json_format


@pytest.mark.parametrize("cls", HYPOTHESIS, ids=lambda c: c.__name__)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_values_agree_with_json_format(cls, data):
    value = data.draw(messages(T, _message_info(cls).name, map_size=3))
    ours_options, their_options = data.draw(st.sampled_from(OPTIONS))
    theirs = T.to_ref(value)
    assert quillspar.to_dict(value, **ours_options) == json_format.MessageToDict(theirs, **their_options)
    assert value.to_json(**ours_options) == python_only(value.to_json, **ours_options)
    try:
        parsed = json_format.Parse(value.to_json(**ours_options), ref(cls)())
    except json_format.ParseError as exc:
        # json_format refuses the shortest form of the largest float, 3.4028235e+38, its own output included
        assert "Float value too" in str(exc)
    else:
        assert canon(T.from_ref(parsed)) == canon(value)
    back = cls.from_json(json_format.MessageToJson(theirs, **their_options))
    assert type(back) is cls and canon(back) == canon(value)
    assert canon(cls.from_dict(quillspar.to_dict(value, **ours_options))) == canon(value)


TS, DUR, NULL = wkt.Timestamp, wkt.Duration, wkt.Value(null_value=wkt.NullValue.NULL_VALUE)
WKT_CASES = [
    (Holder(ts=TS()), {"ts": "1970-01-01T00:00:00Z"}),
    (Holder(ts=TS(seconds=-1, nanos=10_000)), {"ts": "1969-12-31T23:59:59.000010Z"}),
    (Holder(ts=TS(seconds=86_400 * 365, nanos=1)), {"ts": "1971-01-01T00:00:00.000000001Z"}),
    (Holder(ts=TS(seconds=wkt.TIMESTAMP_MIN_SECONDS)), {"ts": "0001-01-01T00:00:00Z"}),
    (Holder(stamps=[TS(seconds=wkt.TIMESTAMP_MAX_SECONDS, nanos=999_999_999), TS(nanos=120_000_000)]),
     {"stamps": ["9999-12-31T23:59:59.999999999Z", "1970-01-01T00:00:00.120Z"]}),
    (Holder(dur=DUR()), {"dur": "0s"}),
    (Holder(dur=DUR(seconds=-1, nanos=-500_000_000)), {"dur": "-1.500s"}),
    (Holder(dur=DUR(nanos=-1)), {"dur": "-0.000000001s"}),
    (Holder(dur=DUR(seconds=-wkt.DURATION_MAX_SECONDS, nanos=-1000)), {"dur": "-315576000000.000001s"}),
    (Holder(fm=wkt.FieldMask(paths=["user.display_name", "photo"])), {"fm": "user.displayName,photo"}),
    (Holder(st=wkt.Struct.from_dict({"a": [1, "x", None, True, {"b": {}}], "": 2.5})),
     {"st": {"a": [1.0, "x", None, True, {"b": {}}], "": 2.5}}),
    (Holder(st=wkt.Struct(), val=NULL), {"st": {}, "val": None}),
    (Holder(vals=[wkt.Value(number_value=-0.5), wkt.Value(string_value=""), wkt.Value(bool_value=False),
                  wkt.Value.from_python([[], {}]), NULL], by_key={"k": NULL}),
     {"vals": [-0.5, "", False, [[], {}], None], "byKey": {"k": None}}),
    (Holder(lv=wkt.ListValue.from_list([1, None])), {"lv": [1.0, None]}),
    (Holder(any=wkt.Any()), {"any": {}}),
    (Holder(any=wkt.Any.pack(TS(seconds=3))),
     {"any": {"@type": "type.googleapis.com/google.protobuf.Timestamp", "value": "1970-01-01T00:00:03Z"}}),
    (Holder(any=wkt.Any.pack(Inner(name="n", weight=-3))),
     {"any": {"@type": "type.googleapis.com/json.test.Inner", "name": "n", "weight": -3}}),
    (Holder(any=wkt.Any.pack(wkt.Empty())), {"any": {"@type": "type.googleapis.com/google.protobuf.Empty"}}),
    (Holder(any=wkt.Any.pack(wkt.Any.pack(wkt.Struct.from_dict({"x": 1})))),
     {"any": {"@type": "type.googleapis.com/google.protobuf.Any",
              "value": {"@type": "type.googleapis.com/google.protobuf.Struct", "value": {"x": 1.0}}}}),
    (Holder(empty=wkt.Empty(), d=wkt.DoubleValue(value=math.inf), f=wkt.FloatValue(value=0.10000000149011612)),
     {"empty": {}, "d": "Infinity", "f": 0.1}),
    (Holder(i64=wkt.Int64Value(), u64=wkt.UInt64Value(value=2**64 - 1), i32=wkt.Int32Value(value=-1),
            u32=wkt.UInt32Value(value=2**32 - 1)), {"i64": "0", "u64": "18446744073709551615", "i32": -1,
                                                    "u32": 4294967295}),
    (Holder(b=wkt.BoolValue(), s=wkt.StringValue(value="é"), by=wkt.BytesValue(value=b"\xfb\xff")),
     {"b": False, "s": "é", "by": "+/8="}),
]


@pytest.mark.parametrize(("value", "expected"), WKT_CASES, ids=lambda x: json.dumps(x) if isinstance(x, dict) else "")
def test_well_known_types_in_their_special_forms(value, expected):
    assert value.to_dict() == expected
    theirs = ref(Holder).FromString(value.to_bytes())
    assert json_format.MessageToDict(theirs, descriptor_pool=POOL) == expected
    assert Holder.from_dict(expected) == value
    parsed = json_format.Parse(json.dumps(expected), ref(Holder)(), descriptor_pool=POOL)
    assert Holder.from_bytes(parsed.SerializeToString()) == value


@pytest.mark.parametrize(("field_name", "text", "expected"), [
    ("ts", "1972-01-01T10:00:20.021+05:30", TS(seconds=63_072_000 + 36_020 - 19_800, nanos=21_000_000)),
    ("ts", "1970-01-01T00:00:00.5-01:00", TS(seconds=3600, nanos=500_000_000)),
    ("dur", "-0.5s", DUR(nanos=-500_000_000)),
    ("dur", "3.1s", DUR(seconds=3, nanos=100_000_000)),
    ("fm", "a.bC,d", wkt.FieldMask(paths=["a.b_c", "d"])),
    ("i64", 12, wkt.Int64Value(value=12)),
    ("u32", "1e3", wkt.UInt32Value(value=1000)),
    ("by", "-_8", wkt.BytesValue(value=b"\xfb\xff")),
])
def test_well_known_types_accept_every_form(field_name, text, expected):
    value = Holder.from_dict({field_name: text})
    assert getattr(value, field_name) == expected
    parsed = json_format.Parse(json.dumps({field_name: text}), ref(Holder)(), descriptor_pool=POOL)
    assert Holder.from_bytes(parsed.SerializeToString()) == value


def test_top_level_well_known_types():
    assert quillspar.to_json(TS(seconds=1)) == '"1970-01-01T00:00:01Z"'
    assert wkt.Duration.from_json('"2s"') == DUR(seconds=2)
    assert wkt.Value.from_json("null") == NULL
    assert quillspar.from_json(wkt.Struct, '{"a": [true]}') == wkt.Struct.from_dict({"a": [True]})
    assert quillspar.to_json(wkt.ListValue.from_list(["x"])) == '["x"]'


def test_reserved_words_enum_aliases_and_nulls():
    # The rest of the naming and presence rules are checked against json_format above.
    kw = Keyword(from_="x", is_ok=True)
    assert kw.to_dict() == {"from": "x", "ok": True} == json_format.MessageToDict(
        ref(Keyword).FromString(kw.to_bytes()))
    assert Keyword.from_dict({"from": "x", "is_ok": True}) == kw == Keyword.from_json('{"from":"x","ok":true}')
    assert Scalars.from_dict({"mood": "GLAD", "moods": [1, "1", 7.0, "SAD"]}) == Scalars(
        mood=Mood.HAPPY, moods=[Mood.HAPPY, Mood.HAPPY, 7, Mood.SAD])
    # null leaves any field unset, except that it is a Value's null or NullValue
    nulls = {"fInt32": None, "rString": None, "oBool": None, "inner": None, "mood": None}
    assert Scalars.from_dict(nulls) == Scalars()
    assert Holder.from_dict({"val": None, "null": None, "ts": None}) == Holder(val=NULL)
    assert Holder().to_dict(include_defaults=True)["null"] is None
    assert Holder().to_dict(include_defaults=True, enums_as_numbers=True)["null"] == 0


def test_ignore_unknown():
    d = {"nope": 1, "mood": "ANGRY", "moods": ["HAPPY", "ANGRY"], "inner": {"x": 1}}
    assert Scalars.from_dict(d, ignore_unknown=True) == Scalars(moods=[Mood.HAPPY], inner=Inner())
    assert Maps.from_dict({"stringMood": {"a": "ANGRY", "b": "SAD"}}, ignore_unknown=True) == Maps(
        string_mood={"b": Mood.SAD})
    theirs = json_format.Parse(json.dumps(d), ref(Scalars)(), ignore_unknown_fields=True)
    assert Scalars.from_bytes(theirs.SerializeToString()) == Scalars.from_dict(d, ignore_unknown=True)


# ---------------------------------------------------------------- malformed input


LENIENT = "json_format accepts it (or fails with another exception)"
MALFORMED = [
    (Scalars, {"fInt32": "x"}, 'fInt32: expected an integer, got "x"'),
    (Scalars, {"fInt32": 1.5}, "fInt32: expected an integer, got 1.5"),
    (Scalars, {"fInt32": True}, "fInt32: expected an integer, got true"),
    (Scalars, {"fInt32": 2**31}, "fInt32: 2147483648 is out of range -2147483648 to 2147483647"),
    (Scalars, {"fUint64": "-1"}, 'fUint64: "-1" is out of range 0 to 18446744073709551615'),
    (Scalars, {"fInt64": " 1"}, 'fInt64: expected an integer, got " 1"'),
    (Scalars, {"fInt64": "1e999"}, 'fInt64: "1e999" is out of range'),
    (Scalars, {"fBool": "true"}, 'fBool: expected true or false, got "true"'),
    (Scalars, {"fString": 5}, "fString: expected a string, got 5"),
    (Scalars, {"fString": "\ud800"}, "fString: .* lone surrogate"),
    (Scalars, {"fBytes": "!!"}, 'fBytes: "!!" is not base64', LENIENT),
    (Scalars, {"fDouble": "nan"}, 'fDouble: expected a number, got "nan"'),
    (Scalars, {"fFloat": 1e39}, "fFloat: 1e\\+39 is out of range for a float"),
    (Scalars, {"mood": "ANGRY"}, 'mood: enum json.test.Mood has no value named "ANGRY"'),
    (Scalars, {"inners": [{}, {"name": 1}]}, "inners\\[1\\].name: expected a string, got 1"),
    (Scalars, {"inners": {}}, "inners: expected an array, got an object"),
    (Scalars, {"inners": [None]}, "inners\\[0\\]: expected an object, got null"),
    (Scalars, {"inner": []}, "inner: expected an object, got an array", LENIENT),
    (Scalars, {"rInt32": [1, None]}, "rInt32\\[1\\]: expected an integer, got null"),
    (Scalars, {"nope": 1}, "nope: no such field in json.test.Scalars"),
    (Scalars, {"inner": {"a b": 1}}, 'inner\\["a b"\\]: no such field in json.test.Inner'),
    (Scalars, [], "expected an object, got an array", LENIENT),
    (Maps, {"int32String": {"x": "a"}}, 'int32String\\["x"\\]: map key "x" is not an integer'),
    (Maps, {"boolString": {"yes": ""}}, 'boolString\\["yes"\\]: map key "yes" is not "true" or "false"'),
    (Maps, {"int32Inner": {"1": {"weight": "w"}}}, 'int32Inner\\["1"\\].weight: expected an integer, got "w"'),
    (Maps, {"stringInt64": {"a": None}}, 'stringInt64\\["a"\\]: expected an integer, got null'),
    (Named, {"choiceA": {}, "choiceB": "x"}, "oneof 'choice' has more than one member set: choiceA, choiceB"),
    (Named, {"snakeCaseField": 1, "snake_case_field": 2},
     "snake_case_field: the field is given twice, as 'snakeCaseField' and 'snake_case_field'", LENIENT),
    (Holder, {"ts": "2020-13-01T00:00:00Z"}, 'ts: "2020-13-01T00:00:00Z" is not a valid time: month must be'),
    (Holder, {"ts": "2020-01-01 00:00:00Z"}, "ts: expected an RFC 3339 time"),
    (Holder, {"ts": "0001-01-01T00:00:00+00:01"}, "ts: .* is out of range"),
    (Holder, {"stamps": ["1970-01-01T00:00:00.1234567891Z"]}, "stamps\\[0\\]: expected an RFC 3339 time"),
    (Holder, {"dur": "1.5"}, 'dur: expected a duration in seconds such as "1.5s", got "1.5"'),
    (Holder, {"dur": "315576000001s"}, "dur: .* is out of range"),
    (Holder, {"fm": "a_b"}, 'fm: FieldMask path "a_b" is not lowerCamelCase'),
    (Holder, {"st": []}, "st: expected an object, got an array"),
    (Holder, {"st": {"a": [1, {"b": float("nan")}]}}, 'st\\["a"\\]\\[1\\]\\["b"\\]: expected a JSON value, got nan', LENIENT),
    (Holder, {"any": {"value": 1}}, 'any: an Any needs its "@type"'),
    (Holder, {"any": {"@type": "type.googleapis.com/no.Such"}},
     'any\\["@type"\\]: type URL .* names no message class defined here'),
    (Holder, {"any": {"@type": "type.googleapis.com/google.protobuf.Duration"}},
     'any: an Any holding google.protobuf.Duration needs its "value"', LENIENT),
    (Holder, {"any": {"@type": "type.googleapis.com/json.test.Inner", "weight": "w"}},
     'any.weight: expected an integer, got "w"'),
    (Holder, {"any": {"@type": "type.googleapis.com/google.protobuf.Duration", "value": "1s", "x": 1}},
     "any.x: no such field in an Any holding google.protobuf.Duration", LENIENT),
]


@pytest.mark.parametrize(("cls", "value", "text", "reference"), [(*case, "")[:4] for case in MALFORMED],
                         ids=lambda x: str(x)[:40])
def test_malformed_input_names_the_path(cls, value, text, reference):
    with pytest.raises(JsonError, match=f"^{text}") as info:
        cls.from_dict(value)
    assert isinstance(info.value, ValueError)
    top_level = text.startswith(("expected", "oneof"))
    assert info.value.path == ("" if top_level else text.split(": ")[0].replace("\\", ""))
    try:
        json.dumps(value, allow_nan=False, ensure_ascii=False).encode()
        as_text = text
    except (ValueError, UnicodeEncodeError):
        as_text = "invalid JSON"  # not JSON at all, as text
    with pytest.raises(JsonError, match=f"^{as_text}"):
        cls.from_json(json.dumps(value))
    if not reference:
        with pytest.raises(json_format.ParseError):  # the reference runtime refuses it too
            json_format.ParseDict(value, ref(cls)(), descriptor_pool=POOL)


def outcome(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except (JsonError, TypeError) as exc:
        return type(exc), str(exc)


# Text that the native parser reads itself, or leaves to orjson: either way
# the result (or the error) of the Python converters reading orjson's values.
TEXTS = [
    (Scalars, r'{"fString": "a\u00e9\ud83d\ude00\n\"\/é", "fInt64": "-0", "fInt32": -0, "fDouble": -0}'),
    (Scalars, ' \n{ "fInt32" : 1 ,\t"fBool":true, "rDouble": [1, -0.0, 1e-400, 1.5e308, 2.5E-3] } \r\n'),
    (Scalars, '{"fInt32": 1, "fInt32": null}'),
    (Scalars, '{"fInt32": 1, "f_int32": 2}'),
    (Scalars, '{"fInt32": null, "f_int32": 2, "fDouble": 12345678901234567890123, "fFloat": 3.4028235e38}'),
    (Scalars, '{"fInt64": 18446744073709551616}'),
    (Scalars, '{"fUint64": 18446744073709551615, "fSint64": "-9223372036854775808", "fInt32": "0012"}'),
    (Scalars, '{"fBytes": "-_8", "rBytes": ["AAB", "AA==", ""]}'),
    (Scalars, '{"mood": "SAD", "moods": [1, "HAPPY", 7], "oMood": 0, "fInt32": 1.0}'),
    (Scalars, '{"inner": {"name": "x"}, "inners": [{}, {"weight": -3}], "oString": ""}'),
    (Scalars, '{"fString": "\\ud800"}'),
    (Scalars, '{"fInt32": 01}'),
    (Scalars, '{"fInt32": 1,}'),
    (Scalars, '{"nope": {"a": [1, "é", null]}, "fInt32": 1}'),
    (Scalars, b'{"nope\xff": 1}'),
    (Scalars, b'{"fString": "\xc3\xa9", "oString": "\xff"}'),
    (Maps, '{"int32String": {"1": "a", "01": "b", "-1": "c"}, "boolString": {"true": "t", "false": ""}}'),
    (Maps, '{"int32String": {"1": "a", "01": "b", "1": "c"}}'),
    (Maps, '{"stringMood": {"a": "SAD", "b": 1}, "uint64Float": {"18446744073709551615": "-Infinity"}}'),
    (Holder, '{"val": null, "null": null, "st": {"a": [1, {"b": null}]}, "vals": [null, 1, "x"]}'),
    (Holder, '{"ts": "1970-01-01T00:00:01Z", "i64": "5", "by": "AA==", "any": {"@type": 1}}'),
    (Named, '{"choiceA": {}, "choiceB": "x"}'),
    (Named, '{"choiceA": null, "choiceB": "x", "maybe": "GLAD", "customName": "7", "x_y": ["a"]}'),
    (Node, '{"children": [' * 600 + ']}' * 600),
]


@pytest.mark.parametrize("ignore", [False, True])
@pytest.mark.parametrize(("cls", "text"), TEXTS, ids=lambda x: str(x)[:40])
def test_text_read_as_the_values_path_reads_it(cls, text, ignore):
    assert outcome(cls.from_json, text, ignore_unknown=ignore) == python_only(outcome, cls.from_json, text,
                                                                               ignore_unknown=ignore)


@pytest.mark.parametrize("text", [
    "[", '{"fInt32": NaN}', '{"fInt32": 1} x', b"\xff", '"\\ud800"', "[" * 3000, '{"nope": "\ud800"}',
    '{"nope": "\\udc00"}', b'{"nope": "\xed\xa0\x80"}', '{"nope": 1}'.encode("utf-16"), b'\xef\xbb\xbf{"nope": 1}',
    '{"nope": "\\ud800\\ud800", "nope": 1}', '{"nope": ["\\udfff\\ud800"]}', '{"nope": 1e999}',
    '{"nope": -1' + "0" * 400 + "}",
])
def test_text_that_is_not_json(codec, text):
    # Only UTF-8 is JSON text, and lone surrogates are not UTF-8, in any key
    # or string, whether or not the key is read.
    for ignore in (False, True):
        with pytest.raises(JsonError, match="^invalid JSON"):
            Scalars.from_json(text, ignore_unknown=ignore)


@pytest.mark.parametrize(("text", "outcome"), [
    ("41e999187256833530070212", 'fInt64: "41e999187256833530070212" is out of range'),
    ("-1e9999999999999999999", 'fInt64: "-1e9999999999999999999" is out of range'),
    ("1e-999999999999999999999", 'fInt64: expected an integer, got "1e-999999999999999999999"'),
    ("0e999999999999999999999", 0),
    ("-0.0e-999999999999999999999", 0),
])
def test_integers_with_exponents_beyond_any_decimal(text, outcome):
    if isinstance(outcome, int):
        assert Scalars.from_dict({"fInt64": text}) == Scalars(f_int64=outcome)
        return
    with pytest.raises(JsonError, match=f"^{outcome}"):
        Scalars.from_dict({"fInt64": text})


@pytest.mark.parametrize(("text", "error"), [
    ('{"fInt64": -9223372036854775809}', "fInt64: -9223372036854775809 is out of range"),
    ('{"rSint64": [0, -9223372036854776000]}', "rSint64\\[1\\]: -9223372036854776000 is out of range"),
    ('{"fUint64": 18446744073709551616}', "fUint64: 18446744073709551616 is out of range"),
])
def test_integers_beyond_64_bits_are_read_exactly(codec, text, error):
    # orjson reads them as floats, which may round into the field's range
    with pytest.raises(JsonError, match=f"^{error}"):
        Scalars.from_json(text)
    assert Scalars.from_json('{"fInt64": -9223372036854775808, "fDouble": 100000000000000000000}') == Scalars(
        f_int64=-(2**63), f_double=1e20)


def test_deep_nesting_is_an_error_not_a_crash(codec):
    deep = "[" * 900 + "]" * 900
    with pytest.raises(JsonError):
        wkt.Value.from_json(deep)
    value: dict = {}
    for _ in range(5000):
        value = {"children": [value]}
    with pytest.raises(JsonError, match="nested too deeply"):
        Node.from_dict(value)


CANNOT_HOLD = [
    (Scalars(f_int32="x"), TypeError, "Scalars.f_int32: expected an int, got str 'x'"),
    (Scalars(f_uint32=-1), ValueError, "Scalars.f_uint32: -1 is out of range 0 to 4294967295"),
    (Scalars(r_string=["a", 1]), TypeError, "Scalars.r_string\\[1\\]: expected a str, got int 1"),
    (Scalars(inners=[Inner(), 5]), TypeError, "Scalars.inners\\[1\\]: expected a Inner, got int 5"),
    (Scalars(inner=Inner(weight=1.5)), TypeError, "Scalars.inner.weight: expected an int, got float"),
    (Maps(int32_string={"1": "a"}), TypeError, "Maps.int32_string: map key '1': expected an int, got str"),
    (Holder(ts=TS(seconds=-(10**12))), ValueError, "Holder.ts: Timestamp seconds -1000000000000 out of range"),
    (Holder(dur=DUR(seconds=1, nanos=-1)), ValueError, "Holder.dur: Duration seconds 1 and nanos -1 have"),
    (Holder(fm=wkt.FieldMask(paths=["aB"])), ValueError, "Holder.fm.paths\\[0\\]: FieldMask path 'aB' has no JSON"),
    (Holder(val=wkt.Value(number_value=1.0, string_value="x")), ValueError, "Holder.val: a Value has more than one"),
    (Holder(val=wkt.Value(number_value=math.nan)), ValueError, "Holder.val.number_value: nan is not a JSON number"),
    (Holder(any=wkt.Any(type_url="x/no.Such")), ValueError, "Holder.any.type_url: type URL 'x/no.Such' names no"),
    (Scalars(f_string="\ud800"), ValueError, "cannot write JSON"),
    (Scalars(o_int64=2**63), ValueError, "Scalars.o_int64: 9223372036854775808 is out of range"),
    (Maps(int32_string={2**31: "x"}), ValueError, "Maps.int32_string: map key 2147483648: 2147483648 is out of"),
    (Named(choice_c=2**40), ValueError, "Named.choice_c: 1099511627776 is out of range"),
    (Scalars(mood=[1]), TypeError, "Scalars.mood: expected an int, got list"),
    (Scalars(moods=[Mood.SAD, {}]), TypeError, "Scalars.moods\\[1\\]: expected an int, got dict"),
    (Maps(string_mood={"a": Inner()}), TypeError, 'Maps.string_mood\\["a"\\]: expected an int, got Inner'),
    (Named(choice_c=Inner()), TypeError, "Named.choice_c: expected an int, got Inner"),
]


@pytest.mark.parametrize(("value", "error", "text"), CANNOT_HOLD)
def test_values_a_field_cannot_hold(value, error, text):
    with pytest.raises(error, match=f"^{text}"):
        value.to_json()


@pytest.mark.parametrize("number", [1e-5, -1.25e-5, 1.5e-7, 1e-4, 1e15, 1e16, 1.5e16, 5e-324, 1.7976931348623157e308,
                                    -0.0, 0.1, 3.4028234663852886e38, 1e39, 2.5e-45])
def test_float_text_as_orjson_writes_it(number):
    value = Scalars(f_double=number, r_double=[number, 1.0], f_float=number, r_float=[number],
                    o_double=number, o_float=number)
    for options in ({}, {"include_defaults": True}):
        assert value.to_json(**options) == python_only(value.to_json, **options)
    assert value.to_dict() == python_only(value.to_dict)


# Input the converters must refuse at any nesting depth and position, each
# with the Python converters' own exception.
HOSTILE = [
    (Node, {"children": [{"label": 2**100}]}, JsonError),
    (Node, {"children": [{"children": {}}]}, JsonError),
    (Node, {"label": "x", "label ": 1}, JsonError),
    (Scalars, {"fInt64": "9" * 400}, JsonError),
    (Scalars, {"fUint64": "18446744073709551616"}, JsonError),
    (Scalars, {"fInt64": 1e300}, JsonError),
    (Scalars, {"fDouble": 10**400}, JsonError),
    (Scalars, {"fBytes": "A"}, JsonError),
    (Scalars, {"fBytes": "AA=="[:3] + "\u00e9"}, JsonError),
    (Scalars, {"inner": {"name": "\udfff"}}, JsonError),
    (Scalars, {"moods": ["HAPPY", ["SAD"]]}, JsonError),
    (Maps, {"int32Inner": {"1": {"name": "a"}, "-2147483649": {}}}, JsonError),
    (Maps, {"stringMood": {"a": 2**31}}, JsonError),
    (Holder, {"vals": [1, {"a": [None, {"b": 1e400}]}]}, JsonError),
    (Holder, {"stamps": ["1970-01-01T00:00:00Z", 5]}, JsonError),
    (Named, {"choiceB": "x", "choice_c": "CALM"}, JsonError),
]


@pytest.mark.parametrize(("cls", "value", "error"), HOSTILE, ids=lambda x: str(x)[:30])
def test_hostile_input_ends_in_the_converters_error(cls, value, error):
    with pytest.raises(error) as native:
        cls.from_dict(value)
    with pytest.raises(error) as python:
        python_only(cls.from_dict, value)
    assert str(native.value) == str(python.value)


def test_deep_and_self_containing_values():
    deep = Node(label="x")
    for _ in range(5000):
        deep = Node(children=[deep])
    with pytest.raises(RecursionError):
        deep.to_json()
    loop = Node()
    loop.children.append(loop)
    with pytest.raises(RecursionError):
        loop.to_dict()
    nested = {"label": "end"}
    for _ in range(200):
        nested = {"children": [nested]}
    assert Node.from_dict(nested).to_dict() == nested


Deep = declare("Deep", {"label": str, "children": "list[Deep]", "child": "Deep | None", "by_name": "dict[str, Deep]"})


def deep_node(levels, via):
    value = {"label": "end"}
    for _ in range(levels):
        value = {"children": [value]} if via == "children" else {"byName": {"k": value}} if via == "byName" else {
            "child": value}
    return value


@pytest.mark.parametrize("via", ["children", "child", "byName"])
@pytest.mark.parametrize("levels", [150, 300, 450, 900])
def test_deep_nesting_ends_as_the_python_converters_end_it(levels, via):
    # However deep the converters' own recursion lets them go, the native
    # plans give the same outcome: the same message, or the same error.
    value = deep_node(levels, via)
    text = json.dumps(value)
    assert outcome(Deep.from_json, text) == python_only(outcome, Deep.from_json, text)
    assert outcome(Deep.from_dict, value) == python_only(outcome, Deep.from_dict, value)
    made = python_only(Deep.from_dict, deep_node(min(levels, 200), via))
    for write in (quillspar.to_json, quillspar.to_dict):
        assert ending(write, made) == python_only(ending, write, made)


def ending(fn, *args):
    """The result of a call, or the type and message of what it raised."""
    try:
        return fn(*args)
    except Exception as exc:
        return type(exc), str(exc)


def test_classes_are_freed_with_their_plans():
    refs = []
    for _ in range(50):
        cls = declare("Made", {"children": list[Node], "me": "Made | None", "mood": Mood, "ts": wkt.Timestamp | None})
        value = cls(children=[Node()], me=cls(mood=Mood.SAD), ts=wkt.Timestamp(seconds=1))
        assert cls.from_json(value.to_json()) == value == cls.from_dict(value.to_dict(include_defaults=True))
        refs.append(weakref.ref(cls))
    del cls, value
    gc.collect()
    assert [r for r in refs if r() is not None] == []


# ---------------------------------------------------------------- reference counts

FULL = Scalars(f_double=1.5, f_float=0.1, f_int64=-(2**63), f_uint64=2**64 - 1, f_bytes=b"\xff" * 7, f_string="é\n",
               r_int32=[1, -2], r_sfixed64=[5], r_bool=[True], r_bytes=[b"", b"a"], o_string="", mood=Mood.SAD,
               moods=[Mood.HAPPY, 7], o_mood=Mood.CALM, inner=Inner(name="n"), inners=[Inner(weight=3)])
MAPS = Maps(string_int64={"a": 1}, int64_double={-1: math.inf}, uint32_bytes={7: b"x"}, bool_string={True: "t"},
            string_mood={"m": Mood.SAD}, int32_inner={3: Inner()})
WKT_HOLDER = WKT_CASES[10][0]
REFCOUNT_CASES = [
    *[(functools.partial(quillspar.to_json, value, **options), None) for value in (FULL, MAPS, WKT_HOLDER)
      for options in ({}, {"include_defaults": True, "enums_as_numbers": True}, {"indent": 2})],
    *[(functools.partial(quillspar.to_dict, value), None) for value in (FULL, MAPS, WKT_HOLDER)],
    *[(functools.partial(type(value).from_dict, json.loads(value.to_json())), None)
      for value in (FULL, MAPS, WKT_HOLDER)],
    # The text parser itself (from_json would count orjson's references, which
    # a debug interpreter does not see it take).
    *[(functools.partial(lambda cls, text: _json._native(_json._plan_of(cls), 0, False).parse(text),
                         type(value), text), None)
      for value in (FULL, MAPS, WKT_HOLDER) for text in (value.to_json(), value.to_json().encode(), '{"x": 1}')],
    *[(functools.partial(cls.from_dict, value), error) for cls, value, error in HOSTILE],
    *[(functools.partial(cls.from_dict, value), JsonError) for cls, value, *_ in MALFORMED],
    *[(value.to_json, error) for value, error, text in CANNOT_HOLD if not text.startswith("cannot write")],
]


@pytest.mark.refcount
@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
@pytest.mark.parametrize(("fn", "error"), REFCOUNT_CASES)
def test_no_leak(fn, error):
    # Ten rounds: the converters' error paths run generated Python code whose
    # interpreter caches settle slowly, and now and then grew in six rounds
    # running; a reference lost per call still grows in every round.
    assert_refcount_flat(fn, error, repeat=10)


# ---------------------------------------------------------------- text options and the two codecs


def test_both_codecs_write_and_read_the_same(codec):
    value = Scalars(f_string="é\n\"", r_int64=[1, -2], inner=Inner(name="n"), moods=[Mood.SAD], f_double=-0.0,
                    f_bytes=b"\x00")
    compact = '{"fDouble":-0.0,"fString":"é\\n\\"","fBytes":"AA==","rInt64":["1","-2"],"moods":["SAD"],' \
              '"inner":{"name":"n"}}'
    assert value.to_json() == compact
    assert quillspar.to_json(value, indent=2, sort_keys=True) == json.dumps(
        json.loads(compact), indent=2, sort_keys=True, ensure_ascii=False)
    assert value.to_json(indent=4) == json.dumps(json.loads(compact), indent=4, ensure_ascii=False)
    for text in (compact, compact.encode(), bytearray(compact.encode()), memoryview(compact.encode())):
        assert Scalars.from_json(text) == value
    with pytest.raises(TypeError):
        Scalars.from_json(5)
    with pytest.raises(TypeError):
        value.to_json(indent="  ")


def test_the_package_works_without_orjson():
    code = """if True:
        import sys; sys.modules['orjson'] = None
        from quillspar import JsonError, _json
        from quillspar.wkt import Struct
        s = Struct.from_dict({'a': [1, 'é']})
        assert _json._orjson is None and s.to_json() == '{"a":[1.0,"é"]}' and Struct.from_json(s.to_json()) == s
        try:
            Struct.from_json('[NaN]')
        except JsonError as e:
            assert str(e).startswith('invalid JSON')
        else:
            raise AssertionError('NaN was read')
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_the_functions_refuse_what_is_not_a_message_class():
    with pytest.raises(TypeError, match="not a message class"):
        quillspar.to_json(object())
    with pytest.raises(TypeError):
        quillspar.from_dict(5, {})


# ---------------------------------------------------------------- conveniences


def test_which_oneof():
    assert quillspar.which_oneof(Named(choice_c=Mood.CALM), "choice") == "choice_c"
    assert Named(choice_b="").which_oneof("choice") == "choice_b"
    assert quillspar.which_oneof(Named(), "choice") is None
    with pytest.raises(ValueError, match="Named has no oneof 'maybe' \\(its oneofs: choice\\)"):
        quillspar.which_oneof(Named(), "maybe")
    with pytest.raises(TypeError):
        quillspar.which_oneof(object(), "choice")


def test_copy_replace():
    value = Named.from_bytes(Named(snake_case_field=1, choice_a=Inner()).to_bytes() + b"\xa0\x06\x01")
    changed = copy.replace(value, choice_b="x", renamed=5)
    assert changed.choice_a is None and changed.choice_b == "x" and changed.renamed == 5
    assert changed.snake_case_field == 1 and quillspar.unknown_fields(changed) == b"\xa0\x06\x01"
    assert value.choice_a == Inner() and value.choice_b is None  # the original is unchanged
    assert copy.replace(value, choice_a=None).which_oneof("choice") is None
    with pytest.raises(TypeError, match="nope"):
        copy.replace(value, nope=1)


def test_repr_stays_readable():
    assert repr(Named(choice_b="x")) == "Named(snake_case_field=0, renamed=0, listed=[], choice_b='x', maybe=None)"
    long = repr(Scalars(r_int32=list(range(100)), f_string="y" * 500))
    assert "r_int32=[0, 1, 2, 3, 4, 5, 6, 7, 8, 9, ...]" in long and len(long) < 2000
    deep = Node(label="0")
    for i in range(1, 20):
        deep = Node(label=str(i), children=[deep])
    assert repr(deep).count("Node(") < 10 and "Node(...)" in repr(deep)


def test_converters_built_by_racing_threads():
    cls = declare("Racy", {"a": int64, "nodes": list[Node], "inner": Inner | None, "st": wkt.Struct | None})
    value = cls(a=5, nodes=[Node(label="x", children=[Node()])], inner=Inner(name="i"),
                st=wkt.Struct.from_dict({"k": [1]}))
    expected = {"a": "5", "nodes": [{"label": "x", "children": [{}]}], "inner": {"name": "i"}, "st": {"k": [1.0]}}
    barrier = threading.Barrier(8)

    def work(_):
        barrier.wait()
        return value.to_dict(), cls.from_dict(expected)

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert list(pool.map(work, range(8))) == [(expected, value)] * 8
