"""No reference leaks in compile_descriptor, the getters, ref_fields and link,
on success and on every kind of failure."""

import pytest

from protos import REPEATED, field, ld, map_entry, message_proto, vf
from quillspar._core import Descriptor, compile_descriptor
from refcount import REFCOUNT_MARKS, assert_refcount_flat, measure

pytestmark = REFCOUNT_MARKS

RICH = message_proto("Rich", oneofs=["_o"], fields=[
    field("color", 5, "ENUM", type_name=".pkg.Color"), field("s", 1, "STRING"),
    field("items", 3, "MESSAGE", REPEATED, type_name=".pkg.Rich.ItemsEntry"),
    field("inner", 4, "MESSAGE", type_name=".pkg.Inner"), field("o", 6, "INT32", oneof_index=0, proto3_optional=True),
], nested=[map_entry("ItemsEntry", value="MESSAGE", value_type_name=".pkg.Item")])
D = compile_descriptor(RICH)


class Obj:
    def __del__(self):
        pass


class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


def test_checker_detects_a_leak():
    kept = []
    rc_deltas, blk_deltas = measure(lambda: kept.append(Obj()))
    assert min(rc_deltas) >= 20 and min(blk_deltas) >= 1
    with pytest.raises(AssertionError, match="references leak"):
        assert_refcount_flat(lambda: kept.append(Obj()))


def link_growing_dict():
    m = {}
    m[Index(1, lambda: m.setdefault(2, Obj))] = Obj
    compile_descriptor(b"").link(m)


def link_reentrant():
    d = compile_descriptor(RICH)
    calls = (lambda: d.name, d.ref_fields, lambda: d.link({}), lambda: d.link(), lambda: d.decode(int, b""))

    def probe():
        for call in calls:
            try:
                call()
            except (RuntimeError, TypeError):
                pass

    d.link({Index(1, probe): Obj})


def relink():
    d = compile_descriptor(b"")
    d.link({1: Obj(), 2: Obj})
    d.link({1: Obj()})


CASES = {
    "compile": lambda: compile_descriptor(RICH),
    "compile_keyword": lambda: compile_descriptor(data=RICH),
    "compile_wire": lambda: compile_descriptor(RICH + b"\x0a"),
    "compile_unsupported": lambda: compile_descriptor(RICH + ld(2, vf(5, 10))),
    "compile_nested": lambda: compile_descriptor(RICH + ld(3, ld(2, vf(3, 2) + vf(5, 10)))),
    "compile_missing": lambda: compile_descriptor(RICH + ld(2, b"")),
    "compile_utf8": lambda: compile_descriptor(RICH + ld(1, b"\xff")),
    "compile_type_error": lambda: compile_descriptor(bytearray(RICH)),
    "compile_unbound": lambda: compile_descriptor(RICH, data=RICH),
    "constructor": lambda: Descriptor(),
    "getters": lambda: (D.name, D.is_linked),
    "ref_fields": D.ref_fields,
    "link_fresh": lambda: compile_descriptor(RICH).link({5: Obj, 3: Obj(), 4: None}),
    "link_same": lambda: D.link({5: Obj, 3: Obj, Index(4): "x"}),
    "link_replace": relink,
    "link_bad_keys": lambda: compile_descriptor(b"").link({1: Obj(), "2": Obj()}),
    "link_range": lambda: compile_descriptor(b"").link({1: Obj(), -1: Obj()}),
    "link_huge": lambda: compile_descriptor(b"").link({1: Obj(), 2**70: Obj()}),
    "link_not_dict": lambda: D.link([(1, Obj)]),
    "link_unbound": lambda: D.link(mapping={}, x=1),
    "link_panic": link_growing_dict,
    "link_reentrant": link_reentrant,
    "encode_unbound": lambda: D.encode(),
    "decode_bad_cls": lambda: D.decode(1, b""),
    "decode_bad_data": lambda: D.decode(int, bytearray()),
}


@pytest.mark.parametrize("fn", CASES.values(), ids=CASES.keys())
def test_no_leak(fn):
    assert_refcount_flat(fn)
