"""Fuzzes Descriptor.decode with random and mutated wire data.

    ./dev run python fuzz/decode_fuzz.py --count 1000000 [--seed N]
    ./dev run python fuzz/decode_fuzz.py --replay SEED:INDEX     # one input again

Several message types cover every scalar kind (singular, proto3 optional and in
a oneof), repeated fields (packed and unpacked), maps with scalar, enum and
message values, a recursive message, and an enum class that refuses some
numbers.  A pool of valid encodings is made first with the reference runtime
(google.protobuf), and each is checked on the way: our decode of it equals the
reference's values, our encode of that result is parsed back by the reference
to the same message.  Then every input (random bytes, random tag/value streams,
mutations and splices of pool entries, very deep nesting) is decoded, and:

- only these exceptions may come out: ValueError "malformed protobuf data: ...",
  UnicodeDecodeError ("invalid utf-8 in string field"), RecursionError,
  RuntimeError "message field was not linked to a class", and the exception
  that the enum class itself raises;
- a successful decode is an instance of the class, and every field holds a
  value of its kind (type and range), recursively;
- for the fixed message types, the outcome agrees with the reference
  runtime's parse of the same bytes: the same values where it accepts them
  (unless our enum class refuses a number), an exception where it refuses
  them. Known differences are let through: its limit of 100 levels, its
  refusal of length prefixes longer than five bytes, its skipping of groups
  (refused here), and its keeping a map entry that holds an unknown field as
  an unknown field of the message.

Input INDEX of a run with SEED is a pure function of the two numbers, so a
failure is reported as SEED:INDEX and can be replayed.  A crash of the process
is left to the sanitizers (./dev test --sanitize runs the short version in
tests/test_fuzz_decode.py); run with -X faulthandler to see where it happened.
"""

from __future__ import annotations

import argparse
import math
import random
import re
import struct
import sys
import time
from dataclasses import dataclass, field as dc_field

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
from google.protobuf.message import DecodeError
from google.protobuf.unknown_fields import UnknownFieldSet

from quillspar import _core

FDP = descriptor_pb2.FieldDescriptorProto

# ---------------------------------------------------------------- schema table

# kind -> (protobuf type, wire type, Python type, (min, max) for integers)
KINDS = {
    "double": (FDP.TYPE_DOUBLE, 1, float, None),
    "float": (FDP.TYPE_FLOAT, 5, float, None),
    "int64": (FDP.TYPE_INT64, 0, int, (-(2**63), 2**63 - 1)),
    "uint64": (FDP.TYPE_UINT64, 0, int, (0, 2**64 - 1)),
    "int32": (FDP.TYPE_INT32, 0, int, (-(2**31), 2**31 - 1)),
    "fixed64": (FDP.TYPE_FIXED64, 1, int, (0, 2**64 - 1)),
    "fixed32": (FDP.TYPE_FIXED32, 5, int, (0, 2**32 - 1)),
    "bool": (FDP.TYPE_BOOL, 0, bool, None),
    "string": (FDP.TYPE_STRING, 2, str, None),
    "bytes": (FDP.TYPE_BYTES, 2, bytes, None),
    "uint32": (FDP.TYPE_UINT32, 0, int, (0, 2**32 - 1)),
    "sfixed32": (FDP.TYPE_SFIXED32, 5, int, (-(2**31), 2**31 - 1)),
    "sfixed64": (FDP.TYPE_SFIXED64, 1, int, (-(2**63), 2**63 - 1)),
    "sint32": (FDP.TYPE_SINT32, 0, int, (-(2**31), 2**31 - 1)),
    "sint64": (FDP.TYPE_SINT64, 0, int, (-(2**63), 2**63 - 1)),
}
SCALAR_KINDS = list(KINDS)
NUMERIC_KINDS = [k for k in SCALAR_KINDS if k not in ("string", "bytes")]

COLOR_VALUES = {"ZERO": 0, "RED": 1, "GREEN": 2, "BLUE": 3, "BIG": 1001, "NEG": -5}


@dataclass
class F:
    """One field: kind is a scalar kind, "enum" or a message name; a map has key/value kinds."""

    name: str
    number: int
    kind: str = ""
    card: str = "singular"  # singular, optional, repeated, oneof
    key: str = ""
    packed: bool | None = None

    @property
    def is_map(self) -> bool:
        return bool(self.key)


