// Writer: a message instance to the Python values of its JSON form (see
// plan.hpp). Reads the instance's slots at the offsets found when the plan
// was set up, for as long as the class's version tag says they still hold.
#include <Python.h>
#include <structmember.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "../py/depth.hpp"
#include "../py/ref.hpp"
#include "plan.hpp"
#include "state.hpp"
#include "text.hpp"
#include "writer.hpp"

namespace quillspar::json {
namespace {


// The member descriptor that `obj.<name>` reads on instances of `tp`, or
// nullptr when the attribute is anything but a plain object slot.
PyMemberDef* plain_slot(PyTypeObject* tp, PyObject* name) noexcept {
    PyObject* descr = _PyType_Lookup(tp, name);
    if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return nullptr;
    PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (def->type != Py_T_OBJECT_EX || (def->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) != 0) return nullptr;
    if (!PyType_IsSubtype(tp, PyDescr_TYPE(descr))) return nullptr;
    return def;
}


PyObject* ascii_text(const char* s, std::size_t n) noexcept {
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (out) std::memcpy(PyUnicode_1BYTE_DATA(out), s, n);
    return out;
}

PyObject* special_float(double d) noexcept {
    return Py_NewRef(d != d ? g_state.nan : d > 0 ? g_state.infinity : g_state.neg_infinity);
}



PyObject* write_message(WriterBody& b, PyObject* obj, int depth) noexcept;

// One value of a field (its only one, or an item of its list or map) as JSON
// writes it: a new reference, or nullptr to give up.
PyObject* write_value(const WriterBody& b, const OutField& f, PyObject* v, int depth) noexcept {
    switch (f.kind) {
        case Kind::Double: {
            if (PyFloat_CheckExact(v)) {
                const double d = PyFloat_AS_DOUBLE(v);
                return std::isfinite(d) ? Py_NewRef(v) : special_float(d);
            }
            double d;
            if (!double_of(v, d)) return nullptr;
            return PyFloat_FromDouble(d);
        }
        case Kind::Float: {
            double d;
            if (!double_of(v, d)) return nullptr;
            if (!std::isfinite(d)) return special_float(d);
            const float f32 = static_cast<float>(d);
            if (std::isinf(f32)) return special_float(d);  // rounds to infinity, as the wire would hold it
            auto shortest = shortest_float32(f32);
            return shortest ? PyFloat_FromDouble(*shortest) : nullptr;
        }
        case Kind::Int32:
        case Kind::UInt32: {
            if (!PyLong_CheckExact(v)) return nullptr;
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            const Range r = range_of(f.kind);
            if (overflow || n < r.lo || n > static_cast<long long>(r.hi)) return nullptr;
            return Py_NewRef(v);
        }
        case Kind::Int64: {
            if (!PyLong_CheckExact(v)) return nullptr;
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow) return nullptr;
            char buf[24];
            return ascii_text(buf, decimal(n, buf));
        }
        case Kind::UInt64: {
            if (!PyLong_CheckExact(v)) return nullptr;
            const unsigned long long n = PyLong_AsUnsignedLongLong(v);  // refuses negatives
            if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
            char buf[24];
            return ascii_text(buf, decimal(n, buf));
        }
        case Kind::Bool:
            return PyBool_Check(v) ? Py_NewRef(v) : nullptr;
        case Kind::String:
            return PyUnicode_CheckExact(v) ? Py_NewRef(v) : nullptr;
        case Kind::Bytes: {
            if (!PyBytes_CheckExact(v)) return nullptr;
            const std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(v));
            PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(base64_length(n)), 127);
            if (!out) return nullptr;
            base64_encode(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(v)), n, PyUnicode_1BYTE_DATA(out));
            return out;
        }
        case Kind::Enum:
        case Kind::NullEnum: {
            if (b.enum_numbers) {
                if (PyLong_CheckExact(v)) return Py_NewRef(v);  // written as it is, in range or not
                std::int32_t n;
                return enum_number(f, v, n) ? PyLong_FromLong(n) : nullptr;
            }
            if (f.kind == Kind::NullEnum) Py_RETURN_NONE;
            std::int32_t n;
            if (!enum_number(f, v, n)) return nullptr;
            if (PyObject* name = f.names.find(n)) return Py_NewRef(name);
            return PyLong_CheckExact(v) ? Py_NewRef(v) : PyLong_FromLong(n);
        }
        case Kind::Message: {
            WriterBody* nested = as_writer(f.aux.get())->body;
            if (!nested || Py_TYPE(v) != reinterpret_cast<PyTypeObject*>(nested->cls.get())) return nullptr;
            return write_message(*nested, v, depth + 1);
        }
        case Kind::Call:
            return PyObject_CallOneArg(f.aux.get(), v);
    }
    return nullptr;
}


