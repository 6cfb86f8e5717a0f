"""Protobuf names of message classes and enums, the registry of both, and the
resolution of the names that annotations use.

Each message class and enum that the package has seen has a `_TypeInfo`: its
own protobuf name (`__proto_name__`, else the class name), its package (the
module's `__proto_package__`, else one made from the module name) and the
message class it is nested in. Nesting is learnt late: the classes in a class
body are decorated before the class itself, which adopts them when it is
decorated in turn; so full names are computed, not stored.

The info lives in the class itself (the attribute `__quillspar_info__`); the
tables that look classes up by name hold them weakly. A class that nothing else
refers to is therefore freed, with its descriptor, like any other object.

`find_class` looks classes up by full name; of several classes with one name
(a module reloaded, say) the last one defined wins.

Annotation names resolve in the scope a type checker would use: the class
body, the class itself, the function that defines the class (what it had bound
when the class was decorated, and the classes it decorates later), the module,
then builtins.
"""

import annotationlib
import ast
import builtins
import enum
import itertools
import re
import sys
import threading
import types
import typing
import weakref
from annotationlib import ForwardRef
from collections.abc import Callable, Iterable
from typing import Any, Final

from . import _core
from ._schema import Field, SchemaError, Unresolved, enum_values, is_proto_identifier, source_text

__all__ = ["full_name", "find_class"]

# Guards the registries and class definition as a whole.
_lock = threading.RLock()
_sequence = itertools.count(1)


class _TypeInfo:
    """What the package knows of a message class or enum: its protobuf name,
    package and the message class it is nested in."""

    __slots__ = ("cls", "name", "package", "seq", "parent", "nested", "shadowed")

    def __init__(self, cls: type) -> None:
        self.cls = cls
        self.name = _proto_name_of(cls)  # the short protobuf name
        self.package = _package_of(cls)
        self.seq = next(_sequence)
        self.parent: _MessageInfo | None = None  # set when the enclosing message class is decorated
        self.nested: list[_TypeInfo] = []  # message classes and enums defined in the class body
        # The class that held this full name before this one took it, given
        # the name back when this one moves into the class that encloses it.
        self.shadowed: weakref.ReferenceType[type] | None = None

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
    __slots__ = ("fields", "globals", "locals", "keep_unknown", "descriptor", "proto")

    def __init__(self, cls: type, fields: list[Field], keep_unknown: bool, scope: _Scope | None) -> None:
        super().__init__(cls)
        self.fields = fields  # declaration order
        self.globals = _globals_of(cls)
        # The names of the defining function that the annotations use; dropped
        # once every field is parsed, so that it keeps nothing alive.
        self.locals = scope
        self.keep_unknown = keep_unknown
        self.descriptor: _core.Descriptor | None = None
        self.proto = b""  # the DescriptorProto compiled for the core


# The class attribute that holds a class's `_TypeInfo`.
_INFO: Final = "__quillspar_info__"

_BY_FULL_NAME: weakref.WeakValueDictionary[str, type] = weakref.WeakValueDictionary()  # the last class defined
_BY_QUALNAME: weakref.WeakValueDictionary[tuple[str, str], type] = weakref.WeakValueDictionary()  # (module, qualname)


def _info_of(cls: object) -> _TypeInfo | None:
    """The info of a message class or of an enum already seen, else None."""
    if not isinstance(cls, type):
        return None
    found = cls.__dict__.get(_INFO)
    return found if isinstance(found, _TypeInfo) and found.cls is cls else None


def _message_info(cls: object) -> _MessageInfo | None:
    """The info of a message class (not of a class derived from one), else None."""
    found = _info_of(cls)
    return found if isinstance(found, _MessageInfo) else None


def _is_message(cls: object) -> bool:
    return _message_info(cls) is not None


def _message_base(cls: type) -> _MessageInfo | None:
    """The info of `cls` or of the message class it derives from."""
    for c in cls.__mro__:
        found = _message_info(c)
        if found is not None:
            return found
    return None


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


def _attach(info: _TypeInfo) -> None:
    """Give the class its info; a message class has it while its fields are
    parsed, so that it may refer to itself."""
    type.__setattr__(info.cls, _INFO, info)


def _register(info: _TypeInfo) -> None:
    """Make the class known by its names."""
    _attach(info)
    _BY_QUALNAME[(info.cls.__module__, info.cls.__qualname__)] = info.cls
    _claim_full_name(info)


def _claim_full_name(info: _TypeInfo) -> None:
    name = info.full_name[1:]
    previous = _BY_FULL_NAME.get(name)
    info.shadowed = weakref.ref(previous) if previous is not None and previous is not info.cls else None
    _BY_FULL_NAME[name] = info.cls


def _set_parent(child: _TypeInfo, parent: _MessageInfo | None) -> None:
    """Nest `child` in `parent` (None: make it top-level again); the full
    names of the child and of its own nested types change with it."""
    moved = list(_subtree(child))
    for info in moved:
        name = info.full_name[1:]
        if _BY_FULL_NAME.get(name) is info.cls:
            previous = info.shadowed() if info.shadowed is not None else None
            if previous is not None:
                _BY_FULL_NAME[name] = previous
            else:
                del _BY_FULL_NAME[name]
    child.parent = parent
    if parent is not None:
        parent.nested.append(child)
    for info in moved:
        _claim_full_name(info)


