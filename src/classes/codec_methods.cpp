// to_bytes, from_bytes and set_fallbacks: see codec_methods.hpp.
#include "codec_methods.hpp"

#include <cstddef>
#include <utility>

#include "../py/ref.hpp"
#include "message_type.hpp"
#include "state.hpp"

namespace quillspar::classes {
namespace {

// The descriptor that a class of MessageType carries, as cached in the class
// (borrowed), or nullptr when nothing is cached for the class as it is now.
// The attribute lookup would find nothing on the metaclass and then take the
// class's own entry as it is, the descriptor having no __get__; what it found
// stays valid until the class or a base changes, which gives the class a new
// version tag.
inline PyObject* cached_marker(PyObject* cls) noexcept {
    if (!Py_IS_TYPE(cls, g_state.message_type)) [[unlikely]]
        return nullptr;
    const CodecCache& cache = as_message_type(cls)->codec;
    const unsigned int version = reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag;
    return cache.descriptor_version == version && version != 0 ? cache.descriptor : nullptr;
}

// The descriptor the class carries, or nullptr: missing (no exception), or
// nullptr with an exception set. Fills the class's cache where it can.
[[gnu::noinline]] Ref marker_of(PyObject* cls) noexcept {
    if (PyObject* d = cached_marker(cls)) return Ref::borrow(d);
    if (Py_IS_TYPE(cls, g_state.message_type)) {
        auto* tp = reinterpret_cast<PyTypeObject*>(cls);
        PyObject* d = _PyType_Lookup(tp, g_state.str_marker);  // borrowed
        if (d && !Py_TYPE(d)->tp_descr_get) {
            if (PyUnstable_Type_AssignVersionTag(tp)) {
                CodecCache& cache = as_message_type(cls)->codec;
                cache.descriptor = d;
                cache.descriptor_version = tp->tp_version_tag;
            }
            return Ref::borrow(d);
        }
    }
    PyObject* d = nullptr;
    PyObject_GetOptionalAttr(cls, g_state.str_marker, &d);
    return Ref::steal(d);
}

// descriptor.<name>(*args): the method looked up once per descriptor type
// (and again whenever that type changes), then called directly: the C
// function itself when it is a built-in method taking positional and keyword
// arguments, as the core's are.
class CachedMethod {
public:
    explicit CachedMethod(PyObject** name) noexcept : name_(name) {}

    // The method's C function, when `receiver` has the type it was cached
    // for and the method can be called as is; else nullptr.
    PyCFunctionFastWithKeywords direct(PyObject* receiver) const noexcept {
        PyTypeObject* tp = Py_TYPE(receiver);
        return tp == type_ && tp->tp_version_tag == version_ && version_ != 0 ? direct_ : nullptr;
    }

