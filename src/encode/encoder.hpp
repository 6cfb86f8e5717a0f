// The message encoder: a Python message instance to protocol-buffers wire
// bytes, its fields read as attributes.
//
// Entered from Descriptor.encode (module/descriptor.cpp); recurses for nested
// values through their own classes' `__quillspar__` descriptors.
#pragma once

#include <Python.h>

#include "../wire/writer.hpp"

namespace quillspar {
struct DescriptorObject;
}

namespace quillspar::encode {

// Encodes `instance` with `desc`'s schema into a new bytes object (new
// reference), or returns nullptr with an exception set. The caller holds
// shared access to `desc`.
PyObject* encode_to_bytes(PyObject* instance, DescriptorObject* desc);

// Appends the fields of `instance` to `out`. False with an exception set.
bool encode_message(PyObject* instance, DescriptorObject* desc, wire::OutputBuffer& out, int depth);

}  // namespace quillspar::encode
