"""A short run of the encode fuzzer (fuzz/encode_fuzz.py; a long one is
`./dev run python fuzz/encode_fuzz.py --count 200000`)."""

import collections.abc
import gc
import pathlib
import random
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))
import encode_fuzz  # noqa: E402


@pytest.mark.parametrize("seed", [3, 20240602])
def test_hostile_values_encode_like_plain_ones_or_raise_the_expected_type(seed):
    outcomes = {}
    failures = encode_fuzz.run(seed, 6_000, outcomes=outcomes)
    assert not failures, "\n".join(failures)
    assert outcomes.get("encoded", 0) > 1000 and outcomes.get("OverflowError", 0) > 100, outcomes


@pytest.mark.refcount
def test_hostile_values_keep_the_reference_total_balanced():
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("needs a debug interpreter")
    import decode_fuzz as dz

    setup = dz.build()
    rng = random.Random(5)
    objs = []
    for name in ("Scalars", "Repeated", "Maps", "Leaf", "Node"):
        cls = setup.classes[name]
        for f in cls._mtype.fields:
            for _ in range(20):
                obj = cls()
                value, _, _ = encode_fuzz.draw(setup, f, getattr(obj, f.name), rng)
                if isinstance(value, collections.abc.Iterator):
                    continue  # used up by the first encode
                setattr(obj, f.name, value)
                objs.append(obj)

    def encode_all():
        for obj in objs:
            try:
                type(obj).__quillspar__.encode(obj)
            except Exception:
                pass

    encode_all()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(3):
        encode_all()
    gc.collect()
    assert sys.gettotalrefcount() - before < 100
