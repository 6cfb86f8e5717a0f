"""Compiling and linking message classes.

A message class is described to the native core by a `DescriptorProto` (see
`_schema`). The core's `Descriptor` is compiled as soon as every type the
class refers to is known, and lands in the class attribute `__quillspar__`;
the core reads that attribute to encode and decode nested messages. The
fields that need a class are linked by number to the class their annotation
names, so names play no part in linking.

Annotations may name classes that do not exist yet (a class referring to
itself, or two classes referring to each other). Such a class stays pending
until the names can be evaluated. Pending classes are indexed by the name they
wait for: defining a message class of that name retries them, and so do the
first construction, encode or decode, and `resolve()`, which report a name
that is still unknown as a `SchemaError`. A definition retries only the
classes waiting for its name, so definition time does not grow with the
number of pending classes.

Enums: the core calls the object linked to an enum field with each decoded
number. This module links the `__getitem__` of a number-to-member table whose
misses return the number itself, so a decoded enum field holds the member when
the enum defines the number and the plain `int` otherwise (protobuf 3 enums
are open). Both compare equal to the number, and `isinstance(value, int)` holds
for either.
"""

import enum
import typing
import weakref
from collections.abc import Callable

from . import _core
from ._build import make_init
from ._names import (
    _enum_info,
    _is_message,
    _lock,
    _message_base,
    _message_info,
    _MessageInfo,
    _type_name,
    annotation_source,
    evaluator,
)
from ._schema import (
    MAP,
    OPTIONAL,
    REPEATED,
    SchemaError,
    Unresolved,
    check_given_default,
    descriptor_proto,
    map_entry_name,
    packable,
    parse_annotation,
)

__all__ = ["parse_fields", "descriptor_of", "ready", "to_bytes", "from_bytes", "bootstrap_init", "wait", "retry", "pending"]

# Message classes without a descriptor yet, in definition order (held weakly).
_PENDING: weakref.WeakKeyDictionary[type, None] = weakref.WeakKeyDictionary()
# The name a pending class waits for -> the classes waiting for it. An entry
# leaves when its class is freed, so classes that never resolve leave nothing.
_WAITING: dict[str, dict[weakref.ref[type], None]] = {}


def parse_fields(info: _MessageInfo, strict: bool) -> str | None:
    """Work out the type of every field; the name that is unknown yet, if any.

    With `strict`, an unknown name is a `SchemaError` instead.
    """
    evaluate = evaluator(info)
    for f in info.fields:
        if f.parsed:
            continue
        where = f"{info.where}.{f.name}"
        try:
            shape, key, value = parse_annotation(f.annotation, evaluate, _is_message)
        except Unresolved as exc:
            if not strict:
                return exc.awaits
            raise SchemaError(
                f"{where}: cannot resolve {exc.name!r} in annotation {annotation_source(info, f)!r}"
            ) from None
        except SchemaError as exc:
            source = annotation_source(info, f)
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
        info.cls.__init__ = make_init(info.cls, info.fields, info.keep_unknown)  # type: ignore[misc]
    info.locals = None
    return None


def _finish(root: _MessageInfo, strict: bool) -> str | None:
    """Compile and link the class and every message class it reaches; the
    name that one of them still waits for, if any.

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
        missing = parse_fields(info, strict)
        if missing is not None:
            return missing
        for f in info.fields:
            reached = _message_info(f.value)
            if reached is not None:
                stack.append(reached)
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
            linked = by_number[number]
            if isinstance(linked, type) and issubclass(linked, enum.IntEnum):
                links[number] = _enum_info(info.where, linked).lookup
            else:
                links[number] = linked
        descriptor.link(links)
    for info, descriptor in zip(closure, descriptors):
        info.descriptor = descriptor
        type.__setattr__(info.cls, "__quillspar__", descriptor)
        _PENDING.pop(info.cls, None)
    return None


def wait(info: _MessageInfo) -> None:
    """Compile and link a new class now if it can be; else leave it pending,
    waiting for the name it misses."""
    _PENDING[info.cls] = None
    _attempt(info)


def _attempt(info: _MessageInfo) -> None:
    try:
        missing = _finish(info, strict=False)
    except SchemaError:
        return  # reported when the class is first used
    if missing is not None:
        _WAITING.setdefault(missing, {})[weakref.ref(info.cls, _forgetter(missing))] = None


def _forgetter(name: str) -> Callable[[weakref.ref[type]], None]:
    def forget(ref: weakref.ref[type]) -> None:
        waiting = _WAITING.get(name)
        if waiting is not None:
            waiting.pop(ref, None)
            if not waiting:
                _WAITING.pop(name, None)

    return forget


def retry(name: str) -> None:
    """Retry the pending classes that wait for `name`, now that a class of
    that name is defined."""
    for ref in list(_WAITING.pop(name, ())):
        info = _message_info(ref())
        if info is not None and info.descriptor is None:
            _attempt(info)


def pending() -> tuple[type, ...]:
    """The message classes that have no descriptor yet, in definition order."""
    return tuple(_PENDING)


def ready(cls: object) -> _core.Descriptor:
    """The descriptor of a message class (or of a class derived from one),
    compiling and linking it first if need be."""
    if not isinstance(cls, type):
        raise TypeError(f"expected a message class, not {type(cls).__name__}")
    info = _message_base(cls)
    if info is None:
        raise TypeError(f"{cls.__qualname__} is not a message class")
    if info.descriptor is None:
        with _lock:
            if info.descriptor is None:
                _finish(info, strict=True)
    assert info.descriptor is not None
    return info.descriptor


def descriptor_of(cls: type) -> _core.Descriptor:
    """The class's descriptor: its `__quillspar__` once it has one."""
    try:
        return typing.cast(_core.Descriptor, cls.__quillspar__)  # type: ignore[attr-defined]
    except AttributeError:
        return ready(cls)


def to_bytes(self: object) -> bytes:
    """Encode this message to protobuf wire bytes."""
    return descriptor_of(self.__class__).encode(self)


def from_bytes[M](cls: type[M], data: bytes | bytearray | memoryview) -> M:
    """Decode protobuf wire bytes into a new instance of this class."""
    descriptor = descriptor_of(cls)
    if data.__class__ is not bytes:
        data = _as_bytes(data)
    return descriptor.decode(cls, data)


def _as_bytes(data: object) -> bytes:
    if isinstance(data, bytes):
        return data
    if isinstance(data, str):
        raise TypeError("expected bytes, bytearray or memoryview, not str")
    return memoryview(data).tobytes()  # type: ignore[arg-type]


def bootstrap_init(info: _MessageInfo) -> Callable[..., None]:
    """A constructor for a pending class: it compiles the class, which
    installs the generated constructor, and calls that."""
    def __init__(self: object, **kwargs: object) -> None:
        ready(info.cls)
        info.cls.__init__(self, **kwargs)  # type: ignore[misc]

    __init__._quillspar_bootstrap = True  # type: ignore[attr-defined]
    __init__.__qualname__ = f"{info.cls.__qualname__}.__init__"
    return __init__
