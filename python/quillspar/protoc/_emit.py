"""The source of one generated module: message classes and enums for one .proto file.

The module reads like a hand-written one: the file's messages and enums in the
.proto's order, nested types as nested classes, fields in declaration order
with their numbers, and the .proto comments as docstrings. Each field line
spells its type the way the rest of the package does (`int32`, `str | None`,
`list[Span.Event]`, `dict[str, common.AnyValue]`).

Names that a class body binds (its fields and nested classes) hide module
names inside that body, both for the class body itself and for the package,
which evaluates annotations in the class's namespace. The writer therefore
spells a name of the package bare (`field`, `int32`, `str`) where nothing
hides it and as `quillspar.field` (`builtins.list`, ...) in a body that binds
it; a same-module type whose top-level name a body hides is reached through
an import of the module itself. Module aliases are chosen so that nothing in
the module hides them.
"""

import textwrap
from typing import Any, Final

from ._compiler import GeneratorError
from ._names import Index, TypeEntry, json_name
from ._text import docstring

__all__ = ["where", "write_module"]

# FieldDescriptorProto.Type numbers.
_TYPE_DOUBLE, _TYPE_FLOAT, _TYPE_INT64, _TYPE_UINT64, _TYPE_INT32 = 1, 2, 3, 4, 5
_TYPE_FIXED64, _TYPE_FIXED32, _TYPE_BOOL, _TYPE_STRING, _TYPE_GROUP = 6, 7, 8, 9, 10
_TYPE_MESSAGE, _TYPE_BYTES, _TYPE_UINT32, _TYPE_ENUM = 11, 12, 13, 14
_TYPE_SFIXED32, _TYPE_SFIXED64, _TYPE_SINT32, _TYPE_SINT64 = 15, 16, 17, 18

# The scalar markers of the package, and the builtin that some of them stand for.
_MARKERS: Final = {
    _TYPE_DOUBLE: "double", _TYPE_FLOAT: "float32", _TYPE_INT64: "int64", _TYPE_UINT64: "uint64",
    _TYPE_INT32: "int32", _TYPE_FIXED64: "fixed64", _TYPE_FIXED32: "fixed32", _TYPE_BOOL: "bool_",
    _TYPE_STRING: "string", _TYPE_BYTES: "bytes_", _TYPE_UINT32: "uint32", _TYPE_SFIXED32: "sfixed32",
    _TYPE_SFIXED64: "sfixed64", _TYPE_SINT32: "sint32", _TYPE_SINT64: "sint64",
}
_BUILTIN: Final = {_TYPE_BOOL: "bool", _TYPE_STRING: "str", _TYPE_BYTES: "bytes"}
_NOT_PACKABLE: Final = frozenset({_TYPE_STRING, _TYPE_BYTES, _TYPE_MESSAGE, _TYPE_GROUP})

# Every name the writer may import bare; module aliases never take one of them.
_VOCABULARY: Final = frozenset(
    {"enum", "builtins", "quillspar", "field", "message", "Message", "list", "dict", *_MARKERS.values(),
     *_BUILTIN.values()}
)

_INDENT: Final = "    "

# Source code location paths: DescriptorProto.field, .oneof_decl; EnumDescriptorProto.value.
_FIELD, _ONEOF, _VALUE = 2, 8, 2


def where(file: Any, path: tuple[int, ...]) -> str:
    """`file:line:column` of an element of a compiled file, as protoc reports
    places; the file name alone when the compiler kept no source positions."""
    for location in file.source_code_info.location:
        if tuple(location.path) == path:
            return f"{file.name}:{location.span[0] + 1}:{location.span[1] + 1}"
    return str(file.name)


def _literal(text: str) -> str:
    """A str literal, in double quotes."""
    if "'" in text or not text.isprintable():
        return repr(text)
    return '"' + repr(text)[1:-1].replace('"', '\\"') + '"'


