"""Benchmark workloads: the same data as quillspar messages, reference-runtime
messages and msgspec structs, with the operations that the runner times and
the checks that every peer does the same work.

Every workload starts from one canonical value: nested tuples in field order
(lists for repeated fields, dicts for maps, None for an absent optional
value). From it we build

- the quillspar instance (`floor`: plain construction, the floor for decoding),
- the reference-runtime message (`pb_build`),
- the msgspec struct (`ms_build`),

and each peer's decoded result is read back into the canonical form
(`canonical` for quillspar and msgspec, `pb_read` for the reference runtime).
`pb_read` is also what a decode of the reference runtime is timed with: its
messages are lazy views, so a fair decode reads every field into Python
values, the way quillspar and msgspec hand them out.
"""

import enum
import random
from collections.abc import Callable
from dataclasses import dataclass, field as dc_field
from typing import Any

import msgspec

import quillspar
from quillspar import field, file_descriptors, fixed32, fixed64, full_name, int32, int64, message, sint64, uint32
from quillspar._names import _message_info


def _info(cls: type) -> Any:
    info = _message_info(cls)
    assert info is not None, cls
    return info


# ---------------------------------------------------------------- schemas


class Status(enum.IntEnum):
    UNKNOWN = 0
    PENDING = 1
    SHIPPED = 2
    DELIVERED = 3


@message
class Small:
    id: int64
    name: str
    score: float


@message
class Customer:
    id: int64
    name: str
    email: str


@message
class LineItem:
    sku: str
    quantity: int32
    tags: list[str]


@message
class Order:
    id: int64
    name: str
    status: Status
    paid: bool
    total: float
    token: bytes
    customer: Customer | None
    items: list[LineItem]
    scores: list[int32]
    attrs: dict[str, int32]
    coupon: str | None
    delta: sint64
    checksum: fixed32


@message
class Catalog:
    name: str
    items: list[LineItem]


@message
class Int32s:
    values: list[int32]


@message
class Doubles:
    values: list[float]


@message
class Document:
    title: str
    body: str
    tags: list[str]
    names: list[str]
    headers: dict[str, str]


# Telemetry shaped like OpenTelemetry's trace export (OTLP): spans with
# key/value attributes whose values are a oneof of seven kinds.
class SpanKind(enum.IntEnum):
    SPAN_KIND_UNSPECIFIED = 0
    SPAN_KIND_INTERNAL = 1
    SPAN_KIND_SERVER = 2
    SPAN_KIND_CLIENT = 3


class StatusCode(enum.IntEnum):
    STATUS_CODE_UNSET = 0
    STATUS_CODE_OK = 1
    STATUS_CODE_ERROR = 2


@message
class AnyValue:
    string_value: str | None = field(oneof="value")
    bool_value: bool | None = field(oneof="value")
    int_value: int64 | None = field(oneof="value")
    double_value: float | None = field(oneof="value")
    array_value: ArrayValue | None = field(oneof="value")
    kvlist_value: KeyValueList | None = field(oneof="value")
    bytes_value: bytes | None = field(oneof="value")


@message
class ArrayValue:
    values: list[AnyValue]


@message
class KeyValueList:
    values: list[KeyValue]


@message
class KeyValue:
    key: str
    value: AnyValue | None


@message
class SpanEvent:
    time_unix_nano: fixed64
    name: str
    attributes: list[KeyValue]
    dropped_attributes_count: uint32


@message
class SpanLink:
    trace_id: bytes
    span_id: bytes
    trace_state: str
    attributes: list[KeyValue]
    dropped_attributes_count: uint32
    flags: fixed32


@message
class SpanStatus:
    message: str = field(2)
    code: StatusCode


@message
class Span:
    trace_id: bytes
    span_id: bytes
    trace_state: str
    parent_span_id: bytes
    name: str
    kind: SpanKind
    start_time_unix_nano: fixed64
    end_time_unix_nano: fixed64
    attributes: list[KeyValue]
    dropped_attributes_count: uint32
    events: list[SpanEvent]
    dropped_events_count: uint32
    links: list[SpanLink]
    dropped_links_count: uint32
    status: SpanStatus | None
    flags: fixed32


