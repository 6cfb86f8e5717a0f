"""Compile the descriptors of real message types and show what they refer to.

The message types are those of protobuf's own descriptor.proto, taken from the
reference runtime's descriptor_pb2 module.
"""

from google.protobuf import descriptor_pb2

from quillspar import _core


def main() -> None:
    names = ["FileDescriptorProto", "DescriptorProto", "FieldDescriptorProto", "EnumDescriptorProto", "FieldOptions"]
    file_proto = descriptor_pb2.FileDescriptorProto()
    descriptor_pb2.DESCRIPTOR.CopyToProto(file_proto)
    by_name = {m.name: m for m in file_proto.message_type}
    for name in names:
        desc = _core.compile_descriptor(by_name[name].SerializeToString())
        refs = ", ".join(f"{number}: {type_name}" for number, type_name in desc.ref_fields())
        print(f"{desc.name:<22} {len(by_name[name].field):>3} fields; refers to {refs or 'nothing'}")


if __name__ == "__main__":
    main()
