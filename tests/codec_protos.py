"""Schemas, message classes, value strategies and raw wire pieces for the tests.
A `Schema` puts `Msg` builders into one proto3 file, loads it into a fresh pool
of the reference runtime and compiles our descriptors from the very same
`DescriptorProto` bytes; its classes are plain keyword classes. `Types` is the
part that the package's own message classes can use too."""

import enum
import itertools
import math
import struct

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
from hypothesis import strategies as st

from quillspar import _core

FDP = descriptor_pb2.FieldDescriptorProto
SCALARS = ["double", "float", "int32", "int64", "uint32", "uint64", "sint32", "sint64",
           "fixed32", "fixed64", "sfixed32", "sfixed64", "bool", "string", "bytes"]
PROTO_TYPE = {k: getattr(FDP, "TYPE_" + k.upper()) for k in SCALARS + ["enum", "message"]}
KIND = {t: k for k, t in PROTO_TYPE.items()}
_R32, _R64 = (-(2**31), 2**31 - 1), (-(2**63), 2**63 - 1)
RANGES = {"int32": _R32, "sint32": _R32, "sfixed32": _R32, "int64": _R64, "sint64": _R64, "sfixed64": _R64,
          "uint32": (0, 2**32 - 1), "fixed32": (0, 2**32 - 1), "uint64": (0, 2**64 - 1), "fixed64": (0, 2**64 - 1)}


class Index:
    """An integer by __index__, which calls `hook` first."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class Boom(Exception):
    pass


def raising(*args, **kw):
    raise Boom(args)


class Marked:
    """Marked as a message class, but without a descriptor."""
    __quillspar__ = "not a descriptor"


def panic_type(exc):
    """The type of `exc`, which must be the core's PanicException."""
    assert type(exc).__name__ == "PanicException" and type(exc).__bases__ == (BaseException,), repr(exc)
    return type(exc)


# ---------------------------------------------------------------- raw wire

VARINT, I64, LEN, I32 = 0, 1, 2, 5


def varint(n):
    n &= (1 << 64) - 1
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out + bytes([n]))


def tag(number, wire_type):
    return varint(number << 3 | wire_type)


def vint(number, value):
    return tag(number, VARINT) + varint(value)


def ld(number, payload):
    return tag(number, LEN) + varint(len(payload)) + payload


def fixed32(number, value, fmt="<I"):
    return tag(number, I32) + struct.pack(fmt, value)


def fixed64(number, value, fmt="<Q"):
    return tag(number, I64) + struct.pack(fmt, value)


def nested_chain(levels, inner=b""):
    """`levels` messages nested through field 1, the innermost holding `inner`."""
    prefixes, size = [], len(inner)
    for _ in range(levels - 1):
        prefixes.append(b"\x0a" + varint(size))
        size += len(prefixes[-1])
    return b"".join(reversed(prefixes)) + inner


# ---------------------------------------------------------------- schemas


class Msg:
    """Builder of one DescriptorProto; fields keep the order of the calls."""

    def __init__(self, name):
        self.name, self.proto, self._optional = name, descriptor_pb2.DescriptorProto(name=name), []

    def add(self, name, number, kind, label="", type_name=None, oneof=None, packed=None):
        f = self.proto.field.add(name=name, number=number, type=PROTO_TYPE[kind],
                                 label=FDP.LABEL_REPEATED if label == "repeated" else FDP.LABEL_OPTIONAL)
        if type_name:
            f.type_name = type_name
        if oneof is not None:
            f.oneof_index = oneof
        if packed is not None:
            f.options.packed = packed
        if label == "optional":
            self._optional.append(f)
        return self

    def oneof(self, name):
        self.proto.oneof_decl.add(name=name)
        return len(self.proto.oneof_decl) - 1

    def map(self, name, number, key, value, type_name=None):
        entry = self.proto.nested_type.add(name=name[0].upper() + name[1:] + "Entry")
        entry.options.map_entry = True
        entry.field.add(name="key", number=1, type=PROTO_TYPE[key], label=FDP.LABEL_OPTIONAL)
        v = entry.field.add(name="value", number=2, type=PROTO_TYPE[value], label=FDP.LABEL_OPTIONAL)
        if type_name:
            v.type_name = type_name
        return self.add(name, number, "message", "repeated", type_name=f".t.{self.name}.{entry.name}")

    def finish(self):
        for f in self._optional:  # proto3 optional: synthetic oneofs after the real ones
            f.proto3_optional, f.oneof_index = True, self.oneof("_" + f.name)
        self._optional = []
        return self.proto

    def serialize(self):
        return self.finish().SerializeToString()


