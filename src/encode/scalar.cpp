#include "scalar.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "../py/errors.hpp"
#include "../py/ref.hpp"

namespace quillspar::encode {

using schema::FieldKind;

// Integer fields go through `long`, which must hold any int64 value.
static_assert(sizeof(long) == 8, "a C long of 64 bits is assumed");

bool out_of_memory() noexcept {
    PyErr_NoMemory();
    return false;
}

namespace {

// An interpreter call reported failure: make sure an exception is set.
bool failed() noexcept {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return false;
}

bool out_of_range() noexcept {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
}

// An int (or subclass: bool, IntEnum members) small enough for one digit:
// its value without a call. PyLong_AsLong would give the same, and for an int
// it runs no Python code either.
inline bool small_int(PyObject* v, long& out) noexcept {
    if (PyLong_Check(v) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) [[likely]] {
        out = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v)));
        return true;
    }
    return false;
}

inline bool as_long(PyObject* v, long& out) noexcept {
    if (small_int(v, out)) [[likely]]
        return true;
    out = PyLong_AsLong(v);
    return !(out == -1 && PyErr_Occurred());
}

bool as_int32(PyObject* v, std::int32_t& out) noexcept {
    long x;
    if (!as_long(v, x)) return false;
    if (x < INT32_MIN || x > INT32_MAX) return out_of_range();
    out = static_cast<std::int32_t>(x);
    return true;
}

bool as_uint32(PyObject* v, std::uint32_t& out) noexcept {
    long x;
    if (!as_long(v, x)) return false;
    if (x < 0 || x > 0xFFFFFFFFL) return out_of_range();
    out = static_cast<std::uint32_t>(x);
    return true;
}

bool as_uint64(PyObject* v, std::uint64_t& out) noexcept {
    long small;
    if (small_int(v, small) && small >= 0) [[likely]] {
        out = static_cast<std::uint64_t>(small);
        return true;
    }
    if (PyLong_Check(v)) {
        out = PyLong_AsUnsignedLongLong(v);
        return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
    }
    Ref index = Ref::steal(PyNumber_Index(v));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool as_double(PyObject* v, double& out) noexcept {
    if (PyFloat_CheckExact(v)) [[likely]] {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    out = PyFloat_AsDouble(v);
    return !(out == -1.0 && PyErr_Occurred());
}

[[gnu::noinline]] bool as_bool_slow(PyObject* v, bool& out) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    Ref module = Ref::steal(PyType_GetModuleName(t));
    if (!module) {
        PyErr_Clear();
    } else if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
        Ref name = Ref::steal(PyType_GetName(t));
        if (!name) return false;
        if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0) {
            auto slot = reinterpret_cast<inquiry>(PyType_GetSlot(t, Py_nb_bool));
            if (!slot) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                             reinterpret_cast<PyObject*>(t));
                return false;
            }
            int r = slot(v);
            if (r == 0 || r == 1) {
                out = r == 1;
                return true;
            }
            return failed();
        }
    }
    raise_not_convertible(v, "PyBool");
    return false;
}

inline bool as_bool(PyObject* v, bool& out) noexcept {
    if (PyBool_Check(v)) [[likely]] {
        out = v == Py_True;
        return true;
    }
    return as_bool_slow(v, out);
}

bool as_utf8(PyObject* v, const char*& s, Py_ssize_t& n) noexcept {
    if (!PyUnicode_Check(v)) {
        raise_not_convertible(v, "PyString");
        return false;
    }
    if (PyUnicode_IS_COMPACT_ASCII(v)) [[likely]] {
        // ASCII text is its own UTF-8 form.
        s = static_cast<const char*>(PyUnicode_DATA(v));
        n = PyUnicode_GET_LENGTH(v);
        return true;
    }
    s = PyUnicode_AsUTF8AndSize(v, &n);
    return s != nullptr;
}

