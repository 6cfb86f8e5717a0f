#include "errors.hpp"

#include <cstdarg>

#include "state.hpp"

namespace quillspar {

namespace {

// The type panics are raised as: SystemError until the module state holds
// PanicException (only the initialiser itself can fail that early).
PyObject* panic_type() noexcept {
    PyObject* t = module_state().panic_type.get();
    return t ? t : PyExc_SystemError;
}

}  // namespace

Ref make_panic_type() noexcept {
    return Ref::steal(PyErr_NewExceptionWithDoc(
        "quillspar._core.PanicException",
        "Raised when an internal invariant of quillspar's native core is broken.\n"
        "Derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr));
}

PyObject* raise_panic(const char* message) noexcept {
    PyErr_SetString(panic_type(), message);
    return nullptr;
}

PyObject* raise_panic_format(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(panic_type(), format, args);
    va_end(args);
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
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", param, qualname.get(),
                 target);
    return nullptr;
}

PyObject* raise_not_convertible(PyObject* obj, const char* target) noexcept {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
    return nullptr;
}

}  // namespace quillspar
