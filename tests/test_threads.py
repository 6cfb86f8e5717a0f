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

from codec_protos import Index, Msg, Schema

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


S = Schema([Msg("Inner").add("x", 1, "sint64").add("c", 2, "enum", type_name=".t.Color"),
            Msg("Outer").add("a", 1, "int32").add("s", 2, "string").add("inner", 3, "message", type_name=".t.Inner")
            .add("items", 4, "message", "repeated", ".t.Inner").add("color", 5, "enum", type_name=".t.Color")
            .map("m", 6, "string", "message", ".t.Inner")], reference=False, link=False)
Inner, Outer = S.cls["Inner"], S.cls["Outer"]


def key(n):  # a link key whose conversion lets the other threads in, in the middle of link()
    return Index(n, lambda: time.sleep(0))


def link_outer():
    Outer.__quillspar__.link({key(3): Inner, key(4): Inner, key(5): Color, key(6): Inner})


def link_inner():
    Inner.__quillspar__.link({key(2): Color})


link_outer()
link_inner()
VALUE = Outer(a=-7, s="héllo", inner=Inner(x=-(2**40), c=Color(2)), color=Color(3), m={"k": Inner(x=9, c=Color(1))},
              items=[Inner(x=i, c=Color(i + 1)) for i in range(5)])
EXPECTED = Outer.__quillspar__.encode(VALUE)
BORROWS = ("Already borrowed", "Already mutably borrowed")


def run_threads(values, linkers, rounds=300):
    """A thread decoding and encoding each value `rounds` times, and one for
    each list of link functions, called over and over until the others are done."""
    stats, problems, lock, done = collections.Counter(), [], threading.Lock(), threading.Event()
    start = threading.Barrier(len(values) + len(linkers))

    def note(what):
        with lock:
            stats[what] += 1

    def attempt(what, fn):
        try:
            result = fn()
        except RuntimeError as exc:
            assert str(exc) in BORROWS, repr(exc)
            note("conflicts")
        except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
            assert type(exc).__name__ == "PanicException", repr(exc)
            assert exc.args == ("Already mutably borrowed: PyBorrowError",), repr(exc)
            note("panics")
        else:
            note(what)
            return result

    def work(value_and_data):
        value, data = value_and_data
        d = type(value).__quillspar__
        for _ in range(rounds):
            got = attempt("decoded", lambda: d.decode(type(value), data))
            assert got is None or got == value, got
            out = attempt("encoded", lambda: d.encode(value))
            assert out is None or out == data, out.hex()
            time.sleep(0)

    def relink(links):
        while not done.is_set():
            time.sleep(0)
            for link in links:
                try:
                    link()
                    note("linked")
                except RuntimeError as exc:
                    assert str(exc) == "Already borrowed", repr(exc)

    def guarded(fn, arg):
        def body():
            start.wait()
            try:
                fn(arg)
            except BaseException as exc:  # noqa: B036 - a failed assertion or an unexpected exception
                with lock:
                    problems.append(f"{type(exc).__name__}: {exc}")
        return threading.Thread(target=body)

    workers = [guarded(work, (v, type(v).__quillspar__.encode(v))) for v in values]  # bytes made before the storm
    link_threads = [guarded(relink, links) for links in linkers]
    for t in workers + link_threads:
        t.start()
    for t in workers:
        t.join(timeout=120)
    done.set()
    for t in workers + link_threads:
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
        stats = run_threads([VALUE, VALUE, VALUE.inner], linkers)
    finally:
        sys.setswitchinterval(old)
    assert stats["encoded"] and stats["decoded"] and stats["linked"], stats
    # After the storm the descriptors still work, and are still linked.
    assert Outer.__quillspar__.decode(Outer, EXPECTED) == VALUE and Outer.__quillspar__.encode(VALUE) == EXPECTED
    assert Outer.__quillspar__.is_linked and Inner.__quillspar__.is_linked
