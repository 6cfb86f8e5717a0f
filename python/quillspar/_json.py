"""The proto3 JSON mapping ("ProtoJSON"): messages to JSON values and text and back.

`to_dict`/`from_dict` convert between a message and the Python values of its
JSON form (dict, list, str, int, float, bool, None); `to_json`/`from_json` add
the text, written and read by orjson when it is installed and by the standard
library's `json` otherwise (both give the same values).

Each message class gets, on first use, a converter function per direction and
set of options, generated as straight-line Python code from its fields (JSON
name, kind, presence) and cached on the class (`__quillspar_json__`): a call
is then one pass over the fields with no dispatch. Beside them, native plans
(`_jsonc`, see "native plans" below) do the common cases: values of the
fields' own types, JSON text written and read directly. They hand anything
else back, and the generated converters then run the call, so results and
errors are the same either way. The well-known types that
JSON writes in a special form (Timestamp, Duration, FieldMask, Struct, Value,
ListValue, Any and the wrappers) have hand-written converters, chosen by full
name.

Errors: malformed input raises `JsonError` (a `ValueError`) whose message
starts with the path to the culprit in the input (`items[3].quantity: ...`).
A message holding a value its field cannot hold raises `TypeError` or
`ValueError` from `to_dict`/`to_json`, naming the attribute path.
"""

import binascii
import json
import math
import re
import struct
from collections.abc import Callable
from datetime import datetime, timedelta, timezone
from decimal import Decimal, InvalidOperation
from typing import Any, Final

from . import _core, _jsonc
from ._names import _EnumInfo, _info_of, _lock, _message_base, _message_info, _MessageInfo, _type_info, find_class
from ._schema import MAP, OPTIONAL, REPEATED, SINGULAR, Field
from ._types import Scalar

_orjson: Any
try:
    import orjson as _orjson
except ImportError:  # pragma: no cover - the extra is optional
    _orjson = None

__all__ = ["JsonError", "to_dict", "from_dict", "to_json", "from_json"]

# The class attribute holding a class's converters.
_ATTR: Final = "__quillspar_json__"

# Output option bits.
_DEFAULTS: Final = 1  # include_defaults
_ENUM_NUMBERS: Final = 2  # enums_as_numbers
_PROTO_NAMES: Final = 4  # proto_names


class JsonError(ValueError):
    """JSON input that does not describe a message of the class asked for.

    The message starts with the path to the culprit (`items[3].quantity:
    expected an integer, got "x"`); `path` holds that path ("" for the
    top-level value).
    """

    def __init__(self, message: str, path: str = "") -> None:
        super().__init__(f"{path}: {message}" if path else message)
        self.path = path


class _Bad(Exception):
    """A value found no counterpart; `steps` is the path to it, innermost first."""

    def __init__(self, text: str, error: type[Exception] = JsonError) -> None:
        super().__init__(text)
        self.text = text
        self.error = error
        self.steps: list[str] = []

    def path(self) -> str:
        return "".join(reversed(self.steps)).removeprefix(".")


def _show(v: Any) -> str:
    """A JSON value as an error message shows it."""
    if v is None:
        return "null"
    if v is True or v is False:
        return "true" if v else "false"
    if isinstance(v, dict):
        return "an object"
    if isinstance(v, list):
        return "an array"
    if isinstance(v, str):
        return json.dumps(v if len(v) <= 40 else v[:37] + "...", ensure_ascii=False)
    if isinstance(v, (int, float)):
        return repr(v)
    return f"a {type(v).__name__}"


def _expected(what: str, v: Any) -> _Bad:
    return _Bad(f"expected {what}, got {_show(v)}")


def _wrong(what: str, v: Any) -> _Bad:
    """For output: a field holding a value of the wrong type."""
    return _Bad(f"expected {what}, got {type(v).__name__} {v!r:.60}", TypeError)


def _step(key: object) -> str:
    return f"[{json.dumps(key, ensure_ascii=False)}]" if isinstance(key, str) else f"[{key!r}]"


# ================================================================ scalars, output

_F32: Final = struct.Struct("<f")


def _o_int(v: Any, lo: int, hi: int) -> int:
    if isinstance(v, int) or hasattr(v, "__index__"):
        try:
            n = v.__index__()
        except Exception:
            raise _wrong("an int", v) from None
        if lo <= n <= hi:
            return n  # type: ignore[no-any-return]
        raise _Bad(f"{n} is out of range {lo} to {hi}", ValueError)
    raise _wrong("an int", v)


def _o_int64(v: Any, lo: int, hi: int) -> str:
    return str(_o_int(v, lo, hi))


def _o_bool(v: Any) -> bool:
    if isinstance(v, int):
        return bool(v)
    raise _wrong("a bool", v)


def _o_double(v: Any) -> float | str:
    if not isinstance(v, float):
        if isinstance(v, str) or not hasattr(v, "__float__"):
            raise _wrong("a float", v)
        try:
            v = float(v)
        except OverflowError:
            raise _Bad(f"{v!r:.60} is too large for a double", ValueError) from None
    if v != v:
        return "NaN"
    if v - v != 0.0:
        return "Infinity" if v > 0 else "-Infinity"
    return float(v)


def _o_float(v: Any) -> float | str:
    """The shortest decimal that reads back as the same 32-bit float."""
    d = _o_double(v)
    if d.__class__ is str:
        return d
    try:
        f = _F32.unpack(_F32.pack(d))[0]
    except OverflowError:  # rounds to infinity, as the wire would hold it
        return "Infinity" if d > 0 else "-Infinity"  # type: ignore[operator]
    if f - f != 0.0:
        return "Infinity" if f > 0 else "-Infinity"
    for precision in (6, 7, 8, 9):
        shortest = float(f"{f:.{precision}g}")
        if _F32.unpack(_F32.pack(shortest))[0] == f:
            return shortest
    return f  # type: ignore[no-any-return]


def _o_str(v: Any) -> str:
    if isinstance(v, str):
        return str(v)
    raise _wrong("a str", v)


def _b64(v: bytes) -> str:
    return binascii.b2a_base64(v, newline=False).decode("ascii")


def _o_bytes(v: Any) -> str:
    if isinstance(v, (bytes, bytearray, memoryview)):
        return _b64(bytes(v))
    raise _wrong("bytes", v)


def _o_enum(v: Any, names: dict[int, str]) -> str | int:
    n = _o_int(v, -(1 << 31), (1 << 31) - 1)
    return names.get(n, n)


def _o_enum_other(v: Any, names: dict[int, str]) -> str | int:
    """An enum field's value that is not an exact int: a member (or anything
    equal to a number) by its name, the rest as `_o_enum` reads it; an
    unhashable value is no number at all."""
    try:
        found = names.get(v)
    except TypeError:
        found = None
    return found or _o_enum(v, names)


def _o_enum_number(v: Any) -> int:
    return _o_int(v, -(1 << 31), (1 << 31) - 1)


def _neg0(v: Any) -> bool:
    """Whether `v` is -0.0, which a field without presence still writes."""
    return v.__class__ is float and math.copysign(1.0, v) < 0.0


def _o_list(v: Any, conv: Callable[[Any], Any]) -> list[Any]:
    if v.__class__ is not list:
        if not isinstance(v, (list, tuple)):
            raise _wrong("a list", v)
    items: Any = v
    try:
        return [conv(x) for x in items]
    except _Bad as exc:
        exc.steps.append(f"[{_failing_index(items, conv)}]")
        raise


def _failing_index(items: Any, conv: Callable[[Any], Any]) -> int:
    for i, x in enumerate(items):
        try:
            conv(x)
        except _Bad:
            return i
    return -1  # pragma: no cover - a converter that fails only once


def _o_strs(v: Any) -> list[Any]:
    if v.__class__ is list:
        for x in v:
            if x.__class__ is not str:
                break
        else:
            return v[:]
    return _o_list(v, _o_str)


def _plain_ints(v: Any, lo: int, hi: int) -> bool:
    """True for a list of exact ints within [lo, hi]: taken as it is, in both
    directions."""
    if v.__class__ is not list:
        return False
    for x in v:
        if x.__class__ is not int or not lo <= x <= hi:
            return False
    return True


def _o_ints(v: Any, lo: int, hi: int) -> list[Any]:
    if _plain_ints(v, lo, hi):
        return v[:]  # type: ignore[no-any-return]
    return _o_list(v, lambda x: _o_int(x, lo, hi))


def _o_int64s(v: Any, lo: int, hi: int) -> list[Any]:
    return [str(x) for x in _o_ints(v, lo, hi)]


