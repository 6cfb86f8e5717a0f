"""The `message` decorator, the building, compiling and linking of message
classes, and encode/decode.

A decorated class is rebuilt with `__slots__` and generated `__init__`,
`__eq__` and `__repr__` methods, and described to the native core by a
`DescriptorProto` (see `_schema`). The core's `Descriptor` is compiled as soon
as every type the class refers to is known, and lands in the class attribute
`__quillspar__`; the core reads that attribute to encode and decode nested
messages. The fields that need a class are linked by number to the class their
annotation names, so names play no part in linking (see `_names` for them).

Annotations may name classes that do not exist yet (a class referring to
itself, or two classes referring to each other). Such a class stays pending
until the names can be evaluated: every later `@message` retries, and so do
the first construction, encode or decode, and `resolve()`, which report a
name that is still unknown as a `SchemaError`.

Enums: the core calls the object linked to an enum field with each decoded
number. This module links the `__getitem__` of a number-to-member table whose
misses return the number itself, so a decoded enum field holds the member when
the enum defines the number and the plain `int` otherwise (protobuf 3 enums
are open). Both compare equal to the number, and `isinstance(value, int)` holds
for either.
"""

import annotationlib
import builtins
import enum
import re
import sys
import types
import typing
from annotationlib import ForwardRef
from collections.abc import Callable, Iterable
from typing import Any, ClassVar, Final, Self, dataclass_transform, get_origin, overload

from . import _core, _export, _json, _methods
from ._names import (
    _BY_QUALNAME,
    _ENUMS,
    _MESSAGES,
    _adopt_nested,
    _enum_info,
    _lock,
    _MessageInfo,
    _package_of,
    _proto_name_of,
    _register,
    _set_parent,
    _type_name,
    find_class,
    full_name,
)
from ._schema import (
    MAP,
    NO_DEFAULT,
    OPTIONAL,
    REPEATED,
    Field,
    SchemaError,
    Unresolved,
    check_given_default,
    check_name,
    check_number,
    default_of,
    descriptor_proto,
    is_proto_identifier,
    map_entry_name,
    packable,
    parse_annotation,
)

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
    "FieldSpec",
]

# Names that message classes use for their own methods.
_RESERVED_NAMES: Final = frozenset({"to_bytes", "from_bytes"})
# The slot and constructor keyword that hold a message's unknown fields; the
# core passes and reads it by this name.
_UNKNOWN: Final = "_unknown_fields"

_PENDING: dict[type, None] = {}  # message classes without a descriptor yet, in definition order


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


# ---------------------------------------------------------------- annotations

def _is_classvar(annotation: object) -> bool:
    if isinstance(annotation, ForwardRef):
        annotation = annotation.__forward_arg__
    if isinstance(annotation, str):
        return re.match(r"\s*(\w+\.)?ClassVar\b", annotation) is not None
    return annotation is ClassVar or get_origin(annotation) is ClassVar


def _defined_later(info: _MessageInfo, name: str) -> type | None:
    """A class called `name`, seen in an enclosing scope of the class after it.

    This finds the classes that a forward reference means while they are
    being decorated, before their names are bound.
    """
    parts = info.cls.__qualname__.split(".")
    for i in range(len(parts), -1, -1):
        qualname = ".".join([*parts[:i], name])
        hit = _BY_QUALNAME.get((info.cls.__module__, qualname))
        if hit is not None and hit[0] > info.seq:
            return hit[1]
    return None


