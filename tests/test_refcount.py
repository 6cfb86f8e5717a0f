"""No reference leaks in compile_descriptor, the descriptor's getters,
ref_fields, link, decode and encode (at every level of nesting), the package's
message classes and the fuzzers' hostile inputs, on success and on every kind
of failure. Each case also names what it must raise, so that it stays on the
path it was written for."""

import collections.abc
import enum
import functools
import pathlib
import random
import sys
import types

import pytest

import quillspar
from codec_protos import (
    Boom, Index, Msg, Schema, fixed32, fixed64, ld, nested_chain, raising, single, small_schema, vint,
)
from quillspar import field, int32, message, sint64
from quillspar._core import Descriptor, compile_descriptor
from refcount import REFCOUNT_MARKS, assert_refcount_flat, check_outcome, measure

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))
import decode_fuzz  # noqa: E402
import encode_fuzz  # noqa: E402
from test_decode import LENIENT, MALFORMED, PLACES  # noqa: E402
import test_encode as te  # noqa: E402
from test_encode import CONVERSION_ERRORS, EXACT  # noqa: E402
from test_schema import ERRORS  # noqa: E402

pytestmark = REFCOUNT_MARKS
NS = types.SimpleNamespace


class Obj:
    def __del__(self):
        pass


def test_checker_detects_a_leak():
    kept = []
    rc, blocks = measure(lambda: kept.append(Obj()))
    assert min(rc) >= 20 and min(blocks) >= 1
    with pytest.raises(AssertionError, match="references leak"):
        assert_refcount_flat(lambda: kept.append(Obj()))
    with pytest.raises(AssertionError, match="ValueError was not raised"):
        assert_refcount_flat(lambda: None, ValueError)


# ---------------------------------------------------------------- compile, getters, link

RICH = (Msg("Rich").add("color", 5, "enum", type_name=".pkg.Color").add("s", 1, "string")
        .map("items", 3, "string", "message", ".pkg.Item").add("inner", 4, "message", type_name=".pkg.Inner")
        .add("o", 6, "int32", "optional").serialize())
D = compile_descriptor(RICH)


def link_growing_dict():
    m = {}
    m[Index(1, lambda: m.setdefault(2, Obj))] = Obj
    compile_descriptor(b"").link(m)


def link_reentrant():
    d = compile_descriptor(RICH)

    def probe():
        for call in (lambda: d.name, d.ref_fields, lambda: d.link({}), lambda: d.link(), lambda: d.decode(int, b"")):
            with pytest.raises((RuntimeError, TypeError)):
                call()

    d.link({Index(1, probe): Obj})


def relink():
    d = compile_descriptor(b"")
    d.link({1: Obj(), 2: Obj})
    d.link({1: Obj()})


DESCRIPTOR_CASES = {
    "compile": (lambda: compile_descriptor(RICH), None),
    "compile keyword": (lambda: compile_descriptor(data=RICH), None),
    "compile errors": [(lambda d=data: compile_descriptor(RICH + d), ValueError)
                       for data, _ in ERRORS],
    "compile bytearray": (lambda: compile_descriptor(bytearray(RICH)), TypeError),
    "compile twice bound": (lambda: compile_descriptor(RICH, data=RICH), TypeError),
    "constructor": (lambda: Descriptor(), TypeError),
    "getters": (lambda: (D.name, D.is_linked), None),
    "ref_fields": (D.ref_fields, None),
    "link fresh": (lambda: compile_descriptor(RICH).link({5: Obj, 3: Obj(), 4: None}), None),
    "link same": (lambda: D.link({5: Obj, 3: Obj, Index(4): "x"}), None),
    "link replace": (relink, None),
    "link bad key": (lambda: compile_descriptor(b"").link({1: Obj(), "2": Obj()}), TypeError),
    "link negative": (lambda: compile_descriptor(b"").link({1: Obj(), -1: Obj()}), OverflowError),
    "link huge": (lambda: compile_descriptor(b"").link({1: Obj(), 2**70: Obj()}), OverflowError),
    "link not dict": (lambda: D.link([(1, Obj)]), TypeError),
    "link unbound": (lambda: D.link(mapping={}, x=1), TypeError),
    "link panic": (link_growing_dict, "PanicException"),
    "link re-entered": (link_reentrant, None),
    "encode unbound": (lambda: D.encode(), TypeError),
    "decode bad cls": (lambda: D.decode(1, b""), TypeError),
    "decode bad data": (lambda: D.decode(int, bytearray()), TypeError),
}

# ---------------------------------------------------------------- decode

W = small_schema(reference=False)
Sub, Small, SD = W.cls["Sub"], W.cls["Small"], W.desc["Small"]
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


