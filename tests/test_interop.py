"""Interoperation with the reference protobuf runtime.

Every schema here is loaded into a reference `DescriptorPool` from the very
`DescriptorProto` bytes that quillspar generates; values then travel both ways
and must come out equal, and the bytes must match the reference runtime's
deterministic output.
"""

import enum
import math
import shutil
import subprocess
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quillspar import (
    double,
    field,
    fixed32,
    fixed64,
    float32,
    int32,
    int64,
    message,
    sfixed32,
    sfixed64,
    sint32,
    sint64,
    uint32,
    uint64,
)
from quillspar._message import _MESSAGES, file_descriptors
from quillspar._schema import MAP, OPTIONAL, REPEATED, Field
from quillspar._types import Scalar

descriptor_pb2 = pytest.importorskip("google.protobuf.descriptor_pb2")
from google.protobuf import descriptor_pool, message_factory  # noqa: E402


class Palette(enum.IntEnum):
    NONE = 0
    RED = 1
    GREEN = 2
    DEEP = -3


@message
class Scalars:
    f_double: double
    f_float: float32
    f_int32: int32
    f_int64: int64
    f_uint32: uint32
    f_uint64: uint64
    f_sint32: sint32
    f_sint64: sint64
    f_fixed32: fixed32
    f_fixed64: fixed64
    f_sfixed32: sfixed32
    f_sfixed64: sfixed64
    f_bool: bool
    f_string: str
    f_bytes: bytes
    plain_int: int
    plain_float: float


@message
class Leaf:
    name: str
    weight: sint32


@message
class Lists:
    r_double: list[double]
    r_float: list[float32]
    r_int32: list[int32]
    r_int64: list[int64]
    r_uint32: list[uint32]
    r_uint64: list[uint64]
    r_sint32: list[sint32]
    r_sint64: list[sint64]
    r_fixed32: list[fixed32]
    r_fixed64: list[fixed64]
    r_sfixed32: list[sfixed32]
    r_sfixed64: list[sfixed64]
    r_bool: list[bool]
    r_string: list[str]
    r_bytes: list[bytes]
    r_enum: list[Palette]
    r_leaf: list[Leaf]


@message
class Maps:
    str_int32: dict[str, int32]
    int32_str: dict[int32, str]
    int64_double: dict[int64, double]
    uint32_bytes: dict[uint32, bytes]
    uint64_float: dict[uint64, float32]
    sint32_bool: dict[sint32, bool]
    sint64_sint64: dict[sint64, sint64]
    fixed32_fixed64: dict[fixed32, fixed64]
    fixed64_uint32: dict[fixed64, uint32]
    sfixed32_sfixed32: dict[sfixed32, sfixed32]
    sfixed64_int64: dict[sfixed64, int64]
    bool_str: dict[bool, str]
    str_palette: dict[str, Palette]
    int32_leaf: dict[int32, Leaf]


@message
class Node:
    label: str
    children: list[Node]
    parent: Node | None
    by_name: dict[str, Node]


@message
class Even:
    value: uint32
    next: Odd | None


@message
class Odd:
    value: uint32
    next: Even | None
    evens: list[Even]


@message
class Enums:
    color: Palette
    colors: list[Palette]
    maybe: Palette | None
    by_key: dict[int32, Palette]


@message
class Optionals:
    o_double: double | None
    o_float: float32 | None
    o_int32: int32 | None
    o_uint64: uint64 | None
    o_sint64: sint64 | None
    o_fixed32: fixed32 | None
    o_bool: bool | None
    o_string: str | None
    o_bytes: bytes | None
    o_leaf: Leaf | None
    c_int: int32 | None = field(20, oneof="choice")
    c_string: str | None = field(oneof="choice")
    c_leaf: Leaf | None = field(oneof="choice")
    c_palette: Palette | None = field(oneof="choice")
    before_gap: int32 = field(18999)
    after_gap: int32 = field(20000)
    last: int32 = field(536870911)


SCHEMAS = [Scalars, Lists, Maps, Node, Even, Odd, Enums, Optionals]


# ---------------------------------------------------------------- the reference side

_pool: Any = None


def reference_class(cls: type) -> Any:
    global _pool
    if _pool is None:
        _pool = descriptor_pool.DescriptorPool()
        for raw in file_descriptors(*SCHEMAS):
            _pool.Add(descriptor_pb2.FileDescriptorProto.FromString(raw))
    return message_factory.GetMessageClass(_pool.FindMessageTypeByName(_MESSAGES[cls].full_name[1:]))