def _evaluator(info: _MessageInfo) -> Callable[[object], object]:
    def evaluate(ref: object) -> object:
        cell: object = None
        extra: dict[str, object] | None = None
        if isinstance(ref, ForwardRef):
            text = ref.__forward_arg__
            cell = getattr(ref, "__cell__", None)
            extra = getattr(ref, "__extra_names__", None)
        else:
            text = typing.cast(str, ref)
        try:
            code = compile(text, "<annotation>", "eval")
        except SyntaxError:
            raise SchemaError("it is not an expression") from None
        scope: dict[str, object] = dict(vars(info.cls))
        scope.setdefault(info.cls.__name__, info.cls)
        if isinstance(cell, types.CellType):
            try:
                scope[text] = cell.cell_contents
            except ValueError:
                pass
        elif isinstance(cell, dict):
            for name, c in cell.items():
                try:
                    scope.setdefault(name, c.cell_contents)
                except ValueError:
                    pass
        if extra:
            scope.update(extra)
        for name in code.co_names:
            if name not in scope and name not in info.globals and not hasattr(builtins, name):
                later = _defined_later(info, name)
                if later is not None:
                    scope[name] = later
        try:
            return eval(code, info.globals, scope)
        except NameError as exc:
            raise Unresolved(exc.name or str(exc)) from None
        except AttributeError as exc:
            raise Unresolved(f"{text} ({exc})") from None
        except Exception as exc:
            raise SchemaError(f"evaluating it failed: {exc!r}") from None

    return evaluate


def _annotation_source(info: _MessageInfo, f: Field) -> str:
    """The annotation as written in the class body, for error messages."""
    try:
        text = annotationlib.get_annotations(info.cls, format=annotationlib.Format.STRING)[f.name]
    except Exception:
        text = None
    if isinstance(text, str):
        return text
    annotation = f.annotation
    if isinstance(annotation, ForwardRef):
        return annotation.__forward_arg__
    return annotation if isinstance(annotation, str) else annotationlib.type_repr(annotation)


def _parse_fields(info: _MessageInfo, strict: bool) -> bool:
    """Work out the type of every field; False if some name is unknown yet.

    With `strict`, an unknown name is a `SchemaError` instead.
    """
    evaluate = _evaluator(info)
    for f in info.fields:
        if f.parsed:
            continue
        where = f"{info.where}.{f.name}"
        try:
            shape, key, value = parse_annotation(f.annotation, evaluate, _MESSAGES.__contains__)
        except Unresolved as exc:
            if not strict:
                return False
            raise SchemaError(
                f"{where}: cannot resolve {exc.name!r} in annotation {_annotation_source(info, f)!r}"
            ) from None
        except SchemaError as exc:
            source = _annotation_source(info, f)
            raise SchemaError(f"{where}: unsupported annotation {source!r}: {exc}") from None
        if f.oneof is not None:
            if shape in (REPEATED, MAP):
                kind = "repeated" if shape == REPEATED else "map"
                raise SchemaError(f"{where}: a {kind} field cannot be a member of oneof {f.oneof!r}")
            shape = OPTIONAL
        if not f.packed and not (shape == REPEATED and packable(value)):
            raise SchemaError(f"{where}: packed=False applies to repeated number, bool and enum fields only")
        if isinstance(value, type) and issubclass(value, enum.IntEnum):
            _enum_info(where, value)
        f.shape, f.key, f.value = shape, key, value
        try:
            check_given_default(where, f)
        except SchemaError:
            f.value = None
            raise
    entries: dict[str, str] = {}
    nested = {child.name: child.where for child in info.nested}
    for f in info.fields:
        if f.shape == MAP:
            entry = map_entry_name(f.proto_name)
            if entry in entries:
                raise SchemaError(
                    f"{info.where}.{f.name}: map fields {entries[entry]!r} and {f.proto_name!r} "
                    f"would both need an entry type called {entry}"
                )
            if entry in nested:
                raise SchemaError(
                    f"{info.where}.{f.name}: the map's entry type would be called {entry}, "
                    f"the protobuf name of nested type {nested[entry]}"
                )
            entries[entry] = f.proto_name
    if "__init__" not in vars(info.cls) or getattr(vars(info.cls)["__init__"], "_quillspar_bootstrap", False):
        info.cls.__init__ = _make_init(info.cls, info.fields, info.keep_unknown)  # type: ignore[misc]
    return True


# ---------------------------------------------------------------- generated methods

