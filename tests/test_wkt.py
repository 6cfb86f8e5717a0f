"""The well-known types: their bytes against the reference runtime's classes,
the conversions to and from datetime, timedelta and dict, and Any."""

import importlib.util
import math
import re
import subprocess
import sys
import time
from datetime import date, datetime, timedelta, timezone
from typing import Any as AnyType

import pytest
from google.protobuf import (
    any_pb2, descriptor_pb2, duration_pb2, empty_pb2, field_mask_pb2, struct_pb2, timestamp_pb2, wrappers_pb2,
)
from hypothesis import given, settings, strategies as st

import quillspar
from quillspar import message, sint32
from quillspar.wkt import (
    Any, BoolValue, BytesValue, DoubleValue, Duration, Empty, FieldMask, FloatValue, Int32Value, Int64Value,
    ListValue, NullValue, StringValue, Struct, Timestamp, UInt32Value, UInt64Value, Value,
)

UTC = timezone.utc
TS_MIN, TS_MAX = -62_135_596_800, 253_402_300_799
DUR_MAX = 315_576_000_000
I32, I64 = st.integers(-(2**31), 2**31 - 1), st.integers(-(2**63), 2**63 - 1)


@message
class Point:
    x: sint32
    y: sint32
    label: str


floats = st.floats(allow_nan=False)
SIMPLE = [
    (Timestamp, timestamp_pb2.Timestamp, {"seconds": I64, "nanos": I32}),
    (Duration, duration_pb2.Duration, {"seconds": I64, "nanos": I32}),
    (Any, any_pb2.Any, {"type_url": st.text(), "value": st.binary()}),
    (FieldMask, field_mask_pb2.FieldMask, {"paths": st.lists(st.text())}),
    (Empty, empty_pb2.Empty, {}),
    (DoubleValue, wrappers_pb2.DoubleValue, {"value": floats}),
    (FloatValue, wrappers_pb2.FloatValue, {"value": st.floats(allow_nan=False, width=32)}),
    (Int64Value, wrappers_pb2.Int64Value, {"value": I64}),
    (UInt64Value, wrappers_pb2.UInt64Value, {"value": st.integers(0, 2**64 - 1)}),
    (Int32Value, wrappers_pb2.Int32Value, {"value": I32}),
    (UInt32Value, wrappers_pb2.UInt32Value, {"value": st.integers(0, 2**32 - 1)}),
    (BoolValue, wrappers_pb2.BoolValue, {"value": st.booleans()}),
    (StringValue, wrappers_pb2.StringValue, {"value": st.text()}),
    (BytesValue, wrappers_pb2.BytesValue, {"value": st.binary()}),
]


@pytest.mark.parametrize("ours, theirs", [p[:2] for p in SIMPLE] + [
    (Struct, struct_pb2.Struct), (Value, struct_pb2.Value), (ListValue, struct_pb2.ListValue)], ids=lambda p: p.__name__)
def test_descriptors_equal_protocs(ours: type, theirs: AnyType) -> None:
    assert quillspar.full_name(ours) == theirs.DESCRIPTOR.full_name
    assert quillspar.find_class(theirs.DESCRIPTOR.full_name) is ours
    [exported] = quillspar.file_descriptors(ours)
    mine = descriptor_pb2.FileDescriptorProto.FromString(exported)
    expected = descriptor_pb2.FileDescriptorProto()
    theirs.DESCRIPTOR.file.CopyToProto(expected)
    assert mine.package == expected.package
    expected_messages = {m.name: m for m in expected.message_type}
    assert {m.name: m for m in mine.message_type} == {m.name: expected_messages[m.name] for m in mine.message_type}
    assert theirs.DESCRIPTOR.name in {m.name for m in mine.message_type}
    assert list(mine.enum_type) == list(expected.enum_type)[:len(mine.enum_type)]


# ---------------------------------------------------------------- bytes both ways



@pytest.mark.parametrize("ours, theirs, strategies", SIMPLE, ids=[p[0].__name__ for p in SIMPLE])
@settings(max_examples=30, deadline=None)
@given(data=st.data())
def test_bytes_match_the_reference_runtime(ours: AnyType, theirs: AnyType, strategies: AnyType,
                                           data: st.DataObject) -> None:
    values = data.draw(st.fixed_dictionaries(strategies))
    mine, reference = ours(**values), theirs(**values)
    encoded = reference.SerializeToString(deterministic=True)
    assert mine.to_bytes() == encoded
    assert ours.from_bytes(encoded) == mine
    assert theirs.FromString(mine.to_bytes()) == reference