PyObject* write_map_key(Kind kind, PyObject* k) noexcept {
    if (kind == Kind::String) return PyUnicode_CheckExact(k) ? Py_NewRef(k) : nullptr;
    if (kind == Kind::Bool) {
        if (!PyBool_Check(k)) return nullptr;
        return Py_NewRef(k == Py_True ? g_state.true_text : g_state.false_text);
    }
    if (!PyLong_CheckExact(k)) return nullptr;
    const Range r = range_of(kind);
    char buf[24];
    if (kind == Kind::UInt64) {
        const unsigned long long n = PyLong_AsUnsignedLongLong(k);
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        return ascii_text(buf, decimal(n, buf));
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(k, &overflow);
    if (overflow || n < r.lo || (n >= 0 && static_cast<unsigned long long>(n) > r.hi)) return nullptr;
    return ascii_text(buf, decimal(n, buf));
}

// The JSON value of a field (nullptr to give up).
PyObject* write_field(const WriterBody& b, const OutField& f, PyObject* v, int depth) noexcept {
    if (f.shape == Shape::Repeated) {
        if (!PyList_CheckExact(v)) return nullptr;
        const Py_ssize_t n = PyList_GET_SIZE(v);
        Ref out = Ref::steal(PyList_New(n));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i >= PyList_GET_SIZE(v)) return nullptr;  // a converter changed it
            Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
            PyObject* x = write_value(b, f, item.get(), depth);
            if (!x) return nullptr;
            PyList_SET_ITEM(out.get(), i, x);
        }
        return out.release();
    }
    if (f.shape == Shape::Map) {
        if (!PyDict_CheckExact(v)) return nullptr;
        Ref out = Ref::steal(PyDict_New());
        if (!out) return nullptr;
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        while (PyDict_Next(v, &pos, &k, &x)) {
            Ref key = Ref::steal(write_map_key(f.key_kind, k));
            if (!key) return nullptr;
            Ref hold = Ref::borrow(x);
            Ref value = Ref::steal(write_value(b, f, x, depth));
            if (!value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return out.release();
    }
    return write_value(b, f, v, depth);
}

PyObject* write_message(WriterBody& b, PyObject* obj, int depth) noexcept {
    if (depth > kPlanDepth) return nullptr;
    RecursionGuard guard(" while writing JSON");
    if (!guard.ok() || !offsets_current(b)) return nullptr;
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    char* base = reinterpret_cast<char*>(obj);
    for (const OutField& f : b.fields) {
        PyObject* v = *reinterpret_cast<PyObject**>(base + f.offset);
        if (!v) return nullptr;  // an empty slot: the attribute read raises
        Ref hold = Ref::borrow(v);
        const int written = field_written(b, f, v);
        if (written < 0) return nullptr;
        if (!written) continue;
        Ref value = Ref::steal(write_field(b, f, v, depth));
        if (!value || PyDict_SetItem(out.get(), f.key.get(), value.get()) < 0) return nullptr;
    }
    return out.release();
}

// ------------------------------------------------------------------- the type

PyObject* writer_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* cls;
    if ((kwargs && PyDict_GET_SIZE(kwargs)) || !PyArg_ParseTuple(args, "O!:Writer", &PyType_Type, &cls)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Writer(cls) takes no keyword arguments");
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto body = std::make_unique<WriterBody>();
        body->cls = Ref::borrow(cls);
        as_writer(self.get())->body = body.release();
        as_writer(self.get())->vectorcall = writer_vectorcall;
        return self.release();
    });
}

