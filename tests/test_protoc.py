"""The code generator against protoc and the reference runtime.

The schemas under tests/protos are compiled once; the generated modules are
imported (below the package `qsgen`) beside the reference runtime's classes,
which are built from the very descriptors protoc produced. Values drawn by
hypothesis travel both ways and must give the same bytes.
"""

import importlib
import importlib.util
import keyword
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from google.protobuf import descriptor, descriptor_pb2, descriptor_pool, message_factory
from hypothesis import HealthCheck, given, settings, strategies as st

import quillspar
from quillspar.protoc import GeneratorError, generate, generate_from_request, main
from quillspar.protoc._compiler import compile_request
from quillspar.protoc._names import Index

from codec_protos import PROTO_TYPE, RANGES

PROTOS = Path(__file__).parent / "protos"
FILES = [
    "otel/common/v1/common.proto",
    "otel/trace/v1/trace.proto",
    "shop/v1/shop.proto",
    "edge/v1/names.proto",
    "legacy/v1/legacy.proto",
    "editions/v1/editions.proto",
    "google/protobuf/descriptor.proto",
]
PREFIX = "qsgen"
FD = descriptor.FieldDescriptor


@pytest.fixture(scope="session")
def compiled():
    """protoc's request for all test schemas, and a pool holding its descriptors."""
    request, _ = compile_request([PROTOS / f if not f.startswith("google/") else f for f in FILES], [PROTOS])
    pool = descriptor_pool.DescriptorPool()
    for file in request.proto_file:
        pool.Add(file)
    return request, pool


@pytest.fixture(scope="session")
def classes(compiled, modules):
    """The generated class of a full protobuf name, found as the generator refers to it."""
    request = compiled[0]
    index = Index(request.proto_file, request.file_to_generate, PREFIX)

    def find(full_name):
        module, qualname = index.python_ref(full_name)
        found = sys.modules[module]
        for part in qualname.split("."):
            found = getattr(found, part)
        return found

    return find


@pytest.fixture(scope="session")
def modules(compiled, tmp_path_factory):
    """The generated modules, by .proto file name."""
    out = tmp_path_factory.mktemp("generated")
    sources = generate_from_request(compiled[0], PREFIX)
    for path, source in sources.items():
        target = out / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(source)
    sys.path.insert(0, str(out))
    index = Index(compiled[0].proto_file, FILES, PREFIX)
    yield {name: importlib.import_module(index.modules[name]) for name in FILES}
    sys.path.remove(str(out))


# ---------------------------------------------------------------- values both ways

_SCALARS = {
    **{PROTO_TYPE[kind]: st.integers(lo, hi) for kind, (lo, hi) in RANGES.items()},
    FD.TYPE_DOUBLE: st.floats(allow_nan=False), FD.TYPE_FLOAT: st.floats(allow_nan=False, width=32),
    FD.TYPE_BOOL: st.booleans(), FD.TYPE_STRING: st.text(max_size=8), FD.TYPE_BYTES: st.binary(max_size=8),
}
# The well-known types check their ranges; their values stay inside.
_RANGES = {
    "google.protobuf.Timestamp": {"seconds": st.integers(-62135596800, 253402300799),
                                  "nanos": st.integers(0, 999_999_999)},
    "google.protobuf.Duration": {"seconds": st.integers(0, 315576000000), "nanos": st.integers(0, 999_999_999)},
}
MAX_DEPTH = 3


def _value(draw, f, depth):
    if f.type == FD.TYPE_MESSAGE:
        return draw(reference_values(f.message_type, depth + 1))
    if f.type == FD.TYPE_ENUM:
        known = st.sampled_from([v.number for v in f.enum_type.values])
        return draw(known if f.enum_type.is_closed else known | st.integers(-(1 << 31), (1 << 31) - 1))
    return draw(_SCALARS[f.type])