@message
class TraceRequest:
    resource: list[KeyValue]
    spans: list[Span]


QS_CLASSES = [Small, Customer, LineItem, Order, Catalog, Int32s, Doubles, Document, AnyValue, ArrayValue,
              KeyValueList, KeyValue, SpanEvent, SpanLink, SpanStatus, Span, TraceRequest]


# msgspec structs of the same shapes. array_like: like protobuf, no field
# names on the wire, so this is msgspec at its fastest.
class MSmall(msgspec.Struct, array_like=True):
    id: int
    name: str
    score: float


class MCustomer(msgspec.Struct, array_like=True):
    id: int
    name: str
    email: str


class MLineItem(msgspec.Struct, array_like=True):
    sku: str
    quantity: int
    tags: list[str]


class MOrder(msgspec.Struct, array_like=True):
    id: int
    name: str
    status: Status
    paid: bool
    total: float
    token: bytes
    customer: MCustomer | None
    items: list[MLineItem]
    scores: list[int]
    attrs: dict[str, int]
    coupon: str | None
    delta: int
    checksum: int


class MCatalog(msgspec.Struct, array_like=True):
    name: str
    items: list[MLineItem]


class MInt32s(msgspec.Struct, array_like=True):
    values: list[int]


class MDoubles(msgspec.Struct, array_like=True):
    values: list[float]


class MDocument(msgspec.Struct, array_like=True):
    title: str
    body: str
    tags: list[str]
    names: list[str]
    headers: dict[str, str]


def _ms_structs(classes: list[type]) -> dict[type, type]:
    """msgspec structs of the same shapes as quillspar classes (array_like)."""
    from quillspar._schema import MAP, REPEATED

    out: dict[type, type] = {}
    for cls in classes:
        annotations: list[tuple[str, Any]] = []
        for f in _info(cls).fields:
            item: Any = f.value
            if isinstance(item, type) and _message_info(item) is not None:
                item = f"M{item.__name__}"
            elif not (isinstance(item, type) and issubclass(item, enum.IntEnum)):
                item = item.python_type
            if f.shape == REPEATED:
                item = list[item]
            elif f.shape == MAP:
                item = dict[f.key.python_type, item]
            elif f.oneof is not None or isinstance(item, str) or _message_info(f.value) is not None:
                item = item | None if not isinstance(item, str) else f"{item} | None"
            annotations.append((f.name, item))
        out[cls] = msgspec.defstruct(f"M{cls.__name__}", annotations, array_like=True, module=__name__)
        globals()[f"M{cls.__name__}"] = out[cls]
    return out


MS_TELEMETRY = _ms_structs([AnyValue, ArrayValue, KeyValueList, KeyValue, SpanEvent, SpanLink, SpanStatus, Span,
                            TraceRequest])


# ---------------------------------------------------------------- canonical values

WORDS = ["red", "blue", "xl", "sale", "new", "eco", "gift", "bulk", "s", "m"]


def _items(rng: random.Random, n: int) -> list[tuple[str, int, list[str]]]:
    return [
        (f"SKU-{rng.randrange(100000):05d}", rng.randrange(1, 500), rng.sample(WORDS, rng.randrange(1, 3)))
        for _ in range(n)
    ]


def small_value() -> tuple:
    return (123456789, "sensor-7", 21.5)


def medium_value() -> tuple:
    rng = random.Random(7)
    return (
        9_007_199_254_740_993,
        "order-2024-000417",
        Status.SHIPPED,
        True,
        1234.56,
        bytes(rng.randrange(256) for _ in range(16)),
        (42_000_017, "Ada Lovelace", "ada@example.org"),
        _items(rng, 10),
        [rng.randrange(-50, 3000) for _ in range(20)],
        {"priority": 3, "weight": 1250, "region": 44},
        "WELCOME10",
        -123_456_789,
        0xDEADBEEF,
    )


def large_value() -> tuple:
    return ("spring catalogue", _items(random.Random(11), 1000))