def _o_doubles(v: Any) -> list[Any]:
    if v.__class__ is list:
        for x in v:
            if x.__class__ is not float or x - x != 0.0:
                break
        else:
            return v[:]
    return _o_list(v, _o_double)


def _o_map(v: Any, key: Callable[[Any], str], conv: Callable[[Any], Any]) -> dict[str, Any]:
    if not isinstance(v, dict):
        raise _wrong("a dict", v)
    try:
        return {key(k): conv(x) for k, x in v.items()}
    except _Bad as exc:
        for k, x in v.items():
            try:
                key(k)
            except _Bad as inner:
                inner.text = f"map key {k!r:.60}: {inner.text}"
                raise inner from None
            try:
                conv(x)
            except _Bad:
                exc.steps.append(_step(k))
                break
        raise


def _o_key_str(k: Any) -> str:
    if k.__class__ is str:
        return k
    return _o_str(k)


def _o_key_bool(k: Any) -> str:
    return "true" if _o_bool(k) else "false"


def _identity(x: Any) -> Any:
    return x


# ================================================================ scalars, input

_INT_TEXT: Final = re.compile(r"-?[0-9]+", re.ASCII)
_NUMBER_TEXT: Final = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?", re.ASCII)
_SPECIAL_FLOATS: Final = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


def _i_int(v: Any, lo: int, hi: int) -> int:
    c = v.__class__
    if c is int:
        n: int = v
    elif c is str:
        if _INT_TEXT.fullmatch(v):
            n = int(v)
        elif _NUMBER_TEXT.fullmatch(v):
            try:
                number = Decimal(v)
            except InvalidOperation:  # an exponent beyond even Decimal's: zero, or far from any integer
                if not v.lower().partition("e")[0].strip("-0."):
                    number = Decimal(0)
                elif "e-" in v.lower():
                    raise _expected("an integer", v) from None
                else:
                    raise _Bad(f"{_show(v)} is out of range {lo} to {hi}") from None
            if number.adjusted() > 40:
                raise _Bad(f"{_show(v)} is out of range {lo} to {hi}")
            if number != number.to_integral_value():
                raise _expected("an integer", v)
            n = int(number)
        else:
            raise _expected("an integer", v)
    elif c is float:
        if not v.is_integer():
            raise _expected("an integer", v)
        n = int(v)
    else:
        raise _expected("an integer", v)
    if lo <= n <= hi:
        return n
    raise _Bad(f"{_show(v)} is out of range {lo} to {hi}")


def _i_double(v: Any) -> float:
    c = v.__class__
    if c is float:
        if v - v == 0.0:
            return v  # type: ignore[no-any-return]
        raise _expected("a number (use the strings \"NaN\", \"Infinity\", \"-Infinity\")", v)
    if c is int:
        try:
            return float(v)
        except OverflowError:
            raise _Bad(f"{v} is out of range for a double") from None
    if c is str:
        special = _SPECIAL_FLOATS.get(v)
        if special is not None:
            return special
        if _NUMBER_TEXT.fullmatch(v):
            f = float(v)
            if f - f == 0.0:
                return f
            raise _Bad(f"{_show(v)} is out of range for a double")
    raise _expected("a number", v)


def _i_float(v: Any) -> float:
    f = _i_double(v)
    if f - f == 0.0:
        try:  # what rounds to the largest float is in range
            return _F32.unpack(_F32.pack(f))[0]  # type: ignore[no-any-return]
        except OverflowError:
            raise _Bad(f"{_show(v)} is out of range for a float") from None
    return f


def _i_bool(v: Any) -> bool:
    if v.__class__ is bool:
        return v
    raise _expected("true or false", v)


def _check_text(v: str) -> str:
    try:
        v.encode()
    except UnicodeEncodeError:
        raise _Bad(f"{_show(v)} holds a lone surrogate, which is not valid UTF-8") from None
    return v


def _i_str(v: Any) -> str:
    if v.__class__ is str:
        if v.isascii():
            return v
        return _check_text(v)
    raise _expected("a string", v)


_URLSAFE: Final = str.maketrans("-_", "+/")


def _i_bytes(v: Any) -> bytes:
    if v.__class__ is not str:
        raise _expected("a base64 string", v)
    text: str = v
    try:
        return binascii.a2b_base64(text, strict_mode=True)
    except (binascii.Error, ValueError):
        pass
    text = text.translate(_URLSAFE).rstrip("=")
    try:
        return binascii.a2b_base64(text + "=" * (-len(text) % 4), strict_mode=True)
    except (binascii.Error, ValueError):
        raise _Bad(f"{_show(v)} is not base64") from None


class _Skip:
    """An enum name that the enum does not have, with ignore_unknown: the value is left out."""

    def __repr__(self) -> str:
        return "<skip>"


_SKIP: Final = _Skip()


def _i_enum(v: Any, members: dict[object, object], full: str, ignore: bool) -> object:
    c = v.__class__
    if c is str:
        found = members.get(v)
        if found is not None:
            return found
        if _INT_TEXT.fullmatch(v):
            v = int(v)
        elif ignore:
            return _SKIP
        else:
            raise _Bad(f"enum {full} has no value named {_show(v)}")
    elif c is float and v.is_integer():
        v = int(v)
    elif c is not int:
        raise _expected(f"a name or number of enum {full}", v)
    if not -(1 << 31) <= v < (1 << 31):
        raise _Bad(f"{_show(v)} is out of range for enum {full}")
    found = members.get(v)
    return v if found is None else found


def _i_list(v: Any, conv: Callable[[Any], Any]) -> list[Any]:
    if v.__class__ is not list:
        raise _expected("an array", v)
    items: list[Any] = v
    try:
        return [conv(x) for x in items]
    except _Bad as exc:
        exc.steps.append(f"[{_failing_index(items, conv)}]")
        raise


def _i_strs(v: Any) -> list[Any]:
    if v.__class__ is list:
        for x in v:
            if x.__class__ is not str or not x.isascii():
                break
        else:
            return v[:]
    return _i_list(v, _i_str)


def _i_ints(v: Any, lo: int, hi: int) -> list[Any]:
    if _plain_ints(v, lo, hi):
        return v[:]  # type: ignore[no-any-return]
    return _i_list(v, lambda x: _i_int(x, lo, hi))


def _i_map(v: Any, key: Callable[[str], Any], conv: Callable[[Any], Any]) -> dict[Any, Any]:
    if v.__class__ is not dict:
        raise _expected("an object", v)
    items: dict[str, Any] = v
    try:
        out = {key(k): conv(x) for k, x in items.items()}
    except _Bad as exc:
        for k, x in items.items():
            try:
                key(k)
            except _Bad as inner:
                inner.steps.append(_step(k))
                raise inner from None
            try:
                conv(x)
            except _Bad:
                exc.steps.append(_step(k))
                break
        raise
    if _SKIP in out.values():
        out = {k: x for k, x in out.items() if x is not _SKIP}
    return out


def _i_key_int(lo: int, hi: int) -> Callable[[str], int]:
    def key(k: str) -> int:
        if k.__class__ is not str or not _INT_TEXT.fullmatch(k):
            raise _Bad(f"map key {_show(k)} is not an integer")
        n = int(k)
        if lo <= n <= hi:
            return n
        raise _Bad(f"map key {_show(k)} is out of range {lo} to {hi}")

    return key


def _i_key_bool(k: str) -> bool:
    if k == "true":
        return True
    if k == "false":
        return False
    raise _Bad(f'map key {_show(k)} is not "true" or "false"')


def _i_key_str(k: str) -> str:
    try:
        return _i_str(k)
    except _Bad as exc:
        exc.text = f"map key: {exc.text}"
        raise


# ================================================================ scalar kinds

# FieldDescriptorProto.Type numbers.
_DOUBLE, _FLOAT, _BOOL, _STRING, _BYTES = 1, 2, 8, 9, 12
_WIDE: Final = frozenset({3, 4, 6, 16, 18})  # 64-bit integers: strings in JSON


# The range of each integer type, by FieldDescriptorProto.Type number.
_I32, _U32, _I64, _U64 = (-(2**31), 2**31 - 1), (0, 2**32 - 1), (-(2**63), 2**63 - 1), (0, 2**64 - 1)
_RANGES: Final = {5: _I32, 15: _I32, 17: _I32, 13: _U32, 7: _U32, 3: _I64, 16: _I64, 18: _I64, 4: _U64, 6: _U64}


def _bounds(s: Scalar) -> tuple[int, int]:
    return _RANGES[s.proto_type]


