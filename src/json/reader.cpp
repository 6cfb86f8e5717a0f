// Reader: the Python values of a message's JSON form to a new instance (see
// plan.hpp). Converts each known key's value, then calls the class with the
// fields given as keyword arguments, as the Python converter does.
#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "../py/depth.hpp"
#include "../py/ref.hpp"
#include "plan.hpp"
#include "reader.hpp"
#include "state.hpp"
#include "text.hpp"

namespace quillspar::json {


namespace {

PyObject* read_message(ReaderBody& b, PyObject* d, int depth) noexcept;

// The text of an ASCII str, or an empty view for any other str.
std::string_view ascii_view(PyObject* s) noexcept {
    if (!PyUnicode_IS_ASCII(s)) return {};
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
}

// Whether a str has no lone surrogate (so it is valid UTF-8).
bool valid_text(PyObject* s) noexcept {
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) return true;
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return false;
    }
    return true;
}

}  // namespace

// An integer of `kind` from an exact int or a string of digits; nullptr to give up.
PyObject* read_integer(Kind kind, PyObject* v) noexcept {
    const Range r = range_of(kind);
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) {
            if (kind != Kind::UInt64 || overflow < 0) return nullptr;
            const unsigned long long u = PyLong_AsUnsignedLongLong(v);
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
            return Py_NewRef(v);
        }
        if (n < r.lo || (n >= 0 && static_cast<unsigned long long>(n) > r.hi)) return nullptr;
        return Py_NewRef(v);
    }
    if (!PyUnicode_CheckExact(v)) return nullptr;
    auto parsed = parse_integer(ascii_view(v));
    if (!parsed) return nullptr;
    if (parsed->negative) {
        if (parsed->magnitude > static_cast<unsigned long long>(-(r.lo + 1)) + 1) return nullptr;
        if (parsed->magnitude == 0) return PyLong_FromLong(0);
        return PyLong_FromLongLong(static_cast<long long>(-(parsed->magnitude - 1)) - 1);
    }
    if (parsed->magnitude > r.hi) return nullptr;
    return PyLong_FromUnsignedLongLong(parsed->magnitude);
}

namespace {

// A finite double from an exact float, an exact int or a special's name; false to give up.
bool read_double(PyObject* v, double& out) noexcept {
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return std::isfinite(out);
    }
    if (PyLong_CheckExact(v)) {
        out = PyLong_AsDouble(v);
        return !(out == -1.0 && PyErr_Occurred());
    }
    if (PyUnicode_CheckExact(v)) {
        const std::string_view s = ascii_view(v);
        if (s == "NaN") out = NAN;
        else if (s == "Infinity") out = INFINITY;
        else if (s == "-Infinity") out = -INFINITY;
        else return false;
        return true;
    }
    return false;
}

}  // namespace

// One value (a field's only one, or an item of its list or map) as the
// field holds it: a new reference, or nullptr to give up.
PyObject* read_value(const InField& f, PyObject* v, int depth) noexcept {
    switch (f.kind) {
        case Kind::Int32:
        case Kind::UInt32:
        case Kind::Int64:
        case Kind::UInt64:
            return read_integer(f.kind, v);
        case Kind::Double: {
            if (PyFloat_CheckExact(v) && std::isfinite(PyFloat_AS_DOUBLE(v))) return Py_NewRef(v);
            double d;
            return read_double(v, d) ? PyFloat_FromDouble(d) : nullptr;
        }
        case Kind::Float: {
            double d;
            if (!read_double(v, d)) return nullptr;
            if (!std::isfinite(d)) return PyFloat_FromDouble(d);
            const float f32 = static_cast<float>(d);
            if (std::isinf(f32)) return nullptr;  // out of range for a float
            return PyFloat_FromDouble(static_cast<double>(f32));
        }
        case Kind::Bool:
            return PyBool_Check(v) ? Py_NewRef(v) : nullptr;
        case Kind::String:
            return PyUnicode_CheckExact(v) && valid_text(v) ? Py_NewRef(v) : nullptr;
        case Kind::Bytes: {
            if (!PyUnicode_CheckExact(v)) return nullptr;
            const std::string_view text = ascii_view(v);
            if (text.empty() && PyUnicode_GET_LENGTH(v) != 0) return nullptr;
            auto size = base64_canonical_size(text);
            if (!size) return nullptr;
            PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size));
            if (out) base64_decode(text, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)));
            return out;
        }
        case Kind::Enum:
        case Kind::NullEnum: {
            if (PyUnicode_CheckExact(v)) {
                PyObject* member = PyDict_GetItemWithError(f.aux.get(), v);  // borrowed
                return member ? Py_NewRef(member) : nullptr;
            }
            if (!PyLong_CheckExact(v)) return nullptr;
            int overflow = 0;
            const long n = PyLong_AsLongAndOverflow(v, &overflow);
            if (overflow || n < INT32_MIN || n > INT32_MAX) return nullptr;
            PyObject* member = PyDict_GetItemWithError(f.aux.get(), v);
            if (member) return Py_NewRef(member);
            return PyErr_Occurred() ? nullptr : Py_NewRef(v);
        }
        case Kind::Message: {
            ReaderBody* nested = as_reader(f.aux.get())->body;
            return nested && nested->index && PyDict_CheckExact(v) ? read_message(*nested, v, depth + 1) : nullptr;
        }
        case Kind::Call:
            return PyObject_CallOneArg(f.aux.get(), v);
    }
    return nullptr;
}

