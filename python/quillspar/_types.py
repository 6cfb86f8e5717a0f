"""Scalar type markers.

Each protocol-buffers scalar type has an alias here that a type checker reads as
the plain Python type (`int`, `float`, `bool`, `str` or `bytes`) and that the
`message` decorator reads as the exact wire type:

    @message
    class Sample:
        count: uint32
        offset: sint64
        ratio: float32

Plain annotations pick a sensible default: `int` is `int64`, `float` is
`double`, and `bool`, `str` and `bytes` are what they say.
"""

from typing import Annotated, Final, TypeAlias

__all__ = [
    "Scalar",
    "double",
    "float32",
    "int32",
    "int64",
    "uint32",
    "uint64",
    "sint32",
    "sint64",
    "fixed32",
    "fixed64",
    "sfixed32",
    "sfixed64",
    "bool_",
    "string",
    "bytes_",
]


class Scalar:
    """One protocol-buffers scalar type, as carried in `Annotated` metadata.

    `name` is the type's name in a .proto file, `proto_type` its
    FieldDescriptorProto.Type number, `python_type` the Python type of its
    values and `default` its zero value; `map_key` says whether it may key a map.
    """

    __slots__ = ("name", "proto_type", "python_type", "default", "map_key")

    def __init__(self, name: str, proto_type: int, python_type: type, default: object, *, map_key: bool = True) -> None:
        self.name = name
        self.proto_type = proto_type
        self.python_type = python_type
        self.default = default
        self.map_key = map_key

    def __repr__(self) -> str:
        return f"quillspar.{self.name}"


DOUBLE: Final = Scalar("double", 1, float, 0.0, map_key=False)
FLOAT: Final = Scalar("float", 2, float, 0.0, map_key=False)
INT64: Final = Scalar("int64", 3, int, 0)
UINT64: Final = Scalar("uint64", 4, int, 0)
INT32: Final = Scalar("int32", 5, int, 0)
FIXED64: Final = Scalar("fixed64", 6, int, 0)
FIXED32: Final = Scalar("fixed32", 7, int, 0)
BOOL: Final = Scalar("bool", 8, bool, False)
STRING: Final = Scalar("string", 9, str, "")
BYTES: Final = Scalar("bytes", 12, bytes, b"", map_key=False)
UINT32: Final = Scalar("uint32", 13, int, 0)
SFIXED32: Final = Scalar("sfixed32", 15, int, 0)
SFIXED64: Final = Scalar("sfixed64", 16, int, 0)
SINT32: Final = Scalar("sint32", 17, int, 0)
SINT64: Final = Scalar("sint64", 18, int, 0)

#: The scalar type that a plain Python annotation stands for.
PLAIN: Final[dict[type, Scalar]] = {
    int: INT64,
    float: DOUBLE,
    bool: BOOL,
    str: STRING,
    bytes: BYTES,
}

double: TypeAlias = Annotated[float, DOUBLE]
float32: TypeAlias = Annotated[float, FLOAT]
int32: TypeAlias = Annotated[int, INT32]
int64: TypeAlias = Annotated[int, INT64]
uint32: TypeAlias = Annotated[int, UINT32]
uint64: TypeAlias = Annotated[int, UINT64]
sint32: TypeAlias = Annotated[int, SINT32]
sint64: TypeAlias = Annotated[int, SINT64]
fixed32: TypeAlias = Annotated[int, FIXED32]
fixed64: TypeAlias = Annotated[int, FIXED64]
sfixed32: TypeAlias = Annotated[int, SFIXED32]
sfixed64: TypeAlias = Annotated[int, SFIXED64]
bool_: TypeAlias = Annotated[bool, BOOL]
string: TypeAlias = Annotated[str, STRING]
bytes_: TypeAlias = Annotated[bytes, BYTES]
