#include "decoder.hpp"

namespace quillspar::decode {
PyObject* decode_message(PyObject*, DescriptorObject*, const std::uint8_t*, std::size_t, int) {
    PyErr_SetString(PyExc_NotImplementedError, "decode");
    return nullptr;
}
}  // namespace quillspar::decode
