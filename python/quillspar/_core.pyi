"""The native core module, imported by the `quillspar` Python package as
`quillspar._core`."""

from typing import Final, final

__all__: Final[list[str]]

@final
class Descriptor:
    """One compiled message type. Made only by `compile_descriptor`."""

    @property
    def name(self) -> str: ...
    @property
    def is_linked(self) -> bool: ...
    def ref_fields(self) -> list[tuple[int, str]]:
        """`(field_number, short_type_name)` for every field that references
        another class (enum, message, or a map with an enum/message value)."""
    def link(self, mapping: dict[int, object]) -> None:
        """Store resolved `{field_number: class}` references and mark linked."""
    def encode(self, instance: object) -> bytes:
        """Encode a message instance to protobuf wire bytes."""
    def decode[T](self, cls: type[T], data: bytes) -> T:
        """Decode wire bytes into a new instance of `cls`."""

def compile_descriptor(data: bytes) -> Descriptor:
    """Parse `DescriptorProto` bytes into a reusable `Descriptor`."""
