"""Message classes against the reference runtime, which loads the
descriptors the package exports (equal to protoc's): values travel both ways
and the bytes match its deterministic output."""

import enum
import shutil
import subprocess
import sys
import types

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
from hypothesis import HealthCheck, given, settings, strategies as st

import quillspar
from codec_protos import I32, I64, SCALARS, Types, canon, ld, messages, tag, vint
from quillspar import (
    double, field, fixed32, fixed64, float32, int32, int64, message, sfixed32, sfixed64, sint32, sint64, uint32, uint64,
)
from quillspar import file_descriptors, full_name
from quillspar._names import _info_of

MARKERS = dict(zip(SCALARS, [double, float32, int32, int64, uint32, uint64, sint32, sint64, fixed32, fixed64,
                             sfixed32, sfixed64, bool, str, bytes]))


class Palette(enum.IntEnum):
    NONE = 0
    RED = 1
    GREEN = 2
    DEEP = -3


@message
class Leaf:
    name: str
    weight: sint32


def declare(name, annotations, **fields):
    return message(type(name, (), {"__annotations__": annotations, "__module__": __name__, **fields}))


Scalars = declare("Scalars", {"f_" + k: t for k, t in MARKERS.items()} | {"plain_int": int, "plain_float": float})
Lists = declare("Lists", {"r_" + k: list[t] for k, t in MARKERS.items()} | {"r_enum": list[Palette],
                                                                             "r_leaf": list[Leaf]})
Maps = declare("Maps", {f"{k}_{v}": dict[MARKERS[k], MARKERS[v]] for k, v in [
    ("string", "int32"), ("int32", "string"), ("int64", "double"), ("uint32", "bytes"), ("uint64", "float"),
    ("sint32", "bool"), ("sint64", "sint64"), ("fixed32", "fixed64"), ("fixed64", "uint32"),
    ("sfixed32", "sfixed32"), ("sfixed64", "int64"), ("bool", "string")]} | {"string_palette": dict[str, Palette],
                                                                              "int32_leaf": dict[int32, Leaf]})


@message
class Node:
    label: str
    children: list[Node]
    parent: Node | None
    by_name: dict[str, Node]


@message
class Enums:
    color: Palette
    colors: list[Palette]
    maybe: Palette | None
    by_key: dict[int32, Palette]


Optionals = declare(
    "Optionals", {"o_" + k: MARKERS[k] | None for k in ("double", "float", "int32", "uint64", "sint64", "fixed32", "bool",
                                                        "string", "bytes")}
    | {"o_leaf": Leaf | None, "c_int": int32 | None, "c_string": str | None, "c_leaf": Leaf | None,
       "c_palette": Palette | None, "before_gap": int32, "after_gap": int32, "last": int32},
    c_int=field(20, oneof="choice"), c_string=field(oneof="choice"), c_leaf=field(oneof="choice"),
    c_palette=field(oneof="choice"), before_gap=field(18999), after_gap=field(20000), last=field(536870911))


SCHEMAS = [Scalars, Lists, Maps, Node, Enums, Optionals]
quillspar.resolve()
_pool = descriptor_pool.DescriptorPool()
for _raw in file_descriptors(*SCHEMAS):
    _pool.Add(descriptor_pb2.FileDescriptorProto.FromString(_raw))
T = Types({_info_of(c).name: descriptor_pb2.DescriptorProto.FromString(_info_of(c).proto) for c in SCHEMAS + [Leaf]},
          {_info_of(c).name: c for c in SCHEMAS + [Leaf]}, {_info_of(Palette).name: Palette},
          {_info_of(c).name: message_factory.GetMessageClass(_pool.FindMessageTypeByName(_info_of(c).full_name[1:]))
           for c in SCHEMAS + [Leaf]}, open_enums=True)


def ref(cls):
    return T.ref[_info_of(cls).name]


@pytest.mark.parametrize("cls", SCHEMAS, ids=lambda c: c.__name__)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_both_directions_and_the_same_bytes(cls, data):
    # Enum fields also hold numbers no member has: they survive both ways.
    map_size = data.draw(st.sampled_from([1, 4]))
    value = data.draw(messages(T, _info_of(cls).name, map_size=map_size))
    ours = value.to_bytes()
    assert canon(cls.from_bytes(ours)) == canon(value)
    assert canon(T.from_ref(ref(cls).FromString(ours))) == canon(value)
    theirs = T.to_ref(value)
    back = cls.from_bytes(theirs.SerializeToString())
    assert type(back) is cls and canon(back) == canon(value)
    if map_size == 1:  # the order of map entries is free
        assert ours == theirs.SerializeToString(deterministic=True)


