// The process-wide objects of `_jsonc`, made once by its initialiser
// (module.cpp) before any plan exists: the strings that JSON writes for the
// float specials and boolean map keys.
#pragma once

#include <Python.h>

namespace quillspar::json {

struct State {
    PyObject* nan = nullptr;           // "NaN"
    PyObject* infinity = nullptr;      // "Infinity"
    PyObject* neg_infinity = nullptr;  // "-Infinity"
    PyObject* true_text = nullptr;     // "true"
    PyObject* false_text = nullptr;    // "false"
};

// Filled under the interpreter lock by the initialiser; never released.
inline State g_state;

}  // namespace quillspar::json