@dataclass
class M:
    name: str
    fields: list[F] = dc_field(default_factory=list)
    oneofs: list[str] = dc_field(default_factory=list)


def _schemas() -> list[M]:
    scalars = M("Scalars", oneofs=["pick"])
    for i, k in enumerate(SCALAR_KINDS):
        scalars.fields.append(F(f"s_{k}", 1 + i, k))
        scalars.fields.append(F(f"o_{k}", 16 + i, k, "optional"))
    scalars.fields += [
        F("one_i32", 31, "int32", "oneof"), F("one_str", 32, "string", "oneof"),
        F("one_leaf", 33, "Leaf", "oneof"), F("one_color", 34, "enum", "oneof"),
        F("color", 35, "enum"), F("big", 536870911, "uint32"),
    ]
    rep = M("Repeated")
    for i, k in enumerate(SCALAR_KINDS):
        rep.fields.append(F(f"r_{k}", 1 + i, k, "repeated"))
    rep.fields += [F("r_color", 16, "enum", "repeated"), F("r_leaf", 17, "Leaf", "repeated")]
    for i, k in enumerate(["int32", "double", "bool", "sint64", "fixed32", "enum"]):
        rep.fields.append(F(f"u_{k}", 20 + i, k, "repeated", packed=False))
    maps = M("Maps")
    for i, (key, value) in enumerate(
        [("string", "Leaf"), ("int32", "enum"), ("uint64", "bytes"), ("bool", "double"), ("sint64", "string"),
         ("fixed32", "Leaf"), ("sfixed64", "float"), ("string", "Node")]
    ):
        maps.fields.append(F(f"m_{key}_{value.lower()}", 1 + i, value, key=key))
    leaf = M("Leaf", fields=[F("name", 1, "string"), F("n", 2, "sint32"), F("color", 3, "enum")])
    node = M("Node", fields=[
        F("value", 1, "int32"), F("child", 2, "Node", "optional"), F("kids", 3, "Node", "repeated"),
        F("named", 4, "Node", key="string"), F("color", 5, "enum"), F("leaf", 6, "Leaf", "optional"),
    ])
    return [scalars, rep, maps, leaf, node]


SCHEMAS = _schemas()
BY_NAME = {m.name: m for m in SCHEMAS}


def _proto_type(kind: str) -> tuple[int, str | None]:
    if kind in KINDS:
        return KINDS[kind][0], None
    if kind == "enum":
        return FDP.TYPE_ENUM, ".fz.Color"
    return FDP.TYPE_MESSAGE, f".fz.{kind}"


def file_descriptor() -> descriptor_pb2.FileDescriptorProto:
    fd = descriptor_pb2.FileDescriptorProto(name="fz.proto", package="fz", syntax="proto3")
    color = fd.enum_type.add(name="Color")
    for name, number in COLOR_VALUES.items():
        color.value.add(name=name, number=number)
    for m in SCHEMAS:
        msg = fd.message_type.add(name=m.name)
        for o in m.oneofs:
            msg.oneof_decl.add(name=o)
        for f in m.fields:
            fp = msg.field.add(name=f.name, number=f.number)
            if f.is_map:
                entry_name = "".join(p.capitalize() for p in f.name.split("_")) + "Entry"
                entry = msg.nested_type.add(name=entry_name)
                entry.options.map_entry = True
                kt, _ = _proto_type(f.key)
                entry.field.add(name="key", number=1, type=kt, label=FDP.LABEL_OPTIONAL)
                vt, vtn = _proto_type(f.kind)
                v = entry.field.add(name="value", number=2, type=vt, label=FDP.LABEL_OPTIONAL)
                if vtn:
                    v.type_name = vtn
                fp.type, fp.label, fp.type_name = FDP.TYPE_MESSAGE, FDP.LABEL_REPEATED, f".fz.{m.name}.{entry_name}"
                continue
            fp.type, tn = _proto_type(f.kind)
            if tn:
                fp.type_name = tn
            fp.label = FDP.LABEL_REPEATED if f.card == "repeated" else FDP.LABEL_OPTIONAL
            if f.packed is False:
                fp.options.packed = False
            if f.card == "oneof":
                fp.oneof_index = m.oneofs.index("pick")
            elif f.card == "optional" and fp.type != FDP.TYPE_MESSAGE:
                fp.proto3_optional = True
                fp.oneof_index = len(msg.oneof_decl)
                msg.oneof_decl.add(name=f"_{f.name}")
    return fd