PyObject* read_map_key(Kind kind, PyObject* k) noexcept {
    if (!PyUnicode_CheckExact(k)) return nullptr;
    if (kind == Kind::String) return valid_text(k) ? Py_NewRef(k) : nullptr;
    if (kind == Kind::Bool) {
        const std::string_view s = ascii_view(k);
        if (s == "true") Py_RETURN_TRUE;
        if (s == "false") Py_RETURN_FALSE;
        return nullptr;
    }
    return read_integer(kind, k);
}

namespace {

// The value a field gets from a JSON value other than null (nullptr to give up).
PyObject* read_field(const InField& f, PyObject* v, int depth) noexcept {
    if (f.shape == Shape::Repeated) {
        if (!PyList_CheckExact(v)) return nullptr;
        const Py_ssize_t n = PyList_GET_SIZE(v);
        Ref out = Ref::steal(PyList_New(n));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i >= PyList_GET_SIZE(v)) return nullptr;
            Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
            PyObject* x = read_value(f, item.get(), depth);
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
            Ref key = Ref::steal(read_map_key(f.key_kind, k));
            if (!key) return nullptr;
            Ref hold = Ref::borrow(x);
            Ref value = Ref::steal(read_value(f, x, depth));
            if (!value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return out.release();
    }
    return read_value(f, v, depth);
}

// The keyword names of the fields in `given` (a new reference).
PyObject* keyword_names(ReaderBody& b, const std::size_t* given, std::size_t count) noexcept {
    const bool cacheable = b.fields.size() <= 64;
    std::uint64_t mask = 0;
    if (cacheable) {
        for (std::size_t j = 0; j < count; ++j) mask |= std::uint64_t{1} << given[j];
        for (const KwCache& c : b.kw_cache)
            if (c.names && c.mask == mask) return Py_NewRef(c.names.get());
    }
    PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(count));
    if (!names) return nullptr;
    for (std::size_t j = 0; j < count; ++j)
        PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(j), Py_NewRef(b.fields[given[j]].attr.get()));
    if (cacheable) {
        KwCache& slot = b.kw_cache[b.kw_next++ % b.kw_cache.size()];
        slot.mask = mask;
        slot.names = Ref::borrow(names);
    }
    return names;
}

// Converts the fields of `d` into `values` (by field index); false to give up.
bool read_fields(ReaderBody& b, PyObject* d, FieldValues& values, int depth) noexcept {
    const std::size_t n = b.fields.size();
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        PyObject* found = PyDict_GetItemWithError(b.index.get(), k);  // borrowed
        if (!found) {
            if (PyErr_Occurred() || !b.ignore) return false;
            continue;
        }
        const std::size_t i = PyLong_AsSize_t(found);
        if (i >= n) return false;
        const InField& f = b.fields[i];
        Ref hold = Ref::borrow(v);
        Ref value;
        if (v == Py_None) {
            if (f.null == Null::Unset) continue;
            value = Ref::steal(f.null == Null::Constant ? Py_NewRef(f.null_value.get())
                                                        : PyObject_CallOneArg(f.aux.get(), v));
        } else {
            value = Ref::steal(read_field(f, v, depth));
        }
        if (!value || values[i]) return false;  // values[i]: given twice, by both its names
        values[i] = value.release();
    }
    return true;
}

PyObject* read_message(ReaderBody& b, PyObject* d, int depth) noexcept {
    if (depth > kPlanDepth) return nullptr;
    RecursionGuard guard(" while reading JSON");
    if (!guard.ok()) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const std::size_t n = b.fields.size();
        FieldValues values(n);
        if (!read_fields(b, d, values, depth)) return nullptr;
        return make_instance(b, values);
    });
}

// ------------------------------------------------------------------- the type

