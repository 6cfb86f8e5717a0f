// MessageType and `install`: see message_type.hpp.
#include "message_type.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "../py/ref.hpp"
#include "codec_methods.hpp"
#include "state.hpp"

namespace quillspar::classes {
namespace {

// What a slot gets when its keyword is not given: the default object itself
// (immutable, or shared by the generated `__init__` too), or a new empty list
// or dict per instance, which a keyword given as None asks for too.
enum class Fill : std::uint8_t { Value, NewList, NewDict };

struct Slot {
    PyObject* name;  // interned str, strong
    Py_ssize_t offset;
    Fill fill;
    PyObject* value;  // strong; the default for Fill::Value, else nullptr
};

}  // namespace

// The constructor layout of one class. A replaced layout is kept until the
// class dies: a call in progress may still read it.
//
// It also remembers the keyword names of its last call: callers that repeat
// their keywords pass the very same names tuple (the core's decoder keeps one
// per message type, a Python call site its code's constant), so an identical
// tuple maps to slots without any search. The tuple is held strongly, so its
// identity cannot pass to another tuple while it is remembered.
struct Layout {
    std::vector<Slot> slots;
    PyObject* init = nullptr;  // the `__init__` this layout stands for, strong
    unsigned int version = 0;  // the class's version tag when last checked
    std::unique_ptr<Layout> previous;

    PyObject* kw_names = nullptr;  // the remembered names tuple, strong, or nullptr
    // Per slot, the position of its keyword in `kw_names`, or kNoKeyword;
    // as many entries as slots.
    std::unique_ptr<std::int32_t[]> kw_source;
    // Calls now reading `kw_source`: while there are any, it is left as it is.
    unsigned int kw_readers = 0;

