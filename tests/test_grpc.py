"""gRPC modules written by the generator, on real grpcio servers over loopback.

The route guide of `grpc_service/` is compiled by protoc; its message classes
are written by hand, its gRPC module generated. The same server answers our
stubs and the reference runtime's generated client.
"""

import asyncio
import inspect
import shutil
import subprocess
import sys
from concurrent import futures
from pathlib import Path

import pytest
from google.protobuf import descriptor_pb2

from quillspar import Message, message
from quillspar.protoc._grpc import generate_grpc_module

grpc = pytest.importorskip("grpc")
grpc_protoc = pytest.importorskip("grpc_tools.protoc")

HERE = Path(__file__).parent / "grpc_service"
PACKAGE = "quillspar.test.routeguide"
SERVICE = PACKAGE + ".RouteGuide"
MODULES = ("routeguide", "routeguide_grpc", "routeguide_app", "routeguide_pb2", "routeguide_pb2_grpc")


def routeguide_ref(type_name: str) -> tuple[str, str]:
    assert type_name.startswith(f".{PACKAGE}."), type_name
    return "routeguide", type_name.removeprefix(f".{PACKAGE}.")


@pytest.fixture(scope="module")
def routeguide(tmp_path_factory):
    """The directory holding the route guide modules (ours and the reference
    runtime's), and the imported `routeguide_app`."""
    out = tmp_path_factory.mktemp("routeguide")
    for name in ("routeguide.proto", "routeguide.py", "routeguide_app.py"):
        shutil.copy(HERE / name, out / name)
    status = grpc_protoc.main(["protoc", f"-I{out}", "--include_source_info",
                               f"--descriptor_set_out={out / 'routeguide.pb'}",
                               f"--python_out={out}", f"--grpc_python_out={out}", str(out / "routeguide.proto")])
    assert status == 0
    files = descriptor_pb2.FileDescriptorSet.FromString((out / "routeguide.pb").read_bytes()).file
    (out / "routeguide_grpc.py").write_text(generate_grpc_module(files[0], routeguide_ref))
    sys.path.insert(0, str(out))
    try:
        import routeguide_app
        yield out, routeguide_app
    finally:
        sys.path.remove(str(out))
        for name in MODULES:
            sys.modules.pop(name, None)


def expected_results():
    from routeguide import Feature, Point, RouteSummary
    return (
        Feature(name="5,-7", location=Point(latitude=5, longitude=-7)),
        [Feature(name=f"{i},9", location=Point(latitude=i, longitude=9)) for i in range(3)],
        RouteSummary(point_count=3, distance=37),
        [Feature(name="A", location=Point(latitude=1)), Feature(name="BÉ"), Feature()],
    )


UNIMPLEMENTED_DETAILS = f"/{SERVICE}/Explain is not implemented"


def test_sync_server(routeguide):
    _, app = routeguide
    import routeguide_grpc
    import routeguide_pb2 as pb
    import routeguide_pb2_grpc
    from routeguide import Point

    server = grpc.server(futures.ThreadPoolExecutor(max_workers=4))
    try:
        routeguide_grpc.add_RouteGuideServicer_to_server(app.SyncGuide(), server)
        port = server.add_insecure_port("127.0.0.1:0")
        server.start()
        with grpc.insecure_channel(f"127.0.0.1:{port}") as channel:
            assert app.call_all(routeguide_grpc.RouteGuideStub(channel)) == expected_results()

            with pytest.raises(grpc.RpcError) as error:
                routeguide_grpc.RouteGuideStub(channel).Explain(Point(), timeout=10)
            assert error.value.code() == grpc.StatusCode.UNIMPLEMENTED
            assert error.value.details() == UNIMPLEMENTED_DETAILS

            # The reference runtime's client: same paths, same bytes.
            reference = routeguide_pb2_grpc.RouteGuideStub(channel)
            assert reference.GetFeature(pb.Point(latitude=-1, longitude=2), timeout=10) == pb.Feature(
                name="-1,2", location=pb.Point(latitude=-1, longitude=2))
            chat = reference.RouteChat(iter([pb.Feature(name="x", location=pb.Point(longitude=-5))]), timeout=10)
            assert list(chat) == [pb.Feature(name="X", location=pb.Point(longitude=-5))]
    finally:
        server.stop(None).wait(10)


def test_aio_server(routeguide):
    _, app = routeguide
    import routeguide_grpc
    from routeguide import Point

    async def main():
        server = grpc.aio.server()
        try:
            routeguide_grpc.add_RouteGuideServicer_to_server(app.AsyncGuide(), server)
            port = server.add_insecure_port("127.0.0.1:0")
            await server.start()
            async with grpc.aio.insecure_channel(f"127.0.0.1:{port}") as channel:
                stub = routeguide_grpc.RouteGuideAsyncStub(channel)
                assert await app.call_all_async(stub) == expected_results()
                # The base class's plain method, run by the aio server in its
                # executor; the aio server prefixes the details with the exception type.
                with pytest.raises(grpc.aio.AioRpcError) as error:
                    await stub.Explain(Point(), timeout=10)
                assert error.value.code() == grpc.StatusCode.UNIMPLEMENTED
                assert error.value.details().endswith(UNIMPLEMENTED_DETAILS)
        finally:
            await server.stop(None)

    asyncio.run(asyncio.wait_for(main(), 60))