json_values = st.recursive(
    st.none() | st.booleans() | st.floats(allow_nan=False) | st.integers(-(2**53), 2**53) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=20,
)


@settings(max_examples=60, deadline=None)
@given(st.dictionaries(st.text(max_size=5), json_values, max_size=5))
def test_struct_matches_the_reference_runtime(value: dict[str, AnyType]) -> None:
    reference = struct_pb2.Struct()
    reference.update(value)
    encoded = reference.SerializeToString(deterministic=True)
    mine, back = Struct.from_dict(value), Struct.from_bytes(encoded)
    assert back == mine and back.to_dict() == value
    assert back.to_bytes() == encoded  # the same bytes once the maps are in upb's order
    assert struct_pb2.Struct.FromString(mine.to_bytes()) == reference
    listed = struct_pb2.ListValue(values=[reference.fields[k] for k in value]).SerializeToString()
    back_list = ListValue.from_bytes(listed)
    assert ListValue.from_list(value.values()) == back_list and back_list.to_bytes() == listed
    assert back_list.to_list() == list(value.values())


@pytest.mark.parametrize("value", [None, False, 0.0, -0.0, "", {}, [], 7, [[]], {"": {}}], ids=repr)
def test_value_members_holding_defaults_are_written(value: AnyType) -> None:
    holder = struct_pb2.Struct()
    holder.update({"v": value})
    encoded = holder.fields["v"].SerializeToString()
    assert encoded and Value.from_python(value).to_bytes() == encoded
    back = Value.from_bytes(encoded).to_python()
    assert back == value and (not isinstance(value, float) or math.copysign(1, back) == math.copysign(1, value))


# ---------------------------------------------------------------- Timestamp and Duration conversions

def plus(hours: int) -> timezone:
    return timezone(timedelta(hours=hours))


@pytest.mark.parametrize("dt, seconds, nanos", [
    (datetime(1970, 1, 1, tzinfo=UTC), 0, 0),
    (datetime(1, 1, 1, tzinfo=UTC), TS_MIN, 0),
    (datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), TS_MAX, 999_999_000),
    (datetime(1969, 12, 31, 23, 59, 59, 500000, tzinfo=UTC), -1, 500_000_000),
    (datetime(2024, 2, 29, 12, 0, 0, 1, tzinfo=plus(2)), 1_709_200_800, 1000),
    (datetime(1, 1, 1, 1, 0, tzinfo=plus(1)), TS_MIN, 0),
    (datetime(2024, 2, 29, 12, 0, 0, 1), 1_709_208_000, 1000),  # naive: UTC, not local time
])
def test_timestamp_from_and_to_datetime(dt: datetime, seconds: int, nanos: int, monkeypatch: AnyType) -> None:
    monkeypatch.setenv("TZ", "XYZ-5:30")  # local time is not UTC
    time.tzset()
    try:
        ts = Timestamp.from_datetime(dt)
    finally:
        monkeypatch.undo()
        time.tzset()
    assert (ts.seconds, ts.nanos) == (seconds, nanos)
    back = ts.to_datetime()
    assert back.tzinfo is UTC and back == (dt if dt.tzinfo else dt.replace(tzinfo=UTC))
    reference = timestamp_pb2.Timestamp(seconds=seconds, nanos=nanos)
    assert reference.ToDatetime(tzinfo=UTC) == back


@settings(max_examples=100, deadline=None)
@given(st.datetimes(min_value=datetime(2, 1, 1), max_value=datetime(9998, 12, 31),
                    timezones=st.none() | st.just(UTC) | st.builds(plus, st.integers(-23, 23))),
       st.integers(TS_MIN * 10**9, TS_MAX * 10**9 + 999_999_999))
def test_timestamp_conversions_agree_with_the_reference(dt: datetime, total: int) -> None:
    from_dt, from_nanos = timestamp_pb2.Timestamp(), timestamp_pb2.Timestamp()
    from_dt.FromDatetime(dt)
    from_nanos.FromNanoseconds(total)
    ts, tn = Timestamp.from_datetime(dt), Timestamp.from_nanos(total)
    assert (ts.seconds, ts.nanos, tn.seconds, tn.nanos) == (from_dt.seconds, from_dt.nanos, from_nanos.seconds,
                                                            from_nanos.nanos)
    assert ts.to_datetime() == (dt if dt.tzinfo else dt.replace(tzinfo=UTC)) and tn.to_nanos() == total
    assert tn.to_datetime() == from_nanos.ToDatetime(tzinfo=UTC)  # both drop the nanoseconds past microseconds


