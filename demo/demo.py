"""quillspar in one page: define messages with type hints, encode, decode, and
exchange bytes with the reference protobuf runtime."""

from __future__ import annotations

import enum

import quillspar
from quillspar import field, int32, message, sint64, uint32


class Status(enum.IntEnum):
    PENDING = 0
    PAID = 1
    SHIPPED = 2


@message
class Item:
    sku: str
    quantity: uint32
    tags: list[str]


@message
class Order:
    id: int                                      # int64
    customer: str
    status: Status
    items: list[Item]                            # repeated message
    totals: list[int32]                          # packed on the wire
    notes: dict[str, str]                        # map
    gift: Item | None                            # nested message
    coupon: str | None = field(oneof="payment")  # a oneof of two members
    card: sint64 | None = field(oneof="payment")
    parent: Order | None = None                  # refers to itself


def main() -> None:
    order = Order(
        id=1042,
        customer="Ada",
        status=Status.PAID,
        items=[Item(sku="pen", quantity=3, tags=["blue"]), Item(sku="ink", quantity=1)],
        totals=[300, 1250],
        notes={"door": "leave at the back"},
        gift=Item(sku="card"),
        card=-4242,
        parent=Order(id=1041, customer="Ada"),
    )
    data = order.to_bytes()
    print(f"encoded {len(data)} bytes: {data[:24].hex(' ')} ...")
    back = Order.from_bytes(data)
    print("decoded:", back)
    assert back == order

    try:
        Order(coupon="SPRING", card=1).to_bytes()
    except ValueError as e:
        print("refused:", e)

    # The reference runtime, loaded with the very descriptors quillspar made.
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

    from quillspar import file_descriptors, full_name

    pool = descriptor_pool.DescriptorPool()
    for raw in file_descriptors(Order):
        pool.Add(descriptor_pb2.FileDescriptorProto.FromString(raw))
    RefOrder = message_factory.GetMessageClass(pool.FindMessageTypeByName(full_name(Order)))

    ref = RefOrder.FromString(data)
    print("reference runtime reads our bytes:", ref.customer, ref.WhichOneof("payment"), ref.card,
          [i.sku for i in ref.items], dict(ref.notes))
    ref.status = Status.SHIPPED
    ref.items.add(sku="stamp", quantity=10)
    theirs = Order.from_bytes(ref.SerializeToString())
    print("we read the reference runtime's bytes:", repr(theirs.status), [i.sku for i in theirs.items])
    assert theirs.status is Status.SHIPPED and theirs.items[-1] == Item(sku="stamp", quantity=10)
    print("ok:", quillspar.decode(Order, quillspar.encode(theirs)) == theirs)


if __name__ == "__main__":
    main()
    import generate_demo  # the same from a .proto file

    generate_demo.main()
