"""Fuzzes the JSON mapping (to_json/to_dict, from_json/from_dict) with hostile
text, values and instances.

    ./dev run python fuzz/json_fuzz.py --count 300000 [--seed N]
    ./dev run python fuzz/json_fuzz.py --replay SEED:INDEX     # one input again

A schema of message types covers every scalar kind (singular, proto3 optional,
repeated), an open enum with an alias and a negative number, maps of every key
kind, json_name overrides and a Python keyword, a oneof, every well-known type
with a special JSON form, and a recursive message.  Each input starts from a
valid random instance and is one of:

- JSON text: the instance's JSON form (in any of the output options, or as the
  reference runtime's json_format writes it), changed at random positions
  (values of the wrong type, huge and edge numbers, NaN/Infinity spellings,
  base64 variants, lone surrogates, unknown keys, keys given twice or by both
  names, every well-known type's special forms good and bad, deep nesting),
  written by a writer that varies whitespace, escapes and number spellings
  and may give a key twice, then perhaps mutated byte by byte, and read as str
  or as bytes (with invalid UTF-8 put in);
- the same Python values handed to from_dict (with values JSON text cannot
  hold: NaN, tuples, sets, bytes, str and int subclasses, non-str keys);
- an instance with one field, element or map entry (at any depth) replaced by
  a value of the wrong type, out of range, a stand-in with __index__ or
  __float__, a lone surrogate, a message of another class, a well-known type
  holding what it cannot, or the instance itself; or an instance nested
  around the depths where the native plans hand over to the Python
  converters (100 levels) and where those stop.

Every input is run with the native plans and with the Python converters alone
(`_json._NATIVE = False`), with and without ignore_unknown (input) or with a
random set of output options, and a run checks that

- both give the same outcome: equal results (compared with types, signs of
  zero and NaN), or the same exception type and message; so does text read
  by the standard library's json (the reader without orjson), except that
  the two word their refusals of malformed text and their depth limits each
  in their own way;
- only documented exceptions come out: JsonError from from_json/from_dict;
  TypeError or ValueError naming the attribute path (`Cls.field[2]...`) or
  "cannot write JSON" from to_json/to_dict (and what a value's own hook
  raises); RecursionError for instances that contain themselves or nest too
  deeply;
- where the reference runtime's json_format parses the same text, we read the
  same message, and we read whatever it reads but where it is known to be
  laxer: numbers and durations that Python's int() and float() read (" 1",
  "+1", "1_000", "1.", "1e999", "0.5e0s"), base64 without its padding,
  messages given as arrays or strings, bools as numbers, enum numbers beyond
  32 bits, strings beyond a float's range, a field given by both names (null
  clearing it there), Any's extra keys, offsets of +24:00, keys with a NUL;
- what to_json writes, json_format parses back to the message that to_bytes
  encodes, and from_json reads back to what from_bytes does; to_dict equals
  json_format's MessageToDict of that message and to_json's text.

Input INDEX of a run with SEED is a pure function of the two numbers, so a
failure is reported as SEED:INDEX and can be replayed.  A crash of the process
is left to the sanitizers (./dev test --sanitize runs the short version in
tests/test_fuzz.py).
"""

from __future__ import annotations

import argparse
import enum
import json
import math
import random
import re
import sys
from decimal import Decimal

from google.protobuf import (
    any_pb2, descriptor_pb2, descriptor_pool, duration_pb2, empty_pb2, field_mask_pb2, json_format, message_factory,
    struct_pb2, timestamp_pb2, wrappers_pb2,
)

import quillspar
from quillspar import (
    JsonError, double, field, fixed32, fixed64, float32, int32, int64, message, sfixed32, sfixed64, sint32, sint64,
    uint32, uint64, wkt, _json,
)
from quillspar._names import _message_info
from quillspar._schema import MAP, REPEATED

import decode_fuzz as dz

__proto_package__ = "jfuzz"

# ---------------------------------------------------------------- schema

KINDS = {"double": double, "float": float32, "int32": int32, "int64": int64, "uint32": uint32, "uint64": uint64,
         "sint32": sint32, "sint64": sint64, "fixed32": fixed32, "fixed64": fixed64, "sfixed32": sfixed32,
         "sfixed64": sfixed64, "bool": bool, "string": str, "bytes": bytes}
RANGES = {"int32": (-(2**31), 2**31 - 1), "sint32": (-(2**31), 2**31 - 1), "sfixed32": (-(2**31), 2**31 - 1),
          "uint32": (0, 2**32 - 1), "fixed32": (0, 2**32 - 1), "int64": (-(2**63), 2**63 - 1),
          "sint64": (-(2**63), 2**63 - 1), "sfixed64": (-(2**63), 2**63 - 1), "uint64": (0, 2**64 - 1),
          "fixed64": (0, 2**64 - 1)}


class Mood(enum.IntEnum):
    CALM = 0
    HAPPY = 1
    SAD = -2
    TOP = 2**31 - 1
    GLAD = 1  # an alias: written by the first name


class Other(enum.IntEnum):
    X = 1


def declare(name, annotations, namespace=None):
    return message(type(name, (), {"__annotations__": annotations, "__module__": __name__, **(namespace or {})}))


Leaf = declare("Leaf", {"name": str, "weight": sint32, "mood": Mood})
Scalars = declare("Scalars", {"f_" + k: t for k, t in KINDS.items()} | {"r_" + k: list[t] for k, t in KINDS.items()}
                  | {"o_" + k: t | None for k, t in KINDS.items()}
                  | {"mood": Mood, "moods": list[Mood], "o_mood": Mood | None, "leaf": Leaf | None,
                     "leaves": list[Leaf]})
MAP_PAIRS = [("string", "int64"), ("int32", "string"), ("int64", "double"), ("uint32", "bytes"), ("uint64", "float"),
             ("sint32", "bool"), ("sint64", "sint64"), ("fixed32", "fixed64"), ("fixed64", "uint32"),
             ("sfixed32", "sfixed32"), ("sfixed64", "int32"), ("bool", "string")]
Maps = declare("Maps", {f"{k}_{v}": dict[KINDS[k], KINDS[v]] for k, v in MAP_PAIRS}
               | {"string_mood": dict[str, Mood], "int32_leaf": dict[int32, Leaf], "bool_leaf": dict[bool, Leaf]})
Named = declare("Named", {
    "snake_case_field": int32, "renamed": int64, "listed": list[str], "choice_a": Leaf | None,
    "choice_b": str | None, "choice_c": Mood | None, "choice_d": wkt.Timestamp | None, "maybe": Mood | None,
    "from_": str, "is_ok": bool,
}, {"renamed": field(json_name="customName"), "listed": field(json_name="x_y"),
    "choice_a": field(oneof="choice"), "choice_b": field(oneof="choice"), "choice_c": field(oneof="choice"),
    "choice_d": field(oneof="choice"), "from_": field(name="from"), "is_ok": field(json_name="ok")})
