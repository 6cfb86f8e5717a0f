"""The benchmark workloads still do what they claim: every peer produces and
reads the same values, and every timed statement runs. No timing here."""

import sys
from pathlib import Path

import pytest

pytest.importorskip("msgspec")
pytest.importorskip("google.protobuf")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import workloads as W  # noqa: E402


@pytest.fixture(scope="module")
def reference():
    return W.ReferenceClasses()


@pytest.mark.parametrize("name", list(W.BY_NAME))
def test_peers_agree(name, reference):
    W.check_all(W.BY_NAME[name], reference)


@pytest.mark.parametrize("name", list(W.BY_NAME))
def test_timed_statements_run(name, reference):
    w = W.BY_NAME[name]
    ops = {**W.quillspar_ops(w), **W.msgspec_ops(w), **W.reference_ops(w, reference, "ref")}
    for stmt, ns in ops.values():
        exec(stmt, dict(ns))


def test_checks_catch_a_wrong_value(reference):
    w = W.BY_NAME["medium"]
    W.prepare(w)
    wrong = list(w.canon)
    wrong[7] = wrong[7][:-1]  # one line item fewer
    good = w.canon
    try:
        w.canon = tuple(wrong)
        msg = w.pb_build(reference, good)
        assert not W.same(w.canon, w.pb_read(msg))
        assert W.same(good, w.pb_read(msg))
    finally:
        w.canon = good
    # a float where the canonical value has an int is a difference too
    assert not W.same((1,), (1.0,))
    assert W.same((W.Status.SHIPPED,), (2,))
