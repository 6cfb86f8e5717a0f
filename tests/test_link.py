"""Descriptor state: name, is_linked, ref_fields() and link().

The link table has no window of its own before decoding; what it holds is seen
through the reference counts of the linked objects."""

import collections
import sys

import pytest

from protos import REPEATED, field, map_entry, message_proto
from quillspar._core import compile_descriptor


class Obj:
    pass


class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


def new():
    return compile_descriptor(message_proto("M", fields=[field("a", 1, "MESSAGE", type_name=".M")]))


def rc(obj):
    return sys.getrefcount(obj) - 1  # without getrefcount's own argument


def panic_type():
    d = new()
    m = {Index(1, lambda: m.clear()): 1}
    with pytest.raises(BaseException) as info:
        d.link(m)
    return info.type


PANIC = panic_type()


def test_name_and_is_linked():
    d = compile_descriptor(message_proto("Thing"))
    assert d.name == "Thing" and d.name == d.name
    assert compile_descriptor(b"").name == ""
    assert d.is_linked is False
    assert d.link({}) is None
    assert d.is_linked is True
    assert d.link({}) is None and d.is_linked is True


def test_ref_fields_example():
    fields = [
        field("color", 5, "ENUM", type_name=".pkg.Color"),
        field("s", 1, "STRING"),
        field("items", 3, "MESSAGE", REPEATED, type_name=".pkg.M.ItemsEntry"),
        field("counts", 2, "MESSAGE", REPEATED, type_name=".pkg.M.CountsEntry"),
    ]
    nested = [map_entry("ItemsEntry", value="MESSAGE", value_type_name=".pkg.Item"), map_entry("CountsEntry")]
    d = compile_descriptor(message_proto("M", fields, nested))
    first = d.ref_fields()
    assert first == [(5, "Color"), (3, "Item")]
    assert type(first) is list and all(type(p) is tuple for p in first)
    # A fresh list each time, unaffected by linking.
    first.clear()
    d.link({5: Obj, 3: Obj})
    assert d.ref_fields() == [(5, "Color"), (3, "Item")]


def test_link_holds_and_replaces_references():
    d = new()
    a, b, c = Obj(), Obj(), Obj()
    base = rc(a)
    d.link({1: a})
    d.link({2: b})
    assert (rc(a), rc(b)) == (base + 1, base + 1)
    d.link({1: a})  # same object again: still one reference
    assert rc(a) == base + 1
    d.link({1: c})  # replaces a, releasing one reference
    assert (rc(a), rc(b), rc(c)) == (base, base + 1, base + 1)
    d.link(collections.OrderedDict([(2, c), (7, None), (8, "anything")]))
    assert (rc(b), rc(c)) == (base, base + 2)
    del d
    assert (rc(a), rc(b), rc(c)) == (base, base, base)


def test_dict_subclass_walked_as_a_dict():
    class Tricky(dict):
        def __iter__(self):
            raise AssertionError("not used")

        def items(self):
            raise AssertionError("not used")

        keys = values = items

    d, a = new(), Obj()
    base = rc(a)
    d.link(Tricky({3: a}))
    assert rc(a) == base + 1 and d.is_linked


@pytest.mark.parametrize(
    "key, number",
    [
        (True, 1),
        (False, 0),
        (0, 0),
        (4294967295, 4294967295),
        (Index(12), 12),
    ],
)
def test_link_key_conversion(key, number):
    d, a = new(), Obj()
    base = rc(a)
    d.link({key: a})
    assert rc(a) == base + 1
    d.link({number: Obj()})  # the same table entry: a is released
    assert rc(a) == base