# ---------------------------------------------------------------- Python classes


class Refused(Exception):
    """Raised by Color for the numbers it does not accept."""


class UnexpectedKeyword(Exception):
    """A message class was called with a name that is not one of its fields."""


def color_refuses(n: int) -> bool:
    return n % 13 == 12 or n > 10**6


class Color:
    """An enum class: called with one int, refuses some numbers."""

    __slots__ = ("n",)

    def __init__(self, n):
        if type(n) is not int:
            raise UnexpectedKeyword(f"Color called with {type(n).__name__}")
        if color_refuses(n):
            raise Refused(n)
        self.n = n

    def __index__(self):
        return self.n

    def __eq__(self, other):
        return type(other) is Color and other.n == self.n

    def __hash__(self):
        return hash(self.n)

    def __repr__(self):
        return f"Color({self.n})"


class Message:
    _mtype: M
    _defaults: dict

    def __init__(self, **kw):
        for name, default in self._defaults.items():
            setattr(self, name, kw.pop(name) if name in kw else default())
        if kw:
            raise UnexpectedKeyword(f"{type(self).__name__} got {sorted(kw)}")

    def __eq__(self, other):
        return type(other) is type(self) and vars(other) == vars(self)

    def __repr__(self):
        return f"{type(self).__name__}({vars(self)!r})"


def _default(f: F, linked: bool = True):
    if f.is_map:
        return dict
    if f.card == "repeated":
        return list
    if f.card in ("optional", "oneof") or f.kind in BY_NAME:
        return lambda: None
    if f.kind == "enum":
        return (lambda: Color(0)) if linked else (lambda: 0)
    zero = {float: 0.0, int: 0, bool: False, str: "", bytes: b""}[KINDS[f.kind][2]]
    return lambda: zero


@dataclass
class Setup:
    classes: dict  # message name -> our class (linked)
    unlinked: dict  # message name -> class whose descriptor is never linked
    ref: dict  # message name -> reference runtime class


def build() -> Setup:
    fd = file_descriptor()
    pool = descriptor_pool.DescriptorPool()
    pool.Add(fd)
    protos = {m.name: m for m in fd.message_type}
    classes, unlinked, ref = {}, {}, {}
    for m in SCHEMAS:
        data = protos[m.name].SerializeToString()
        classes[m.name] = type(m.name, (Message,), {"_mtype": m, "_defaults": {f.name: _default(f) for f in m.fields},
                                                      "__quillspar__": _core.compile_descriptor(data)})
        defaults = {f.name: _default(f, linked=False) for f in m.fields}
        unlinked[m.name] = type(m.name, (Message,), {"_mtype": m, "_defaults": defaults,
                                                       "__quillspar__": _core.compile_descriptor(data)})
        ref[m.name] = message_factory.GetMessageClass(pool.FindMessageTypeByName(f"fz.{m.name}"))
    names = dict(classes, Color=Color)
    for cls in classes.values():
        desc = cls.__quillspar__
        desc.link({number: names[type_name] for number, type_name in desc.ref_fields()})
    return Setup(classes, unlinked, ref)


# ---------------------------------------------------------------- valid messages


def rand_scalar(rng: random.Random, kind: str):
    py, rng_ = KINDS[kind][2], KINDS[kind][3]
    if py is float:
        while True:
            if kind == "float":
                v = struct.unpack("<f", rng.randbytes(4))[0] if rng.random() < 0.7 else rng.choice([1.5, -2.0, math.inf])
            else:
                v = struct.unpack("<d", rng.randbytes(8))[0] if rng.random() < 0.7 else rng.choice([1e300, -1e-300, -math.inf])
            if not math.isnan(v) and v != 0.0:
                return v
    if py is bool:
        return rng.random() < 0.5
    if py is str:
        return rng.choice(["", "a", "héllo", "€𐍈", "x" * rng.randrange(200)])
    if py is bytes:
        return rng.randbytes(rng.randrange(0, 40))
    lo, hi = rng_
    return rng.choice([lo, hi, 0, 1, -1 if lo < 0 else 2, rng.randint(lo, hi), rng.randint(-300, 300) if lo < 0 else rng.randint(0, 300)])


def rand_color(rng: random.Random) -> int:
    return rng.choice(list(COLOR_VALUES.values()))


