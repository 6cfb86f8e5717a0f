// The process-wide objects of the `_classes` module, created once by its
// initialiser (module.cpp) and read by the types it defines, plus the frame
// that keeps C++ exceptions from crossing into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "../py/guard.hpp"

namespace quillspar::classes {

struct State {
    PyTypeObject* message_type = nullptr;  // MessageType (strong reference)
    PyObject* str_init = nullptr;           // "__init__", interned
    PyObject* str_marker = nullptr;         // "__quillspar__", interned
    PyObject* str_encode = nullptr;         // "encode", interned
    PyObject* str_decode = nullptr;         // "decode", interned
    PyObject* str_from_bytes = nullptr;     // "from_bytes", interned
    PyObject* str_slots = nullptr;          // "__slots__", interned
    PyObject* from_bytes_method = nullptr;  // the module's `from_bytes` class method (strong)
    // The same class method, a second object that MessageType's `__new__`
    // alone puts in a namespace, so that a nested `__new__` tells it apart
    // from one the namespace names (strong).
    PyObject* from_bytes_placeholder = nullptr;
    PyObject* to_bytes_fallback = nullptr;  // the package's Python methods (set_fallbacks), strong
    PyObject* from_bytes_fallback = nullptr;
};

// Filled once under the interpreter lock, before anything can use it.
inline State g_state;

// Runs `body`, turning anything thrown into a Python exception; `fail` is
// the entry point's error return value.
template <class R, class F>
R guarded(R fail, F&& body) noexcept {
    return guard(fail, static_cast<F&&>(body), raise_system_error, "quillspar._classes: internal failure");
}

}  // namespace quillspar::classes
