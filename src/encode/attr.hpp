// Field reads of the encoder. get_field gives exactly what PyObject_GetAttr
// gives, and takes the interpreter's own path whenever Python code could take
// part in the lookup.
//
// The short path covers the common case of message classes: slots read
// through the generic attribute lookup. It looks the name up in the type each
// time (the interpreter's type cache makes that cheap) and keeps nothing
// between calls.
#pragma once

#include <Python.h>
#include <structmember.h>

namespace quillspar {

// obj.<name>: new reference, or nullptr with an exception set.
inline PyObject* get_field(PyObject* obj, PyObject* name) noexcept {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro == PyObject_GenericGetAttr) [[likely]] {
        // The generic lookup gives a data descriptor of the type precedence
        // over everything else; a slot is one (a member descriptor).
        PyObject* descr = _PyType_Lookup(tp, name);
        if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) [[likely]] {
            auto* member = reinterpret_cast<PyMemberDescrObject*>(descr);
            const PyMemberDef* def = member->d_member;
            if (def->type == Py_T_OBJECT_EX && (def->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) == 0 &&
                PyObject_TypeCheck(obj, PyDescr_TYPE(descr))) [[likely]] {
                PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + def->offset);
                if (v) [[likely]]
                    return Py_NewRef(v);
                // An empty slot: the interpreter raises its AttributeError.
            }
        }
    }
    return PyObject_GetAttr(obj, name);
}

}  // namespace quillspar
