"""What decoding a workload allocates, against the size of what it returns.

    ./dev run python bench/memory.py [large]

tracemalloc traces every allocation of the interpreter's allocators (the core
allocates through them too, except for its scratch vectors on the C++ heap).
The peak while decoding, minus what the result still holds afterwards, is
what the decoder needed on top of the result: its buffers and temporaries.
The result's own size is the sum of sys.getsizeof over its object graph,
each object counted once.
"""

import sys
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workloads as W  # noqa: E402


def graph_size(obj: object) -> int:
    seen: set[int] = set()
    total = 0
    stack = [obj]
    while stack:
        o = stack.pop()
        if id(o) in seen or o is None or isinstance(o, (bool, type)):
            continue
        seen.add(id(o))
        if isinstance(o, int) and -5 <= o <= 256:
            continue  # shared small ints
        total += sys.getsizeof(o)
        if isinstance(o, (list, tuple)):
            stack.extend(o)
        elif isinstance(o, dict):
            stack.extend(o.keys())
            stack.extend(o.values())
        elif hasattr(type(o), "__slots__") and not isinstance(o, (str, bytes, int, float)):
            stack.extend(getattr(o, n, None) for n in type(o).__slots__)
    return total


def main() -> None:
    name = sys.argv[1] if len(sys.argv) > 1 else "large"
    w = W.BY_NAME[name]
    W.prepare(w)
    data = w.floor(w.canon).to_bytes()
    w.qs_cls.from_bytes(data)  # warm: interned names, free lists
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    result = w.qs_cls.from_bytes(data)
    current, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    held = current - before
    size = graph_size(result)
    print(f"{name}: input {len(data):,} B; result {size:,} B by getsizeof, {held:,} B still traced after decoding")
    print(f"peak during decoding {peak - before:,} B: {peak - before - held:,} B beyond the result")


if __name__ == "__main__":
    main()