@st.composite
def reference_values(draw, desc, depth=0):
    """A reference message with every kind of field set or not."""
    msg = message_factory.GetMessageClass(desc)()
    ranges = _RANGES.get(desc.full_name, {})
    real = [o for o in desc.oneofs if len(o.fields) > 1 or o.name.lstrip("X") != "_" + o.fields[0].name]
    chosen = {o.name: draw(st.sampled_from([None, *o.fields])) for o in real}
    for f in desc.fields:
        oneof = f.containing_oneof
        if oneof is not None and oneof.name in chosen and chosen[oneof.name] is not f:
            continue
        nested = f.type == FD.TYPE_MESSAGE
        if nested and depth >= MAX_DEPTH and not f.is_required:
            continue
        if nested and f.message_type.GetOptions().map_entry:
            key_field, value_field = f.message_type.fields
            target = getattr(msg, f.name)
            for _ in range(draw(st.integers(0, 2))):
                key, value = _value(draw, key_field, depth), _value(draw, value_field, depth)
                if value_field.type == FD.TYPE_MESSAGE:
                    target[key].CopyFrom(value)
                else:
                    target[key] = value
        elif f.is_repeated:
            values = [_value(draw, f, depth) for _ in range(draw(st.integers(0, 3)))]
            target = getattr(msg, f.name)
            for value in values:
                target.add().CopyFrom(value) if nested else target.append(value)
        elif f.is_required or oneof is not None and oneof.name in chosen or not f.has_presence or draw(st.booleans()):
            value = draw(ranges[f.name]) if f.name in ranges else _value(draw, f, depth)
            getattr(msg, f.name).CopyFrom(value) if nested else setattr(msg, f.name, value)
    return msg


def python_name(name):
    return name + "_" if keyword.iskeyword(name) or name in ("to_bytes", "from_bytes", "_unknown_fields") else name


def to_quillspar(ref, classes, like):
    """The same value as an instance of the generated class, built by its
    constructor; maps take their order from `like`, the same value decoded
    from the reference runtime's deterministic bytes."""
    desc = ref.DESCRIPTOR
    kwargs = {}

    def convert(f, value, like_value):
        return to_quillspar(value, classes, like_value) if f.type == FD.TYPE_MESSAGE else value

    for f in desc.fields:
        value, like_value = getattr(ref, f.name), getattr(like, python_name(f.name))
        if f.type == FD.TYPE_MESSAGE and f.message_type.GetOptions().map_entry:
            value_field = f.message_type.fields_by_name["value"]
            kwargs[python_name(f.name)] = {k: convert(value_field, value[k], like_value[k]) for k in like_value}
        elif f.is_repeated:
            kwargs[python_name(f.name)] = [convert(f, v, w) for v, w in zip(value, like_value, strict=True)]
        elif not f.has_presence or ref.HasField(f.name):
            kwargs[python_name(f.name)] = convert(f, value, like_value)
    return classes(desc.full_name)(**kwargs)


ROUND_TRIP = [
    "otel.trace.v1.TracesData", "otel.trace.v1.Span", "otel.trace.v1.Status", "otel.common.v1.AnyValue",
    "shop.v1.Order", "edge.v1.Names", "edge.v1.Uses", "legacy.v1.Reading", "editions.v1.Sample",
]


@pytest.mark.parametrize("full_name", ROUND_TRIP)
def test_values_travel_both_ways_byte_for_byte(compiled, classes, full_name):
    desc = compiled[1].FindMessageTypeByName(full_name)
    reference = message_factory.GetMessageClass(desc)
    cls = classes(full_name)
    assert quillspar.full_name(cls) == full_name

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(reference_values(desc))
    def check(ref):
        data = ref.SerializeToString(deterministic=True)
        decoded = cls.from_bytes(data)
        assert decoded.to_bytes() == data
        built = to_quillspar(ref, classes, decoded)
        assert built == decoded
        assert built.to_bytes() == data
        assert reference.FromString(built.to_bytes()) == ref

    check()


def test_real_descriptors_travel_through_generated_descriptor_proto(compiled, modules):
    generated = modules["google/protobuf/descriptor.proto"]
    for file in compiled[0].proto_file:
        data = file.SerializeToString(deterministic=True)
        decoded = generated.FileDescriptorProto.from_bytes(data)
        assert decoded.to_bytes() == data
        assert decoded.name == file.name and len(decoded.message_type) == len(file.message_type)


# ---------------------------------------------------------------- descriptors

def _normalised(message):
    """A DescriptorProto with the order of fields and nested types, and what
    classes cannot know (reserved names and ranges, options besides the field
    ones), left out."""
    out = descriptor_pb2.DescriptorProto()
    out.CopyFrom(message)
    fields = sorted(out.field, key=lambda f: f.number)
    del out.field[:]
    out.field.extend(fields)
    nested = sorted((_normalised(m) for m in out.nested_type), key=lambda m: m.name)
    del out.nested_type[:]
    out.nested_type.extend(nested)
    enums = sorted(out.enum_type, key=lambda e: e.name)
    del out.enum_type[:]
    out.enum_type.extend(enums)
    out.ClearField("reserved_range")
    out.ClearField("reserved_name")
    for e in out.enum_type:
        for value in e.value:
            value.ClearField("options")  # enum members have no options
    map_entry = out.options.map_entry
    out.ClearField("options")
    if map_entry:
        out.options.map_entry = True
    return out