class Kw:
    def __init__(self, **kw):
        self.kw = kw


def keeping(desc_of, name):
    """`name` of a small schema compiled with the keep-unknown-fields option, linked like the original."""
    d = compile_descriptor(desc_of.protos[name].SerializeToString() + ld(7, vint(50555, 1)))
    d.link({n: W.cls.get(t) or W.enum[t] for n, t in d.ref_fields()})
    return d


KD = keeping(W, "Small")
UNKNOWN = vint(100, 1) + fixed64(101, 2) + ld(102, b"x") + vint(1, 7) + ld(103, b"")
om = Msg("OM")
om.add("a", 1, "message", oneof=om.oneof("choice"), type_name=".t.OM").add("b", 2, "int32", oneof=0)
OM = Schema([om], reference=False)


def linked_to(make):
    """Small's descriptor with field 6 linked to `make(descriptor)`."""
    d = small_schema(reference=False).desc["Small"]
    d.link({6: make(d)})
    return d


# The decoder's own tables, after a record of every shape, so that an error
# meets objects half built; and its errors from links, constructors and enums.
DECODES = {
    "malformed": [(SD, Small, GOOD + data, ValueError) for data, _ in MALFORMED],
    "lenient": [(SD, Small, GOOD + data, None) for data, _ in LENIENT],
    "bad utf-8": [(SD, Small, GOOD + place(b"ok\xe2\x82"), UnicodeDecodeError) for place in PLACES.values()],
    "50 levels": (N.desc["Node"], N.cls["Node"], nested_chain(50, vint(2, 1)), None),
    "unknown enum": (SD, Small, GOOD + vint(8, 7), ValueError),
    "unknown packed enum": (SD, Small, GOOD + ld(12, b"\x01\x07"), ValueError),
    "unknown enum map value": (SD, Small, GOOD + ld(14, vint(2, 9)), ValueError),
    "nested constructor raises": (X.desc["Small"], Small, GOOD, Boom),
    "map default constructor raises": (X.desc["Small"], Small, ld(13, b""), Boom),
    "enum class raises": (X.desc["Small"], Small, vint(8, 1), Boom),
    "constructor raises": (SD, Bad, GOOD, Boom),
    "not linked": (U.desc["Small"], Small, GOOD, RuntimeError),
    "too deep": (N.desc["Node"], N.cls["Node"], nested_chain(1001), RecursionError),
    "marker not a descriptor": (linked_to(lambda d: type("M", (), {"__quillspar__": 1})), Small, GOOD, TypeError),
    "link not a type": (linked_to(lambda d: type("T", (), {"__quillspar__": d})()), Small, GOOD, TypeError),
    "link without marker": (linked_to(lambda d: int), Small, GOOD, AttributeError),
    "merged message": (SD, Small, GOOD + ld(6, vint(1, 2)) + ld(6, ld(2, b"z")), None),
    "merged map value": (SD, Small, GOOD + ld(13, ld(1, b"k") + ld(2, vint(1, 1)) + ld(2, ld(2, b"y"))), None),
    "merged bad utf-8": (SD, Small, GOOD + ld(6, vint(1, 2)) + ld(6, ld(2, b"\xff")), UnicodeDecodeError),
    "merged not linked": (U.desc["Small"], Small, ld(6, b"") + ld(6, b""), RuntimeError),
    "oneof member merged and replaced": (OM.desc["OM"], OM.cls["OM"],
                                         ld(1, ld(1, b"")) + ld(1, vint(2, 1)) + vint(2, 3) + ld(1, b""), None),
    "oneof member dropped, bad": (OM.desc["OM"], OM.cls["OM"], ld(1, ld(1, b"\x0b")) + vint(2, 3), ValueError),
    "unknown fields kept": (KD, Kw, GOOD + UNKNOWN + ld(6, UNKNOWN) + fixed32(8, 1), None),
    "unknown fields kept, then bad": (KD, Kw, GOOD + UNKNOWN + b"\x0b", ValueError),
    "unknown fields, class refuses them": (KD, Small, GOOD + UNKNOWN, TypeError),
    "error under a map key": (SD, Small, GOOD + ld(14, vint(1, 3) + vint(2, 9)), ValueError),
    "error in a nested map value": (SD, Small, GOOD + ld(13, ld(1, b"k") + ld(2, ld(2, b"\xff"))), UnicodeDecodeError),
    "constructor relinks": (linked_to(lambda d: type("R", (), {"__quillspar__": d,
                                                               "__init__": lambda self, **kw: d.link({})})),
                            Small, GOOD, RuntimeError),
}

# ---------------------------------------------------------------- encode


