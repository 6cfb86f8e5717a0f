#include "encoder.hpp"

namespace quillspar::encode {
PyObject* encode_to_bytes(PyObject*, DescriptorObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "encode");
    return nullptr;
}
}  // namespace quillspar::encode