def int32s_value() -> tuple:
    rng = random.Random(3)
    return ([rng.randrange(-1000, 1 << 20) if rng.random() < 0.9 else rng.randrange(-1 << 31, 1 << 31)
             for _ in range(100_000)],)


def doubles_value() -> tuple:
    rng = random.Random(5)
    return ([rng.uniform(-1e6, 1e6) for _ in range(100_000)],)


def document_value() -> tuple:
    rng = random.Random(13)
    lorem = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor incididunt ut labore "
             "et dolore magna aliqua").split()
    body = " ".join(rng.choice(lorem) for _ in range(700))
    names = ["Zoë", "José", "Łukasz", "Søren", "Ærø", "Dvořák", "Müller", "Ñandú", "日本語", "Ελληνικά",
             "Straße", "Café", "naïve", "façade", "Jürgen", "Åsa", "Ðorđe", "İstanbul", "Русский", "한국어"]
    return (
        "Notes on the analytical engine, part II",
        body,
        [rng.choice(lorem) + str(i) for i in range(200)],
        names,
        {f"x-header-{i}": "".join(rng.choice("abcdef0123456789") for _ in range(24)) for i in range(10)},
    )


def _any_value(rng: random.Random, kind: int, depth: int = 0) -> tuple:
    v: list[Any] = [None] * 7
    if kind == 0:
        v[0] = rng.choice(["GET", "POST", "/api/v1/orders", "eu-west-1", "checkout"])
    elif kind == 1:
        v[1] = rng.random() < 0.5
    elif kind == 2:
        v[2] = rng.randrange(-1 << 40, 1 << 40)
    elif kind == 3:
        v[3] = rng.uniform(0, 1000)
    elif kind == 4:
        v[4] = ([_any_value(rng, rng.choice((0, 2))) for _ in range(3)],)
    elif kind == 5:
        v[5] = ([(f"k{i}", _any_value(rng, i % 4)) for i in range(2)],)
    else:
        v[6] = bytes(rng.randrange(256) for _ in range(8))
    return tuple(v)


def _attributes(rng: random.Random, n: int) -> list[tuple]:
    keys = ["http.method", "http.route", "http.status_code", "db.rows", "net.peer", "tags", "baggage", "hash"]
    return [(keys[i % len(keys)], _any_value(rng, (i + rng.randrange(7)) % 7)) for i in range(n)]


def telemetry_value() -> tuple:
    rng = random.Random(17)
    start = 1_700_000_000_000_000_000
    spans = []
    for i in range(200):
        t0 = start + i * 1_000_000
        events = [(t0 + 10 * j, f"event-{j}", _attributes(rng, 2), 0) for j in range(rng.randrange(1, 3))]
        links = [(rng.randbytes(16), rng.randbytes(8), "", _attributes(rng, 1), 0, 1)
                 for _ in range(rng.randrange(2))]
        spans.append((
            rng.randbytes(16), rng.randbytes(8), "", rng.randbytes(8), f"GET /api/v1/orders/{i}",
            SpanKind(1 + i % 3), t0, t0 + rng.randrange(1, 10_000_000), _attributes(rng, 8), 0, events, 0,
            links, 0, ("", StatusCode(i % 3)), 1,
        ))
    resource = [("service.name", _any_value(rng, 0)), ("host.id", _any_value(rng, 6))]
    return (resource, spans)


def build_generic(cls: type, v: Any) -> Any:
    """A quillspar instance of `cls` from its canonical value."""
    from quillspar._schema import MAP, REPEATED

    kw = {}
    for f, x in zip(_info(cls).fields, v):
        sub = f.value if isinstance(f.value, type) and _message_info(f.value) is not None else None
        if sub is None or x is None:
            kw[f.name] = list(x) if f.shape == REPEATED else dict(x) if f.shape == MAP else x
        elif f.shape == REPEATED:
            kw[f.name] = [build_generic(sub, y) for y in x]
        else:
            kw[f.name] = build_generic(sub, x)
    return cls(**kw)


