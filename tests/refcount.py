"""Reference-leak checks, meaningful on a debug interpreter only.

Usage in a test file::

    from refcount import REFCOUNT_MARKS, assert_refcount_flat
    pytestmark = REFCOUNT_MARKS

    def test_something():
        assert_refcount_flat(lambda: d.decode(C, b"\\x08\\x01"))

The callable is run a few times to warm caches up, then in `repeat` rounds of
`loops` calls each. After every round the cyclic collector runs and the
interpreter's total reference count and allocated-block count are sampled. Like
CPython's own -R runner, a leak is reported only when *every* round grew, so a
cache filled once or a free list that settles does not count, while one lost
reference per call shows up as a steady delta of `loops` per round.
"""

import gc
import sys

import pytest

HAVE_TOTALREFCOUNT = hasattr(sys, "gettotalrefcount")

REFCOUNT_MARKS = [
    pytest.mark.refcount,
    pytest.mark.skipif(not HAVE_TOTALREFCOUNT, reason="needs a debug interpreter (sys.gettotalrefcount)"),
]


def _call(fn):
    try:
        fn()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:  # the interesting calls fail; PanicException included
        pass


def _clamp(n):
    # Small ints are immortal: storing them adds nothing to later samples.
    return max(-5, min(256, n))


def measure(fn, *, warmup=5, repeat=6, loops=20):
    """Per-round growth of (total refcount, allocated blocks), each a list of
    `repeat` ints clamped to -5..256."""
    rc_deltas = [0] * repeat
    blk_deltas = [0] * repeat
    for _ in range(warmup):
        _call(fn)
    rc_before = blk_before = 0
    # Rounds -2 and -1 only take samples, so that every recorded one is taken
    # with the same locals alive.
    for i in range(-2, repeat):
        for _ in range(loops):
            _call(fn)
        gc.collect()
        rc_after = sys.gettotalrefcount()
        blk_after = sys.getallocatedblocks()
        if i >= 0:
            rc_deltas[i] = _clamp(rc_after - rc_before)
            blk_deltas[i] = _clamp(blk_after - blk_before)
        rc_before, blk_before = rc_after, blk_after
    return rc_deltas, blk_deltas


def assert_refcount_flat(fn, *, warmup=5, repeat=6, loops=20):
    """Fail when calling `fn` (exceptions swallowed) leaks references or memory
    blocks; skip the test on an interpreter without reference totals."""
    if not HAVE_TOTALREFCOUNT:
        pytest.skip("needs a debug interpreter (sys.gettotalrefcount)")
    rc_deltas, blk_deltas = measure(fn, warmup=warmup, repeat=repeat, loops=loops)
    if all(d >= 1 for d in rc_deltas):
        raise AssertionError(f"references leak: total refcount grew by {rc_deltas} per {loops} calls")
    if all(d >= 1 for d in blk_deltas):
        raise AssertionError(f"memory blocks leak: allocated blocks grew by {blk_deltas} per {loops} calls")
