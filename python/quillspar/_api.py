"""The public functions: the `message` decorator, `field()`, the `Message`
base class, encode and decode, and the functions that resolve, inspect and
export message classes.
"""

import enum
import sys
import types
import typing
from collections.abc import Callable
from typing import Any, ClassVar, Self, dataclass_transform, overload

from . import _core, _export, _json, _methods
from ._build import UNKNOWN, FieldSpec, collect_fields, rebuild
from ._link import bootstrap_init, descriptor_of, from_bytes, parse_fields, pending, ready, retry, to_bytes, wait
from ._names import (
    _adopt_nested,
    _attach,
    _is_message,
    _lock,
    _message_base,
    _MessageInfo,
    _package_of,
    _proto_name_of,
    _register,
    _set_parent,
    find_class,
    full_name,
    function_scope,
)
from ._schema import SchemaError

__all__ = [
    "message",
    "field",
    "Message",
    "encode",
    "decode",
    "resolve",
    "full_name",
    "find_class",
    "unknown_fields",
    "file_descriptors",
]


def field(
    number: int | None = None,
    *,
    oneof: str | None = None,
    packed: bool = True,
    name: str | None = None,
    json_name: str | None = None,
    deprecated: bool = False,
) -> Any:
    """Give a field an explicit number, make it a member of a oneof, or set
    its options.

        @message
        class Shape:
            name: str
            circle: Circle | None = field(oneof="kind")
            square: Square | None = field(oneof="kind")
            area: double = field(10)
            samples: list[sint32] = field(packed=False)
            from_: str = field(name="from")

    Fields without an explicit number take the number after the previous
    field's (the first field takes 1). Members of a oneof have explicit
    presence: they hold None unless set, and at most one member may be set
    when the message is encoded; they need not be declared next to each other.

    `packed=False` writes a repeated number, bool or enum field one record per
    element (`[packed = false]` in a .proto file) instead of one packed record.
    `name` is the field's protobuf name when it differs from the Python
    attribute (a Python keyword, say); `json_name` its JSON name (protoc's
    lowerCamelCase of the protobuf name by default); `deprecated=True` marks
    it deprecated. Those three only show in exported descriptors
    (`file_descriptors`): the bytes on the wire do not depend on them.

    Type checkers see every field that has a value in the class body, a
    `field()` included, as an optional constructor argument, and every bare
    annotation as a required one. At run time all of them are optional.
    """
    return FieldSpec(number, oneof, packed, name, json_name, deprecated)


def _define(cls: type, keep_unknown: bool, frame: types.FrameType | None) -> type:
    if not isinstance(cls, type):
        raise TypeError(f"@message decorates classes, not {type(cls).__name__} objects")
    where = cls.__qualname__
    if _is_message(cls):
        raise SchemaError(f"{where} is already a message class")
    base = _message_base(cls)
    if base is not None:
        raise SchemaError(f"{where}: a message class cannot derive from message class {base.cls.__qualname__}")
    if issubclass(cls, enum.Enum):
        raise SchemaError(f"{where}: enums need no decorator; derive them from enum.IntEnum")
    if "__slots__" in vars(cls):
        raise SchemaError(f"{where}: @message gives the class its __slots__; remove them")
    fields = collect_fields(cls)
    _proto_name_of(cls)
    _package_of(cls)
    scope = function_scope(frame, fields)
    methods: dict[str, object] = {
        "__repr__": _methods.make_repr(fields),
        "__replace__": _methods.make_replace(fields, keep_unknown),
        "to_bytes": to_bytes,
        "from_bytes": classmethod(from_bytes),
        "which_oneof": _methods.make_which_oneof(fields),
        **_json.METHODS,
    }
    new = rebuild(cls, fields, keep_unknown, methods)
    info = _MessageInfo(new, fields, keep_unknown, scope)
    _attach(info)
    try:
        _adopt_nested(info)
        parsed = parse_fields(info, strict=False) is None
    except BaseException:
        for child in info.nested:  # the class is gone: its nested types stand alone again
            _set_parent(child, None)
        raise
    _register(info)
    if not parsed:
        new.__init__ = bootstrap_init(info)  # type: ignore[misc]
    wait(info)
    retry(new.__name__)
    return new


@overload
def message[C: type](cls: C, /, *, unknown_fields: bool = True) -> C: ...
@overload
def message[C: type](cls: None = None, /, *, unknown_fields: bool = True) -> Callable[[C], C]: ...