    // args[0] is the receiver, which the caller keeps alive.
    [[gnu::noinline]] PyObject* call(PyObject* const* args, std::size_t nargs) noexcept {
        PyTypeObject* tp = Py_TYPE(args[0]);
        if (tp != type_ || tp->tp_version_tag != version_ || version_ == 0) {
            PyObject* old = std::exchange(method_, nullptr);
            type_ = nullptr;
            direct_ = nullptr;
            Py_XDECREF(old);
            if (!PyUnstable_Type_AssignVersionTag(tp)) return PyObject_VectorcallMethod(*name_, args, nargs, nullptr);
            PyObject* found = _PyType_Lookup(tp, *name_);  // borrowed
            if (!found || !Py_IS_TYPE(found, &PyMethodDescr_Type))
                return PyObject_VectorcallMethod(*name_, args, nargs, nullptr);
            method_ = Py_NewRef(found);
            type_ = tp;  // kept alive by the method, which refers to it
            version_ = tp->tp_version_tag;
            // Found on the receiver's own type, so the receiver passes the
            // method's type check.
            PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(found)->d_method;
            if ((def->ml_flags & ~METH_COEXIST) == (METH_FASTCALL | METH_KEYWORDS))
                direct_ = reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)()>(def->ml_meth));
        }
        if (direct_) return direct_(args[0], args + 1, static_cast<Py_ssize_t>(nargs) - 1, nullptr);
        return PyObject_Vectorcall(method_, args, nargs, nullptr);
    }

private:
    PyObject** name_;
    PyObject* method_ = nullptr;  // strong; never released (process-wide, like the module state)
    PyTypeObject* type_ = nullptr;
    unsigned int version_ = 0;
    PyCFunctionFastWithKeywords direct_ = nullptr;  // the method's C function, when it can be called as is
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

[[gnu::noinline]] PyObject* to_bytes_slow(PyObject* self) noexcept {
    Ref descriptor = marker_of(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    if (!descriptor) {
        if (PyErr_Occurred()) return nullptr;
        return fallback(g_state.to_bytes_fallback, &self, 1, nullptr);
    }
    PyObject* args[] = {descriptor.get(), self};
    return g_encode.call(args, 2);
}

PyObject* to_bytes(PyObject* self, PyObject*) noexcept {
    PyObject* descriptor = cached_marker(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyCFunctionFastWithKeywords encode = descriptor ? g_encode.direct(descriptor) : nullptr;
    if (!encode) [[unlikely]]
        return to_bytes_slow(self);
    Py_INCREF(descriptor);  // the encoder may run code that replaces the class's
    PyObject* result = encode(descriptor, &self, 1, nullptr);
    Py_DECREF(descriptor);
    return result;
}

[[gnu::noinline]] PyObject* from_bytes_slow(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) noexcept {
    if (nargs == 1 && !kwnames && PyBytes_CheckExact(args[0])) {
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

PyObject* from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs == 1 && !kwnames && PyBytes_CheckExact(args[0])) [[likely]] {
        PyObject* descriptor = cached_marker(cls);
        PyCFunctionFastWithKeywords decode = descriptor ? g_decode.direct(descriptor) : nullptr;
        if (decode) [[likely]] {
            Py_INCREF(descriptor);  // the decoder may run code that replaces the class's
            PyObject* call[] = {cls, args[0]};
            PyObject* result = decode(descriptor, call, 2, nullptr);
            Py_DECREF(descriptor);
            return result;
        }
    }
    return from_bytes_slow(cls, args, nargs, kwnames);
}

// -------------------------------------------------- from_bytes bound to a class

PyMethodDef from_bytes_def = {
    "from_bytes",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_bytes)),
    METH_FASTCALL | METH_KEYWORDS,
    "from_bytes($cls, data, /)\n--\n\nDecode protobuf wire bytes into a new instance of this class.",
};

PyObject* inherited_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The same, for a class that has its own only because a base has the
// package's: it checks that the base still has it.
PyMethodDef inherited_from_bytes_def = {
    "from_bytes",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inherited_from_bytes)),
    METH_FASTCALL | METH_KEYWORDS,
    from_bytes_def.ml_doc,
};

// Whether `v` is the package's from_bytes: the class method or a function
// bound to some class.
bool is_package_from_bytes(PyObject* v) noexcept {
    if (v == g_state.from_bytes_method) return true;
    if (!v || !PyCFunction_CheckExact(v)) return false;
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(v)->m_ml;
    return def == &from_bytes_def || def == &inherited_from_bytes_def;
}

bool is_bound_to(PyObject* v, PyMethodDef* def, PyObject* cls) noexcept {
    return v && PyCFunction_CheckExact(v) && reinterpret_cast<PyCFunctionObject*>(v)->m_ml == def &&
           PyCFunction_GET_SELF(v) == cls;
}

// A class's own entry `name`: a new reference, nullptr when it has none, or
// nullptr with an exception set.
Ref own_entry(PyTypeObject* tp, PyObject* name) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(tp));
    if (!dict) return Ref();
    PyObject* found = nullptr;
    PyDict_GetItemRef(dict.get(), name, &found);
    return Ref::steal(found);
}

// The `from_bytes` that the class's bases give it, the class's own entry left
// out: a new reference, nullptr when they give none, or nullptr with an
// exception set. A base's entry that is only there because that base
// inherited the package's stands for what is further up, and is passed over.
Ref inherited_from_bytes_entry(PyTypeObject* tp) noexcept {
    PyObject* mro = tp->tp_mro;  // a tuple for every ready type
    if (!mro) return Ref();
    Ref keep = Ref::borrow(mro);
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) continue;
        Ref found = own_entry(reinterpret_cast<PyTypeObject*>(base), g_state.str_from_bytes);
        if (PyErr_Occurred()) return Ref();
        if (found && !is_bound_to(found.get(), &inherited_from_bytes_def, base)) return found;
    }
    return Ref();
}

