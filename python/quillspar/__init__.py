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
"""

from . import _core
from ._message import Message, decode, encode, field, message, resolve
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
    "Message",
    "SchemaError",
    "bool_",
    "bytes_",
    "decode",
    "double",
    "encode",
    "field",
    "fixed32",
    "fixed64",
    "float32",
    "int32",
    "int64",
    "message",
    "resolve",
    "sfixed32",
    "sfixed64",
    "sint32",
    "sint64",
    "string",
    "uint32",
    "uint64",
]
