"""Reference-leak checks, meaningful on a debug interpreter only.

`assert_refcount_flat(fn, expected)` calls `fn` a few times to warm caches up,
then in `repeat` rounds of `loops` calls each; every call must raise `expected`
(an exception type or its name, for PanicException) or return when it is None.
After every round the cyclic collector runs and the interpreter's total
reference count and allocated-block count are sampled. Like CPython's own -R
runner, a leak is reported only when *every* round grew, so a cache filled once
or a free list that settles does not count, while one lost reference per call
shows up as a steady delta of `loops` per round.
"""

import gc
import sys

import pytest

REFCOUNT_MARKS = [pytest.mark.refcount, pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                                           reason="needs a debug interpreter")]


def check_outcome(fn, expected):
    """Calls `fn`, which must raise `expected` or return when it is None."""
    try:
        fn()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        assert type(e).__name__ == getattr(expected, "__name__", expected), repr(e)
    else:
        assert expected is None, f"{getattr(expected, '__name__', expected)} was not raised"


def measure(fn, expected=None, *, warmup=5, repeat=6, loops=20):
    """Per-round growth of (total refcount, allocated blocks), each a list of
    `repeat` ints clamped to -5..256 (small ints are immortal: storing them
    adds nothing to later samples)."""
    rc, blocks = [0] * repeat, [0] * repeat
    for _ in range(warmup):
        check_outcome(fn, expected)
    rc_before = blk_before = 0
    # Rounds -2 and -1 only take samples, so that every recorded one is taken
    # with the same locals alive.
    for i in range(-2, repeat):
        for _ in range(loops):
            check_outcome(fn, expected)
        gc.collect()
        rc_after, blk_after = sys.gettotalrefcount(), sys.getallocatedblocks()
        if i >= 0:
            rc[i] = max(-5, min(256, rc_after - rc_before))
            blocks[i] = max(-5, min(256, blk_after - blk_before))
        rc_before, blk_before = rc_after, blk_after
    return rc, blocks


def assert_refcount_flat(fn, expected=None, **kw):
    rc, blocks = measure(fn, expected, **kw)
    if all(d >= 1 for d in rc):
        raise AssertionError(f"references leak: total refcount grew by {rc} per round")
    if all(d >= 1 for d in blocks):
        raise AssertionError(f"memory blocks leak: allocated blocks grew by {blocks} per round")