def short(type_name):
    return type_name.rsplit(".", 1)[-1]


class Types:
    """Message types seen from both sides: `DescriptorProto`s in `protos`, our
    classes in `cls`, IntEnum classes in `enum` and reference classes in `ref`,
    each by short name. With `open_enums`, enum fields may hold any int."""

    def __init__(self, protos, cls, enums, ref, open_enums=False):
        self.protos, self.cls, self.enum, self.ref, self.open_enums = protos, cls, enums, ref, open_enums

    def from_ref(self, m):
        """Our instance holding what the reference message `m` holds."""
        kw = {}
        for fd in m.DESCRIPTOR.fields:
            v, mt = getattr(m, fd.name), fd.message_type
            conv = self.from_ref if mt else (lambda x: x)
            if mt and mt.GetOptions().map_entry:
                conv = self.from_ref if mt.fields_by_name["value"].message_type else (lambda x: x)
                kw[fd.name] = {k: conv(v[k]) for k in v}
            elif fd.is_repeated:
                kw[fd.name] = [conv(x) for x in v]
            elif fd.has_presence:
                kw[fd.name] = conv(v) if m.HasField(fd.name) else None
            else:
                kw[fd.name] = v
        return self.cls[m.DESCRIPTOR.name](**kw)

    def to_ref(self, x):
        """The reference message holding what our instance `x` holds."""
        m = self.ref[type(x).__quillspar__.name]()
        for fd in m.DESCRIPTOR.fields:
            v, mt = getattr(x, fd.name), fd.message_type
            if mt and mt.GetOptions().map_entry:
                for k, val in v.items():
                    if mt.fields_by_name["value"].message_type:
                        getattr(m, fd.name)[k].CopyFrom(self.to_ref(val))
                    else:
                        getattr(m, fd.name)[k] = val
            elif fd.is_repeated:
                getattr(m, fd.name).extend(self.to_ref(i) for i in v) if mt else getattr(m, fd.name).extend(v)
            elif v is not None:
                getattr(m, fd.name).CopyFrom(self.to_ref(v)) if mt else setattr(m, fd.name, v)
        return m


_files = itertools.count()


class Schema(Types):
    """One proto3 file (package "t") of `Msg` builders and enums given as
    {name: {member: number}}; our descriptors are in `desc`, linked unless
    `link` is false."""

    def __init__(self, messages, enums=None, reference=True, link=True):
        enums = enums or {}
        protos = {m.name: m.finish() for m in messages}
        self.desc = {n: _core.compile_descriptor(p.SerializeToString()) for n, p in protos.items()}
        super().__init__(protos, {n: make_class(p, self.desc[n]) for n, p in protos.items()},
                         {name: enum.IntEnum(name, values) for name, values in enums.items()}, {})
        for d in self.desc.values() if link else ():
            d.link({num: c for num, name in d.ref_fields() if (c := self.cls.get(name) or self.enum.get(name))})
        if reference:
            fdp = descriptor_pb2.FileDescriptorProto(name=f"c{next(_files)}.proto", package="t", syntax="proto3")
            for name, values in enums.items():
                fdp.enum_type.add(name=name).value.extend(
                    descriptor_pb2.EnumValueDescriptorProto(name=k, number=v) for k, v in values.items())
            fdp.message_type.extend(protos.values())
            pool = descriptor_pool.DescriptorPool()
            pool.Add(fdp)
            self.ref = {n: message_factory.GetMessageClass(pool.FindMessageTypeByName("t." + n)) for n in protos}


