"""A short run of the encode fuzzer (fuzz/encode_fuzz.py; a long one is
`./dev run python fuzz/encode_fuzz.py --count 200000`)."""

import pathlib
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