def ms_generic(cls: type, v: Any) -> Any:
    from quillspar._schema import REPEATED

    args = []
    for f, x in zip(_info(cls).fields, v):
        sub = f.value if isinstance(f.value, type) and _message_info(f.value) is not None else None
        if sub is None or x is None:
            args.append(list(x) if f.shape == REPEATED else x)
        elif f.shape == REPEATED:
            args.append([ms_generic(sub, y) for y in x])
        else:
            args.append(ms_generic(sub, x))
    return MS_TELEMETRY[cls](*args)


def pb_generic(P: Any, cls: type, v: Any) -> Any:
    from quillspar._schema import REPEATED

    m = getattr(P, cls.__name__)()
    for f, x in zip(_info(cls).fields, v):
        sub = f.value if isinstance(f.value, type) and _message_info(f.value) is not None else None
        if x is None:
            continue
        if sub is None:
            if f.shape == REPEATED:
                getattr(m, f.name).extend(x)
            else:
                setattr(m, f.name, x)
        elif f.shape == REPEATED:
            getattr(m, f.name).extend(pb_generic(P, sub, y) for y in x)
        else:
            getattr(m, f.name).CopyFrom(pb_generic(P, sub, x))
    return m


def read_generic(m: Any, cls: type) -> tuple:
    from quillspar._schema import OPTIONAL, REPEATED

    out: list[Any] = []
    for f in _info(cls).fields:
        sub = f.value if isinstance(f.value, type) and _message_info(f.value) is not None else None
        x = getattr(m, f.name)
        if f.shape == OPTIONAL and not m.HasField(f.name):
            out.append(None)
        elif sub is None:
            out.append(list(x) if f.shape == REPEATED else x)
        elif f.shape == REPEATED:
            out.append([read_generic(y, sub) for y in x])
        else:
            out.append(read_generic(x, sub))
    return tuple(out)


# ---------------------------------------------------------------- floors: plain construction


def floor_small(v: tuple) -> Small:
    return Small(id=v[0], name=v[1], score=v[2])


def floor_order(v: tuple) -> Order:
    (id_, name, status, paid, total, token, cust, items, scores, attrs, coupon, delta, checksum) = v
    return Order(
        id=id_,
        name=name,
        status=status,
        paid=paid,
        total=total,
        token=token,
        customer=None if cust is None else Customer(id=cust[0], name=cust[1], email=cust[2]),
        items=[LineItem(sku=s, quantity=q, tags=list(t)) for s, q, t in items],
        scores=list(scores),
        attrs=dict(attrs),
        coupon=coupon,
        delta=delta,
        checksum=checksum,
    )


def floor_catalog(v: tuple) -> Catalog:
    return Catalog(name=v[0], items=[LineItem(sku=s, quantity=q, tags=list(t)) for s, q, t in v[1]])


def floor_int32s(v: tuple) -> Int32s:
    return Int32s(values=list(v[0]))


def floor_doubles(v: tuple) -> Doubles:
    return Doubles(values=list(v[0]))


def floor_document(v: tuple) -> Document:
    return Document(title=v[0], body=v[1], tags=list(v[2]), names=list(v[3]), headers=dict(v[4]))


# ---------------------------------------------------------------- msgspec builders


def ms_small(v: tuple) -> MSmall:
    return MSmall(*v)


def ms_order(v: tuple) -> MOrder:
    (id_, name, status, paid, total, token, cust, items, scores, attrs, coupon, delta, checksum) = v
    return MOrder(
        id_, name, status, paid, total, token,
        None if cust is None else MCustomer(*cust),
        [MLineItem(s, q, list(t)) for s, q, t in items],
        list(scores), dict(attrs), coupon, delta, checksum,
    )


def ms_catalog(v: tuple) -> MCatalog:
    return MCatalog(v[0], [MLineItem(s, q, list(t)) for s, q, t in v[1]])


def ms_document(v: tuple) -> MDocument:
    return MDocument(v[0], v[1], list(v[2]), list(v[3]), dict(v[4]))


# ---------------------------------------------------------------- reference runtime: build and read


def pb_small(P: Any, v: tuple) -> Any:
    return P.Small(id=v[0], name=v[1], score=v[2])