PyObject* inherited_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (Py_IS_TYPE(cls, g_state.message_type)) [[likely]] {
        const CodecCache& cache = as_message_type(cls)->codec;
        if (cache.inherited_version == tp->tp_version_tag && cache.inherited_version != 0) [[likely]]
            return from_bytes(cls, args, nargs, kwnames);
    }
    // Called through the class's own entry: whatever the bases now give is
    // what the class would show without that entry.
    Ref own = own_entry(tp, g_state.str_from_bytes);
    if (!own && PyErr_Occurred()) return nullptr;
    if (is_bound_to(own.get(), &inherited_from_bytes_def, cls)) {
        Ref inherited = inherited_from_bytes_entry(tp);
        if (!inherited && PyErr_Occurred()) return nullptr;
        if (!is_package_from_bytes(inherited.get())) {
            if (!inherited) {
                PyErr_Format(PyExc_AttributeError, "type object '%.100s' has no attribute '%U'", tp->tp_name,
                             g_state.str_from_bytes);
                return nullptr;
            }
            descrgetfunc get = Py_TYPE(inherited.get())->tp_descr_get;
            Ref bound = get ? Ref::steal(get(inherited.get(), nullptr, cls)) : std::move(inherited);
            if (!bound) return nullptr;
            return PyObject_Vectorcall(bound.get(), args, static_cast<std::size_t>(nargs), kwnames);
        }
        if (Py_IS_TYPE(cls, g_state.message_type) && PyUnstable_Type_AssignVersionTag(tp))
            as_message_type(cls)->codec.inherited_version = tp->tp_version_tag;
    }
    return from_bytes(cls, args, nargs, kwnames);
}

// Whether `slots`, a class body's __slots__, may name `from_bytes`. Only the
// forms that can be read without running code are looked into; any other
// counts as naming it.
bool slots_may_name_from_bytes(PyObject* slots) noexcept {
    if (!slots) return false;
    if (PyUnicode_Check(slots)) return PyUnicode_Compare(slots, g_state.str_from_bytes) == 0;
    if (!PyTuple_CheckExact(slots) && !PyList_CheckExact(slots)) return true;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(slots);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(slots, i);
        if (!PyUnicode_Check(item) || PyUnicode_Compare(item, g_state.str_from_bytes) == 0) return true;
    }
    return false;
}

}  // namespace

bool inherits_from_bytes(PyObject* bases, PyObject* ns) noexcept {
    if (!g_state.from_bytes_method || !PyTuple_Check(bases) || !PyDict_Check(ns)) return false;
    PyObject* own = nullptr;
    PyObject* slots = nullptr;
    if (PyDict_GetItemRef(ns, g_state.str_from_bytes, &own) != 0 ||
        PyDict_GetItemRef(ns, g_state.str_slots, &slots) < 0) {
        Py_XDECREF(own);
        PyErr_Clear();
        return false;
    }
    Ref keep = Ref::steal(slots);
    if (slots_may_name_from_bytes(slots)) return false;
    // The first base that has one decides, as the new class's method
    // resolution order mostly will; settle_from_bytes checks the real one.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (!PyType_Check(base)) continue;
        PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(base), g_state.str_from_bytes);
        if (found) return is_package_from_bytes(found);
    }
    return false;
}

int settle_from_bytes(PyObject* cls, bool placeholder) noexcept {
    if (!g_state.from_bytes_method) return 0;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    Ref own = own_entry(tp, g_state.str_from_bytes);
    if (!own && PyErr_Occurred()) return -1;
    PyMethodDef* def = nullptr;
    if (own && !(placeholder && own.get() == g_state.from_bytes_method)) {
        // Named in the namespace: the class method, or a function bound to
        // another class (a namespace copied from one), stand for this class's.
        if (!is_package_from_bytes(own.get()) || is_bound_to(own.get(), &from_bytes_def, cls)) return 0;
        def = &from_bytes_def;
    } else {
        Ref inherited = inherited_from_bytes_entry(tp);
        if (!inherited && PyErr_Occurred()) return -1;
        if (!is_package_from_bytes(inherited.get()))
            return own ? PyType_Type.tp_setattro(cls, g_state.str_from_bytes, nullptr) : 0;
        def = &inherited_from_bytes_def;
    }
    Ref bound = Ref::steal(PyCFunction_NewEx(def, cls, nullptr));
    if (!bound) return -1;
    return PyType_Type.tp_setattro(cls, g_state.str_from_bytes, bound.get());
}