def test_last_oneof_member_in_the_data_wins():
    # Concatenated encodings merge; of two members of one oneof the later one stays.
    first, second = Optionals(c_string="x", o_int32=1), Optionals(c_leaf=Leaf(), after_gap=5)
    data = first.to_bytes() + second.to_bytes() + Optionals(c_int=7).to_bytes()
    theirs, ours = ref(Optionals).FromString(data), Optionals.from_bytes(data)
    assert ours == Optionals(c_int=7, o_int32=1, after_gap=5)
    assert theirs.WhichOneof("choice") == "c_int" and ours.to_bytes() == theirs.SerializeToString()


# ---------------------------------------------------------------- exported files against protoc's

COMMON_PROTO = """
syntax = "proto3";
package acme.common;
message Money { string currency = 1; sint64 units = 2; }
"""

SHOP_PROTO = """
syntax = "proto3";
package acme.shop.v1;
import "acme/common.proto";
message Order {
  message Line {
    message Note { string text = 1; }
    string sku = 1;
    map<string, Note> notes = 2;
  }
  enum State { option allow_alias = true; OPEN = 0; PAID = 1; SETTLED = 1; }
  repeated Line lines = 3;
  State state = 1;
  oneof payment { string coupon = 5; acme.common.Money cash = 7; }
  string from = 2 [json_name = "sender", deprecated = true];
  repeated uint32 counts = 6 [packed = false];
  optional int32 _hidden = 4;
  map<int32, acme.common.Money> by_id = 8;
  repeated sint32 deltas = 9 [packed = true];
  map<sfixed64, double> rates = 10;
  Order next = 11;
}
enum Level { LEVEL_UNSPECIFIED = 0; LEVEL_HIGH = 2; }
message Item { Level level = 1; optional string class = 2; bytes data_2_x = 3; }
"""

COMMON_PY = """
__proto_package__ = "acme.common"

@message
class Money:
    currency: str
    units: sint64
"""

SHOP_PY = """
import enum
from quillspar import double, field, int32, message, sfixed64, sint32, uint32

__proto_package__ = "acme.shop.v1"

@message
class Order:
    @message
    class Line:
        @message
        class Note:
            text: str
        sku: str
        notes: dict[str, Note]
    class State(enum.IntEnum):
        OPEN = 0
        PAID = 1
        SETTLED = 1
    lines: list[Line] = field(3)
    state: State = field(1)
    coupon: str | None = field(5, oneof="payment")
    from_: str = field(2, name="from", json_name="sender", deprecated=True)
    counts: list[uint32] = field(6, packed=False)
    _hidden: int32 | None = field(4)
    by_id: dict[int32, Money] = field(8)
    deltas: list[sint32]
    cash: Money | None = field(7, oneof="payment")  # apart from its oneof
    rates: dict[sfixed64, double] = field(10)
    next: Order | None = field(11)

class Level(enum.IntEnum):
    LEVEL_UNSPECIFIED = 0
    LEVEL_HIGH = 2

@message
class Item:
    level: Level
    class_: str | None = field(name="class")
    data_2_x: bytes
"""


def load_module(name, source, **names):
    module = types.ModuleType(name)
    module.__dict__.update(names, message=message, field=field, sint64=sint64)
    sys.modules[name] = module
    exec(source, module.__dict__)
    return module


@pytest.mark.skipif(shutil.which("protoc") is None, reason="protoc is not installed")
def test_exported_files_equal_protocs(tmp_path):
    common = load_module("acme_common_pb", COMMON_PY)
    shop = load_module("acme_shop_pb", SHOP_PY, Money=common.Money)
    (tmp_path / "acme/shop").mkdir(parents=True)
    (tmp_path / "acme/common.proto").write_text(COMMON_PROTO)
    (tmp_path / "acme/shop/v1.proto").write_text(SHOP_PROTO)
    out = tmp_path / "set.pb"
    subprocess.run(["protoc", f"--proto_path={tmp_path}", f"--descriptor_set_out={out}", "--include_imports",
                    "acme/shop/v1.proto"], check=True)
    theirs = descriptor_pb2.FileDescriptorSet.FromString(out.read_bytes()).file
    ours = [descriptor_pb2.FileDescriptorProto.FromString(raw) for raw in file_descriptors(shop.Item, shop.Order)]
    # `[packed = true]` says what proto3 does anyway; the class cannot tell it apart.
    next(f for f in theirs[1].message_type[0].field if f.name == "deltas").ClearField("options")
    assert ours == list(theirs)
    assert [quillspar.full_name(c) for c in (shop.Order.Line.Note, shop.Order.State, shop.Level)] == [
        "acme.shop.v1.Order.Line.Note", "acme.shop.v1.Order.State", "acme.shop.v1.Level"]


# ---------------------------------------------------------------- unknown fields, field order