def pb_order(P: Any, v: tuple) -> Any:
    (id_, name, status, paid, total, token, cust, items, scores, attrs, coupon, delta, checksum) = v
    LineItem_ = P.LineItem
    m = P.Order(
        id=id_,
        name=name,
        status=status,
        paid=paid,
        total=total,
        token=token,
        items=[LineItem_(sku=s, quantity=q, tags=t) for s, q, t in items],
        scores=scores,
        attrs=attrs,
        delta=delta,
        checksum=checksum,
    )
    if cust is not None:
        m.customer.id, m.customer.name, m.customer.email = cust
    if coupon is not None:
        m.coupon = coupon
    return m


def pb_catalog(P: Any, v: tuple) -> Any:
    LineItem_ = P.LineItem
    return P.Catalog(name=v[0], items=[LineItem_(sku=s, quantity=q, tags=t) for s, q, t in v[1]])


def pb_int32s(P: Any, v: tuple) -> Any:
    return P.Int32s(values=v[0])


def pb_doubles(P: Any, v: tuple) -> Any:
    return P.Doubles(values=v[0])


def pb_document(P: Any, v: tuple) -> Any:
    return P.Document(title=v[0], body=v[1], tags=v[2], names=v[3], headers=v[4])


def read_small(m: Any) -> tuple:
    return (m.id, m.name, m.score)


def read_order(m: Any) -> tuple:
    c = m.customer if m.HasField("customer") else None
    return (
        m.id,
        m.name,
        m.status,
        m.paid,
        m.total,
        m.token,
        None if c is None else (c.id, c.name, c.email),
        [(i.sku, i.quantity, list(i.tags)) for i in m.items],
        list(m.scores),
        dict(m.attrs),
        m.coupon if m.HasField("coupon") else None,
        m.delta,
        m.checksum,
    )


def read_catalog(m: Any) -> tuple:
    return (m.name, [(i.sku, i.quantity, list(i.tags)) for i in m.items])


def read_values(m: Any) -> tuple:
    return (list(m.values),)


def read_document(m: Any) -> tuple:
    return (m.title, m.body, list(m.tags), list(m.names), dict(m.headers))


# ---------------------------------------------------------------- workloads


@dataclass
class Workload:
    name: str
    title: str
    qs_cls: type
    value: Callable[[], tuple]
    floor: Callable[[tuple], Any]
    ms_cls: type
    ms_build: Callable[[tuple], Any]
    pb_build: Callable[[Any, tuple], Any]
    pb_read: Callable[[Any], tuple]
    json: bool = False  # also time to_json/from_json against the reference runtime's json_format
    # filled by prepare()
    canon: tuple = dc_field(default=(), repr=False)


WORKLOADS = [
    Workload("small", "small (3 scalars)", Small, small_value, floor_small, MSmall, ms_small, pb_small, read_small),
    Workload("medium", "medium order (~400 B)", Order, medium_value, floor_order, MOrder, ms_order, pb_order,
             read_order, json=True),
    Workload("large", "large (1,000 nested)", Catalog, large_value, floor_catalog, MCatalog, ms_catalog,
             pb_catalog, read_catalog),
    Workload("int32s", "packed 100k int32", Int32s, int32s_value, floor_int32s, MInt32s,
             lambda v: MInt32s(list(v[0])), pb_int32s, read_values),
    Workload("doubles", "packed 100k double", Doubles, doubles_value, floor_doubles, MDoubles,
             lambda v: MDoubles(list(v[0])), pb_doubles, read_values),
    Workload("strings", "string-heavy", Document, document_value, floor_document, MDocument, ms_document,
             pb_document, read_document),
    Workload("telemetry", "telemetry (200 spans)", TraceRequest, telemetry_value,
             lambda v: build_generic(TraceRequest, v), MS_TELEMETRY[TraceRequest],
             lambda v: ms_generic(TraceRequest, v), lambda P, v: pb_generic(P, TraceRequest, v),
             lambda m: read_generic(m, TraceRequest), json=True),
]

BY_NAME = {w.name: w for w in WORKLOADS}


