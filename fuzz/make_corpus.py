"""Writes the seed corpora of the libFuzzer targets (fuzz/corpus/<target>/).

    ./dev run python fuzz/make_corpus.py

descriptor: serialised DescriptorProtos of real message types (from protobuf's
own descriptor.proto) and of a hand-built type with every field kind, a map,
a oneof and a proto3 optional field.
wire: wire data produced by the reference runtime (the same descriptors, read
as messages) plus a few hand-written edge cases.
"""

import hashlib
import pathlib

from google.protobuf import descriptor_pb2

HERE = pathlib.Path(__file__).resolve().parent
FDP = descriptor_pb2.FieldDescriptorProto


def kitchen_sink() -> descriptor_pb2.DescriptorProto:
    msg = descriptor_pb2.DescriptorProto(name="Sink")
    for number, (name, type_) in enumerate(
        [
            ("d", FDP.TYPE_DOUBLE), ("f", FDP.TYPE_FLOAT), ("i64", FDP.TYPE_INT64),
            ("u64", FDP.TYPE_UINT64), ("i32", FDP.TYPE_INT32), ("f64", FDP.TYPE_FIXED64),
            ("f32", FDP.TYPE_FIXED32), ("b", FDP.TYPE_BOOL), ("s", FDP.TYPE_STRING),
            ("by", FDP.TYPE_BYTES), ("u32", FDP.TYPE_UINT32), ("sf32", FDP.TYPE_SFIXED32),
            ("sf64", FDP.TYPE_SFIXED64), ("s32", FDP.TYPE_SINT32), ("s64", FDP.TYPE_SINT64),
        ],
        start=1,
    ):
        msg.field.add(name=name, number=number, type=type_, label=FDP.LABEL_OPTIONAL)
    msg.field.add(name="color", number=20, type=FDP.TYPE_ENUM, type_name=".pkg.Color", label=FDP.LABEL_REPEATED)
    msg.field.add(name="child", number=21, type=FDP.TYPE_MESSAGE, type_name=".pkg.Sink", label=FDP.LABEL_OPTIONAL)
    msg.field.add(name="tags", number=22, type=FDP.TYPE_MESSAGE, type_name=".pkg.Sink.TagsEntry",
                  label=FDP.LABEL_REPEATED)
    msg.field.add(name="a", number=23, type=FDP.TYPE_INT32, oneof_index=0, label=FDP.LABEL_OPTIONAL)
    msg.field.add(name="b2", number=24, type=FDP.TYPE_STRING, oneof_index=0, label=FDP.LABEL_OPTIONAL)
    msg.field.add(name="opt", number=25, type=FDP.TYPE_INT32, oneof_index=1, proto3_optional=True,
                  label=FDP.LABEL_OPTIONAL)
    msg.oneof_decl.add(name="choice")
    msg.oneof_decl.add(name="_opt")
    entry = msg.nested_type.add(name="TagsEntry")
    entry.field.add(name="key", number=1, type=FDP.TYPE_STRING, label=FDP.LABEL_OPTIONAL)
    entry.field.add(name="value", number=2, type=FDP.TYPE_MESSAGE, type_name=".pkg.Sink", label=FDP.LABEL_OPTIONAL)
    entry.options.map_entry = True
    return msg


def write(target: str, blobs: list[bytes]) -> None:
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for blob in blobs:
        (folder / hashlib.sha1(blob).hexdigest()[:16]).write_bytes(blob)
    print(f"{target}: {len(blobs)} files")


def main() -> None:
    file_proto = descriptor_pb2.FileDescriptorProto()
    descriptor_pb2.DESCRIPTOR.CopyToProto(file_proto)
    by_name = {m.name: m for m in file_proto.message_type}
    real = [by_name[n] for n in ("DescriptorProto", "FieldDescriptorProto", "FileOptions", "FieldOptions")]
    descriptors = [m.SerializeToString() for m in real] + [kitchen_sink().SerializeToString(), b""]
    write("descriptor", descriptors)

    wire = list(descriptors[:3])
    wire += [
        b"\x08\x96\x01",                                   # field 1 = 150
        b"\x22\x03\x01\x02\x03",                           # packed run
        b"\x09" + bytes(8) + b"\x15" + bytes(4),           # fixed64, fixed32
        b"\x08" + b"\xff" * 9 + b"\x01",                   # ten-byte varint
        b"\x0a\x05\x0a\x01\x61\x10\x00",                   # a map entry
        "é€𐍈".encode(),                                   # multi-byte UTF-8
        b"\x0b\x0c",                                       # group markers
    ]
    write("wire", wire)


if __name__ == "__main__":
    main()
