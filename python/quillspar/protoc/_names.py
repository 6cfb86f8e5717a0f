"""Python names for the modules, classes, fields and enum members of .proto files.

One `Index` covers every file protoc compiled (the files to generate and all
they import). It gives each file its module, laid out by the proto package, and
each message and enum its class, so that any file's code can refer to any type
by the type's full protobuf name.

Names the .proto uses are kept where Python can hold them. A name that is a
Python keyword, that starts with two underscores (Python would mangle it), or
that clashes with what a message class or an enum already has (`to_bytes`,
`from_bytes`, `_unknown_fields`; `name`, `value`, `mro` and `_sunder_` names
of enums) gets
trailing underscores until it is free; the protobuf name stays in the
generated code (`field(name=...)`, `__proto_name__`).
"""

import keyword
import re
from collections.abc import Callable, Iterable
from typing import Any, Final

from .._schema import json_name_of

__all__ = ["MESSAGE_OWN", "WKT_FILES", "WKT_MODULE", "Index", "TypeEntry", "json_name", "module_path", "pick"]

# Names that every message class has: its methods and the unknown-fields slot.
MESSAGE_OWN: Final = frozenset({"to_bytes", "from_bytes", "_unknown_fields"})

# The well-known types that the package itself provides.
WKT_MODULE: Final = "quillspar.wkt"
WKT_FILES: Final = frozenset(
    f"google/protobuf/{stem}.proto"
    for stem in ("any", "timestamp", "duration", "struct", "field_mask", "empty", "wrappers")
)


def _plain(name: str) -> bool:
    return name.isascii() and name.isidentifier() and not keyword.iskeyword(name) and not name.startswith("__")


def _class_attribute_ok(name: str) -> bool:
    return _plain(name) and name not in MESSAGE_OWN


# What an IntEnum member cannot be called: the attributes of enums and ints
# (`name`, `value`, `real`, `to_bytes`: type checkers refuse to see them
# replaced by a member), and `mro`, which enum refuses.
_ENUM_OWN: Final = frozenset({"mro", "name", "value", *(n for n in dir(int) if not n.startswith("_"))})


def _member_ok(name: str) -> bool:
    # enum keeps _sunder_ names for itself
    sunder = len(name) > 2 and name[0] == name[-1] == "_" and name[1] != "_" and name[-2] != "_"
    return _plain(name) and not sunder and name not in _ENUM_OWN


def pick(name: str, ok: Callable[[str], bool], taken: set[str]) -> str:
    """`name`, or with trailing underscores, so that it is `ok` and not `taken`."""
    candidate = name
    if candidate.startswith("__"):
        candidate = candidate.lstrip("_") + "_"
    while not ok(candidate) or candidate in taken:
        candidate += "_"
    taken.add(candidate)
    return candidate


def identifier(text: str) -> str:
    """A Python identifier for a part of a module path."""
    out = re.sub(r"\W", "_", text, flags=re.ASCII) or "_"
    if out[0].isdigit():
        out = "_" + out
    return out + "_" if keyword.iskeyword(out) else out


def module_path(package: str, file_name: str, prefix: str = "") -> str:
    """The module of a .proto file: prefix, then the proto package, then the
    file's own name: `opentelemetry/proto/trace/v1/trace.proto` with package
    `opentelemetry.proto.trace.v1` becomes `opentelemetry.proto.trace.v1.trace`."""
    stem = file_name.rsplit("/", 1)[-1]
    if stem.endswith(".proto"):
        stem = stem[: -len(".proto")]
    parts = [p for p in prefix.split(".") if p]
    parts += [identifier(p) for p in package.split(".") if p]
    return ".".join([*parts, identifier(stem)])


def json_name(name: str) -> str:
    """The JSON name protoc gives a field by default: lowerCamelCase."""
    return json_name_of(name)


