// The Descriptor type: construction from compile_descriptor, the getters,
// ref_fields(), link(), and the entries of decode() and encode().
#include "descriptor.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "../decode/decoder.hpp"
#include "../encode/encoder.hpp"
#include "../py/descriptor.hpp"
#include "../py/errors.hpp"
#include "../py/ref.hpp"
#include "../py/state.hpp"
#include "../schema/compiler.hpp"
#include "args.hpp"

namespace quillspar {

namespace {

DescriptorObject* as_descriptor(PyObject* self) noexcept { return reinterpret_cast<DescriptorObject*>(self); }

// Receiver check: true when `self` is a Descriptor, else TypeError.
bool check_receiver(PyObject* self) noexcept {
    if (!is_descriptor(self)) {
        raise_not_convertible(self, "Descriptor");
        return false;
    }
    return true;
}

class SharedAccess {
public:
    explicit SharedAccess(PyObject* self) noexcept : b_(as_descriptor(self)) {
        if (!b_.ok()) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    bool ok() const noexcept { return b_.ok(); }

private:
    SharedBorrow b_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(PyObject* self) noexcept : d_(as_descriptor(self)) {
        if (!d_->borrow.try_exclusive()) {
            d_ = nullptr;
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ~ExclusiveAccess() {
        if (d_) d_->borrow.release_exclusive();
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    bool ok() const noexcept { return d_ != nullptr; }

private:
    DescriptorObject* d_;
};

PyObject* descriptor_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref name = Ref::steal(PyType_GetName(type));
    if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

void descriptor_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_descriptor(self)->state.~DescriptorState();  // noexcept: destructors do not throw
    tp->tp_free(self);
    Py_DECREF(tp);
}

// A Descriptor and the message class it is linked to refer to each other (the
// class through `__quillspar__`, the descriptor through its link table), so
// both take part in cyclic garbage collection.
int descriptor_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    for (auto& [number, obj] : as_descriptor(self)->state.links) Py_VISIT(obj.get());
    return 0;
}

int descriptor_clear(PyObject* self) noexcept {
    DescriptorObject* d = as_descriptor(self);
    // A descriptor in use by an encode, decode or link is reachable and is
    // never cleared; should it be, the cycle is left for a later collection.
    if (!d->borrow.try_exclusive()) return 0;
    DescriptorState& st = d->state;
    // Released on return, once the table is consistent again: a finaliser
    // may run then.
    auto taken = std::move(st.links);
    st.links.clear();
    std::fill(st.field_links.begin(), st.field_links.end(), nullptr);
    st.linked = false;
    d->borrow.release_exclusive();
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_receiver(self)) return nullptr;
        SharedAccess access(self);
        if (!access.ok()) return nullptr;
        const std::string& n = as_descriptor(self)->state.schema.name;
        return PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size()));
    });
}

PyObject* get_is_linked(PyObject* self, void*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_receiver(self)) return nullptr;
        SharedAccess access(self);
        if (!access.ok()) return nullptr;
        return PyBool_FromLong(as_descriptor(self)->state.linked);
    });
}

PyObject* ref_fields(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_receiver(self)) return nullptr;
        SharedAccess access(self);
        if (!access.ok()) return nullptr;
        using schema::FieldKind;
        using schema::FieldTypeTag;
        std::vector<const schema::FieldSpec*> selected;
        for (const auto& f : as_descriptor(self)->state.schema.fields) {
            const auto& ft = f.field_type;
            bool refers = ft.tag == FieldTypeTag::Enum || ft.tag == FieldTypeTag::Message ||
                          (ft.tag == FieldTypeTag::Map && (ft.value == FieldKind::Enum || ft.value == FieldKind::Message));
            if (refers && f.type_name) selected.push_back(&f);
        }
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(selected.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < selected.size(); ++i) {
            const auto& tn = *selected[i]->type_name;
            Ref num = Ref::steal(PyLong_FromUnsignedLong(selected[i]->number));
            if (!num) return nullptr;
            Ref name = Ref::steal(PyUnicode_FromStringAndSize(tn.data(), static_cast<Py_ssize_t>(tn.size())));
            if (!name) return nullptr;
            PyObject* pair = PyTuple_Pack(2, num.get(), name.get());
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return list.release();
    });
}

const char* const kLinkParams[] = {"mapping"};
const char* const kEncodeParams[] = {"instance"};
const char* const kDecodeParams[] = {"cls", "data"};
const char* const kCompileParams[] = {"data"};
constexpr Signature kLinkSig{"Descriptor.link()", kLinkParams, 1};
constexpr Signature kEncodeSig{"Descriptor.encode()", kEncodeParams, 1};
constexpr Signature kDecodeSig{"Descriptor.decode()", kDecodeParams, 2};
constexpr Signature kCompileSig{"compile_descriptor()", kCompileParams, 1};

// Stores `value` (a reference is taken here) under `number`, replacing and
// then releasing an earlier entry.
void store_link(DescriptorState& st, std::uint32_t number, PyObject* value) {
    Ref& slot = st.links[number];
    Ref old = std::exchange(slot, Ref::borrow(value));
    for (std::size_t i = 0; i < st.schema.fields.size(); ++i)
        if (st.schema.fields[i].number == number) st.field_links[i] = value;
    // `old` is released here, after the table is consistent again.
}