def test_mypy_strict(routeguide):
    out, _ = routeguide
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", f"--cache-dir={out / '.mypy_cache'}",
         "routeguide_grpc.py", "routeguide_app.py"],
        cwd=out, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


# ---------------------------------------------------------------- the generator alone

@message
class Blob(Message):
    data: bytes = b""


def blob_ref(type_name: str) -> tuple[str, str]:
    return __name__, "Blob"


def service_file(*services, package="pkg", comments=()):
    file = descriptor_pb2.FileDescriptorProto(name="dir/svc.proto", package=package, syntax="proto3")
    file.message_type.add(name="Blob")
    for name, methods in services:
        service = file.service.add(name=name)
        for method in methods:
            service.method.add(name=method, input_type=".pkg.Blob", output_type=".pkg.Blob")
    for path, text in comments:
        file.source_code_info.location.add(path=path, leading_comments=text)
    return file


def load(source, name="svc_grpc"):
    module = type(sys)(name)
    exec(compile(source, name + ".py", "exec"), module.__dict__)
    return module


class RecordingChannel:
    def __init__(self):
        self.calls = []

    def __getattr__(self, kind):
        def method(path, request_serializer, response_deserializer, _registered_method):
            self.calls.append((kind, path, request_serializer, response_deserializer))
            return kind
        return method


class RecordingServer:
    def add_generic_rpc_handlers(self, handlers):
        self.generic = handlers

    def add_registered_method_handlers(self, service, handlers):
        self.registered = service, handlers


def test_no_service_no_module():
    assert generate_grpc_module(service_file(), blob_ref) is None


@pytest.mark.parametrize("package", ["pkg.v1", ""])
def test_python_names_and_wire_names(package):
    file = service_file(("S", ["class", "__init__", "Plain"]), package=package)
    source = generate_grpc_module(file, blob_ref)
    module = load(source)
    channel = RecordingChannel()
    stub = module.SStub(channel)
    prefix = f"/{package}.S/" if package else "/S/"
    assert [(kind, path) for kind, path, *_ in channel.calls] == [
        ("unary_unary", prefix + "class"), ("unary_unary", prefix + "__init__"), ("unary_unary", prefix + "Plain")]
    assert channel.calls[0][2] is Blob.to_bytes and channel.calls[0][3] == Blob.from_bytes
    assert (stub.class_, stub.__init___, stub.Plain) == ("unary_unary",) * 3

    servicer = module.SServicer()
    server = RecordingServer()
    module.add_SServicer_to_server(servicer, server)
    service, handlers = server.registered
    assert service == prefix.strip("/") and list(handlers) == ["class", "__init__", "Plain"]
    assert handlers["class"].unary_unary == servicer.class_
    assert handlers["__init__"].request_deserializer == Blob.from_bytes
    assert handlers["Plain"].response_serializer is Blob.to_bytes
    assert generate_grpc_module(file, blob_ref) == source


@pytest.mark.parametrize("comment", [
    'ends with a quote"',
    'three """ quotes and four """"',
    "a backslash \\n that is no newline",
    "control \x00 \x07 \x1b, separators \u2028 \x85 inside",
    " indented\n   more indented\n back\n",
])
def test_any_comment_is_one_docstring(comment):
    file = service_file(("S", ["M", "N"]), comments=[([6, 0, 2, 0], comment), ([6, 0], comment)])
    module = load(generate_grpc_module(file, blob_ref))
    assert inspect.getdoc(module.SServicer.M) == inspect.cleandoc(comment) and module.SServicer.N.__doc__ is None
    assert inspect.getdoc(module.SStub).startswith(inspect.cleandoc(comment))


@pytest.mark.parametrize(("file", "ref", "message"), [
    (service_file(("S", ["class", "class_"])), blob_ref,
     "dir/svc.proto: methods pkg.S.class and pkg.S.class_ both become 'class_' in Python"),
    (service_file(("Foo", []), ("FooAsync", [])), blob_ref,
     "dir/svc.proto: services 'Foo' and 'FooAsync' both define 'FooAsyncStub'"),
    (service_file(("S", ["M"]), package="pkg.no-dash"), blob_ref,
     "dir/svc.proto: package 'pkg.no-dash' is not a valid name"),
    (service_file(("S", ["M-1"])), blob_ref, "dir/svc.proto: method pkg.S.'M-1' is not a valid name"),
    (service_file(("S", ["M"])), lambda name: ("bad module", "Blob"),
     "dir/svc.proto: method pkg.S.M: type .pkg.Blob maps to 'bad module', 'Blob', which is not a Python name"),
])
def test_unusable_names(file, ref, message):
    with pytest.raises(ValueError) as error:
        generate_grpc_module(file, ref)
    assert str(error.value) == message