def fill_ref(rng: random.Random, setup: Setup, name: str, msg, depth: int = 0) -> None:
    """Sets a random subset of the fields of a reference message."""
    mtype = BY_NAME[name]
    oneof_set = False
    for f in mtype.fields:
        if rng.random() < 0.4:
            continue
        target = getattr(msg, f.name)
        nested_ok = depth < 4
        if f.is_map:
            for _ in range(rng.randrange(4)):
                k = rand_scalar(rng, f.key)
                if f.kind in BY_NAME:
                    if nested_ok:
                        fill_ref(rng, setup, f.kind, target[k], depth + 1)
                elif f.kind == "enum":
                    target[k] = rand_color(rng)
                else:
                    target[k] = rand_scalar(rng, f.kind)
        elif f.card == "repeated":
            for _ in range(rng.randrange(5)):
                if f.kind in BY_NAME:
                    if nested_ok:
                        fill_ref(rng, setup, f.kind, target.add(), depth + 1)
                elif f.kind == "enum":
                    target.append(rand_color(rng))
                else:
                    target.append(rand_scalar(rng, f.kind))
        else:
            if f.card == "oneof":
                if oneof_set:
                    continue
                oneof_set = True
            if f.kind in BY_NAME:
                if nested_ok:
                    getattr(msg, f.name).SetInParent()
                    fill_ref(rng, setup, f.kind, getattr(msg, f.name), depth + 1)
            elif f.kind == "enum":
                setattr(msg, f.name, rand_color(rng))
            else:
                setattr(msg, f.name, rand_scalar(rng, f.kind))


def from_ref(setup: Setup, name: str, msg):
    """The value our decoder must produce for a reference message."""
    mtype = BY_NAME[name]

    def conv(kind, v):
        if kind in BY_NAME:
            return from_ref(setup, kind, v)
        if kind == "enum":
            return Color(v)
        return v

    kw = {}
    for f in mtype.fields:
        v = getattr(msg, f.name)
        if f.is_map:
            kw[f.name] = {k: conv(f.kind, x) for k, x in v.items()}
        elif f.card == "repeated":
            kw[f.name] = [conv(f.kind, x) for x in v]
        elif f.card in ("optional", "oneof") or f.kind in BY_NAME:
            kw[f.name] = conv(f.kind, v) if msg.HasField(f.name) else None
        else:
            kw[f.name] = conv(f.kind, v)
    return setup.classes[name](**kw)


def make_pool(setup: Setup, rng: random.Random, per_schema: int) -> list[tuple[str, bytes]]:
    """Valid encodings, each checked against the reference on the way."""
    pool = []
    for m in SCHEMAS:
        cls, ref_cls = setup.classes[m.name], setup.ref[m.name]
        for _ in range(per_schema):
            ref = ref_cls()
            fill_ref(rng, setup, m.name, ref)
            data = ref.SerializeToString()
            expected = from_ref(setup, m.name, ref)
            got = cls.__quillspar__.decode(cls, data)
            if got != expected:
                raise AssertionError(f"decode of a valid {m.name} differs:\n got {got!r}\nwant {expected!r}")
            ours = cls.__quillspar__.encode(got)
            back = ref_cls()
            back.ParseFromString(ours)
            if back != ref:
                raise AssertionError(f"reference reads our encoding of {m.name} differently:\n{back}\nvs\n{ref}")
            if cls.__quillspar__.decode(cls, ours) != expected:
                raise AssertionError(f"our encoding of {m.name} does not decode back")
            pool.append((m.name, data))
            if ours != data:
                pool.append((m.name, ours))
    return pool


# ---------------------------------------------------------------- inputs


def varint(n: int) -> bytes:
    n &= (1 << 64) - 1
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


INTERESTING = [0x00, 0x01, 0x02, 0x05, 0x07, 0x08, 0x0A, 0x0B, 0x0C, 0x12, 0x7F, 0x80, 0xFF, 0xC0, 0xED, 0xF4, 0xF8]