def test_timestamp_now_is_the_clock() -> None:
    before = datetime.now(UTC)
    assert before <= Timestamp.now().to_datetime() <= datetime.now(UTC)


@pytest.mark.parametrize("td, seconds, nanos", [
    (timedelta(0), 0, 0),
    (timedelta(microseconds=-1), 0, -1000),
    (timedelta(seconds=-1, microseconds=-500000), -1, -500_000_000),
    (timedelta(days=-1), -86400, 0),
    (timedelta(days=1, microseconds=1), 86400, 1000),
    (timedelta(seconds=DUR_MAX, microseconds=999999), DUR_MAX, 999_999_000),
    (timedelta(seconds=-DUR_MAX, microseconds=-999999), -DUR_MAX, -999_999_000),
])
def test_duration_from_and_to_timedelta(td: timedelta, seconds: int, nanos: int) -> None:
    d = Duration.from_timedelta(td)
    assert (d.seconds, d.nanos) == (seconds, nanos)
    assert d.to_timedelta() == td


@settings(max_examples=100, deadline=None)
@given(st.integers(-DUR_MAX * 10**9 - 999_999_999, DUR_MAX * 10**9 + 999_999_999))
def test_duration_conversions_agree_with_the_reference(total: int) -> None:
    d = Duration.from_nanos(total)
    reference = duration_pb2.Duration()
    reference.FromNanoseconds(total)
    assert (d.seconds, d.nanos) == (reference.seconds, reference.nanos)
    assert d.to_nanos() == total
    td = d.to_timedelta()  # microseconds, rounded toward zero
    assert td == reference.ToTimedelta()
    assert Duration.from_timedelta(td).to_nanos() == (1 if total >= 0 else -1) * (abs(total) // 1000 * 1000)
    again = duration_pb2.Duration()
    again.FromTimedelta(td)
    assert Duration.from_timedelta(td) == Duration(seconds=again.seconds, nanos=again.nanos)


TS_RANGE = "0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z"


@pytest.mark.parametrize("call, error, text", [
    (lambda: Timestamp(seconds=TS_MAX + 1).to_datetime(), ValueError,
     f"Timestamp seconds 253402300800 out of range: a Timestamp lies within {TS_RANGE}, "
     "seconds -62135596800 to 253402300799"),
    (lambda: Timestamp(seconds=TS_MIN - 1).to_nanos(), ValueError, "Timestamp seconds -62135596801 out of range"),
    (lambda: Timestamp(nanos=-1).to_datetime(), ValueError, "Timestamp nanos -1 out of range 0 to 999999999"),
    (lambda: Timestamp(nanos=10**9).to_nanos(), ValueError, "Timestamp nanos 1000000000 out of range 0 to 999999999"),
    (lambda: Timestamp.from_datetime(datetime(1, 1, 1, tzinfo=plus(1))), ValueError,
     f"datetime 0001-01-01T00:00:00+01:00 out of range: a Timestamp lies within {TS_RANGE}"),
    (lambda: Timestamp.from_datetime(datetime(9999, 12, 31, 23, tzinfo=plus(-1))), ValueError,
     f"datetime 9999-12-31T23:00:00-01:00 out of range"),
    (lambda: Timestamp.from_nanos((TS_MAX + 1) * 10**9), ValueError,
     f"253402300800000000000 nanoseconds since the epoch out of range: a Timestamp lies within {TS_RANGE}"),
    (lambda: Timestamp.from_nanos(TS_MIN * 10**9 - 1), ValueError, "-62135596800000000001 nanoseconds since"),
    (lambda: Timestamp.from_nanos(1.5), TypeError, "'float' object cannot be interpreted as an integer"),
    (lambda: Timestamp.from_datetime(date(2024, 1, 1)), TypeError,
     "Timestamp.from_datetime() expects a datetime, not date"),
    (lambda: Duration(seconds=DUR_MAX + 1).to_timedelta(), ValueError,
     "Duration seconds 315576000001 out of range -315576000000 to 315576000000"),
    (lambda: Duration(seconds=-DUR_MAX - 1).to_nanos(), ValueError, "Duration seconds -315576000001 out of range"),
    (lambda: Duration(nanos=10**9).to_timedelta(), ValueError,
     "Duration nanos 1000000000 out of range -999999999 to 999999999"),
    (lambda: Duration(nanos=-(10**9)).to_nanos(), ValueError, "Duration nanos -1000000000 out of range"),
    (lambda: Duration(seconds=1, nanos=-1).to_timedelta(), ValueError,
     "Duration seconds 1 and nanos -1 have different signs"),
    (lambda: Duration(seconds=-1, nanos=1).to_nanos(), ValueError,
     "Duration seconds -1 and nanos 1 have different signs"),
    (lambda: Duration.from_timedelta(timedelta(seconds=DUR_MAX + 1)), ValueError,
     "timedelta of 315576000001 seconds out of range: a Duration lies within -315576000000 and 315576000000 seconds"),
    (lambda: Duration.from_timedelta(timedelta(seconds=-DUR_MAX - 1, microseconds=-10)), ValueError,
     "timedelta of -315576000001.00001 seconds out of range"),
    (lambda: Duration.from_nanos(-(DUR_MAX + 1) * 10**9), ValueError,
     "-315576000001000000000 nanoseconds out of range: a Duration lies within"),
    (lambda: Duration.from_timedelta(5), TypeError, "Duration.from_timedelta() expects a timedelta, not int"),
])
def test_range_checks(call: AnyType, error: type[Exception], text: str) -> None:
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value).startswith(text)