@dataclass_transform(kw_only_default=True)
def message[C: type](cls: C | None = None, /, *, unknown_fields: bool = True) -> C | Callable[[C], C]:
    """Make an annotated class a protobuf message class.

        @message
        class Point:
            x: sint32
            y: sint32
            label: str | None
            tags: list[str]

    Every annotation (except `ClassVar`s) is a field, numbered in order from 1
    unless `field()` says otherwise. The class gets `__slots__`, a keyword-only
    constructor whose arguments all default to protobuf's defaults (0, 0.0,
    False, "", b"", a new empty list or dict, and None for messages, oneof
    members and `T | None` fields), `__eq__`, `__repr__`, `to_bytes()` and
    `from_bytes()`. Methods that the class body defines itself are kept.
    Fields are encoded in field-number order, whatever the order of the
    declarations.

    A value in the class body may only restate the field's protobuf default
    (`x: int32 = 0`, `tags: list[str] = []`): protobuf leaves fields holding
    their default out of the encoding, so no other default could survive a
    round trip. Writing it lets type checkers treat the argument as optional.

    Unknown fields (those the data has and the class does not) are kept:
    decoding stores their records, as read, in the slot `_unknown_fields`
    (see `unknown_fields()`; the constructor takes them as the keyword
    `_unknown_fields`), encoding writes them after the known fields, and
    `__eq__` compares them; `repr` leaves them out. `unknown_fields=False`
    drops them instead, which decodes a little faster. (In the descriptor the
    core compiles, keeping them is the bool option 50555 of
    `google.protobuf.MessageOptions`.)

    The class's protobuf name is its `__proto_name__` if the class body sets
    one, else its `__name__`; a class defined in the body of a message class
    is nested in it, as in .proto files. The package is the module global
    `__proto_package__` if the module sets one, else made from the module's
    name.

    Raises `SchemaError` when the class cannot be a message.
    """
    if type(unknown_fields) is not bool:
        raise TypeError(f"unknown_fields is a bool, not {type(unknown_fields).__name__}")

    # The caller's frame is the scope the class is defined in (see `_names`).
    if cls is None:

        def wrap(c: C) -> C:
            with _lock:
                return typing.cast(C, _define(c, unknown_fields, sys._getframe(1)))

        return wrap
    with _lock:
        return typing.cast(C, _define(cls, unknown_fields, sys._getframe(1)))


class Message:
    """An optional base class that lets type checkers see the methods that
    `@message` adds. It is not a message class by itself.

        @message
        class Point(Message):
            x: int32 = 0

        Point.from_bytes(Point(x=1).to_bytes())
    """

    __slots__ = ()
    __quillspar__: ClassVar[_core.Descriptor]

    def to_bytes(self) -> bytes:
        """Encode this message to protobuf wire bytes."""
        return to_bytes(self)

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Self:
        """Decode protobuf wire bytes into a new instance of this class."""
        return from_bytes(cls, data)

    def to_json(
        self,
        *,
        indent: int | None = None,
        sort_keys: bool = False,
        include_defaults: bool = False,
        enums_as_numbers: bool = False,
        proto_names: bool = False,
    ) -> str:
        """This message as JSON text, by protobuf's JSON mapping (see `quillspar.to_json`)."""
        return _json.to_json(
            self, indent=indent, sort_keys=sort_keys, include_defaults=include_defaults,
            enums_as_numbers=enums_as_numbers, proto_names=proto_names,
        )

    def to_dict(
        self, *, include_defaults: bool = False, enums_as_numbers: bool = False, proto_names: bool = False
    ) -> Any:
        """This message's JSON form as Python values (see `quillspar.to_dict`)."""
        return _json.to_dict(
            self, include_defaults=include_defaults, enums_as_numbers=enums_as_numbers, proto_names=proto_names
        )

    @classmethod
    def from_json(cls, text: str | bytes | bytearray | memoryview, *, ignore_unknown: bool = False) -> Self:
        """A new instance from JSON text (see `quillspar.from_json`)."""
        return _json.from_json(cls, text, ignore_unknown=ignore_unknown)

    @classmethod
    def from_dict(cls, value: Any, /, *, ignore_unknown: bool = False) -> Self:
        """A new instance from the Python values of its JSON form (see `quillspar.from_dict`)."""
        return _json.from_dict(cls, value, ignore_unknown=ignore_unknown)

    def which_oneof(self, oneof: str) -> str | None:
        """The name of the member of `oneof` that is set, or None (see `quillspar.which_oneof`)."""
        return _methods.which_oneof(self, oneof)

    def __replace__(self, /, **changes: Any) -> Self:
        """A copy with the given fields replaced; for `copy.replace(obj, field=value)`."""
        return typing.cast(Self, _methods.replace(self, changes))


def encode(message: object) -> bytes:
    """Encode a message instance to protobuf wire bytes."""
    return descriptor_of(message.__class__).encode(message)


def decode[M](cls: type[M], data: bytes | bytearray | memoryview) -> M:
    """Decode protobuf wire bytes into a new instance of the message class `cls`."""
    return from_bytes(cls, data)


def resolve(*classes: type) -> None:
    """Compile and link message classes now.

    With no argument, every message class that is still waiting for a name
    to be defined. Raises `SchemaError` for a name that is still unknown.
    """
    if not classes:
        with _lock:
            classes = pending()
    for cls in classes:
        ready(cls)


def unknown_fields(message: object) -> bytes:
    """The records of the fields that `message` was decoded with and its class
    does not know, as read (b"" when there are none, or when the class drops
    them)."""
    if _message_base(type(message)) is None:
        raise TypeError(f"expected a message, not {type(message).__name__}")
    data = getattr(message, UNKNOWN, None)
    return b"" if data is None else typing.cast(bytes, data)


def file_descriptors(*classes: type) -> list[bytes]:
    """Serialised proto3 `FileDescriptorProto`s that define the given message
    classes (and enums) and every message and enum type they reach, one file
    per package, named after it (`acme/v1.proto`), each after the files it
    depends on.

    The descriptors are those protoc writes for the matching .proto file:
    protobuf names, nesting, JSON names, field options, synthetic oneofs of
    proto3 `optional` fields. Fields keep the class's declaration order, with
    the members of a oneof together; map entry types follow a message's own
    nested types.
    """
    return _export.file_descriptors(classes, ready)
