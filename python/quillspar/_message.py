"""The `message` decorator, the registry of message classes, and encode/decode.

A decorated class is rebuilt with `__slots__` and generated `__init__`,
`__eq__` and `__repr__` methods, and described to the native core by a
`DescriptorProto` (see `_schema`). The core's `Descriptor` is compiled as soon
as every type the class refers to is known, and lands in the class attribute
`__quillspar__`; the core reads that attribute to encode and decode nested
messages.

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
import itertools
import re
import reprlib
import sys
import threading
import types
import typing
from annotationlib import ForwardRef
from collections.abc import Callable, Iterable
from typing import Any, ClassVar, Final, Self, dataclass_transform, get_origin, overload

from . import _core
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
    enum_descriptor_proto,
    enum_values,
    file_descriptor_proto,
    map_entry_name,
    parse_annotation,
)
from ._types import Scalar

__all__ = ["message", "field", "Message", "encode", "decode", "resolve", "FieldSpec"]

# Names that message classes use for their own methods.
_RESERVED_NAMES: Final = frozenset({"to_bytes", "from_bytes"})

_lock = threading.RLock()
_sequence = itertools.count(1)


class FieldSpec:
    """What `field()` puts in a class body: an explicit number and a oneof."""

    __slots__ = ("number", "oneof")

    def __init__(self, number: int | None, oneof: str | None) -> None:
        self.number = number
        self.oneof = oneof

    def __repr__(self) -> str:
        return f"field({self.number!r}, oneof={self.oneof!r})"


def field(number: int | None = None, *, oneof: str | None = None) -> Any:
    """Give a field an explicit number, or make it a member of a oneof.

        @message
        class Shape:
            name: str
            circle: Circle | None = field(oneof="kind")
            square: Square | None = field(oneof="kind")
            area: double = field(10)

    Fields without an explicit number take the number after the previous
    field's (the first field takes 1). Members of a oneof have explicit
    presence: they hold None unless set, and at most one member may be set
    when the message is encoded.

    Type checkers see every field that has a value in the class body, a
    `field()` included, as an optional constructor argument, and every bare
    annotation as a required one. At run time all of them are optional.
    """
    return FieldSpec(number, oneof)


class _EnumInfo:
    __slots__ = ("cls", "short", "package", "seq", "values", "lookup")

    def __init__(self, cls: type[enum.IntEnum], short: str, package: str, values: list[tuple[str, int]]) -> None:
        self.cls = cls
        self.short = short
        self.package = package
        self.seq = next(_sequence)
        self.values = values
        self.lookup = _OpenEnum({int(member): member for member in cls}).__getitem__


class _OpenEnum(dict[int, object]):
    """Number to member; a number without a member maps to itself."""

    __slots__ = ()

    def __missing__(self, number: int) -> int:
        return number


class _MessageInfo:
    __slots__ = ("cls", "short", "package", "seq", "fields", "globals", "descriptor", "proto")

    def __init__(self, cls: type, fields: list[Field]) -> None:
        self.cls = cls
        self.short = ""
        self.package = _package_of(cls)
        self.seq = next(_sequence)
        self.fields = fields
        self.globals = _globals_of(cls)
        self.descriptor: _core.Descriptor | None = None
        self.proto = b""

    @property
    def where(self) -> str:
        return self.cls.__qualname__

    @property
    def full_name(self) -> str:
        return _full_name(self.package, self.short)


_MESSAGES: dict[type, _MessageInfo] = {}
_ENUMS: dict[type, _EnumInfo] = {}
_BY_SHORT: dict[str, type] = {}  # short name -> message class or enum
_BY_QUALNAME: dict[tuple[str, str], tuple[int, type]] = {}  # (module, qualname) -> (seq, class)
_PENDING: dict[type, None] = {}  # message classes without a descriptor yet, in definition order


def _globals_of(cls: type) -> dict[str, Any]:
    """The global namespace that the class's annotations are evaluated in."""
    annotate = annotationlib.get_annotate_from_class_namespace(vars(cls))
    found = getattr(annotate, "__globals__", None)
    if isinstance(found, dict):
        return found
    module = sys.modules.get(cls.__module__)
    return vars(module) if module is not None else {}


def _package_of(cls: type) -> str:
    parts = [re.sub(r"\W", "_", part) or "_" for part in str(cls.__module__).split(".")]
    return ".".join("_" + p if p[0].isdigit() else p for p in parts)


def _full_name(package: str, short: str) -> str:
    return f".{package}.{short}" if package else f".{short}"