PyObject* reader_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* cls;
    if ((kwargs && PyDict_GET_SIZE(kwargs)) || !PyArg_ParseTuple(args, "O!:Reader", &PyType_Type, &cls)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Reader(cls) takes no keyword arguments");
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto body = std::make_unique<ReaderBody>();
        body->cls = Ref::borrow(cls);
        as_reader(self.get())->body = body.release();
        as_reader(self.get())->vectorcall = reader_vectorcall;
        return self.release();
    });
}

bool read_field_spec(PyObject* spec, InField& f, int groups) {
    PyObject *attr, *aux, *null_value;
    int shape, kind, key_kind, oneof, null;
    if (!PyTuple_Check(spec) ||
        !PyArg_ParseTuple(spec, "UiiOiiiO", &attr, &shape, &kind, &aux, &key_kind, &oneof, &null, &null_value)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Reader.setup(): a field is a tuple");
        return false;
    }
    if (shape < 0 || shape > 3 || kind < 0 || kind >= kKindCount || key_kind < 0 || key_kind >= kKindCount ||
        oneof < -1 || oneof >= groups || null < 0 || null > 2) {
        PyErr_SetString(PyExc_ValueError, "Reader.setup(): unknown shape, kind, oneof or null rule");
        return false;
    }
    f.shape = static_cast<Shape>(shape);
    f.kind = static_cast<Kind>(kind);
    f.key_kind = static_cast<Kind>(key_kind);
    f.oneof = oneof;
    f.null = static_cast<Null>(null);
    PyObject* name = Py_NewRef(attr);
    PyUnicode_InternInPlace(&name);
    f.attr = Ref::steal(name);
    if (f.null == Null::Constant) f.null_value = Ref::borrow(null_value);
    if (f.null == Null::Convert && f.kind != Kind::Call) {
        PyErr_SetString(PyExc_ValueError, "Reader.setup(): only a converter takes null");
        return false;
    }
    switch (f.kind) {
        case Kind::Message:
            if (!PyObject_TypeCheck(aux, g_reader_type) || !as_reader(aux)->body) {
                PyErr_SetString(PyExc_TypeError, "Reader.setup(): a message field needs a Reader");
                return false;
            }
            break;
        case Kind::Call:
            if (!PyCallable_Check(aux)) {
                PyErr_SetString(PyExc_TypeError, "Reader.setup(): a converter must be callable");
                return false;
            }
            break;
        case Kind::Enum:
        case Kind::NullEnum:
            if (!PyDict_CheckExact(aux)) {
                PyErr_SetString(PyExc_TypeError, "Reader.setup(): an enum field needs its member table");
                return false;
            }
            break;
        default:
            break;
    }
    f.aux = Ref::borrow(aux);
    return true;
}

PyObject* reader_setup(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ReaderBody* b = as_reader(self)->body;
        if (!b) {
            PyErr_SetString(PyExc_RuntimeError, "Reader.setup(): the plan was cleared");
            return nullptr;
        }
        if (nargs != 4 || !PyTuple_Check(args[0]) || !PyDict_CheckExact(args[1]) || !PyLong_Check(args[3])) {
            PyErr_SetString(PyExc_TypeError, "Reader.setup(fields, index, ignore_unknown, oneofs)");
            return nullptr;
        }
        const int groups = PyLong_AsInt(args[3]);
        if (groups < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "Reader.setup(): oneofs >= 0");
            return nullptr;
        }
        std::vector<InField> fields(static_cast<std::size_t>(PyTuple_GET_SIZE(args[0])));
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (!read_field_spec(PyTuple_GET_ITEM(args[0], static_cast<Py_ssize_t>(i)), fields[i], groups))
                return nullptr;
        const int ignore = PyObject_IsTrue(args[2]);
        if (ignore < 0) return nullptr;
        std::vector<std::pair<std::string, std::size_t>> names;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(args[1], &pos, &k, &v)) {
            Py_ssize_t size;
            const char* utf8 = PyUnicode_Check(k) ? PyUnicode_AsUTF8AndSize(k, &size) : nullptr;
            const std::size_t i = utf8 && PyLong_Check(v) ? PyLong_AsSize_t(v) : fields.size();
            if (i >= fields.size()) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "Reader.setup(): index maps names to fields");
                return nullptr;
            }
            names.emplace_back(std::string(utf8, static_cast<std::size_t>(size)), i);
        }
        b->names = std::move(names);
        b->fields = std::move(fields);
        b->index = Ref::borrow(args[1]);
        b->ignore = ignore;
        b->groups = groups;
        b->kw_cache = {};
        Py_RETURN_NONE;
    });
}

