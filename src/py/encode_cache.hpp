// What the encoder remembers on each Descriptor between calls, so that an
// instance of an unchanged class is encoded without attribute lookups: where
// each field's slot lies in instances of the class last encoded, the
// Descriptor of the class last met in each message field, and the size of the
// last encoding (to size output buffers and length prefixes).
//
// Filled and read by the encoder (encode/attr.hpp, encode/encoder.cpp) only.
// Every entry is keyed by a type and its version tag: the interpreter clears
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

struct EncodeCache {
    SlotLayout slots;
    // Per field index, made with the first layout.
    std::unique_ptr<NestedClassEntry[]> nested;
    // Byte size of the last encoding of a message with this descriptor.
    std::size_t last_size = 0;
};

}  // namespace quillspar
