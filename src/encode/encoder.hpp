// The message encoder: a Python message instance to protocol-buffers wire
// bytes, its fields read as attributes.
//
// Entered from Descriptor.encode (module/descriptor.cpp); recurses for nested
// values through their own classes' `__quillspar__` descriptors.
#pragma once

#include <Python.h>

#include "../wire/writer.hpp"
#include "error_path.hpp"

namespace quillspar {
struct DescriptorObject;
}

namespace quillspar::encode {

// Encodes `instance` with `desc`'s schema into a new bytes object (new
// reference), or returns nullptr with an exception set. The caller holds
// shared access to `desc`.
PyObject* encode_to_bytes(PyObject* instance, DescriptorObject* desc);

// Appends the fields of `instance` to `out`. False with an exception set and
// the steps from this message to the failing value recorded in `path`.
bool encode_message(PyObject* instance, DescriptorObject* desc, wire::OutputBuffer& out, ErrorPath& path, int depth);

}  // namespace quillspar::encode
