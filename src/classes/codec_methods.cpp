// to_bytes, from_bytes and set_fallbacks: see codec_methods.hpp.
#include "codec_methods.hpp"

#include <cstddef>
#include <utility>

#include "../py/ref.hpp"
#include "state.hpp"

namespace quillspar::classes {
namespace {

// The descriptor the class carries, or nullptr: missing (no exception), or
// nullptr with an exception set.
Ref marker_of(PyObject* cls) noexcept {
    // A class of MessageType: the attribute lookup would find nothing on the
    // metaclass and then take the class's own (cached) entry as it is, the
    // descriptor having no __get__.
    if (Py_IS_TYPE(cls, g_state.message_type)) [[likely]] {
        PyObject* d = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), g_state.str_marker);  // borrowed
        if (d && !Py_TYPE(d)->tp_descr_get) [[likely]]
            return Ref::borrow(d);
    }
    PyObject* d = nullptr;
    PyObject_GetOptionalAttr(cls, g_state.str_marker, &d);
    return Ref::steal(d);
}

// descriptor.<name>(*args): the method looked up once per descriptor type
// (and again whenever that type changes), then called directly.
class CachedMethod {
public:
    explicit CachedMethod(PyObject** name) noexcept : name_(name) {}
    PyObject* call(PyObject* const* args, std::size_t nargs) noexcept {
        PyTypeObject* tp = Py_TYPE(args[0]);
        if (tp != type_ || tp->tp_version_tag != version_ || version_ == 0) [[unlikely]] {
            PyObject* old = std::exchange(method_, nullptr);
            type_ = nullptr;
            Py_XDECREF(old);
            if (!PyUnstable_Type_AssignVersionTag(tp)) return PyObject_VectorcallMethod(*name_, args, nargs, nullptr);
            PyObject* found = _PyType_Lookup(tp, *name_);  // borrowed
            if (!found || !Py_IS_TYPE(found, &PyMethodDescr_Type))
                return PyObject_VectorcallMethod(*name_, args, nargs, nullptr);
            method_ = Py_NewRef(found);
            type_ = tp;  // kept alive by the method, which refers to it
            version_ = tp->tp_version_tag;
        }
        return PyObject_Vectorcall(method_, args, nargs, nullptr);
    }

private:
    PyObject** name_;
    PyObject* method_ = nullptr;  // strong; never released (process-wide, like the module state)
    PyTypeObject* type_ = nullptr;
    unsigned int version_ = 0;
};

CachedMethod g_encode{&g_state.str_encode};
CachedMethod g_decode{&g_state.str_decode};

PyObject* fallback(PyObject* fn, PyObject* const* args, std::size_t nargs, PyObject* kwnames) noexcept {
    if (!fn) {
        PyErr_SetString(PyExc_RuntimeError, "quillspar._classes: set_fallbacks() was not called");
        return nullptr;
    }
    return PyObject_Vectorcall(fn, args, nargs, kwnames);
}

PyObject* to_bytes(PyObject* self, PyObject*) noexcept {
    Ref descriptor = marker_of(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    if (!descriptor) {
        if (PyErr_Occurred()) return nullptr;
        return fallback(g_state.to_bytes_fallback, &self, 1, nullptr);
    }
    PyObject* args[] = {descriptor.get(), self};
    return g_encode.call(args, 2);
}

PyObject* from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs == 1 && !kwnames && PyBytes_CheckExact(args[0])) [[likely]] {
        Ref descriptor = marker_of(cls);
        if (descriptor) {
            PyObject* call[] = {descriptor.get(), cls, args[0]};
            return g_decode.call(call, 3);
        }
        if (PyErr_Occurred()) return nullptr;
    }
    // The Python implementation with cls in front of the same arguments.
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    const std::size_t total = static_cast<std::size_t>(nargs) + nkw;
    constexpr std::size_t kInline = 8;
    if (total + 1 > kInline) {
        PyErr_SetString(PyExc_TypeError, "from_bytes() takes one argument, the data");
        return nullptr;
    }
    PyObject* call[kInline];
    call[0] = cls;
    for (std::size_t i = 0; i < total; ++i) call[i + 1] = args[i];
    return fallback(g_state.from_bytes_fallback, call, static_cast<std::size_t>(nargs) + 1, kwnames);
}

PyObject* set_fallbacks(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2 || !PyCallable_Check(args[0]) || !PyCallable_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "set_fallbacks() takes two callables");
        return nullptr;
    }
    PyObject* old_to = g_state.to_bytes_fallback;
    PyObject* old_from = g_state.from_bytes_fallback;
    g_state.to_bytes_fallback = Py_NewRef(args[0]);
    g_state.from_bytes_fallback = Py_NewRef(args[1]);
    Py_XDECREF(old_to);
    Py_XDECREF(old_from);
    Py_RETURN_NONE;
}

PyMethodDef to_bytes_def = {
    "to_bytes",
    to_bytes,
    METH_NOARGS,
    "to_bytes($self, /)\n--\n\nEncode this message to protobuf wire bytes.",
};

PyMethodDef from_bytes_def = {
    "from_bytes",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_bytes)),
    METH_FASTCALL | METH_KEYWORDS,
    "from_bytes($cls, data, /)\n--\n\nDecode protobuf wire bytes into a new instance of this class.",
};

}  // namespace

PyObject* new_to_bytes() noexcept { return PyDescr_NewMethod(&PyBaseObject_Type, &to_bytes_def); }

PyObject* new_from_bytes() noexcept { return PyDescr_NewClassMethod(&PyBaseObject_Type, &from_bytes_def); }

PyMethodDef set_fallbacks_def = {
    "set_fallbacks",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_fallbacks)),
    METH_FASTCALL,
    "set_fallbacks(to_bytes, from_bytes)\n--\n\n"
    "The package's Python to_bytes(self) and from_bytes(cls, data), which the\n"
    "native methods call for what they do not handle themselves.",
};

}  // namespace quillspar::classes
