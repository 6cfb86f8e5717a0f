"""quillspar benchmarks: encode and decode against peers measured in the same run.

    ./dev bench              full run (about two minutes)
    ./dev bench --quick      short smoke run
    ./dev bench --only medium,int32s

Peers, each timed in this run:

- quillspar: `Cls.from_bytes(data)` and `obj.to_bytes()`;
- core: the core's `Descriptor.decode(cls, data)` and `encode(obj)` called
  directly, which shows what the class methods add;
- floor: plain construction of the same quillspar objects from ready Python
  values (the floor for decoding);
- upb: the reference protobuf runtime's C backend, same process, its classes
  loaded from the descriptors quillspar generates; decode = parse and read
  every field into Python values;
- python: the same runtime's pure-Python backend, in a subprocess (a process
  has only one backend);
- msgspec: MessagePack with `msgspec.Struct` types of the same shape.

Every peer's output is checked against the others before anything is timed.
Times are medians over interleaved rounds (each round times every operation
of a workload once), so a slow phase of a shared machine hits all peers alike;
the ratios to quillspar are the result. Results go to bench/results/.
"""

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads as W  # noqa: E402

RESULTS = HERE / "results"

DECODE_ORDER = ["quillspar", "core", "floor", "upb", "python", "msgspec"]
ENCODE_ORDER = ["quillspar", "core", "upb build+serialize", "upb serialize", "python build+serialize",
                "python serialize", "msgspec"]
JSON_ORDER = ["quillspar", "upb", "python"]
DIRECTIONS = (("decode", DECODE_ORDER), ("encode", ENCODE_ORDER), ("to_json", JSON_ORDER), ("from_json", JSON_ORDER))


# ---------------------------------------------------------------- timing

def calibrate(timer: timeit.Timer, target: float) -> int:
    """Loops per sample so that one sample takes about `target` seconds."""
    n = 1
    while True:
        t = timer.timeit(n)
        if t >= target / 8 or n >= 1 << 24:
            return max(1, round(n * target / max(t, 1e-9)))
        n *= 4 if t < target / 100 else 2


def measure(ops: dict[str, W.Op], target: float, rounds: int, budget: float) -> dict[str, dict]:
    """Median seconds per call of every operation, over interleaved rounds."""
    timers = {k: timeit.Timer(stmt, globals=ns) for k, (stmt, ns) in ops.items()}
    loops = {k: calibrate(t, target) for k, t in timers.items()}
    samples: dict[str, list[float]] = {k: [] for k in ops}
    started = time.perf_counter()
    for r in range(rounds):
        for k, t in timers.items():
            samples[k].append(t.timeit(loops[k]) / loops[k])
        gc.collect()
        # Ops slower than the target sample (one call per sample) get fewer rounds.
        if r >= 4 and time.perf_counter() - started > budget:
            break
    return {
        k: {"median": statistics.median(s), "min": min(s), "rounds": len(s), "loops": loops[k]}
        for k, s in samples.items()
    }


def time_workloads(names: list[str], ops_of, target: float, rounds: int, budget: float, log) -> dict:
    out = {}
    for name in names:
        w = W.BY_NAME[name]
        t0 = time.perf_counter()
        out[name] = measure(ops_of(w), target, rounds, budget)
        log(f"  {name:<8} {time.perf_counter() - t0:5.1f} s")
    return out


# ---------------------------------------------------------------- the pure-Python worker

def worker(args: argparse.Namespace) -> None:
    backend = W.backend()
    if backend != "python":
        sys.exit(f"the worker needs the pure-Python backend, got {backend}")
    P = W.ReferenceClasses()
    names = args.only
    for name in names:
        W.check_reference(W.BY_NAME[name], P)
    res = time_workloads(names, lambda w: W.reference_ops(w, P, "python"), args.target, args.rounds,
                         args.budget, lambda s: print(s, file=sys.stderr, flush=True))
    Path(args.worker).write_text(json.dumps(res))


def run_worker(args: argparse.Namespace, log) -> dict:
    out = RESULTS / ".python-backend.json"
    env = dict(os.environ, PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION="python")
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", str(out), "--only", ",".join(args.only),
           "--target", str(args.target), "--rounds", str(args.py_rounds), "--budget", str(args.budget)]
    log("pure-Python backend (subprocess):")
    subprocess.run(cmd, env=env, check=True)
    res = json.loads(out.read_text())
    out.unlink()
    return res


# ---------------------------------------------------------------- report