def _scalar_out(s: Scalar) -> Callable[[Any], Any]:
    """The converter of one value of a scalar type, for lists and maps."""
    t = s.proto_type
    if t == _DOUBLE:
        return _o_double
    if t == _FLOAT:
        return _o_float
    if t == _BOOL:
        return lambda x: x if x.__class__ is bool else _o_bool(x)
    if t == _STRING:
        return lambda x: x if x.__class__ is str else _o_str(x)
    if t == _BYTES:
        return lambda x: _b64(x) if x.__class__ is bytes else _o_bytes(x)
    lo, hi = _bounds(s)
    if t in _WIDE:
        return lambda x: _o_int64(x, lo, hi)
    return lambda x: x if x.__class__ is int and lo <= x <= hi else _o_int(x, lo, hi)


def _scalar_in(s: Scalar) -> Callable[[Any], Any]:
    t = s.proto_type
    if t == _DOUBLE:
        return _i_double
    if t == _FLOAT:
        return _i_float
    if t == _BOOL:
        return _i_bool
    if t == _STRING:
        return _i_str
    if t == _BYTES:
        return _i_bytes
    lo, hi = _bounds(s)
    return lambda x: x if x.__class__ is int and lo <= x <= hi else _i_int(x, lo, hi)


def _key_out(s: Scalar) -> Callable[[Any], str]:
    if s.proto_type == _STRING:
        return _o_key_str
    if s.proto_type == _BOOL:
        return _o_key_bool
    lo, hi = _bounds(s)
    return lambda k: str(k) if k.__class__ is int and lo <= k <= hi else str(_o_int(k, lo, hi))


def _key_in(s: Scalar) -> Callable[[str], Any]:
    if s.proto_type == _STRING:
        return _i_key_str
    if s.proto_type == _BOOL:
        return _i_key_bool
    return _i_key_int(*_bounds(s))


# ================================================================ per-class converters


class _Plan:
    """The converters of one message class: output ones by option bits, input
    ones by ignore_unknown; beside each, its native plan (a `_jsonc.Writer` or
    `Reader`, False where there is none)."""

    __slots__ = ("info", "out", "inp", "nout", "ninp")

    def __init__(self, info: _MessageInfo) -> None:
        self.info = info
        self.out: list[Callable[[Any], Any] | None] = [None] * 8
        self.inp: list[Callable[[Any], Any] | None] = [None] * 2
        self.nout: list[Any] = [None] * 8
        self.ninp: list[Any] = [None] * 2


# Converters made in the current (outermost) build, published together at its
# end, so that no other thread calls one whose helpers are not bound yet.
_building: dict[tuple[type, int, bool], Callable[[Any], Any]] = {}


def _plan_of(cls: type) -> _Plan:
    plan = cls.__dict__.get(_ATTR)
    if plan is None:
        info = _message_info(cls)
        if info is None:
            base = _message_base(cls)
            if base is not None:
                return _plan_of(base.cls)
            raise TypeError(f"{cls.__qualname__} is not a message class")
        from ._link import ready  # here: the package's class building imports this module

        ready(cls)
        with _lock:
            plan = cls.__dict__.get(_ATTR)
            if plan is None:
                plan = _Plan(info)
                type.__setattr__(cls, _ATTR, plan)
    return plan


def _converter(cls: type, key: int, output: bool) -> Callable[[Any], Any]:
    plan = _plan_of(cls)
    fn = plan.out[key] if output else plan.inp[key]
    if fn is not None:
        return fn
    with _lock:
        fn = plan.out[key] if output else plan.inp[key]
        if fn is not None:
            return fn
        fn = _building.get((cls, key, output))
        if fn is not None:
            return fn
        outermost = not _building
        try:
            fn = _build(plan, key, output)
        except BaseException:
            if outermost:
                _building.clear()
            raise
        if outermost:
            for (c, k, o), f in _building.items():
                p = _plan_of(c)
                if o:
                    p.out[k] = f
                else:
                    p.inp[k] = f
            _building.clear()
        return fn


def _build(plan: _Plan, key: int, output: bool) -> Callable[[Any], Any]:
    info = plan.info
    special = _SPECIAL.get(info.full_name[1:])
    deps: dict[str, type] = {}
    if special is not None:
        fn = special[0](info.cls, key) if output else special[1](info.cls, bool(key))
    else:
        maker = _Writer(info, key) if output else _Reader(info, bool(key))
        fn = maker.function()
        deps = maker.deps
    _building[(info.cls, key, output)] = fn
    if deps:
        namespace = fn.__globals__
        for name, dep in deps.items():
            found = _converter(dep, key, output)
            namespace[name] = found.value if isinstance(found, _ValueConverters) else found
    return fn


# ---------------------------------------------------------------- native plans
#
# The common cases run in `_jsonc`: a Writer or Reader per class and set of
# options walks the fields natively and returns None whenever it meets
# anything else (a value of another type, a malformed input, an error), and
# the Python converter above then runs the whole call, so that results and
# exceptions are always its own. The converters of the well-known types with
# a special form are called from the native plans as they are.

# False runs every call through the Python converters alone.
_NATIVE = True

# The native value kinds (src/json/plan.hpp), by FieldDescriptorProto.Type number.
_KINDS: Final = {1: 0, 2: 1, 5: 2, 15: 2, 17: 2, 13: 3, 7: 3, 3: 4, 16: 4, 18: 4, 4: 5, 6: 5, 8: 6, 9: 7, 12: 8}
_K_ENUM, _K_NULL_ENUM, _K_MESSAGE, _K_CALL = 9, 10, 11, 12


def _native(plan: _Plan, key: int, output: bool) -> Any:
    """The native plan of a class for one set of options, made on first use
    (with those of the classes it refers to); False where there is none."""
    slots = plan.nout if output else plan.ninp
    with _lock:
        found = slots[key]
        if found is not None:
            return found
        made: dict[type, Any] = {}
        found = False  # the special forms stay with their converters
        if plan.info.full_name[1:] not in _SPECIAL:
            try:
                found = _native_plan(plan.info.cls, key, output, made)
            except Exception:  # a class the plans cannot read (its fields are not plain slots, say)
                made.clear()
                found = False
        slots[key] = found
        for cls, native in made.items():
            other = _plan_of(cls)
            (other.nout if output else other.ninp)[key] = native
        return found


def _native_plan(cls: type, key: int, output: bool, made: dict[type, Any]) -> Any:
    found = made.get(cls)
    if found is not None:
        return found
    info = _info(cls)
    if output:
        found = made[cls] = _jsonc.Writer(cls)
        fields = []
        for f in sorted(info.fields, key=lambda f: f.number):
            kind, aux = _native_value(f.value, key, True, made)
            fields.append((f.name, f.proto_name if key & _PROTO_NAMES else f.json_name, f.shape, kind, aux,
                           _KINDS[f.key.proto_type] if isinstance(f.key, Scalar) else 0))
        found.setup(tuple(fields), bool(key & _DEFAULTS), bool(key & _ENUM_NUMBERS))
        return found
    found = made[cls] = _jsonc.Reader(cls)
    index: dict[str, int] = {}
    groups: dict[str, int] = {}
    specs = []
    for i, f in enumerate(info.fields):
        index[f.json_name] = i
        index.setdefault(f.proto_name, i)
        kind, aux = _native_value(f.value, key, False, made)
        null, null_value = 0, None
        if f.shape in (SINGULAR, OPTIONAL) and _is_null_enum(f.value):
            null, null_value = 1, f.value(0)  # type: ignore[operator, misc]
        elif f.shape in (SINGULAR, OPTIONAL) and _is_value_message(f.value):
            null = 2
        oneof = -1 if f.oneof is None else groups.setdefault(f.oneof, len(groups))
        specs.append((f.name, f.shape, kind, aux, _KINDS[f.key.proto_type] if isinstance(f.key, Scalar) else 0,
                      oneof, null, null_value))
    found.setup(tuple(specs), index, bool(key), len(groups))
    return found


def _native_value(value: Any, key: int, output: bool, made: dict[type, Any]) -> tuple[int, Any]:
    """The native kind of a field's values and what the plan needs with it."""
    if isinstance(value, Scalar):
        return _KINDS[value.proto_type], None
    if _is_message(value):
        if _info(value).full_name[1:] in _SPECIAL:
            found = _converter(value, key, output)
            return _K_CALL, found.value if isinstance(found, _ValueConverters) else found
        existing = (_plan_of(value).nout if output else _plan_of(value).ninp)[key]
        return _K_MESSAGE, existing or _native_plan(value, key, output, made)
    kind = _K_NULL_ENUM if _is_null_enum(value) else _K_ENUM
    if output:
        # Members are read as the ints they are when nothing of int's is overridden.
        plain = all(getattr(value, name) is getattr(int, name) for name in ("__bool__", "__index__", "__hash__"))
        return kind, (value if plain else None, _enum_names(value))
    members: dict[object, object] = {}
    for name, number in _enum(value).values:
        members[name] = value[name]
        members.setdefault(number, value(number))
    return kind, members