def random_stream(rng: random.Random, mtype: M, depth: int = 0) -> bytes:
    """Tags of the schema's (and nearby) numbers with values of random wire types."""
    out = bytearray()
    numbers = [f.number for f in mtype.fields]
    for _ in range(rng.randrange(1, 12)):
        number = rng.choice(numbers) if rng.random() < 0.85 else rng.choice([0, 1, 99, 2**29 - 1, 2**32 + 1])
        wt = rng.choice([0, 0, 1, 2, 2, 2, 5]) if rng.random() < 0.97 else rng.choice([3, 4, 6, 7])
        out += varint(number << 3 | wt)
        if wt == 0:
            out += varint(rng.choice([0, 1, 12, 25, 2**31, 2**32 - 1, 2**63, 2**64 - 1, rng.getrandbits(64)]))
        elif wt == 1:
            out += rng.randbytes(8)
        elif wt == 5:
            out += rng.randbytes(4)
        elif wt == 2:
            f = next((f for f in mtype.fields if f.number == number), None)
            if f is not None and depth < 3 and rng.random() < 0.6:
                if f.is_map:
                    body = random_stream(rng, M("entry", [F("key", 1, f.key), F("value", 2, f.kind)]), depth + 1)
                elif f.kind in BY_NAME:
                    body = random_stream(rng, BY_NAME[f.kind], depth + 1)
                else:
                    body = rng.randbytes(rng.randrange(0, 24))
            else:
                body = rng.randbytes(rng.randrange(0, 24))
            out += varint(len(body)) + body
    return bytes(out)


def mutate(rng: random.Random, data: bytes, other: bytes) -> bytes:
    b = bytearray(data)
    for _ in range(rng.choice([1, 1, 1, 2, 3, 4])):
        op = rng.randrange(9)
        n = len(b)
        if op == 0 and n:
            b[rng.randrange(n)] ^= 1 << rng.randrange(8)
        elif op == 1 and n:
            b[rng.randrange(n)] = rng.choice(INTERESTING)
        elif op == 2:
            b[rng.randrange(n + 1):rng.randrange(n + 1)] = rng.randbytes(rng.randrange(1, 6))
        elif op == 3 and n:
            i = rng.randrange(n)
            del b[i:i + rng.randrange(1, 8)]
        elif op == 4 and n:
            del b[rng.randrange(n):]
        elif op == 5 and n:
            i = rng.randrange(n)
            b[i:i] = b[i:i + rng.randrange(1, 16)]
        elif op == 6:
            i = rng.randrange(n + 1)
            b[i:i] = other[rng.randrange(len(other) + 1):]
        elif op == 7 and n:
            i = rng.randrange(n)
            b[i:i + 1] = varint(rng.choice([0x7F, 0x80, 2**32, 2**63, 2**64 - 1]))
        elif op == 8 and n:
            # An over-long varint in place of a one-byte one.
            i = rng.randrange(n)
            if b[i] < 0x80:
                b[i:i + 1] = bytes([b[i] | 0x80] + [0x80] * rng.randrange(0, 9) + [0x00])
    return bytes(b)


def deep(rng: random.Random | None, levels: int, via_map: bool) -> bytes:
    """Node nested `levels` deep, through `child` or through `named` map values.

    The length prefixes are computed from the inside out and joined once, so
    that very deep inputs cost linear time.
    """
    core = b"\x08\x01"
    size = len(core)
    headers = []
    for _ in range(levels):
        if via_map:
            inner = b"\x0a\x01k\x12" + varint(size)
            size += len(inner)
            headers.append(inner)
            outer = b"\x22" + varint(size)
        else:
            outer = b"\x12" + varint(size)
        size += len(outer)
        headers.append(outer)
    return b"".join(reversed(headers)) + core


class Generic:
    """A message class that takes whatever it is given."""

    def __init__(self, **kw):
        self.__dict__.update(kw)


class NoMarker:
    def __init__(self, **kw):
        pass


class BadMarker:
    __quillspar__ = "not a descriptor"


PROTO_TYPES = [t for t in range(1, 19) if t != 10]