def _clean_comment(text: str) -> str:
    lines = [line.rstrip() for line in text.replace("\r\n", "\n").split("\n")]
    return textwrap.dedent("\n".join(lines)).strip("\n")


class _Imports:
    """The names a module imports, and how its code spells them.

    `top` holds the module's own top-level names, `every` those and every
    name that some class body binds. A name imported bare is used bare only
    where it is not hidden; module aliases are never hidden anywhere.
    """

    def __init__(self, top: set[str], every: set[str]) -> None:
        self.top = top
        self.every = every
        self.taken = every | _VOCABULARY
        self.bare: set[str] = set()  # from quillspar import ...
        self.aliases: dict[str, str] = {}  # module -> name bound to it

    def module(self, module: str) -> str:
        """The name the module is imported as: `enum`, `quillspar`, ... as
        themselves while no class hides them, generated modules by their last
        part(s) (`common`, `v1_common`, ...)."""
        alias = self.aliases.get(module)
        if alias is not None:
            return alias
        if module in _VOCABULARY:
            candidates = [module]
            used = self.every | set(self.aliases.values())
        else:
            parts = module.split(".")
            candidates = ["_".join(parts[i:]) for i in range(len(parts) - 1, -1, -1)]
            used = self.taken
        alias = next((c for c in candidates if c not in used), "")
        if not alias:
            alias = candidates[-1] + "_"
            while alias in self.taken:
                alias += "_"
        self.taken.add(alias)
        self.aliases[module] = alias
        return alias

    def quillspar(self, name: str, scope: frozenset[str]) -> str:
        """A name of the package, for code in a class body binding `scope`."""
        if name not in self.top and name not in scope:
            self.bare.add(name)
            return name
        return f"{self.module('quillspar')}.{name}"

    def builtin(self, name: str, scope: frozenset[str]) -> str:
        if name not in self.top and name not in scope:
            return name
        return f"{self.module('builtins')}.{name}"

    def lines(self) -> list[str]:
        standard, ours, generated = [], [], []
        for module, alias in self.aliases.items():
            if "." in module:
                package, last = module.rsplit(".", 1)
                line = f"from {package} import {last}" + ("" if alias == last else f" as {alias}")
            else:
                line = f"import {module}" + ("" if alias == module else f" as {alias}")
            if module in ("enum", "builtins"):
                standard.append(line)
            elif module == "quillspar" or module.startswith("quillspar."):
                ours.append(line)
            else:
                generated.append(line)
        if self.bare:
            # classes before functions and markers, as isort orders them
            names = sorted(self.bare, key=lambda n: (not n[:1].isupper(), n))
            line = f"from quillspar import {', '.join(names)}"
            if len(line) > 100:
                line = "from quillspar import (\n" + "".join(f"{_INDENT}{n},\n" for n in names) + ")"
            ours.append(line)
        out: list[str] = []
        for group in (standard, ours, generated):
            if group:
                # `import x` before `from x import y`, as isort orders them
                out += [*sorted(group, key=lambda line: (line.startswith("from "), line)), ""]
        return out


