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

// The general binder: keywords, missing and surplus arguments, and every
// message. Same contract as bind_args.
bool bind_args_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                       PyObject** out) noexcept;

// Fills out[0..count) with borrowed references. Returns false with TypeError
// set when the call does not bind. The usual call, every argument by
// position and no keywords, is bound here without the general binder.
inline bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      PyObject** out) noexcept {
    if (!kwnames && PyVectorcall_NARGS(nargsf) == sig.count) [[likely]] {
        for (int i = 0; i < sig.count; ++i) out[i] = args[i];
        return true;
    }
    return bind_args_general(sig, args, nargsf, kwnames, out);
}

}  // namespace quillspar
