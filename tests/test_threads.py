"""Threads sharing descriptors: encoders and decoders run while another thread
keeps re-linking the same classes.

The switch interval is cut to a microsecond, and link() is given keys whose
__index__ lets go of the interpreter lock (time.sleep(0)), as the enum class
does when called by decode() and its values' __index__ when read by encode(),
so the threads interleave inside all three.  The only errors allowed are the borrow conflicts:
RuntimeError "Already borrowed" (link while the descriptor is in use),
RuntimeError "Already mutably borrowed" (use while link runs) and
PanicException "Already mutably borrowed: PyBorrowError" (a nested descriptor
met while link runs on it).  Every encode that succeeds gives the expected
bytes and every decode that succeeds gives the expected value.
"""

import itertools
import sys
import threading
import time

import pytest
from google.protobuf import descriptor_pb2

from quillspar import _core

FDP = descriptor_pb2.FieldDescriptorProto


def field(msg, name, number, type_, label=FDP.LABEL_OPTIONAL, type_name=None):
    f = msg.field.add(name=name, number=number, type=type_, label=label)
    if type_name:
        f.type_name = type_name
    return f


def inner_proto():
    m = descriptor_pb2.DescriptorProto(name="Inner")
    field(m, "x", 1, FDP.TYPE_SINT64)
    field(m, "c", 2, FDP.TYPE_ENUM, type_name=".t.Color")
    return m


def outer_proto():
    m = descriptor_pb2.DescriptorProto(name="Outer")
    field(m, "a", 1, FDP.TYPE_INT32)
    field(m, "s", 2, FDP.TYPE_STRING)
    field(m, "inner", 3, FDP.TYPE_MESSAGE, type_name=".t.Inner")
    field(m, "items", 4, FDP.TYPE_MESSAGE, FDP.LABEL_REPEATED, ".t.Inner")
    field(m, "color", 5, FDP.TYPE_ENUM, type_name=".t.Color")
    field(m, "m", 6, FDP.TYPE_MESSAGE, FDP.LABEL_REPEATED, ".t.Outer.MEntry")
    entry = m.nested_type.add(name="MEntry")
    entry.options.map_entry = True
    field(entry, "key", 1, FDP.TYPE_STRING)
    field(entry, "value", 2, FDP.TYPE_MESSAGE, type_name=".t.Inner")
    return m


_calls = itertools.count()


def now_and_then():
    """Lets the other threads in, one call in four."""
    if next(_calls) % 4 == 0:
        time.sleep(0)


class Color:
    def __init__(self, n):
        now_and_then()  # in the middle of a decode
        self.n = n

    def __index__(self):
        now_and_then()  # in the middle of an encode
        return self.n

    def __eq__(self, other):
        return type(other) is Color and other.n == self.n

    def __repr__(self):
        return f"Color({self.n})"


class Msg:
    defaults: dict = {}

    def __init__(self, **kw):
        for name, default in self.defaults.items():
            setattr(self, name, kw.pop(name, default()))
        assert not kw, kw

    def __eq__(self, other):
        return type(other) is type(self) and vars(other) == vars(self)

    def __repr__(self):
        return f"{type(self).__name__}({vars(self)})"


class Inner(Msg):
    __quillspar__ = _core.compile_descriptor(inner_proto().SerializeToString())
    defaults = {"x": int, "c": lambda: Color(0)}


class Outer(Msg):
    __quillspar__ = _core.compile_descriptor(outer_proto().SerializeToString())
    defaults = {"a": int, "s": str, "inner": lambda: None, "items": list, "color": lambda: Color(0), "m": dict}


