// The Descriptor type and compile_descriptor, as the module initialiser adds
// them to `_core`. The object layout is in py/descriptor.hpp.
#pragma once

#include <Python.h>

#include "../py/ref.hpp"

namespace quillspar {

// A new Descriptor type object, or an empty handle with PanicException set
// (the module state must hold the panic type already).
Ref make_descriptor_type() noexcept;

// compile_descriptor(data): DescriptorProto bytes to a new Descriptor.
extern PyMethodDef compile_descriptor_def;

}  // namespace quillspar