def canon(v):
    """Comparable form telling bool, int and float apart, keeping the sign of
    zero; every NaN compares equal. Messages compare by class name and fields."""
    if isinstance(v, float):
        return ("float", "nan") if math.isnan(v) else ("float", v, math.copysign(1.0, v))
    for t in (bool, int, str, bytes):
        if isinstance(v, t):
            return (t, int(v) if t is int else v)
    if isinstance(v, (list, tuple)):
        return [canon(x) for x in v]
    if isinstance(v, dict):
        return sorted((repr(canon(k)), canon(x)) for k, x in v.items())
    if hasattr(type(v), "__quillspar__"):
        names = getattr(v, "_fields", None) or type(v).__slots__
        return (type(v).__name__, [canon(getattr(v, f)) for f in names])
    return (type(v), v)


def make_class(proto, descriptor):
    """A message class: keyword constructor with the proto3 defaults, fields as
    attributes, equality by `canon`. It keeps no reference to `proto`, since the
    class and its linked descriptor form a cycle that lives until shutdown."""
    name, entries = proto.name, {n.name for n in proto.nested_type if n.options.map_entry}

    def default(f):
        if f.label == FDP.LABEL_REPEATED:
            return dict if short(f.type_name) in entries else list
        if f.type == FDP.TYPE_MESSAGE or f.proto3_optional or f.HasField("oneof_index"):
            return None
        return {"double": 0.0, "float": 0.0, "bool": False, "string": "", "bytes": b""}.get(KIND[f.type], 0)

    defaults = {f.name: default(f) for f in proto.field}

    def __init__(self, **kw):
        if unknown := kw.keys() - defaults.keys():
            raise TypeError(f"{name}() got unexpected keyword arguments {sorted(unknown)}")
        for k, d in defaults.items():
            setattr(self, k, kw[k] if k in kw else (d() if d in (list, dict) else d))

    return type(name, (), {
        "__init__": __init__, "__hash__": None, "_fields": tuple(defaults), "__quillspar__": descriptor,
        "__eq__": lambda self, other: type(self) is type(other) and canon(self) == canon(other),
        "__repr__": lambda self: f"{name}({', '.join(f'{k}={getattr(self, k)!r}' for k in defaults)})",
    })


def single(kind, label="", number=1, type_name=None):
    """Our schema M with one field `v` (not given to the reference runtime)."""
    return Schema([Msg("M").add("v", number, kind, label, type_name=type_name)], reference=False)


# ---------------------------------------------------------------- the all-kinds schema

COLOR = {"ZERO": 0, "RED": 1, "GREEN": 2, "NEG": -5}
MAPS = list(zip([k for k in SCALARS if k not in ("double", "float", "bytes")],
                ["string", "bytes", "double", "float", "bool", "enum", "message", "int32", "sint64", "uint64",
                 "fixed32", "message"])) + [("string", "enum"), ("string", "sfixed64"), ("int32", "int64")]


def all_kinds_schema():
    """Leaf (nestable), All (every kind as singular, repeated and optional
    field, enums, messages, maps of every key kind, a oneof), Unpacked
    (repeated fields the reference runtime writes unpacked, declared against
    number order) and Wide (large field numbers)."""
    color, leaf_t = ".t.Color", ".t.Leaf"
    leaf = (Msg("Leaf").add("a", 1, "int32").add("s", 2, "string").add("r", 3, "sint64", "repeated")
            .add("child", 4, "message", type_name=leaf_t).add("c", 5, "enum", type_name=color))
    m = Msg("All")
    choice = m.oneof("choice")
    for base, label in ((1, ""), (16, "repeated"), (31, "optional")):
        for i, k in enumerate(SCALARS):
            m.add({"": "f_", "repeated": "r_", "optional": "o_"}[label] + k, base + i, k, label)
    m.add("e", 46, "enum", type_name=color).add("re", 47, "enum", "repeated", color)
    m.add("oe", 48, "enum", "optional", color).add("m", 49, "message", type_name=leaf_t)
    m.add("rm", 50, "message", "repeated", leaf_t)
    for i, (k, v) in enumerate(MAPS):
        m.map(f"map{k}{v}", 51 + i, k, v, {"enum": color, "message": leaf_t}.get(v))
    m.add("c_int", 70, "int32", oneof=choice).add("c_str", 71, "string", oneof=choice)
    m.add("c_leaf", 72, "message", oneof=choice, type_name=leaf_t)
    u = Msg("Unpacked")
    for i, k in enumerate(["bool", "double", "sint32", "fixed64", "float", "int64", "uint32"]):
        u.add("u_" + k, 20 - i, k, "repeated", packed=False)
    u.add("u_enum", 9, "enum", "repeated", color, packed=False)
    u.add("s", 3, "string").map("mp", 2, "string", "int32").add("i", 1, "int32")
    w = Msg("Wide").add("a", 1, "int32").add("b", 2047, "string").add("c", 2048, "sint32", "repeated")
    w.map("d", 5000, "string", "int32").add("e", 536870911, "message", type_name=leaf_t)
    return Schema([leaf, m, u, w], {"Color": COLOR})


