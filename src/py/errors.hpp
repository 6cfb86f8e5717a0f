// Exceptions raised at the module boundary: PanicException for broken internal
// invariants, the argument type errors, and the frame that keeps C++
// exceptions from ever crossing into the interpreter.
//
// Used by every entry point in module/, and by decode/ and encode/ for the
// PanicException cases they share with link().
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "guard.hpp"
#include "ref.hpp"

namespace quillspar {

// A new PanicException type (a direct subclass of BaseException), or an
// empty handle with an exception set. Made once, by the module initialiser,
// which keeps it in the module state.
Ref make_panic_type() noexcept;

// Raises PanicException(message) (SystemError(message) before the module
// state holds the type). Always returns nullptr.
PyObject* raise_panic(const char* message) noexcept;

// Raises PanicException with a printf-style message, as PyErr_Format does.
// Always returns nullptr.
PyObject* raise_panic_format(const char* format, ...) noexcept;

// Raises PanicException(message) with the exception being raised now (if
// any) as its cause. Always returns nullptr.
PyObject* raise_panic_from_current(const char* message) noexcept;

// "argument '{param}': '{type}' object cannot be converted to '{target}'".
PyObject* raise_argument_type(const char* param, PyObject* obj, const char* target) noexcept;

// "'{type}' object cannot be converted to '{target}'".
PyObject* raise_not_convertible(PyObject* obj, const char* target) noexcept;

// The frame around every entry point: runs `body` and turns anything thrown
// into a Python exception. `fail` is the entry point's error return value.
template <class R, class F>
R guarded(R fail, F&& body) noexcept {
    return guard(fail, static_cast<F&&>(body), raise_panic, "internal failure (no message)");
}

}  // namespace quillspar