bool read_field_spec(PyTypeObject* cls, PyObject* spec, OutField& f) {
    PyObject *attr, *key, *aux;
    int shape, kind, key_kind;
    if (!PyTuple_Check(spec) || !PyArg_ParseTuple(spec, "UUiiOi", &attr, &key, &shape, &kind, &aux, &key_kind)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Writer.setup(): a field is a tuple");
        return false;
    }
    if (shape < 0 || shape > 3 || kind < 0 || kind >= kKindCount || key_kind < 0 || key_kind >= kKindCount) {
        PyErr_SetString(PyExc_ValueError, "Writer.setup(): unknown shape or kind");
        return false;
    }
    f.shape = static_cast<Shape>(shape);
    f.kind = static_cast<Kind>(kind);
    f.key_kind = static_cast<Kind>(key_kind);
    if (f.shape == Shape::Singular && (f.kind == Kind::Message || f.kind == Kind::Call)) {
        PyErr_SetString(PyExc_ValueError, "Writer.setup(): message fields have presence");
        return false;
    }
    PyObject* name = Py_NewRef(attr);
    PyUnicode_InternInPlace(&name);
    f.attr = Ref::steal(name);
    f.key = Ref::borrow(key);
    Py_ssize_t key_size;
    const char* key_utf8 = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (!key_utf8) return false;
    append_json_string(f.key_text, {key_utf8, static_cast<std::size_t>(key_size)});
    f.key_text.push_back(':');
    const PyMemberDef* def = plain_slot(cls, name);
    if (!def) {
        PyErr_Format(PyExc_TypeError, "Writer.setup(): %R is not a slot of %s", name, cls->tp_name);
        return false;
    }
    f.offset = def->offset;
    switch (f.kind) {
        case Kind::Message:
            if (!PyObject_TypeCheck(aux, g_writer_type)) {
                PyErr_SetString(PyExc_TypeError, "Writer.setup(): a message field needs a Writer");
                return false;
            }
            f.aux = Ref::borrow(aux);
            break;
        case Kind::Call:
            if (!PyCallable_Check(aux)) {
                PyErr_SetString(PyExc_TypeError, "Writer.setup(): a converter must be callable");
                return false;
            }
            f.aux = Ref::borrow(aux);
            break;
        case Kind::Enum:
        case Kind::NullEnum: {
            PyObject *enum_cls, *names;
            if (!PyTuple_Check(aux) || !PyArg_ParseTuple(aux, "OO!", &enum_cls, &PyDict_Type, &names)) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Writer.setup(): enum (class, names)");
                return false;
            }
            if (enum_cls != Py_None) {
                if (!PyType_Check(enum_cls) ||
                    !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(enum_cls), &PyLong_Type)) {
                    PyErr_SetString(PyExc_TypeError, "Writer.setup(): an enum class derives from int");
                    return false;
                }
                f.aux = Ref::borrow(enum_cls);
            }
            if (!f.names.fill(names)) return false;
            break;
        }
        default:
            break;
    }
    return true;
}

PyObject* writer_setup(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        WriterBody* b = as_writer(self)->body;
        if (!b) {
            PyErr_SetString(PyExc_RuntimeError, "Writer.setup(): the plan was cleared");
            return nullptr;
        }
        if (nargs != 3 || !PyTuple_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "Writer.setup(fields, include_defaults, enums_as_numbers)");
            return nullptr;
        }
        auto* tp = reinterpret_cast<PyTypeObject*>(b->cls.get());
        std::vector<OutField> fields(static_cast<std::size_t>(PyTuple_GET_SIZE(args[0])));
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (!read_field_spec(tp, PyTuple_GET_ITEM(args[0], static_cast<Py_ssize_t>(i)), fields[i]))
                return nullptr;
        bool unique = true;
        for (std::size_t i = 0; i < fields.size() && unique; ++i)
            for (std::size_t j = 0; j < i && unique; ++j) unique = fields[i].key_text != fields[j].key_text;
        const int defaults = PyObject_IsTrue(args[1]);
        const int numbers = PyObject_IsTrue(args[2]);
        if (defaults < 0 || numbers < 0) return nullptr;
        b->fields = std::move(fields);
        b->defaults = defaults;
        b->enum_numbers = numbers;
        b->unique_keys = unique;
        b->version = 0;
        Py_RETURN_NONE;
    });
}

// writer(message): its JSON value, or None when the Python converter must do it.
PyObject* writer_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames) {
        PyErr_SetString(PyExc_TypeError, "a Writer takes one message");
        return nullptr;
    }
    WriterBody* b = as_writer(self)->body;
    PyObject* obj = args[0];
    if (b && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(b->cls.get())) {
        Ref hold = Ref::borrow(self);  // keeps the plan alive through calls into Python code
        if (PyObject* out = write_message(*b, obj, 0)) return out;
    }
    if (PyErr_Occurred() && !recoverable_error()) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