def _claim_short_name(cls: type) -> str:
    """A name for the type, unique among all message classes and enums."""
    qualname = [p for p in cls.__qualname__.split(".") if p != "<locals>"]
    candidates = [cls.__name__, "_".join(qualname)]
    for n in itertools.count(2):
        candidates.append(f"{'_'.join(qualname)}_{n}")
        for candidate in candidates:
            if candidate.isidentifier() and candidate not in _BY_SHORT:
                _BY_SHORT[candidate] = cls
                return candidate
        candidates.clear()
    raise AssertionError("unreachable")


def _register(cls: type, seq: int) -> str:
    _BY_QUALNAME[(cls.__module__, cls.__qualname__)] = (seq, cls)
    return _claim_short_name(cls)


def _enum_info(where: str, cls: type[enum.IntEnum]) -> _EnumInfo:
    info = _ENUMS.get(cls)
    if info is None:
        values = enum_values(where, cls)
        info = _EnumInfo(cls, "", _package_of(cls), values)
        info.short = _register(cls, info.seq)
        _ENUMS[cls] = info
    return info


def _type_name(cls: type) -> str:
    info = _MESSAGES.get(cls) or _ENUMS[cls]
    return _full_name(info.package, info.short)


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
        if isinstance(value, type) and issubclass(value, enum.IntEnum):
            _enum_info(where, value)
        f.shape, f.key, f.value = shape, key, value
        try:
            check_given_default(where, f)
        except SchemaError:
            f.value = None
            raise
    entries: dict[str, str] = {}
    for f in info.fields:
        if f.shape == MAP:
            entry = map_entry_name(f.name)
            if entry in entries:
                raise SchemaError(
                    f"{info.where}.{f.name}: map fields {entries[entry]!r} and {f.name!r} "
                    f"would both need an entry type called {entry}"
                )
            entries[entry] = f.name
    if "__init__" not in vars(info.cls) or getattr(vars(info.cls)["__init__"], "_quillspar_bootstrap", False):
        info.cls.__init__ = _make_init(info.cls, info.fields)  # type: ignore[misc]
    return True


# ---------------------------------------------------------------- generated methods

def _make_init(cls: type, fields: list[Field]) -> Callable[..., None]:
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
    if params:
        source = f"def __init__({self_name}, *, {', '.join(params)}):\n" + "\n".join(body) + "\n"
    else:
        source = f"def __init__({self_name}):\n    pass\n"
    exec(source, namespace)
    init = typing.cast(Callable[..., None], namespace["__init__"])
    init.__qualname__ = f"{cls.__qualname__}.__init__"
    init.__module__ = cls.__module__
    return init


def _make_eq(names: list[str]) -> Callable[[object, object], object]:
    if names:
        mine = ", ".join(f"self.{n}" for n in names)
        theirs = ", ".join(f"other.{n}" for n in names)
        compare = f"({mine},) == ({theirs},)"
    else:
        compare = "True"
    source = (
        "def __eq__(self, other):\n"
        "    if other.__class__ is self.__class__:\n"
        f"        return {compare}\n"
        "    return NotImplemented\n"
    )
    namespace: dict[str, object] = {}
    exec(source, namespace)
    return typing.cast(Callable[[object, object], object], namespace["__eq__"])


def _make_repr(names: list[str]) -> Callable[[object], str]:
    template = ", ".join(f"{n}=%r" for n in names)
    values = "".join(f"self.{n}, " for n in names)
    source = (
        "def __repr__(self):\n"
        f"    return '%s({template})' % (self.__class__.__qualname__, {values})\n"
    )
    namespace: dict[str, object] = {}
    exec(source, namespace)
    return reprlib.recursive_repr()(typing.cast(Callable[[object], str], namespace["__repr__"]))


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


