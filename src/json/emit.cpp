// The compact JSON text of a message, written straight from its slots: the
// text that orjson writes for the values writer.cpp builds, without building
// them. Gives up (nullptr) in the same places as the value writer, and on
// anything orjson would refuse, so the Python path then words the error.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "../py/depth.hpp"
#include "../py/ref.hpp"
#include "plan.hpp"
#include "text.hpp"
#include "writer.hpp"

namespace quillspar::json {
namespace {

struct Emitter {
    std::string out;
    bool ascii = true;  // no byte above 0x7f written yet

    bool string(PyObject* s) {
        Py_ssize_t n;
        const char* utf8 = PyUnicode_AsUTF8AndSize(s, &n);  // fails on lone surrogates, as orjson does
        if (!utf8) return false;
        if (!PyUnicode_IS_ASCII(s)) ascii = false;
        append_json_string(out, {utf8, static_cast<std::size_t>(n)});
        return true;
    }

    bool finite(double d) {
        char* repr = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!repr) return false;
        append_float_repr(out, repr);
        PyMem_Free(repr);
        return true;
    }

    void special(double d) { out.append(d != d ? "\"NaN\"" : d > 0 ? "\"Infinity\"" : "\"-Infinity\""); }

    template <class Int>
    void integer(Int v, bool quoted) {
        char buf[24];
        const std::size_t n = decimal(v, buf);
        if (quoted) out.push_back('"');
        out.append(buf, n);
        if (quoted) out.push_back('"');
    }

    // An exact int as a JSON number (orjson's 64-bit range).
    bool int_object(PyObject* v) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) {
            integer(n, false);
            return true;
        }
        if (overflow < 0) return false;
        const unsigned long long u = PyLong_AsUnsignedLongLong(v);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        integer(u, false);
        return true;
    }

    bool message(WriterBody& b, PyObject* obj, int depth);
    bool value(const WriterBody& b, const OutField& f, PyObject* v, int depth);
    bool field(const WriterBody& b, const OutField& f, PyObject* v, int depth);
    bool python(PyObject* v, int depth);
};

// A value a converter returned (the special forms of the well-known types):
// exact JSON types only.
bool Emitter::python(PyObject* v, int depth) {
    if (v == Py_None) {
        out.append("null");
        return true;
    }
    if (v == Py_True || v == Py_False) {
        out.append(v == Py_True ? "true" : "false");
        return true;
    }
    PyTypeObject* tp = Py_TYPE(v);
    if (tp == &PyUnicode_Type) return string(v);
    if (tp == &PyLong_Type) return int_object(v);
    if (tp == &PyFloat_Type) {
        const double d = PyFloat_AS_DOUBLE(v);
        return std::isfinite(d) && finite(d);
    }
    if (depth > kPlanDepth) return false;
    RecursionGuard guard(" while writing JSON");
    if (!guard.ok()) return false;
    if (tp == &PyList_Type) {
        out.push_back('[');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (i) out.push_back(',');
            Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
            if (!python(item.get(), depth + 1)) return false;
        }
        out.push_back(']');
        return true;
    }
    if (tp == &PyDict_Type) {
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        bool first = true;
        while (PyDict_Next(v, &pos, &k, &x)) {
            if (!PyUnicode_CheckExact(k)) return false;
            if (!first) out.push_back(',');
            first = false;
            Ref hold = Ref::borrow(x);
            if (!string(k)) return false;
            out.push_back(':');
            if (!python(x, depth + 1)) return false;
        }
        out.push_back('}');
        return true;
    }
    return false;
}