PyObject* link(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* mapping;
        if (!bind_args(kLinkSig, args, nargsf, kwnames, &mapping)) return nullptr;
        if (!check_receiver(self)) return nullptr;
        ExclusiveAccess access(self);
        if (!access.ok()) return nullptr;
        if (!PyDict_Check(mapping)) return raise_argument_type("mapping", mapping, "PyDict");

        DescriptorState& st = as_descriptor(self)->state;
        Ref dict = Ref::borrow(mapping);
        const Py_ssize_t initial = PyDict_GET_SIZE(mapping);
        Py_ssize_t pos = 0, seen = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            ++seen;
            static_assert(sizeof(long) == 8, "every field number fits a C long");
            long n = PyLong_AsLong(k.get());
            if (n == -1 && PyErr_Occurred()) return nullptr;
            if (n < 0 || n > 0xFFFFFFFFL) {
                PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
                return nullptr;
            }
            store_link(st, static_cast<std::uint32_t>(n), v.get());
            k.reset();
            v.reset();
            if (PyDict_GET_SIZE(mapping) != initial) return raise_panic("dictionary changed size during iteration");
            if (seen > initial) return raise_panic("dictionary keys changed during iteration");
        }
        st.linked = true;
        Py_RETURN_NONE;
    });
}

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* instance;
        if (!bind_args(kEncodeSig, args, nargsf, kwnames, &instance)) return nullptr;
        if (!check_receiver(self)) return nullptr;
        SharedAccess access(self);
        if (!access.ok()) return nullptr;
        return encode::encode_to_bytes(instance, as_descriptor(self));
    });
}

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* argv[2];
        if (!bind_args(kDecodeSig, args, nargsf, kwnames, argv)) return nullptr;
        if (!check_receiver(self)) return nullptr;
        SharedAccess access(self);
        if (!access.ok()) return nullptr;
        PyObject *cls = argv[0], *data = argv[1];
        if (!PyType_Check(cls)) return raise_argument_type("cls", cls, "PyType");
        if (!PyBytes_Check(data)) return raise_argument_type("data", data, "PyBytes");
        Ref keep = Ref::borrow(data);
        return decode::decode_message(cls, as_descriptor(self),
                                      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                                      static_cast<std::size_t>(PyBytes_GET_SIZE(data)), 0);
    });
}

// A new Descriptor for a compiled schema (new reference), or nullptr.
PyObject* new_descriptor(schema::MessageSchema&& schema) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyTypeObject* t = descriptor_type();
        // Field names as interned strings, made once here and reused by every
        // encode and decode. Everything that can fail or throw happens before
        // the object exists, so a failure leaves nothing behind.
        const std::size_t n = schema.fields.size();
        std::vector<Ref> names;
        names.reserve(n);
        for (const auto& f : schema.fields) {
            PyObject* s = PyUnicode_FromStringAndSize(f.name.data(), static_cast<Py_ssize_t>(f.name.size()));
            if (!s) return nullptr;
            PyUnicode_InternInPlace(&s);
            names.push_back(Ref::steal(s));
        }
        std::vector<PyObject*> field_links(n, nullptr);
        PyObject* obj = t->tp_alloc(t, 0);
        if (!obj) return nullptr;
        auto* d = as_descriptor(obj);
        new (&d->borrow) BorrowState();
        new (&d->state) DescriptorState();
        d->state.field_links = std::move(field_links);
        d->state.field_names = std::move(names);
        d->state.schema = std::move(schema);
        return obj;
    });
}

PyObject* compile_descriptor(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* data;
        if (!bind_args(kCompileSig, args, nargsf, kwnames, &data)) return nullptr;
        if (!PyBytes_Check(data)) return raise_argument_type("data", data, "PyBytes");
        auto result = schema::parse_descriptor(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                                               static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        if (auto* err = std::get_if<schema::DescriptorError>(&result)) {
            std::string msg = "bad descriptor: " + err->text();
            PyErr_SetString(PyExc_ValueError, msg.c_str());
            return nullptr;
        }
        return new_descriptor(std::get<schema::MessageSchema>(std::move(result)));
    });
}

PyGetSetDef descriptor_getset[] = {
    {"name", get_name, nullptr, "", nullptr},
    {"is_linked", get_is_linked, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef descriptor_methods[] = {
    {"ref_fields", ref_fields, METH_NOARGS,
     "ref_fields($self)\n--\n\n`(field_number, short_type_name)` for every field that references\n"
     "another class (enum, message, or a map with an enum/message value)."},
    {"link", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link)), METH_FASTCALL | METH_KEYWORDS,
     "link($self, mapping)\n--\n\nStore resolved `{field_number: class}` references and mark linked."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, instance)\n--\n\nEncode a message instance to protobuf wire bytes."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, cls, data)\n--\n\nDecode wire bytes into a new instance of `cls`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(descriptor_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(descriptor_clear)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "builtins.Descriptor",  // no module of its own: __module__ is "builtins"
    static_cast<int>(sizeof(DescriptorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    descriptor_slots,
};

}  // namespace

PyMethodDef compile_descriptor_def = {
    "compile_descriptor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile_descriptor)),
    METH_FASTCALL | METH_KEYWORDS,
    "compile_descriptor(data)\n--\n\nParse `DescriptorProto` bytes into a reusable [`Descriptor`]. Called once per\n"
    "message by the `message()` decorator at import time."};

Ref make_descriptor_type() noexcept {
    Ref t = Ref::steal(PyType_FromSpec(&descriptor_spec));
    if (!t) raise_panic_from_current("failed to create type object for Descriptor");
    return t;
}

}  // namespace quillspar
