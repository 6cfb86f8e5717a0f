// The message decoder: wire bytes to a new instance of a message class, built
// by calling the class with the decoded fields as keyword arguments.
//
// Entered from Descriptor.decode (module/descriptor.cpp); recurses for nested
// messages through the linked classes' `__quillspar__` descriptors.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace quillspar {
struct DescriptorObject;
}

namespace quillspar::decode {

// Decodes `data` with `desc`'s schema and link table and calls `cls` with the
// fields (and, for a schema that keeps unknown fields, their raw records as
// the last keyword, `_unknown_fields`, when there are any). Returns a new
// reference, or nullptr with an exception set; the exception carries a note
// naming where it happened ("while decoding Order.items[3]"), except a
// MemoryError or RecursionError. The caller holds shared access to `desc` and
// keeps `data` alive.
PyObject* decode_message(PyObject* cls, DescriptorObject* desc, const std::uint8_t* data, std::size_t size,
                         int depth);

}  // namespace quillspar::decode
