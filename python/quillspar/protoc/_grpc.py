"""gRPC modules: client stubs, servicer base classes and their registration.

For a `.proto` file with services, `generate_grpc_module` writes the source of
the `<stem>_grpc.py` module that sits beside the file's message module. Per
service `S` it holds

- `SStub(channel)`: one attribute per method, a multi-callable of the channel
  that encodes requests with the request class's `to_bytes` and decodes
  responses with the response class's `from_bytes`; it works on `grpc` and
  `grpc.aio` channels alike and is typed for `grpc`,
- `SAsyncStub(channel)`: the same calls, typed for `grpc.aio`,
- `SServicer`: the base class of implementations; every method answers
  UNIMPLEMENTED until overridden, by a plain or an `async def` method,
- `add_SServicer_to_server(servicer, server)` for `grpc.server()` and
  `grpc.aio.server()`.

grpcio has no static types, so the module imports it untyped and annotates
everything with the protocols of `quillspar.grpc_types`; it passes
`mypy --strict`, with or without grpc's third-party stubs (types-grpcio). The `.proto` comments of services and methods become
docstrings. Output is stable: the same descriptor gives the same text.
"""

import keyword
import textwrap
from collections.abc import Callable
from typing import Final, NamedTuple

from google.protobuf import descriptor_pb2

from ._text import docstring

__all__ = ["generate_grpc_module"]

# Paths into FileDescriptorProto for source_code_info: field numbers of
# FileDescriptorProto.service and ServiceDescriptorProto.method.
_SERVICE_FIELD: Final = 6
_METHOD_FIELD: Final = 2

_RPC: Final = "_rpc"  # the generated module's name for quillspar.grpc_types


class _Method(NamedTuple):
    position: int  # in the service, for the path of its comment
    proto: descriptor_pb2.MethodDescriptorProto
    attr: str  # Python name
    request: tuple[str, str]  # python_ref's (module, qualified name)
    response: tuple[str, str]


# Per (client streaming, server streaming): grpc's name for the kind of method
# (`channel.unary_stream`, `grpc.unary_stream_rpc_method_handler`) and the
# protocol of the stub attribute (with an "Async" prefix for grpc.aio).
_KINDS: Final = {
    (False, False): ("unary_unary", "UnaryUnaryMultiCallable"),
    (False, True): ("unary_stream", "UnaryStreamMultiCallable"),
    (True, False): ("stream_unary", "StreamUnaryMultiCallable"),
    (True, True): ("stream_stream", "StreamStreamMultiCallable"),
}


def generate_grpc_module(file: descriptor_pb2.FileDescriptorProto,
                         python_ref: Callable[[str], tuple[str, str]]) -> str | None:
    """The source of the gRPC module for the services of `file`, or None when
    it defines no service.

    `python_ref` maps a fully qualified message name (".pkg.Msg") to the
    absolute name of the module that defines its class and the class's
    qualified name there ("Outer.Msg"). Raises `ValueError`, naming the file
    and the element, when a name cannot be used in Python.
    """
    if not file.service:
        return None
    return _Writer(file, python_ref).module()


