"""Short runs of the decode, encode and JSON fuzzers (long ones: `./dev run
python fuzz/decode_fuzz.py --count 1000000`, `./dev run python
fuzz/encode_fuzz.py --count 200000`, `./dev run python fuzz/json_fuzz.py
--count 300000`), and the nesting limits of hostile input in both directions."""

import pathlib
import sys
import threading

import pytest

from codec_protos import ld

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))
import decode_fuzz  # noqa: E402
import encode_fuzz  # noqa: E402
import json_fuzz  # noqa: E402


@pytest.mark.parametrize("fuzzer,seed,count,least", [
    # Building the decoder's input pool also checks each valid encoding
    # against the reference runtime, in both directions.
    (decode_fuzz, 20240601, 10_000, {"decoded": 500, "ValueError": 500}),
    (decode_fuzz, 7, 10_000, {"decoded": 500, "ValueError": 500}),
    (encode_fuzz, 3, 6_000, {"encoded": 1000, "OverflowError": 100}),
    (encode_fuzz, 20240602, 6_000, {"encoded": 1000, "OverflowError": 100}),
    (json_fuzz, 5, 4_000, {"read": 300, "JsonError": 500, "to_json": 200, "TypeError": 200}),
], ids=["decode-1", "decode-2", "encode-1", "encode-2", "json"])
def test_hostile_input_raises_only_documented_exceptions(fuzzer, seed, count, least):
    outcomes = {}
    failures = fuzzer.run(seed, count, outcomes=outcomes)
    assert not failures, "\n".join(failures)
    assert all(outcomes.get(k, 0) > n for k, n in least.items()), outcomes  # both sides were reached


@pytest.fixture
def node():
    return decode_fuzz.build().classes["Node"]


WRAP = {"child": lambda n: n, "kids": lambda n: [n], "named": lambda n: {"k": n}}
UNWRAP = {"child": lambda n: n.child, "kids": lambda n: n.kids[0] if n.kids else None,
          "named": lambda n: n.named.get("k")}
DEPTH = "^message nesting exceeds the depth limit of 1000$"


def chain(node, levels, via):
    top = node(value=1)
    for _ in range(levels - 1):
        top = node(**{via: WRAP[via](top)})
    return top


@pytest.mark.parametrize("via", WRAP)
def test_nesting_limits(node, via):
    d = node.__quillspar__
    data = d.encode(chain(node, 1000, via))
    if via != "kids":
        assert data == decode_fuzz.deep(None, 999, via == "named")
    obj, depth = d.decode(node, data), 0
    while obj is not None:
        assert obj.value == (depth == 999)
        obj, depth = UNWRAP[via](obj), depth + 1
    assert depth == 1000
    loop = node()
    setattr(loop, via, WRAP[via](loop))
    for call in [lambda: d.encode(chain(node, 1001, via)), lambda: d.encode(loop),
                 lambda: d.decode(node, decode_fuzz.deep(None, 1000, True) if via == "named" else
                                  ld({"child": 2, "kids": 3}[via], data)),
                 lambda: d.decode(node, decode_fuzz.deep(None, 200_000, via == "named"))]:
        with pytest.raises(RecursionError, match=DEPTH) as e:
            call()
        assert not hasattr(e.value, "__notes__")  # a path as long as the limit helps nobody
    d.link({})  # no borrow was left behind


@pytest.mark.parametrize("stack_size", [64 * 1024, 256 * 1024, 4 * 1024 * 1024])
@pytest.mark.parametrize("via", ["child", "named"])
def test_nesting_at_the_limit_in_a_thread_with_a_small_stack(node, stack_size, via):
    # The depth limit alone would let 999 levels through; on a small stack the
    # interpreter's stack check must stop them first, with RecursionError.
    d, data, value, outcome = node.__quillspar__, decode_fuzz.deep(None, 999, via == "named"), chain(node, 999, via), {}

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
