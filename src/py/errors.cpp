#include "errors.hpp"

namespace quillspar {

namespace {
PyObject* g_panic_type = nullptr;  // written once under the interpreter lock
}

PyObject* panic_exception_type() noexcept {
    if (g_panic_type) return g_panic_type;
    PyObject* t = PyErr_NewExceptionWithDoc(
        "quillspar._core.PanicException",
        "Raised when an internal invariant of quillspar's native core is broken.\n"
        "Derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    if (!t) return nullptr;
    if (g_panic_type) {  // created meanwhile by another thread: keep the first
        Py_DECREF(t);
        return g_panic_type;
    }
    g_panic_type = t;
    return t;
}

PyObject* raise_panic(const char* message) noexcept {
    PyObject* t = panic_exception_type();
    if (t) PyErr_SetString(t, message);
    return nullptr;
}

PyObject* raise_panic_from_current(const char* message) noexcept {
    PyObject* cause = PyErr_GetRaisedException();
    raise_panic(message);
    if (cause) {
        PyObject* panic = PyErr_GetRaisedException();
        if (panic) {
            PyException_SetContext(panic, Py_NewRef(cause));
            PyException_SetCause(panic, cause);  // steals `cause`
            PyErr_SetRaisedException(panic);
        } else {
            PyErr_SetRaisedException(cause);
        }
    }
    return nullptr;
}

PyObject* raise_argument_type(const char* param, PyObject* obj, const char* target) noexcept {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (!qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", param, qualname, target);
    Py_DECREF(qualname);
    return nullptr;
}

PyObject* raise_not_convertible(PyObject* obj, const char* target) noexcept {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (!qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname, target);
    Py_DECREF(qualname);
    return nullptr;
}

}  // namespace quillspar
