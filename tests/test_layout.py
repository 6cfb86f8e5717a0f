"""The native core's folders depend on each other in one direction only."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"
FLOORS = {"wire": 0, "schema": 1, "py": 2, "decode": 3, "encode": 3, "classes": 3, "json": 3, "module": 4}
INCLUDE = re.compile(r'^#include "(?:\.\./)?(?:(\w+)/)?[\w.]+"', re.M)


@pytest.mark.skipif(not SRC.is_dir(), reason="no source tree beside the tests")
def test_includes_point_down_a_floor_or_stay():
    files = sorted(p for p in SRC.rglob("*") if p.suffix in {".hpp", ".cpp"})
    assert {p.parent.name for p in files} == set(FLOORS)
    upward = []
    for p in files:
        here = p.parent.name
        for target in INCLUDE.findall(p.read_text()):
            there = target or here
            if there != here and FLOORS[there] >= FLOORS[here]:
                upward.append(f"{p.relative_to(SRC)} -> {there}/")
    assert upward == []
