"""The module surface of quillspar._core: attributes, the Descriptor type
object, argument binding and argument type errors, PanicException, and
module initialisation."""

import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

from quillspar import _core
from quillspar._core import Descriptor, compile_descriptor

EMPTY = compile_descriptor(b"")


def test_module_attributes():
    assert _core.__all__ == ["Descriptor", "compile_descriptor"]
    assert _core.__name__ == "quillspar._core"
    assert _core.__doc__ == "The native core module, imported by the `quillspar` Python package as\n`quillspar._core`."
    assert compile_descriptor.__module__ == "quillspar._core"
    assert compile_descriptor.__name__ == "compile_descriptor"
    assert compile_descriptor.__self__ is _core
    assert not hasattr(_core, "PanicException")


def test_descriptor_type_object():
    assert Descriptor.__module__ == "builtins"
    assert Descriptor.__name__ == Descriptor.__qualname__ == "Descriptor"
    assert Descriptor.__bases__ == (object,)
    assert Descriptor.__doc__ is None
    assert type(EMPTY) is Descriptor
    with pytest.raises(TypeError, match=r"^No constructor defined for Descriptor$"):
        Descriptor()
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (Descriptor,), {})


def test_descriptor_instances_are_bare():
    d = compile_descriptor(b"")
    assert not hasattr(d, "__dict__")
    with pytest.raises(AttributeError):
        d.extra = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(d)
    # Not part of cyclic garbage collection; identity semantics of object.
    assert not gc.is_tracked(d)
    assert d == d and d != compile_descriptor(b"") and hash(d) == hash(d)
    assert repr(d).startswith("<builtins.Descriptor object at 0x")


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("ref_fields", "($self)", "`(field_number, short_type_name)` for every field that references\n"
         "another class (enum, message, or a map with an enum/message value)."),
        ("link", "($self, mapping)", "Store resolved `{field_number: class}` references and mark linked."),
        ("encode", "($self, instance)", "Encode a message instance to protobuf wire bytes."),
        ("decode", "($self, cls, data)", "Decode wire bytes into a new instance of `cls`."),
    ],
)
def test_method_docstrings(name, signature, doc):
    method = getattr(Descriptor, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_function_docstring_and_properties():
    assert compile_descriptor.__text_signature__ == "(data)"
    assert compile_descriptor.__doc__ == (
        "Parse `DescriptorProto` bytes into a reusable [`Descriptor`]. Called once per\n"
        "message by the `message()` decorator at import time."
    )
    for prop in ("name", "is_linked"):
        assert getattr(Descriptor, prop).__doc__ == ""
        with pytest.raises(AttributeError, match="not writable"):
            setattr(EMPTY, prop, getattr(EMPTY, prop))
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        EMPTY.ref_fields(1)


CALLABLES = {
    "compile_descriptor()": compile_descriptor,
    "Descriptor.link()": EMPTY.link,
    "Descriptor.encode()": EMPTY.encode,
    "Descriptor.decode()": EMPTY.decode,
}


@pytest.mark.parametrize(
    "callable_name, args, kwargs, message",
    [
        ("compile_descriptor()", (), {}, "missing 1 required positional argument: 'data'"),
        ("compile_descriptor()", (b"", b""), {}, "takes 1 positional arguments but 2 were given"),
        ("compile_descriptor()", (b"",), {"data": b""}, "got multiple values for argument 'data'"),
        ("compile_descriptor()", (), {"x": b""}, "got an unexpected keyword argument 'x'"),
        ("compile_descriptor()", (b"",), {"x": b""}, "got an unexpected keyword argument 'x'"),
        ("compile_descriptor()", (b"", b"", b""), {"x": 1}, "takes 1 positional arguments but 3 were given"),
        ("Descriptor.link()", (), {}, "missing 1 required positional argument: 'mapping'"),
        ("Descriptor.link()", ({}, 1), {}, "takes 1 positional arguments but 2 were given"),
        ("Descriptor.link()", ({},), {"mapping": {}}, "got multiple values for argument 'mapping'"),
        ("Descriptor.link()", (), {"map": {}}, "got an unexpected keyword argument 'map'"),
        ("Descriptor.encode()", (), {}, "missing 1 required positional argument: 'instance'"),
        ("Descriptor.encode()", (1, 2), {}, "takes 1 positional arguments but 2 were given"),
        ("Descriptor.encode()", (1,), {"instance": 1}, "got multiple values for argument 'instance'"),
        ("Descriptor.encode()", (), {"obj": 1}, "got an unexpected keyword argument 'obj'"),
        ("Descriptor.decode()", (), {}, "missing 2 required positional arguments: 'cls' and 'data'"),
        ("Descriptor.decode()", (int,), {}, "missing 1 required positional argument: 'data'"),
        ("Descriptor.decode()", (), {"data": b""}, "missing 1 required positional argument: 'cls'"),
        ("Descriptor.decode()", (int, b"", 3), {}, "takes 2 positional arguments but 3 were given"),
        ("Descriptor.decode()", (int,), {"cls": int}, "got multiple values for argument 'cls'"),
        ("Descriptor.decode()", (int, b""), {"data": b""}, "got multiple values for argument 'data'"),
        ("Descriptor.decode()", (), {"cls": int, "dat": b""}, "got an unexpected keyword argument 'dat'"),
        # Keywords are taken in order: the first bad one is reported.
        ("Descriptor.decode()", (int,), {"cls": int, "x": 1}, "got multiple values for argument 'cls'"),
        ("Descriptor.decode()", (int,), {"x": 1, "cls": int}, "got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_binding(callable_name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CALLABLES[callable_name](*args, **kwargs)
    assert str(info.value) == f"{callable_name} {message}"


class Holder:
    class Thing:
        pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: compile_descriptor(bytearray(b"abc")), "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: compile_descriptor(data="x"), "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (lambda: compile_descriptor(memoryview(b"")), "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda: compile_descriptor(None), "argument 'data': 'NoneType' object cannot be converted to 'PyBytes'"),
        (lambda: compile_descriptor(Holder.Thing()), "argument 'data': 'Holder.Thing' object cannot be converted to 'PyBytes'"),
        (lambda: EMPTY.link([(1, int)]), "argument 'mapping': 'list' object cannot be converted to 'PyDict'"),
        (lambda: EMPTY.link(mapping=None), "argument 'mapping': 'NoneType' object cannot be converted to 'PyDict'"),
        (lambda: EMPTY.decode(1, b""), "argument 'cls': 'int' object cannot be converted to 'PyType'"),
        (lambda: EMPTY.decode(Holder.Thing(), 2), "argument 'cls': 'Holder.Thing' object cannot be converted to 'PyType'"),
        (lambda: EMPTY.decode(int, bytearray()), "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: EMPTY.decode(data="", cls=int), "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    ],
)
def test_argument_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_compile_descriptor_accepts_bytes_and_subclasses():
    class B(bytes):
        pass

    for d in (compile_descriptor(b""), compile_descriptor(data=b""), compile_descriptor(B(b"\x0a\x01X"))):
        assert type(d) is Descriptor and d.is_linked is False
    assert compile_descriptor(B(b"\x0a\x01X")).name == "X"


def test_panic_exception():
    class Evil:
        def __index__(self):
            mapping[2] = int
            return 1

    mapping = {Evil(): int}
    with pytest.raises(BaseException) as info:
        try:
            compile_descriptor(b"").link(mapping)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    panic = info.type
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert info.value.args == ("dictionary changed size during iteration",)

    # One type per process.
    mapping = {Evil(): int}
    with pytest.raises(panic):
        compile_descriptor(b"").link(mapping)


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_reimport_returns_same_module():
    result = run_python(
        """
        import importlib, sys
        import quillspar._core as first
        d = first.compile_descriptor(b"\\x0a\\x01X")
        del sys.modules["quillspar._core"]
        second = importlib.import_module("quillspar._core")
        assert second is first, (second, first)
        assert second.__all__ == ["Descriptor", "compile_descriptor"]
        assert type(second.compile_descriptor(b"")) is type(d) is second.Descriptor
        assert d.name == "X"
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


@pytest.mark.parametrize(
    "code",
    [
        # An isolated interpreter: refused (by the interpreter's own check for
        # single-phase modules, or by the initialiser).
        """
        import quillspar._core
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import quillspar._core")
        except interpreters.ExecutionFailed as e:
            print(e.excinfo.type.__name__, e.excinfo.msg)
        interp.close()
        """,
        # A legacy interpreter reaches the initialiser, which refuses it.
        """
        import quillspar._core
        import _interpreters
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        r = _interpreters.exec(iid, "import quillspar._core")
        print(r.type.__name__, r.msg)
        _interpreters.destroy(iid)
        """,
        # CPython runs a single-phase initialiser in the main interpreter
        # first, so a subinterpreter that imports first is refused too, and the
        # main interpreter can still import the module afterwards.
        """
        import _interpreters
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        r = _interpreters.exec(iid, "import quillspar._core")
        import quillspar._core
        assert quillspar._core.compile_descriptor(b"").name == ""
        print(r.type.__name__, r.msg)
        _interpreters.destroy(iid)
        """,
    ],
    ids=["isolated", "legacy", "sub-first"],
)
def test_second_interpreter_refused(code):
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError ")
    assert "not support" in result.stdout and "subinterpreters" in result.stdout
