"""Fields of message classes and the `DescriptorProto` bytes built from them.

A message class is described to the native core by the serialised bytes of one
`DescriptorProto` (protocol buffers' `descriptor.proto`). This module turns the
annotations of a class into `Field` records and writes those bytes with a small
protobuf writer of its own, so the package needs no protobuf runtime.

It also writes whole `FileDescriptorProto` records (`file_descriptors`), which
lets another protobuf runtime load exactly the schema a class stands for.
"""

import enum
import keyword
import re
import types
import typing
from annotationlib import ForwardRef
from collections.abc import Callable, Iterable
from typing import Annotated, Final, get_args, get_origin

from ._types import PLAIN, Scalar

__all__ = [
    "SchemaError",
    "Unresolved",
    "Field",
    "SINGULAR",
    "OPTIONAL",
    "REPEATED",
    "MAP",
    "MAX_FIELD_NUMBER",
    "KEEP_UNKNOWN_OPTION",
    "NO_DEFAULT",
    "check_number",
    "check_name",
    "check_given_default",
    "is_proto_identifier",
    "json_name_of",
    "packable",
    "oneof_layout",
    "parse_annotation",
    "source_text",
    "default_of",
    "enum_values",
    "map_entry_name",
    "descriptor_proto",
    "enum_descriptor_proto",
    "file_descriptor_proto",
]


class SchemaError(TypeError):
    """A class cannot be made into a message class.

    The message names the class and, where there is one, the field.
    """


class Unresolved(Exception):
    """An annotation names something that does not exist (yet).

    `name` says what, for messages; `awaits` is the name whose definition
    may resolve it (the missing attribute of `module.Missing`, say).
    """

    def __init__(self, name: str, awaits: str | None = None) -> None:
        super().__init__(name)
        self.name = name
        self.awaits = name if awaits is None else awaits


# Field shapes.
SINGULAR: Final = 0  # one value, implicit presence (absent means the zero value)
OPTIONAL: Final = 1  # one value or None: messages, `T | None` scalars, oneof members
REPEATED: Final = 2  # list[T]
MAP: Final = 3  # dict[K, V]

MAX_FIELD_NUMBER: Final = (1 << 29) - 1
_RESERVED: Final = range(19000, 20000)

_INT32_MIN: Final = -(1 << 31)
_INT32_MAX: Final = (1 << 31) - 1


class Field:
    """One field of a message class.

    `value` is a `Scalar`, an `enum.IntEnum` subclass or a message class; it is
    None while the annotation still names something unknown. `key` is the map
    key's `Scalar` for map fields.
    """

    __slots__ = (
        "name", "number", "oneof", "annotation", "given_default", "shape", "key", "value",
        "proto_name", "json_name", "packed", "deprecated",
    )

    def __init__(
        self,
        name: str,
        number: int,
        oneof: str | None,
        annotation: object,
        given_default: object,
        *,
        proto_name: str | None = None,
        json_name: str | None = None,
        packed: bool = True,
        deprecated: bool = False,
    ) -> None:
        self.name = name  # the Python attribute, which the core reads and passes
        self.number = number
        self.oneof = oneof
        self.annotation = annotation
        self.given_default = given_default  # NO_DEFAULT when the class gave none
        self.shape = SINGULAR
        self.key: Scalar | None = None
        self.value: Scalar | type | None = None
        self.proto_name = name if proto_name is None else proto_name  # the name in .proto files
        self.json_name = json_name_of(self.proto_name) if json_name is None else json_name
        self.packed = packed
        self.deprecated = deprecated

    @property
    def parsed(self) -> bool:
        return self.value is not None

    @property
    def synthetic_oneof(self) -> bool:
        """Whether the field is a proto3 `optional` scalar or enum."""
        return (
            self.shape == OPTIONAL
            and self.oneof is None
            and (isinstance(self.value, Scalar) or _is_enum(self.value))
        )

    def __repr__(self) -> str:
        return f"<Field {self.name}={self.number}>"


NO_DEFAULT: Final = object()


def _is_enum(value: object) -> bool:
    return isinstance(value, type) and issubclass(value, enum.IntEnum)


def check_number(where: str, number: object) -> int:
    if type(number) is not int:
        raise SchemaError(f"{where}: field number must be an int, not {type(number).__name__}")
    if not 1 <= number <= MAX_FIELD_NUMBER or number in _RESERVED:
        raise SchemaError(
            f"{where}: field number {number} is invalid "
            f"(valid: 1 to {MAX_FIELD_NUMBER}, except 19000 to 19999)"
        )
    return number