def fmt_time(s: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if s >= scale or unit == "ns":
            v = s / scale
            return f"{v:.3g} {unit}" if v < 100 else f"{v:.0f} {unit}"
    return ""


def peer_rows(res: dict, name: str) -> list[tuple[str, str, float, float]]:
    """(direction, peer, median, ratio to quillspar) for one workload."""
    r = res[name]
    rows = []
    for direction, order in DIRECTIONS:
        if f"{direction}/quillspar" not in r:
            continue
        base = r[f"{direction}/quillspar"]["median"]
        for peer in order:
            key = f"{direction}/{peer}"
            if key in r:
                rows.append((direction, peer, r[key]["median"], r[key]["median"] / base))
    return rows


def ratio(res: dict, name: str, a: str, b: str) -> float | None:
    """a / b in workload `name`; "workload:op" takes an operation from another workload."""
    medians = []
    for key in (a, b):
        where, _, op = key.rpartition(":")
        r = res.get(where or name)
        if not r or op not in r:
            return None
        medians.append(r[op]["median"])
    return medians[0] / medians[1]


TARGETS = [
    # (label, workload, numerator, denominator, limit): numerator / denominator must be <= limit
    ("medium decode vs construction floor", "medium", "decode/quillspar", "decode/floor", 1.3),
    ("medium encode vs msgspec encode", "medium", "encode/quillspar", "encode/msgspec", 2.0),
    ("medium decode vs upb (parse + read all)", "medium", "decode/quillspar", "decode/upb", 1.0),
    ("medium encode vs upb (build + serialize)", "medium", "encode/quillspar", "encode/upb build+serialize", 1.0),
    ("packed int32 decode vs upb", "int32s", "decode/quillspar", "decode/upb", 1.0),
    ("packed int32 encode vs upb (build + serialize)", "int32s", "encode/quillspar", "encode/upb build+serialize", 1.0),
    ("packed double decode vs upb", "doubles", "decode/quillspar", "decode/upb", 1.0),
    ("packed double encode vs upb (build + serialize)", "doubles", "encode/quillspar", "encode/upb build+serialize",
     1.0),
    # both workloads hold 100,000 values, so the ratio is one per value
    ("packed enum decode vs packed int32 decode, per value", "enums", "decode/quillspar", "int32s:decode/quillspar",
     1.0),
    ("packed enum encode vs packed int32 encode, per value", "enums", "encode/quillspar", "int32s:encode/quillspar",
     1.0),
    ("medium decode vs msgspec decode", "medium", "decode/quillspar", "decode/msgspec", 1.2),
    ("medium encode vs msgspec encode (parity)", "medium", "encode/quillspar", "encode/msgspec", 1.0),
    ("small from_bytes vs the core's decode", "small", "decode/quillspar", "decode/core", 1.1),
    ("small to_bytes vs the core's encode", "small", "encode/quillspar", "encode/core", 1.1),
    ("telemetry decode vs upb (parse + read all)", "telemetry", "decode/quillspar", "decode/upb", 1 / 3),
    ("telemetry encode vs upb (build + serialize)", "telemetry", "encode/quillspar", "encode/upb build+serialize",
     1 / 3),
    ("medium to_json vs json_format.MessageToJson", "medium", "to_json/quillspar", "to_json/upb", 0.1),
    ("medium from_json vs json_format.Parse", "medium", "from_json/quillspar", "from_json/upb", 0.1),
    ("telemetry to_json vs json_format.MessageToJson", "telemetry", "to_json/quillspar", "to_json/upb", 0.1),
    ("telemetry from_json vs json_format.Parse", "telemetry", "from_json/quillspar", "from_json/upb", 0.1),
]


def report(res: dict, names: list[str], meta: dict) -> str:
    lines = ["# quillspar benchmark", ""]
    lines.append(", ".join(f"{k}: {v}" for k, v in meta.items()))
    lines += ["", "Median time per call; ratio = peer time / quillspar time (above 1: quillspar is faster).", ""]
    lines += ["| workload | wire bytes | direction | peer | median | ratio |", "|---|---:|---|---|---:|---:|"]
    for name in names:
        w = W.BY_NAME[name]
        first = True
        for direction, peer, med, rat in peer_rows(res, name):
            lead = f"{w.title} | {W.wire_size(w):,}" if first else " | "
            first = False
            lines.append(f"| {lead} | {direction} | {peer} | {fmt_time(med)} | {rat:.2f}x |")
    lines += ["", "## Targets", "", "| target | ratio | limit | met |", "|---|---:|---:|---|"]
    for label, name, a, b, limit in TARGETS:
        v = ratio(res, name, a, b)
        if v is None:
            continue
        lines.append(f"| {label} | {v:.2f} | {limit:.2f} | {'yes' if v <= limit else 'NO'} |")
    return "\n".join(lines) + "\n"


# One colour per peer in both panels.
COLORS = {
    "quillspar": "#1f77b4", "floor": "#7f7f7f", "upb": "#2ca02c", "upb build+serialize": "#2ca02c",
    "upb serialize": "#98df8a", "python": "#d62728", "python build+serialize": "#d62728",
    "python serialize": "#ff9896", "msgspec": "#9467bd",
}


def chart(res: dict, names: list[str], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 1, figsize=(12, 9))
    for ax, (direction, order) in zip(axes, (("decode", DECODE_ORDER), ("encode", ENCODE_ORDER))):
        peers = [p for p in order if any(f"{direction}/{p}" in res[n] for n in names)]
        width = 0.8 / len(peers)
        for i, peer in enumerate(peers):
            xs, ys = [], []
            for j, name in enumerate(names):
                key = f"{direction}/{peer}"
                if key in res[name]:
                    xs.append(j + (i - (len(peers) - 1) / 2) * width)
                    ys.append(res[name][key]["median"] / res[name][f"{direction}/quillspar"]["median"])
            ax.bar(xs, ys, width, label=peer, color=COLORS.get(peer))
            for x, y in zip(xs, ys):
                ax.text(x, y, f"{y:.2g}", ha="center", va="bottom", fontsize=6, rotation=90)
        ax.set_yscale("log")
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(names)), [W.BY_NAME[n].title for n in names])
        ax.set_ylabel("time relative to quillspar (log)")
        ax.set_title(f"{direction}: time per call relative to quillspar (lower is faster)")
        ax.legend(fontsize=8, ncol=3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---------------------------------------------------------------- main

def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="short smoke run")
    ap.add_argument("--only", default=",".join(W.BY_NAME), help="comma-separated workloads")
    ap.add_argument("--no-python", action="store_true", help="skip the pure-Python backend")
    ap.add_argument("--target", type=float, help="seconds per sample")
    ap.add_argument("--rounds", type=int, help="rounds (samples per operation)")
    ap.add_argument("--py-rounds", type=int, help="rounds for the pure-Python backend")
    ap.add_argument("--budget", type=float, help="seconds per workload after which rounds stop early")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.only = [n for n in args.only.split(",") if n]
    unknown = [n for n in args.only if n not in W.BY_NAME]
    if unknown:
        ap.error(f"unknown workloads {unknown}; choose from {list(W.BY_NAME)}")
    args.target = args.target or (0.002 if args.quick else 0.02)
    args.rounds = args.rounds or (3 if args.quick else 41)
    args.py_rounds = args.py_rounds or (2 if args.quick else 9)
    args.budget = args.budget or (5.0 if args.quick else 25.0)
    if args.worker:
        worker(args)
        return

    def log(s: str) -> None:
        print(s, file=sys.stderr, flush=True)

    backend = W.backend()
    if backend != "upb":
        sys.exit(f"the reference runtime must run on its upb backend here, got {backend}")
    RESULTS.mkdir(exist_ok=True)
    started = time.perf_counter()
    P = W.ReferenceClasses()
    log("checking that every peer does the same work")
    for name in args.only:
        W.check_all(W.BY_NAME[name], P)

    def ops_of(w: W.Workload) -> dict:
        return {**W.quillspar_ops(w), **W.quillspar_json_ops(w), **W.reference_ops(w, P, "upb"), **W.msgspec_ops(w)}

    log("quillspar, construction floor, upb, msgspec (this process):")
    res = time_workloads(args.only, ops_of, args.target, args.rounds, args.budget, log)
    if not args.no_python:
        for name, r in run_worker(args, log).items():
            res[name].update(r)

    import google.protobuf
    import msgspec

    meta = {
        "python": platform.python_version(),
        "protobuf": f"{google.protobuf.__version__} (upb in process, python in a subprocess)",
        "msgspec": msgspec.__version__,
        "rounds": f"{args.rounds} ({args.py_rounds} for the pure-Python backend)",
        "sample": f"{args.target * 1000:g} ms",
        "date": time.strftime("%Y-%m-%d %H:%M"),
    }
    text = report(res, args.only, meta)
    print(text)
    (RESULTS / "results.md").write_text(text)
    (RESULTS / "results.json").write_text(json.dumps({"meta": meta, "results": res}, indent=1))
    chart(res, args.only, RESULTS / "chart.png")
    log(f"wrote {RESULTS / 'results.md'} and {RESULTS / 'chart.png'} in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