def _rebuild(cls: type, fields: list[Field]) -> type:
    """The class again, with slots for the fields and the generated methods."""
    names = [f.name for f in fields]
    namespace = dict(vars(cls))
    namespace.pop("__dict__", None)
    namespace.pop("__weakref__", None)
    for name in names:
        namespace.pop(name, None)
    namespace["__slots__"] = tuple(names)
    generated: dict[str, object] = {
        "__eq__": _make_eq(names),
        "__repr__": _make_repr(names),
        "to_bytes": _to_bytes,
        "from_bytes": classmethod(_from_bytes),
    }
    for name, value in generated.items():
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
        given = body.get(name, NO_DEFAULT)
        number: object = None
        oneof = None
        if isinstance(given, FieldSpec):
            number, oneof, given = given.number, given.oneof, NO_DEFAULT
        if number is None:
            number = next_number
        number = check_number(field_where, number)
        if number in owners:
            raise SchemaError(f"{field_where}: field number {number} is already used by field {owners[number]!r}")
        owners[number] = name
        next_number = number + 1
        if oneof is not None:
            if not isinstance(oneof, str):
                raise SchemaError(f"{field_where}: a oneof is named by a str, not {type(oneof).__name__}")
            check_name(field_where, oneof, "oneof")
        fields.append(Field(name, number, oneof, annotation, given))
    for name, value in body.items():
        if isinstance(value, FieldSpec) and name not in annotations:
            raise SchemaError(f"{where}.{name}: field() needs an annotation, as in `{name}: int32 = field(...)`")
    field_names = {f.name for f in fields}
    last_oneof = None
    closed: set[str] = set()
    for f in fields:
        if f.oneof in field_names:
            raise SchemaError(f"{where}.{f.name}: oneof {f.oneof!r} has the name of a field")
        if f.oneof != last_oneof:
            if last_oneof is not None:
                closed.add(last_oneof)
            if f.oneof in closed:
                raise SchemaError(
                    f"{where}.{f.name}: the members of oneof {f.oneof!r} must be declared one after another"
                )
        last_oneof = f.oneof
    return fields


def _define(cls: type) -> type:
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
    new = _rebuild(cls, fields)
    info = _MessageInfo(new, fields)
    _MESSAGES[new] = info
    try:
        parsed = _parse_fields(info, strict=False)
    except BaseException:
        del _MESSAGES[new]
        raise
    info.short = _register(new, info.seq)
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
        info.proto = descriptor_proto(info.short, info.full_name, info.fields, _type_name)
        descriptors.append(_core.compile_descriptor(info.proto))
    for info, descriptor in zip(closure, descriptors):
        links: dict[int, object] = {}
        for number, short in descriptor.ref_fields():
            target = _BY_SHORT[short]
            enum_info = _ENUMS.get(target)
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
def message[C: type](cls: C, /) -> C: ...
@overload
def message[C: type](cls: None = None, /) -> Callable[[C], C]: ...


@dataclass_transform(kw_only_default=True)
def message[C: type](cls: C | None = None, /) -> C | Callable[[C], C]:
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

    A value in the class body may only restate the field's protobuf default
    (`x: int32 = 0`, `tags: list[str] = []`): protobuf leaves fields holding
    their default out of the encoding, so no other default could survive a
    round trip. Writing it lets type checkers treat the argument as optional.

    Raises `SchemaError` when the class cannot be a message.
    """

    def wrap(c: C) -> C:
        with _lock:
            return typing.cast(C, _define(c))

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


# ---------------------------------------------------------------- schema export

def file_descriptors(*classes: type) -> list[bytes]:
    """Serialised proto3 `FileDescriptorProto`s that define the given message
    classes and every message and enum type they reach, one file per package,
    each after the files it depends on."""
    messages: dict[type, _MessageInfo] = {}
    enums: dict[type, _EnumInfo] = {}
    stack = list(classes)
    while stack:
        cls = stack.pop()
        if cls in messages:
            continue
        _ready(cls)
        info = _MESSAGES[cls]
        messages[cls] = info
        for f in info.fields:
            if isinstance(f.value, Scalar) or f.value is None:
                continue
            if f.value in _ENUMS:
                enums[f.value] = _ENUMS[f.value]
            else:
                stack.append(f.value)
    packages: dict[str, tuple[list[bytes], list[bytes], set[str]]] = {}
    for m in sorted(messages.values(), key=lambda i: i.seq):
        entry = packages.setdefault(m.package, ([], [], set()))
        entry[0].append(m.proto)
        for f in m.fields:
            target = f.value
            if isinstance(target, type):
                package = (_MESSAGES.get(target) or _ENUMS[target]).package
                if package != m.package:
                    entry[2].add(package)
    for e in sorted(enums.values(), key=lambda i: i.seq):
        packages.setdefault(e.package, ([], [], set()))[1].append(enum_descriptor_proto(e.short, e.values))
    file_name = {p: p.replace(".", "/") + ".proto" for p in packages}
    out: list[bytes] = []
    done: set[str] = set()
    while len(done) < len(packages):
        ready = [p for p, (_, _, deps) in packages.items() if p not in done and deps <= done]
        if not ready:
            raise ValueError("the packages of these types depend on each other in a cycle")
        for p in ready:
            msgs, ens, deps = packages[p]
            out.append(file_descriptor_proto(file_name[p], p, msgs, ens, sorted(file_name[d] for d in deps)))
            done.add(p)
    return out