def small(**kw):
    return Small(**{"a": 5, "s": "é", "rf": [1, 2], "ri": range(3), "m": Sub(x=1, y="y"), "e": 2, "rs": ["r", "s"],
                    "re": (0, 1), "mp": {"k": 1, "": 0}, "mm": {"k": Sub(), "j": Sub(y="z")}, "me": {1: 2},
                    "ms": {1: "s"}, "b": bytearray(b"\x00"), "d": 0.5, "fl": -1.5, "bo": True, **kw})


SubCopy = Schema([Msg("Sub").add("x", 1, "int32")], reference=False).cls["Sub"]


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


@functools.cache
def one_field(kind, label, number=1):
    """Built at the first call, so that a broken compiler fails a test, not the collection."""
    return single(kind, label, number, ".t.M" if kind in ("enum", "message") else None).desc["M"]


# The encoder's own tables, and its errors in a message of every shape.
ENCODES = {
    "conversion errors": [(functools.partial(one_field, k, l), NS(v=v), e) for k, l, v, e, _ in CONVERSION_ERRORS],
    "exact bytes": [(functools.partial(one_field, k, l, n), NS(v=v), None) for k, l, n, v, _ in EXACT],
    "all shapes": (SD, small(), None),
    "defaults": (SD, Small(), None),
    "nested value of another message type": (SD, small(m=Small()), TypeError),
    "nested value of the same type, another class": (SD, small(m=SubCopy(x=1), mm={"k": SubCopy()}), None),
    "int32 overflow": (SD, small(a=2**31), OverflowError),
    "packed run overflow": (SD, small(ri=[1, 2, 2**40]), OverflowError),
    "packed enum None": (SD, small(re=[1, None]), TypeError),
    "nested field": (SD, small(m=Sub(x="x")), TypeError),
    "nested no marker": (SD, small(m=NS(x=1)), AttributeError),
    "map key": (SD, small(mp={"k": 1, 2: 1}), TypeError),
    "map value": (SD, small(mp={"k": 1, "j": "x"}), TypeError),
    "map message field": (SD, small(mm={"k": Sub(), "j": Sub(y=b"")}), TypeError),
    "map message value": (SD, small(mm={"k": 5}), AttributeError),
    "map enum value": (SD, small(me={1: 2**31}), OverflowError),
    "map string value": (SD, small(ms={1: "\ud800"}), UnicodeEncodeError),
    "map None": (SD, small(mp=None), TypeError),
    "missing attribute": (SD, NS(a=1), AttributeError),
    "dict changes": (SD, small(mp=mutating), "PanicException"),
    "oneof": (O.desc["O"], NS(a=1, b="x"), ValueError),
    "self-containing": (N.desc["Node"], loop, RecursionError),
}



class Exhausted:
    def __index__(self):
        raise MemoryError


def keeping_unknown(unknown):
    """A KeepOrder whose nested items keep `unknown` (the top level keeps a long record)."""
    items = [te.KeepItem(sku="é") for _ in range(2)]
    for item in items:
        item._unknown_fields = unknown
    x = te.KeepOrder(id=1, item=items[0], items=items)
    x._unknown_fields = ld(99, b"x" * 300)
    return x


# Encodes that build a fresh value per call (some hold iterators).
ENCODE_CALLS = {
    "error paths": [(lambda m=make: te.W.desc["Order"].encode(m()), exc) for make, exc, _, _ in te.PATHS],
    "memory error": (lambda: te.W.desc["Order"].encode(te.Order(items=[te.Item(qty=Exhausted())])), MemoryError),
    "unknown fields": (lambda: te.W.desc["KeepOrder"].encode(keeping_unknown(b"\x18\x07")), None),
    "unknown fields None": (lambda: te.W.desc["KeepOrder"].encode(keeping_unknown(None)), None),
    "unknown fields not bytes": (lambda: te.W.desc["KeepOrder"].encode(keeping_unknown(bytearray(b"x"))), TypeError),
    "unknown fields missing": (lambda: te.W.desc["KeepItem"].encode(te.KeepItem()), AttributeError),
    "unpacked": (lambda: te.W.desc["Order"].encode(te.Order(u_sint32=[1, -1], u_color=iter([0, 1]), u_double=(0.5,),
                                                            u_bool=[True], u_fixed64=[2**64 - 1])), None),
    "wrong class": [(lambda v=v: te.W.desc["Order"].encode(te.Order(by_name={"k": v})), exc)
                    for v, exc in [(te.Twin(), None), (te.ItemChild(), None), (te.Order(), TypeError)]],
    # classes with slots changed between and during encodes, and their nested classes' descriptors
    "changed classes": [(test, None) for test in (
        te.test_a_class_changed_after_an_encode_is_read_as_it_is_now, te.test_the_class_changed_while_its_instance_is_encoded,
        te.test_instances_of_several_classes_with_one_descriptor, te.test_encoding_another_class_from_inside_an_encode,
        te.test_the_descriptor_of_a_nested_class_is_looked_up_again_after_a_change)],
}

