"""The module surface of quillspar._core: attributes, the Descriptor type
object, argument binding and argument type errors, and module initialisation."""

import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

from quillspar import _core
from quillspar._core import Descriptor, compile_descriptor

EMPTY = compile_descriptor(b"")


def test_module_and_type_attributes():
    assert _core.__all__ == ["Descriptor", "compile_descriptor"] and not hasattr(_core, "PanicException")
    assert compile_descriptor.__module__ == "quillspar._core" and compile_descriptor.__self__ is _core
    assert (Descriptor.__module__, Descriptor.__qualname__, Descriptor.__bases__) == ("builtins", "Descriptor", (object,))
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
    assert gc.is_tracked(d)  # its links can close a cycle through a class
    assert d == d and d != compile_descriptor(b"") and repr(d).startswith("<builtins.Descriptor object at 0x")
    for prop in ("name", "is_linked"):
        with pytest.raises(AttributeError, match="not writable"):
            setattr(d, prop, getattr(d, prop))
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        d.ref_fields(1)


CALLABLES = {
    "compile_descriptor()": compile_descriptor,
    "Descriptor.link()": EMPTY.link,
    "Descriptor.encode()": EMPTY.encode,
    "Descriptor.decode()": EMPTY.decode,
}


@pytest.mark.parametrize("callable_name, args, kwargs, message", [
    ("compile_descriptor()", (b"", b""), {}, "takes 1 positional arguments but 2 were given"),
    ("compile_descriptor()", (b"",), {"x": b""}, "got an unexpected keyword argument 'x'"),
    ("Descriptor.link()", (), {}, "missing 1 required positional argument: 'mapping'"),
    ("Descriptor.encode()", (1, 2, 3), {"x": 1}, "takes 1 positional arguments but 3 were given"),
    ("Descriptor.decode()", (), {}, "missing 2 required positional arguments: 'cls' and 'data'"),
    ("Descriptor.decode()", (), {"data": b""}, "missing 1 required positional argument: 'cls'"),
    ("Descriptor.decode()", (int, b""), {"data": b""}, "got multiple values for argument 'data'"),
    # Keywords are taken in order: the first bad one is reported.
    ("Descriptor.decode()", (int,), {"cls": int, "x": 1}, "got multiple values for argument 'cls'"),
    ("Descriptor.decode()", (int,), {"x": 1, "cls": int}, "got an unexpected keyword argument 'x'"),
])
def test_argument_binding(callable_name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CALLABLES[callable_name](*args, **kwargs)
    assert str(info.value) == f"{callable_name} {message}"


class Holder:
    class Thing:
        pass


@pytest.mark.parametrize("call, message", [
    (lambda: compile_descriptor(bytearray(b"abc")), "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: compile_descriptor(Holder.Thing()), "argument 'data': 'Holder.Thing' object cannot be converted to 'PyBytes'"),
    (lambda: EMPTY.decode(Holder.Thing(), 2), "argument 'cls': 'Holder.Thing' object cannot be converted to 'PyType'"),
    (lambda: EMPTY.decode(data="", cls=int), "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
])
def test_argument_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_compile_descriptor_accepts_bytes_subclasses():
    assert compile_descriptor(data=type("B", (bytes,), {})(b"\x0a\x01X")).name == "X"


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_reimport_returns_same_module():
    assert run_python("""
        import importlib, sys
        import quillspar._core as first
        d = first.compile_descriptor(b"\\x0a\\x01X")
        del sys.modules["quillspar._core"]
        second = importlib.import_module("quillspar._core")
        assert second is first and second.__all__ == ["Descriptor", "compile_descriptor"]
        assert type(second.compile_descriptor(b"")) is type(d) and d.name == "X"
        print("ok")
        """) == "ok\n"


@pytest.mark.parametrize("code", [
    # An isolated interpreter (refused by CPython's own check for single-phase modules).
    """
    from concurrent import interpreters
    interp = interpreters.create()
    try:
        interp.exec("import quillspar._core")
    except interpreters.ExecutionFailed as e:
        print(e.excinfo.type.__name__, e.excinfo.msg)
    interp.close()
    """,
    # A legacy interpreter reaches the module's initialiser, which refuses it.
    """
    import _interpreters
    iid = _interpreters.create(_interpreters.new_config("legacy"))
    r = _interpreters.exec(iid, "import quillspar._core")
    print(r.type.__name__, r.msg)
    _interpreters.destroy(iid)
    """,
], ids=["isolated", "legacy"])
def test_second_interpreter_refused(code):
    out = run_python("import quillspar._core\n" + textwrap.dedent(code))
    assert out.startswith("ImportError ") and "not support" in out and "subinterpreters" in out