def _adopt_nested(info: _MessageInfo) -> None:
    """Adopt the message classes and enums defined in the class body."""
    prefix = info.cls.__qualname__ + "."
    for attr, member in vars(info.cls).items():
        if not isinstance(member, type) or member.__qualname__ != prefix + attr:
            continue
        child: _TypeInfo | None = _message_info(member)
        if child is None and issubclass(member, enum.IntEnum):
            try:
                child = _enum_info(f"{info.where}.{attr}", member)
            except SchemaError:
                continue  # not a protobuf enum; a field using it reports why
        if child is not None and child.parent is None:
            _set_parent(child, info)


def _enum_info(where: str, cls: type[enum.IntEnum]) -> _EnumInfo:
    info = _info_of(cls)
    if not isinstance(info, _EnumInfo):
        info = _EnumInfo(cls, enum_values(where, cls))
        _register(info)
    return info


def _type_info(cls: object) -> _TypeInfo:
    """The info of a message class or `enum.IntEnum` (TypeError for anything else)."""
    info = _info_of(cls)
    if info is None:
        if not (isinstance(cls, type) and issubclass(cls, enum.IntEnum)):
            raise TypeError(f"expected a message class or an enum.IntEnum, not {cls!r}")
        info = _enum_info(cls.__qualname__, cls)
    return info


def _type_name(cls: type) -> str:
    return _type_info(cls).full_name


# ---------------------------------------------------------------- annotations

class _Scope:
    """What the function that defines a class had bound, when the class was
    decorated, of the names its annotations use; and which of those names
    are the function's own variables (bound later, they hide a global)."""

    __slots__ = ("bound", "variables")

    def __init__(self, bound: dict[str, object], variables: frozenset[str]) -> None:
        self.bound = bound
        self.variables = variables


_CO_OPTIMIZED: Final = 0x1  # the code flag of a function's frame


def _names_in(text: str) -> set[str]:
    """The names an annotation expression loads (not the attributes it reads)."""
    try:
        tree = ast.parse(text, mode="eval")
    except SyntaxError:
        return set()
    return {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}


def function_scope(frame: types.FrameType | None, fields: list[Field]) -> _Scope | None:
    """The names of the defining function's frame that the fields' string
    annotations use, or None when the class is not defined in a function."""
    while frame is not None and not frame.f_code.co_flags & _CO_OPTIMIZED:
        if frame.f_locals is frame.f_globals:
            return None  # a module's body
        frame = frame.f_back  # a class body: the function around it, if any
    if frame is None:
        return None
    code = frame.f_code
    names: set[str] = set()
    for f in fields:
        text = source_text(f.annotation)
        if text is not None:
            names |= _names_in(text)
    variables = names & {*code.co_varnames, *code.co_cellvars, *code.co_freevars}
    if not variables:
        return None
    frame_locals = frame.f_locals
    bound = {name: frame_locals[name] for name in variables if name in frame_locals}
    return _Scope(bound, frozenset(variables))


def _defined_later(info: _MessageInfo, name: str) -> type | None:
    """A class called `name`, decorated in an enclosing scope of the class
    after it.

    This finds the classes that a forward reference means while they are
    being decorated, before their names are bound.
    """
    parts = info.cls.__qualname__.split(".")
    for i in range(len(parts), -1, -1):
        hit = _BY_QUALNAME.get((info.cls.__module__, ".".join([*parts[:i], name])))
        hit_info = _info_of(hit)
        if hit_info is not None and hit_info.seq > info.seq:
            return hit
    return None


def evaluator(info: _MessageInfo) -> Callable[[object], object]:
    """A function that evaluates one annotation of the class (a string or a
    `ForwardRef`), raising `Unresolved` for a name that is not known yet."""

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
        local = info.locals
        for name in _names_in(text):
            if name in scope:
                continue
            if local is not None and name in local.variables:
                later = _defined_later(info, name)
                if later is not None:
                    scope[name] = later
                elif name in local.bound:
                    scope[name] = local.bound[name]
                else:
                    raise Unresolved(name)  # a variable of the function, not bound yet
            elif name not in info.globals and not hasattr(builtins, name):
                later = _defined_later(info, name)
                if later is not None:
                    scope[name] = later
        try:
            return eval(code, info.globals, scope)
        except NameError as exc:
            raise Unresolved(exc.name or str(exc)) from None
        except AttributeError as exc:
            raise Unresolved(f"{text} ({exc})", exc.name or text) from None
        except Exception as exc:
            raise SchemaError(f"evaluating it failed: {exc!r}") from None

    return evaluate


def annotation_source(info: _MessageInfo, f: Field) -> str:
    """The annotation as written in the class body, for error messages."""
    try:
        text = annotationlib.get_annotations(info.cls, format=annotationlib.Format.STRING)[f.name]
    except Exception:
        text = None
    if isinstance(text, str):
        return text
    found = source_text(f.annotation)
    return found if found is not None else annotationlib.type_repr(f.annotation)


# ---------------------------------------------------------------- public API

def full_name(cls: type) -> str:
    """The protobuf full name of a message class or `enum.IntEnum`, as in
    `"acme.v1.Order.Item"` (package, enclosing messages, own name)."""
    with _lock:
        return _type_info(cls).full_name[1:]


def find_class(full_name: str) -> type | None:
    """The message class (or enum) with this protobuf full name, such as
    `"acme.v1.Order"`, or None. Of several classes with one name, the one
    defined last."""
    if not isinstance(full_name, str):
        raise TypeError(f"a full name is a str, not {type(full_name).__name__}")
    return _BY_FULL_NAME.get(full_name.removeprefix("."))