def _make_init(cls: type, fields: list[Field], keep_unknown: bool) -> Callable[..., None]:
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
        params.append(f"{_UNKNOWN}=b''")
        body.append(f"    {self_name}.{_UNKNOWN} = {_UNKNOWN}")
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
        mine.append(f"(self.{_UNKNOWN} or b'')")
        theirs.append(f"(other.{_UNKNOWN} or b'')")
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


def _to_bytes(self: object) -> bytes:
    """Encode this message to protobuf wire bytes."""
    try:
        descriptor: _core.Descriptor = self.__quillspar__  # type: ignore[attr-defined]
    except AttributeError:
        descriptor = _ready(self.__class__)
    return descriptor.encode(self)


def _from_bytes[M](cls: type[M], data: bytes | bytearray | memoryview) -> M:
    """Decode protobuf wire bytes into a new instance of this class."""
    try:
        descriptor: _core.Descriptor = cls.__quillspar__  # type: ignore[attr-defined]
    except AttributeError:
        descriptor = _ready(cls)
    if data.__class__ is not bytes:
        data = _as_bytes(data)
    return descriptor.decode(cls, data)


def _as_bytes(data: object) -> bytes:
    if isinstance(data, bytes):
        return data
    if isinstance(data, str):
        raise TypeError("expected bytes, bytearray or memoryview, not str")
    return memoryview(data).tobytes()  # type: ignore[arg-type]


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


def _rebuild(cls: type, fields: list[Field], keep_unknown: bool) -> type:
    """The class again, with slots for the fields and the generated methods."""
    names = [f.name for f in fields]
    namespace = dict(vars(cls))
    namespace.pop("__dict__", None)
    namespace.pop("__weakref__", None)
    for name in names:
        namespace.pop(name, None)
    namespace["__slots__"] = (*names, _UNKNOWN) if keep_unknown else tuple(names)
    generated: dict[str, object] = {
        "__eq__": _make_eq(names, keep_unknown),
        "__repr__": _methods.make_repr(fields),
        "__replace__": _methods.make_replace(fields, keep_unknown),
        "to_bytes": _to_bytes,
        "from_bytes": classmethod(_from_bytes),
        "which_oneof": _methods.make_which_oneof(fields),
        **_json.METHODS,
    }
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


def _bootstrap_init(info: _MessageInfo) -> Callable[..., None]:
    def __init__(self: object, **kwargs: object) -> None:
        _ready(info.cls)
        info.cls.__init__(self, **kwargs)  # type: ignore[misc]

    __init__._quillspar_bootstrap = True  # type: ignore[attr-defined]
    __init__.__qualname__ = f"{info.cls.__qualname__}.__init__"
    return __init__


# ---------------------------------------------------------------- definition

def _collect_fields(cls: type) -> list[Field]:
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
        if name == _UNKNOWN:
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


def _define(cls: type, keep_unknown: bool) -> type:
    if not isinstance(cls, type):
        raise TypeError(f"@message decorates classes, not {type(cls).__name__} objects")
    where = cls.__qualname__
    if cls in _MESSAGES:
        raise SchemaError(f"{where} is already a message class")
    for base in cls.__mro__[1:]:
        if base in _MESSAGES:
            raise SchemaError(f"{where}: a message class cannot derive from message class {base.__qualname__}")
    if issubclass(cls, enum.Enum):
        raise SchemaError(f"{where}: enums need no decorator; derive them from enum.IntEnum")
    if "__slots__" in vars(cls):
        raise SchemaError(f"{where}: @message gives the class its __slots__; remove them")
    fields = _collect_fields(cls)
    _proto_name_of(cls)
    _package_of(cls)
    new = _rebuild(cls, fields, keep_unknown)
    info = _MessageInfo(new, fields, keep_unknown)
    _MESSAGES[new] = info
    try:
        _adopt_nested(info)
        parsed = _parse_fields(info, strict=False)
    except BaseException:
        del _MESSAGES[new]
        for child in info.nested:  # the class is gone: its nested types stand alone again
            _set_parent(child, None)
        raise
    _register(info)
    if not parsed:
        new.__init__ = _bootstrap_init(info)  # type: ignore[misc]
    _PENDING[new] = None
    for pending in list(_PENDING):
        pending_info = _MESSAGES[pending]
        if pending_info.descriptor is None:
            try:
                _finish(pending_info, strict=False)
            except SchemaError:
                pass  # reported when the class is first used
    return new


