"""Descriptor state: name, is_linked, ref_fields() and link(). Before decoding,
the link table is seen through the reference counts of the linked objects."""

import collections
import gc
import sys
import weakref

import pytest

from codec_protos import Index, Msg, panic_type
from quillspar._core import compile_descriptor

MUT, EXCL = "RuntimeError: Already mutably borrowed", "RuntimeError: Already borrowed"


class Obj:
    pass


def new():
    return compile_descriptor(Msg("M").add("a", 1, "message", type_name=".M").serialize())


rc = sys.getrefcount


def outcome(call):
    try:
        return call()
    except Exception as e:
        return f"{type(e).__name__}: {e}"


def test_name_is_linked_ref_fields():
    d = new()
    assert d.name == "M" and d.is_linked is False
    first = d.ref_fields()
    assert first == [(1, "M")] and type(first[0]) is tuple
    first.clear()  # a fresh list each time, unaffected by linking
    assert d.link({}) is None and d.is_linked is True
    assert d.link({}) is None and d.is_linked is True and d.ref_fields() == [(1, "M")]


def test_a_class_and_its_descriptor_are_collected_together():
    class Node:  # the cycle every message class closes: class -> descriptor -> class
        pass

    d = new()
    Node.__quillspar__ = d
    d.link({1: Node})
    gone = weakref.ref(Node)
    del Node, d
    gc.collect()
    assert gone() is None


def test_link_holds_and_replaces_references():
    d, a, b, c = new(), Obj(), Obj(), Obj()
    base = rc(a)
    d.link({1: a})
    d.link({2: b})
    d.link({1: a})  # the same object again: still one reference
    assert (rc(a), rc(b)) == (base + 1, base + 1)
    d.link({1: c})  # replaces a, releasing one reference
    assert (rc(a), rc(b), rc(c)) == (base, base + 1, base + 1)
    d.link(collections.OrderedDict([(2, c), (7, None), (8, "any object")]))
    assert (rc(b), rc(c)) == (base, base + 2)
    del d
    assert (rc(a), rc(b), rc(c)) == (base, base, base)

    class Tricky(dict):  # walked as a dict
        def items(self):
            raise AssertionError("not used")

        __iter__ = keys = values = items

    d = new()
    d.link(Tricky({3: a}))
    assert rc(a) == base + 1 and d.is_linked


@pytest.mark.parametrize("key, number", [(True, 1), (False, 0), (4294967295, 4294967295), (Index(12), 12)])
def test_link_key_conversion(key, number):
    d, a = new(), Obj()
    base = rc(a)
    d.link({key: a})
    assert rc(a) == base + 1
    d.link({number: Obj()})  # the same entry: a is released
    assert rc(a) == base


RANGE, LONG = "out of range integral type conversion attempted", "Python int too large to convert to C long"


@pytest.mark.parametrize("key, exc, message", [
    (4294967296, OverflowError, RANGE), (-1, OverflowError, RANGE), (Index(-(2**63)), OverflowError, RANGE),
    (2**63, OverflowError, LONG), ("1", TypeError, "'str' object cannot be interpreted as an integer"),
    (Index("1"), TypeError, r"__index__ returned non-int \(type str\)"),
])
@pytest.mark.parametrize("linked_before", [False, True])
def test_link_bad_key_keeps_earlier_entries(key, exc, message, linked_before):
    d, a, b, c = new(), Obj(), Obj(), Obj()
    if linked_before:
        d.link({})
    base = rc(a)
    with pytest.raises(exc, match=f"^{message}$"):
        d.link({1: a, key: b, 2: c})
    assert (rc(a), rc(b), rc(c)) == (base + 1, base, base)
    assert d.is_linked is linked_before
    d.link({})  # access was released
    assert d.is_linked


def test_link_errors_pass_unchanged_and_non_dicts_are_refused():
    err = KeyError("mine")

    def boom():
        raise err

    d = new()
    with pytest.raises(KeyError) as info:
        d.link({Index(1, boom): 1})
    assert info.value is err
    for bad in ([(1, Obj)], collections.UserDict({1: Obj}), None):
        assert outcome(lambda: d.link(bad)) == (
            f"TypeError: argument 'mapping': '{type(bad).__name__}' object cannot be converted to 'PyDict'")
    assert d.is_linked is False


def test_reentry_while_link_runs():
    d, other = new(), new()
    seen = {}

    def probe():
        calls = {"name": lambda: d.name, "is_linked": lambda: d.is_linked, "ref_fields": d.ref_fields,
                 "link": lambda: d.link({}), "link_list": lambda: d.link([]), "link_unbound": lambda: d.link(),
                 "encode": lambda: d.encode(1), "decode": lambda: d.decode(1, 2),
                 "other": lambda: other.link({}) or other.name}
        seen.update((k, outcome(v)) for k, v in calls.items())

    d.link({Index(1, probe): Obj})
    assert seen == {
        "name": MUT, "is_linked": MUT, "ref_fields": MUT, "encode": MUT, "decode": MUT,
        "link": EXCL, "link_list": EXCL,  # the borrow is checked before the argument's type ...
        "link_unbound": "TypeError: Descriptor.link() missing 1 required positional argument: 'mapping'",  # ... after binding
        "other": "M",
    }
    assert d.is_linked and other.is_linked


PANIC = []


def panic_of(d, mapping):
    with pytest.raises(BaseException) as info:
        try:
            d.link(mapping)
        except Exception:
            pytest.fail("PanicException was caught as an Exception")
    PANIC.append(panic_type(info.value))
    assert PANIC[0] is PANIC[-1] and len(info.value.args) == 1  # one type per process
    return str(info.value)


def test_panic_when_the_dict_grows():
    d, a, b = new(), Obj(), Obj()
    base_a, base_b = rc(a), rc(b)
    m = {1: a}
    m[Index(2, lambda: m.setdefault(9, b))] = b
    m[3] = b
    assert panic_of(d, m) == "dictionary changed size during iteration"
    # 1 and 2 were stored (the check follows the store), 3 and 9 were not:
    # m holds a once and b three times, the table each once.
    assert (rc(a), rc(b)) == (base_a + 2, base_b + 4)
    assert d.is_linked is False


def test_panic_when_a_released_object_shrinks_the_dict():
    d, m, seen = new(), {}, []

    class Dying:
        def __del__(self):
            seen.append(outcome(lambda: d.is_linked))
            m.pop(5, None)

    d.link({1: Dying()})
    m.update({1: Obj(), 5: Obj()})
    assert panic_of(d, m) == "dictionary changed size during iteration"
    assert seen == [MUT]  # released while link still holds the descriptor
    assert d.is_linked is True


def test_panic_when_the_dict_keys_change():
    # The size stays the same, but the walk meets more entries than it started with.
    d, m = new(), {}

    def swap(old, new_key):
        del m[old]
        m[new_key] = Obj()

    k3 = Index(3)
    k2 = Index(2, lambda: swap(k1, k3))
    k1 = Index(1, lambda: swap(10, k2))
    m[k1] = m[10] = Obj()
    assert panic_of(d, m) == "dictionary keys changed during iteration"
    assert len(m) == 2 and d.is_linked is False