W = wkt
Holder = declare("Holder", {
    "ts": W.Timestamp | None, "dur": W.Duration | None, "fm": W.FieldMask | None, "st": W.Struct | None,
    "val": W.Value | None, "lv": W.ListValue | None, "any": W.Any | None, "empty": W.Empty | None,
    "d": W.DoubleValue | None, "f": W.FloatValue | None, "i64": W.Int64Value | None, "u64": W.UInt64Value | None,
    "i32": W.Int32Value | None, "u32": W.UInt32Value | None, "b": W.BoolValue | None, "s": W.StringValue | None,
    "by": W.BytesValue | None, "vals": list[W.Value], "by_key": dict[str, W.Value], "null": W.NullValue,
    "stamps": list[W.Timestamp], "durs": dict[int32, W.Duration], "anys": list[W.Any]})
Node = declare("Node", {"label": str, "children": "list[Node]", "child": "Node | None",
                        "by_name": "dict[str, Node]"})

CLASSES = [Scalars, Maps, Named, Holder, Leaf, Node]
TOP_WKT = [W.Timestamp, W.Duration, W.FieldMask, W.Struct, W.Value, W.ListValue, W.Any, W.Empty, W.Int64Value,
           W.BytesValue, W.FloatValue]
quillspar.resolve()

# Our options, json_format's.
OPTIONS = [
    ({}, {}),
    ({"include_defaults": True}, {"always_print_fields_with_no_presence": True}),
    ({"enums_as_numbers": True, "proto_names": True},
     {"use_integers_for_enums": True, "preserving_proto_field_name": True}),
    ({"proto_names": True, "include_defaults": True},
     {"preserving_proto_field_name": True, "always_print_fields_with_no_presence": True}),
]


def reference_pool():
    pool = descriptor_pool.DescriptorPool()
    files = [timestamp_pb2, duration_pb2, field_mask_pb2, struct_pb2, any_pb2, empty_pb2, wrappers_pb2]
    for module in files:
        pool.Add(descriptor_pb2.FileDescriptorProto.FromString(module.DESCRIPTOR.serialized_pb))
    for raw in quillspar.file_descriptors(*CLASSES):
        f = descriptor_pb2.FileDescriptorProto.FromString(raw)
        if f.package == "google.protobuf":
            continue  # the reference runtime's own files stand in for it
        del f.dependency[:]
        f.dependency.extend(m.DESCRIPTOR.name for m in files)
        pool.Add(f)
    return pool


POOL = reference_pool()
REF = {cls: message_factory.GetMessageClass(POOL.FindMessageTypeByName(quillspar.full_name(cls)))
       for cls in CLASSES + TOP_WKT}


def info(cls):
    return _message_info(cls)


SCALAR_BY_TYPE: dict[int, str] = {}


def scalar_name(value) -> str | None:
    t = getattr(value, "proto_type", None)
    if t is None:
        return None
    return SCALAR_BY_TYPE[t]


def _fill_scalar_names():
    for f in info(Scalars).fields:
        if f.name.startswith("f_"):
            SCALAR_BY_TYPE[f.value.proto_type] = f.name[2:]


_fill_scalar_names()


def is_message(value) -> bool:
    return isinstance(value, type) and info(value) is not None


# ---------------------------------------------------------------- valid instances

TEXTS = ["", "a", "héllo", "€𐍈", "\x00\n\"\\/", "x" * 50, "GLAD", "1"]


def rand_scalar(rng: random.Random, kind: str):
    if kind in RANGES:
        lo, hi = RANGES[kind]
        return rng.choice([lo, hi, 0, 1, rng.randint(lo, hi), rng.randint(max(lo, -300), 300)])
    if kind == "double":
        return rng.choice([0.0, -0.0, 1.5, -2.25, 1e-300, 5e-324, 1.7976931348623157e308, math.inf, -math.inf,
                           math.nan, 0.1, 1e16, 123456.789, rng.uniform(-1e6, 1e6)])
    if kind == "float":
        return rng.choice([0.0, -0.0, 1.5, 0.10000000149011612, 3.4028234663852886e38, -math.inf, math.nan,
                           1.401298464324817e-45, 16777216.0])
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "string":
        return rng.choice(TEXTS)
    return rng.choice([b"", b"\x00", b"\xfb\xff", bytes(range(256)), rng.randbytes(rng.randrange(1, 9))])


def rand_enum(rng: random.Random, enum_cls):
    if enum_cls is W.NullValue:
        return W.NullValue.NULL_VALUE
    return rng.choice(list(enum_cls) + [7, -(2**31)])


def rand_wkt(rng: random.Random, cls, depth: int):
    if cls is W.Timestamp:
        return cls(seconds=rng.choice([0, -1, W.TIMESTAMP_MIN_SECONDS, W.TIMESTAMP_MAX_SECONDS,
                                       rng.randint(W.TIMESTAMP_MIN_SECONDS, W.TIMESTAMP_MAX_SECONDS)]),
                   nanos=rng.choice([0, 1, 120_000_000, 999_999_999, 10_000]))
    if cls is W.Duration:
        s, n = rng.choice([0, 1, 5, W.DURATION_MAX_SECONDS]), rng.choice([0, 1, 500_000_000, 999_999_999])
        return cls(seconds=-s, nanos=-n) if rng.random() < 0.5 else cls(seconds=s, nanos=n)
    if cls is W.FieldMask:
        return cls(paths=rng.sample(["a", "user.display_name", "photo", "a1_b.c", "x_y_z"], rng.randrange(4)))
    if cls is W.Struct:
        return W.Struct.from_dict(rand_json(rng, depth, key_only=True))
    if cls is W.ListValue:
        return W.ListValue.from_list(rand_json(rng, depth, list_only=True))
    if cls is W.Value:
        return W.Value.from_python(rand_json(rng, depth))
    if cls is W.Any:
        r = rng.random()
        if r < 0.2:
            return W.Any()
        inner = rng.choice([Leaf, W.Timestamp, W.Struct, W.Empty, W.Int64Value, W.Any, W.Value, W.Duration, Node])
        if inner is W.Any and depth > 2:
            inner = Leaf
        return W.Any.pack(rand_instance(rng, inner, depth + 1))
    if cls is W.Empty:
        return cls()
    value_field = info(cls).fields[0]
    return cls(value=rand_scalar(rng, scalar_name(value_field.value)))