def random_schema(rng: random.Random, with_proto: bool = False):
    """A random but compilable message type (duplicate numbers, odd map keys, oneofs
    and self references included), linked to a mix of good and bad objects."""
    msg = descriptor_pb2.DescriptorProto(name="Rnd")
    fields = []
    numbers = [0, 1, 2, 3, 5, 15, 16, 2047, 2048, 2**29 - 1]
    for j in range(rng.randrange(1, 8)):
        number = rng.choice(numbers)
        fp = msg.field.add(name=rng.choice([f"f{j}", f"f{j}", "dup"]), number=number)
        if rng.random() < 0.2:
            entry = msg.nested_type.add(name=f"E{j}")
            entry.options.map_entry = True
            entry.field.add(name="key", number=1, type=rng.choice(PROTO_TYPES))
            vt = rng.choice(PROTO_TYPES)
            v = entry.field.add(name="value", number=2, type=vt)
            if vt in (11, 14) and rng.random() < 0.9:
                v.type_name = ".x.Rnd" if vt == 11 else ".x.Color"
            fp.type, fp.label, fp.type_name = 11, 3, f".x.Rnd.E{j}"
            fields.append(F(fp.name, number, "bytes"))
            continue
        fp.type = rng.choice(PROTO_TYPES)
        fp.label = rng.choice([1, 1, 2, 3])
        if fp.type in (11, 14) and rng.random() < 0.9:
            fp.type_name = ".x.Rnd" if fp.type == 11 else ".x.Color"
        if rng.random() < 0.2:
            fp.oneof_index = rng.randrange(2)
            if rng.random() < 0.3:
                fp.proto3_optional = True
        fields.append(F(fp.name, number, "bytes"))
    for k in range(rng.randrange(3)):
        msg.oneof_decl.add(name=f"o{k}")
    desc = _core.compile_descriptor(msg.SerializeToString())
    cls = type("Rnd", (Generic,), {"__quillspar__": desc})
    choices = [cls, cls, Color, None, 5, NoMarker, BadMarker, Generic]
    desc.link({n: (Color if t == "Color" and rng.random() < 0.7 else rng.choice(choices))
               for n, t in desc.ref_fields() if rng.random() < 0.9})
    if with_proto:
        return cls, M("Rnd", fields), msg
    return cls, M("Rnd", fields)


class Inputs:
    def __init__(self, setup: Setup, seed: int, pool_size: int = 40):
        self.setup = setup
        self.seed = seed
        self.pool = make_pool(setup, random.Random(seed), pool_size)

    def get(self, index: int) -> tuple[type, bytes]:
        """Input `index`: the class to decode into and the bytes."""
        rng = random.Random(self.seed * 1_000_003 + index)
        if rng.random() < 0.1:
            cls, mtype = random_schema(rng)
            return cls, random_stream(rng, mtype)
        name, data = self.pool[rng.randrange(len(self.pool))]
        linked = rng.random() < 0.9
        cls = (self.setup.classes if linked else self.setup.unlinked)[name]
        r = rng.random()
        if r < 0.08:
            return cls, rng.randbytes(rng.randrange(0, 48))
        if r < 0.25:
            return cls, random_stream(rng, BY_NAME[name])
        if r < 0.255:
            node = (self.setup.classes if linked else self.setup.unlinked)["Node"]
            return node, deep(rng, rng.choice([5, 999, 1000, 1001, 1500, 3000]), rng.random() < 0.5)
        other = self.pool[rng.randrange(len(self.pool))][1]
        return cls, mutate(rng, data, other)


# ---------------------------------------------------------------- checks


# What decoding raises when a field is linked to something that is not a
# message class (random schemas only): the decoder's own TypeErrors and what
# the linked object raises when it is looked at or called.
BAD_LINK_ERRORS = re.compile(
    r"linked class is not a quillspar message"
    r"|'int' object cannot be converted to 'PyType'"
    r"|'(NoneType|int)' object is not callable"
    r"|(BadMarker|NoMarker|Generic|Rnd)(\.__init__)?\(\) takes (no arguments|1 positional argument but 2 were given)"
)


def allowed(exc: BaseException, random_schema: bool = False) -> bool:
    """The exceptions that decoding hostile input may raise."""
    t = type(exc)
    if random_schema:
        if t is TypeError and BAD_LINK_ERRORS.fullmatch(str(exc)):
            return True
        if t is AttributeError and str(exc).endswith("has no attribute '__quillspar__'"):
            return True
        if t is UnexpectedKeyword:  # Color called with a non-int: never happens
            return False
    if t is Refused:
        return True
    if t is ValueError:
        return str(exc).startswith("malformed protobuf data: ")
    if t is UnicodeDecodeError:
        return exc.reason == "invalid utf-8 in string field"
    if t is RecursionError:
        return True
    if t is RuntimeError:
        return str(exc) == "message field was not linked to a class"
    return False


def check_value(kind: str, v, linked: bool, todo: list) -> None:
    if kind in BY_NAME:
        todo.append(v)
    elif kind == "enum":
        if linked:
            assert type(v) is Color and -(2**31) <= v.n < 2**31, v
        else:
            assert type(v) is int and -(2**31) <= v < 2**31, v
    else:
        py, limits = KINDS[kind][2], KINDS[kind][3]
        assert type(v) is py, (kind, v)
        if limits:
            assert limits[0] <= v <= limits[1], (kind, v)