    Layout() = default;
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    ~Layout() {
        for (Slot& s : slots) {
            Py_DECREF(s.name);
            Py_XDECREF(s.value);
        }
        Py_XDECREF(init);
        Py_XDECREF(kw_names);
    }
};

namespace {

// Whether instances are still made as object.__new__ makes them and their
// slots still set as a plain attribute store sets them.
bool plain_construction(PyTypeObject* tp) noexcept {
    return tp->tp_new == PyBaseObject_Type.tp_new && tp->tp_alloc == PyType_GenericAlloc &&
           tp->tp_setattro == PyObject_GenericSetAttr && !(tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT);
}

// Whether the layout still describes the class. Any change to the class or a
// base changes its version tag, so the full check runs only after one.
bool layout_current(PyTypeObject* tp, Layout& layout) noexcept {
    if (layout.version != 0 && tp->tp_version_tag == layout.version) [[likely]]
        return true;
    if (!plain_construction(tp)) return false;
    PyObject* dict = PyType_GetDict(tp);
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    PyObject* init = PyDict_GetItemWithError(dict, g_state.str_init);  // borrowed
    Py_DECREF(dict);
    if (init != layout.init) {
        PyErr_Clear();
        return false;
    }
    layout.version = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
    return true;
}

// type.__call__ itself, with the arguments as a tuple and a dict: the way the
// interpreter calls a class that has no vectorcall of its own.
PyObject* call_type(PyObject* cls, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
    return PyType_Type.tp_call(cls, tuple.get(), kwargs.get());
}

constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
constexpr std::int32_t kNoKeyword = -1;

// Index of the slot named `key`, or kMissing. Keywords usually come in slot
// order, so the search starts after the previous match.
std::size_t find_slot(const std::vector<Slot>& slots, PyObject* key, std::size_t from) noexcept {
    const std::size_t n = slots.size();
    for (std::size_t j = 0, i = from; j < n; ++j, ++i) {
        if (i >= n) i = 0;
        if (slots[i].name == key) return i;
    }
    if (!PyUnicode_CheckExact(key)) return kMissing;
    for (std::size_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(slots[i].name, key) == 0) return i;
    return kMissing;
}

// Fills the slots of a new instance. `source` holds, per slot, the position
// of its keyword argument in `args`, or kNoKeyword.
PyObject* construct(PyTypeObject* tp, const Layout& layout, PyObject* const* args,
                    const std::int32_t* source) noexcept {
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    char* base = reinterpret_cast<char*>(self);
    const std::size_t n = layout.slots.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Slot& s = layout.slots[i];
        const std::int32_t k = source[i];
        PyObject* v = k != kNoKeyword ? args[k] : nullptr;
        if (v && (s.fill == Fill::Value || v != Py_None)) {  // None asks for the new empty container
            Py_INCREF(v);
        } else if (s.fill == Fill::Value) {
            v = Py_NewRef(s.value);
        } else {
            v = s.fill == Fill::NewList ? PyList_New(0) : PyDict_New();
            if (!v) {
                Py_DECREF(self);
                return nullptr;
            }
        }
        // The instance is new: every slot is still empty.
        *reinterpret_cast<PyObject**>(base + s.offset) = v;
    }
    return self;
}

// The slot of every keyword in `kwnames`, written to `source` (one entry per
// slot). False when a keyword is unknown or repeated, which the generated
// `__init__` reports.
bool map_keywords(const Layout& layout, PyObject* kwnames, std::size_t nkw, std::int32_t* source) noexcept {
    std::fill_n(source, layout.slots.size(), kNoKeyword);
    std::size_t next = 0;
    for (std::size_t k = 0; k < nkw; ++k) {
        const std::size_t i = find_slot(layout.slots, PyTuple_GET_ITEM(kwnames, k), next);
        if (i == kMissing || source[i] != kNoKeyword) [[unlikely]]
            return false;
        source[i] = static_cast<std::int32_t>(k);
        next = i + 1;
    }
    return true;
}

PyObject* message_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept {
    auto* tp = reinterpret_cast<PyTypeObject*>(callable);
    Layout* layout = as_message_type(callable)->layout;
    if (!layout || PyVectorcall_NARGS(nargsf) != 0 || !layout_current(tp, *layout)) [[unlikely]]
        return call_type(callable, args, nargsf, kwnames);
    if (kwnames && kwnames == layout->kw_names) [[likely]] {
        // The allocations below run no Python code today; the count keeps a
        // call that remembers other names meanwhile from rewriting the map
        // under this one all the same.
        ++layout->kw_readers;
        PyObject* self = construct(tp, *layout, args, layout->kw_source.get());
        --layout->kw_readers;
        return self;
    }
    const std::size_t n = layout->slots.size();
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    // More keywords than fields: one is unknown or repeated.
    if (nkw > n) return call_type(callable, args, nargsf, kwnames);

    if (kwnames && layout->kw_readers == 0) {
        // Remember these names instead: forget the old ones first, so that a
        // map left half-written by an unknown keyword belongs to no tuple.
        PyObject* old = std::exchange(layout->kw_names, nullptr);
        Py_XDECREF(old);  // a tuple of str: frees, runs no Python code
        std::int32_t* source = layout->kw_source.get();
        if (!map_keywords(*layout, kwnames, nkw, source)) return call_type(callable, args, nargsf, kwnames);
        layout->kw_names = Py_NewRef(kwnames);
        ++layout->kw_readers;
        PyObject* self = construct(tp, *layout, args, source);
        --layout->kw_readers;
        return self;
    }
    // No keywords, or a call made while another reads the remembered map.
    constexpr std::size_t kInline = 32;
    std::int32_t inline_source[kInline];
    std::unique_ptr<std::int32_t[]> heap_source;
    std::int32_t* source = inline_source;
    if (n > kInline) {
        heap_source.reset(new (std::nothrow) std::int32_t[n]);
        if (!heap_source) return PyErr_NoMemory();
        source = heap_source.get();
    }
    if (!map_keywords(*layout, kwnames, nkw, source)) return call_type(callable, args, nargsf, kwnames);
    return construct(tp, *layout, args, source);
}

// --------------------------------------------------------------- the metaclass

// type.__new__, with the class's own `from_bytes` settled (codec_methods.hpp).
// A class that will inherit the package's gets the class method in its
// namespace, so that nothing run while type.__new__ builds it (its
// `__set_name__` and `__init_subclass__` hooks) sees a base's bound function.
PyObject* message_type_new(PyTypeObject* meta, PyObject* args, PyObject* kwds) noexcept {
    Ref with_placeholder;
    if (PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 3 &&
        inherits_from_bytes(PyTuple_GET_ITEM(args, 1), PyTuple_GET_ITEM(args, 2))) {
        Ref ns = Ref::steal(PyDict_Copy(PyTuple_GET_ITEM(args, 2)));  // type.__new__ copies it too
        if (!ns || PyDict_SetItem(ns.get(), g_state.str_from_bytes, g_state.from_bytes_placeholder) < 0) return nullptr;
        with_placeholder =
            Ref::steal(PyTuple_Pack(3, PyTuple_GET_ITEM(args, 0), PyTuple_GET_ITEM(args, 1), ns.get()));
        if (!with_placeholder) return nullptr;
    }
    Ref cls = Ref::steal(PyType_Type.tp_new(meta, with_placeholder ? with_placeholder.get() : args, kwds));
    if (!cls || settle_from_bytes(cls.get()) < 0) return nullptr;
    return cls.release();
}

void message_type_dealloc(PyObject* self) noexcept {
    PyTypeObject* meta = Py_TYPE(self);
    // Untracked while the layout goes, which may run finalisers; tracked
    // again for type's own dealloc, which expects that (as subtype_dealloc
    // does for its bases).
    PyObject_GC_UnTrack(self);
    std::unique_ptr<Layout> layout(std::exchange(as_message_type(self)->layout, nullptr));
    layout.reset();
    PyObject_GC_Track(self);
    PyType_Type.tp_dealloc(self);
    Py_DECREF(meta);  // type's own dealloc leaves the (heap) metaclass alone
}

int message_type_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    for (const Layout* l = as_message_type(self)->layout; l; l = l->previous.get()) {
        for (const Slot& s : l->slots) Py_VISIT(s.value);
        Py_VISIT(l->init);
        Py_VISIT(l->kw_names);
    }
    return PyType_Type.tp_traverse(self, visit, arg);
}

