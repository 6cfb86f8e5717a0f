"""Threads sharing descriptors: encoders and decoders run while other threads
keep re-linking the same classes, with a switch interval of a microsecond and
hooks that let go of the interpreter lock inside link(), decode() (the enum
class) and encode() (__index__). Only the borrow conflicts may be raised; every
encode and decode that succeeds gives the expected bytes or value."""

import collections
import itertools
import sys
import threading
import time

import pytest

from codec_protos import Msg, Schema

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


S = Schema([Msg("Inner").add("x", 1, "sint64").add("c", 2, "enum", type_name=".t.Color"),
            Msg("Outer").add("a", 1, "int32").add("s", 2, "string").add("inner", 3, "message", type_name=".t.Inner")
            .add("items", 4, "message", "repeated", ".t.Inner").add("color", 5, "enum", type_name=".t.Color")
            .map("m", 6, "string", "message", ".t.Inner")], reference=False, link=False)
Inner, Outer = S.cls["Inner"], S.cls["Outer"]


class Key:
    """A link key whose conversion lets the other threads in, in the middle of link()."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        time.sleep(0)
        return self.n


def link_outer():
    Outer.__quillspar__.link({Key(3): Inner, Key(4): Inner, Key(5): Color, Key(6): Inner})


def link_inner():
    Inner.__quillspar__.link({Key(2): Color})


link_outer()
link_inner()
VALUE = Outer(a=-7, s="héllo", inner=Inner(x=-(2**40), c=Color(2)), color=Color(3), m={"k": Inner(x=9, c=Color(1))},
              items=[Inner(x=i, c=Color(i + 1)) for i in range(5)])
EXPECTED = Outer.__quillspar__.encode(VALUE)


def worker(cls, value, rounds=300):
    """Decodes and encodes `value` of `cls` again and again."""
    data = cls.__quillspar__.encode(value)

    def work(call):
        for _ in range(rounds):
            got = call("decoded", lambda: cls.__quillspar__.decode(cls, data))
            assert got is None or got == value, got
            out = call("encoded", lambda: cls.__quillspar__.encode(value))
            assert out is None or out == data, out.hex()
            time.sleep(0)
    return work


def run_threads(workers, linkers):
    """A thread for each worker and for each list of link functions, the
    latter called over and over until the workers are done."""
    stats, problems, lock, done = collections.Counter(), [], threading.Lock(), threading.Event()
    start = threading.Barrier(len(workers) + len(linkers))

    def note(key):
        with lock:
            stats[key] += 1

    def call(kind, fn):
        try:
            result = fn()
        except RuntimeError as exc:
            assert str(exc) in ("Already borrowed", "Already mutably borrowed"), repr(exc)
            note("conflicts")
        except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
            assert type(exc).__name__ == "PanicException", repr(exc)
            assert exc.args == ("Already mutably borrowed: PyBorrowError",), repr(exc)
            note("panics")
        else:
            note(kind)
            return result

    def linker(links):
        while not done.is_set():
            time.sleep(0)
            for link in links:
                try:
                    link()
                    note("linked")
                except RuntimeError as exc:
                    assert str(exc) == "Already borrowed", repr(exc)
                    note("link conflicts")

    def guarded(fn, *args):
        def body():
            start.wait()
            try:
                fn(*args)
            except BaseException as exc:  # noqa: B036 - a failed assertion or an unexpected exception
                with lock:
                    problems.append(f"{type(exc).__name__}: {exc}")
        return threading.Thread(target=body)

    threads = [guarded(w, call) for w in workers]
    link_threads = [guarded(linker, links) for links in linkers]
    for t in threads + link_threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    done.set()
    for t in threads + link_threads:
        t.join(timeout=120)
        assert not t.is_alive(), "thread did not finish"
    assert not problems, problems[:5]
    return stats


@pytest.mark.parametrize("linkers", [[[link_outer]], [[link_inner]], [[link_outer, link_inner]],
                                     [[link_outer, link_inner], [link_inner, link_outer]]],
                         ids=["outer", "nested", "both", "racing linkers"])
def test_encode_and_decode_while_relinking(linkers):
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        stats = run_threads([worker(Outer, VALUE), worker(Outer, VALUE), worker(Inner, VALUE.inner)], linkers)
    finally:
        sys.setswitchinterval(old)
    assert stats["encoded"] and stats["decoded"] and stats["linked"], stats
    # After the storm the descriptors still work, and are still linked.
    assert Outer.__quillspar__.decode(Outer, EXPECTED) == VALUE and Outer.__quillspar__.encode(VALUE) == EXPECTED
    assert Outer.__quillspar__.is_linked and Inner.__quillspar__.is_linked
