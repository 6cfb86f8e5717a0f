"""Building a message class: reading its body into `Field` records, and the
class again with `__slots__` and generated `__init__` and `__eq__`.

Nothing here knows of descriptors or of the other methods a message class
gets: the caller passes them (`to_bytes`, `from_bytes`, `__repr__`, the JSON
methods, ...) to `rebuild`.
"""

import annotationlib
import re
import sys
import types
import typing
from collections.abc import Callable, Iterable
from typing import ClassVar, Final, get_origin

from ._schema import (
    NO_DEFAULT,
    Field,
    SchemaError,
    check_name,
    check_number,
    default_of,
    is_proto_identifier,
    source_text,
)

__all__ = ["FieldSpec", "UNKNOWN", "collect_fields", "make_init", "rebuild"]

# Names that message classes use for their own methods.
_RESERVED_NAMES: Final = frozenset({"to_bytes", "from_bytes"})
# The slot and constructor keyword that hold a message's unknown fields; the
# core passes and reads it by this name.
UNKNOWN: Final = "_unknown_fields"


class FieldSpec:
    """What `field()` puts in a class body: a field's number, oneof and options."""

    __slots__ = ("number", "oneof", "packed", "name", "json_name", "deprecated")

    def __init__(
        self,
        number: int | None,
        oneof: str | None,
        packed: bool = True,
        name: str | None = None,
        json_name: str | None = None,
        deprecated: bool = False,
    ) -> None:
        self.number = number
        self.oneof = oneof
        self.packed = packed
        self.name = name
        self.json_name = json_name
        self.deprecated = deprecated

    def __repr__(self) -> str:
        extra = "".join(
            f", {k}={getattr(self, k)!r}"
            for k, default in (("packed", True), ("name", None), ("json_name", None), ("deprecated", False))
            if getattr(self, k) != default
        )
        return f"field({self.number!r}, oneof={self.oneof!r}{extra})"


def _is_classvar(annotation: object) -> bool:
    text = source_text(annotation)
    if text is not None:
        return re.match(r"\s*(\w+\.)?ClassVar\b", text) is not None
    return annotation is ClassVar or get_origin(annotation) is ClassVar


def collect_fields(cls: type) -> list[Field]:
    where = cls.__qualname__
    annotations = annotationlib.get_annotations(cls, format=annotationlib.Format.FORWARDREF)
    body = vars(cls)
    fields: list[Field] = []
    owners: dict[int, str] = {}
    proto_names: dict[str, str] = {}
    next_number = 1
    for name, annotation in annotations.items():
        if _is_classvar(annotation):
            continue
        field_where = f"{where}.{name}"
        check_name(field_where, name, "field")
        if name.startswith("__"):
            raise SchemaError(f"{field_where}: field names cannot start with two underscores")
        if name in _RESERVED_NAMES:
            raise SchemaError(f"{field_where}: {name!r} is the name of a message class method")
        if name == UNKNOWN:
            raise SchemaError(f"{field_where}: {name!r} holds the message's unknown fields")
        given = body.get(name, NO_DEFAULT)
        spec = given if isinstance(given, FieldSpec) else FieldSpec(None, None)
        if isinstance(given, FieldSpec):
            given = NO_DEFAULT
        number: object = next_number if spec.number is None else spec.number
        number = check_number(field_where, number)
        if number in owners:
            raise SchemaError(f"{field_where}: field number {number} is already used by field {owners[number]!r}")
        owners[number] = name
        next_number = number + 1
        oneof = spec.oneof
        if oneof is not None:
            if not isinstance(oneof, str):
                raise SchemaError(f"{field_where}: a oneof is named by a str, not {type(oneof).__name__}")
            check_name(field_where, oneof, "oneof")
        for option in ("packed", "deprecated"):
            if type(getattr(spec, option)) is not bool:
                raise SchemaError(f"{field_where}: {option} is a bool, not {type(getattr(spec, option)).__name__}")
        proto_name = name if spec.name is None else spec.name
        if not is_proto_identifier(proto_name):
            raise SchemaError(f"{field_where}: protobuf name {proto_name!r} is not an ASCII identifier")
        if proto_name in proto_names:
            raise SchemaError(
                f"{field_where}: protobuf name {proto_name!r} is already used by field {proto_names[proto_name]!r}"
            )
        proto_names[proto_name] = name
        if spec.json_name is not None and (not isinstance(spec.json_name, str) or not spec.json_name):
            raise SchemaError(f"{field_where}: json_name must be a non-empty str, not {spec.json_name!r}")
        fields.append(
            Field(
                name,
                number,
                oneof,
                annotation,
                given,
                proto_name=proto_name,
                json_name=spec.json_name,
                packed=spec.packed,
                deprecated=spec.deprecated,
            )
        )
    for name, value in body.items():
        if isinstance(value, FieldSpec) and name not in annotations:
            raise SchemaError(f"{where}.{name}: field() needs an annotation, as in `{name}: int32 = field(...)`")
    for f in fields:
        if f.oneof is not None and f.oneof in proto_names:
            raise SchemaError(f"{where}.{f.name}: oneof {f.oneof!r} has the name of a field")
    return fields


