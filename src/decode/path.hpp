// Where a decode failed: the fields, element indexes and map keys leading from
// the top-level message to the value that was being read, gathered while the
// failure unwinds, and the exception note made from them at the entry
// ("while decoding Order.items[3].sku").
//
// Filled by the message decoder (decoder.cpp); nothing is recorded on success.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "../py/ref.hpp"

namespace quillspar::decode {

class ErrorPath {
public:
    // Each level adds its parts as the failure passes through it, innermost
    // first. `name` (a str) and `key` are borrowed and kept alive here. A
    // part that cannot be stored (no memory) only shortens the note.
    void field(PyObject* name) noexcept { push(Part{Part::Field, Ref::borrow(name), 0}); }
    void index(Py_ssize_t i) noexcept { push(Part{Part::Index, Ref(), i}); }
    void key(PyObject* key) noexcept { push(Part{Part::Key, Ref::borrow(key), 0}); }

    // Adds the note "while decoding <root><parts>" to the exception being
    // raised, unless it is a MemoryError or a RecursionError. Keeps that
    // exception as it is when the note cannot be made or added. `add_note`
    // is the method name as an interned str (a fresh one per call would
    // churn the interpreter's method cache), or nullptr to add nothing.
    void annotate(const std::string& root, PyObject* add_note) noexcept;

private:
    struct Part {
        enum Kind : unsigned char { Field, Index, Key } kind;
        Ref obj;
        Py_ssize_t index;
    };

    void push(Part&& p) noexcept {
        try {
            parts_.push_back(std::move(p));
        } catch (...) {
        }
    }

    std::vector<Part> parts_;
};

inline void ErrorPath::annotate(const std::string& root, PyObject* add_note) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (PyErr_GivenExceptionMatches(exc, PyExc_MemoryError) || PyErr_GivenExceptionMatches(exc, PyExc_RecursionError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Ref note = Ref::steal(PyUnicode_FromFormat("while decoding %s", root.c_str()));
    for (auto it = parts_.rbegin(); note && it != parts_.rend(); ++it) {
        Ref piece;
        switch (it->kind) {
        case Part::Field: piece = Ref::steal(PyUnicode_FromFormat(".%U", it->obj.get())); break;
        case Part::Index: piece = Ref::steal(PyUnicode_FromFormat("[%zd]", it->index)); break;
        case Part::Key: piece = Ref::steal(PyUnicode_FromFormat("[%R]", it->obj.get())); break;
        }
        note = piece ? Ref::steal(PyUnicode_Concat(note.get(), piece.get())) : Ref();
    }
    if (note && add_note) Ref::steal(PyObject_CallMethodOneArg(exc, add_note, note.get()));
    PyErr_Clear();  // a note that could not be made is left out
    PyErr_SetRaisedException(exc);
}

}  // namespace quillspar::decode