bool Emitter::value(const WriterBody& b, const OutField& f, PyObject* v, int depth) {
    switch (f.kind) {
        case Kind::Double: {
            double d;
            if (!double_of(v, d)) return false;
            if (!std::isfinite(d)) {
                special(d);
                return true;
            }
            return finite(d);
        }
        case Kind::Float: {
            double d;
            if (!double_of(v, d)) return false;
            const float f32 = static_cast<float>(d);
            if (!std::isfinite(d) || std::isinf(f32)) {
                special(d);
                return true;
            }
            auto shortest = shortest_float32(f32);
            return shortest && finite(*shortest);
        }
        case Kind::Int32:
        case Kind::UInt32: {
            if (!PyLong_CheckExact(v)) return false;
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            const Range r = range_of(f.kind);
            if (overflow || n < r.lo || n > static_cast<long long>(r.hi)) return false;
            integer(n, false);
            return true;
        }
        case Kind::Int64: {
            if (!PyLong_CheckExact(v)) return false;
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow) return false;
            integer(n, true);
            return true;
        }
        case Kind::UInt64: {
            if (!PyLong_CheckExact(v)) return false;
            const unsigned long long n = PyLong_AsUnsignedLongLong(v);
            if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
            integer(n, true);
            return true;
        }
        case Kind::Bool:
            if (!PyBool_Check(v)) return false;
            out.append(v == Py_True ? "true" : "false");
            return true;
        case Kind::String:
            return PyUnicode_CheckExact(v) && string(v);
        case Kind::Bytes: {
            if (!PyBytes_CheckExact(v)) return false;
            const std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(v));
            const std::size_t at = out.size() + 1;
            out.resize(at + base64_length(n) + 1, '"');
            out[at - 1] = '"';
            base64_encode(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(v)), n,
                          reinterpret_cast<unsigned char*>(out.data() + at));
            return true;
        }
        case Kind::Enum:
        case Kind::NullEnum: {
            std::int32_t n;
            if (b.enum_numbers) {
                if (PyLong_CheckExact(v)) return int_object(v);
                if (!enum_number(f, v, n)) return false;
                integer(n, false);
                return true;
            }
            if (f.kind == Kind::NullEnum) {
                out.append("null");
                return true;
            }
            if (!enum_number(f, v, n)) return false;
            if (PyObject* name = f.names.find(n)) return string(name);
            integer(n, false);
            return true;
        }
        case Kind::Message: {
            WriterBody* nested = as_writer(f.aux.get())->body;
            if (!nested || !nested->unique_keys || Py_TYPE(v) != reinterpret_cast<PyTypeObject*>(nested->cls.get()))
                return false;
            return message(*nested, v, depth + 1);
        }
        case Kind::Call: {
            Ref converted = Ref::steal(PyObject_CallOneArg(f.aux.get(), v));
            return converted && python(converted.get(), depth + 1);
        }
    }
    return false;
}

bool Emitter::field(const WriterBody& b, const OutField& f, PyObject* v, int depth) {
    if (f.shape == Shape::Repeated) {
        if (!PyList_CheckExact(v)) return false;
        out.push_back('[');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (i) out.push_back(',');
            Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
            if (!value(b, f, item.get(), depth)) return false;
        }
        out.push_back(']');
        return true;
    }
    if (f.shape == Shape::Map) {
        if (!PyDict_CheckExact(v)) return false;
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        bool first = true;
        while (PyDict_Next(v, &pos, &k, &x)) {
            if (!first) out.push_back(',');
            first = false;
            Ref hold = Ref::borrow(x);
            if (f.key_kind == Kind::String) {
                if (!PyUnicode_CheckExact(k) || !string(k)) return false;
            } else if (f.key_kind == Kind::Bool) {
                if (!PyBool_Check(k)) return false;
                out.append(k == Py_True ? "\"true\"" : "\"false\"");
            } else {
                if (!PyLong_CheckExact(k)) return false;
                const Range r = range_of(f.key_kind);
                if (f.key_kind == Kind::UInt64) {
                    const unsigned long long n = PyLong_AsUnsignedLongLong(k);
                    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
                    integer(n, true);
                } else {
                    int overflow = 0;
                    const long long n = PyLong_AsLongLongAndOverflow(k, &overflow);
                    if (overflow || n < r.lo || (n >= 0 && static_cast<unsigned long long>(n) > r.hi)) return false;
                    integer(n, true);
                }
            }
            out.push_back(':');
            if (!value(b, f, x, depth)) return false;
        }
        out.push_back('}');
        return true;
    }
    return value(b, f, v, depth);
}

bool Emitter::message(WriterBody& b, PyObject* obj, int depth) {
    if (depth > kPlanDepth) return false;
    RecursionGuard guard(" while writing JSON");
    if (!guard.ok() || !offsets_current(b)) return false;
    out.push_back('{');
    bool first = true;
    char* base = reinterpret_cast<char*>(obj);
    for (const OutField& f : b.fields) {
        PyObject* v = *reinterpret_cast<PyObject**>(base + f.offset);
        if (!v) return false;
        const int written = field_written(b, f, v);
        if (written < 0) return false;
        if (!written) continue;
        if (!first) out.push_back(',');
        first = false;
        out.append(f.key_text);
        Ref hold = Ref::borrow(v);
        if (!field(b, f, v, depth)) return false;
    }
    out.push_back('}');
    return true;
}

}  // namespace

PyObject* write_text(WriterBody& b, PyObject* obj) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!b.unique_keys) return nullptr;
        Emitter e;
        e.out.reserve(256);
        if (!e.message(b, obj, 0)) return nullptr;
        if (e.ascii) {
            PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(e.out.size()), 127);
            if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), e.out.data(), e.out.size());
            return text;
        }
        return PyUnicode_DecodeUTF8(e.out.data(), static_cast<Py_ssize_t>(e.out.size()), nullptr);
    });
}

}  // namespace quillspar::json
