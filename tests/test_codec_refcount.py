"""Reference counts stay flat across decodes and encodes, successful or not,
at every level of nesting. Meaningful only on a debug interpreter."""

import sys
import types

import pytest

from codec_protos import Msg, Schema, fixed64, ld, nested_chain, small_schema, vint

pytestmark = [pytest.mark.refcount,
              pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")]


def assert_flat(call, expected, rounds=300):
    """Runs `call` many times; it must raise `expected` (an exception type, or
    "PanicException") or return when `expected` is None, and the interpreter's
    total reference count must not grow with the number of calls."""

    def once():
        try:
            call()
        except BaseException as e:  # noqa: B036 - PanicException is a BaseException
            assert type(e).__name__ == getattr(expected, "__name__", expected), repr(e)
        else:
            assert expected is None

    for _ in range(30):
        once()
    before = sys.gettotalrefcount()
    for _ in range(rounds):
        once()
    growth = sys.gettotalrefcount() - before
    assert growth < rounds // 10, f"{growth} references gained over {rounds} calls"


class Boom(Exception):
    pass


def raising(*args, **kw):
    raise Boom


W = small_schema(reference=False)
Sub, Small, D = W.cls["Sub"], W.cls["Small"], W.desc["Small"]
X = small_schema(reference=False)  # linked to classes that raise
Bad = type("Bad", (), {"__quillspar__": X.desc["Sub"], "__init__": raising})
X.desc["Small"].link({6: Bad, 13: Bad, 8: raising})
U = small_schema(reference=False, link=False)
N = Schema([Msg("Node").add("child", 1, "message", "", ".t.Node").add("v", 2, "int32")], reference=False)

GOOD = (vint(1, 5) + ld(2, "é".encode()) + ld(3, b"\x00") + ld(4, b"\x01\x00\x00\x00") + fixed64(5, 0.5, "<d")
        + ld(6, vint(1, 1) + ld(2, b"y")) + ld(7, b"\x01\x02") + vint(7, 3) + vint(8, 2) + ld(11, b"r")
        + ld(12, b"\x00\x01") + ld(9, ld(1, b"k") + vint(2, 1)) + ld(9, b"") + ld(13, ld(1, b"k") + ld(2, b""))
        + ld(13, ld(1, b"j")) + ld(14, vint(1, 1) + vint(2, 2)) + ld(19, vint(1, 1) + ld(2, b"s"))
        + vint(100, 1) + ld(101, b"zz"))

DECODES = {
    "all shapes": (D, Small, GOOD, None),
    "empty": (D, Small, b"", None),
    "50 levels": (N.desc["Node"], N.cls["Node"], nested_chain(50, vint(2, 1)), None),
    "truncated": (D, Small, GOOD + b"\x08", ValueError),
    "truncated nested": (D, Small, GOOD + ld(6, b"\x08"), ValueError),
    "group in map value": (D, Small, GOOD + ld(13, ld(2, b"\x0b")), ValueError),
    "truncated packed enum": (D, Small, GOOD + ld(12, b"\x01\x80"), ValueError),
    "bad utf-8": (D, Small, GOOD + ld(2, b"\xff"), UnicodeDecodeError),
    "bad utf-8 key": (D, Small, GOOD + ld(9, ld(1, b"ok\xe2\x82")), UnicodeDecodeError),
    "bad utf-8 nested": (D, Small, GOOD + ld(6, ld(2, b"\xc0\xaf")), UnicodeDecodeError),
    "unknown enum": (D, Small, GOOD + vint(8, 7), ValueError),
    "unknown packed enum": (D, Small, GOOD + ld(12, b"\x01\x07"), ValueError),
    "unknown enum map value": (D, Small, GOOD + ld(14, vint(2, 9)), ValueError),
    "nested constructor raises": (X.desc["Small"], Small, GOOD, Boom),
    "map default constructor raises": (X.desc["Small"], Small, ld(13, b""), Boom),
    "enum class raises": (X.desc["Small"], Small, vint(8, 1), Boom),
    "constructor raises": (D, Bad, GOOD, Boom),
    "not linked": (U.desc["Small"], Small, GOOD, RuntimeError),
    "too deep": (N.desc["Node"], N.cls["Node"], nested_chain(1001), RecursionError),
}


@pytest.mark.parametrize("case", DECODES)
def test_decode(case):
    desc, cls, data, expected = DECODES[case]
    assert_flat(lambda: desc.decode(cls, data), expected, rounds=50 if expected is RecursionError else 300)


def test_decode_refused_links_and_reentry():
    Y = small_schema(reference=False)
    NotAType = type("NotAType", (), {"__quillspar__": Y.desc["Sub"]})
    for linked, expected in [(type("Marked", (), {"__quillspar__": 1}), TypeError), (NotAType(), TypeError),
                             (int, AttributeError)]:
        Y.desc["Small"].link({6: linked})
        assert_flat(lambda: Y.desc["Small"].decode(Small, GOOD), expected)
    Y.desc["Small"].link({6: type("Relink", (), {"__quillspar__": Y.desc["Sub"],
                                                   "__init__": lambda self, **kw: Y.desc["Small"].link({})})})
    assert_flat(lambda: Y.desc["Small"].decode(Small, GOOD), RuntimeError)


def small(**kw):
    return Small(**{"a": 5, "s": "é", "rf": [1, 2], "ri": range(3), "m": Sub(x=1, y="y"), "e": 2, "rs": ["r", "s"],
                    "re": (0, 1), "mp": {"k": 1, "": 0}, "mm": {"k": Sub(), "j": Sub(y="z")}, "me": {1: 2},
                    "ms": {1: "s"}, "b": bytearray(b"\x00"), "d": 0.5, "fl": -1.5, "bo": True, **kw})


class Mutates:
    def __index__(self):
        mutating.clear()
        return 1


mutating = {}
loop = N.cls["Node"]()
loop.child = loop
oneof = Msg("O")
oneof.add("a", 1, "int32", oneof=oneof.oneof("choice")).add("b", 2, "string", oneof=0)
O = Schema([oneof], reference=False)

ENCODES = {
    "all shapes": (D, small(), None),
    "defaults": (D, Small(), None),
    "foreign nested class": (D, small(m=Small()), None),
    "int32 overflow": (D, small(a=2**31), OverflowError),
    "packed run overflow": (D, small(ri=[1, 2, 2**40]), OverflowError),
    "packed enum None": (D, small(re=[1, None]), TypeError),
    "wider than 128 bits": (D, small(u=2**130), OverflowError),
    "nested field": (D, small(m=Sub(x="x")), TypeError),
    "nested no marker": (D, small(m=types.SimpleNamespace(x=1)), AttributeError),
    "map key": (D, small(mp={"k": 1, 2: 1}), TypeError),
    "map value": (D, small(mp={"k": 1, "j": "x"}), TypeError),
    "map message field": (D, small(mm={"k": Sub(), "j": Sub(y=b"")}), TypeError),
    "map message value": (D, small(mm={"k": 5}), AttributeError),
    "map enum value": (D, small(me={1: 2**31}), OverflowError),
    "map string value": (D, small(ms={1: "\ud800"}), UnicodeEncodeError),
    "bytes item": (D, small(b=[1, 2, 256]), OverflowError),
    "bytes from str": (D, small(b="x"), TypeError),
    "bool from int": (D, small(bo=1), TypeError),
    "map None": (D, small(mp=None), TypeError),
    "missing attribute": (D, types.SimpleNamespace(a=1), AttributeError),
    "dict changes": (D, small(mp=mutating), "PanicException"),
    "oneof": (O.desc["O"], types.SimpleNamespace(a=1, b="x"), ValueError),
    "self-containing": (N.desc["Node"], loop, RecursionError),
}


@pytest.mark.parametrize("case", ENCODES)
def test_encode(case):
    desc, value, expected = ENCODES[case]

    def call():
        mutating.update({"a": Mutates(), "b": 1})
        desc.encode(value)

    assert_flat(call, expected, rounds=50 if expected is RecursionError else 300)