@pytest.mark.parametrize("file_name", ["otel/common/v1/common.proto", "otel/trace/v1/trace.proto", "shop/v1/shop.proto"])
def test_descriptors_of_generated_classes_equal_protocs(compiled, modules, file_name):
    ours = {}
    module = modules[file_name]
    classes = [c for c in vars(module).values() if isinstance(c, type) and c.__module__ == module.__name__]
    for data in quillspar.file_descriptors(*classes):
        exported = descriptor_pb2.FileDescriptorProto.FromString(data)
        for m in exported.message_type:
            ours[f"{exported.package}.{m.name}"] = m
        for e in exported.enum_type:
            ours[f"{exported.package}.{e.name}"] = e
    protoc = next(f for f in compiled[0].proto_file if f.name == file_name)
    for m in protoc.message_type:
        assert _normalised(ours[f"{protoc.package}.{m.name}"]) == _normalised(m), m.name
    for e in protoc.enum_type:
        assert ours[f"{protoc.package}.{e.name}"] == e


def test_names_python_cannot_hold_keep_their_protobuf_names(modules):
    names = modules["edge/v1/names.proto"]
    value = names.Names(from_=1, class_="c", to_bytes_=b"b", _unknown_fields_=5, Status=names.Status(code=2),
                        yield_=7, kind=names.Names.import_.None_)
    assert names.Names.from_bytes(value.to_bytes()) == value
    assert quillspar.full_name(names.Names.import_) == "edge.v1.Names.import"
    assert [m.name for m in names.Names.import_] == ["None_", "mro_", "_ignore__", "name_"]
    assert names.Names.str is not names.str
    exported = descriptor_pb2.FileDescriptorProto.FromString(quillspar.file_descriptors(names.Names)[0])
    (message,) = [m for m in exported.message_type if m.name == "Names"]
    assert [f.name for f in message.field][:8] == [
        "from", "class", "to_bytes", "from_bytes", "_unknown_fields", "field", "message", "Status"]
    assert [m.name for m in message.nested_type if not m.options.map_entry] == ["str"]
    assert [e.name for e in message.enum_type] == ["import"]


def test_find_class_tells_a_nested_class_from_a_top_level_one(modules):
    names = modules["edge/v1/names.proto"]
    assert quillspar.find_class("edge.v1.str") is names.str
    assert quillspar.find_class("edge.v1.Names.str") is names.Names.str


# ---------------------------------------------------------------- the generated text

def test_generated_module_text():
    sources = generate([PROTOS / "otel/common/v1/common.proto"], [PROTOS])
    assert list(sources) == [
        "otel/__init__.py", "otel/common/__init__.py", "otel/common/v1/__init__.py",
        "otel/common/v1/common.py", "otel/py.typed",
    ]
    text = sources["otel/common/v1/common.py"]  # comments before a field: its docstring; before a oneof: comments
    assert '    values: list[AnyValue] = field(1)\n    """Array of values. The array may be empty' in text
    assert (
        "    # The value is one of the listed fields. It is valid for all values to be\n"
        '    # unspecified in which case this AnyValue is considered to be "empty".\n'
        '    string_value: str | None = field(1, oneof="value")\n'
    ) in text


def test_proto2_and_editions_say_what_is_not_enforced(modules):
    text = generate([PROTOS / "legacy/v1/legacy.proto", PROTOS / "editions/v1/editions.proto"], [PROTOS])
    assert "    value: int32 | None = field(2)\n" in text["legacy/v1/legacy.py"]
    assert '    id: int64 | None = field(7)\n    """Required by the .proto; not enforced."""\n' in text["editions/v1/editions.py"]
    assert modules["legacy/v1/legacy.proto"].Reading().value is None  # the .proto's default is not applied


