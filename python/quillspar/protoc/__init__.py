"""The code generator: .proto files in, typed quillspar modules out.

Three ways in, one implementation behind them:

    python -m quillspar.protoc -I protos --out gen protos/shop/v1/order.proto
    protoc --plugin=protoc-gen-quillspar --quillspar_out=gen -I protos shop/v1/order.proto

    from quillspar.protoc import generate
    sources = generate(["shop/v1/order.proto"], proto_path=["protos"])  # {path: source}

The files are compiled by a real protobuf compiler (the one bundled with
grpcio-tools, else `protoc` on PATH). Each .proto file becomes one module,
laid out by its proto package (`shop/v1/order.py` for package `shop.v1`),
with `__init__.py` files that make the tree importable and a `py.typed`
marker. Imports of the well-known types (`google/protobuf/timestamp.proto`,
...) refer to `quillspar.wkt`. A file with services also gets
`<stem>_grpc.py` with gRPC stubs.

What the generated code cannot express stops the generator with a
`GeneratorError` naming file, line and element: groups (and delimited
encoding in editions files) and extensions. Extensions of the descriptor
options (`extend google.protobuf.FieldOptions`, custom options) describe the
schema, not data, and are left out with a note. `required` and custom defaults
of proto2 files are written down in the docstrings, not enforced.
"""

import argparse
import os
import sys
from collections.abc import Iterable, Sequence
from typing import Any, Final

from ._compiler import GeneratorError, compile_request, descriptor_modules
from ._emit import where, write_module
from ._names import Index

__all__ = ["GeneratorError", "generate", "generate_from_request", "main", "plugin_main"]

# Editions: 2023 and 2024 (their numbers in the Edition enum of descriptor.proto).
_EDITION_MIN: Final = 1000
_EDITION_MAX: Final = 1001
_MODULE_PREFIX_OPTION: Final = "module_prefix"


def _is_custom_option(extendee: str) -> bool:
    return extendee.startswith(".google.protobuf.") and extendee.endswith("Options")


def _check_extensions(file: Any) -> list[str]:
    """Refuse extensions; return the custom options (extensions of the
    descriptor options), which the module leaves out."""
    skipped = []

    def check(extensions: Any, scope: str, path: tuple[int, ...]) -> None:
        for k, extension in enumerate(extensions):
            name = f"{scope}.{extension.name}".lstrip(".")
            if _is_custom_option(extension.extendee):
                skipped.append(f"{name} (an option of {extension.extendee[1:]})")
                continue
            raise GeneratorError(
                f"{where(file, (*path, k))}: extension {name} of {extension.extendee[1:]} "
                "is not supported: quillspar message classes have no extensions"
            )

    def walk(messages: Any, scope: str, path: tuple[int, ...], number: int) -> None:
        for i, message in enumerate(messages):
            full_name = f"{scope}.{message.name}"
            check(message.extension, full_name, (*path, number, i, 6))
            walk(message.nested_type, full_name, (*path, number, i), 3)

    package = f".{file.package}" if file.package else ""
    check(file.extension, package, (7,))
    walk(file.message_type, package, (), 4)
    return skipped


def _check_edition(file: Any, descriptor_pb2: Any) -> None:
    if file.syntax != "editions":
        return
    if not _EDITION_MIN <= file.edition <= _EDITION_MAX:
        try:
            edition = descriptor_pb2.Edition.Name(file.edition)
        except ValueError:
            edition = str(file.edition)
        raise GeneratorError(
            f"{file.name}: edition {edition} is not supported; quillspar.protoc reads editions 2023 and 2024"
        )


def _layout(modules: dict[str, str]) -> dict[str, str]:
    """Output path of each generated module, with the package files that make
    them importable: an `__init__.py` in every folder, `py.typed` at the top."""
    out: dict[str, str] = {}
    for file, module in modules.items():
        path = module.replace(".", "/") + ".py"
        if path in out:
            raise GeneratorError(f"{file} and {out[path]} would both be generated as module {module}")
        out[path] = file
    for path, file in list(out.items()):
        parts = path[: -len(".py")].split("/")
        for i in range(1, len(parts)):
            folder = "/".join(parts[:i])
            if folder + ".py" in out:
                raise GeneratorError(
                    f"{file} is generated into package {folder.replace('/', '.')}, "
                    f"which is also the module of {out[folder + '.py']}"
                )
    return out


def generate_from_request(request: Any, module_prefix: str = "") -> dict[str, str]:
    """The sources generated for a `CodeGeneratorRequest`: what the plugin
    answers, and what `generate` returns."""
    descriptor_pb2, _ = descriptor_modules()
    from google.protobuf import descriptor_pool

    for part in module_prefix.split(".") if module_prefix else ():
        if not part.isidentifier():
            raise GeneratorError(f"module prefix {module_prefix!r} is not a dotted Python module name")
    files = {file.name: file for file in request.proto_file}
    wanted = list(dict.fromkeys(request.file_to_generate))
    for name in wanted:
        if name not in files:
            raise GeneratorError(f"{name}: the compiler sent no descriptor for it")
        _check_edition(files[name], descriptor_pb2)
    pool = descriptor_pool.DescriptorPool()
    for file in request.proto_file:
        try:
            pool.Add(file)
        except Exception as exc:
            raise GeneratorError(f"{file.name}: the protobuf runtime rejects its descriptor: {exc}") from None
    index = Index(request.proto_file, wanted, module_prefix)
    paths = _layout({name: index.modules[name] for name in wanted})
    out: dict[str, str] = {}
    for path, name in paths.items():
        file = files[name]
        skipped = _check_extensions(file)
        source = write_module(file, index, pool)
        if skipped:
            note = "".join(f"# Not generated: custom option {s}.\n" for s in skipped)
            source = source.replace("\n__proto_package__", f"\n{note}\n__proto_package__", 1)
        out[path] = source
        if file.service:
            from ._grpc import generate_grpc_module

            stubs = generate_grpc_module(file, index.python_ref)
            if stubs is not None:
                out[path[: -len(".py")] + "_grpc.py"] = stubs
    for path in list(paths):
        parts = path.split("/")
        for i in range(1, len(parts)):
            out.setdefault("/".join(parts[:i]) + "/__init__.py", "")
        if len(parts) > 1:
            out.setdefault(parts[0] + "/py.typed", "")
    return dict(sorted(out.items()))