def check_name(where: str, name: str, what: str) -> None:
    """Field and oneof names must be ASCII identifiers, as in .proto files."""
    if not (name.isascii() and name.isidentifier()) or keyword.iskeyword(name):
        raise SchemaError(f"{where}: {what} name {name!r} is not an ASCII identifier")


_PROTO_IDENTIFIER: Final = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def is_proto_identifier(name: object) -> bool:
    """Whether `name` can name a field or type in a .proto file (Python
    keywords such as `from` included)."""
    return isinstance(name, str) and _PROTO_IDENTIFIER.fullmatch(name) is not None


def _camel(name: str, upper: bool) -> str:
    """Each underscore dropped and the letter after it capitalised (the first
    letter too with `upper`), as protoc does for JSON and map entry names."""
    out = []
    for ch in name:
        if ch == "_":
            upper = True
        elif upper:
            out.append(ch.upper() if "a" <= ch <= "z" else ch)
            upper = False
        else:
            out.append(ch)
    return "".join(out)


def json_name_of(proto_name: str) -> str:
    """The default JSON name of a field, as protoc computes it: lowerCamelCase."""
    return _camel(proto_name, False)


def packable(value: object) -> bool:
    """Whether a repeated field of this value type has a packed encoding:
    numbers, bools and enums, not strings, bytes or messages."""
    if isinstance(value, Scalar):
        return value.proto_type not in (9, 12)
    return _is_enum(value)


# ---------------------------------------------------------------- annotations

Evaluate = Callable[[object], object]  # resolves a str or ForwardRef, or raises Unresolved
IsMessage = Callable[[type], bool]


def source_text(annotation: object) -> str | None:
    """The source of a string or `ForwardRef` annotation, else None."""
    if isinstance(annotation, ForwardRef):
        return annotation.__forward_arg__
    return annotation if isinstance(annotation, str) else None


def _annotation_text(annotation: object) -> str:
    text = source_text(annotation)
    if text is not None:
        return text
    if isinstance(annotation, type):
        return annotation.__qualname__
    return repr(annotation).replace("typing.", "")


def _unwrap(annotation: object, evaluate: Evaluate) -> object:
    """Evaluate forward references and type aliases until a real type remains."""
    for _ in range(32):
        if isinstance(annotation, (str, ForwardRef)):
            annotation = evaluate(annotation)
        elif isinstance(annotation, typing.TypeAliasType):
            try:
                annotation = annotation.__value__
            except NameError as exc:
                raise Unresolved(exc.name or str(exc)) from None
        else:
            return annotation
    raise SchemaError("the annotation does not resolve to a type")


def _is_union(annotation: object) -> bool:
    return get_origin(annotation) in (typing.Union, types.UnionType)


def _open_enum(args: tuple[object, ...], evaluate: Evaluate) -> type | None:
    """The enum of `E | int` (protobuf enums are open: a value may be a
    number that the enum does not name), else None."""
    if len(args) != 2 or int not in args:
        return None
    other = _unwrap(args[1] if args[0] is int else args[0], evaluate)
    return other if isinstance(other, type) and issubclass(other, enum.IntEnum) else None


def _value_type(annotation: object, evaluate: Evaluate, is_message: IsMessage) -> Scalar | type:
    """The type of one value: a scalar marker, an enum (`E` or `E | int`) or a
    message class."""
    annotation = _unwrap(annotation, evaluate)
    if _is_union(annotation):
        found = _open_enum(get_args(annotation), evaluate)
        if found is not None:
            return found
    if get_origin(annotation) is Annotated:
        markers = [m for m in annotation.__metadata__ if isinstance(m, Scalar)]  # type: ignore[attr-defined]
        base = _unwrap(annotation.__origin__, evaluate)  # type: ignore[attr-defined]
        if not markers:
            return _value_type(base, evaluate, is_message)
        if len(markers) > 1:
            names = ", ".join(m.name for m in markers)
            raise SchemaError(f"conflicting scalar types {names}")
        marker = markers[0]
        if base is not marker.python_type:
            raise SchemaError(
                f"the {marker.name} marker needs the Python type "
                f"{marker.python_type.__name__}, not {_annotation_text(base)}"
            )
        return marker
    if isinstance(annotation, type):
        scalar = PLAIN.get(annotation)
        if scalar is not None:
            return scalar
        if issubclass(annotation, enum.IntEnum):
            return annotation
        if is_message(annotation):
            return annotation
        if issubclass(annotation, enum.Enum):
            raise SchemaError(f"enum {annotation.__qualname__} must derive from enum.IntEnum")
        if annotation in (list, dict):
            raise SchemaError(f"{annotation.__name__} needs its item types, as in list[int]")
        raise SchemaError(
            f"{annotation.__qualname__} is neither a message class (decorate it with "
            "@quillspar.message) nor an enum.IntEnum"
        )
    origin = get_origin(annotation)
    if origin in (list, dict):
        raise SchemaError("lists and dicts cannot be nested")
    if _is_union(annotation):
        raise SchemaError("only a field itself can be optional, not the items of a list or dict")
    raise SchemaError(f"{_annotation_text(annotation)} is not a type")