def canonical(obj: Any) -> Any:
    """A quillspar message or msgspec struct (or a value inside one) in the canonical form."""
    if isinstance(obj, tuple):
        return tuple(canonical(x) for x in obj)
    if isinstance(obj, msgspec.Struct):
        return tuple(canonical(getattr(obj, n)) for n in obj.__struct_fields__)
    info = _message_info(type(obj))
    if info is not None:
        return tuple(canonical(getattr(obj, f.name)) for f in info.fields)
    if isinstance(obj, list):
        return [canonical(x) for x in obj]
    if isinstance(obj, dict):
        return {k: canonical(v) for k, v in obj.items()}
    return obj


def same(a: Any, b: Any) -> bool:
    """Equality that also compares the types of leaves (an int is not a float,
    bytes are not str); IntEnum members equal their ints."""
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return type(b) is dict and a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, bool) or isinstance(b, bool):
        return isinstance(a, bool) and isinstance(b, bool) and a == b
    if isinstance(a, int) and isinstance(b, int):
        return a == b
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------- the reference runtime


class ReferenceClasses:
    """Reference-runtime message classes loaded from the very descriptors that
    quillspar generates for its classes."""

    def __init__(self) -> None:
        from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

        pool = descriptor_pool.DescriptorPool()
        for raw in file_descriptors(*QS_CLASSES):
            pool.Add(descriptor_pb2.FileDescriptorProto.FromString(raw))
        for cls in QS_CLASSES:
            full = full_name(cls)
            setattr(self, cls.__name__, message_factory.GetMessageClass(pool.FindMessageTypeByName(full)))


def backend() -> str:
    from google.protobuf.internal import api_implementation

    return api_implementation.Type()


class CheckFailed(AssertionError):
    pass


def _expect(ok: bool, what: str) -> None:
    if not ok:
        raise CheckFailed(what)


def prepare(w: Workload) -> None:
    if not w.canon:
        w.canon = w.value()


def check_quillspar(w: Workload) -> bytes:
    """quillspar's encode/decode round trip and the floor agree with the canonical value."""
    prepare(w)
    obj = w.floor(w.canon)
    _expect(same(w.canon, canonical(obj)), f"{w.name}: the floor does not build the canonical value")
    data = obj.to_bytes()
    back = w.qs_cls.from_bytes(data)
    _expect(back == obj, f"{w.name}: quillspar round trip differs")
    _expect(same(canonical(back), canonical(w.floor(w.canon))),
            f"{w.name}: quillspar decode differs from the floor")
    return data


def check_msgspec(w: Workload) -> None:
    prepare(w)
    enc = msgspec.msgpack.Encoder()
    dec = msgspec.msgpack.Decoder(type=w.ms_cls)
    value = w.ms_build(w.canon)
    _expect(same(w.canon, canonical(value)), f"{w.name}: the msgspec struct differs from the canonical value")
    back = dec.decode(enc.encode(value))
    _expect(same(w.canon, canonical(back)), f"{w.name}: msgspec round trip differs")


def check_reference(w: Workload, P: ReferenceClasses) -> None:
    """Bytes travel both ways between quillspar and the reference runtime and
    decode to the canonical value on each side."""
    prepare(w)
    qs_bytes = check_quillspar(w)
    cls = getattr(P, w.qs_cls.__name__)
    msg = w.pb_build(P, w.canon)
    _expect(same(w.canon, w.pb_read(msg)), f"{w.name}: the reference message differs from the canonical value")
    pb_bytes = msg.SerializeToString()
    _expect(len(pb_bytes) == len(qs_bytes), f"{w.name}: {len(pb_bytes)} reference bytes, {len(qs_bytes)} ours")
    _expect(same(w.canon, w.pb_read(cls.FromString(qs_bytes))),
            f"{w.name}: the reference runtime reads quillspar's bytes differently")
    _expect(same(w.canon, canonical(w.qs_cls.from_bytes(pb_bytes))),
            f"{w.name}: quillspar reads the reference runtime's bytes differently")
    if not any(isinstance(x, dict) for x in w.canon):
        # Without maps both sides write the fields in the same order.
        _expect(pb_bytes == qs_bytes, f"{w.name}: the bytes differ from the reference runtime's")