def generate(
    files: Iterable[str | os.PathLike[str]],
    proto_path: Iterable[str | os.PathLike[str]] = (),
    *,
    module_prefix: str = "",
) -> dict[str, str]:
    """Generate modules for .proto files; returns `{relative path: source}`.

    `files` are paths on disk (or names relative to an include directory),
    one path or several;
    `proto_path` lists the include directories, as protoc's `-I` (default:
    the current directory). `module_prefix` puts the generated tree below a
    package of your own (`"myapp.pb"`: modules `myapp.pb.shop.v1.order`, ...).

    Raises `GeneratorError` when no compiler is found, when the compiler
    rejects the files (its messages are the error's text), and for a
    construct quillspar cannot express.
    """
    if isinstance(files, (str, os.PathLike)):
        files = [files]
    if isinstance(proto_path, (str, os.PathLike)):
        proto_path = [proto_path]
    request, _ = compile_request(files, proto_path)
    return generate_from_request(request, module_prefix)


def _write(out_dir: str, sources: dict[str, str]) -> None:
    for path, source in sources.items():
        target = os.path.join(out_dir, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        marker = path.endswith(("/__init__.py", "/py.typed"))
        if os.path.exists(target):
            if marker:
                continue  # a package of the user's own: never overwrite its __init__
            with open(target, encoding="utf-8", newline="") as stream:
                if stream.read() == source:
                    continue
        with open(target, "w", encoding="utf-8", newline="\n") as stream:
            stream.write(source)


def main(argv: Sequence[str] | None = None) -> int:
    """`python -m quillspar.protoc -I PROTO_PATH --out DIR FILE.proto...`"""
    parser = argparse.ArgumentParser(
        prog="python -m quillspar.protoc",
        description="Generate typed quillspar modules from .proto files.",
    )
    parser.add_argument("-I", "--proto_path", "--proto-path", dest="proto_path", action="append", default=[],
                        metavar="PATH", help="a folder to look for .proto files in (repeatable; default: .)")
    parser.add_argument("--out", "-o", required=True, metavar="DIR",
                        help="where the generated package tree goes")
    parser.add_argument("--module-prefix", default="", metavar="PACKAGE",
                        help="generate below this Python package (e.g. myapp.pb)")
    parser.add_argument("files", nargs="+", metavar="FILE.proto")
    arguments = parser.parse_args(argv)
    try:
        request, warnings = compile_request(arguments.files, arguments.proto_path)
        sources = generate_from_request(request, arguments.module_prefix)
    except GeneratorError as exc:
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 1
    if warnings:
        print(warnings, file=sys.stderr)
    try:
        _write(arguments.out, sources)
    except OSError as exc:
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 1
    return 0


def _plugin_options(parameter: str) -> dict[str, str]:
    options = {}
    for item in filter(None, (p.strip() for p in parameter.split(","))):
        key, _, value = item.partition("=")
        if key != _MODULE_PREFIX_OPTION:
            raise GeneratorError(f"unknown option {key!r} (known: {_MODULE_PREFIX_OPTION}=PACKAGE)")
        options[key] = value
    return options


def plugin_main() -> None:
    """The protoc plugin `protoc-gen-quillspar`: a `CodeGeneratorRequest` on
    stdin, a `CodeGeneratorResponse` on stdout. Options go in the parameter:
    `--quillspar_opt=module_prefix=myapp.pb`."""
    try:
        _, plugin_pb2 = descriptor_modules()
    except GeneratorError as exc:
        print(f"protoc-gen-quillspar: {exc}", file=sys.stderr)
        sys.exit(1)
    try:
        request = plugin_pb2.CodeGeneratorRequest.FromString(sys.stdin.buffer.read())
    except Exception as exc:  # the runtime's DecodeError
        print(
            f"protoc-gen-quillspar: stdin holds no CodeGeneratorRequest ({exc}); this is a protoc plugin, "
            "run it as protoc --quillspar_out=DIR ..., or use python -m quillspar.protoc",
            file=sys.stderr,
        )
        sys.exit(1)
    response = plugin_pb2.CodeGeneratorResponse(
        supported_features=plugin_pb2.CodeGeneratorResponse.FEATURE_PROTO3_OPTIONAL
        | plugin_pb2.CodeGeneratorResponse.FEATURE_SUPPORTS_EDITIONS,
        minimum_edition=_EDITION_MIN,
        maximum_edition=_EDITION_MAX,
    )
    try:
        options = _plugin_options(request.parameter)
        sources = generate_from_request(request, options.get(_MODULE_PREFIX_OPTION, ""))
    except GeneratorError as exc:
        response.error = str(exc)
    else:
        for path, source in sources.items():
            response.file.add(name=path, content=source)
    sys.stdout.buffer.write(response.SerializeToString())
    sys.stdout.buffer.flush()