// The bytes of a Bytes value: any sequence of integers 0..255, a str refused.
// `direct` points into the object for bytes and bytearray; otherwise the
// bytes are collected in `buf`.
bool extract_bytes(PyObject* v, const char*& direct, Py_ssize_t& n, std::string& buf) {
    if (PyBytes_CheckExact(v)) [[likely]] {
        direct = PyBytes_AS_STRING(v);
        n = PyBytes_GET_SIZE(v);
        return true;
    }
    if (PyByteArray_CheckExact(v)) {
        direct = PyByteArray_AS_STRING(v);
        n = PyByteArray_GET_SIZE(v);
        return true;
    }
    if (PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(v)) {
        raise_not_convertible(v, "Sequence");
        return false;
    }
    Py_ssize_t hint = PySequence_Size(v);
    if (hint < 0) PyErr_Clear();
    // The length is only a hint: a hostile __len__ must not make us allocate.
    else buf.reserve(static_cast<std::size_t>(hint < 65536 ? hint : 65536));
    Ref it = Ref::steal(PyObject_GetIter(v));
    if (!it) return false;
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        long b;
        if (!as_long(item.get(), b)) return false;
        if (b < 0 || b > 255) return out_of_range();
        buf.push_back(static_cast<char>(b));
    }
    if (PyErr_Occurred()) return false;
    direct = buf.data();
    n = static_cast<Py_ssize_t>(buf.size());
    return true;
}

// A Bytes value ready to be written: its bytes in place, or collected. A
// bytearray is held exported while a long copy lets signal handlers run, so
// that none can resize it under the copy.
class BytesValue {
public:
    BytesValue() = default;
    BytesValue(const BytesValue&) = delete;
    BytesValue& operator=(const BytesValue&) = delete;
    ~BytesValue() {
        if (view_.obj) PyBuffer_Release(&view_);
    }

    bool extract(PyObject* v) {
        if (!extract_bytes(v, s_, n_, buf_)) return false;
        if (PyByteArray_CheckExact(v) && static_cast<std::size_t>(n_) > kSignalCheckBytes) {
            if (PyObject_GetBuffer(v, &view_, PyBUF_SIMPLE) < 0) return false;
            s_ = static_cast<const char*>(view_.buf);
            n_ = view_.len;
        }
        return true;
    }
    bool empty() const noexcept { return n_ == 0; }
    bool write(wire::OutputBuffer& out) { return write_text(out, s_, static_cast<std::size_t>(n_)); }

private:
    const char* s_ = nullptr;
    Py_ssize_t n_ = 0;
    std::string buf_;
    Py_buffer view_{};
};

// Zero test of an int (or subclass), refusing more than 128 bits.
int int_is_zero(PyObject* v) {
    long small;
    if (small_int(v, small)) [[likely]]
        return small == 0;
    int overflow = 0;
    long x = PyLong_AsLongAndOverflow(v, &overflow);
    if (x == -1 && !overflow && PyErr_Occurred()) return -1;
    if (!overflow) return x == 0;
    unsigned char buf[16];
    Py_ssize_t need = PyLong_AsNativeBytes(v, buf, 16, Py_ASNATIVEBYTES_NATIVE_ENDIAN);
    if (need < 0) return -1;
    if (need > 16) {
        PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
        return -1;
    }
    return 0;  // it overflowed a long, so it is not zero
}

}  // namespace

bool write_text(wire::OutputBuffer& out, const char* s, std::size_t n) {
    if (n <= kSignalCheckBytes) [[likely]]
        return out.write_length_delimited(s, n) || out_of_memory();
    if (n > std::numeric_limits<std::size_t>::max() - 10 || !out.ensure(10 + n)) return out_of_memory();
    out.advance_to(wire::put_varint(out.cursor(), n));
    for (std::size_t done = 0; done < n; done += kSignalCheckBytes) {
        if (done && PyErr_CheckSignals() < 0) return false;
        out.put_bytes(s + done, std::min(kSignalCheckBytes, n - done));
    }
    return true;
}