def json_texts(w: Workload, P: ReferenceClasses) -> tuple[str, str]:
    """quillspar's and the reference runtime's compact JSON of the workload's value."""
    from google.protobuf import json_format

    prepare(w)
    return w.floor(w.canon).to_json(), json_format.MessageToJson(w.pb_build(P, w.canon), indent=None)


def check_json(w: Workload, P: ReferenceClasses) -> None:
    """Both runtimes write the same JSON values and read each other's text back
    to the canonical value."""
    import json

    from google.protobuf import json_format

    ours, theirs = json_texts(w, P)
    _expect(json.loads(ours) == json.loads(theirs), f"{w.name}: to_json differs from json_format.MessageToJson")
    cls = getattr(P, w.qs_cls.__name__)
    for text in (ours, theirs):
        _expect(same(w.canon, canonical(w.qs_cls.from_json(text))), f"{w.name}: from_json reads a different value")
        _expect(same(w.canon, w.pb_read(json_format.Parse(text, cls()))),
                f"{w.name}: json_format.Parse reads a different value")


def check_all(w: Workload, P: ReferenceClasses | None) -> None:
    check_quillspar(w)
    check_msgspec(w)
    if P is not None:
        check_reference(w, P)
        if w.json:
            check_json(w, P)


def wire_size(w: Workload) -> int:
    prepare(w)
    return len(w.floor(w.canon).to_bytes())


# ---------------------------------------------------------------- timed operations
#
# Each operation is a statement for timeit and the namespace it runs in.

Op = tuple[str, dict[str, Any]]


def quillspar_ops(w: Workload) -> dict[str, Op]:
    prepare(w)
    obj = w.floor(w.canon)
    data = obj.to_bytes()
    return {
        "decode/quillspar": ("cls.from_bytes(data)", {"cls": w.qs_cls, "data": data}),
        "decode/floor": ("floor(canon)", {"floor": w.floor, "canon": w.canon}),
        "encode/quillspar": ("obj.to_bytes()", {"obj": obj}),
    }


def msgspec_ops(w: Workload) -> dict[str, Op]:
    prepare(w)
    value = w.ms_build(w.canon)
    enc = msgspec.msgpack.Encoder()
    dec = msgspec.msgpack.Decoder(type=w.ms_cls)
    data = enc.encode(value)
    return {
        "decode/msgspec": ("decode(data)", {"decode": dec.decode, "data": data}),
        "encode/msgspec": ("encode(value)", {"encode": enc.encode, "value": value}),
    }


def reference_ops(w: Workload, P: ReferenceClasses, label: str) -> dict[str, Op]:
    prepare(w)
    cls = getattr(P, w.qs_cls.__name__)
    msg = w.pb_build(P, w.canon)
    data = msg.SerializeToString()
    ns = {"cls": cls, "data": data, "read": w.pb_read, "build": w.pb_build, "P": P, "canon": w.canon, "msg": msg}
    ops = {
        f"decode/{label}": ("read(cls.FromString(data))", ns),
        f"encode/{label} build+serialize": ("build(P, canon).SerializeToString()", ns),
        f"encode/{label} serialize": ("msg.SerializeToString()", ns),
    }
    if w.json:
        from google.protobuf import json_format

        ns["text"] = json_texts(w, P)[0]
        ns["MessageToJson"], ns["Parse"] = json_format.MessageToJson, json_format.Parse
        ops[f"to_json/{label}"] = ("MessageToJson(msg, indent=None)", ns)
        ops[f"from_json/{label}"] = ("Parse(text, cls())", ns)
    return ops


def quillspar_json_ops(w: Workload) -> dict[str, Op]:
    if not w.json:
        return {}
    prepare(w)
    obj = w.floor(w.canon)
    return {
        "to_json/quillspar": ("obj.to_json()", {"obj": obj}),
        "from_json/quillspar": ("cls.from_json(text)", {"cls": w.qs_cls, "text": obj.to_json()}),
    }


__all__ = ["WORKLOADS", "BY_NAME", "Workload", "ReferenceClasses", "check_all", "quillspar"]