@pytest.mark.parametrize(
    "key, exc, message",
    [
        (4294967296, OverflowError, "out of range integral type conversion attempted"),
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (-(2**63), OverflowError, "out of range integral type conversion attempted"),
        (2**63 - 1, OverflowError, "out of range integral type conversion attempted"),
        (Index(2**32), OverflowError, "out of range integral type conversion attempted"),
        (2**63, OverflowError, "Python int too large to convert to C long"),
        (-(2**63) - 1, OverflowError, "Python int too large to convert to C long"),
        (2**100, OverflowError, "Python int too large to convert to C long"),
        ("1", TypeError, "'str' object cannot be interpreted as an integer"),
        (5.0, TypeError, "'float' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (Index("1"), TypeError, r"__index__ returned non-int \(type str\)"),
    ],
)
@pytest.mark.parametrize("linked_before", [False, True])
def test_link_bad_key(key, exc, message, linked_before):
    d = new()
    if linked_before:
        d.link({})
    a, b, c = Obj(), Obj(), Obj()
    base = rc(a)
    with pytest.raises(exc, match=f"^{message}$"):
        d.link({1: a, key: b, 2: c})
    # Entries stored before the failing one stay; the flag is as it was.
    assert (rc(a), rc(b), rc(c)) == (base + 1, base, base)
    assert d.is_linked is linked_before
    d.link({})  # access was released
    assert d.is_linked


def test_key_conversion_exception_passes_unchanged():
    err = KeyError("mine")

    def boom():
        raise err

    d = new()
    with pytest.raises(KeyError) as info:
        d.link({Index(1, boom): 1})
    assert info.value is err


def test_link_refuses_non_dicts():
    d = new()
    for bad in ([(1, Obj)], collections.UserDict({1: Obj}), ((1, Obj),), None):
        with pytest.raises(TypeError, match=f"^argument 'mapping': '{type(bad).__qualname__}' object cannot be converted to 'PyDict'$"):
            d.link(bad)
    assert d.is_linked is False


def test_reentry_while_link_runs():
    d, other = new(), new()
    seen = {}

    def probe():
        for name, call in [
            ("name", lambda: d.name),
            ("is_linked", lambda: d.is_linked),
            ("ref_fields", d.ref_fields),
            ("link", lambda: d.link({})),
            ("link_bad_arg", lambda: d.link([])),  # the borrow is checked before the type
            ("link_unbound", lambda: d.link()),  # binding comes first of all
            ("encode", lambda: d.encode(1)),
            ("decode", lambda: d.decode(1, 2)),
            ("other", lambda: other.link({}) or other.name),
        ]:
            try:
                seen[name] = call()
            except Exception as e:
                seen[name] = f"{type(e).__name__}: {e}"

    d.link({Index(1, probe): Obj})
    mut, ex = "RuntimeError: Already mutably borrowed", "RuntimeError: Already borrowed"
    assert seen == {
        "name": mut,
        "is_linked": mut,
        "ref_fields": mut,
        "link": ex,
        "link_bad_arg": ex,
        "link_unbound": "TypeError: Descriptor.link() missing 1 required positional argument: 'mapping'",
        "encode": mut,
        "decode": mut,
        "other": "M",
    }
    assert d.is_linked and other.is_linked


def test_reentry_from_a_released_object():
    d = new()
    seen = []

    class Dying:
        def __del__(self):
            try:
                d.is_linked
            except RuntimeError as e:
                seen.append(str(e))

    d.link({1: Dying()})
    d.link({1: Obj()})  # Dying is released while link still holds the descriptor
    assert seen == ["Already mutably borrowed"]
    assert d.is_linked


def test_panic_when_the_dict_changes_size():
    d, a, b = new(), Obj(), Obj()
    base_a, base_b = rc(a), rc(b)
    m = {}
    m[1] = a
    m[Index(2, lambda: m.setdefault(9, b))] = b
    m[3] = b
    with pytest.raises(PANIC) as info:
        d.link(m)
    assert info.value.args == ("dictionary changed size during iteration",)
    # 1 and 2 were stored (the check follows the store), 3 and 9 were not:
    # m holds a once and b three times, the table each once.
    assert (rc(a), rc(b)) == (base_a + 2, base_b + 4)
    assert d.is_linked is False
    d.link({})
    assert d.is_linked


def test_panic_when_a_released_object_changes_the_dict():
    d = new()
    m = {}

    class Dying:
        def __del__(self):
            m.pop(5, None)

    d.link({1: Dying()})
    m.update({1: Obj(), 5: Obj()})
    with pytest.raises(PANIC, match="^dictionary changed size during iteration$"):
        d.link(m)
    assert d.is_linked is True


def test_panic_when_the_dict_keys_change():
    # Same size throughout, but the walk meets more entries than it started with.
    d, m = new(), {}

    def swap(old, new_key):
        del m[old]
        m[new_key] = Obj()

    k3 = Index(3)
    k2 = Index(2, lambda: swap(k1, k3))
    k1 = Index(1, lambda: swap(10, k2))
    m[k1] = Obj()
    m[10] = Obj()
    with pytest.raises(PANIC) as info:
        d.link(m)
    assert str(info.value) == "dictionary keys changed during iteration"
    assert len(m) == 2 and d.is_linked is False
