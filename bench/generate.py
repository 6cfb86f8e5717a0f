"""How long the code generator takes for google/protobuf/descriptor.proto.

    ./dev run python bench/generate.py [--rounds N]

Prints the median time of `quillspar.protoc.generate` for the file, and of
its two steps: compiling with protoc (a subprocess) and writing the module.
"""

import argparse
import statistics
import time

from quillspar.protoc import generate, generate_from_request
from quillspar.protoc._compiler import compile_request

FILE = "google/protobuf/descriptor.proto"


def median_ms(step, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        step()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds
    request, _ = compile_request([FILE])
    lines = generate_from_request(request)["google/protobuf/descriptor.py"].count("\n")
    whole = median_ms(lambda: generate([FILE]), rounds)
    compiling = median_ms(lambda: compile_request([FILE]), rounds)
    writing = median_ms(lambda: generate_from_request(request), rounds)
    print(f"{FILE} -> {lines} lines, median of {rounds} rounds:")
    print(f"  generate()        {whole:7.1f} ms")
    print(f"  protoc            {compiling:7.1f} ms")
    print(f"  writing the module{writing:7.1f} ms")


if __name__ == "__main__":
    main()