def rand_json(rng: random.Random, depth: int, key_only: bool = False, list_only: bool = False):
    """A JSON value a Struct, ListValue or Value holds (numbers as floats)."""
    def one(d):
        r = rng.random()
        if d > 3 or r < 0.5:
            return rng.choice([None, True, False, 0.0, -1.5, 1e300, "", "s", "é"])
        if r < 0.75:
            return [one(d + 1) for _ in range(rng.randrange(3))]
        return {rng.choice(["a", "b", "", "é", "@type"]): one(d + 1) for _ in range(rng.randrange(3))}
    if key_only:
        return {rng.choice(["a", "b", "", "x y"]): one(depth + 1) for _ in range(rng.randrange(3))}
    if list_only:
        return [one(depth + 1) for _ in range(rng.randrange(3))]
    return one(depth)


def rand_value(rng: random.Random, value, depth: int):
    if is_message(value):
        return rand_instance(rng, value, depth + 1)
    if isinstance(value, type) and issubclass(value, enum.IntEnum):
        return rand_enum(rng, value)
    return rand_scalar(rng, scalar_name(value))


def rand_key(rng: random.Random, key):
    kind = scalar_name(key)
    if kind == "string":
        return rng.choice(["", "k", "é", "a b", "1"])
    return rand_scalar(rng, kind)


def rand_instance(rng: random.Random, cls, depth: int = 0):
    if info(cls).full_name[1:].startswith("google.protobuf."):
        return rand_wkt(rng, cls, depth)
    kw = {}
    oneofs = {}
    for f in info(cls).fields:
        if rng.random() < 0.45:
            continue
        if f.oneof is not None:
            if f.oneof in oneofs:
                continue
            oneofs[f.oneof] = f.name
        nested = depth < 3
        if f.shape == REPEATED:
            if is_message(f.value) and not nested:
                continue
            kw[f.name] = [rand_value(rng, f.value, depth) for _ in range(rng.randrange(4))]
        elif f.shape == MAP:
            if is_message(f.value) and not nested:
                continue
            kw[f.name] = {rand_key(rng, f.key): rand_value(rng, f.value, depth) for _ in range(rng.randrange(4))}
        elif is_message(f.value) and not nested:
            continue
        else:
            kw[f.name] = rand_value(rng, f.value, depth)
    return cls(**kw)


# ---------------------------------------------------------------- hostile JSON values

BIG_NUMBERS = [2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32 - 1, 2**32, 2**53 + 1, 2**63 - 1, 2**63, -(2**63),
               -(2**63) - 1, 2**64 - 1, 2**64, 10**30, -(10**30), 10**400]
FLOATS = [1.5, -0.0, 0.0, 1.0, 7.0, -2.0, 1e308, 1.7976931348623157e308, 5e-324, 1e39, -1e39, 3.4028234663852886e38,
          3.4028235e38, 3.4028236e38, 1e-50, 2.5e-45, 9.223372036854776e18, 1.8446744073709552e19, 0.1, 1e16]
NUMBER_TEXTS = ["1", "-1", "0", "-0", "01", "00", "1e3", "1E3", "1.5", "1.0", "1.", ".5", "-.5", " 1", "1 ", "+1",
                "0x10", "1_000", "1e", "e1", "1e-1", "1e+2", "10e-1", "9" * 40, "1e999", "-1e999", "1e-999",
                "18446744073709551615", "18446744073709551616", "9223372036854775807", "9223372036854775808",
                "-9223372036854775808", "-9223372036854775809", "2147483648", "-2147483649", "4294967296",
                "١", "１", "NaN", "nan", "Infinity", "-Infinity", "+Infinity", "inf", "-inf", "INFINITY", "-NaN"]
BASE64_TEXTS = ["", "AA==", "AA=", "AA", "A", "AAA=", "AAAA", "-_8", "+/8=", "+/8", "-_8=", "YQ", "YQ==", "Y Q==",
                "YQ==\n", "YQ=a", "====", "A===", "YWJj", "YW Jj", "YW\nJj", "!!", "YQ==YQ==", "_-", "é"]
STRING_TEXTS = ["", "x", "é", "\x00", "a\ud800", "\udfff", "\ud83d\ude00", "😀", "\ud800\ud800", "\u2028", "\\",
                "true", "false", "null", "HAPPY", "GLAD", "SAD", "CALM", "TOP", "ANGRY", "happy", " HAPPY",
                "NULL_VALUE", "X"]
WKT_TEXTS = [
    "1970-01-01T00:00:00Z", "1972-01-01T10:00:20.021+05:30", "0001-01-01T00:00:00Z",
    "9999-12-31T23:59:59.999999999Z", "1970-01-01T00:00:00.1234567891Z", "1970-01-01t00:00:00z",
    "2020-02-30T00:00:00Z", "2020-02-29T00:00:00Z", "1970-01-01T24:00:00Z", "1970-01-01T23:59:60Z",
    "1970-01-01T00:00:00+24:00", "1970-01-01T00:00:00", "10000-01-01T00:00:00Z", "1970-01-01T00:00:00.Z",
    "1970-01-01T00:00:00-00:00", "0000-12-31T23:59:59Z", "0001-01-01T00:00:00+00:01", "9999-12-31T23:59:59-01:00",
    "1970-01-01T00:00:00.000Z", "1970-01-01T00:00:00,5Z", "1970-01-01 00:00:00Z", "1970-1-01T00:00:00Z",
    "1970-01-01T00:00:00.5-01:00", "1970-01-01T00:00:00+0530", "１970-01-01T00:00:00Z",
    "0s", "1.5s", "-0.5s", "-0s", "1.000000001s", "1.0000000001s", "315576000000s", "315576000001s",
    "-315576000000.999999999s", "-315576000001s", "1s ", "s", "1", "+1s", "1e3s", ".5s", "1.s", "01s", "1S",
    "-1.-5s", "0.000000000s", "--1s", "1.5 s",
    "", "a", "a.bC,d", "aB", "a_b", "a,,b", ",", "a.", "A", "a1B", "fooBar.bazQux", "a.b.c", "user.displayName,photo",
    "aBC", "a__b", "_a", "a1",
]
TYPE_URLS = ["type.googleapis.com/jfuzz.Leaf", "type.googleapis.com/google.protobuf.Timestamp",
             "type.googleapis.com/google.protobuf.Struct", "type.googleapis.com/google.protobuf.Value",
             "type.googleapis.com/google.protobuf.Any", "type.googleapis.com/google.protobuf.Empty",
             "type.googleapis.com/google.protobuf.Int64Value", "type.googleapis.com/jfuzz.Node", "jfuzz.Leaf",
             "/jfuzz.Leaf", "x/y/jfuzz.Leaf", "type.googleapis.com/", "", "type.googleapis.com/no.Such",
             "type.googleapis.com/jfuzz.Mood", "type.googleapis.com/google.protobuf.NullValue"]