bool write_scalar(wire::OutputBuffer& out, FieldKind kind, PyObject* v) {
    switch (kind) {
    case FieldKind::Double: {
        double d;
        if (!as_double(v, d)) return false;
        return out.write_fixed64(std::bit_cast<std::uint64_t>(d)) || out_of_memory();
    }
    case FieldKind::Float: {
        double d;
        if (!as_double(v, d)) return false;
        return out.write_fixed32(std::bit_cast<std::uint32_t>(static_cast<float>(d))) || out_of_memory();
    }
    case FieldKind::Int32: {
        std::int32_t x;
        if (!as_int32(v, x)) return false;
        return out.write_varint(static_cast<std::uint64_t>(static_cast<std::int64_t>(x))) || out_of_memory();
    }
    case FieldKind::Int64: {
        long x;
        if (!as_long(v, x)) return false;
        return out.write_varint(static_cast<std::uint64_t>(x)) || out_of_memory();
    }
    case FieldKind::UInt32: {
        std::uint32_t x;
        if (!as_uint32(v, x)) return false;
        return out.write_varint(x) || out_of_memory();
    }
    case FieldKind::UInt64: {
        std::uint64_t x;
        if (!as_uint64(v, x)) return false;
        return out.write_varint(x) || out_of_memory();
    }
    case FieldKind::SInt32: {
        std::int32_t x;
        if (!as_int32(v, x)) return false;
        return out.write_varint(wire::zigzag32(x)) || out_of_memory();
    }
    case FieldKind::SInt64: {
        long x;
        if (!as_long(v, x)) return false;
        return out.write_varint(wire::zigzag64(x)) || out_of_memory();
    }
    case FieldKind::Fixed32: {
        std::uint32_t x;
        if (!as_uint32(v, x)) return false;
        return out.write_fixed32(x) || out_of_memory();
    }
    case FieldKind::Fixed64: {
        std::uint64_t x;
        if (!as_uint64(v, x)) return false;
        return out.write_fixed64(x) || out_of_memory();
    }
    case FieldKind::SFixed32: {
        std::int32_t x;
        if (!as_int32(v, x)) return false;
        return out.write_fixed32(static_cast<std::uint32_t>(x)) || out_of_memory();
    }
    case FieldKind::SFixed64: {
        long x;
        if (!as_long(v, x)) return false;
        return out.write_fixed64(static_cast<std::uint64_t>(x)) || out_of_memory();
    }
    case FieldKind::Bool: {
        bool b;
        if (!as_bool(v, b)) return false;
        return out.write_byte(b ? 1 : 0) || out_of_memory();
    }
    case FieldKind::String: {
        const char* s;
        Py_ssize_t n;
        if (!as_utf8(v, s, n)) return false;
        return write_text(out, s, static_cast<std::size_t>(n));
    }
    case FieldKind::Bytes: {
        BytesValue b;
        return b.extract(v) && b.write(out);
    }
    default:
        raise_panic("write_scalar called with a non-scalar kind");
        return false;
    }
}

bool write_unless_default(wire::OutputBuffer& out, FieldKind kind, std::uint32_t number, PyObject* v) {
    // Each branch converts the value once, then decides on the converted
    // form, which is what would be written.
    auto tag = [&] { return out.write_tag(number, schema::wire_type_of(kind)) || out_of_memory(); };
    switch (kind) {
    case FieldKind::Double: {
        double d;
        if (!as_double(v, d)) return false;
        // Only +0.0 is the default: -0.0 keeps its sign through a round trip,
        // as the reference runtime does, and NaN is never a default.
        const auto bits = std::bit_cast<std::uint64_t>(d);
        if (bits == 0) return true;
        return tag() && (out.write_fixed64(bits) || out_of_memory());
    }
    case FieldKind::Float: {
        double d;
        if (!as_double(v, d)) return false;
        // Decided on the binary32 value: 1e-46 rounds to +0.0 and is left out,
        // -1e-46 rounds to -0.0 and is written.
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(d));
        if (bits == 0) return true;
        return tag() && (out.write_fixed32(bits) || out_of_memory());
    }
    case FieldKind::Bool: {
        bool b;
        if (!as_bool(v, b)) return false;
        return !b || (tag() && (out.write_byte(1) || out_of_memory()));
    }
    case FieldKind::String: {
        const char* s;
        Py_ssize_t n;
        if (!as_utf8(v, s, n)) return false;
        return n == 0 || (tag() && write_text(out, s, static_cast<std::size_t>(n)));
    }
    case FieldKind::Bytes: {
        BytesValue b;
        if (!b.extract(v)) return false;
        return b.empty() || (tag() && b.write(out));
    }
    case FieldKind::Enum: {
        long x;
        if (!as_long(v, x)) return false;
        if (x == 0) return true;
        if (x < INT32_MIN || x > INT32_MAX) return out_of_range();
        return (out.write_tag(number, wire::WireType::Varint) && out.write_varint(static_cast<std::uint64_t>(x))) ||
               out_of_memory();
    }
    case FieldKind::Message:
        raise_panic("write_unless_default called for a message field");
        return false;
    default: {
        // The integer kinds: __index__ once, then the zero test and the write
        // on the int it gave, which runs no more Python code.
        Ref index;
        if (!PyLong_Check(v)) [[unlikely]] {
            index = Ref::steal(PyNumber_Index(v));
            if (!index) return false;
            v = index.get();
        }
        int zero = int_is_zero(v);
        if (zero != 0) return zero == 1;
        return tag() && write_scalar(out, kind, v);
    }
    }
}

bool to_enum_number(PyObject* v, std::int32_t& number) { return as_int32(v, number); }

}  // namespace quillspar::encode