def check_instance(top, linked: bool = True) -> None:
    """Every field of `top` and of the messages in it holds a value of its kind.

    Iterative: decoded messages may be nested deeper than Python's recursion limit.
    """
    todo = [top]
    while todo:
        obj = todo.pop()
        assert isinstance(obj, Message), obj
        for f in obj._mtype.fields:
            v = getattr(obj, f.name)
            if f.is_map:
                assert type(v) is dict, (f.name, v)
                for k, x in v.items():
                    check_value(f.key, k, linked, todo)
                    check_value(f.kind, x, linked, todo)
            elif f.card == "repeated":
                assert type(v) is list, (f.name, v)
                for x in v:
                    check_value(f.kind, x, linked, todo)
            elif v is not None:
                check_value(f.kind, v, linked, todo)


def nesting(obj) -> int:
    """Levels of messages in a decoded instance."""
    deepest, todo = 0, [(obj, 1)]
    while todo:
        o, d = todo.pop()
        deepest = max(deepest, d)
        for v in vars(o).values():
            for x in (v.values() if isinstance(v, dict) else v if isinstance(v, list) else [v]):
                if isinstance(x, Message):
                    todo.append((x, d + 1))
    return deepest


def map_entry_kept_unknown(name: str, ref) -> bool:
    """Whether the reference runtime kept a map entry as an unknown field (it does
    so with an entry that holds an unknown field, where we decode the entry)."""
    maps = {f.number for f in BY_NAME[name].fields if f.is_map}
    if any(u.field_number in maps for u in UnknownFieldSet(ref)):
        return True
    for f in BY_NAME[name].fields:
        if f.kind not in BY_NAME:
            continue
        v = getattr(ref, f.name)
        if f.is_map:
            subs = list(v.values())
        elif f.card == "repeated":
            subs = list(v)
        else:
            subs = [v] if ref.HasField(f.name) else []
        if any(map_entry_kept_unknown(f.kind, m) for m in subs):
            return True
    return False


def canonical(v):
    """A comparable form: floats by repr (NaN equals NaN, -0.0 is not 0.0), maps
    whatever their order, messages field by field."""
    if isinstance(v, Message):
        return (type(v).__name__, [(k, canonical(x)) for k, x in vars(v).items()])
    if isinstance(v, dict):
        return sorted((repr(k), canonical(x)) for k, x in v.items())
    if isinstance(v, list):
        return [canonical(x) for x in v]
    return repr(v)