def _is_message(value: Any) -> bool:
    return _message_info(value) is not None


def _info(cls: type) -> _MessageInfo:
    info = _message_info(cls)
    if info is None:
        raise TypeError(f"{cls.__qualname__} is not a message class")
    return info


def _enum(cls: type) -> _EnumInfo:
    info = _type_info(cls)
    assert isinstance(info, _EnumInfo)
    return info


def _enum_names(enum_cls: type) -> dict[int, str]:
    """Number to the name of its first member."""
    names: dict[int, str] = {}
    for name, number in _enum(enum_cls).values:
        names.setdefault(number, name)
    return names


def _is_null_enum(value: Any) -> bool:
    info = _info_of(value)
    return isinstance(info, _EnumInfo) and info.full_name == ".google.protobuf.NullValue"


def _is_value_message(value: Any) -> bool:
    return _is_message(value) and _info(value).full_name == ".google.protobuf.Value"


class _Generator:
    """What both converter generators share: constants and the converters of
    other classes, bound as globals of the generated code."""

    namespace: dict[str, object]
    deps: dict[str, type]

    def const(self, prefix: str, value: object) -> str:
        name = f"{prefix}{len(self.namespace)}"
        self.namespace[name] = value
        return name

    def dep(self, cls: Any) -> str:
        for name, known in self.deps.items():
            if known is cls:
                return name
        name = f"_m{len(self.deps)}"
        self.deps[name] = cls
        self.namespace[name] = None
        return name


class _Writer(_Generator):
    """Generates the output converter of one class for one set of options."""

    def __init__(self, info: _MessageInfo, key: int) -> None:
        self.info = info
        self.key = key
        self.namespace: dict[str, object] = {
            "_Bad": _Bad, "_o_int": _o_int, "_o_int64": _o_int64, "_o_bool": _o_bool, "_o_double": _o_double,
            "_o_float": _o_float, "_o_str": _o_str, "_o_bytes": _o_bytes, "_b64": _b64, "_o_enum": _o_enum,
            "_o_enum_number": _o_enum_number, "_o_enum_other": _o_enum_other, "_neg0": _neg0, "_o_list": _o_list,
            "_o_map": _o_map,
            "_o_strs": _o_strs, "_o_ints": _o_ints, "_o_int64s": _o_int64s, "_o_doubles": _o_doubles,
            "_check_instance": _check_instance, "_C": info.cls,
        }
        self.deps = {}
        self.lines: list[str] = []
        self.tracking = True

    def value_expr(self, value: Any, x: str) -> str:
        """An expression converting the value `x` of a singular field or element."""
        if _is_message(value):
            return f"{self.dep(value)}({x})"
        if not isinstance(value, Scalar):
            if self.key & _ENUM_NUMBERS:
                return f"{x} if {x}.__class__ is int else _o_enum_number({x})"
            if _is_null_enum(value):
                return "None"
            names = self.const("_n", _enum_names(value))
            return f"{names}.get({x}) or _o_enum({x}, {names}) if {x}.__class__ is int else _o_enum_other({x}, {names})"
        t = value.proto_type
        if t == _DOUBLE:
            return f"{x} if {x}.__class__ is float and {x} - {x} == 0.0 else _o_double({x})"
        if t == _FLOAT:
            return f"_o_float({x})"
        if t == _BOOL:
            return f"{x} if {x}.__class__ is bool else _o_bool({x})"
        if t == _STRING:
            return f"{x} if {x}.__class__ is str else _o_str({x})"
        if t == _BYTES:
            return f"_b64({x}) if {x}.__class__ is bytes else _o_bytes({x})"
        lo, hi = _bounds(value)
        if t in _WIDE:
            return f"str({x}) if {x}.__class__ is int and {lo} <= {x} <= {hi} else _o_int64({x}, {lo}, {hi})"
        return f"{x} if {x}.__class__ is int and {lo} <= {x} <= {hi} else _o_int({x}, {lo}, {hi})"

    def element(self, value: Any) -> str:
        """A function converting one element of a list or map value."""
        if _is_message(value):
            return self.dep(value)
        if isinstance(value, Scalar):
            return self.const("_e", _scalar_out(value))
        ns: dict[str, object] = {}
        exec(f"def convert(x):\n    return {self.value_expr(value, 'x')}\n", self.namespace, ns)
        return self.const("_e", ns["convert"])

    def list_expr(self, value: Any, v: str) -> str:
        if isinstance(value, Scalar):
            t = value.proto_type
            if t == _STRING:
                return f"_o_strs({v})"
            if t == _DOUBLE:
                return f"_o_doubles({v})"
            if t not in (_FLOAT, _BOOL, _BYTES):
                lo, hi = _bounds(value)
                return f"_o_int64s({v}, {lo}, {hi})" if t in _WIDE else f"_o_ints({v}, {lo}, {hi})"
        if _is_message(value):
            convert = self.dep(value)
            if self.tracking:
                return f"_o_list({v}, {convert})"
            return f"[{convert}(x) for x in {v}] if {v}.__class__ is list else _o_list({v}, {convert})"
        return f"_o_list({v}, {self.element(value)})"

    def field(self, f: Field, v: str) -> None:
        out_name = f.proto_name if self.key & _PROTO_NAMES else f.json_name
        k = repr(out_name)
        defaults = bool(self.key & _DEFAULTS)
        add = self.lines.append
        if self.tracking:
            add(f"        at = {f.name!r}")
        if f.shape == REPEATED:
            add(f"        if {v}{' is not None' if defaults else ''}:")
            add(f"            out[{k}] = {self.list_expr(f.value, v)}")
        elif f.shape == MAP:
            assert isinstance(f.key, Scalar)
            key = self.const("_k", _key_out(f.key))
            add(f"        if {v}{' is not None' if defaults else ''}:")
            add(f"            out[{k}] = _o_map({v}, {key}, {self.element(f.value)})")
        elif f.shape == OPTIONAL:
            add(f"        if {v} is not None:")
            add(f"            out[{k}] = {self.value_expr(f.value, v)}")
        else:
            if not defaults:
                floating = isinstance(f.value, Scalar) and f.value.proto_type in (_DOUBLE, _FLOAT)
                add(f"        if {v} or _neg0({v}):" if floating else f"        if {v}:")
                add(f"            out[{k}] = {self.value_expr(f.value, v)}")
            else:
                add(f"        out[{k}] = {self.value_expr(f.value, v)}")

    def function(self) -> Callable[[Any], Any]:
        # Two versions: `convert` runs; when it fails, `locate` runs again
        # noting the field it is at, so that the error names the path.
        add = self.lines.append
        fields = sorted(self.info.fields, key=lambda f: f.number)
        for self.tracking in (False, True):
            add(f"def {'locate' if self.tracking else 'convert'}(obj):")
            add("    if obj.__class__ is not _C:")
            add("        _check_instance(obj, _C)")
            add("    at = None")
            add("    try:")
            add("        out = {}")
            for f in fields:
                add(f"        v = obj.{f.name}")
                self.field(f, "v")
            add("        return out")
            add("    except _Bad as exc:")
            if self.tracking:
                add("        if at is not None:")
                add("            exc.steps.append('.' + at)")
                add("        raise")
            else:
                add("        return locate(obj)")
        ns: dict[str, object] = self.namespace
        exec("\n".join(self.lines) + "\n", self.namespace, ns)
        fn: Callable[[Any], Any] = ns["convert"]  # type: ignore[assignment]
        fn.__qualname__ = f"{self.info.cls.__qualname__}.<to_json>"
        return fn


def _check_instance(obj: object, cls: type) -> None:
    if not isinstance(obj, cls):
        raise _wrong(f"a {cls.__qualname__}", obj)