class _Writer:
    def __init__(self, file: Any, index: Index, pool: Any, module: str) -> None:
        self.file = file
        self.index = index
        self.pool = pool
        self.module = module
        self.comments: dict[tuple[int, ...], Any] = {
            tuple(location.path): location for location in file.source_code_info.location
        }
        top = {entry.name for entry in index.top[file.name]}
        every = set(top)
        for entry in index.top[file.name]:
            self._collect_scopes(entry, every)
        self.imports = _Imports(top, every)
        self.lines: list[str] = []

    def _collect_scopes(self, entry: TypeEntry, into: set[str]) -> None:
        if entry.is_enum:
            return
        into |= entry.scope
        for nested in self._nested(entry):
            self._collect_scopes(nested, into)

    def _nested(self, entry: TypeEntry) -> list[TypeEntry]:
        """The nested classes of a message, in the order of the .proto."""
        out = [self.index.types[f"{entry.full_name}.{name}"] for name in entry.classes]
        return sorted(out, key=self._position)

    def _position(self, entry: TypeEntry) -> tuple[int, ...]:
        location = self.comments.get(entry.path)
        if location is not None:
            return (0, *location.span[:2])
        return (1, 0 if entry.is_enum else 1, entry.path[-1])

    def _doc(self, path: tuple[int, ...], notes: list[str] | None = None) -> str:
        location = self.comments.get(path)
        parts = []
        if location is not None:
            for text in (location.leading_comments, location.trailing_comments):
                cleaned = _clean_comment(text)
                if cleaned:
                    parts.append(cleaned)
        parts += notes or []
        return "\n\n".join(parts)

    # ------------------------------------------------------------ types

    def write(self) -> None:
        for entry in sorted(self.index.top[self.file.name], key=self._position):
            self.lines += ["", ""]
            self._type(entry, "", frozenset())

    def _type(self, entry: TypeEntry, indent: str, outer: frozenset[str]) -> None:
        """A class, defined in a body that binds `outer` (empty at module level)."""
        if entry.is_enum:
            self._enum(entry, indent, outer)
        else:
            self._message(entry, indent, outer)

    def _head(self, entry: TypeEntry, indent: str) -> list[str]:
        """The docstring and the protobuf name of a class, when it needs them."""
        lines = []
        doc = self._doc(entry.path, ["Deprecated."] if entry.proto.options.deprecated else [])
        if doc:
            lines += docstring(doc, indent)
        if entry.name != entry.proto.name:
            if lines:
                lines.append("")
            lines.append(f"{indent}__proto_name__ = {_literal(entry.proto.name)}")
        return lines

    def _enum(self, entry: TypeEntry, indent: str, outer: frozenset[str]) -> None:
        inner = indent + _INDENT
        self.lines.append(f"{indent}class {entry.name}({self.imports.module('enum')}.IntEnum):")
        head = self._head(entry, inner)
        self.lines += [*head, ""] if head else []
        for k, (value, name) in enumerate(zip(entry.proto.value, entry.members)):
            self.lines.append(f"{inner}{name} = {value.number}")
            notes = []
            if name != value.name:
                notes.append(f"{value.name} in the .proto.")
            if value.options.deprecated:
                notes.append("Deprecated.")
            doc = self._doc((*entry.path, _VALUE, k), notes)
            if doc:
                self.lines += docstring(doc, inner)

    def _message(self, entry: TypeEntry, indent: str, outer: frozenset[str]) -> None:
        inner = indent + _INDENT
        self.lines.append(f"{indent}@{self.imports.quillspar('message', outer)}")
        self.lines.append(f"{indent}class {entry.name}({self.imports.quillspar('Message', outer)}):")
        start = len(self.lines)
        self.lines += self._head(entry, inner)
        for nested in self._nested(entry):
            if len(self.lines) > start:
                self.lines.append("")
            self._type(nested, inner, entry.scope)
        if entry.proto.field and len(self.lines) > start:
            self.lines.append("")
        self._fields(entry, inner)
        if len(self.lines) == start:
            self.lines.append(f"{inner}pass")

    # ------------------------------------------------------------ fields

    def _refuse(self, path: tuple[int, ...], what: str) -> GeneratorError:
        return GeneratorError(f"{where(self.file, path)}: {what}")

    def _value_type(self, field: Any, scope: frozenset[str]) -> str:
        if field.type == _TYPE_ENUM:
            # Enums are open: a decoded value may be a number the enum does not name.
            return f"{self._type_path(field, scope)} | {self.imports.builtin('int', scope)}"
        if field.type == _TYPE_MESSAGE:
            return self._type_path(field, scope)
        builtin = _BUILTIN.get(field.type)
        if builtin is not None and builtin not in self.imports.top and builtin not in scope:
            return builtin
        return self.imports.quillspar(_MARKERS[field.type], scope)

    def _type_path(self, field: Any, scope: frozenset[str]) -> str:
        target = self.index.types[field.type_name]
        if target.file == self.file.name:
            root = target.qualname.split(".", 1)[0]
            if root not in scope:
                return target.qualname
            return f"{self.imports.module(self.module)}.{target.qualname}"
        return f"{self.imports.module(target.module)}.{target.qualname}"

    def _fields(self, entry: TypeEntry, indent: str) -> None:
        proto = entry.proto
        resolved = self.pool.FindMessageTypeByName(entry.full_name[1:]).fields_by_name
        last_oneof = None
        for j, (field, name) in enumerate(zip(proto.field, entry.fields)):
            path = (*entry.path, _FIELD, j)
            info = resolved[field.name]
            if info.type == _TYPE_GROUP:
                kind = "a group" if field.type == _TYPE_GROUP else "delimited-encoded (a group on the wire)"
                raise self._refuse(path, f"field {entry.full_name[1:]}.{field.name} is {kind}, "
                                         "which quillspar does not support")
            in_oneof = field.HasField("oneof_index") and not field.proto3_optional
            if in_oneof and field.oneof_index != last_oneof:
                oneof_doc = self._doc((*entry.path, _ONEOF, field.oneof_index))
                if oneof_doc:
                    self.lines += [f"{indent}# {line}".rstrip() for line in oneof_doc.split("\n")]
            last_oneof = field.oneof_index if in_oneof else None
            annotation = self._annotation(entry, field, info)
            arguments = [str(field.number)]
            if in_oneof:
                arguments.append(f"oneof={_literal(entry.oneofs[field.oneof_index])}")
            if info.is_repeated and field.type not in _NOT_PACKABLE and not info.is_packed:
                arguments.append("packed=False")
            if name != field.name:
                arguments.append(f"name={_literal(field.name)}")
            if field.json_name and field.json_name != json_name(field.name):
                arguments.append(f"json_name={_literal(field.json_name)}")
            if field.options.deprecated:
                arguments.append("deprecated=True")
            notes = []
            if field.options.deprecated:
                notes.append("Deprecated.")
            if info.is_required:
                notes.append("Required by the .proto; not enforced.")
            if field.HasField("default_value"):
                default = field.default_value
                if field.type in (_TYPE_STRING, _TYPE_BYTES):
                    default = f'"{default}"'
                notes.append(f"The .proto's default, {default}, is not applied: the field is None while unset.")
            call = f"{self.imports.quillspar('field', entry.scope)}({', '.join(arguments)})"
            self.lines.append(f"{indent}{name}: {annotation} = {call}")
            doc = self._doc(path, notes)
            if doc:
                self.lines += docstring(doc, indent)

    def _annotation(self, entry: TypeEntry, field: Any, info: Any) -> str:
        scope = entry.scope
        if field.type == _TYPE_MESSAGE and self.index.types[field.type_name].map_entry:
            key, value = self.index.types[field.type_name].proto.field
            return f"{self.imports.builtin('dict', scope)}[{self._value_type(key, scope)}, {self._value_type(value, scope)}]"
        value_type = self._value_type(field, scope)
        if info.is_repeated:
            return f"{self.imports.builtin('list', scope)}[{value_type}]"
        if info.has_presence:
            return f"{value_type} | None"
        return value_type


def write_module(file: Any, index: Index, pool: Any) -> str:
    """The source of the module generated from one compiled .proto file."""
    module = index.modules[file.name]
    writer = _Writer(file, index, pool, module)
    writer.write()
    header = [f'"""Generated by quillspar.protoc from {file.name}. Do not edit."""', ""]
    imports = writer.imports.lines()
    package = [f"__proto_package__ = {_literal(file.package)}"]
    return "\n".join([*header, *imports, *package, *writer.lines]) + "\n"