class _Writer:
    def __init__(self, file: descriptor_pb2.FileDescriptorProto,
                 python_ref: Callable[[str], tuple[str, str]]) -> None:
        self.file = file
        self.python_ref = python_ref
        self.comments: dict[tuple[int, ...], str] = {}
        for location in file.source_code_info.location:
            text = _comment_text(location.leading_comments, location.trailing_comments)
            if text:
                self.comments[tuple(location.path)] = text
        self.modules: dict[str, str] = {}  # module name -> alias in the generated module
        self.public: list[str] = []
        self.abc: set[str] = set()

    def fail(self, what: str) -> ValueError:
        return ValueError(f"{self.file.name}: {what}")

    def module(self) -> str:
        # Names first: every alias must be known before the body is written,
        # and every class and function name must be free.
        if self.file.package and not all(part.isidentifier() for part in self.file.package.split(".")):
            raise self.fail(f"package {self.file.package!r} is not a valid name")
        services: list[tuple[int, descriptor_pb2.ServiceDescriptorProto, str, str, list[_Method]]] = []
        for index, service in enumerate(self.file.service):
            name = self.identifier(service.name, f"service {service.name!r}")
            full = f"{self.file.package}.{service.name}" if self.file.package else service.name
            methods: list[_Method] = []
            taken: dict[str, str] = {}
            for m_index, method in enumerate(service.method):
                attr = _python_name(self.identifier(method.name, f"method {full}.{method.name!r}"))
                if attr in taken:
                    raise self.fail(f"methods {full}.{taken[attr]} and {full}.{method.name} both "
                                    f"become {attr!r} in Python")
                taken[attr] = method.name
                methods.append(_Method(m_index, method, attr, self.type_ref(method.input_type, full, method.name),
                                       self.type_ref(method.output_type, full, method.name)))
            services.append((index, service, name, full, methods))
        owner: dict[str, str] = {}
        for _, service, name, _, _ in services:
            for public in (f"{name}Stub", f"{name}AsyncStub", f"{name}Servicer", f"add_{name}Servicer_to_server"):
                if public in owner:
                    raise self.fail(f"services {owner[public]!r} and {service.name!r} both define {public!r}")
                owner[public] = service.name
                self.public.append(public)
        aliases: dict[str, str] = {}
        reserved = set(owner) | {"grpc", _RPC, "Awaitable", "AsyncIterator", "Iterator"}
        for module in sorted(self.modules):
            base = "_" + module.rpartition(".")[2]
            alias, n = base, 1
            while alias in reserved:
                n += 1
                alias = f"{base}{n}"
            reserved.add(alias)
            aliases[module] = alias
        self.modules = aliases

        body: list[str] = []
        for index, service, name, full, methods in services:
            body += self.stub(index, name, full, methods, asynchronous=False)
            body += self.stub(index, name, full, methods, asynchronous=True)
            body += self.servicer(index, name, full, methods)
            body += self.add_function(name, full, methods)

        source = self.file.name if self.file.name.isprintable() else repr(self.file.name)
        out = [f"# Generated by quillspar.protoc from {source}. Do not edit.",
               *docstring(f"gRPC stubs and servicers for the services of `{self.file.name}`.", ""),
               ""]
        if self.abc:
            out.append(f"from collections.abc import {', '.join(sorted(self.abc))}")
            out.append("")
        out.append("import grpc  # type: ignore[import-untyped, unused-ignore]")
        out.append("")
        for module, alias in sorted([*self.modules.items(), ("quillspar.grpc_types", _RPC)]):
            out.append(f"import {module} as {alias}")
        out.append("")
        out.append("__all__ = [")
        out += [f'    "{name}",' for name in self.public]
        out.append("]")
        out += body
        return "\n".join(out) + "\n"

    # ------------------------------------------------------------ names

    def identifier(self, name: str, what: str) -> str:
        if not name.isidentifier() or not name.isascii():
            raise self.fail(f"{what} is not a valid name")
        return name

    def type_ref(self, type_name: str, service: str, method: str) -> tuple[str, str]:
        """(module, qualified class name) of a request or response type; the
        module is replaced by its alias once every module is known."""
        module, qualname = self.python_ref(type_name)
        if not module or not all(part.isidentifier() for part in [*module.split("."), *qualname.split(".")]):
            raise self.fail(f"method {service}.{method}: type {type_name} maps to {module!r}, {qualname!r}, "
                            "which is not a Python name")
        self.modules.setdefault(module, "")
        return module, qualname

    def cls(self, ref: tuple[str, str]) -> str:
        return f"{self.modules[ref[0]]}.{ref[1]}"

    # ------------------------------------------------------------ parts

    def stub(self, index: int, name: str, full: str, methods: list[_Method], *, asynchronous: bool) -> list[str]:
        comment = self.comments.get((_SERVICE_FIELD, index))
        if asynchronous:
            about = f"Client of `{full}` on a `grpc.aio.Channel`: `{name}Stub` typed for `grpc.aio`."
        else:
            about = (f"Client of `{full}` on a `grpc.Channel`.\n\n"
                     f"It works on a `grpc.aio.Channel` too; `{name}AsyncStub` is typed for that.")
        out = ["", "", f"class {name}{'AsyncStub' if asynchronous else 'Stub'}:"]
        out += docstring(f"{comment}\n\n{about}" if comment else about, "    ")
        for m_index, method, attr, request, response in methods:
            kind = _KINDS[method.client_streaming, method.server_streaming][1]
            out.append("")
            out.append(f"    {attr}: {_RPC}.{'Async' if asynchronous else ''}{kind}"
                       f"[{self.cls(request)}, {self.cls(response)}]")
            method_comment = self.comments.get((_SERVICE_FIELD, index, _METHOD_FIELD, m_index))
            if method_comment:
                out += docstring(method_comment, "    ")
        out += ["", f"    def __init__(self, channel: {_RPC}.Channel) -> None:"]
        if not methods:
            out.append("        pass")
        for _, method, attr, request, response in methods:
            call = _KINDS[method.client_streaming, method.server_streaming][0]
            out += [f"        self.{attr} = channel.{call}(",
                    f'            "/{full}/{method.name}",',
                    f"            request_serializer={self.cls(request)}.to_bytes,",
                    f"            response_deserializer={self.cls(response)}.from_bytes,",
                    "            _registered_method=True,",
                    "        )"]
        return out

    def servicer(self, index: int, name: str, full: str, methods: list[_Method]) -> list[str]:
        comment = self.comments.get((_SERVICE_FIELD, index))
        about = (f"Base class of implementations of `{full}`, for `grpc.server()` and `grpc.aio.server()`.\n\n"
                 "Override the methods, as plain methods (generators for streamed responses) or as\n"
                 "`async def` ones (async generators) under `grpc.aio`, and register an instance with\n"
                 f"`add_{name}Servicer_to_server`. A method left alone answers UNIMPLEMENTED.")
        out = ["", "", f"class {name}Servicer:"]
        out += docstring(f"{comment}\n\n{about}" if comment else about, "    ")
        for m_index, method, attr, request, response in methods:
            req, resp = self.cls(request), self.cls(response)
            if method.client_streaming:
                argument = f"request_iterator: {_RPC}.RequestIterator[{req}]"
            else:
                argument = f"request: {req}"
            if method.server_streaming:
                self.abc |= {"Iterator", "AsyncIterator"}
                result = f"Iterator[{resp}] | AsyncIterator[{resp}]"
            else:
                self.abc.add("Awaitable")
                result = f"{resp} | Awaitable[{resp}]"
            parameters = f"self, {argument}, context: {_RPC}.AnyServicerContext"
            if len(parameters) + len(attr) + len(result) > 100:
                out += ["", f"    def {attr}(", f"        {parameters},", f"    ) -> {result}:"]
            else:
                out += ["", f"    def {attr}({parameters}) -> {result}:"]
            method_comment = self.comments.get((_SERVICE_FIELD, index, _METHOD_FIELD, m_index))
            if method_comment:
                out += docstring(method_comment, "        ")
            details = f"/{full}/{method.name} is not implemented"
            out += ["        context.set_code(grpc.StatusCode.UNIMPLEMENTED)",
                    f'        context.set_details("{details}")',
                    f'        raise NotImplementedError("{details}")']
        return out

    def add_function(self, name: str, full: str, methods: list[_Method]) -> list[str]:
        out = ["", "", f"def add_{name}Servicer_to_server(servicer: {name}Servicer, server: {_RPC}.Server) -> None:"]
        out += docstring(f"Register `servicer` for `{full}` with a `grpc.server()` or a `grpc.aio.server()`.",
                          "    ")
        if not methods:
            out.append(f"    handlers: dict[str, {_RPC}.MethodHandler] = {{}}")
        else:
            out.append(f"    handlers: dict[str, {_RPC}.MethodHandler] = {{")
        for _, method, attr, request, response in methods:
            call = _KINDS[method.client_streaming, method.server_streaming][0]
            out += [f'        "{method.name}": grpc.{call}_rpc_method_handler(',
                    f"            servicer.{attr},",
                    f"            request_deserializer={self.cls(request)}.from_bytes,",
                    f"            response_serializer={self.cls(response)}.to_bytes,",
                    "        ),"]
        if methods:
            out.append("    }")
        out += [f'    server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler("{full}", handlers),))',
                f'    server.add_registered_method_handlers("{full}", handlers)']
        return out


def _python_name(name: str) -> str:
    """The attribute for a method: keywords and dunder names get a trailing underscore."""
    if keyword.iskeyword(name) or (name.startswith("__") and name.endswith("__")):
        return name + "_"
    return name


def _comment_text(leading: str, trailing: str) -> str:
    parts = []
    for comment in (leading, trailing):
        lines = [line.rstrip() for line in textwrap.dedent(comment.replace("\r\n", "\n")).split("\n")]
        text = "\n".join(lines).strip("\n")
        if text.strip():
            parts.append(text)
    return "\n\n".join(parts)