def parse_annotation(
    annotation: object, evaluate: Evaluate, is_message: IsMessage
) -> tuple[int, Scalar | None, Scalar | type]:
    """`(shape, key, value)` for a field annotation.

    Raises `Unresolved` when the annotation names something unknown, and
    `SchemaError` with the reason when it cannot be a field.
    """
    annotation = _unwrap(annotation, evaluate)
    origin = get_origin(annotation)
    if _is_union(annotation):
        args = get_args(annotation)
        present = [a for a in args if a is not types.NoneType]
        opened = _open_enum(tuple(present), evaluate)
        if opened is not None:
            return (OPTIONAL if len(present) < len(args) else SINGULAR), None, opened
        if len(present) != 1 or len(args) != 2:
            raise SchemaError("the only unions allowed are `T | None` and, for an enum E, `E | int`")
        inner = _unwrap(present[0], evaluate)
        if get_origin(inner) in (list, dict) or inner in (list, dict):
            raise SchemaError("repeated and map fields are never None, leave out `| None`")
        return OPTIONAL, None, _value_type(inner, evaluate, is_message)
    if origin is list:
        (item,) = get_args(annotation)
        value = _value_type(item, evaluate, is_message)
        return REPEATED, None, value
    if origin is dict:
        key_annotation, value_annotation = get_args(annotation)
        key = _value_type(key_annotation, evaluate, is_message)
        if not isinstance(key, Scalar) or not key.map_key:
            raise SchemaError(
                f"map keys must be integers, bool or str, not {_annotation_text(key_annotation)}"
            )
        return MAP, key, _value_type(value_annotation, evaluate, is_message)
    value = _value_type(annotation, evaluate, is_message)
    if isinstance(value, Scalar) or _is_enum(value):
        return SINGULAR, None, value
    return OPTIONAL, None, value


def enum_values(where: str, enum_cls: type[enum.IntEnum]) -> list[tuple[str, int]]:
    """The `(name, number)` of each member, aliases included, checked to fit
    in 32 bits."""
    values = []
    for member_name, member in enum_cls.__members__.items():
        number = int(member)
        if not _INT32_MIN <= number <= _INT32_MAX:
            raise SchemaError(
                f"{where}: enum {enum_cls.__qualname__} member {member_name} = {number} "
                "does not fit in 32 bits"
            )
        values.append((member_name, number))
    return values


def default_of(field: Field) -> object:
    """What the constructor stores when the field is not given.

    The list and dict of repeated and map fields are made afresh for every
    instance; this returns the type for them.
    """
    if field.shape == REPEATED:
        return list
    if field.shape == MAP:
        return dict
    if field.shape == OPTIONAL:
        return None
    value = field.value
    if isinstance(value, Scalar):
        return value.default
    assert isinstance(value, type) and issubclass(value, enum.IntEnum)
    return value._value2member_map_.get(0, 0)


def check_given_default(where: str, field: Field) -> None:
    """A default written in the class body must be the field's own default.

    Protocol buffers does not transmit defaults: a field holding its default
    is left out of the encoding, so any other default could not survive a
    round trip. The class body may still spell it out for type checkers.
    """
    given = field.given_default
    if given is NO_DEFAULT:
        return
    expected = default_of(field)
    value = field.value
    if expected is list or expected is dict:
        ok = type(given) is expected and not given
        shown = "[]" if expected is list else "{}"
    elif expected is None:
        ok = given is None
        shown = "None"
    elif isinstance(value, Scalar):
        allowed: tuple[type, ...] = (int, float) if value.python_type is float else (value.python_type,)
        ok = type(given) in allowed and given == expected
        shown = repr(expected)
    else:
        ok = isinstance(given, int) and not isinstance(given, bool) and given == 0
        shown = repr(expected)
    if not ok:
        raise SchemaError(
            f"{where}: the default of this field is {shown}, fixed by protobuf; got {given!r}"
        )


