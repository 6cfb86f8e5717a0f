"""Running a real protobuf compiler and reading what it produces.

`compile_request` runs protoc over .proto files and returns the same
`CodeGeneratorRequest` that protoc hands a plugin: every file's
`FileDescriptorProto` (imports first, with source comments), and the names of
the files asked for. The compiler is the one bundled with grpcio-tools when it
is installed, else `protoc` from PATH; its error messages are passed on as they
are.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

__all__ = ["GeneratorError", "descriptor_modules", "find_compiler", "compile_request"]

if TYPE_CHECKING:
    from google.protobuf.compiler import plugin_pb2

INSTALL_HINT = "pip install quillspar[protoc]"


class GeneratorError(Exception):
    """The generator cannot turn the given .proto files into Python modules.

    The message says why: no compiler was found, the compiler rejected the
    files (its own messages, unchanged), or a file uses a construct that
    quillspar cannot express (with file, line and element).
    """


def descriptor_modules() -> tuple[Any, Any]:
    """The `descriptor_pb2` and `plugin_pb2` modules of the protobuf package."""
    try:
        from google.protobuf import descriptor_pb2
        from google.protobuf.compiler import plugin_pb2
    except ImportError as exc:
        raise GeneratorError(
            "the code generator reads the compiler's output with the protobuf package, "
            f"which is not installed ({exc}); install it with: {INSTALL_HINT}"
        ) from None
    return descriptor_pb2, plugin_pb2


def _has_grpc_tools() -> bool:
    if "grpc_tools" in sys.modules:
        return sys.modules["grpc_tools"] is not None
    try:
        return importlib.util.find_spec("grpc_tools") is not None
    except (ImportError, ValueError):
        return False


def find_compiler() -> list[str]:
    """The command that runs protoc: grpcio-tools' (which adds the include
    path of the well-known types by itself) or the one on PATH."""
    if sys.executable and _has_grpc_tools():
        return [sys.executable, "-m", "grpc_tools.protoc"]
    found = shutil.which("protoc")
    if found is not None:
        return [found]
    raise GeneratorError(
        "no protobuf compiler found: neither grpcio-tools is installed nor protoc on PATH; "
        f"install the bundled one with: {INSTALL_HINT}"
    )


def _virtual_name(file: str, proto_path: list[str]) -> str:
    """The name protoc gives an input file: its path relative to the first
    include directory that holds it, or the name itself when it is not a file
    on disk (protoc then looks it up in the include directories)."""
    if os.path.isfile(file):
        absolute = os.path.abspath(file)
        for directory in proto_path:
            relative = os.path.relpath(absolute, os.path.abspath(directory))
            if relative != os.pardir and not relative.startswith(os.pardir + os.sep):
                return relative.replace(os.sep, "/")
    return file.replace(os.sep, "/")


def compile_request(
    files: Iterable[str | os.PathLike[str]], proto_path: Iterable[str | os.PathLike[str]] = ()
) -> "tuple[plugin_pb2.CodeGeneratorRequest, str]":
    """Compile the files with protoc.

    Returns what protoc would send a plugin, and protoc's warnings (an unused
    import, ...), empty when there were none.
    """
    descriptor_pb2, plugin_pb2 = descriptor_modules()
    inputs = [os.fspath(f) for f in files]
    includes = [os.fspath(p) for p in proto_path] or ["."]
    if not inputs:
        raise GeneratorError("no .proto files given")
    command = find_compiler()
    with tempfile.TemporaryDirectory(prefix="quillspar-protoc-") as scratch:
        out = os.path.join(scratch, "descriptors.pb")
        arguments = [
            *(f"--proto_path={p}" for p in includes),
            f"--descriptor_set_out={out}",
            "--include_imports",
            "--include_source_info",
            *inputs,
        ]
        try:
            done = subprocess.run([*command, *arguments], capture_output=True, text=True, errors="replace")
        except OSError as exc:
            raise GeneratorError(f"running the protobuf compiler {command[0]!r} failed: {exc}") from None
        if done.returncode != 0:
            text = done.stderr.strip() or done.stdout.strip()
            raise GeneratorError(text or f"protoc exited with status {done.returncode}")
        with open(out, "rb") as stream:
            descriptor_set = descriptor_pb2.FileDescriptorSet.FromString(stream.read())
    request = plugin_pb2.CodeGeneratorRequest()
    request.proto_file.extend(descriptor_set.file)
    known = {f.name for f in descriptor_set.file}
    for file in inputs:
        name = _virtual_name(file, includes)
        if name not in known:
            raise GeneratorError(
                f"{file}: not among the files protoc compiled (looked for {name!r}); "
                "name it by a path inside one of the include directories (-I)"
            )
        if name not in request.file_to_generate:
            request.file_to_generate.append(name)
    return request, done.stderr.strip()