def test_range_ends_are_accepted() -> None:
    assert Timestamp(seconds=TS_MAX, nanos=999_999_999).to_nanos() == TS_MAX * 10**9 + 999_999_999
    assert Timestamp(seconds=TS_MIN).to_datetime() == datetime(1, 1, 1, tzinfo=UTC)
    for sign in (1, -1):
        d = Duration(seconds=sign * DUR_MAX, nanos=sign * 999_999_999)
        assert d.to_timedelta() == timedelta(seconds=sign * DUR_MAX, microseconds=sign * 999_999)
    assert Duration(seconds=0, nanos=-5).to_nanos() == -5


# ---------------------------------------------------------------- Any

def test_any_packs_and_unpacks_our_own_classes() -> None:
    point = Point(x=-3, y=4, label="p")
    packed = Any.pack(point)
    assert packed.type_url == f"type.googleapis.com/{quillspar.full_name(Point)}"
    assert packed.type_name == quillspar.full_name(Point)
    assert packed.value == point.to_bytes() and packed.holds(Point) and not packed.holds(Timestamp)
    assert packed.unpack() == point and packed.unpack(Point) == point
    wrapped = Any.from_bytes(Any.pack(packed).to_bytes()).unpack(Any)  # an Any inside an Any
    assert wrapped == packed and wrapped.unpack() == point
    for prefix in ("example.com/types", "example.com/types/"):
        assert Any.pack(point, prefix).type_url == f"example.com/types/{quillspar.full_name(Point)}"
    assert Any(type_url=f"anything/at/all/{quillspar.full_name(Point)}", value=b"").unpack() == Point()


def test_any_exchanges_well_known_types_with_the_reference_runtime() -> None:
    theirs = any_pb2.Any()
    theirs.Pack(timestamp_pb2.Timestamp(seconds=-5, nanos=7))
    mine = Any.from_bytes(theirs.SerializeToString())
    assert mine.type_url == "type.googleapis.com/google.protobuf.Timestamp"
    assert mine.unpack() == Timestamp(seconds=-5, nanos=7)
    packed = Any.pack(Struct.from_dict({"a": [1.5, None]}))
    assert packed.to_bytes() == any_pb2.Any(type_url=packed.type_url, value=packed.value).SerializeToString()
    back = struct_pb2.Struct()
    assert any_pb2.Any.FromString(packed.to_bytes()).Unpack(back)
    assert list(back["a"]) == [1.5, None]


def test_any_unpack_of_bad_bytes_names_the_type_url() -> None:
    packed = Any(type_url="type.googleapis.com/google.protobuf.Duration", value=b"\x08")  # a truncated varint
    with pytest.raises(Exception) as caught:
        packed.unpack()
    assert "while unpacking an Any of type URL 'type.googleapis.com/google.protobuf.Duration'" in caught.value.__notes__
    for not_a_message in (object(), NullValue.NULL_VALUE):
        with pytest.raises(TypeError, match="not a message class"):
            Any.pack(not_a_message)


