// The process-wide objects of the `_classes` module, created once by its
// initialiser (module.cpp) and read by the types it defines, plus the frame
// that keeps C++ exceptions from crossing into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

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
    PyObject* to_bytes_fallback = nullptr;  // the package's Python methods (set_fallbacks), strong
    PyObject* from_bytes_fallback = nullptr;
};

// Filled once under the interpreter lock, before anything can use it.
inline State g_state;

// Runs `body`, turning anything thrown into a Python exception; `fail` is
// the entry point's error return value.
template <class R, class F>
R guarded(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "quillspar._classes: internal failure");
    }
    return fail;
}

}  // namespace quillspar::classes
