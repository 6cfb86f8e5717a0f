"""A short run of the decode fuzzer (fuzz/decode_fuzz.py; the long one is
`./dev run python fuzz/decode_fuzz.py --count 1000000`), and the nesting
limits of hostile input in both directions."""

import pathlib
import sys

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