def make_init(cls: type, fields: list[Field], keep_unknown: bool) -> Callable[..., None]:
    names = {f.name for f in fields}
    self_name = "self"
    while self_name in names:
        self_name += "_"
    namespace: dict[str, object] = {}
    params = []
    body = []
    for i, f in enumerate(fields):
        n = f.name
        default = default_of(f)
        if default is list:
            params.append(f"{n}=None")
            body.append(f"    {self_name}.{n} = [] if {n} is None else {n}")
        elif default is dict:
            params.append(f"{n}=None")
            body.append(f"    {self_name}.{n} = {{}} if {n} is None else {n}")
        else:
            namespace[f"_d{i}"] = default
            params.append(f"{n}=_d{i}")
            body.append(f"    {self_name}.{n} = {n}")
    if keep_unknown:
        params.append(f"{UNKNOWN}=b''")
        body.append(f"    {self_name}.{UNKNOWN} = {UNKNOWN}")
    if params:
        source = f"def __init__({self_name}, *, {', '.join(params)}):\n" + "\n".join(body) + "\n"
    else:
        source = f"def __init__({self_name}):\n    pass\n"
    exec(source, namespace)
    init = typing.cast(Callable[..., None], namespace["__init__"])
    init.__qualname__ = f"{cls.__qualname__}.__init__"
    init.__module__ = cls.__module__
    return init


def _make_eq(names: list[str], keep_unknown: bool) -> Callable[[object, object], object]:
    # Unknown fields count: two messages differing only there encode differently.
    # None (which the encoder accepts) equals b"".
    mine = [f"self.{n}" for n in names]
    theirs = [f"other.{n}" for n in names]
    if keep_unknown:
        mine.append(f"(self.{UNKNOWN} or b'')")
        theirs.append(f"(other.{UNKNOWN} or b'')")
    compare = f"({', '.join(mine)},) == ({', '.join(theirs)},)" if mine else "True"
    source = (
        "def __eq__(self, other):\n"
        "    if other.__class__ is self.__class__:\n"
        f"        return {compare}\n"
        "    return NotImplemented\n"
    )
    namespace: dict[str, object] = {}
    exec(source, namespace)
    return typing.cast(Callable[[object, object], object], namespace["__eq__"])


def _fix_class_cells(old: type, new: type) -> None:
    """Point `__class__` cells (zero-argument super) at the rebuilt class."""
    for member in vars(new).values():
        functions: Iterable[object]
        if isinstance(member, property):
            functions = (member.fget, member.fset, member.fdel)
        elif isinstance(member, (classmethod, staticmethod)):
            functions = (member.__func__,)
        else:
            functions = (member,)
        for function in functions:
            if not isinstance(function, types.FunctionType) or function.__closure__ is None:
                continue
            try:
                index = function.__code__.co_freevars.index("__class__")
            except ValueError:
                continue
            cell = function.__closure__[index]
            try:
                if cell.cell_contents is old:
                    cell.cell_contents = new
            except ValueError:
                pass


def rebuild(cls: type, fields: list[Field], keep_unknown: bool, methods: dict[str, object]) -> type:
    """The class again, with slots for the fields, the generated methods and
    `methods`; what the class body defines itself is kept."""
    names = [f.name for f in fields]
    namespace = dict(vars(cls))
    namespace.pop("__dict__", None)
    namespace.pop("__weakref__", None)
    for name in names:
        namespace.pop(name, None)
    namespace["__slots__"] = (*names, UNKNOWN) if keep_unknown else tuple(names)
    generated: dict[str, object] = {"__eq__": _make_eq(names, keep_unknown), **methods}
    for name, value in generated.items():
        if name not in names:  # a field of that name wins; the function forms still work
            namespace.setdefault(name, value)
    clear = getattr(sys, "_clear_type_descriptors", None)
    if clear is not None:
        clear(cls)
    new = type(cls)(cls.__name__, cls.__bases__, namespace)
    new.__qualname__ = cls.__qualname__
    _fix_class_cells(cls, new)
    return new