// writer.text(message): its compact JSON text, or None when the Python path must write it.
PyObject* writer_text(PyObject* self, PyObject* obj) noexcept {
    WriterBody* b = as_writer(self)->body;
    if (b && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(b->cls.get())) {
        Ref hold = Ref::borrow(self);
        if (PyObject* out = write_text(*b, obj)) return out;
    }
    if (PyErr_Occurred() && !recoverable_error()) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (const WriterBody* b = as_writer(self)->body) {
        Py_VISIT(b->cls.get());
        for (const OutField& f : b->fields) Py_VISIT(f.aux.get());
    }
    return 0;
}

int writer_clear(PyObject* self) noexcept {
    std::unique_ptr<WriterBody> old(std::exchange(as_writer(self)->body, nullptr));
    return 0;
}

void writer_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    writer_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef writer_methods[] = {
    {"setup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_setup)), METH_FASTCALL,
     "setup(fields, include_defaults, enums_as_numbers)\n--\n\n"
     "Give the plan its fields, in the order they are written: tuples (attribute,\n"
     "JSON key, shape, kind, aux, map key kind); aux is the Writer of a message\n"
     "field, the converter of a Call field, (enum class or None, {number: name})\n"
     "of an enum field, else None."},
    {"text", writer_text, METH_O,
     "text(message)\n--\n\n"
     "The message's compact JSON text (as orjson writes its JSON values), or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef writer_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(WriterObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Writer(cls): the plan that writes instances of a message class as JSON values.\n"
                                  "Calling it gives the dict, or None when the Python converter must run.")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, writer_members},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

}  // namespace

// Whether the slot offsets still give what attribute reads give. Any change
// to the class or a base changes its version tag, so the full check runs
// only after one.
bool offsets_current(WriterBody& b) noexcept {
    auto* tp = reinterpret_cast<PyTypeObject*>(b.cls.get());
    if (b.version != 0 && tp->tp_version_tag == b.version) [[likely]]
        return true;
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    for (const OutField& f : b.fields) {
        const PyMemberDef* def = plain_slot(tp, f.attr.get());
        if (!def || def->offset != f.offset) return false;
    }
    b.version = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
    return true;
}

// The double a double or float field holds: exact floats and ints only.
bool double_of(PyObject* v, double& out) noexcept {
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (PyLong_CheckExact(v)) {
        out = PyLong_AsDouble(v);
        return !(out == -1.0 && PyErr_Occurred());
    }
    return false;
}

// The number of an enum value: an exact int, or a member of the field's own
// enum class. False for anything else and for numbers beyond 32 bits.
bool enum_number(const OutField& f, PyObject* v, std::int32_t& out) noexcept {
    if (!PyLong_CheckExact(v) && (!f.aux || Py_TYPE(v) != reinterpret_cast<PyTypeObject*>(f.aux.get()))) return false;
    int overflow = 0;
    const long n = PyLong_AsLongAndOverflow(v, &overflow);
    if (overflow || n < INT32_MIN || n > INT32_MAX) return false;
    out = static_cast<std::int32_t>(n);
    return true;
}

// Whether a field without presence is written: its value is not the
// default. -1 to give up (a value whose truth only Python code can tell).
static int worth_writing(const OutField& f, PyObject* v) noexcept {
    if (v == Py_None) return 0;
    PyTypeObject* tp = Py_TYPE(v);
    if (tp == &PyFloat_Type) {
        const double d = PyFloat_AS_DOUBLE(v);
        return d != 0.0 || ((f.kind == Kind::Double || f.kind == Kind::Float) && std::signbit(d));  // -0.0 is written
    }
    if (tp == &PyLong_Type || tp == &PyBool_Type || tp == &PyUnicode_Type || tp == &PyBytes_Type ||
        (f.aux && tp == reinterpret_cast<PyTypeObject*>(f.aux.get()) &&
         (f.kind == Kind::Enum || f.kind == Kind::NullEnum)))
        return PyObject_IsTrue(v);
    return -1;
}

int field_written(const WriterBody& b, const OutField& f, PyObject* v) noexcept {
    switch (f.shape) {
        case Shape::Singular:
            return b.defaults ? 1 : worth_writing(f, v);
        case Shape::Optional:
            return v != Py_None;
        case Shape::Repeated:
        case Shape::Map:
            if (v == Py_None) return 0;
            return b.defaults || !((PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0) ||
                                   (PyDict_CheckExact(v) && PyDict_GET_SIZE(v) == 0));
    }
    return 1;
}

PyObject* new_writer_type() noexcept {
    PyType_Spec spec = {
        "quillspar._jsonc.Writer",
        static_cast<int>(sizeof(WriterObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
        writer_slots,
    };
    return PyType_FromSpec(&spec);
}

}  // namespace quillspar::json