# ---------------------------------------------------------------- writer

_VARINT: Final = 0
_LEN: Final = 2


def _varint(value: int) -> bytes:
    value &= (1 << 64) - 1
    out = bytearray()
    while value > 0x7F:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _int(number: int, value: int) -> bytes:
    return _varint(number << 3 | _VARINT) + _varint(value)


def _record(number: int, payload: bytes) -> bytes:
    return _varint(number << 3 | _LEN) + _varint(len(payload)) + payload


def _text(number: int, text: str) -> bytes:
    return _record(number, text.encode())


# FieldDescriptorProto labels and types used here.
_LABEL_OPTIONAL: Final = 1
_LABEL_REPEATED: Final = 3
_TYPE_MESSAGE: Final = 11
_TYPE_ENUM: Final = 14

#: The quillspar option: an extension of `google.protobuf.MessageOptions`
#: (a bool, from the range protobuf sets aside for an organisation's own use)
#: that tells the core to keep a message's unknown fields.
KEEP_UNKNOWN_OPTION: Final = 50555


def map_entry_name(field_name: str) -> str:
    """The name of a map field's entry type, spelt as protoc spells it."""
    return _camel(field_name, True) + "Entry"


def _field_proto(
    name: str,
    number: int,
    label: int,
    value: Scalar | type,
    type_name: Callable[[type], str],
    *,
    explicit_type_name: str | None = None,
    oneof_index: int | None = None,
    proto3_optional: bool = False,
    json_name: str | None = None,
    options: bytes = b"",
) -> bytes:
    out = _text(1, name) + _int(3, number) + _int(4, label)
    if explicit_type_name is not None:
        out += _int(5, _TYPE_MESSAGE) + _text(6, explicit_type_name)
    elif isinstance(value, Scalar):
        out += _int(5, value.proto_type)
    else:
        out += _int(5, _TYPE_ENUM if _is_enum(value) else _TYPE_MESSAGE) + _text(6, type_name(value))
    if options:
        out += _record(8, options)
    if oneof_index is not None:
        out += _int(9, oneof_index)
    if json_name is not None:
        out += _text(10, json_name)
    if proto3_optional:
        out += _int(17, 1)
    return out


def oneof_layout(fields: Iterable[Field]) -> tuple[list[str], dict[str, int]]:
    """The oneof_decl names and each field's oneof index (by attribute name),
    as protoc lays them out for fields in this order: the real oneofs in order
    of first use, then one synthetic oneof per proto3 `optional` field, named
    `_<field>` (the field's own name when it starts with an underscore), with
    `X`s put in front while the name is taken by a field or another oneof."""
    fields = list(fields)
    names: list[str] = []
    for f in fields:
        if f.oneof is not None and f.oneof not in names:
            names.append(f.oneof)
    index = {f.name: names.index(f.oneof) for f in fields if f.oneof is not None}
    taken = {f.proto_name for f in fields} | set(names)
    for f in fields:
        if f.synthetic_oneof:
            synthetic = f.proto_name if f.proto_name.startswith("_") else "_" + f.proto_name
            while synthetic in taken:
                synthetic = "X" + synthetic
            taken.add(synthetic)
            index[f.name] = len(names)
            names.append(synthetic)
    return names, index


def _grouped(fields: list[Field]) -> list[Field]:
    """Declaration order, with the members of each oneof moved up to its
    first member: the reference runtime wants a oneof's fields consecutive."""
    out: list[Field] = []
    done: set[str] = set()
    for f in fields:
        if f.oneof is None:
            out.append(f)
        elif f.oneof not in done:
            done.add(f.oneof)
            out.extend(g for g in fields if g.oneof == f.oneof)
    return out