class _Reader(_Generator):
    """Generates the input converter of one class (with or without ignore_unknown)."""

    def __init__(self, info: _MessageInfo, ignore: bool) -> None:
        self.info = info
        self.ignore = ignore
        self.namespace: dict[str, object] = {
            "_Bad": _Bad, "_SKIP": _SKIP, "_expected": _expected, "_i_int": _i_int,
            "_i_double": _i_double, "_i_float": _i_float, "_i_bool": _i_bool, "_i_str": _i_str,
            "_i_bytes": _i_bytes, "_i_enum": _i_enum, "_i_list": _i_list, "_i_map": _i_map,
            "_i_strs": _i_strs, "_i_ints": _i_ints, "_check_text": _check_text, "_C": info.cls,
            "_oneofs": _oneof_clash, "_twice": _twice, "_dot": _dot,
        }
        self.deps = {}
        self.lines: list[str] = []

    def enum_args(self, value: type) -> str:
        members: dict[object, object] = {}
        for name, number in _enum(value).values:
            members[name] = value[name]  # type: ignore[index]
            members.setdefault(number, value(number))
        table = self.const("_t", members)
        return f"{table}, {_enum(value).full_name[1:]!r}, {self.ignore}"

    def element(self, value: Any) -> str:
        if _is_message(value):
            return self.dep(value)
        if isinstance(value, Scalar):
            return self.const("_e", _scalar_in(value))
        args = self.enum_args(value)
        ns: dict[str, object] = {}
        exec(f"def convert(x):\n    return _i_enum(x, {args})\n", self.namespace, ns)
        return self.const("_e", ns["convert"])

    def assign(self, f: Field, indent: str) -> None:
        """Lines converting `v` (not None) into kw[name]."""
        add = self.lines.append
        target = f"kw[{f.name!r}]"
        value = f.value
        if f.shape == REPEATED:
            if isinstance(value, Scalar) and value.proto_type == _STRING:
                add(f"{indent}{target} = _i_strs(v)")
            elif isinstance(value, Scalar) and value.proto_type not in (_DOUBLE, _FLOAT, _BOOL, _BYTES):
                lo, hi = _bounds(value)
                add(f"{indent}{target} = _i_ints(v, {lo}, {hi})")
            else:
                add(f"{indent}{target} = _i_list(v, {self.element(value)})")
                if not isinstance(value, Scalar) and not _is_message(value) and self.ignore:
                    add(f"{indent}if _SKIP in {target}:")
                    add(f"{indent}    {target} = [x for x in {target} if x is not _SKIP]")
            return
        if f.shape == MAP:
            assert isinstance(f.key, Scalar)
            key = self.const("_k", _key_in(f.key))
            add(f"{indent}{target} = _i_map(v, {key}, {self.element(value)})")
            return
        if _is_message(value):
            add(f"{indent}{target} = {self.dep(value)}(v)")
            return
        if not isinstance(value, Scalar):
            add(f"{indent}x = _i_enum(v, {self.enum_args(value)})")  # type: ignore[arg-type]
            add(f"{indent}if x is not _SKIP:")
            add(f"{indent}    {target} = x")
            return
        t = value.proto_type
        if t == _STRING:
            add(f"{indent}if v.__class__ is not str or not v.isascii():")
            add(f"{indent}    v = _i_str(v)")
            add(f"{indent}{target} = v")
        elif t == _BOOL:
            add(f"{indent}if v.__class__ is not bool:")
            add(f"{indent}    v = _i_bool(v)")
            add(f"{indent}{target} = v")
        elif t == _DOUBLE:
            add(f"{indent}{target} = v if v.__class__ is float and v - v == 0.0 else _i_double(v)")
        elif t == _FLOAT:
            add(f"{indent}{target} = _i_float(v)")
        elif t == _BYTES:
            add(f"{indent}{target} = _i_bytes(v)")
        else:
            lo, hi = _bounds(value)
            add(f"{indent}{target} = v if v.__class__ is int and {lo} <= v <= {hi} else _i_int(v, {lo}, {hi})")

    def field(self, f: Field, indent: str) -> None:
        """The lines for the key `at` (one of the field's names) holding `v`."""
        add = self.lines.append
        if _is_null_enum(f.value) and f.shape in (SINGULAR, OPTIONAL):
            add(f"{indent}if v is None:")
            add(f"{indent}    v = {self.const('_z', f.value(0))}")  # type: ignore[operator, misc]
            add(f"{indent}    kw[{f.name!r}] = v")
            add(f"{indent}else:")
        elif not (_is_value_message(f.value) and f.shape in (SINGULAR, OPTIONAL)):
            add(f"{indent}if v is not None:")
        else:
            add(f"{indent}if True:")
        indent += "    "
        if f.proto_name != f.json_name:
            add(f"{indent}if {f.name!r} in kw:")
            add(f"{indent}    _twice(d, {f.json_name!r}, {f.proto_name!r})")
        self.assign(f, indent)

    def tree(self, fields: list[Field], base: int, indent: str) -> None:
        """Dispatch on the field index `i` by halves."""
        if len(fields) == 1:
            self.field(fields[0], indent)
            return
        mid = len(fields) // 2
        self.lines.append(f"{indent}if i < {base + mid}:")
        self.tree(fields[:mid], base, indent + "    ")
        self.lines.append(f"{indent}else:")
        self.tree(fields[mid:], base + mid, indent + "    ")

    def function(self) -> Callable[[Any], Any]:
        info = self.info
        add = self.lines.append
        fields = info.fields
        index: dict[str, int] = {}
        for i, f in enumerate(fields):
            index[f.json_name] = i
            index.setdefault(f.proto_name, i)
        self.namespace["_INDEX"] = index
        self.namespace["_FULL"] = info.full_name[1:]
        groups: dict[str, list[str]] = {}
        for f in fields:
            if f.oneof is not None:
                groups.setdefault(f.oneof, []).append(f.name)
        self.namespace["_GROUPS"] = {k: tuple(v) for k, v in groups.items()}
        self.namespace["_JSON_OF"] = {f.name: f.json_name for f in fields}
        add("def convert(d):")
        add("    if d.__class__ is not dict:")
        add("        raise _expected('an object', d)")
        add("    kw = {}")
        add("    at = None")
        add("    try:")
        add("        for at, v in d.items():")
        add("            i = _INDEX.get(at)")
        add("            if i is None:")
        add("                if not _IGNORE:")
        add("                    raise _Bad(f'no such field in {_FULL}')")
        add("                continue")
        if fields:
            self.tree(fields, 0, "            ")
        add("        at = None")
        for group, members in groups.items():
            test = " + ".join(f"({m!r} in kw)" for m in members)
            add(f"        if len(kw) > 1 and {test} > 1:")
            add(f"            _oneofs(kw, {group!r}, _GROUPS[{group!r}], _JSON_OF)")
        add("    except _Bad as exc:")
        add("        if at is not None:")
        add("            exc.steps.append(_dot(at))")
        add("        raise")
        add("    return _C(**kw)")
        self.namespace["_IGNORE"] = self.ignore
        ns: dict[str, object] = {}
        exec("\n".join(self.lines) + "\n", self.namespace, ns)
        fn: Callable[[Any], Any] = ns["convert"]  # type: ignore[assignment]
        fn.__qualname__ = f"{info.cls.__qualname__}.<from_json>"
        return fn


def _twice(d: dict[str, Any], json_name: str, proto_name: str) -> None:
    raise _Bad(f"the field is given twice, as {json_name!r} and {proto_name!r}")


def _dot(k: Any) -> str:
    return "." + k if isinstance(k, str) and k.isidentifier() else _step(k)


def _oneof_clash(kw: dict[str, Any], group: str, members: tuple[str, ...], json_of: dict[str, str]) -> None:
    given = [json_of[m] for m in members if m in kw]
    raise _Bad(f"oneof {group!r} has more than one member set: {', '.join(given)}")


# ================================================================ well-known types

_NANOS: Final = 1_000_000_000
_EPOCH: Final = datetime(1970, 1, 1, tzinfo=timezone.utc)
_TIMESTAMP_MIN: Final = -62_135_596_800
_TIMESTAMP_MAX: Final = 253_402_300_799
_DURATION_MAX: Final = 315_576_000_000


def _fraction(nanos: int) -> str:
    """0, 3, 6 or 9 fractional digits, as many as the value needs."""
    if nanos == 0:
        return ""
    if nanos % 1_000_000 == 0:
        return f".{nanos // 1_000_000:03d}"
    if nanos % 1000 == 0:
        return f".{nanos // 1000:06d}"
    return f".{nanos:09d}"


def _ints_of(obj: object, *names: str) -> list[int]:
    out = []
    for name in names:
        try:
            out.append(_o_int(getattr(obj, name), -(1 << 63), (1 << 63) - 1))
        except _Bad as exc:
            exc.steps.append("." + name)
            raise
    return out