def hostile_json(rng: random.Random, depth: int = 0):
    """A JSON value of any type, mostly edge cases."""
    r = rng.random()
    if r < 0.12:
        return rng.choice([None, True, False])
    if r < 0.28:
        return rng.choice(BIG_NUMBERS + [0, 1, -1, 3, -2, 7])
    if r < 0.40:
        return rng.choice(FLOATS)
    if r < 0.55:
        return rng.choice(NUMBER_TEXTS)
    if r < 0.63:
        return rng.choice(BASE64_TEXTS)
    if r < 0.72:
        return rng.choice(STRING_TEXTS)
    if r < 0.82:
        return rng.choice(WKT_TEXTS)
    if r < 0.87 or depth > 2:
        return rng.choice([[], {}, [None], [1], ["x"], [{}], {"": 1}, {"name": 1}, {"value": 1}])
    if r < 0.92:
        return any_json(rng, depth)
    if r < 0.96:
        return [hostile_json(rng, depth + 1) for _ in range(rng.randrange(1, 4))]
    return {rng.choice(["name", "label", "value", "fInt32", "x", "@type", "paths"]): hostile_json(rng, depth + 1)
            for _ in range(rng.randrange(1, 3))}


def any_json(rng: random.Random, depth: int):
    url = rng.choice(TYPE_URLS)
    out: dict = {"@type": url} if rng.random() < 0.9 else {}
    if rng.random() < 0.7:
        out["value"] = hostile_json(rng, depth + 1)
    if rng.random() < 0.4:
        out[rng.choice(["name", "weight", "x", "label", "seconds"])] = hostile_json(rng, depth + 1)
    return out


class StrSub(str):
    pass


class IntSub(int):
    pass


class Unhashable:
    __hash__ = None  # type: ignore[assignment]


def non_json(rng: random.Random):
    """A Python value from_dict may meet that JSON text cannot hold."""
    return rng.choice([math.nan, math.inf, -math.inf, (1, 2), {1}, b"AA==", bytearray(b"x"), StrSub("HAPPY"),
                       IntSub(5), Decimal("1.5"), object(), {1: "x"}, {None: 1}, {("t",): 1}, Mood.SAD, Other.X,
                       [math.nan], {"a": math.inf}, 1j, range(3), Unhashable()])


def positions(value, path=()):
    """Every (container, key) of a JSON value, the top level as (None, None)."""
    out = [(None, None)]
    todo = [value]
    while todo:
        v = todo.pop()
        if isinstance(v, dict):
            for k, x in v.items():
                out.append((v, k))
                todo.append(x)
        elif isinstance(v, list):
            for i, x in enumerate(v):
                out.append((v, i))
                todo.append(x)
    return out


def camel(name: str) -> str:
    head, *rest = name.split("_")
    return head + "".join(p[:1].upper() + p[1:] for p in rest)


NAMES = sorted({n for cls in CLASSES for f in info(cls).fields for n in (f.json_name, f.proto_name)})


def mutate_value(rng: random.Random, value, allow_non_json: bool):
    """The JSON value changed at 1-3 random positions."""
    for _ in range(rng.choice([1, 1, 2, 3])):
        spots = positions(value)
        container, key = rng.choice(spots)
        op = rng.random()
        if container is None:
            if op < 0.3:
                value = hostile_json(rng)
            continue
        current = container[key]
        if op < 0.55:
            new = non_json(rng) if allow_non_json and rng.random() < 0.15 else hostile_json(rng)
            container[key] = new
        elif op < 0.62 and isinstance(container, dict):
            container[rng.choice(NAMES + ["nope", "", "@type", "a b", "é"])] = current
        elif op < 0.7 and isinstance(container, dict) and isinstance(key, str):
            # the other spelling of the same field beside it, or instead of it
            other = camel(key) if "_" in key else re.sub(r"([A-Z])", lambda m: "_" + m.group(1).lower(), key)
            if rng.random() < 0.5:
                del container[key]
            container[other] = hostile_json(rng) if rng.random() < 0.3 else current
        elif op < 0.76:
            del container[key]
        elif op < 0.82:
            container[key] = [current]
        elif op < 0.86 and isinstance(current, list) and current:
            container[key] = current[0]
        elif op < 0.9:
            container[key] = None
        elif op < 0.95 and isinstance(current, (int, float)) and not isinstance(current, bool):
            container[key] = str(current) if rng.random() < 0.5 else float(current) if abs(current) < 1e300 else 0
        else:
            container[key] = any_json(rng, 1)
    return value


# ---------------------------------------------------------------- JSON text

def write(rng: random.Random, value, tricks: bool) -> str:
    """JSON text of `value`; with `tricks`, other spellings of the same
    values (whitespace, escapes, number forms) and now and then a key given
    twice or a constant JSON does not have."""
    out: list[str] = []

    def space():
        if tricks and rng.random() < 0.1:
            out.append(rng.choice([" ", "\n", "\t", "\r\n", "  "]))

    def string(s: str):
        if not tricks or rng.random() < 0.7:
            out.append(json.dumps(s, ensure_ascii=rng.random() < 0.3))
            return
        parts = ['"']
        for ch in s:
            c = ord(ch)
            r = rng.random()
            if ch in '"\\' or c < 0x20:
                parts.append(json.dumps(ch)[1:-1])
            elif r < 0.3:
                if c > 0xFFFF:
                    c -= 0x10000
                    parts.append(f"\\u{0xD800 + (c >> 10):04x}\\u{0xDC00 + (c & 0x3FF):04X}")
                else:
                    parts.append(f"\\u{c:04x}")
            elif r < 0.35 and ch == "/":
                parts.append("\\/")
            else:
                parts.append(ch)
        parts.append('"')
        out.append("".join(parts))

    def number(v):
        if isinstance(v, float):
            if v != v or v in (math.inf, -math.inf):
                out.append(rng.choice(["NaN", "Infinity", "-Infinity", "1e999", "-1e999"]) if v != v or tricks
                           else ("1e999" if v > 0 else "-1e999"))
                return
            text = repr(v)
            if tricks and rng.random() < 0.2:
                text = rng.choice([text.upper(), f"{v:e}", f"{v:.17g}", text + "0" if "." in text else text])
            out.append(text)
            return
        text = str(int(v))
        if tricks and rng.random() < 0.15:
            text = rng.choice([text + ".0", text + "e0", text + "E+0", text + ".000", "-0" if v == 0 else text])
        out.append(text)

    def one(v, depth):
        space()
        if v is None:
            out.append("null")
        elif v is True or v is False:
            out.append("true" if v else "false")
        elif isinstance(v, (int, float)):
            number(v)
        elif isinstance(v, str):
            string(v)
        elif isinstance(v, list):
            out.append("[")
            for i, x in enumerate(v):
                if i:
                    out.append(",")
                one(x, depth + 1)
            space()
            out.append("]")
        elif isinstance(v, dict):
            out.append("{")
            items = list(v.items())
            if tricks and items and rng.random() < 0.08:
                k, x = rng.choice(items)
                items.insert(rng.randrange(len(items) + 1), (k, hostile_json(rng) if rng.random() < 0.5 else x))
            for i, (k, x) in enumerate(items):
                if i:
                    out.append(",")
                space()
                string(str(k))
                space()
                out.append(":")
                one(x, depth + 1)
            space()
            out.append("}")
        else:
            out.append(json.dumps(str(v)))
        space()

    one(value, 0)
    return "".join(out)


