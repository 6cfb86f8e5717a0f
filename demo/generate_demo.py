"""From a .proto file to typed classes: the code generator in one page."""

import datetime
import importlib
import sys
import tempfile
from pathlib import Path

from quillspar.protoc import generate


def main() -> None:
    here = Path(__file__).parent
    # Same as: python -m quillspar.protoc -I demo --out OUT demo/inventory.proto
    sources = generate([here / "inventory.proto"], proto_path=[here])
    print("\ngenerated:", ", ".join(sources))
    module_text = sources["warehouse/v1/inventory.py"]
    print("\n".join(module_text.splitlines()[:24]), "\n    ...")

    with tempfile.TemporaryDirectory() as out:
        for path, source in sources.items():
            target = Path(out, path)
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(source)
        sys.path.insert(0, out)
        try:
            inventory = importlib.import_module("warehouse.v1.inventory")
        finally:
            sys.path.remove(out)

    from quillspar import wkt

    Article = inventory.Article
    stock = inventory.Stock(
        by_sku={"pen": Article(sku="pen", count=40, condition=Article.Condition.CONDITION_NEW)},
        counted_at=wkt.Timestamp.from_datetime(datetime.datetime(2026, 12, 6, 9, 30, tzinfo=datetime.UTC)),
        scanner="dock-3",
    )
    data = stock.to_bytes()
    print(f"encoded {len(data)} bytes; decoded again:", inventory.Stock.from_bytes(data) == stock)

    # The reference runtime's classes for the same file, from protoc's own output.
    from google.protobuf import descriptor_pool, message_factory

    from quillspar.protoc._compiler import compile_request

    request, _ = compile_request([here / "inventory.proto"], [here])
    pool = descriptor_pool.DescriptorPool()
    for file in request.proto_file:
        pool.Add(file)
    RefStock = message_factory.GetMessageClass(pool.FindMessageTypeByName("warehouse.v1.Stock"))
    ref = RefStock.FromString(data)
    print("reference runtime reads it:", ref.by_sku["pen"].count, ref.WhichOneof("source"),
          ref.counted_at.ToDatetime(datetime.UTC).isoformat())
    assert ref.SerializeToString(deterministic=True) == data


if __name__ == "__main__":
    main()