def small_schema(**kw):
    """Small: one field of most shapes, numbered for hand-written bytes;
    Sub: x int32 = 1, y string = 2."""
    m = Msg("Small")
    for name, number, kind, *rest in [
        ("a", 1, "int32"), ("s", 2, "string"), ("b", 3, "bytes"), ("rf", 4, "fixed32", "repeated"),
        ("d", 5, "double"), ("m", 6, "message", "", ".t.Sub"), ("ri", 7, "int32", "repeated"),
        ("e", 8, "enum", "", ".t.Color"), ("fl", 10, "float"), ("rs", 11, "string", "repeated"),
        ("re", 12, "enum", "repeated", ".t.Color"), ("u", 15, "uint32"), ("sb", 16, "sint32"),
        ("bo", 17, "bool"), ("s64", 18, "sint64"),
    ]:
        m.add(name, number, kind, *rest)
    m.map("mp", 9, "string", "int32").map("mm", 13, "string", "message", ".t.Sub")
    m.map("me", 14, "int32", "enum", ".t.Color").map("ms", 19, "int32", "string")
    sub = Msg("Sub").add("x", 1, "int32").add("y", 2, "string")
    return Schema([sub, m], {"Color": {"ZERO": 0, "ONE": 1, "TWO": 2, "NEG": -5}}, **kw)


# ---------------------------------------------------------------- value strategies


def values(kind, S=None, type_name="", depth=1, map_size=3):
    """One value of `kind`; "float" values are binary32 so that they survive
    the trip. Messages nest `depth` levels more, then are empty."""
    if kind in RANGES:
        return st.integers(*RANGES[kind])
    if kind == "enum":
        members = st.sampled_from(list(S.enum[short(type_name)]))
        return members | st.integers(*_R32) if S.open_enums else members
    if kind == "message":
        return messages(S, short(type_name), depth - 1, map_size) if depth > 0 else st.builds(S.cls[short(type_name)])
    return {"double": st.floats, "float": lambda: st.floats(width=32), "bool": st.booleans,
            "string": lambda: st.text(max_size=8), "bytes": lambda: st.binary(max_size=8)}[kind]()


@st.composite
def messages(draw, S, name, depth=2, map_size=3):
    """Instances of `name` with every field drawn, at most one member of each oneof set."""
    proto = S.protos[name]
    entries = {n.name: n.field for n in proto.nested_type if n.options.map_entry}
    oneofs = {}
    for f in proto.field:
        if f.HasField("oneof_index") and not f.proto3_optional:
            oneofs.setdefault(f.oneof_index, [None]).append(f.name)
    chosen = {draw(st.sampled_from(members)) for members in oneofs.values()}
    kw = {}
    for f in proto.field:
        if entry := entries.get(short(f.type_name)):
            key, val = entry
            kw[f.name] = draw(st.dictionaries(
                values(KIND[key.type]), values(KIND[val.type], S, val.type_name, depth, map_size), max_size=map_size))
            continue
        value = values(KIND[f.type], S, f.type_name, depth, map_size)
        if f.HasField("oneof_index") and not f.proto3_optional:
            kw[f.name] = draw(value) if f.name in chosen else None
        elif f.label == FDP.LABEL_REPEATED:
            kw[f.name] = draw(st.lists(value, max_size=4))
        elif f.proto3_optional or f.type == FDP.TYPE_MESSAGE:
            kw[f.name] = draw(st.none() | value)
        else:
            kw[f.name] = draw(value)
    return S.cls[name](**kw)