# ---------------------------------------------------------------- Struct, Value, ListValue

@pytest.mark.parametrize("python, expected", [
    (None, Value(null_value=NullValue.NULL_VALUE)),
    (True, Value(bool_value=True)),
    (3, Value(number_value=3.0)),
    (2.5, Value(number_value=2.5)),
    ("s", Value(string_value="s")),
    ((1, "a"), Value(list_value=ListValue(values=[Value(number_value=1.0), Value(string_value="a")]))),
    ({"k": []}, Value(struct_value=Struct(fields={"k": Value(list_value=ListValue())}))),
    (Struct(), Value(struct_value=Struct())),
    (ListValue(), Value(list_value=ListValue())),
    ([Value(bool_value=False)], Value(list_value=ListValue(values=[Value(bool_value=False)]))),
], ids=repr)
def test_value_from_python(python: AnyType, expected: Value) -> None:
    assert Value.from_python(python) == expected


def test_to_python_builds_plain_values() -> None:
    out = Struct.from_dict({"a": (1, True, None), "b": {"c": "d"}}).to_dict()
    assert out == {"a": [1.0, True, None], "b": {"c": "d"}}
    assert type(out["a"]) is list and type(out["a"][0]) is float and out["a"][1] is True  # type: ignore[index]
    assert Value(null_value=5).to_python() is None  # an unknown enum number is still null


@pytest.mark.parametrize("call, error, text", [
    (Any(type_url="type.googleapis.com/no.such.Type").unpack, ValueError,
     "Any.unpack(): no message class is called 'no.such.Type' (type URL 'type.googleapis.com/no.such.Type'); "
     "import the module that defines it"),
    (Any(type_url="type.googleapis.com/google.protobuf.NullValue").unpack, ValueError,
     "Any.unpack(): 'google.protobuf.NullValue' is an enum, not a message class"),
    (Any().unpack, ValueError, "Any.unpack(): the type URL '' names no type"),
    (Any(type_url="type.googleapis.com/").unpack, ValueError,
     "Any.unpack(): the type URL 'type.googleapis.com/' names no type"),
    (lambda: Any(type_url="type.googleapis.com/google.protobuf.Duration").unpack(Timestamp), ValueError,
     "Any.unpack(): the type URL 'type.googleapis.com/google.protobuf.Duration' does not name google.protobuf.Timestamp"),
    (lambda: Struct.from_dict({"a": [1, {2: 3}]}), TypeError,
     "Struct.from_dict(): keys must be str, not int (2) at ['a'][1]"),
    (lambda: Struct.from_dict({"a": {"b": {1, 2}}}), TypeError,
     "Struct.from_dict(): cannot convert set to a Value at ['a']['b']"),
    (lambda: Value.from_python(b"raw"), TypeError, "Value.from_python(): cannot convert bytes to a Value"),
    (lambda: ListValue.from_list([0, [10**400]]), ValueError,
     f"ListValue.from_list(): {10**400!r} is too large for a double at [1][0]"),
    (lambda: Struct.from_dict([("a", 1)]), TypeError, "Struct.from_dict() expects a mapping, not list"),
    (lambda: ListValue.from_list("abc"), TypeError, "ListValue.from_list() expects an iterable of values, not str"),
    (lambda: Value().to_python(), ValueError, "Value.to_python(): a Value has no kind set"),
    (lambda: Struct(fields={"x": Value(list_value=ListValue(values=[Value()]))}).to_dict(), ValueError,
     "Struct.to_dict(): a Value has no kind set at ['x'][0]"),
    (lambda: ListValue(values=[Value(number_value=1.0, string_value="1")]).to_list(), ValueError,
     "ListValue.to_list(): a Value has more than one kind set: number_value, string_value at [0]"),
    (lambda: Struct(fields={"x": 1}).to_dict(), TypeError, "Struct.to_dict(): expected a Value, not int at ['x']"),
])
def test_any_and_struct_errors(call: AnyType, error: type[Exception], text: str) -> None:
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error and str(caught.value) == text


def test_a_value_that_contains_itself_raises_recursion_error() -> None:
    loop: list[AnyType] = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        Value.from_python(loop)


# ---------------------------------------------------------------- FieldMask

