"""Protobuf names of message classes and enums, and the registry of both.

Each message class and enum that the package has seen has a `_TypeInfo`: its
own protobuf name (`__proto_name__`, else the class name), its package (the
module's `__proto_package__`, else one made from the module name) and the
message class it is nested in. Nesting is learnt late: the classes in a class
body are decorated before the class itself, which adopts them when it is
decorated in turn; so full names are computed, not stored.

`find_class` looks classes up by full name; of several classes with one name
(a module reloaded, say) the last one defined wins.
"""

import annotationlib
import enum
import itertools
import re
import sys
import threading
import typing
from collections.abc import Iterable
from typing import Any

from . import _core
from ._schema import Field, SchemaError, enum_values, is_proto_identifier

__all__ = ["full_name", "find_class"]

# Guards the registries and class definition as a whole.
_lock = threading.RLock()
_sequence = itertools.count(1)


class _TypeInfo:
    """What the package knows of a message class or enum: its protobuf name,
    package and the message class it is nested in."""

    __slots__ = ("cls", "name", "package", "seq", "parent", "nested")

    def __init__(self, cls: type) -> None:
        self.cls = cls
        self.name = _proto_name_of(cls)  # the short protobuf name
        self.package = _package_of(cls)
        self.seq = next(_sequence)
        self.parent: _MessageInfo | None = None  # set when the enclosing message class is decorated
        self.nested: list[_TypeInfo] = []  # message classes and enums defined in the class body

    @property
    def where(self) -> str:
        return self.cls.__qualname__

    @property
    def full_name(self) -> str:
        """The full name with a leading dot, as in `FieldDescriptorProto.type_name`."""
        if self.parent is not None:
            return f"{self.parent.full_name}.{self.name}"
        return f".{self.package}.{self.name}" if self.package else f".{self.name}"

    @property
    def root(self) -> _TypeInfo:
        """The outermost enclosing type, the one a .proto file defines at its top level."""
        info = self
        while info.parent is not None:
            info = info.parent
        return info


class _EnumInfo(_TypeInfo):
    __slots__ = ("values", "lookup")

    def __init__(self, cls: type[enum.IntEnum], values: list[tuple[str, int]]) -> None:
        super().__init__(cls)
        self.values = values
        self.lookup = _OpenEnum({int(member): member for member in cls}).__getitem__


class _OpenEnum(dict[int, object]):
    """Number to member; a number without a member maps to itself."""

    __slots__ = ()

    def __missing__(self, number: int) -> int:
        return number


class _MessageInfo(_TypeInfo):
    __slots__ = ("fields", "globals", "keep_unknown", "descriptor", "proto")

    def __init__(self, cls: type, fields: list[Field], keep_unknown: bool) -> None:
        super().__init__(cls)
        self.fields = fields  # declaration order
        self.globals = _globals_of(cls)
        self.keep_unknown = keep_unknown
        self.descriptor: _core.Descriptor | None = None
        self.proto = b""  # the DescriptorProto compiled for the core


_MESSAGES: dict[type, _MessageInfo] = {}
_ENUMS: dict[type, _EnumInfo] = {}
_BY_FULL_NAME: dict[str, type] = {}  # full name (no leading dot) -> the last class defined with it
_BY_QUALNAME: dict[tuple[str, str], tuple[int, type]] = {}  # (module, qualname) -> (seq, class)


def _globals_of(cls: type) -> dict[str, Any]:
    """The global namespace that the class's annotations are evaluated in."""
    annotate = annotationlib.get_annotate_from_class_namespace(vars(cls))
    found = getattr(annotate, "__globals__", None)
    if isinstance(found, dict):
        return found
    module = sys.modules.get(cls.__module__)
    return vars(module) if module is not None else {}