def descriptor_proto(
    name: str,
    full_name: str,
    fields: list[Field],
    type_name: Callable[[type], str],
    *,
    keep_unknown: bool = False,
    export: bool = False,
    nested: Iterable[bytes] = (),
    enums: Iterable[bytes] = (),
) -> bytes:
    """The serialised `DescriptorProto` of a message type.

    `fields` are in declaration order; `full_name` is the message's own full
    name (with a leading dot), used for the type names of its map entries;
    `type_name` gives the full name of a referenced message class or enum.

    For the core (the default) fields carry their attribute names and come in
    field-number order, which is the order the encoder writes them in, and
    `keep_unknown` sets the quillspar message option. With `export` the
    descriptor is the one protoc would write: protobuf field names, JSON
    names, deprecation, the declaration order (each oneof's members
    together), and the `nested` message and `enums` types inside it.
    """
    oneofs, oneof_index = oneof_layout(fields)
    ordered = _grouped(fields) if export else sorted(fields, key=lambda f: f.number)
    out = _text(1, name)
    entries = b""
    for f in ordered:
        assert f.value is not None, f"field {f.name} is not resolved"
        field_name = f.proto_name if export else f.name
        options = b""
        if not f.packed:
            options += _int(2, 0)
        if export and f.deprecated:
            options += _int(3, 1)
        json_name = f.json_name if export else None
        if f.shape == MAP:
            assert f.key is not None
            entry_name = map_entry_name(f.proto_name)
            entry = (
                _text(1, entry_name)
                + _record(2, _field_proto("key", 1, _LABEL_OPTIONAL, f.key, type_name,
                                          json_name="key" if export else None))
                + _record(2, _field_proto("value", 2, _LABEL_OPTIONAL, f.value, type_name,
                                          json_name="value" if export else None))
                + _record(7, _int(7, 1))  # options { map_entry: true }
            )
            entries += _record(3, entry)
            out += _record(
                2,
                _field_proto(
                    field_name,
                    f.number,
                    _LABEL_REPEATED,
                    f.value,
                    type_name,
                    explicit_type_name=f"{full_name}.{entry_name}",
                    json_name=json_name,
                    options=options,
                ),
            )
            continue
        out += _record(
            2,
            _field_proto(
                field_name,
                f.number,
                _LABEL_REPEATED if f.shape == REPEATED else _LABEL_OPTIONAL,
                f.value,
                type_name,
                oneof_index=oneof_index.get(f.name),
                proto3_optional=f.synthetic_oneof,
                json_name=json_name,
                options=options,
            ),
        )
    for n in nested:
        out += _record(3, n)
    out += entries
    for e in enums:
        out += _record(4, e)
    if keep_unknown and not export:
        out += _record(7, _int(KEEP_UNKNOWN_OPTION, 1))
    for oneof in oneofs:
        out += _record(8, _text(1, oneof))
    return out


def _unspecified_name(enum_name: str) -> str:
    """`COLOR_UNSPECIFIED` for `Color`, the usual name of a proto3 enum's zero."""
    snake = re.sub(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])", "_", enum_name)
    return snake.upper() + "_UNSPECIFIED"


def enum_descriptor_proto(name: str, values: list[tuple[str, int]]) -> bytes:
    """An `EnumDescriptorProto` with the given `(name, number)` values, aliases
    included (with `allow_alias` set when there are any).

    The value 0 comes first as proto3 requires; an enum without one gets
    `<NAME>_UNSPECIFIED`.
    """
    ordered = sorted(values, key=lambda nv: nv[1] != 0)
    if not ordered or ordered[0][1] != 0:
        zero = _unspecified_name(name)
        while any(zero == n for n, _ in ordered):
            zero = "_" + zero
        ordered.insert(0, (zero, 0))
    out = _text(1, name)
    for value_name, number in ordered:
        out += _record(2, _text(1, value_name) + _int(2, number))
    if len({number for _, number in ordered}) < len(ordered):
        out += _record(3, _int(2, 1))  # options { allow_alias: true }
    return out


def file_descriptor_proto(
    file_name: str,
    package: str,
    messages: list[bytes],
    enums: list[bytes],
    dependencies: Iterable[str] = (),
) -> bytes:
    """A proto3 `FileDescriptorProto` holding the given message and enum types."""
    out = _text(1, file_name)
    if package:
        out += _text(2, package)
    for dep in dependencies:
        out += _text(3, dep)
    for m in messages:
        out += _record(4, m)
    for e in enums:
        out += _record(5, e)
    return out + _text(12, "proto3")