def test_docstrings_escape_what_comments_may_hold(tmp_path):
    (tmp_path / "doc.proto").write_text(
        'syntax = "proto3";\n// Ends in a quote: "\n// Three: """ and a backslash \\ and a bell \a.\n'
        "message Doc {\n  int32 x = 1; // trailing\n}\n"
    )
    text = generate(tmp_path / "doc.proto", tmp_path)["doc.py"]  # one path, given alone
    namespace = {}
    exec(compile(text, "doc.py", "exec"), namespace)
    assert namespace["Doc"].__doc__ == 'Ends in a quote: "\nThree: """ and a backslash \\ and a bell \a.\n'
    assert '    x: int32 = field(1)\n    """trailing"""\n' in text


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_generated_code_passes_mypy_strict(compiled, tmp_path):
    sources = generate_from_request(compiled[0], PREFIX)
    for path, source in sources.items():
        target = tmp_path / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(source)
    (tmp_path / "use.py").write_text(
        "from qsgen.otel.trace.v1 import trace\n"
        "from qsgen.edge.v1 import names\n"
        "span = trace.Span(name='x', kind=trace.Span.SpanKind.SPAN_KIND_SERVER, events=[trace.Span.Event()])\n"
        "data: bytes = span.to_bytes()\n"
        "again: trace.Span = trace.Span.from_bytes(data)\n"
        "n = names.Names(from_=1, str=names.str(value='v'))\n"
        "bad = trace.Span(name=1)\n"
    )
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "-p", PREFIX, "-m", "use"],
        cwd=tmp_path, capture_output=True, text=True,
    )
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 2 and all(line.startswith("use.py:") for line in errors), done.stdout
    assert 'use.py:6: error: Unexpected keyword argument "str" for "Names"' in errors[0]
    assert 'use.py:7: error: Argument "name" to "Span" has incompatible type "int"' in errors[1]


# ---------------------------------------------------------------- entry points

PLUGIN = shutil.which("protoc-gen-quillspar", path=os.path.dirname(sys.executable))


def protoc(*arguments):
    return subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"--plugin=protoc-gen-quillspar={PLUGIN}",
                           *arguments], capture_output=True, text=True)


def test_command_line_and_plugin_write_what_generate_returns(tmp_path):
    files = ["otel/trace/v1/trace.proto", "otel/common/v1/common.proto", "shop/v1/shop.proto",
             "editions/v1/editions.proto"]
    expected = generate([PROTOS / f for f in files], [PROTOS])
    assert "shop/v1/shop_grpc.py" in expected

    cli = tmp_path / "cli"
    (cli / "otel").mkdir(parents=True)
    (cli / "otel" / "__init__.py").write_text("OWN = 1\n")  # a package of the user's own stays as it is
    assert main(["-I", str(PROTOS), "--out", str(cli), *(str(PROTOS / f) for f in files)]) == 0
    written = {p.relative_to(cli).as_posix(): p.read_text() for p in cli.rglob("*") if p.is_file()}
    assert written == {**expected, "otel/__init__.py": "OWN = 1\n"}

    out = tmp_path / "plugin"
    out.mkdir()
    done = protoc(f"--quillspar_out={out}", f"-I{PROTOS}", *files)
    assert done.returncode == 0, done.stderr
    written = {p.relative_to(out).as_posix(): p.read_text() for p in out.rglob("*") if p.is_file()}
    assert written == expected


def test_plugin_passes_module_prefix_and_reports_errors(tmp_path):
    (tmp_path / "g.proto").write_text('syntax = "proto2";\nmessage M {\n  optional group G = 1 { optional int32 a = 2; }\n}\n')
    done = protoc(f"-I{tmp_path}", f"--quillspar_out={tmp_path}", "g.proto")
    assert done.returncode == 1
    assert "--quillspar_out: g.proto:3:3: field M.g is a group, which quillspar does not support" in done.stderr
    (tmp_path / "ok.proto").write_text('syntax = "proto3";\npackage p;\nmessage M {}\n')
    done = protoc(f"-I{tmp_path}", f"--quillspar_out=module_prefix=my.pb:{tmp_path}", "ok.proto")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "my" / "pb" / "p" / "ok.py").is_file()
    done = protoc(f"-I{tmp_path}", f"--quillspar_out=colour=red:{tmp_path}", "ok.proto")
    assert "unknown option 'colour'" in done.stderr
    alone = subprocess.run([PLUGIN], input=b"\xff\xff", capture_output=True)
    assert alone.returncode == 1 and b"stdin holds no CodeGeneratorRequest" in alone.stderr


# ---------------------------------------------------------------- errors