class TypeEntry:
    """One message or enum type of some file.

    `qualname` is the class's name within its module (`Span.Event`); map
    entry types have none, they become `dict` annotations. For messages,
    `fields` holds the Python name of each field, in the order of
    `proto.field`, `oneofs` the name of each oneof, and `scope` the names bound in the class body (which an
    annotation there cannot use for a module-level name). For enums,
    `members` holds the Python name of each value.
    """

    __slots__ = ("full_name", "file", "module", "qualname", "proto", "path", "is_enum", "map_entry",
                 "fields", "oneofs", "classes", "scope", "members")

    def __init__(self, full_name: str, file: str, module: str, qualname: str, proto: Any,
                 path: tuple[int, ...], is_enum: bool) -> None:
        self.full_name = full_name
        self.file = file
        self.module = module
        self.qualname = qualname
        self.proto = proto
        self.path = path
        self.is_enum = is_enum
        self.map_entry = not is_enum and bool(proto.options.map_entry)
        self.fields: list[str] = []
        self.oneofs: list[str] = []
        self.classes: dict[str, str] = {}  # proto name of a nested type -> Python name
        self.scope: frozenset[str] = frozenset()
        self.members: list[str] = []

    @property
    def name(self) -> str:
        """The class's own Python name."""
        return self.qualname.rsplit(".", 1)[-1]


class Index:
    """Every type of every compiled file, by full name with a leading dot."""

    def __init__(self, files: Iterable[Any], generated: Iterable[str], prefix: str = "") -> None:
        self.types: dict[str, TypeEntry] = {}
        self.modules: dict[str, str] = {}  # file name -> the module it is generated as
        self.top: dict[str, list[TypeEntry]] = {}  # file name -> its top-level types
        wanted = set(generated)
        for file in files:
            module = module_path(file.package, file.name, prefix)
            self.modules[file.name] = module
            # code in other files finds the well-known types in the package
            refer_to = WKT_MODULE if file.name in WKT_FILES else module
            self._add_file(file, refer_to if file.name not in wanted else module)

    def _add_file(self, file: Any, module: str) -> None:
        scope = f".{file.package}" if file.package else ""
        taken: set[str] = set()
        top = []
        for i, proto in enumerate(file.message_type):
            top.append(self._add_message(file.name, module, proto, scope, "", pick(proto.name, _plain, taken), (4, i)))
        for i, proto in enumerate(file.enum_type):
            top.append(self._add_enum(file.name, module, proto, scope, "", pick(proto.name, _plain, taken), (5, i)))
        self.top[file.name] = top

    def _add_message(self, file: str, module: str, proto: Any, scope: str, outer: str, name: str,
                     path: tuple[int, ...]) -> TypeEntry:
        full_name = f"{scope}.{proto.name}"
        qualname = f"{outer}.{name}" if outer else name
        entry = TypeEntry(full_name, file, module, qualname, proto, path, is_enum=False)
        self.types[full_name] = entry
        taken = set(MESSAGE_OWN)
        entry.fields = [pick(f.name, _class_attribute_ok, taken) for f in proto.field]
        # a oneof is named by a str, which must not be a field's name or a keyword
        entry.oneofs = [pick(o.name, _plain, set(entry.fields)) for o in proto.oneof_decl]
        for j, nested in enumerate(proto.nested_type):
            if nested.options.map_entry:
                self._add_message(file, module, nested, full_name, qualname, "", (*path, 3, j))
            else:
                python_name = pick(nested.name, _class_attribute_ok, taken)
                entry.classes[nested.name] = python_name
                self._add_message(file, module, nested, full_name, qualname, python_name, (*path, 3, j))
        for j, nested in enumerate(proto.enum_type):
            python_name = pick(nested.name, _class_attribute_ok, taken)
            entry.classes[nested.name] = python_name
            self._add_enum(file, module, nested, full_name, qualname, python_name, (*path, 4, j))
        # The package evaluates a class's annotations with the class's own name
        # bound to the class, like the names in its body: a nested class hides
        # a top-level one of the same name.
        entry.scope = frozenset(taken | {name} if outer else taken)
        return entry

    def _add_enum(self, file: str, module: str, proto: Any, scope: str, outer: str, name: str,
                  path: tuple[int, ...]) -> TypeEntry:
        full_name = f"{scope}.{proto.name}"
        entry = TypeEntry(full_name, file, module, f"{outer}.{name}" if outer else name, proto, path, is_enum=True)
        taken: set[str] = set()
        entry.members = [pick(v.name, _member_ok, taken) for v in proto.value]
        self.types[full_name] = entry
        return entry

    def python_ref(self, full_name: str) -> tuple[str, str]:
        """`(module, qualified class name)` of a message or enum type."""
        if not full_name.startswith("."):
            full_name = "." + full_name
        entry = self.types[full_name]
        return entry.module, entry.qualname