def record_classes(keep):
    # Declared out of number order, a oneof's members apart.
    inner = message(type("Inner", (), {"__annotations__": {"note": str, "id": int32}, "note": field(3), "id": field(1)}),
                    unknown_fields=keep)
    return message(type("Record", (), {"__module__": __name__, "__annotations__": {
        "flags": fixed32, "name": str, "a": int32 | None, "inner": inner | None, "values": list[sint64],
        "counts": list[uint32], "b": str | None, "tags": dict[str, inner], "kinds": list[Palette]},
        "flags": field(16), "name": field(1), "a": field(4, oneof="choice"), "inner": field(2), "values": field(6),
        "counts": field(7, packed=False), "b": field(5, oneof="choice"), "tags": field(9),
        "kinds": field(15, packed=False)}), unknown_fields=keep)


Record, Dropping = record_classes(True), record_classes(False)


WideInner = declare("WideInner", {"id": int32, "big": int64, "note": str, "blob": bytes, "ratio": double})
# Record and more: every wire type among the fields Record lacks.
Wide = declare("Wide", {
    "name": str, "inner": WideInner | None, "u_varint": int64, "a": int32 | None, "b": str | None,
    "values": list[sint64], "counts": list[uint32], "u_i64": fixed64, "tags": dict[str, WideInner], "u_len": bytes,
    "u_msg": WideInner | None, "u_packed": list[int32], "u_i32": float32, "u_unpacked": list[fixed32],
    "kinds": list[Palette], "flags": fixed32, "u_far": sint32,
}, a=field(oneof="choice"), b=field(oneof="choice"), counts=field(packed=False), u_unpacked=field(packed=False),
    kinds=field(packed=False), u_far=field(100000))


_wide_pool = descriptor_pool.DescriptorPool()
for _raw in file_descriptors(Record, Wide):
    _wide_pool.Add(descriptor_pb2.FileDescriptorProto.FromString(_raw))
RefRecord, RefWide, RefWideInner = (message_factory.GetMessageClass(_wide_pool.FindMessageTypeByName(full_name(c)))
                                    for c in (Record, Wide, WideInner))

_int = {b: st.integers(-(1 << b - 1), (1 << b - 1) - 1) for b in (32, 64)}
_uint = {b: st.integers(0, (1 << b) - 1) for b in (32, 64)}
_floats = st.floats(width=32)
_wide_inner = st.builds(RefWideInner, id=_int[32], big=_int[64], note=st.text(max_size=4), blob=st.binary(max_size=4),
                        ratio=st.floats())
WIDE_FIELDS = {
    "name": st.text(max_size=4), "inner": _wide_inner, "u_varint": _int[64], "a": _int[32], "b": st.text(max_size=3),
    "values": st.lists(_int[64], max_size=3), "counts": st.lists(_uint[32], max_size=3), "u_i64": _uint[64],
    "tags": st.dictionaries(st.text(max_size=2), _wide_inner, max_size=1), "u_len": st.binary(max_size=5),
    "u_msg": _wide_inner, "u_packed": st.lists(_int[32], max_size=3), "u_i32": _floats,
    "u_unpacked": st.lists(_uint[32], max_size=3), "kinds": st.lists(st.sampled_from([0, 1, 2, -3, 9]), max_size=3),
    "flags": _uint[32], "u_far": _int[32],
}


_stray_number = st.integers(200, (1 << 29) - 1).filter(lambda n: not 19000 <= n < 20000 and n != 100000)
_stray = st.one_of(
    st.builds(vint, _stray_number, _uint[64]),
    st.builds(lambda n, b: tag(n, I64) + b, _stray_number, st.binary(min_size=8, max_size=8)),
    st.builds(ld, _stray_number, st.binary(max_size=6)),
    st.builds(lambda n, b: tag(n, I32) + b, _stray_number, st.binary(min_size=4, max_size=4)),
    # Known numbers with a wire type their fields cannot have: unknown too.
    st.sampled_from([tag(1, I32) + b"abcd", vint(2, 7), vint(16, 1), tag(4, I64) + bytes(8), tag(9, I32) + bytes(4),
                     tag(15, I64) + bytes(8), tag(6, I32) + bytes(4)]),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_unknown_fields_pass_through_as_the_reference_runtime_keeps_them(data):
    chosen = data.draw(st.fixed_dictionaries({}, optional=WIDE_FIELDS))
    if "a" in chosen and "b" in chosen:
        del chosen["b"]
    chunks = [RefWide(**{k: v}).SerializeToString(deterministic=True) for k, v in chosen.items()]
    chunks += data.draw(st.lists(_stray, max_size=4))
    wire = b"".join(data.draw(st.permutations(chunks)))
    theirs = RefRecord.FromString(wire)
    ours = Record.from_bytes(wire)
    assert ours.to_bytes() == theirs.SerializeToString(deterministic=True)
    assert Record.from_bytes(ours.to_bytes()) == ours
    theirs.DiscardUnknownFields()
    assert Dropping.from_bytes(wire).to_bytes() == theirs.SerializeToString(deterministic=True)