class Key:
    """A link key whose conversion runs Python code."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        time.sleep(0)  # lets the other threads in, in the middle of link()
        return self.n

    def __hash__(self):
        return self.n

    def __eq__(self, other):
        return self is other


def link_outer():
    Outer.__quillspar__.link({Key(3): Inner, Key(4): Inner, Key(5): Color, Key(6): Inner})


def link_inner():
    Inner.__quillspar__.link({Key(2): Color})


link_outer()
link_inner()

VALUE = Outer(
    a=-7, s="héllo", inner=Inner(x=-(2**40), c=Color(2)), items=[Inner(x=i, c=Color(i)) for i in range(5)],
    color=Color(3), m={"k": Inner(x=9, c=Color(1))},
)
EXPECTED = Outer.__quillspar__.encode(VALUE)

ALLOWED_RUNTIME = {"Already borrowed", "Already mutably borrowed"}
NESTED_PANIC = "Already mutably borrowed: PyBorrowError"


def is_nested_panic(exc):
    return type(exc).__name__ == "PanicException" and exc.args == (NESTED_PANIC,)


@pytest.fixture
def tiny_switch_interval():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(workers, linkers):
    stats = {"encoded": 0, "decoded": 0, "conflicts": 0, "panics": 0, "linked": 0, "link_conflicts": 0}
    problems = []
    lock = threading.Lock()
    start = threading.Barrier(len(workers) + 1)
    running = [len(workers)]

    def note(key):
        with lock:
            stats[key] += 1

    def guarded(fn):
        def body():
            start.wait()
            try:
                fn()
            except BaseException as exc:  # a failed assertion or an unexpected exception
                with lock:
                    problems.append(f"{type(exc).__name__}: {exc}")
            finally:
                with lock:
                    running[0] -= 1
        return body

    def call(kind, fn):
        try:
            result = fn()
        except RuntimeError as exc:
            assert str(exc) in ALLOWED_RUNTIME, repr(exc)
            note("conflicts")
            return None
        except BaseException as exc:
            assert is_nested_panic(exc), repr(exc)
            note("panics")
            return None
        note(kind)
        return result

    def linker():
        # Until the workers are done (bounded all the same).
        for _ in range(2_000):
            with lock:
                if not running[0]:
                    break
            time.sleep(0)
            for link in linkers:
                try:
                    link()
                    note("linked")
                except RuntimeError as exc:
                    assert str(exc) == "Already borrowed", repr(exc)
                    note("link_conflicts")

    threads = [threading.Thread(target=guarded(lambda w=w: w(call))) for w in workers]
    threads.append(threading.Thread(target=guarded(linker)))
    running[0] += 1
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "thread did not finish"
    assert not problems, problems[:5]
    return stats


def encoder(rounds):
    def work(call):
        for _ in range(rounds):
            out = call("encoded", lambda: Outer.__quillspar__.encode(VALUE))
            assert out is None or out == EXPECTED, out.hex()
            time.sleep(0)
    return work


def decoder(rounds):
    def work(call):
        for _ in range(rounds):
            got = call("decoded", lambda: Outer.__quillspar__.decode(Outer, EXPECTED))
            assert got is None or got == VALUE, got
            time.sleep(0)
    return work


def inner_user(rounds):
    """Works on Inner directly, so that link(Inner) conflicts with top-level use too."""
    data = Inner.__quillspar__.encode(VALUE.inner)

    def work(call):
        for _ in range(rounds):
            got = call("decoded", lambda: Inner.__quillspar__.decode(Inner, data))
            assert got is None or got == VALUE.inner, got
            out = call("encoded", lambda: Inner.__quillspar__.encode(VALUE.inner))
            assert out is None or out == data
            time.sleep(0)
    return work


@pytest.mark.parametrize(
    "linkers",
    [pytest.param([link_outer], id="outer"), pytest.param([link_inner], id="nested"),
     pytest.param([link_outer, link_inner], id="both")],
)
def test_encode_and_decode_while_relinking(tiny_switch_interval, linkers):
    workers = [encoder(300), decoder(300), encoder(300), decoder(300), inner_user(300)]
    stats = run_threads(workers, linkers)
    assert stats["encoded"] and stats["decoded"] and stats["linked"], stats
    # After the storm the descriptors still work, and are still linked.
    assert Outer.__quillspar__.decode(Outer, EXPECTED) == VALUE
    assert Outer.__quillspar__.encode(VALUE) == EXPECTED
    assert Outer.__quillspar__.is_linked and Inner.__quillspar__.is_linked


def test_relinking_from_several_threads(tiny_switch_interval):
    # Two linkers race each other: one of two concurrent link() calls must be refused.
    stats = run_threads([decoder(200), encoder(200)], [link_outer, link_inner])
    stats2 = run_threads([decoder(200)], [link_inner, link_outer])
    assert stats["decoded"] + stats2["decoded"], (stats, stats2)
