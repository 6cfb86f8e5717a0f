// The argument binder shared by every callable that takes arguments
// (compile_descriptor, Descriptor.link, .encode, .decode): vector-call
// arguments bound by position or keyword, with the exact TypeError messages.
#pragma once

#include <Python.h>

namespace quillspar {

struct Signature {
    const char* callable;       // name used in messages, e.g. "Descriptor.link()"
    const char* const* params;  // parameter names, in order; all required
    int count;
};

// Fills out[0..count) with borrowed references. Returns false with TypeError
// set when the call does not bind.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               PyObject** out) noexcept;

}  // namespace quillspar