def _timestamp_out(cls: type, key: int) -> Callable[[Any], Any]:
    def convert(obj: Any) -> str:
        _check_instance(obj, cls)
        seconds, nanos = _ints_of(obj, "seconds", "nanos")
        if not _TIMESTAMP_MIN <= seconds <= _TIMESTAMP_MAX:
            raise _Bad(f"Timestamp seconds {seconds} out of range {_TIMESTAMP_MIN} to {_TIMESTAMP_MAX}", ValueError)
        if not 0 <= nanos < _NANOS:
            raise _Bad(f"Timestamp nanos {nanos} out of range 0 to 999999999", ValueError)
        at = _EPOCH + timedelta(seconds=seconds)
        return f"{at.year:04d}-{at:%m-%dT%H:%M:%S}{_fraction(nanos)}Z"

    return convert


_TIMESTAMP_TEXT: Final = re.compile(
    r"([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(?:\.([0-9]{1,9}))?"
    r"(?:Z|([+-])([0-9]{2}):([0-9]{2}))",
    re.ASCII,
)


def _timestamp_in(cls: type, ignore: bool) -> Callable[[Any], Any]:
    def convert(v: Any) -> Any:
        if v.__class__ is not str:
            raise _expected('an RFC 3339 time such as "1972-01-01T10:00:20.021Z"', v)
        m = _TIMESTAMP_TEXT.fullmatch(v)
        if m is None:
            raise _expected('an RFC 3339 time such as "1972-01-01T10:00:20.021Z"', v)
        year, month, day, hour, minute, second, fraction, sign, off_h, off_m = m.groups()
        try:
            at = datetime(int(year), int(month), int(day), int(hour), int(minute), int(second), tzinfo=timezone.utc)
        except ValueError as exc:
            raise _Bad(f"{_show(v)} is not a valid time: {exc}") from None
        delta = at - _EPOCH
        seconds = delta.days * 86_400 + delta.seconds
        if sign is not None:
            offset = (int(off_h) * 60 + int(off_m)) * 60
            if int(off_h) > 23 or int(off_m) > 59:
                raise _Bad(f"{_show(v)} has an invalid UTC offset")
            seconds += -offset if sign == "+" else offset
        if not _TIMESTAMP_MIN <= seconds <= _TIMESTAMP_MAX:
            raise _Bad(f"{_show(v)} is out of range 0001-01-01T00:00:00Z to 9999-12-31T23:59:59.999999999Z")
        nanos = int(fraction.ljust(9, "0")) if fraction else 0
        return cls(seconds=seconds, nanos=nanos)

    return convert


def _duration_out(cls: type, key: int) -> Callable[[Any], Any]:
    def convert(obj: Any) -> str:
        _check_instance(obj, cls)
        seconds, nanos = _ints_of(obj, "seconds", "nanos")
        if not -_DURATION_MAX <= seconds <= _DURATION_MAX:
            raise _Bad(f"Duration seconds {seconds} out of range {-_DURATION_MAX} to {_DURATION_MAX}", ValueError)
        if not -_NANOS < nanos < _NANOS:
            raise _Bad(f"Duration nanos {nanos} out of range -999999999 to 999999999", ValueError)
        if (seconds < 0 < nanos) or (nanos < 0 < seconds):
            raise _Bad(f"Duration seconds {seconds} and nanos {nanos} have different signs", ValueError)
        sign = "-" if seconds < 0 or nanos < 0 else ""
        return f"{sign}{abs(seconds)}{_fraction(abs(nanos))}s"

    return convert


_DURATION_TEXT: Final = re.compile(r"(-)?([0-9]+)(?:\.([0-9]{1,9}))?s", re.ASCII)


def _duration_in(cls: type, ignore: bool) -> Callable[[Any], Any]:
    def convert(v: Any) -> Any:
        m = _DURATION_TEXT.fullmatch(v) if v.__class__ is str else None
        if m is None:
            raise _expected('a duration in seconds such as "1.5s"', v)
        sign, whole, fraction = m.groups()
        seconds = int(whole)
        nanos = int(fraction.ljust(9, "0")) if fraction else 0
        if seconds > _DURATION_MAX:
            raise _Bad(f"{_show(v)} is out of range -315576000000s to 315576000000s")
        if sign:
            seconds, nanos = -seconds, -nanos
        return cls(seconds=seconds, nanos=nanos)

    return convert


def _camel_path(path: Any) -> str:
    if path.__class__ is not str:
        path = _o_str(path)
    out = []
    upper = False
    for ch in path:
        if ch == "_":
            if upper:
                break
            upper = True
            continue
        if ch.isupper() or (upper and not ch.islower()):
            break
        out.append(ch.upper() if upper else ch)
        upper = False
    else:
        if not upper:
            return "".join(out)
    raise _Bad(f"FieldMask path {path!r} has no JSON form (it must be lower_snake_case)", ValueError)


def _fieldmask_out(cls: type, key: int) -> Callable[[Any], Any]:
    def convert(obj: Any) -> str:
        _check_instance(obj, cls)
        try:
            return ",".join(_o_list(obj.paths, _camel_path))
        except _Bad as exc:
            exc.steps.append(".paths")
            raise

    return convert


def _fieldmask_in(cls: type, ignore: bool) -> Callable[[Any], Any]:
    def convert(v: Any) -> Any:
        if v.__class__ is not str:
            raise _expected('a comma-separated list of field paths such as "user.displayName,photo"', v)
        paths = []
        for path in v.split(",") if v else ():
            if "_" in path or not path.isascii():
                raise _Bad(f"FieldMask path {_show(path)} is not lowerCamelCase")
            paths.append(re.sub(r"[A-Z]", lambda m: "_" + m.group().lower(), path))
        return cls(paths=paths)

    return convert


def _wrapper_out(cls: type, key: int) -> Callable[[Any], Any]:
    (f,) = _info(cls).fields
    assert isinstance(f.value, Scalar)
    scalar = _scalar_out(f.value)

    def convert(obj: Any) -> Any:
        _check_instance(obj, cls)
        try:
            return scalar(obj.value)
        except _Bad as exc:
            exc.steps.append(".value")
            raise

    return convert


def _wrapper_in(cls: type, ignore: bool) -> Callable[[Any], Any]:
    (f,) = _info(cls).fields
    assert isinstance(f.value, Scalar)
    scalar = _scalar_in(f.value)
    return lambda v: cls(value=scalar(v))


def _wkt(name: str) -> type:
    cls = find_class(f"google.protobuf.{name}")
    assert cls is not None
    return cls


_VALUE_KINDS: Final = ("null_value", "number_value", "string_value", "bool_value", "struct_value", "list_value")


def _value_out(cls: type, key: int) -> Callable[[Any], Any]:
    struct_cls, list_cls = _wkt("Struct"), _wkt("ListValue")

    def convert(obj: Any) -> Any:
        _check_instance(obj, cls)
        kinds = [kind for kind in _VALUE_KINDS if getattr(obj, kind) is not None]
        if not kinds or kinds == ["null_value"]:
            return None
        if len(kinds) > 1:
            raise _Bad(f"a Value has more than one kind set: {', '.join(kinds)}", ValueError)
        kind = kinds[0]
        v = getattr(obj, kind)
        try:
            if kind == "number_value":
                if v.__class__ is float and v - v == 0.0:
                    return v
                number = _o_double(v)
                if number.__class__ is str:
                    raise _Bad(f"{v!r} is not a JSON number", ValueError)
                return number
            if kind == "string_value":
                return v if v.__class__ is str else _o_str(v)
            if kind == "bool_value":
                return v if v.__class__ is bool else _o_bool(v)
            if kind == "struct_value":
                return _struct(v)
            return _list(v)
        except _Bad as exc:
            exc.steps.append("." + kind)
            raise

    def _struct(obj: Any) -> dict[str, Any]:
        _check_instance(obj, struct_cls)
        try:
            return _o_map(obj.fields, _o_key_str, convert)
        except _Bad as exc:
            exc.steps.append(".fields")
            raise

    def _list(obj: Any) -> list[Any]:
        _check_instance(obj, list_cls)
        try:
            return _o_list(obj.values, convert)
        except _Bad as exc:
            exc.steps.append(".values")
            raise

    return _ValueConverters(convert, _struct, _list)


class _ValueConverters:
    """The converter of Value (called) with those of Struct and ListValue,
    which share its recursion."""

    __slots__ = ("value", "struct", "list")

    def __init__(self, value: Callable[[Any], Any], struct: Callable[[Any], Any], items: Callable[[Any], Any]) -> None:
        self.value, self.struct, self.list = value, struct, items

    def __call__(self, v: Any) -> Any:
        return self.value(v)