namespace {

// ------------------------------------------------------- to_bytes's descriptor

PyMethodDef to_bytes_def = {
    "to_bytes",
    to_bytes,
    METH_NOARGS,
    "to_bytes($self, /)\n--\n\nEncode this message to protobuf wire bytes.",
};

// `to_bytes` as the class attribute: what a method descriptor of `object`
// is (attributes, repr, binding, argument errors), but of a type of its own
// that the interpreter calls through vectorcall. A built-in method
// descriptor's call is specialised only for instances of exactly the type
// that defines it, which for a method shared by every message class is none.
struct ToBytesDescriptor {
    PyObject_HEAD
    vectorcallfunc vectorcall;
};

PyObject* to_bytes_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 1 && !kwnames) [[likely]]
        return to_bytes(args[0], nullptr);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "unbound method object.to_bytes() needs an argument");
    } else if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_SetString(PyExc_TypeError, "object.to_bytes() takes no keyword arguments");
    } else if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "object.to_bytes() takes no arguments (%zd given)", nargs - 1);
    } else {
        return to_bytes(args[0], nullptr);
    }
    return nullptr;
}

PyObject* to_bytes_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj) return Py_NewRef(self);
    return PyCFunction_NewEx(&to_bytes_def, obj, nullptr);
}

PyObject* to_bytes_repr(PyObject*) noexcept { return PyUnicode_FromString("<method 'to_bytes' of 'object' objects>"); }

void to_bytes_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* to_bytes_reduce(PyObject*, PyObject*) noexcept {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* getattr = builtins ? PyDict_GetItemString(builtins, "getattr") : nullptr;  // borrowed
    if (!getattr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "getattr is not a builtin");
        return nullptr;
    }
    return Py_BuildValue("O(Os)", getattr, reinterpret_cast<PyObject*>(&PyBaseObject_Type), "to_bytes");
}

PyObject* to_bytes_text(const char* text) noexcept { return PyUnicode_FromString(text); }

PyGetSetDef to_bytes_getset[] = {
    {"__name__", [](PyObject*, void*) noexcept { return to_bytes_text("to_bytes"); }, nullptr, nullptr, nullptr},
    {"__qualname__", [](PyObject*, void*) noexcept { return to_bytes_text("object.to_bytes"); }, nullptr, nullptr,
     nullptr},
    {"__doc__", [](PyObject*, void*) noexcept { return to_bytes_text("Encode this message to protobuf wire bytes."); },
     nullptr, nullptr, nullptr},
    {"__text_signature__", [](PyObject*, void*) noexcept { return to_bytes_text("($self, /)"); }, nullptr, nullptr,
     nullptr},
    {"__objclass__", [](PyObject*, void*) noexcept { return Py_NewRef(reinterpret_cast<PyObject*>(&PyBaseObject_Type)); },
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef to_bytes_methods[] = {
    {"__reduce__", to_bytes_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef to_bytes_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ToBytesDescriptor, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot to_bytes_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(to_bytes_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(to_bytes_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(to_bytes_dealloc)},
    {Py_tp_getset, to_bytes_getset},
    {Py_tp_methods, to_bytes_methods},
    {Py_tp_members, to_bytes_members},
    {0, nullptr},
};

// Immutable, or the interpreter's attribute caches would not trust it.
PyType_Spec to_bytes_spec = {
    "quillspar._classes.method_descriptor",
    static_cast<int>(sizeof(ToBytesDescriptor)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    to_bytes_slots,
};

}  // namespace

PyObject* new_to_bytes() noexcept {
    Ref type = Ref::steal(PyType_FromSpec(&to_bytes_spec));
    if (!type) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject* self = tp->tp_alloc(tp, 0);  // holds the type
    if (!self) return nullptr;
    reinterpret_cast<ToBytesDescriptor*>(self)->vectorcall = to_bytes_vectorcall;
    return self;
}

PyObject* new_from_bytes() noexcept { return PyDescr_NewClassMethod(&PyBaseObject_Type, &from_bytes_def); }

namespace {

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

}  // namespace

PyMethodDef set_fallbacks_def = {
    "set_fallbacks",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_fallbacks)),
    METH_FASTCALL,
    "set_fallbacks(to_bytes, from_bytes)\n--\n\n"
    "The package's Python to_bytes(self) and from_bytes(cls, data), which the\n"
    "native methods call for what they do not handle themselves.",
};

}  // namespace quillspar::classes