TOKENS = ['"', "{", "}", "[", "]", ",", ":", "\\", "\\u", "\\ud800", "\\udc00", "\\u0000", "\\x", "null", "true",
          "NaN", "Infinity", "-", "0", "1e999", "-0", ".", "e", '"@type"', '""', "\x00", "\x1f", "é", "\ud800",
          " ", "\n", "01", "18446744073709551616"]
BAD_UTF8 = [b"\xff", b"\xc3", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\x80", b"\xf0\x9f\x98"]


def mutate_text(rng: random.Random, text: str) -> str:
    t = list(text)
    for _ in range(rng.randint(1, 4)):
        op, pos = rng.random(), rng.randrange(len(t) + 1)
        if op < 0.35 and t:
            del t[min(pos, len(t) - 1):min(pos, len(t) - 1) + rng.randint(1, 3)]
        elif op < 0.75:
            t[pos:pos] = list(rng.choice(TOKENS))
        elif op < 0.9:
            a = rng.randrange(len(t) + 1)
            t[a:a] = t[pos:pos + rng.randint(1, 20)]
        elif t:
            t[min(pos, len(t) - 1)] = rng.choice("{}[]\",:0123456789-+.eE ntrufalsé")
    return "".join(t)


def to_bytes_text(rng: random.Random, text: str) -> bytes:
    """The text as UTF-8 (lone surrogates kept as bytes), perhaps with invalid UTF-8 put inside a string."""
    data = text.encode("utf-8", "surrogatepass")
    if rng.random() < 0.5:
        quotes = [i for i, b in enumerate(data) if b == 0x22]
        at = rng.choice(quotes) + 1 if quotes else rng.randrange(len(data) + 1)
        data = data[:at] + rng.choice(BAD_UTF8) + data[at:]
    return data


def deep_text(rng: random.Random) -> tuple[type, str]:
    levels = rng.choice([100, 499, 500, 999, 1000, 1023, 1024, 1025, 2000])
    how = rng.random()
    if how < 0.4:
        return Node, '{"children": [' * levels + "{}" + "]}" * levels
    if how < 0.7:
        return Node, '{"child": ' * levels + "{}" + "}" * levels
    if how < 0.85:
        return Holder, '{"val": ' + "[" * levels + "]" * levels + "}"
    return Node, '{"byName": {"k": ' * levels + "{}" + "}}" * levels


def deep_instance(rng: random.Random):
    """A Node nested around the depth where the native plans hand over to the
    Python converters, and where the interpreter's recursion limit or
    orjson's limit of levels stops those."""
    levels = rng.choice([99, 100, 101, 126, 127, 128, 200, 300, 450, 600, 1200])
    via = rng.choice(["children", "child", "by_name", "st"])
    obj = Node(label="end")
    for _ in range(levels):
        obj = Node(children=[obj]) if via == "children" else Node(child=obj) if via == "child" else Node(
            by_name={"k": obj})
    if via == "st":
        value = W.Value(string_value="end")
        for _ in range(levels):
            value = W.Value(list_value=W.ListValue(values=[value])) if rng.random() < 0.5 else W.Value(
                struct_value=W.Struct(fields={"k": value}))
        return Holder(st=W.Struct(fields={"v": value}))
    return obj


# ---------------------------------------------------------------- hostile instance values


class IntLike:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class FloatLike:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x


class Hostile(Exception):
    """Raised by the hooks of Raises."""


class Raises:
    def __index__(self):
        raise Hostile("__index__")

    def __float__(self):
        raise Hostile("__float__")


def hostile_python(rng: random.Random, value, depth: int):
    """A value for a singular field, an element or a map value of type `value`: good, odd or wrong."""
    common = [None, "x", "\ud800", b"\xff", 1.5, math.nan, -0.0, True, 0, -1, 2**31, 2**32, 2**63, 2**64, -(2**63) - 1,
              10**400, IntSub(3), StrSub("s"), Mood.SAD, Other.X, IntLike(5), IntLike(2**70), FloatLike(2.5),
              Raises(), [], (1,), {}, bytearray(b"ab"), memoryview(b"ab"), Leaf(), Decimal(1)]
    if is_message(value):
        return rng.choice([rand_instance(rng, value, 3), rand_instance(rng, Leaf, 3), Node(), W.Timestamp(),
                           bad_wkt(rng, value), 5, None, {}, "x"])
    kind = scalar_name(value) if not isinstance(value, type) else None
    if kind in RANGES:
        lo, hi = RANGES[kind]
        return rng.choice(common + [lo - 1, hi + 1, lo, hi, IntLike(hi + 1), IntSub(hi)])
    if kind in ("double", "float"):
        return rng.choice(common + [1e39, 3.4028235677973366e38, 2**2000, FloatLike(math.inf), 7])
    if kind == "bytes":
        return rng.choice(common + [[1, 2], "AA==", bytearray(), memoryview(b"")])
    return rng.choice(common + [StrSub("\udfff"), "é", 2**31 - 1, -(2**31), 7])


def bad_wkt(rng: random.Random, cls):
    """A well-known type instance holding what its JSON form cannot (or whatever else for other classes)."""
    choices = {
        W.Timestamp: lambda: W.Timestamp(seconds=rng.choice([W.TIMESTAMP_MAX_SECONDS + 1, -(10**12), 2**62, 0]),
                                         nanos=rng.choice([0, -1, 10**9, 5])),
        W.Duration: lambda: W.Duration(seconds=rng.choice([1, -1, W.DURATION_MAX_SECONDS + 1, 0]),
                                       nanos=rng.choice([-1, 1, 10**9, -(10**9)])),
        W.FieldMask: lambda: W.FieldMask(paths=[rng.choice(["aB", "a__b", "_a", "", "a.B", "1a", "a1b", "é"])]),
        W.Value: lambda: rng.choice([W.Value(number_value=math.nan), W.Value(number_value=math.inf),
                                     W.Value(number_value=1.0, string_value="x"), W.Value(),
                                     W.Value(string_value="\ud800"), W.Value(null_value=5)]),
        W.Struct: lambda: W.Struct(fields={"a": W.Value(number_value=math.nan)}),
        W.ListValue: lambda: W.ListValue(values=[W.Value(bool_value=True, null_value=W.NullValue.NULL_VALUE)]),
        W.Any: lambda: rng.choice([W.Any(type_url="x/no.Such"), W.Any(type_url="type.googleapis.com/jfuzz.Leaf",
                                                                     value=b"\xff\xff"),
                                   W.Any(type_url="", value=b"\x08\x01"), W.Any(type_url=5),
                                   W.Any(type_url="type.googleapis.com/google.protobuf.Duration",
                                         value=W.Duration(seconds=1, nanos=-1).to_bytes())]),
        W.FloatValue: lambda: W.FloatValue(value=1e39),
        W.Int64Value: lambda: W.Int64Value(value=2**63),
        W.BytesValue: lambda: W.BytesValue(value="x"),
    }
    make = choices.get(cls)
    return make() if make else cls()


def fields_of(obj):
    return info(type(obj)).fields if info(type(obj)) is not None else []


def spoil(rng: random.Random, obj) -> str:
    """Replaces one field, element or entry somewhere in `obj` with a hostile value; returns where."""
    # pick a message in the tree
    messages = []
    todo = [obj]
    while todo:
        m = todo.pop()
        messages.append(m)
        for f in fields_of(m):
            v = getattr(m, f.name)
            for x in (v.values() if isinstance(v, dict) else v if isinstance(v, list) else [v]):
                if type(x) in CLASSES:
                    todo.append(x)
    target = rng.choice(messages)
    fs = fields_of(target)
    if not fs:
        return "nothing"
    f = rng.choice(fs)
    r = rng.random()
    if rng.random() < 0.02 and type(target) is Node:
        target.children = [obj]  # the instance inside itself
        return "loop"
    if f.oneof is not None and rng.random() < 0.1:
        for other in fs:
            if other.oneof == f.oneof and other is not f:
                object.__setattr__(target, other.name, rand_value(rng, other.value, 3))
                break
    if f.shape == REPEATED:
        current = list(getattr(target, f.name))
        if r < 0.2:
            value = rng.choice([tuple(current), None, 5, "ab", set(), {1: 2}, iter(current), Raises()])
        else:
            current.insert(rng.randrange(len(current) + 1), hostile_python(rng, f.value, 0))
            value = current
    elif f.shape == MAP:
        current = dict(getattr(target, f.name))
        if r < 0.15:
            value = rng.choice([list(current.items()), None, 5, "ab"])
        elif r < 0.5:
            key = rng.choice([None, "k", "\ud800", 1, -1, 2**31, 2**32, 2**64, True, 1.5, b"k", IntSub(2), StrSub("s"),
                              IntLike(1), Mood.SAD])
            current[key] = rand_value(rng, f.value, 3)
            value = current
        else:
            current[rand_key(rng, f.key)] = hostile_python(rng, f.value, 0)
            value = current
    else:
        value = hostile_python(rng, f.value, 0)
    object.__setattr__(target, f.name, value)
    return f.name


# ---------------------------------------------------------------- outcomes


class Failure(Exception):
    pass


def outcome(fn):
    try:
        return ("ok", fn())
    except BaseException as exc:
        if isinstance(exc, KeyboardInterrupt):
            raise
        return (type(exc), str(exc), getattr(exc, "__notes__", None))


def native_and_python(fn):
    saved = _json._NATIVE
    try:
        _json._NATIVE = True
        a = outcome(fn)
        _json._NATIVE = False
        b = outcome(fn)
    finally:
        _json._NATIVE = saved
    return a, b


class _Token:
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text


_END = _Token(")")


def scalar_token(v):
    if isinstance(v, float):
        return ("float", "nan") if v != v else ("float", v, math.copysign(1.0, v))
    if isinstance(v, enum.Enum):
        return (type(v).__name__, v.name)
    if isinstance(v, (bool, int, str, bytes)) or v is None:
        return (type(v).__name__, v)
    return None


def canon(v) -> list:
    """A comparable form telling bool, int, float and enum members apart, keeping
    the sign of zero; every NaN compares equal; maps whatever their order;
    messages by class and fields, an Any by what it holds. Iterative: values
    may nest deeper than the interpreter's recursion limit."""
    out: list = []
    stack = [v]
    while stack:
        x = stack.pop()
        if x.__class__ is _Token:
            out.append(x.text)
            continue
        token = scalar_token(x)
        if token is not None:
            out.append(token)
        elif isinstance(x, (list, tuple)):
            out.append("[")
            stack.append(_END)
            stack.extend(reversed(x))
        elif isinstance(x, dict):
            out.append("{")
            stack.append(_END)
            for k, value in sorted(x.items(), key=lambda kv: repr(scalar_token(kv[0]) or kv[0]), reverse=True):
                stack.append(value)
                stack.append(_Token(scalar_token(k) or ("?", repr(k))))
        elif type(x) is W.Any and x.type_url:
            try:  # what it holds, whatever the order of its encoding
                held = x.unpack()
            except Exception:
                held = x.value
            out.append(("Any", x.type_url))
            stack.append(held)
        elif info(type(x)) is not None:
            out.append((type(x).__qualname__, quillspar.unknown_fields(x)))
            stack.append(_END)
            for f in reversed(fields_of(x)):
                stack.append(getattr(x, f.name))
                stack.append(_Token(f.name))
        else:
            out.append(("?", repr(x)))
    return out


def same(a, b) -> bool:
    if a[0] == "ok" and b[0] == "ok":
        return canon(a[1]) == canon(b[1])
    return a == b


def show(o) -> str:
    if o[0] == "ok":
        return f"ok {o[1]!r:.300}"
    return f"{o[0].__name__}: {o[1]}" + (f" notes={o[2]}" if o[2] else "")


# json_format reads these where we refuse them: our messages for them.
REFERENCE_LAXER = re.compile(
    r'(is not base64'  # it takes base64 with missing or extra padding, whitespace, mixed alphabets
    r'|expected an object, got an array'  # a message given as an array
    r"|the field is given twice"  # a field given by both names
    r'|no such field in an Any holding'  # an Any holding a well-known type with extra keys
    r'|an Any holding [\w.]+ needs its "value"'
    r'|is not lowerCamelCase'  # FieldMask paths it converts anyway
    r'|expected an object, got "'  # a string where a message goes (it takes some)
    r'|expected an RFC 3339 time'  # digits of other scripts, which Python's datetime reads
    r'|expected (a name or number of enum [\w.]+|a number), got (true|false)$'  # Python's bools are numbers
    r'|expected a name or number of enum [\w.]+, got -?[0-9.e+-]+$'  # it truncates a float
    r'|is out of range for enum'  # it takes any integer for an open enum
    r'|has an invalid UTC offset'  # it takes +24:00
    r'|is out of range for a float'  # it takes a string beyond a float's range
    r')')


STRICT_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?|NaN|-?Infinity")
STRICT_DURATION = re.compile(r"-?[0-9]+(?:\.[0-9]{1,9})?s")
LAX_DURATION = re.compile(r"[\s\d+\-._eE]+s")  # what it reads with int() on either side of the point
LONG_FRACTION = re.compile(r"-?[0-9]+\.[0-9]{10,}s")


def lax_strings(text: str) -> bool:
    """Whether the JSON text holds a string that json_format reads with
    Python's int() or float() (as a number or a duration's seconds), which
    JSON's mapping refuses: " 1", "+1", "1_000", "1.", "١", "1e999", "+1s",
    or a duration with more than nine fractional digits; or a key with a NUL."""
    try:
        value = json.loads(text)
    except (ValueError, RecursionError):
        return False
    todo = [value]
    while todo:
        v = todo.pop()
        if isinstance(v, dict):
            if any("\x00" in k for k in v):
                return True  # it looks keys up only as far as a NUL
            todo.extend(v.values())
            todo.extend(v.keys())
        elif isinstance(v, list):
            todo.extend(v)
        elif isinstance(v, str):
            if LONG_FRACTION.fullmatch(v):
                return True
            if lax_number(v) or v.endswith("s") and (lax_number(v[:-1]) or LAX_DURATION.fullmatch(v)
                                                     and not STRICT_DURATION.fullmatch(v)):
                return True
    return False


def both_names(text: str) -> bool:
    """Whether an object of the JSON text gives a field by both its names
    (one of them perhaps null, which json_format reads as clearing the field
    and we as not giving it)."""
    found = False

    def pairs(items):
        nonlocal found
        keys = {camel(k) for k, _ in items}
        if len(keys) < len({k for k, _ in items}):
            found = True
        return dict(items)

    try:
        json.loads(text, object_pairs_hook=pairs)
    except (ValueError, RecursionError):
        return False
    return found


def lax_number(v: str) -> bool:
    try:
        f = float(v)
    except ValueError:
        return False
    if not STRICT_NUMBER.fullmatch(v):
        return True
    if v[-1].isdigit() and math.isinf(f):
        return True  # "1e999", which it reads as infinity
    return v[-1].isdigit() and f.is_integer() and Decimal(v) != Decimal(v).to_integral_value()  # "1e-999"


class Runner:
    def __init__(self, seed: int):
        self.seed = seed
        self.outcomes: dict[str, int] = {}

    def count(self, what: str) -> None:
        self.outcomes[what] = self.outcomes.get(what, 0) + 1

    def input(self, index: int):
        """Input `index`: ("text", cls, text, ignore) / ("dict", cls, value, ignore) / ("instance", obj, options)."""
        rng = random.Random(self.seed * 1_000_003 + index)
        r = rng.random()
        if r < 0.03:
            cls, text = deep_text(rng)
            return ("text", cls, text, rng.random() < 0.5)
        if r < 0.6:
            cls = rng.choice(CLASSES + CLASSES[:4] + TOP_WKT[:7])
            obj = rand_instance(rng, cls)
            if rng.random() < 0.25:
                ref = REF[cls].FromString(obj.to_bytes())
                value = json_format.MessageToDict(ref, descriptor_pool=POOL, **rng.choice(OPTIONS)[1])
            else:
                value = quillspar.to_dict(obj, **rng.choice(OPTIONS)[0])
            as_dict = rng.random() < 0.25
            if rng.random() < 0.85:
                value = mutate_value(rng, value, allow_non_json=as_dict)
            ignore = rng.random() < 0.5
            if as_dict:
                return ("dict", cls, value, ignore)
            text = write(rng, value, tricks=rng.random() < 0.5)
            if rng.random() < 0.25:
                text = mutate_text(rng, text)
            if rng.random() < 0.2:
                return ("text", cls, to_bytes_text(rng, text), ignore)
            return ("text", cls, text, ignore)
        if r < 0.62:
            return ("instance", deep_instance(rng), dict(rng.choice(OPTIONS)[0]), True)
        cls = rng.choice(CLASSES + CLASSES[:4] + TOP_WKT)
        obj = rand_instance(rng, cls)
        spoiled = rng.random() < 0.9
        if spoiled:
            spoil(rng, obj)
        options = dict(rng.choice(OPTIONS)[0])
        if rng.random() < 0.15:
            options["indent"] = rng.choice([0, 2, 4])
        if rng.random() < 0.1:
            options["sort_keys"] = True
        return ("instance", obj, options, spoiled)

    def one(self, index: int) -> str | None:
        case = self.input(index)
        try:
            if case[0] == "instance":
                self.check_output(*case[1:])
            else:
                self.check_input(*case)
        except Failure as exc:
            return f"{describe(case)}\n    {exc}"
        return None

    # ------------------------------------------------------------ input

    def check_input(self, how, cls, data, ignore):
        read = (lambda: quillspar.from_json(cls, data, ignore_unknown=ignore)) if how == "text" else (
            lambda: quillspar.from_dict(cls, data, ignore_unknown=ignore))
        native, python = native_and_python(read)
        if not same(native, python):
            raise Failure(f"native {show(native)}\n    python {show(python)}")
        if how == "text":
            self.against_std_json(read, native)
        if native[0] != "ok":
            self.count(native[0].__name__)
            if native[0] is not JsonError:
                raise Failure(f"undocumented exception {show(native)}")
            if how == "text" and isinstance(data, str) and len(data) < 20000:
                self.against_reference_refused(cls, data, ignore, native)
            return
        self.count("read")
        got = native[1]
        if type(got) is not cls:
            raise Failure(f"from_{how} returned {type(got)!r}")
        try:
            data_bytes = got.to_bytes()
        except Exception as exc:
            raise Failure(f"what was read does not encode: {type(exc).__name__}: {exc}") from None
        if canon(cls.from_bytes(data_bytes)) != canon(got):
            raise Failure("what was read does not survive to_bytes/from_bytes")
        if how == "text" and isinstance(data, str) and len(data) < 20000:
            if lax_strings(data) or both_names(data):
                return
            try:
                theirs = json_format.Parse(data, REF[cls](), ignore_unknown_fields=ignore, descriptor_pool=POOL)
            except Exception:
                return  # json_format refuses: a duplicate key, 3.4028235e38, ... (checked the other way round)
            ours = REF[cls].FromString(data_bytes)
            if normal(ours) != normal(theirs):
                raise Failure(f"json_format reads another message: {ref_diff(theirs, ours)}")

    def against_std_json(self, read, orjson_outcome):
        """The text read by the standard library's json (the package's reader
        without orjson): the same message, or JsonError where orjson refuses."""
        saved = _json._loads
        _json._loads = _json._std_loads
        try:
            std = outcome(read)
        finally:
            _json._loads = saved
        if same(std, orjson_outcome):
            return
        if std[0] is JsonError and orjson_outcome[0] is JsonError:
            if std[1].startswith("invalid JSON") and orjson_outcome[1].startswith("invalid JSON"):
                return  # the two readers word their refusals of malformed text each in their own way
            if "depth limit exceeded" in orjson_outcome[1] and std[1].endswith("nested too deeply"):
                return  # orjson stops at 1024 levels, json where the interpreter's recursion limit stops it
        raise Failure(f"read by orjson {show(orjson_outcome)}\n    by json {show(std)}")

    def against_reference_refused(self, cls, text, ignore, native):
        try:
            theirs = json_format.Parse(text, REF[cls](), ignore_unknown_fields=ignore, descriptor_pool=POOL)
        except Exception:
            return
        if native[1].startswith("invalid JSON") or lax_strings(text):
            return  # text orjson refuses and Python's json reads (NaN, lone surrogates, ...)
        if REFERENCE_LAXER.search(native[1]):
            return
        raise Failure(f"json_format reads it; we raise {show(native)}")

    # ------------------------------------------------------------ output

    def check_output(self, obj, options, spoiled):
        cls = type(obj)
        for what, fn in (("to_dict", lambda: quillspar.to_dict(obj, **{k: v for k, v in options.items()
                                                                         if k not in ("indent", "sort_keys")})),
                         ("to_json", lambda: quillspar.to_json(obj, **options))):
            native, python = native_and_python(fn)
            if native[0] is RecursionError and python[0] is RecursionError:
                self.count("RecursionError")  # messages differ with where the stack ran out
                return
            if not same(native, python):
                raise Failure(f"{what}: native {show(native)}\n    python {show(python)}")
            if native[0] != "ok":
                self.count(native[0].__name__)
                if not output_error_allowed(cls, native):
                    raise Failure(f"{what}: undocumented exception {show(native)}")
                return
            self.count(what)
        text = quillspar.to_json(obj, **options)
        ours = quillspar.to_dict(obj, **{k: v for k, v in options.items() if k not in ("indent", "sort_keys")})
        if json.loads(text) != json.loads(json.dumps(ours)):
            raise Failure(f"to_json and to_dict disagree: {text:.300} / {ours!r:.300}")
        if spoiled:
            return  # a stand-in may write what no message holds (a Value with two kinds set, say); the
            # reference runtime stops at 100 levels
        try:
            data = obj.to_bytes()
        except Exception:
            return  # the binary encoder refuses what JSON takes (bool in an int field, say)
        back = outcome(lambda: quillspar.from_json(cls, text))
        if back[0] != "ok":
            raise Failure(f"from_json refuses what to_json wrote: {show(back)} ({text:.300})")
        if canon(back[1]) != canon(clean(cls.from_bytes(data))):
            raise Failure(f"to_json/from_json gives another message than to_bytes/from_bytes: {text:.300}")
        ref = REF[cls].FromString(data)
        their_options = next(t for o, t in OPTIONS if o == {k: v for k, v in options.items()
                                                              if k not in ("indent", "sort_keys")})
        try:
            theirs = json_format.MessageToDict(ref, descriptor_pool=POOL, **their_options)
        except Exception:
            theirs = None  # it refuses a Timestamp out of range we refuse too, say
        if theirs is not None and theirs != json.loads(json.dumps(ours)) and not nan_inside(ours):
            raise Failure(f"json_format writes {theirs!r:.300}\n    we write {ours!r:.300}")
        try:
            parsed = json_format.Parse(text, REF[cls](), descriptor_pool=POOL)
        except json_format.ParseError as exc:
            if "Float value too" in str(exc):
                return  # it refuses the shortest form of the largest float, its own output included
            raise Failure(f"json_format refuses what to_json wrote: {exc} ({text:.300})") from None
        if normal(parsed) != normal(ref) and not nan_inside(ours):
            raise Failure(f"json_format reads what to_json wrote as another message: {ref_diff(parsed, ref)}")


def normal(msg) -> bytes:
    """A reference message's deterministic encoding, with what each Any holds
    encoded deterministically too."""
    msg = type(msg).FromString(msg.SerializeToString())
    todo = [msg]
    while todo:
        m = todo.pop()
        if m.DESCRIPTOR.full_name == "google.protobuf.Any" and m.type_url:
            try:
                inner = message_factory.GetMessageClass(POOL.FindMessageTypeByName(m.type_url.rpartition("/")[2]))
                m.value = normal(inner.FromString(m.value))
            except Exception:
                pass
            continue
        for fd, v in m.ListFields():
            if fd.message_type is None:
                continue
            if fd.message_type.GetOptions().map_entry:
                if fd.message_type.fields_by_name["value"].message_type is not None:
                    todo.extend(v.values())
            elif fd.is_repeated:
                todo.extend(v)
            else:
                todo.append(v)
    return msg.SerializeToString(deterministic=True)


def ref_diff(theirs, ours) -> str:
    """The fields in which two reference messages differ."""
    out = []
    for fd in theirs.DESCRIPTOR.fields:
        a, b = getattr(theirs, fd.name), getattr(ours, fd.name)
        if a != b:
            out.append(f"{fd.name}: theirs {a!r:.300} ours {b!r:.300}".replace("\n", " "))
    return "; ".join(out) or "(only in serialization)"


def clean(obj):
    """An instance as from_json makes it: unknown fields are not JSON."""
    return type(obj).from_bytes(obj.to_bytes()) if not quillspar.unknown_fields(obj) else obj


def nan_inside(value) -> bool:
    return "NaN" in json.dumps(value)


def output_error_allowed(cls, o) -> bool:
    t, text = o[0], o[1]
    if t is Hostile:
        return True  # what a value's own hook raises goes through
    if t not in (TypeError, ValueError):
        return False
    return text.startswith((f"{cls.__qualname__}.", f"{cls.__qualname__}[", f"{cls.__qualname__}: ",
                            "cannot write JSON: "))


def describe(case) -> str:
    if case[0] == "instance":
        return f"instance {case[1]!r:.600} options={case[2]}"
    return f"{case[0]} {case[1].__name__} ignore_unknown={case[3]} {case[2]!r:.600}"


def run(seed: int, count: int, progress: bool = False, stop_after: int = 10,
        outcomes: dict | None = None) -> list[str]:
    runner = Runner(seed)
    if outcomes is not None:
        runner.outcomes = outcomes
    return dz.collect_failures(runner.one, seed, count, progress, stop_after)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=100_000)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--replay", metavar="SEED:INDEX")
    args = ap.parse_args()
    if args.replay:
        seed, index = map(int, args.replay.split(":"))
        runner = Runner(seed)
        print(describe(runner.input(index)))
        print(runner.one(index) or "ok")
        return 0
    return dz.run_and_report(run, args.seed, args.count)


if __name__ == "__main__":
    sys.exit(main())