def _value_converters(key: int, output: bool) -> _ValueConverters:
    found = _converter(_wkt("Value"), key, output)
    assert isinstance(found, _ValueConverters)
    return found


def _struct_out(cls: type, key: int) -> Callable[[Any], Any]:
    return _value_converters(key, True).struct


def _listvalue_out(cls: type, key: int) -> Callable[[Any], Any]:
    return _value_converters(key, True).list


def _value_in(cls: type, ignore: bool) -> Callable[[Any], Any]:
    struct_cls, list_cls = _wkt("Struct"), _wkt("ListValue")
    null = _wkt("NullValue")(0)

    def convert(v: Any) -> Any:
        c = v.__class__
        if c is str:
            return cls(string_value=v if v.isascii() else _check_text(v))
        if c is float:
            if v - v == 0.0:
                return cls(number_value=v)
            raise _expected("a JSON value", v)
        if c is bool:
            return cls(bool_value=v)
        if c is int:
            try:
                return cls(number_value=float(v))
            except OverflowError:
                raise _Bad(f"{v} is out of range for a double") from None
        if v is None:
            return cls(null_value=null)
        if c is dict:
            return cls(struct_value=_struct(v))
        if c is list:
            return cls(list_value=_list(v))
        raise _expected("a JSON value", v)

    def _struct(v: Any) -> Any:
        if v.__class__ is not dict:
            raise _expected("an object", v)
        return struct_cls(fields=_i_map(v, _i_key_str, convert))

    def _list(v: Any) -> Any:
        return list_cls(values=_i_list(v, convert))

    return _ValueConverters(convert, _struct, _list)


def _struct_in(cls: type, ignore: bool) -> Callable[[Any], Any]:
    return _value_converters(int(ignore), False).struct


def _listvalue_in(cls: type, ignore: bool) -> Callable[[Any], Any]:
    return _value_converters(int(ignore), False).list


def _any_target(type_url: str) -> type:
    name = type_url.rpartition("/")[2]
    found = find_class(name) if name else None
    if found is None or _message_info(found) is None:
        raise _Bad(f"type URL {type_url!r} names no message class defined here (import its module first)")
    return found


def _any_out(cls: type, key: int) -> Callable[[Any], Any]:
    def convert(obj: Any) -> Any:
        _check_instance(obj, cls)
        type_url, value = obj.type_url, obj.value
        if not type_url and not value:
            return {}
        if type_url.__class__ is not str:
            raise _wrong("a str", type_url)
        try:
            target = _any_target(type_url)
        except _Bad as exc:
            exc.error = ValueError
            exc.steps.append(".type_url")
            raise
        try:
            inner = _core_decode(target, value)
        except Exception as exc:
            bad = _Bad(f"cannot decode the {_info(target).full_name[1:]} it holds: {exc}", ValueError)
            bad.steps.append(".value")
            raise bad from None
        body = _converter(target, key, True)(inner)
        if _info(target).full_name[1:] in _SPECIAL:
            return {"@type": type_url, "value": body}
        return {"@type": type_url, **body}

    return convert


def _core_decode(cls: type, data: object) -> Any:
    from ._api import decode

    return decode(cls, data)  # type: ignore[arg-type]


def _core_encode(obj: object) -> bytes:
    from ._api import encode

    return encode(obj)


def _any_in(cls: type, ignore: bool) -> Callable[[Any], Any]:
    def convert(v: Any) -> Any:
        if v.__class__ is not dict:
            raise _expected("an object", v)
        if not v:
            return cls()
        type_url = v.get("@type")
        if type_url is None:
            raise _Bad('an Any needs its "@type"')
        if type_url.__class__ is not str:
            exc = _expected("a type URL", type_url)
            exc.steps.append('["@type"]')
            raise exc
        try:
            target = _any_target(type_url)
        except _Bad as exc:
            exc.steps.append('["@type"]')
            raise
        inner = _converter(target, int(ignore), False)
        if _info(target).full_name[1:] in _SPECIAL:
            extra = [k for k in v if k not in ("@type", "value")]
            if extra and not ignore:
                unknown = _Bad(f"no such field in an Any holding {_info(target).full_name[1:]}")
                unknown.steps.append(_dot(extra[0]))
                raise unknown
            if "value" not in v:
                raise _Bad(f'an Any holding {_info(target).full_name[1:]} needs its "value"')
            try:
                message = inner(v["value"])
            except _Bad as exc:
                exc.steps.append(".value")
                raise
        else:
            message = inner({k: x for k, x in v.items() if k != "@type"})
        return cls(type_url=type_url, value=_core_encode(message))

    return convert


# Full name -> (output maker, input maker) of the types JSON writes in a special form.
_SPECIAL: Final[dict[str, tuple[Callable[[type, int], Callable[[Any], Any]], Callable[[type, bool], Callable[[Any], Any]]]]] = {
    "google.protobuf.Timestamp": (_timestamp_out, _timestamp_in),
    "google.protobuf.Duration": (_duration_out, _duration_in),
    "google.protobuf.FieldMask": (_fieldmask_out, _fieldmask_in),
    "google.protobuf.Value": (_value_out, _value_in),
    "google.protobuf.Struct": (_struct_out, _struct_in),
    "google.protobuf.ListValue": (_listvalue_out, _listvalue_in),
    "google.protobuf.Any": (_any_out, _any_in),
    **{
        f"google.protobuf.{name}Value": (_wrapper_out, _wrapper_in)
        for name in ("Double", "Float", "Int64", "UInt64", "Int32", "UInt32", "Bool", "String", "Bytes")
    },
}


# ================================================================ JSON text

def _reject_constant(name: str) -> object:
    raise ValueError(f"{name} is not JSON (write the string \"{name}\")")


if _orjson is not None:
    _OPT_SORT: Final = _orjson.OPT_SORT_KEYS
    _OPT_INDENT: Final = _orjson.OPT_INDENT_2

    # An integer of 19 digits or more, which may not fit in 64 bits: orjson
    # reads those as floats, which may round into a field's range
    # (-9223372036854775809 to -2**63), so text holding one is read again,
    # exactly, by json.
    _LONG_INT: Final = re.compile(r"(?<![0-9.eE+-])-?[0-9]{19,}(?![0-9.eE])")
    _LONG_INT_BYTES: Final = re.compile(_LONG_INT.pattern.encode())

    def _loads(text: str | bytes) -> Any:
        try:
            value = _orjson.loads(text)
        except _orjson.JSONDecodeError as exc:
            raise JsonError(f"invalid JSON: {exc}") from None
        if _LONG_INT.search(text) if isinstance(text, str) else _LONG_INT_BYTES.search(text):
            return _std_loads(text)
        return value

    def _dumps(value: Any, indent: int | None, sort_keys: bool) -> str:
        if indent is None or indent == 2:
            option = (_OPT_SORT if sort_keys else 0) | (_OPT_INDENT if indent else 0)
            try:
                return _orjson.dumps(value, option=option).decode()  # type: ignore[no-any-return]
            except _orjson.JSONEncodeError as exc:
                raise ValueError(f"cannot write JSON: {exc}") from None
        return _std_dumps(value, indent, sort_keys)

else:  # pragma: no cover - exercised by the tests with orjson hidden

    def _loads(text: str | bytes) -> Any:
        return _std_loads(text)

    def _dumps(value: Any, indent: int | None, sort_keys: bool) -> str:
        return _std_dumps(value, indent, sort_keys)


# orjson's compact writer and its reader, whose text the native plans write
# and read themselves.
_ORJSON_DUMPS: Final = _dumps if _orjson is not None else None
_ORJSON_LOADS: Final = _loads if _orjson is not None else None

# An escape in a JSON string; the group holds the first two hex digits of a
# surrogate's.
_ESCAPE: Final = re.compile(r"\\(?:u([dD][89a-fA-F])[0-9a-fA-F]{2}|.)", re.DOTALL)


def _lone_surrogate_escape(text: str) -> bool:
    """Whether a string of the JSON text escapes half a surrogate pair alone
    (in a value json.loads keeps or not: a key given twice drops one)."""
    pending = -1  # where the low half of a pair must follow
    for m in _ESCAPE.finditer(text):
        half = m.group(1)
        if pending >= 0:
            if m.start() != pending or half is None or half[1] in "89abAB":
                return True
            pending = -1
        elif half is not None:
            if half[1] not in "89abAB":
                return True
            pending = m.end()
    return pending >= 0