int message_type_clear(PyObject* self) noexcept {
    auto* tp = reinterpret_cast<PyTypeObject*>(self);
    tp->tp_vectorcall = nullptr;
    std::unique_ptr<Layout> layout(std::exchange(as_message_type(self)->layout, nullptr));
    layout.reset();
    return PyType_Type.tp_clear(self);
}

PyType_Slot message_type_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The metaclass of message classes: calling a class constructs its instances natively\n"
                    "when the package has installed its constructor layout.")},
    {Py_tp_new, reinterpret_cast<void*>(message_type_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(message_type_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(message_type_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(message_type_clear)},
    {0, nullptr},
};

PyType_Spec message_type_spec = {
    "quillspar._classes.MessageType",
    static_cast<int>(sizeof(MessageTypeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    message_type_slots,
};

// ------------------------------------------------------------------- install

PyObject* install(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_Format(PyExc_TypeError, "install() takes 3 positional arguments (%zd given)", nargs);
            return nullptr;
        }
        PyObject* cls = args[0];
        PyObject* names = args[1];
        PyObject* defaults = args[2];
        if (!PyObject_TypeCheck(cls, g_state.message_type)) {
            PyErr_SetString(PyExc_TypeError, "install() needs a class made by MessageType");
            return nullptr;
        }
        if (!PyTuple_CheckExact(names) || !PyTuple_CheckExact(defaults) ||
            PyTuple_GET_SIZE(names) != PyTuple_GET_SIZE(defaults)) {
            PyErr_SetString(PyExc_TypeError, "install() needs two tuples of the same length");
            return nullptr;
        }
        auto* tp = reinterpret_cast<PyTypeObject*>(cls);
        if (!plain_construction(tp)) Py_RETURN_FALSE;
        Ref dict = Ref::steal(PyType_GetDict(tp));
        if (!dict) return nullptr;
        auto layout = std::make_unique<Layout>();
        PyObject* init = nullptr;
        if (PyDict_GetItemRef(dict.get(), g_state.str_init, &init) < 0) return nullptr;
        layout->init = init;
        if (!init || !PyFunction_Check(init)) Py_RETURN_FALSE;
        const Py_ssize_t n = PyTuple_GET_SIZE(names);
        layout->slots.reserve(static_cast<std::size_t>(n));
        layout->kw_source.reset(new std::int32_t[static_cast<std::size_t>(n)]);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* name = PyTuple_GET_ITEM(names, i);
            if (!PyUnicode_CheckExact(name)) {
                PyErr_SetString(PyExc_TypeError, "install(): field names are str");
                return nullptr;
            }
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(dict.get(), name, &found) < 0) return nullptr;
            Ref descr = Ref::steal(found);
            // Only a slot of this very class, as __slots__ makes it.
            if (!descr || !Py_IS_TYPE(descr.get(), &PyMemberDescr_Type)) Py_RETURN_FALSE;
            auto* member = reinterpret_cast<PyMemberDescrObject*>(descr.get());
            if (member->d_common.d_type != tp || member->d_member->type != Py_T_OBJECT_EX ||
                (member->d_member->flags & Py_READONLY))
                Py_RETURN_FALSE;
            PyObject* d = PyTuple_GET_ITEM(defaults, i);
            Fill fill = d == reinterpret_cast<PyObject*>(&PyList_Type)   ? Fill::NewList
                        : d == reinterpret_cast<PyObject*>(&PyDict_Type) ? Fill::NewDict
                                                                         : Fill::Value;
            PyObject* interned = Py_NewRef(name);
            PyUnicode_InternInPlace(&interned);
            layout->slots.push_back(
                Slot{interned, member->d_member->offset, fill, fill == Fill::Value ? Py_NewRef(d) : nullptr});
        }
        layout->version = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
        MessageTypeObject* mt = as_message_type(cls);
        layout->previous.reset(mt->layout);
        mt->layout = layout.release();
        tp->tp_vectorcall = message_vectorcall;
        Py_RETURN_TRUE;
    });
}

}  // namespace

PyObject* new_message_type() noexcept {
    PyObject* t = PyType_FromSpecWithBases(&message_type_spec, reinterpret_cast<PyObject*>(&PyType_Type));
    if (!t) return nullptr;
    if (!PyType_HasFeature(reinterpret_cast<PyTypeObject*>(t), Py_TPFLAGS_HAVE_VECTORCALL)) {
        Py_DECREF(t);
        PyErr_SetString(PyExc_SystemError, "MessageType did not inherit the vectorcall protocol");
        return nullptr;
    }
    return t;
}

PyMethodDef install_def = {
    "install",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(install)),
    METH_FASTCALL,
    "install(cls, names, defaults) -> bool\n--\n\n"
    "Give a class of MessageType its native constructor: `names` are its slot\n"
    "fields in order, `defaults` what each gets when its keyword is missing (the\n"
    "types list or dict for a new empty one per instance). The class's own\n"
    "`__init__`, which must store exactly that, is used whenever the fast path\n"
    "does not apply. False, and nothing installed, when the class does not\n"
    "qualify (its own __new__ or __setattr__, a field that is not one of its\n"
    "slots).",
};

}  // namespace quillspar::classes