def fields(cls: type) -> list[Field]:
    return _MESSAGES[cls].fields


def is_message(value: object) -> bool:
    return isinstance(value, type) and value in _MESSAGES


def fill(ref: Any, obj: object) -> Any:
    """Copy a quillspar message into a reference message."""
    for f in fields(type(obj)):
        value = getattr(obj, f.name)
        if f.shape == REPEATED:
            target = getattr(ref, f.name)
            for item in value:
                if is_message(f.value):
                    fill(target.add(), item)
                else:
                    target.append(item)
        elif f.shape == MAP:
            target = getattr(ref, f.name)
            for key, item in value.items():
                if is_message(f.value):
                    fill(target[key], item)
                else:
                    target[key] = item
        elif value is None:
            continue
        elif is_message(f.value):
            sub = getattr(ref, f.name)
            sub.SetInParent()
            fill(sub, value)
        else:
            setattr(ref, f.name, value)
    return ref


def unfill(ref: Any, cls: type) -> Any:
    """A quillspar message holding what a reference message holds."""
    kwargs: dict[str, object] = {}
    for f in fields(cls):
        value = getattr(ref, f.name)
        sub = (lambda v: unfill(v, f.value)) if is_message(f.value) else (lambda v: v)  # type: ignore[arg-type]
        if f.shape == REPEATED:
            kwargs[f.name] = [sub(v) for v in value]
        elif f.shape == MAP:
            kwargs[f.name] = {k: sub(v) for k, v in value.items()}
        elif f.shape == OPTIONAL:
            kwargs[f.name] = sub(value) if ref.HasField(f.name) else None
        else:
            kwargs[f.name] = value
    return cls(**kwargs)


def canonical(obj: Any) -> Any:
    """The message again with at most one entry in each dict, since the
    reference runtime's order of map entries is its own even when asked to be
    deterministic, and with 0.0 for -0.0 in fields without presence (see
    test_negative_zero_without_presence)."""
    kwargs: dict[str, object] = {}
    for f in fields(type(obj)):
        value = getattr(obj, f.name)
        nested = canonical if is_message(f.value) else (lambda v: v)
        if f.shape == REPEATED:
            value = [nested(v) for v in value]
        elif f.shape == MAP:
            value = {k: nested(value[k]) for k in sorted(value)[:1]}
        elif value is not None:
            value = nested(value)
            if f.shape != OPTIONAL and value == 0.0:
                value = type(value)(0)
        kwargs[f.name] = value
    return type(obj)(**kwargs)


# ---------------------------------------------------------------- values

_INT_RANGES = {
    "int32": (-(1 << 31), (1 << 31) - 1),
    "sint32": (-(1 << 31), (1 << 31) - 1),
    "sfixed32": (-(1 << 31), (1 << 31) - 1),
    "int64": (-(1 << 63), (1 << 63) - 1),
    "sint64": (-(1 << 63), (1 << 63) - 1),
    "sfixed64": (-(1 << 63), (1 << 63) - 1),
    "uint32": (0, (1 << 32) - 1),
    "fixed32": (0, (1 << 32) - 1),
    "uint64": (0, (1 << 64) - 1),
    "fixed64": (0, (1 << 64) - 1),
}


def scalar_values(scalar: Scalar) -> st.SearchStrategy[Any]:
    if scalar.name == "double":
        return st.floats(allow_nan=False)
    if scalar.name == "float":
        return st.floats(width=32, allow_nan=False)
    if scalar.name == "bool":
        return st.booleans()
    if scalar.name == "string":
        return st.text(max_size=8)
    if scalar.name == "bytes":
        return st.binary(max_size=8)
    low, high = _INT_RANGES[scalar.name]
    return st.integers(low, high) | st.sampled_from([low, high, 0, -1 if low else 1])


def values_of(value: object, depth: int) -> st.SearchStrategy[Any] | None:
    if isinstance(value, Scalar):
        return scalar_values(value)
    if isinstance(value, type) and issubclass(value, enum.IntEnum):
        return st.sampled_from(list(value)) | st.integers(-(1 << 31), (1 << 31) - 1)
    if depth <= 0:
        return None
    return messages(value, depth - 1)  # type: ignore[arg-type]