def _finite_float(text: str) -> float:
    f = float(text)
    if f - f != 0.0:
        raise ValueError(f"number is infinity when parsed as double: {text[:40]}")
    return f


def _finite_int(text: str) -> int:
    if len(text) > 300:  # past 64 bits orjson reads a float, refusing what is infinite
        _finite_float(text)
    return int(text)


def _std_loads(text: str | bytes) -> Any:
    # JSON text is UTF-8, which holds no lone surrogates, and its numbers are
    # finite doubles or 64-bit integers, as orjson reads it: json.loads would
    # also take UTF-16 and UTF-32, a byte order mark, surrogates encoded in
    # the bytes, standing in the str or escaped, and 1e999.
    if isinstance(text, str):
        if not text.isascii():
            try:
                text.encode()
            except UnicodeEncodeError:
                raise JsonError("invalid JSON: the text holds a lone surrogate") from None
    else:
        try:
            text = text.decode()
        except UnicodeDecodeError as exc:
            raise JsonError(f"invalid JSON: {exc}") from None
    try:
        value = json.loads(text, parse_constant=_reject_constant, parse_float=_finite_float, parse_int=_finite_int)
    except RecursionError:
        raise JsonError("invalid JSON: nested too deeply") from None
    except ValueError as exc:
        raise JsonError(f"invalid JSON: {exc}") from None
    if "\\u" in text and _lone_surrogate_escape(text):
        raise JsonError("invalid JSON: a string holds a lone surrogate")
    return value


def _std_dumps(value: Any, indent: int | None, sort_keys: bool) -> str:
    separators = (",", ":") if indent is None else (",", ": ")
    text = json.dumps(value, ensure_ascii=False, indent=indent, sort_keys=sort_keys, separators=separators,
                      allow_nan=False)
    try:
        text.encode()
    except UnicodeEncodeError:
        raise ValueError("cannot write JSON: a string holds a lone surrogate") from None
    return text


# ================================================================ public functions


def _output_key(include_defaults: bool, enums_as_numbers: bool, proto_names: bool) -> int:
    return (_DEFAULTS if include_defaults else 0) | (_ENUM_NUMBERS if enums_as_numbers else 0) | (
        _PROTO_NAMES if proto_names else 0)


def _run_output(message: object, key: int) -> Any:
    cls = message.__class__
    plan = cls.__dict__.get(_ATTR)
    if _NATIVE:
        if plan is None:
            _converter(cls, key, True)
            plan = cls.__dict__.get(_ATTR)
        if plan is not None:
            native = plan.nout[key]
            if native is None:
                native = _native(plan, key, True)
            if native:
                out = native(message)
                if out is not None:
                    return out
    fn = plan.out[key] if plan is not None else None
    if fn is None:
        fn = _converter(cls, key, True)
    try:
        return fn(message)
    except _Bad as exc:
        path = exc.path()
        where = f"{cls.__qualname__}.{path}" if path and not path.startswith("[") else f"{cls.__qualname__}{path}"
        raise exc.error(f"{where}: {exc.text}") from None


def to_dict(
    message: object, *, include_defaults: bool = False, enums_as_numbers: bool = False, proto_names: bool = False
) -> Any:
    """The JSON form of a message as Python values: dicts with the fields'
    JSON names as keys, lists, str, int, float, bool and None, as protobuf's
    JSON mapping defines it (64-bit integers and non-finite floats as
    strings, bytes as base64, enums by name; Timestamp, Duration, wrappers and
    the other well-known types in their special forms).

    Fields holding their default value are left out unless `include_defaults`
    (fields with presence, such as messages and oneof members, are written
    exactly when set). `enums_as_numbers` writes enum numbers instead of
    names; `proto_names` uses the protobuf field names as keys.

    Raises `TypeError` or `ValueError` naming the attribute path when a field
    holds a value it cannot hold.
    """
    return _run_output(message, _output_key(include_defaults, enums_as_numbers, proto_names))


def to_json(
    message: object,
    *,
    indent: int | None = None,
    sort_keys: bool = False,
    include_defaults: bool = False,
    enums_as_numbers: bool = False,
    proto_names: bool = False,
) -> str:
    """The message as JSON text (see `to_dict` for the mapping and options).

    Compact by default; `indent` spaces per level otherwise. `sort_keys`
    sorts the keys of every object.
    """
    if indent is not None and (type(indent) is not int or indent < 0):
        raise TypeError(f"indent is None or a non-negative int, not {indent!r}")
    if indent is None and not sort_keys and _NATIVE and _dumps is _ORJSON_DUMPS:
        plan = message.__class__.__dict__.get(_ATTR)
        if plan is not None:
            key = _output_key(include_defaults, enums_as_numbers, proto_names)
            native = plan.nout[key]
            if native is None:
                native = _native(plan, key, True)
            if native:
                text = native.text(message)
                if text is not None:
                    return text  # type: ignore[no-any-return]
    value = _run_output(message, _output_key(include_defaults, enums_as_numbers, proto_names))
    return _dumps(value, indent, sort_keys)


def from_dict[M](cls: type[M], value: Any, *, ignore_unknown: bool = False) -> M:
    """A new instance of the message class `cls` from the Python values of
    its JSON form (as `json.loads` gives them; see `to_dict`).

    Fields may be named by their JSON name or their protobuf name; integers
    may be numbers or strings, enums names or numbers, bytes standard or
    URL-safe base64; null leaves a field unset. Keys the class does not know
    are an error unless `ignore_unknown`, which also skips enum names the
    enum does not have.

    Raises `JsonError` (a `ValueError`) for anything else, its message
    starting with the path to the culprit, as in
    `items[3].quantity: expected an integer, got "x"`.
    """
    key = 1 if ignore_unknown else 0
    plan = cls.__dict__.get(_ATTR) if isinstance(cls, type) else None
    if _NATIVE and isinstance(cls, type):
        if plan is None:
            _converter(cls, key, False)
            plan = cls.__dict__.get(_ATTR)
        if plan is not None:
            native = plan.ninp[key]
            if native is None:
                native = _native(plan, key, False)
            if native:
                made = native(value)
                if made is not None:
                    return made  # type: ignore[no-any-return]
    fn = plan.inp[key] if plan is not None else None
    if fn is None:
        if not isinstance(cls, type):
            raise TypeError(f"expected a message class, not {type(cls).__name__}")
        fn = _converter(cls, key, False)
    try:
        return fn(value)  # type: ignore[no-any-return]
    except _Bad as exc:
        raise JsonError(exc.text, exc.path()) from None
    except RecursionError:
        raise JsonError("nested too deeply") from None


def from_json[M](cls: type[M], text: str | bytes | bytearray | memoryview, *, ignore_unknown: bool = False) -> M:
    """A new instance of the message class `cls` from JSON text (str or
    UTF-8 bytes), as `from_dict` reads it. Raises `JsonError` for text that
    is not JSON too."""
    if not isinstance(text, (str, bytes)):
        if not isinstance(text, (bytearray, memoryview)):
            raise TypeError(f"from_json() reads str or bytes, not {type(text).__name__}")
        text = bytes(text)
    if _NATIVE and _loads is _ORJSON_LOADS and isinstance(cls, type):
        plan = cls.__dict__.get(_ATTR)
        if plan is not None:
            key = 1 if ignore_unknown else 0
            native = plan.ninp[key]
            if native is None:
                native = _native(plan, key, False)
            if native:
                made = native.parse(text)
                if made is not None:
                    return made  # type: ignore[no-any-return]
    return from_dict(cls, _loads(text), ignore_unknown=ignore_unknown)


# ---------------------------------------------------------------- methods that @message adds


def _to_json_method(self: object, **options: Any) -> str:
    """This message as JSON text (see `quillspar.to_json`)."""
    return to_json(self, **options)


def _to_dict_method(self: object, **options: Any) -> Any:
    """This message's JSON form as Python values (see `quillspar.to_dict`)."""
    return to_dict(self, **options)


def _from_json_method[M](cls: type[M], /, text: str | bytes, **options: Any) -> M:
    """A new instance from JSON text (see `quillspar.from_json`)."""
    return from_json(cls, text, **options)


def _from_dict_method[M](cls: type[M], /, value: Any, **options: Any) -> M:
    """A new instance from the Python values of its JSON form (see `quillspar.from_dict`)."""
    return from_dict(cls, value, **options)


METHODS: Final[dict[str, object]] = {
    "to_json": _to_json_method,
    "to_dict": _to_dict_method,
    "from_json": classmethod(_from_json_method),
    "from_dict": classmethod(_from_dict_method),
}

_ = _core  # the core is loaded before any class is
