"""A short run of the decode fuzzer (fuzz/decode_fuzz.py; the long one is
`./dev run python fuzz/decode_fuzz.py --count 1000000`), and the nesting
limits of hostile input in both directions."""

import gc
import pathlib
import sys
import threading

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))
import decode_fuzz  # noqa: E402


@pytest.fixture(scope="module")
def setup():
    return decode_fuzz.build()


@pytest.mark.parametrize("seed", [20240601, 7])
def test_hostile_input_raises_only_documented_exceptions(seed):
    # Building the input pool also checks each valid encoding against the
    # reference runtime, in both directions.
    outcomes = {}
    failures = decode_fuzz.run(seed, 10_000, outcomes=outcomes)
    assert not failures, "\n".join(failures)
    # The run reached both sides of the decoder.
    assert outcomes.get("decoded", 0) > 500 and outcomes.get("ValueError", 0) > 500, outcomes


@pytest.mark.parametrize("via_map", [False, True])
@pytest.mark.parametrize("linked", [True, False])
def test_moderate_nesting_decodes(setup, via_map, linked):
    node = (setup.classes if linked else setup.unlinked)["Node"]
    data = decode_fuzz.deep(None, 300, via_map)
    if not linked:
        with pytest.raises(RuntimeError, match="^message field was not linked to a class$"):
            node.__quillspar__.decode(node, data)
        return
    obj = node.__quillspar__.decode(node, data)
    depth = 0
    while obj is not None:
        obj = obj.child if not via_map else obj.named.get("k")
        depth += 1
    assert depth == 301
    assert node.__quillspar__.encode(node.__quillspar__.decode(node, data)) == data


@pytest.mark.parametrize("levels", [5_000, 200_000])
@pytest.mark.parametrize("via_map", [False, True])
def test_excessive_nesting_raises_recursion_error(setup, levels, via_map):
    node = setup.classes["Node"]
    with pytest.raises(RecursionError):
        node.__quillspar__.decode(node, decode_fuzz.deep(None, levels, via_map))


@pytest.mark.parametrize("shape", ["child", "kids", "named"])
def test_encoding_a_value_that_contains_itself_raises_recursion_error(setup, shape):
    node = setup.classes["Node"]
    n = node()
    if shape == "child":
        n.child = n
    elif shape == "kids":
        n.kids = [n]
    else:
        n.named = {"k": n}
    with pytest.raises(RecursionError):
        node.__quillspar__.encode(n)


@pytest.mark.parametrize("stack_size", [64 * 1024, 256 * 1024, 4 * 1024 * 1024])
@pytest.mark.parametrize("via_map", [False, True])
def test_nesting_at_the_limit_in_a_thread_with_a_small_stack(setup, stack_size, via_map):
    # The depth limit alone would let 999 levels through; on a small stack the
    # interpreter's stack check must stop them first, with RecursionError.
    node = setup.classes["Node"]
    data = decode_fuzz.deep(None, 999, via_map)
    value = node()
    cur = value
    for _ in range(998):
        nxt = node()
        if via_map:
            cur.named = {"k": nxt}
        else:
            cur.child = nxt
        cur = nxt
    outcome = {}

    def work():
        for what, call in [("decode", lambda: node.__quillspar__.decode(node, data)),
                           ("encode", lambda: node.__quillspar__.encode(value))]:
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


@pytest.mark.refcount
def test_hostile_input_keeps_the_reference_total_balanced():
    # Every error path of the decoder releases what it holds: decoding the
    # same hostile inputs again leaves the interpreter's reference total as
    # it was (this also proves the debug build counts its references at all).
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("needs a debug interpreter")
    inputs = decode_fuzz.Inputs(decode_fuzz.build(), 11, pool_size=10)
    cases = [inputs.get(i) for i in range(1500)]

    def decode_all():
        for cls, data in cases:
            try:
                cls.__quillspar__.decode(cls, data)
            except Exception:
                pass

    decode_all()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(3):
        decode_all()
    gc.collect()
    assert sys.gettotalrefcount() - before < 100