def field_values(f: Field, depth: int) -> st.SearchStrategy[Any]:
    values = values_of(f.value, depth)
    if f.shape == REPEATED:
        return st.builds(list) if values is None else st.lists(values, max_size=4)
    if f.shape == MAP:
        assert f.key is not None
        return st.builds(dict) if values is None else st.dictionaries(scalar_values(f.key), values, max_size=4)
    if f.shape == OPTIONAL:
        return st.none() if values is None else st.none() | values
    assert values is not None
    return values


def messages(cls: type, depth: int = 2) -> st.SearchStrategy[Any]:
    """Instances of `cls`, with at most one member of each oneof set."""
    plain = {f.name: field_values(f, depth) for f in fields(cls) if f.oneof is None}
    oneofs: dict[str, list[Field]] = {}
    for f in fields(cls):
        if f.oneof is not None:
            oneofs.setdefault(f.oneof, []).append(f)
    choices = []
    for members in oneofs.values():
        options = [(m.name, values_of(m.value, depth)) for m in members]
        choices.append(st.none() | st.one_of([st.tuples(st.just(n), v) for n, v in options if v is not None]))

    def build(kwargs: dict[str, object], chosen: list[tuple[str, object] | None]) -> object:
        return cls(**kwargs, **dict(c for c in chosen if c is not None))

    return st.builds(build, st.fixed_dictionaries(plain), st.tuples(*choices).map(list))


