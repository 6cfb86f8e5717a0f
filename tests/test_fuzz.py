"""Short runs of the decode and encode fuzzers (long ones: `./dev run python
fuzz/decode_fuzz.py --count 1000000`, `./dev run python fuzz/encode_fuzz.py
--count 200000`), and the nesting limits of hostile input in both directions."""

import pathlib
import sys
import threading

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))
import decode_fuzz  # noqa: E402
import encode_fuzz  # noqa: E402


@pytest.mark.parametrize("fuzzer,seed,count,least", [
    # Building the decoder's input pool also checks each valid encoding
    # against the reference runtime, in both directions.
    (decode_fuzz, 20240601, 10_000, {"decoded": 500, "ValueError": 500}),
    (decode_fuzz, 7, 10_000, {"decoded": 500, "ValueError": 500}),
    (encode_fuzz, 3, 6_000, {"encoded": 1000, "OverflowError": 100}),
    (encode_fuzz, 20240602, 6_000, {"encoded": 1000, "OverflowError": 100}),
], ids=["decode-1", "decode-2", "encode-1", "encode-2"])
def test_hostile_input_raises_only_documented_exceptions(fuzzer, seed, count, least):
    outcomes = {}
    failures = fuzzer.run(seed, count, outcomes=outcomes)
    assert not failures, "\n".join(failures)
    assert all(outcomes.get(k, 0) > n for k, n in least.items()), outcomes  # both sides were reached


@pytest.fixture(scope="module")
def node():
    return decode_fuzz.build().classes["Node"]


def chain(node, levels, via_map):
    top = cur = node()
    for _ in range(levels - 1):
        nxt = node()
        if via_map:
            cur.named = {"k": nxt}
        else:
            cur.child = nxt
        cur = nxt
    return top


@pytest.mark.parametrize("via_map", [False, True])
def test_nesting_limits(node, via_map):
    d, data = node.__quillspar__, decode_fuzz.deep(None, 300, via_map)
    obj, depth = d.decode(node, data), 0
    while obj is not None:
        obj, depth = obj.child if not via_map else obj.named.get("k"), depth + 1
    assert depth == 301 and d.encode(d.decode(node, data)) == data
    for levels in (5_000, 200_000):
        with pytest.raises(RecursionError):
            d.decode(node, decode_fuzz.deep(None, levels, via_map))
    for name, wrap in [("child", lambda n: n), ("kids", lambda n: [n]), ("named", lambda n: {"k": n})]:
        n = node()
        setattr(n, name, wrap(n))
        with pytest.raises(RecursionError):
            d.encode(n)


@pytest.mark.parametrize("stack_size", [64 * 1024, 256 * 1024, 4 * 1024 * 1024])
@pytest.mark.parametrize("via_map", [False, True])
def test_nesting_at_the_limit_in_a_thread_with_a_small_stack(node, stack_size, via_map):
    # The depth limit alone would let 999 levels through; on a small stack the
    # interpreter's stack check must stop them first, with RecursionError.
    d, data, value, outcome = node.__quillspar__, decode_fuzz.deep(None, 999, via_map), chain(node, 999, via_map), {}

    def work():
        for what, call in [("decode", lambda: d.decode(node, data)), ("encode", lambda: d.encode(value))]:
            try:
                call()
                outcome[what] = "ok"
            except RecursionError:
                outcome[what] = "RecursionError"

    old = threading.stack_size(stack_size)
    try:
        t = threading.Thread(target=work)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert set(outcome) == {"decode", "encode"}, outcome
    if stack_size <= 256 * 1024:
        assert outcome == {"decode": "RecursionError", "encode": "RecursionError"}
