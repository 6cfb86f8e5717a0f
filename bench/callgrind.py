"""Instructions per call of one benchmark operation, under callgrind.

    ./dev run python bench/callgrind.py medium decode/quillspar [-n 200] [--keep]

Runs the operation N and 2N times in two valgrind processes and reports the
difference divided by N, which leaves out start-up and set-up. With --keep the
2N profile stays in build/callgrind/ for callgrind_annotate. Deterministic, so
it compares variants of our own code where wall-clock time on a shared
machine cannot.
"""

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "callgrind"


def child(workload: str, op: str, n: int) -> None:
    sys.path.insert(0, str(HERE))
    import workloads as W

    w = W.BY_NAME[workload]
    ops = {**W.quillspar_ops(w), **W.quillspar_json_ops(w), **W.msgspec_ops(w)}
    if op not in ops:
        ops.update(W.reference_ops(w, W.ReferenceClasses(), "upb"))
    stmt, ns = ops[op]
    code = compile(f"for _ in range({n}):\n    {stmt}\n", "<op>", "exec")
    exec(compile(stmt, "<warm>", "exec"), ns)
    exec(code, ns)


def instructions(path: Path) -> int:
    m = re.search(r"^summary:\s+(\d+)", path.read_text(), re.M)
    if not m:
        raise SystemExit(f"no summary in {path}")
    return int(m.group(1))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("workload")
    ap.add_argument("op", help="e.g. decode/quillspar, encode/quillspar, decode/floor, encode/msgspec, to_json/upb")
    ap.add_argument("-n", type=int, default=200)
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child is not None:
        child(a.workload, a.op, a.child)
        return
    OUT.mkdir(parents=True, exist_ok=True)
    counts = []
    tag = f"{a.workload}-{a.op.replace('/', '-').replace(' ', '_')}"
    for n in (a.n, 2 * a.n):
        out = OUT / f"{tag}-{n}.out"
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
             a.workload, a.op, "--child", str(n)],
            check=True, stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            env=dict(os.environ, PYTHONHASHSEED="0"))  # the same dict layouts in every run
        counts.append(instructions(out))
        if not (a.keep and n == 2 * a.n):
            out.unlink()
    per = (counts[1] - counts[0]) / a.n
    print(f"{a.workload} {a.op}: {per:,.0f} instructions per call")


if __name__ == "__main__":
    main()
