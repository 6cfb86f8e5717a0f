// The `to_bytes` method and `from_bytes` class method of message classes,
// native: they find the class's descriptor in `__quillspar__` and call its
// `encode` or `decode` without a Python frame in between. Whatever the fast
// path does not cover (a class without its descriptor yet, input that is not
// `bytes`, unusual arguments) goes to the package's Python implementations,
// which the package registers once with `set_fallbacks`.
//
// Used by module.cpp only.
#pragma once

#include <Python.h>

namespace quillspar::classes {

// The method descriptors (new references), or nullptr with an exception set.
PyObject* new_to_bytes() noexcept;
PyObject* new_from_bytes() noexcept;

// _classes.set_fallbacks(to_bytes, from_bytes).
extern PyMethodDef set_fallbacks_def;

}  // namespace quillspar::classes