def _finish(root: _MessageInfo, strict: bool) -> bool:
    """Compile and link the class and every message class it reaches.

    Nothing gets a descriptor unless all of them do, so a class that has one
    can always encode and decode.
    """
    closure: list[_MessageInfo] = []
    seen: set[type] = set()
    stack = [root]
    while stack:
        info = stack.pop()
        if info.cls in seen or info.descriptor is not None:
            continue
        seen.add(info.cls)
        closure.append(info)
        if not _parse_fields(info, strict):
            return False
        for f in info.fields:
            if isinstance(f.value, type) and f.value in _MESSAGES:
                stack.append(_MESSAGES[f.value])
    descriptors = []
    for info in closure:
        info.proto = descriptor_proto(
            info.name, info.full_name, info.fields, _type_name, keep_unknown=info.keep_unknown
        )
        descriptors.append(_core.compile_descriptor(info.proto))
    for info, descriptor in zip(closure, descriptors):
        # The core names the fields that need a class; the class is the one
        # the field's annotation gave.
        by_number = {f.number: f.value for f in info.fields}
        links: dict[int, object] = {}
        for number, _ in descriptor.ref_fields():
            target = by_number[number]
            enum_info = _ENUMS.get(target) if isinstance(target, type) else None
            links[number] = enum_info.lookup if enum_info is not None else target
        descriptor.link(links)
    for info, descriptor in zip(closure, descriptors):
        info.descriptor = descriptor
        type.__setattr__(info.cls, "__quillspar__", descriptor)
        _PENDING.pop(info.cls, None)
    return True


def _ready(cls: object) -> _core.Descriptor:
    """The class's descriptor, compiling and linking it first if need be."""
    info = _MESSAGES.get(cls) if isinstance(cls, type) else None
    if info is None:
        if isinstance(cls, type):
            for base in cls.__mro__[1:]:
                if base in _MESSAGES:
                    return _ready(base)
            raise TypeError(f"{cls.__qualname__} is not a message class")
        raise TypeError(f"expected a message class, not {type(cls).__name__}")
    if info.descriptor is None:
        with _lock:
            if info.descriptor is None:
                _finish(info, strict=True)
    assert info.descriptor is not None
    return info.descriptor


# ---------------------------------------------------------------- public API

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

    def wrap(c: C) -> C:
        with _lock:
            return typing.cast(C, _define(c, unknown_fields))

    if cls is None:
        return wrap
    return wrap(cls)


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
        return _to_bytes(self)

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Self:
        """Decode protobuf wire bytes into a new instance of this class."""
        return _from_bytes(cls, data)

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
    try:
        descriptor: _core.Descriptor = message.__class__.__quillspar__  # type: ignore[attr-defined]
    except AttributeError:
        descriptor = _ready(message.__class__)
    return descriptor.encode(message)


def decode[M](cls: type[M], data: bytes | bytearray | memoryview) -> M:
    """Decode protobuf wire bytes into a new instance of the message class `cls`."""
    return _from_bytes(cls, data)


def resolve(*classes: type) -> None:
    """Compile and link message classes now.

    With no argument, every message class that is still waiting for a name
    to be defined. Raises `SchemaError` for a name that is still unknown.
    """
    if not classes:
        with _lock:
            classes = tuple(_PENDING)
    for cls in classes:
        _ready(cls)


def unknown_fields(message: object) -> bytes:
    """The records of the fields that `message` was decoded with and its class
    does not know, as read (b"" when there are none, or when the class drops
    them)."""
    if not any(c in _MESSAGES for c in type(message).__mro__):
        raise TypeError(f"expected a message, not {type(message).__name__}")
    data = getattr(message, _UNKNOWN, None)
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
    return _export.file_descriptors(classes, _ready)