// reader(value): a new instance, or None when the Python converter must do it.
PyObject* reader_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames) {
        PyErr_SetString(PyExc_TypeError, "a Reader takes one value");
        return nullptr;
    }
    ReaderBody* b = as_reader(self)->body;
    if (b && b->index && PyDict_CheckExact(args[0])) {
        Ref hold = Ref::borrow(self);  // keeps the plan alive through calls into Python code
        if (PyObject* out = read_message(*b, args[0], 0)) return out;
    }
    if (PyErr_Occurred() && !recoverable_error()) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

// reader.parse(text): a new instance from JSON text (str or bytes), or None
// when orjson and the Python values must do it.
PyObject* reader_parse(PyObject* self, PyObject* text) noexcept {
    ReaderBody* b = as_reader(self)->body;
    if (b && b->index) {
        Ref hold = Ref::borrow(self);
        const char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyUnicode_CheckExact(text)) {
            data = PyUnicode_AsUTF8AndSize(text, &size);  // fails on lone surrogates, as orjson does
        } else if (PyBytes_CheckExact(text)) {
            data = PyBytes_AS_STRING(text);
            size = PyBytes_GET_SIZE(text);
        }
        if (data) {
            Ref keep = Ref::borrow(text);
            if (PyObject* out = parse_text(*b, data, static_cast<std::size_t>(size), PyUnicode_CheckExact(text)))
                return out;
        }
    }
    if (PyErr_Occurred() && !recoverable_error()) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (const ReaderBody* b = as_reader(self)->body) {
        Py_VISIT(b->cls.get());
        for (const InField& f : b->fields) {
            Py_VISIT(f.aux.get());
            Py_VISIT(f.null_value.get());
        }
    }
    return 0;
}

int reader_clear(PyObject* self) noexcept {
    std::unique_ptr<ReaderBody> old(std::exchange(as_reader(self)->body, nullptr));
    return 0;
}

void reader_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reader_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef reader_methods[] = {
    {"setup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_setup)), METH_FASTCALL,
     "setup(fields, index, ignore_unknown, oneofs)\n--\n\n"
     "Give the plan its fields: tuples (attribute, shape, kind, aux, map key kind,\n"
     "oneof index or -1, null rule, null value); aux is the Reader of a message\n"
     "field, the converter of a Call field, the {name or number: member} table of\n"
     "an enum field. `index` maps each JSON name and field name to the field's\n"
     "position; null rules: 0 leaves the field unset, 1 gives it the null value,\n"
     "2 hands null to the converter."},
    {"parse", reader_parse, METH_O,
     "parse(text)\n--\n\n"
     "A new instance from JSON text (str or UTF-8 bytes), or None when the text\n"
     "is anything but plain JSON that the plan reads as it stands."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef reader_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ReaderObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("Reader(cls): the plan that makes instances of a message class from JSON values.\n"
                                  "Calling it gives the instance, or None when the Python converter must run.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, reader_members},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

}  // namespace

PyObject* make_instance(ReaderBody& b, FieldValues& values) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const std::size_t n = b.fields.size();
        // The given fields' values, after a spare slot for the vectorcall
        // offset, and their indexes.
        constexpr std::size_t kInline = 24;
        PyObject* inline_args[kInline + 1];
        std::size_t inline_given[kInline];
        std::unique_ptr<PyObject*[]> heap_args;
        std::unique_ptr<std::size_t[]> heap_given;
        PyObject** args = inline_args;
        std::size_t* given = inline_given;
        if (n > kInline) {
            heap_args = std::make_unique<PyObject*[]>(n + 1);
            heap_given = std::make_unique<std::size_t[]>(n);
            args = heap_args.get();
            given = heap_given.get();
        }
        std::size_t count = 0;
        std::uint64_t oneofs_set = 0;  // a bit per oneof, for the first 64
        for (std::size_t i = 0; i < n; ++i) {
            if (!values[i]) continue;
            given[count] = i;
            args[++count] = values[i];
            const int g = b.fields[i].oneof;
            if (g >= 0) {
                if (g >= 64) return nullptr;
                const std::uint64_t bit = std::uint64_t{1} << g;
                if (oneofs_set & bit) return nullptr;  // more than one member set
                oneofs_set |= bit;
            }
        }
        Ref names = Ref::steal(keyword_names(b, given, count));
        if (!names) return nullptr;
        return PyObject_Vectorcall(b.cls.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names.get());
    });
}

PyObject* new_reader_type() noexcept {
    PyType_Spec spec = {
        "quillspar._jsonc.Reader",
        static_cast<int>(sizeof(ReaderObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
        reader_slots,
    };
    return PyType_FromSpec(&spec);
}

}  // namespace quillspar::json