# The same values as instances of classes with slots, read at the slots' offsets.
ENCODES.update({f"{k} (slots)": (ENCODES[k][0], te.slotted(ENCODES[k][1]), ENCODES[k][2])
                for k in ("all shapes", "defaults", "int32 overflow", "packed run overflow", "nested field",
                          "map value", "map message value", "nested no marker")})
ENCODES["long output (slots)"] = (SD, te.slotted(small(s="é" * 3000, rf=list(range(2000)))), None)


def encode_case(desc, value):
    def call():
        mutating.update({"a": Mutates(), "b": 1})
        (desc if isinstance(desc, Descriptor) else desc()).encode(value)
    return call


# ---------------------------------------------------------------- the package


class Shade(enum.IntEnum):
    DARK = 0


@message
class Probe:
    x: sint64
    shade: Shade
    tags: dict[str, int32]
    kids: list[Probe]
    a: int32 | None = field(oneof="choice")
    b: str | None = field(oneof="choice")


FULL = Probe(x=-3, shade=9, tags={"a": 1, "": -1}, kids=[Probe(x=1), Probe()], b="é")
FULL_BYTES = FULL.to_bytes()
PACKAGE = {
    "from_bytes": (lambda: Probe.from_bytes(FULL_BYTES), None),
    "decode bytearray": (lambda: quillspar.decode(Probe, bytearray(FULL_BYTES)), None),
    "to_bytes": (FULL.to_bytes, None),
    "truncated": (lambda: Probe.from_bytes(FULL_BYTES[:-1]), ValueError),
    "wrong type": (lambda: Probe(b=b"x").to_bytes(), TypeError),
    "two oneof members": (lambda: Probe(a=1, b="x").to_bytes(), ValueError),
    "not a message": (lambda: quillspar.encode(5), TypeError),
    "decode str": (lambda: quillspar.decode(Probe, "text"), TypeError),
}


# ---------------------------------------------------------------- the fuzzers' hostile inputs


def quietly(calls):
    def run():
        for call in calls:
            try:
                call()
            except Exception:
                pass
    return run


def hostile_decodes():
    inputs = decode_fuzz.Inputs(decode_fuzz.build(), 11, pool_size=10)
    return quietly([lambda c=cls, d=data: c.__quillspar__.decode(c, d) for cls, data in map(inputs.get, range(1500))])


def hostile_encodes():
    setup, rng, objs = decode_fuzz.build(), random.Random(5), []
    for name in ("Scalars", "Repeated", "Maps", "Leaf", "Node"):
        for f in setup.classes[name]._mtype.fields:
            for _ in range(20):
                obj = setup.classes[name]()
                value, _, _ = encode_fuzz.draw(setup, f, getattr(obj, f.name), rng)
                if not isinstance(value, collections.abc.Iterator):  # an iterator is used up by one encode
                    setattr(obj, f.name, value)
                    objs += [obj, encode_fuzz.with_slots(obj)]
    return quietly([lambda o=o: type(o).__quillspar__.encode(o) for o in objs])


def case(rows, make):
    """(call, what it raises) for one row; for a list of rows, one call that
    runs them all, checking what each raises."""
    if isinstance(rows, tuple):
        return make(*rows[:-1]), rows[-1]
    calls = [(make(*row[:-1]), row[-1]) for row in rows]
    return (lambda: [check_outcome(fn, expected) for fn, expected in calls]), None


CASES = {
    **{f"descriptor: {k}": case(v, lambda fn: fn) for k, v in DESCRIPTOR_CASES.items()},
    **{f"decode: {k}": case(v, lambda d, c, b: lambda: d.decode(c, b)) for k, v in DECODES.items()},
    **{f"encode: {k}": case(v, encode_case) for k, v in ENCODES.items()},
    **{f"encode: {k}": case(v, lambda fn: fn) for k, v in ENCODE_CALLS.items()},
    **{f"package: {k}": v for k, v in PACKAGE.items()},
}


@pytest.mark.parametrize("case", CASES)
def test_no_leak(case):
    fn, expected = CASES[case]
    slow = expected is RecursionError or case.startswith("decode: 50")
    assert_refcount_flat(fn, expected, loops=5 if slow else 20)


@pytest.mark.parametrize("make", [hostile_decodes, hostile_encodes])
def test_no_leak_on_hostile_input(make):
    assert_refcount_flat(make(), warmup=1, repeat=4, loops=1)