STRATEGIES = {cls: messages(cls) for cls in SCHEMAS}
interop = settings(max_examples=75, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ---------------------------------------------------------------- both directions

@pytest.mark.parametrize("cls", SCHEMAS, ids=lambda c: c.__name__)
@interop
@given(data=st.data())
def test_reference_runtime_reads_our_bytes(cls: type, data: st.DataObject) -> None:
    value = data.draw(STRATEGIES[cls])
    ours = value.to_bytes()
    parsed = reference_class(cls).FromString(ours)
    assert unfill(parsed, cls) == value
    assert cls.from_bytes(ours) == value


@pytest.mark.parametrize("cls", SCHEMAS, ids=lambda c: c.__name__)
@interop
@given(data=st.data())
def test_we_read_reference_bytes(cls: type, data: st.DataObject) -> None:
    value = data.draw(STRATEGIES[cls])
    theirs = fill(reference_class(cls)(), value).SerializeToString()
    decoded = cls.from_bytes(theirs)
    assert decoded == value
    assert type(decoded) is cls


@pytest.mark.parametrize("cls", SCHEMAS, ids=lambda c: c.__name__)
@interop
@given(data=st.data())
def test_same_bytes_as_reference(cls: type, data: st.DataObject) -> None:
    value = canonical(data.draw(STRATEGIES[cls]))
    theirs = fill(reference_class(cls)(), value).SerializeToString(deterministic=True)
    assert value.to_bytes() == theirs


def test_unknown_enum_numbers_survive_both_ways() -> None:
    ref = reference_class(Enums)(color=77, colors=[1, -9, 2], maybe=0, by_key={3: 55})
    value = Enums.from_bytes(ref.SerializeToString())
    assert value.color == 77 and type(value.color) is int
    assert value.colors == [Palette.RED, -9, Palette.GREEN] and value.colors[0] is Palette.RED
    assert value.maybe is Palette.NONE and value.by_key == {3: 55}
    assert reference_class(Enums).FromString(value.to_bytes()) == ref


def test_oneof_member_set_by_the_reference_runtime() -> None:
    for kwargs, expected in [
        ({"c_int": 0}, Optionals(c_int=0)),
        ({"c_leaf": reference_class(Leaf)()}, Optionals(c_leaf=Leaf())),
        ({"c_palette": 9}, Optionals(c_palette=9)),
    ]:
        ref = reference_class(Optionals)(**kwargs)
        assert Optionals.from_bytes(ref.SerializeToString()) == expected
        assert reference_class(Optionals).FromString(expected.to_bytes()) == ref


def test_nan_and_negative_zero_bytes_match() -> None:
    for x in (math.nan, -math.nan, math.inf, -math.inf, -0.0, 5e-324):
        value = Optionals(o_double=x, o_float=x)
        ref = fill(reference_class(Optionals)(), value)
        assert value.to_bytes() == ref.SerializeToString()


def test_negative_zero_without_presence_keeps_its_sign() -> None:
    value = Scalars(f_double=-0.0, f_float=-0.0)
    assert value.to_bytes() == fill(reference_class(Scalars)(), value).SerializeToString()
    back = Scalars.from_bytes(value.to_bytes())
    assert math.copysign(1.0, back.f_double) == -1.0 and math.copysign(1.0, back.f_float) == -1.0


def test_last_oneof_member_in_the_data_wins() -> None:
    # Concatenated encodings merge; of two members of one oneof the later one stays.
    first, second = Optionals(c_string="x", o_int32=1), Optionals(c_leaf=Leaf(), after_gap=5)
    data = first.to_bytes() + second.to_bytes() + Optionals(c_int=7).to_bytes()
    ref = reference_class(Optionals).FromString(data)
    ours = Optionals.from_bytes(data)
    assert ours == Optionals(c_int=7, o_int32=1, after_gap=5)
    assert ref.WhichOneof("choice") == "c_int" and ours.to_bytes() == ref.SerializeToString()


def test_deep_recursion_round_trip() -> None:
    node = Node(label="leaf")
    for i in range(60):  # the reference runtime stops at 100 levels
        node = Node(label=str(i), children=[node], by_name={"p": Node()})
    ref = reference_class(Node).FromString(node.to_bytes())
    assert Node.from_bytes(ref.SerializeToString()) == node


# ---------------------------------------------------------------- against protoc

PROTO = """
syntax = "proto3";
package {package};

enum Palette {{ Palette_NONE = 0; Palette_RED = 1; Palette_GREEN = 2; Palette_DEEP = -3; }}
message Leaf {{ string name = 1; sint32 weight = 2; }}
message Maps {{
  map<string, int32> str_int32 = 1; map<int32, string> int32_str = 2; map<int64, double> int64_double = 3;
  map<uint32, bytes> uint32_bytes = 4; map<uint64, float> uint64_float = 5; map<sint32, bool> sint32_bool = 6;
  map<sint64, sint64> sint64_sint64 = 7; map<fixed32, fixed64> fixed32_fixed64 = 8;
  map<fixed64, uint32> fixed64_uint32 = 9; map<sfixed32, sfixed32> sfixed32_sfixed32 = 10;
  map<sfixed64, int64> sfixed64_int64 = 11; map<bool, string> bool_str = 12;
  map<string, Palette> str_palette = 13; map<int32, Leaf> int32_leaf = 14;
}}
message Node {{ string label = 1; repeated Node children = 2; Node parent = 3; map<string, Node> by_name = 4; }}
message Enums {{ Palette color = 1; repeated Palette colors = 2; optional Palette maybe = 3; map<int32, Palette> by_key = 4; }}
message Optionals {{
  optional double o_double = 1; optional float o_float = 2; optional int32 o_int32 = 3; optional uint64 o_uint64 = 4;
  optional sint64 o_sint64 = 5; optional fixed32 o_fixed32 = 6; optional bool o_bool = 7; optional string o_string = 8;
  optional bytes o_bytes = 9; Leaf o_leaf = 10;
  oneof choice {{ int32 c_int = 20; string c_string = 21; Leaf c_leaf = 22; Palette c_palette = 23; }}
  int32 before_gap = 18999; int32 after_gap = 20000; int32 last = 536870911;
}}
"""


def _without_json_names(proto: Any) -> Any:
    for f in proto.field:
        f.ClearField("json_name")
    for nested in proto.nested_type:
        _without_json_names(nested)
    return proto


@pytest.mark.skipif(shutil.which("protoc") is None, reason="protoc is not installed")
@pytest.mark.parametrize("cls", [Leaf, Maps, Node, Enums, Optionals], ids=lambda c: c.__name__)
def test_descriptor_matches_protoc(cls: type, tmp_path: Path) -> None:
    info = _MESSAGES[cls]
    assert info.short == cls.__name__
    (tmp_path / "schema.proto").write_text(PROTO.format(package=info.package))
    out = tmp_path / "schema.pb"
    subprocess.run(
        ["protoc", f"--proto_path={tmp_path}", f"--descriptor_set_out={out}", "schema.proto"], check=True
    )
    (file,) = descriptor_pb2.FileDescriptorSet.FromString(out.read_bytes()).file
    expected = next(m for m in file.message_type if m.name == cls.__name__)
    ours = descriptor_pb2.DescriptorProto.FromString(info.proto)
    assert _without_json_names(ours) == _without_json_names(expected)

