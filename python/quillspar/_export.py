"""Export of message classes and enums as `FileDescriptorProto`s.

The descriptors are those protoc writes for the matching .proto files, so
that another protobuf runtime can load exactly the types the classes stand
for. They differ from the ones compiled for the core: protobuf field names
instead of attributes, JSON names, every option, nested types nested.
"""

import enum
from collections.abc import Callable, Iterable

from . import _core
from ._names import _EnumInfo, _is_message, _lock, _MessageInfo, _type_info, _type_name, _TypeInfo
from ._schema import descriptor_proto, enum_descriptor_proto, file_descriptor_proto

__all__ = ["file_descriptors"]


def _export_enum(info: _EnumInfo) -> bytes:
    return enum_descriptor_proto(info.name, info.values)


def _export_message(info: _MessageInfo) -> bytes:
    return descriptor_proto(
        info.name,
        info.full_name,
        info.fields,
        _type_name,
        export=True,
        nested=[_export_message(c) for c in info.nested if isinstance(c, _MessageInfo)],
        enums=[_export_enum(c) for c in info.nested if isinstance(c, _EnumInfo)],
    )


def file_descriptors(classes: Iterable[type], prepare: Callable[[type], _core.Descriptor]) -> list[bytes]:
    """Serialised proto3 `FileDescriptorProto`s that define the given message
    classes (and enums) and every message and enum type they reach, one file
    per package, named after it (`acme/v1.proto`), each after the files it
    depends on.

    `prepare` compiles and links a message class (reporting what stops it).
    """
    with _lock:
        infos: dict[type, _TypeInfo] = {}
        stack = list(classes)
        while stack:
            cls = stack.pop()
            if cls in infos:
                continue
            if _is_message(cls):
                prepare(cls)
            elif not (isinstance(cls, type) and issubclass(cls, enum.IntEnum)):
                raise TypeError(f"expected message classes and enums, not {cls!r}")
            info = _type_info(cls)
            infos[cls] = info
            if info.parent is not None:
                stack.append(info.parent.cls)
            stack.extend(child.cls for child in info.nested)
            if isinstance(info, _MessageInfo):
                stack.extend(f.value for f in info.fields if isinstance(f.value, type))
        named: dict[str, _TypeInfo] = {}
        for info in sorted(infos.values(), key=lambda i: i.seq):
            other = named.setdefault(info.full_name, info)
            if other is not info:
                raise ValueError(
                    f"{other.cls.__module__}.{other.where} and {info.cls.__module__}.{info.where} "
                    f"have the same protobuf name {info.full_name[1:]}; "
                    "set __proto_name__ or __proto_package__ to tell them apart"
                )
        packages: dict[str, tuple[list[bytes], list[bytes], set[str]]] = {}
        for info in sorted(infos.values(), key=lambda i: i.seq):
            package = info.root.package
            entry = packages.setdefault(package, ([], [], set()))
            if info.parent is None:
                if isinstance(info, _MessageInfo):
                    entry[0].append(_export_message(info))
                else:
                    assert isinstance(info, _EnumInfo)
                    entry[1].append(_export_enum(info))
            if isinstance(info, _MessageInfo):
                for f in info.fields:
                    if isinstance(f.value, type):
                        other_package = infos[f.value].root.package
                        if other_package != package:
                            entry[2].add(other_package)
    file_name = {p: (p.replace(".", "/") or "_") + ".proto" for p in packages}
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
