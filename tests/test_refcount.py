"""No reference leaks in compile_descriptor, the Descriptor getters, ref_fields
and link, on success and on every kind of failure."""

import pytest

from protos import REPEATED, field, ld, map_entry, message_proto, vf
from quillspar._core import Descriptor, compile_descriptor
from refcount import REFCOUNT_MARKS, assert_refcount_flat, measure

pytestmark = REFCOUNT_MARKS

RICH = message_proto(
    "Rich",
    fields=[
        field("color", 5, "ENUM", type_name=".pkg.Color"),
        field("s", 1, "STRING"),
        field("items", 3, "MESSAGE", REPEATED, type_name=".pkg.Rich.ItemsEntry"),
        field("inner", 4, "MESSAGE", type_name=".pkg.Inner"),
        field("o", 6, "INT32", oneof_index=0, proto3_optional=True),
    ],
    nested=[map_entry("ItemsEntry", value="MESSAGE", value_type_name=".pkg.Item")],
    oneofs=["_o"],
)
D = compile_descriptor(RICH)


class Obj:
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
    assert all(d >= 20 for d in rc_deltas) and all(d >= 1 for d in blk_deltas)
    with pytest.raises(AssertionError, match="references leak"):
        assert_refcount_flat(lambda: kept.append(Obj()))


def growing_dict():
    m = {}
    m[Index(1, lambda: m.setdefault(2, Obj))] = Obj
    return m


def same_size_dict():
    m = {}

    def swap(old, new):
        del m[old]
        m[new] = Obj

    k3 = Index(3)
    k2 = Index(2, lambda: swap(k1, k3))
    k1 = Index(1, lambda: swap(10, k2))
    m[k1] = m[10] = Obj
    return m


def reentrant_link():
    d = compile_descriptor(RICH)

    def probe():
        for call in (lambda: d.name, d.ref_fields, lambda: d.link({}), lambda: d.decode(int, b"")):
            try:
                call()
            except RuntimeError:
                pass

    d.link({Index(1, probe): Obj})


class Dying:
    def __del__(self):
        pass


def relink():
    d = compile_descriptor(b"")
    d.link({1: Dying(), 2: Obj})
    d.link({1: Dying()})


CASES = {
    "compile_empty": lambda: compile_descriptor(b""),
    "compile_rich": lambda: compile_descriptor(RICH),
    "compile_keyword": lambda: compile_descriptor(data=RICH),
    "compile_wire": lambda: compile_descriptor(RICH + b"\x0a"),
    "compile_unsupported": lambda: compile_descriptor(RICH + ld(2, vf(5, 10))),
    "compile_nested_unsupported": lambda: compile_descriptor(RICH + ld(3, ld(2, vf(3, 2) + vf(5, 10)))),
    "compile_missing": lambda: compile_descriptor(RICH + ld(2, b"")),
    "compile_utf8": lambda: compile_descriptor(RICH + ld(1, b"\xff")),
    "compile_type_error": lambda: compile_descriptor(bytearray(RICH)),
    "compile_unbound": lambda: compile_descriptor(),
    "compile_extra": lambda: compile_descriptor(RICH, RICH),
    "compile_twice": lambda: compile_descriptor(RICH, data=RICH),
    "compile_bad_keyword": lambda: compile_descriptor(RICH, other=1),
    "constructor": lambda: Descriptor(),
    "name": lambda: D.name,
    "is_linked": lambda: D.is_linked,
    "ref_fields": D.ref_fields,
    "ref_fields_args": lambda: D.ref_fields(1),
    "link_fresh": lambda: compile_descriptor(RICH).link({5: Obj, 3: Obj(), 4: None}),
    "link_same": lambda: D.link({5: Obj, 3: Obj, 4: "x"}),
    "link_replace": relink,
    "link_index_keys": lambda: compile_descriptor(b"").link({Index(1): Obj, True: Obj}),
    "link_str_key": lambda: compile_descriptor(b"").link({1: Obj(), "2": Obj()}),
    "link_negative_key": lambda: compile_descriptor(b"").link({1: Obj(), -1: Obj()}),
    "link_huge_key": lambda: compile_descriptor(b"").link({1: Obj(), 2**70: Obj()}),
    "link_not_dict": lambda: D.link([(1, Obj)]),
    "link_unbound": lambda: D.link(),
    "link_bad_keyword": lambda: D.link(mapping={}, x=1),
    "link_panic_size": lambda: compile_descriptor(b"").link(growing_dict()),
    "link_panic_keys": lambda: compile_descriptor(b"").link(same_size_dict()),
    "link_reentry": reentrant_link,
    "encode_unbound": lambda: D.encode(),
    "decode_unbound": lambda: D.decode(int, b"", 1),
    "decode_bad_cls": lambda: D.decode(1, b""),
    "decode_bad_data": lambda: D.decode(int, bytearray()),
}


@pytest.mark.parametrize("fn", CASES.values(), ids=CASES.keys())
def test_no_leak(fn):
    assert_refcount_flat(fn)