def _varint(data: bytes, i: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        b = data[i]
        i += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if b < 0x80:
            return value, i


def overlong_length(name: str | None, data: bytes) -> bool:
    """Whether a length prefix in `data` (a message of type `name`, or a map
    entry when None), at any depth, takes more than five bytes: the
    reference runtime refuses those, we read them (as over-long varints)."""
    fields = {f.number: f for f in BY_NAME[name].fields} if name else {}
    i = 0
    while i < len(data):
        tag, i = _varint(data, i)
        wt = tag & 7
        if wt == 0:
            i = _varint(data, i)[1]
        elif wt in (1, 5):
            i += 8 if wt == 1 else 4
        else:
            start = i
            size, i = _varint(data, i)
            if i - start > 5:
                return True
            body, i = data[i:i + size], i + size
            f = fields.get(tag >> 3) if name else None
            if name is None and tag >> 3 == 2:  # a map entry's value: look it up in the caller
                continue
            if f is not None and (f.is_map or f.kind in BY_NAME):
                inner = None if f.is_map else f.kind
                if overlong_length(inner, body):
                    return True
                if f.is_map and f.kind in BY_NAME:
                    j = 0
                    while j < len(body):
                        t, j = _varint(body, j)
                        if t & 7 == 2:
                            s0 = j
                            n, j = _varint(body, j)
                            if t >> 3 == 2 and overlong_length(f.kind, body[j:j + n]):
                                return True
                            j += n
                        elif t & 7 == 0:
                            j = _varint(body, j)[1]
                        else:
                            j += 8 if t & 7 == 1 else 4
    return False


def against_reference(inputs: Inputs, cls, data: bytes, obj, exc) -> str | None:
    """Our outcome against the reference runtime's parse of the same bytes:
    where the reference accepts the data we give its values (or the enum
    class refuses one); where it refuses them, so do we."""
    name = cls.__name__
    if name == "Rnd" or cls is not inputs.setup.classes.get(name):
        return None
    try:
        ref = inputs.setup.ref[name].FromString(data)
    except DecodeError:
        if exc is None and nesting(obj) < 90 and not overlong_length(name, data):  # it stops at 100 levels
            return "the reference runtime refuses these bytes"
        return None
    if exc is not None:
        if type(exc) in (Refused, RecursionError):
            return None
        if str(exc) in ("malformed protobuf data: InvalidWireType(3)", "malformed protobuf data: InvalidWireType(4)"):
            return None  # groups, which the reference runtime skips as unknown fields, are refused here
        return f"the reference runtime accepts these bytes; we raise {type(exc).__name__}: {exc}"
    if map_entry_kept_unknown(name, ref):
        return None
    try:
        expected = from_ref(inputs.setup, name, ref)
    except Refused:
        return "the enum class refuses a value, yet the decode succeeded"
    if canonical(obj) != canonical(expected):
        return f"the reference runtime reads other values:\n got {obj!r}\nwant {expected!r}"
    return None


def run_one(inputs: Inputs, index: int, outcomes: dict | None = None) -> str | None:
    """Decodes input `index`; returns a description of a failure, or None."""
    cls, data = inputs.get(index)
    try:
        obj = cls.__quillspar__.decode(cls, data)
    except BaseException as exc:  # PanicException derives from BaseException
        if isinstance(exc, KeyboardInterrupt):
            raise
        if outcomes is not None:
            outcomes[type(exc).__name__] = outcomes.get(type(exc).__name__, 0) + 1
        if allowed(exc, random_schema=cls.__name__ == "Rnd"):
            return against_reference(inputs, cls, data, None, exc)
        return f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}"
    if outcomes is not None:
        outcomes["decoded"] = outcomes.get("decoded", 0) + 1
    if type(obj) is not cls:
        return f"decode returned {type(obj)!r}, not {cls!r}"
    if cls.__name__ == "Rnd":
        return None
    try:
        check_instance(obj, linked=cls in inputs.setup.classes.values())
    except AssertionError as exc:
        return f"bad value: {exc}"
    return against_reference(inputs, cls, data, obj, None)


def run(seed: int, count: int, progress: bool = False, stop_after: int = 10,
        outcomes: dict | None = None) -> list[str]:
    inputs = Inputs(build(), seed)

    def one(index: int) -> str | None:
        problem = run_one(inputs, index, outcomes)
        if not problem:
            return None
        cls, data = inputs.get(index)
        return f"{cls.__name__} {data.hex()}\n    {problem}"

    return collect_failures(one, seed, count, progress, stop_after)


def collect_failures(one, seed: int, count: int, progress: bool, stop_after: int) -> list[str]:
    """Runs `one(index)` for every input index; each problem it reports
    becomes a failure line that names the seed and the index to replay."""
    failures: list[str] = []
    start = time.monotonic()
    for index in range(count):
        problem = one(index)
        if problem:
            failures.append(f"{seed}:{index} {problem}")
            if len(failures) >= stop_after:
                break
        if progress and index and index % 100_000 == 0:
            print(f"{index} inputs, {time.monotonic() - start:.0f}s, {len(failures)} failures", file=sys.stderr)
    return failures


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=100_000)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--replay", metavar="SEED:INDEX")
    args = ap.parse_args()
    if args.replay:
        seed, index = map(int, args.replay.split(":"))
        inputs = Inputs(build(), seed)
        cls, data = inputs.get(index)
        print(cls.__name__, data.hex())
        print(run_one(inputs, index) or "ok")
        return 0
    return run_and_report(run, args.seed, args.count)


def run_and_report(run, seed: int | None, count: int) -> int:
    """Runs `count` inputs from `seed` (a random one if None) and prints the
    failures and a summary; the exit status of a fuzz script."""
    seed = seed if seed is not None else random.randrange(2**31)
    start = time.monotonic()
    outcomes: dict = {}
    failures = run(seed, count, progress=True, outcomes=outcomes)
    for f in failures:
        print(f)
    print("outcomes:", ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items(), key=lambda kv: -kv[1])))
    print(f"seed {seed}: {count} inputs in {time.monotonic() - start:.0f}s, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
