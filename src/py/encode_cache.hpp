// What the encoder remembers on each Descriptor between calls, so that an
// instance of an unchanged class is encoded without attribute lookups: the
// tag and manner of writing of each field, where each field's slot lies in
// instances of the class last encoded, the Descriptor of the class last met
// in each message field, and the size of the last encoding (to size output
// buffers and length prefixes).
//
// Filled and read by the encoder (encode/attr.hpp, encode/encoder.cpp) only.
// The entries about classes are keyed by a type and its version tag: the interpreter clears
// the tag of a type, and of its subclasses, whenever one of them is changed,
// and never hands the same tag to two types, so an entry whose key matches
// describes the type as it is now. Nothing here owns a reference.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillspar {

struct DescriptorObject;

// The slots of the fields of one class: per field (and one more for the
// unknown fields' attribute) the byte offset of an object slot whose member
// descriptor the generic attribute lookup would find and read, or 0 where
// the interpreter must be asked.
struct SlotLayout {
    PyTypeObject* type = nullptr;  // nullptr: empty
    unsigned int version = 0;      // the type's version tag, never 0 while `type` is set
    std::unique_ptr<Py_ssize_t[]> offsets;
};

// The Descriptor that `type.__quillspar__` gave, as long as neither the type
// nor its metatype (whose attribute lookup takes part) has changed.
struct NestedClassEntry {
    PyTypeObject* type = nullptr;  // nullptr: empty
    unsigned int version = 0;
    PyTypeObject* meta = nullptr;
    unsigned int meta_version = 0;
    DescriptorObject* descriptor = nullptr;  // owned by the type's attribute
};

// How one field is written, worked out from the schema once.
struct FieldPlan {
    std::uint64_t tag = 0;      // the tag's varint bytes, first byte lowest
    std::uint8_t tag_size = 0;  // their count
    std::uint8_t kind = 0;      // the FieldKind written (Enum for an enum field)
    bool direct = false;        // a singular or optional scalar or enum field
    bool implicit = false;      // singular: left out when it holds the default
    bool oneof_member = false;  // has a oneof index (which may name no oneof)
};

struct EncodeCache {
    // Per field index, made by the first encode and never changed.
    std::unique_ptr<FieldPlan[]> plan;
    SlotLayout slots;
    // Per field index, made with the plan.
    std::unique_ptr<NestedClassEntry[]> nested;
    // Byte size of the last encoding of a message with this descriptor.
    std::size_t last_size = 0;
};

}  // namespace quillspar
