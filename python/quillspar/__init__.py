"""Fast protocol buffers for Python.

Message classes are annotated classes with the `message` decorator; a native
core encodes and decodes them:

    import quillspar
    from quillspar import message, field, int32, uint64

    @message
    class Reading:
        sensor: str
        value: int32
        at: uint64
        tags: list[str]

    data = Reading(sensor="t1", value=-4).to_bytes()
    assert Reading.from_bytes(data) == quillspar.decode(Reading, data)

Fields are written in field-number order and decoded in any order, as
protobuf defines. Unknown fields are kept by default: a message decoded from
data with fields its class does not know gives them back, byte for byte, when
it is encoded again (`unknown_fields(obj)` shows them; `@message(unknown_fields=False)`
drops them). The core learns this from the descriptor: a bool extension of
`google.protobuf.MessageOptions` numbered 50555 (from the range protobuf
keeps for an organisation's own use).

Protobuf names: a module global `__proto_package__ = "acme.v1"` gives the
package of the module's message classes and enums, a class attribute
`__proto_name__` a class's own name; classes defined inside a message class
are nested in it (`acme.v1.Order.Item`). `full_name(cls)` gives the name,
`find_class(name)` the class, `file_descriptors(*classes)` the
`FileDescriptorProto`s that another runtime can load.

JSON: `to_json(obj)`/`from_json(cls, text)` and `to_dict`/`from_dict` follow
protobuf's JSON mapping (well-known types included); malformed input raises
`JsonError`, naming where. `which_oneof(obj, name)` tells which member of a
oneof is set; message classes support `copy.replace`.
"""

from . import _core
from ._api import (
    Message,
    decode,
    encode,
    field,
    file_descriptors,
    find_class,
    full_name,
    message,
    resolve,
    unknown_fields,
)
from ._json import JsonError, from_dict, from_json, to_dict, to_json
from ._methods import which_oneof
from ._schema import SchemaError
from ._types import (
    bool_,
    bytes_,
    double,
    fixed32,
    fixed64,
    float32,
    int32,
    int64,
    sfixed32,
    sfixed64,
    sint32,
    sint64,
    string,
    uint32,
    uint64,
)

__all__ = [
    "JsonError",
    "Message",
    "SchemaError",
    "bool_",
    "bytes_",
    "decode",
    "double",
    "encode",
    "field",
    "file_descriptors",
    "find_class",
    "fixed32",
    "fixed64",
    "float32",
    "from_dict",
    "from_json",
    "full_name",
    "int32",
    "int64",
    "message",
    "resolve",
    "sfixed32",
    "sfixed64",
    "sint32",
    "sint64",
    "string",
    "to_dict",
    "to_json",
    "uint32",
    "uint64",
    "unknown_fields",
    "which_oneof",
]