@pytest.mark.parametrize("paths, canonical", [
    ([], []),
    (["b", "a", "b"], ["a", "b"]),
    (["a.b", "a", "c.d", "c.d.e", "ab"], ["a", "ab", "c.d"]),
    (["a.b.c", "a.b"], ["a.b"]),
])
def test_field_mask_canonical_form(paths: list[str], canonical: list[str]) -> None:
    assert FieldMask(paths=paths).canonical() == FieldMask(paths=canonical)
    reference = field_mask_pb2.FieldMask()
    reference.CanonicalFormFromMask(field_mask_pb2.FieldMask(paths=paths))
    assert list(reference.paths) == canonical


mask_paths = st.lists(st.lists(st.sampled_from("abc"), min_size=1, max_size=3).map(".".join), max_size=6)


@settings(max_examples=100, deadline=None)
@given(mask_paths, mask_paths)
def test_field_mask_set_operations_agree_with_the_reference(one: list[str], two: list[str]) -> None:
    a, b = FieldMask(paths=one), FieldMask(paths=two)
    ra, rb = field_mask_pb2.FieldMask(paths=one), field_mask_pb2.FieldMask(paths=two)
    union, intersection = field_mask_pb2.FieldMask(), field_mask_pb2.FieldMask()
    union.Union(ra, rb)
    intersection.Intersect(ra, rb)
    assert a.union(b).paths == list(union.paths)
    assert a.intersection(b).paths == list(intersection.paths)
    for path in ("a", "a.b", "b.c.a"):
        assert a.canonical().covers(path) == a.covers(path)


@pytest.mark.parametrize("path, covered", [("a.b", True), ("a.b.c", True), ("a", False), ("a.bc", False),
                                           ("x", True), ("x.y.z", True), ("", False)])
def test_field_mask_covers(path: str, covered: bool) -> None:
    assert FieldMask(paths=["a.b", "x"]).covers(path) is covered


# ---------------------------------------------------------------- types

USER_MODULE = '''\
from datetime import datetime, timedelta, timezone

import quillspar
from quillspar import message
from quillspar.wkt import Any, Duration, FieldMask, Int32Value, JsonValue, ListValue, Struct, Timestamp, Value


@message
class Event:
    at: Timestamp | None
    took: Duration | None
    attributes: Struct | None
    count: Int32Value | None
    payload: Any | None


def use() -> bytes:
    at = Timestamp.from_datetime(datetime(2024, 5, 1, tzinfo=timezone.utc))
    when: datetime = at.to_datetime()
    took = Duration.from_timedelta(timedelta(seconds=-1.5))
    span: timedelta = took.to_timedelta()
    attrs = Struct.from_dict({"k": [1, "two", None, {"x": True}]})
    plain: dict[str, JsonValue] = attrs.to_dict()
    items: list[JsonValue] = ListValue.from_list([1, 2]).to_list()
    one: JsonValue = Value.from_python((1, 2.5)).to_python()
    packed = Any.pack(at)
    back: Timestamp = packed.unpack(Timestamp)
    anything: object = packed.unpack()
    mask = FieldMask(paths=["a.b"]).union(FieldMask(paths=["c"]))
    ok: bool = mask.covers("a.b.c") and packed.holds(Timestamp)
    event = Event(at=back, took=took, attributes=attrs, count=Int32Value(value=3), payload=packed)
    assert ok and when and span and plain and items and one and anything and Timestamp.now().to_nanos()
    return quillspar.encode(event)
'''

BAD_MODULE = '''\
from quillspar.wkt import Any, Duration, Struct, Timestamp
Timestamp(seconds="1")
d: Duration = Any().unpack(Timestamp)
Struct.from_dict({"a": {1, 2}})
'''


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_accepts_the_module_and_its_use(tmp_path: AnyType) -> None:
    import quillspar.wkt

    (tmp_path / "user_module.py").write_text(USER_MODULE)
    (tmp_path / "bad_module.py").write_text(BAD_MODULE)
    run = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache")]
    ok = subprocess.run([*run, quillspar.wkt.__file__, str(tmp_path / "user_module.py")], capture_output=True, text=True)
    assert ok.returncode == 0, ok.stdout + ok.stderr
    refused = subprocess.run([*run, str(tmp_path / "bad_module.py")], capture_output=True, text=True).stdout
    assert re.findall(r":(\d+): error", refused) == ["2", "3", "4"], refused
    namespace: dict[str, AnyType] = {"__name__": "user_module"}
    exec(compile(USER_MODULE, "user_module", "exec"), namespace)
    assert namespace["use"]()