def _package_of(cls: type) -> str:
    """The module's `__proto_package__`, else a name made from the module's."""
    given = _globals_of(cls).get("__proto_package__")
    if given is not None:
        if not isinstance(given, str) or (given and not all(map(is_proto_identifier, given.split(".")))):
            raise SchemaError(
                f"{cls.__qualname__}: __proto_package__ of module {cls.__module__} must be "
                f"a dotted name such as 'acme.billing.v1', not {given!r}"
            )
        return given
    parts = [re.sub(r"\W", "_", part) or "_" for part in str(cls.__module__).split(".")]
    return ".".join("_" + p if p[0].isdigit() else p for p in parts)


def _proto_name_of(cls: type) -> str:
    """The class's `__proto_name__`, else its `__name__`."""
    given = vars(cls).get("__proto_name__")
    if given is None:
        name = re.sub(r"\W", "_", cls.__name__) or "_"
        return "_" + name if name[0].isdigit() else name
    if not is_proto_identifier(given):
        raise SchemaError(f"{cls.__qualname__}: __proto_name__ must be an ASCII identifier, not {given!r}")
    return typing.cast(str, given)


def _subtree(info: _TypeInfo) -> Iterable[_TypeInfo]:
    yield info
    for child in info.nested:
        yield from _subtree(child)


def _register(info: _TypeInfo) -> None:
    _BY_QUALNAME[(info.cls.__module__, info.cls.__qualname__)] = (info.seq, info.cls)
    _BY_FULL_NAME[info.full_name[1:]] = info.cls


def _set_parent(child: _TypeInfo, parent: _MessageInfo | None) -> None:
    """Nest `child` in `parent` (None: make it top-level again); the full
    names of the child and of its own nested types change with it."""
    moved = list(_subtree(child))
    for info in moved:
        if _BY_FULL_NAME.get(info.full_name[1:]) is info.cls:
            del _BY_FULL_NAME[info.full_name[1:]]
    child.parent = parent
    if parent is not None:
        parent.nested.append(child)
    for info in moved:
        _BY_FULL_NAME[info.full_name[1:]] = info.cls


def _adopt_nested(info: _MessageInfo) -> None:
    """Adopt the message classes and enums defined in the class body."""
    prefix = info.cls.__qualname__ + "."
    for attr, member in vars(info.cls).items():
        if not isinstance(member, type) or member.__qualname__ != prefix + attr:
            continue
        child: _TypeInfo | None = _MESSAGES.get(member)
        if child is None and issubclass(member, enum.IntEnum):
            try:
                child = _enum_info(f"{info.where}.{attr}", member)
            except SchemaError:
                continue  # not a protobuf enum; a field using it reports why
        if child is not None and child.parent is None:
            _set_parent(child, info)


def _enum_info(where: str, cls: type[enum.IntEnum]) -> _EnumInfo:
    info = _ENUMS.get(cls)
    if info is None:
        info = _EnumInfo(cls, enum_values(where, cls))
        _register(info)
        _ENUMS[cls] = info
    return info


def _type_name(cls: type) -> str:
    return (_MESSAGES.get(cls) or _ENUMS[cls]).full_name


# ---------------------------------------------------------------- public API

def full_name(cls: type) -> str:
    """The protobuf full name of a message class or `enum.IntEnum`, as in
    `"acme.v1.Order.Item"` (package, enclosing messages, own name)."""
    with _lock:
        info: _TypeInfo | None = _MESSAGES.get(cls) if isinstance(cls, type) else None
        if info is None:
            if not (isinstance(cls, type) and issubclass(cls, enum.IntEnum)):
                raise TypeError(f"expected a message class or an enum.IntEnum, not {cls!r}")
            info = _enum_info(cls.__qualname__, cls)
        return info.full_name[1:]


def find_class(full_name: str) -> type | None:
    """The message class (or enum) with this protobuf full name, such as
    `"acme.v1.Order"`, or None. Of several classes with one name, the one
    defined last."""
    if not isinstance(full_name, str):
        raise TypeError(f"a full name is a str, not {type(full_name).__name__}")
    return _BY_FULL_NAME.get(full_name.removeprefix("."))
