"""Helpers shared by the test files: DescriptorProto bytes built with the
reference runtime, and raw wire pieces for input it refuses to produce."""

from google.protobuf import descriptor_pb2

FDP = descriptor_pb2.FieldDescriptorProto
OPTIONAL, REQUIRED, REPEATED = FDP.LABEL_OPTIONAL, FDP.LABEL_REQUIRED, FDP.LABEL_REPEATED
# protobuf type numbers, by their descriptor.proto names without the TYPE_ prefix
T = {n[5:]: v for n, v in FDP.Type.items()}


def field(name, number, type=None, label=OPTIONAL, type_name=None, oneof_index=None, proto3_optional=None):
    """A FieldDescriptorProto; `type` is a number or a name such as "INT32"."""
    f = FDP(name=name, number=number, label=label)
    if type is not None:
        f.type = T[type] if isinstance(type, str) else type
    if type_name is not None:
        f.type_name = type_name
    if oneof_index is not None:
        f.oneof_index = oneof_index
    if proto3_optional is not None:
        f.proto3_optional = proto3_optional
    return f


def map_entry(name, key="STRING", value="INT32", value_type_name=None, map_entry=True):
    """The nested `XxxEntry` type that protoc emits for a map field."""
    m = descriptor_pb2.DescriptorProto(name=name)
    m.field.append(field("key", 1, key))
    m.field.append(field("value", 2, value, type_name=value_type_name))
    if map_entry is not None:
        m.options.map_entry = map_entry
    return m


def message(name="M", fields=(), nested=(), oneofs=()):
    m = descriptor_pb2.DescriptorProto(name=name)
    m.field.extend(fields)
    m.nested_type.extend(nested)
    m.oneof_decl.extend(descriptor_pb2.OneofDescriptorProto(name=o) for o in oneofs)
    return m


def message_proto(name="M", fields=(), nested=(), oneofs=()):
    """Serialised DescriptorProto bytes."""
    return message(name, fields, nested, oneofs).SerializeToString()


# ---- raw wire pieces

VARINT, I64, LEN, I32 = 0, 1, 2, 5


def varint(n):
    n &= (1 << 64) - 1
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def tag(number, wire_type):
    return varint(number << 3 | wire_type)


def ld(number, body):
    """A length-delimited record: tag, length, body."""
    return tag(number, LEN) + varint(len(body)) + body


def vf(number, value):
    """A varint record."""
    return tag(number, VARINT) + varint(value)
