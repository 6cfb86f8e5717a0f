"""The well-known types of `google/protobuf/*.proto` as message classes.

`Timestamp`, `Duration`, `Any`, `Struct`, `Value`, `ListValue`, `NullValue`,
`FieldMask`, `Empty` and the wrappers (`DoubleValue` ... `BytesValue`), with
the field names, numbers and full names (`google.protobuf.Timestamp`, ...) of
the `.proto` files, so their bytes and `Any` type URLs are those of every other
protobuf runtime. The code generator maps imports of those files here.

On top of the fields each type has the conversions that its documentation
describes:

    from datetime import datetime, timedelta, timezone
    from quillspar.wkt import Any, Duration, Struct, Timestamp

    at = Timestamp.from_datetime(datetime(2024, 5, 1, tzinfo=timezone.utc))
    at.to_datetime()                          # aware, UTC
    Duration.from_timedelta(timedelta(minutes=-90)).to_timedelta()
    Struct.from_dict({"a": [1, "x", None]}).to_dict()
    Any.pack(at).unpack()                     # Timestamp(...)

Messages hold whatever values they are given or decode; the range checks that
the protobuf documentation gives for `Timestamp` and `Duration` are made by
the conversions, which raise `ValueError` naming the offending value.
"""

import enum
import numbers
import operator
import reprlib
import time
from collections.abc import Iterable, Mapping, Sequence
from datetime import datetime, timedelta, timezone
from typing import Final, Self, overload

from ._api import Message, decode, encode, field, message
from ._types import double, float32, int32, int64, uint32, uint64
from . import find_class, full_name

__proto_package__ = "google.protobuf"

__all__ = [
    "Timestamp",
    "Duration",
    "Any",
    "Struct",
    "Value",
    "ListValue",
    "NullValue",
    "FieldMask",
    "Empty",
    "DoubleValue",
    "FloatValue",
    "Int64Value",
    "UInt64Value",
    "Int32Value",
    "UInt32Value",
    "BoolValue",
    "StringValue",
    "BytesValue",
    "JsonValue",
    "JsonLike",
    "TIMESTAMP_MIN_SECONDS",
    "TIMESTAMP_MAX_SECONDS",
    "DURATION_MAX_SECONDS",
]

_NANOS: Final = 1_000_000_000
_EPOCH: Final = datetime(1970, 1, 1, tzinfo=timezone.utc)

# 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z in seconds since the epoch.
TIMESTAMP_MIN_SECONDS: Final = -62_135_596_800
TIMESTAMP_MAX_SECONDS: Final = 253_402_300_799
# About 10,000 years either way.
DURATION_MAX_SECONDS: Final = 315_576_000_000

_TIMESTAMP_RANGE: Final = "0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z"


def _check_timestamp(seconds: int, nanos: int) -> None:
    if not TIMESTAMP_MIN_SECONDS <= seconds <= TIMESTAMP_MAX_SECONDS:
        raise ValueError(
            f"Timestamp seconds {seconds} out of range: a Timestamp lies within {_TIMESTAMP_RANGE}, "
            f"seconds {TIMESTAMP_MIN_SECONDS} to {TIMESTAMP_MAX_SECONDS}"
        )
    if not 0 <= nanos < _NANOS:
        raise ValueError(f"Timestamp nanos {nanos} out of range 0 to 999999999")


def _check_duration(seconds: int, nanos: int) -> None:
    if not -DURATION_MAX_SECONDS <= seconds <= DURATION_MAX_SECONDS:
        raise ValueError(
            f"Duration seconds {seconds} out of range {-DURATION_MAX_SECONDS} to {DURATION_MAX_SECONDS}"
        )
    if not -_NANOS < nanos < _NANOS:
        raise ValueError(f"Duration nanos {nanos} out of range -999999999 to 999999999")
    if (seconds < 0 < nanos) or (nanos < 0 < seconds):
        raise ValueError(f"Duration seconds {seconds} and nanos {nanos} have different signs")