REFUSED = [
    ('syntax = "proto2";\nmessage M {\n  optional group G = 1 { optional int32 a = 2; }\n}\n',
     "x.proto:3:3: field M.g is a group, which quillspar does not support"),
    ('edition = "2023";\nmessage M {\n  M child = 1 [features.message_encoding = DELIMITED];\n}\n',
     "x.proto:3:3: field M.child is delimited-encoded (a group on the wire), which quillspar does not support"),
    ('syntax = "proto2";\npackage p;\nmessage M { extensions 10 to 20; }\nextend M {\n  optional int32 more = 10;\n}\n',
     "x.proto:5:3: extension p.more of p.M is not supported: quillspar message classes have no extensions"),
    ('syntax = "proto2";\nmessage M {\n  extensions 10 to 20;\n  message N {\n    extend M { optional N back = 11; }\n  }\n}\n',
     "x.proto:5:16: extension M.N.back of M is not supported"),
]


@pytest.mark.parametrize("source, message", REFUSED)
def test_constructs_quillspar_cannot_express_are_refused_with_file_and_line(tmp_path, source, message):
    (tmp_path / "x.proto").write_text(source)
    with pytest.raises(GeneratorError, match="^" + message.replace("(", r"\(").replace(")", r"\)").replace(".", r"\.")):
        generate([tmp_path / "x.proto"], [tmp_path])


def test_editions_newer_than_2024_are_refused(compiled):
    request = type(compiled[0])()
    request.CopyFrom(compiled[0])
    del request.file_to_generate[:]
    request.file_to_generate.append("editions/v1/editions.proto")
    file = next(f for f in request.proto_file if f.name == "editions/v1/editions.proto")
    file.edition = descriptor_pb2.EDITION_99997_TEST_ONLY
    with pytest.raises(GeneratorError, match=r"^editions/v1/editions\.proto: edition EDITION_99997_TEST_ONLY is not "
                                             r"supported; quillspar\.protoc reads editions 2023 and 2024$"):
        generate_from_request(request)


def test_custom_options_are_left_out_with_a_note(tmp_path):
    (tmp_path / "x.proto").write_text(
        'syntax = "proto3";\npackage p;\nimport "google/protobuf/descriptor.proto";\n'
        "extend google.protobuf.FieldOptions { string unit = 50001; }\n"
        "message M { double length = 1 [(unit) = \"m\"]; }\n"
    )
    text = generate([tmp_path / "x.proto"], [tmp_path])["p/x.py"]
    assert "# Not generated: custom option p.unit (an option of google.protobuf.FieldOptions).\n" in text
    assert "    length: double = field(1)\n" in text


def test_protoc_messages_pass_through(tmp_path):
    (tmp_path / "bad.proto").write_text('syntax = "proto3";\nmessage M {\n  int32 x = 1\n}\n')
    with pytest.raises(GeneratorError) as caught:
        generate([tmp_path / "bad.proto"], [tmp_path])
    assert str(caught.value) == f'{tmp_path / "bad.proto"}:4:1: Expected ";".'
    assert main(["-I", str(tmp_path), "--out", str(tmp_path / "out"), str(tmp_path / "bad.proto")]) == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.skipif(shutil.which("protoc") is None, reason="no protoc on PATH")
def test_protoc_on_path_serves_without_grpcio_tools(monkeypatch):
    expected = generate([PROTOS / "otel/common/v1/common.proto"], [PROTOS])
    monkeypatch.setitem(sys.modules, "grpc_tools", None)
    assert generate([PROTOS / "otel/common/v1/common.proto"], [PROTOS]) == expected


def test_no_compiler_says_what_to_install(monkeypatch, tmp_path):
    (tmp_path / "x.proto").write_text('syntax = "proto3";\n')
    monkeypatch.setitem(sys.modules, "grpc_tools", None)
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(GeneratorError, match=r"no protobuf compiler found.*pip install quillspar\[protoc\]"):
        generate([tmp_path / "x.proto"], [tmp_path])


def test_modules_that_would_overwrite_each_other_are_refused(tmp_path):
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "same.proto").write_text(f'syntax = "proto3";\npackage p;\nmessage {folder.upper()} {{}}\n')
    with pytest.raises(GeneratorError, match=r"^b/same\.proto and a/same\.proto would both be generated as module p\.same$"):
        generate([tmp_path / "a/same.proto", tmp_path / "b/same.proto"], [tmp_path])