def _seconds_text(seconds: int, nanos: int) -> str:
    """`-1.5` for seconds -1 and nanos -500000000, exactly."""
    sign = "-" if seconds < 0 or nanos < 0 else ""
    fraction = f"{abs(nanos):09d}".rstrip("0")
    return f"{sign}{abs(seconds)}" + (f".{fraction}" if fraction else "")


def _toward_zero(nanos: int, unit: int) -> int:
    """`nanos / unit` rounded toward zero."""
    return nanos // unit if nanos >= 0 else -(-nanos // unit)


# ---------------------------------------------------------------- Timestamp


@message
class Timestamp(Message):
    """A point in time, independent of any time zone: whole seconds since
    1970-01-01T00:00:00Z (`seconds`) and the non-negative fraction of a second
    in nanoseconds (`nanos`), in the proleptic Gregorian calendar with leap
    seconds smeared. Valid values lie within 0001-01-01T00:00:00Z and
    9999-12-31T23:59:59.999999999Z.
    """

    seconds: int64 = 0
    nanos: int32 = 0

    @classmethod
    def from_datetime(cls, dt: datetime) -> Self:
        """The instant `dt` stands for.

        A naive `datetime` (no `tzinfo`, or one whose `utcoffset()` is None)
        is taken to be in UTC, as the reference runtime takes it, not in local
        time. Raises `ValueError` when the instant, moved to UTC, falls outside
        the years 1 to 9999.
        """
        if not isinstance(dt, datetime):
            raise TypeError(f"Timestamp.from_datetime() expects a datetime, not {type(dt).__name__}")
        if dt.utcoffset() is None:
            dt = dt.replace(tzinfo=timezone.utc)
        delta = dt - _EPOCH
        seconds = delta.days * 86_400 + delta.seconds
        if not TIMESTAMP_MIN_SECONDS <= seconds <= TIMESTAMP_MAX_SECONDS:
            raise ValueError(f"datetime {dt.isoformat()} out of range: a Timestamp lies within {_TIMESTAMP_RANGE}")
        return cls(seconds=seconds, nanos=delta.microseconds * 1000)

    def to_datetime(self) -> datetime:
        """This instant as an aware `datetime` in UTC.

        `datetime` counts microseconds: nanoseconds beyond them are dropped
        (the result is never later than the timestamp). Raises `ValueError`
        when `seconds` or `nanos` is out of range.
        """
        _check_timestamp(self.seconds, self.nanos)
        return _EPOCH + timedelta(seconds=self.seconds, microseconds=self.nanos // 1000)

    @classmethod
    def from_nanos(cls, nanos: int) -> Self:
        """The instant `nanos` nanoseconds after 1970-01-01T00:00:00Z (before
        it when negative). Raises `ValueError` outside the valid range."""
        nanos = operator.index(nanos)
        seconds, fraction = divmod(nanos, _NANOS)
        if not TIMESTAMP_MIN_SECONDS <= seconds <= TIMESTAMP_MAX_SECONDS:
            raise ValueError(f"{nanos} nanoseconds since the epoch out of range: a Timestamp lies within {_TIMESTAMP_RANGE}")
        return cls(seconds=seconds, nanos=fraction)

    def to_nanos(self) -> int:
        """Nanoseconds since 1970-01-01T00:00:00Z, exactly. Raises `ValueError`
        when `seconds` or `nanos` is out of range."""
        _check_timestamp(self.seconds, self.nanos)
        return self.seconds * _NANOS + self.nanos

    @classmethod
    def now(cls) -> Self:
        """The current time, from `time.time_ns()`."""
        return cls.from_nanos(time.time_ns())


# ---------------------------------------------------------------- Duration


@message
class Duration(Message):
    """A signed, fixed span of time: whole seconds (`seconds`) and a fraction
    in nanoseconds (`nanos`) with the same sign as `seconds` (or zero). Valid
    values lie within about +-10,000 years: `seconds` within +-315,576,000,000,
    `nanos` within +-999,999,999.
    """

    seconds: int64 = 0
    nanos: int32 = 0

    @classmethod
    def from_timedelta(cls, td: timedelta) -> Self:
        """The span `td`, exactly. Raises `ValueError` when it is longer than
        a Duration can be (a `timedelta` reaches 999,999,999 days)."""
        if not isinstance(td, timedelta):
            raise TypeError(f"Duration.from_timedelta() expects a timedelta, not {type(td).__name__}")
        micros = (td.days * 86_400 + td.seconds) * 1_000_000 + td.microseconds
        seconds, nanos = divmod(abs(micros) * 1000, _NANOS)
        if micros < 0:
            seconds, nanos = -seconds, -nanos
        if not -DURATION_MAX_SECONDS <= seconds <= DURATION_MAX_SECONDS:
            raise ValueError(
                f"timedelta of {_seconds_text(seconds, nanos)} seconds out of range: a Duration lies within "
                f"{-DURATION_MAX_SECONDS} and "
                f"{DURATION_MAX_SECONDS} seconds"
            )
        return cls(seconds=seconds, nanos=nanos)

    def to_timedelta(self) -> timedelta:
        """This span as a `timedelta`.

        `timedelta` counts microseconds: nanoseconds beyond them are dropped,
        rounding toward zero. Raises `ValueError` when the fields are out of
        range or their signs differ.
        """
        _check_duration(self.seconds, self.nanos)
        return timedelta(seconds=self.seconds, microseconds=_toward_zero(self.nanos, 1000))

    @classmethod
    def from_nanos(cls, nanos: int) -> Self:
        """A span of `nanos` nanoseconds. Raises `ValueError` outside the
        valid range."""
        nanos = operator.index(nanos)
        seconds, fraction = divmod(abs(nanos), _NANOS)
        if nanos < 0:
            seconds, fraction = -seconds, -fraction
        if not -DURATION_MAX_SECONDS <= seconds <= DURATION_MAX_SECONDS:
            raise ValueError(
                f"{nanos} nanoseconds out of range: a Duration lies within {-DURATION_MAX_SECONDS} and "
                f"{DURATION_MAX_SECONDS} seconds"
            )
        return cls(seconds=seconds, nanos=fraction)

    def to_nanos(self) -> int:
        """The span in nanoseconds, exactly. Raises `ValueError` when the
        fields are out of range or their signs differ."""
        _check_duration(self.seconds, self.nanos)
        return self.seconds * _NANOS + self.nanos


# ---------------------------------------------------------------- Any

_DEFAULT_PREFIX: Final = "type.googleapis.com/"


@message
class Any(Message):
    """A message of any type: its serialised bytes (`value`) and a URL naming
    its type (`type_url`), `type.googleapis.com/<full name>` by convention.

        packed = Any.pack(Timestamp.now())
        packed.type_name                 # 'google.protobuf.Timestamp'
        packed.holds(Timestamp)          # True
        packed.unpack()                  # found by full name
        packed.unpack(Timestamp)         # or asked for by class

    Unpacking finds the class by the full name after the URL's last `/`
    among the message classes defined so far (`quillspar.find_class`): the
    module that defines it must have been imported.
    """

    type_url: str = ""
    value: bytes = b""

    @classmethod
    def pack(cls, msg: object, type_url_prefix: str = _DEFAULT_PREFIX) -> Self:
        """An `Any` holding `msg`, an instance of a message class.

        The type URL is `type_url_prefix` followed by the class's full name,
        with a `/` between them unless the prefix ends in one.
        """
        value = encode(msg)
        separator = "" if type_url_prefix.endswith("/") else "/"
        return cls(type_url=f"{type_url_prefix}{separator}{full_name(type(msg))}", value=value)

    @property
    def type_name(self) -> str:
        """The full name of the type held: the type URL after its last `/`."""
        return self.type_url.rpartition("/")[2]

    def holds(self, cls: type) -> bool:
        """Whether the message held is of the message class `cls`, by full name."""
        return self.type_name == full_name(cls)

    @overload
    def unpack[M](self, cls: type[M]) -> M: ...
    @overload
    def unpack(self, cls: None = None) -> object: ...

    def unpack(self, cls: type | None = None) -> object:
        """Decode the message held.

        Without `cls`, into the message class registered under the type
        name; raises `ValueError` when no class has that name. With `cls`,
        into that class; raises `ValueError` when the type name is another.
        Errors of the decoding itself come out as they are, with a note
        naming the type URL.
        """
        name = self.type_name
        if cls is None:
            if not name:
                raise ValueError(f"Any.unpack(): the type URL {self.type_url!r} names no type")
            found = find_class(name)
            if found is None:
                raise ValueError(
                    f"Any.unpack(): no message class is called {name!r} (type URL {self.type_url!r}); "
                    "import the module that defines it"
                )
            if issubclass(found, enum.Enum):
                raise ValueError(f"Any.unpack(): {name!r} is an enum, not a message class")
            cls = found
        elif name != full_name(cls):
            raise ValueError(f"Any.unpack(): the type URL {self.type_url!r} does not name {full_name(cls)}")
        try:
            return decode(cls, self.value)
        except Exception as exc:
            exc.add_note(f"while unpacking an Any of type URL {self.type_url!r}")
            raise


# ---------------------------------------------------------------- Struct, Value, ListValue

type JsonValue = None | bool | float | str | list[JsonValue] | dict[str, JsonValue]
"""What `Value.to_python()` gives: the JSON model that `Struct` carries."""

type JsonLike = (
    None | bool | int | float | str | Sequence[JsonLike] | Mapping[str, JsonLike] | Value | Struct | ListValue
)
"""What `Value.from_python()` takes: any int or real number becomes a double;
tuples and other sequences (not str or bytes) become lists; `Value`,
`Struct` and `ListValue` instances are taken as they are."""


class NullValue(enum.IntEnum):
    """The one value of JSON's `null`."""

    NULL_VALUE = 0


class _Unconvertible(Exception):
    """A value found no counterpart; carries the path to it, innermost step first."""

    def __init__(self, error: type[Exception], text: str) -> None:
        super().__init__(text)
        self.error = error
        self.text = text
        self.steps: list[str] = []


def _reraise(where: str, exc: _Unconvertible) -> Exception:
    at = f" at {''.join(reversed(exc.steps))}" if exc.steps else ""
    return exc.error(f"{where}: {exc.text}{at}")


def _struct_of(mapping: Mapping[str, object]) -> Struct:
    fields: dict[str, Value] = {}
    for key, item in mapping.items():
        if not isinstance(key, str):
            raise _Unconvertible(TypeError, f"keys must be str, not {type(key).__name__} ({key!r})")
        try:
            fields[key] = _value_of(item)
        except _Unconvertible as exc:
            exc.steps.append(f"[{key!r}]")
            raise
    return Struct(fields=fields)


def _list_of(items: Iterable[object]) -> ListValue:
    values: list[Value] = []
    for i, item in enumerate(items):
        try:
            values.append(_value_of(item))
        except _Unconvertible as exc:
            exc.steps.append(f"[{i}]")
            raise
    return ListValue(values=values)


def _value_of(obj: object) -> Value:
    if obj is None:
        return Value(null_value=NullValue.NULL_VALUE)
    if isinstance(obj, bool):
        return Value(bool_value=obj)
    if isinstance(obj, str):
        return Value(string_value=obj)
    if isinstance(obj, (int, float, numbers.Real)):
        try:
            return Value(number_value=float(obj))
        except OverflowError:
            raise _Unconvertible(ValueError, f"{obj!r} is too large for a double") from None
    if isinstance(obj, Mapping):
        return Value(struct_value=_struct_of(obj))
    if isinstance(obj, Sequence) and not isinstance(obj, (bytes, bytearray)):
        return Value(list_value=_list_of(obj))
    if isinstance(obj, Value):
        return obj
    if isinstance(obj, Struct):
        return Value(struct_value=obj)
    if isinstance(obj, ListValue):
        return Value(list_value=obj)
    raise _Unconvertible(TypeError, f"cannot convert {type(obj).__name__} to a Value")


_KINDS: Final = ("null_value", "number_value", "string_value", "bool_value", "struct_value", "list_value")


def _python_of_struct(struct: Struct) -> dict[str, JsonValue]:
    out: dict[str, JsonValue] = {}
    for key, value in struct.fields.items():
        try:
            out[key] = _python_of(value)
        except _Unconvertible as exc:
            exc.steps.append(f"[{key!r}]")
            raise
    return out


def _python_of_list(values: ListValue) -> list[JsonValue]:
    out: list[JsonValue] = []
    for i, value in enumerate(values.values):
        try:
            out.append(_python_of(value))
        except _Unconvertible as exc:
            exc.steps.append(f"[{i}]")
            raise
    return out


def _python_of(value: Value) -> JsonValue:
    if not isinstance(value, Value):
        raise _Unconvertible(TypeError, f"expected a Value, not {type(value).__name__}")
    kinds = [kind for kind in _KINDS if getattr(value, kind) is not None]
    if len(kinds) != 1:
        if not kinds:
            raise _Unconvertible(ValueError, "a Value has no kind set")
        raise _Unconvertible(ValueError, f"a Value has more than one kind set: {', '.join(kinds)}")
    if value.null_value is not None:
        return None
    if value.struct_value is not None:
        return _python_of_struct(value.struct_value)
    if value.list_value is not None:
        return _python_of_list(value.list_value)
    simple: bool | float | str | None = value.number_value
    if simple is None:
        simple = value.string_value if value.string_value is not None else value.bool_value
    return simple


@message
class Struct(Message):
    """A JSON object: string keys to `Value`s.

        Struct.from_dict({"name": "pen", "sizes": [1, 2.5], "meta": None})
    """

    fields: dict[str, Value] = {}

    @classmethod
    def from_dict(cls, mapping: Mapping[str, JsonLike], *, ignore_unknown: bool = False) -> Struct:
        """The `Struct` of a dict of JSON-like values (see `Value.from_python`).
        This is its JSON form too: `ignore_unknown` changes nothing here.

        Raises `TypeError` for a key that is not a str or a value of another
        type, naming where it sits, as in `['a'][2]`.
        """
        if not isinstance(mapping, Mapping):
            raise TypeError(f"Struct.from_dict() expects a mapping, not {type(mapping).__name__}")
        try:
            return _struct_of(mapping)
        except _Unconvertible as exc:
            raise _reraise("Struct.from_dict()", exc) from None

    def to_dict(
        self, *, include_defaults: bool = False, enums_as_numbers: bool = False, proto_names: bool = False
    ) -> dict[str, JsonValue]:
        """The dict this `Struct` stands for, built anew (see `Value.to_python`).
        This is its JSON form too: the options change nothing here."""
        try:
            return _python_of_struct(self)
        except _Unconvertible as exc:
            raise _reraise("Struct.to_dict()", exc) from None


@message
class Value(Message):
    """One JSON value: exactly one member of the oneof `kind` is set.

    `Value.from_python(obj)` and `value.to_python()` convert from and to
    None, bool, float, str, list and dict.
    """

    null_value: NullValue | None = field(oneof="kind")
    number_value: double | None = field(oneof="kind")
    string_value: str | None = field(oneof="kind")
    bool_value: bool | None = field(oneof="kind")
    struct_value: Struct | None = field(oneof="kind")
    list_value: ListValue | None = field(oneof="kind")

    @reprlib.recursive_repr()
    def __repr__(self) -> str:
        shown = ", ".join(f"{kind}={getattr(self, kind)!r}" for kind in _KINDS if getattr(self, kind) is not None)
        return f"Value({shown})"

    @classmethod
    def from_python(cls, obj: JsonLike) -> Value:
        """The `Value` of a JSON-like Python value.

        None is `null_value`, bool `bool_value`, int and other real numbers
        `number_value` (a double: ints beyond 2**53 lose precision), str
        `string_value`, mappings with str keys `struct_value`, sequences other
        than str and bytes `list_value`. A `Value` is returned as it is; a
        `Struct` or `ListValue` is wrapped. Raises `TypeError` for anything
        else and `ValueError` for an int too large for a double, naming where
        the culprit sits, as in `['a'][2]`.
        """
        try:
            return _value_of(obj)
        except _Unconvertible as exc:
            raise _reraise("Value.from_python()", exc) from None

    def to_python(self) -> JsonValue:
        """The Python value: None, bool, float, str, or a new list or dict.

        Raises `ValueError` when this Value, or one nested in it, has no kind
        or more than one kind set, naming where, as in `['a'][2]`.
        """
        try:
            return _python_of(self)
        except _Unconvertible as exc:
            raise _reraise("Value.to_python()", exc) from None


@message
class ListValue(Message):
    """A JSON array of `Value`s."""

    values: list[Value] = []

    @classmethod
    def from_list(cls, items: Iterable[JsonLike]) -> ListValue:
        """The `ListValue` of JSON-like Python values (see `Value.from_python`)."""
        if isinstance(items, (str, bytes, bytearray)) or not isinstance(items, Iterable):
            raise TypeError(f"ListValue.from_list() expects an iterable of values, not {type(items).__name__}")
        try:
            return _list_of(items)
        except _Unconvertible as exc:
            raise _reraise("ListValue.from_list()", exc) from None

    def to_list(self) -> list[JsonValue]:
        """The list this `ListValue` stands for, built anew (see `Value.to_python`)."""
        try:
            return _python_of_list(self)
        except _Unconvertible as exc:
            raise _reraise("ListValue.to_list()", exc) from None


# ---------------------------------------------------------------- FieldMask


def _covered(path: str, paths: Iterable[str]) -> bool:
    return any(path == p or path.startswith(p + ".") for p in paths)


@message
class FieldMask(Message):
    """A set of field paths such as `"user.display_name"` (`paths`): the
    fields an update or a read is about. A path covers itself and every path
    below it (`"user"` covers `"user.name"`).
    """

    paths: list[str] = []

    def covers(self, path: str) -> bool:
        """Whether `path` is one of the paths or lies below one of them."""
        return _covered(path, self.paths)

    def canonical(self) -> FieldMask:
        """The same set of fields in canonical form: sorted, each path once,
        no path that another one covers."""
        unique = set(self.paths)
        kept = []
        for path in sorted(unique):
            parts = path.split(".")
            if not any(".".join(parts[:i]) in unique for i in range(1, len(parts))):
                kept.append(path)
        return FieldMask(paths=kept)

    def union(self, *others: FieldMask) -> FieldMask:
        """The fields of this mask and the others, in canonical form."""
        return FieldMask(paths=[*self.paths, *(p for other in others for p in other.paths)]).canonical()

    def intersection(self, other: FieldMask) -> FieldMask:
        """The fields both masks cover, in canonical form."""
        mine = [p for p in self.paths if _covered(p, other.paths)]
        theirs = [p for p in other.paths if _covered(p, self.paths)]
        return FieldMask(paths=mine + theirs).canonical()


# ---------------------------------------------------------------- Empty and the wrappers


@message
class Empty(Message):
    """No fields: the request or reply of an RPC that carries nothing."""


@message
class DoubleValue(Message):
    """A `double` with presence: the field holding it may be None."""

    value: double = 0.0


@message
class FloatValue(Message):
    """A `float` with presence: the field holding it may be None."""

    value: float32 = 0.0


@message
class Int64Value(Message):
    """An `int64` with presence: the field holding it may be None."""

    value: int64 = 0


@message
class UInt64Value(Message):
    """A `uint64` with presence: the field holding it may be None."""

    value: uint64 = 0


@message
class Int32Value(Message):
    """An `int32` with presence: the field holding it may be None."""

    value: int32 = 0


@message
class UInt32Value(Message):
    """A `uint32` with presence: the field holding it may be None."""

    value: uint32 = 0


@message
class BoolValue(Message):
    """A `bool` with presence: the field holding it may be None."""

    value: bool = False


@message
class StringValue(Message):
    """A `string` with presence: the field holding it may be None."""

    value: str = ""


@message
class BytesValue(Message):
    """A `bytes` with presence: the field holding it may be None."""

    value: bytes = b""
