// The message decoder. One call of decode_level decodes one level of
// nesting: it reads the whole record, converting each value into its Python
// object as it is read, collects the fields in a keyword dictionary and calls
// the class once at the end. Nested messages recurse through decode_nested;
// a singular message field is decoded when its level has been read, from all
// of its occurrences at once (protobuf merges them). Records whose field the
// schema does not know, or whose wire type cannot hold the field, are skipped,
// or kept as raw bytes for the class when the schema asks for that.
#include "decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../py/depth.hpp"
#include "../py/descriptor.hpp"
#include "../py/errors.hpp"
#include "../py/nested.hpp"
#include "../py/ref.hpp"
#include "../py/state.hpp"
#include "../schema/schema.hpp"
#include "../wire/reader.hpp"
#include "../wire/utf8.hpp"
#include "path.hpp"

namespace quillspar::decode {

using schema::Cardinality;
using schema::FieldKind;
using schema::FieldSpec;
using schema::FieldTypeTag;
using wire::Span;
using wire::WireReader;
using wire::WireType;

namespace {

// "malformed protobuf data: <error>" for a reader that failed.
[[gnu::cold]] PyObject* raise_wire(const WireReader& r) noexcept {
    try {
        PyErr_Format(PyExc_ValueError, "malformed protobuf data: %s", r.error.text().c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// The same, for a function that reports failure as false.
[[gnu::cold]] bool wire_failed(const WireReader& r) noexcept {
    raise_wire(r);
    return false;
}

[[gnu::noinline]] PyObject* raise_bad_utf8(const std::uint8_t* s, std::size_t n) noexcept {
    std::size_t bad_len = 1;
    std::size_t at = wire::utf8_invalid_at(s, n, &bad_len);
    if (at >= n) at = 0;  // unreachable: the interpreter's decoder and ours agree
    Ref exc = Ref::steal(PyUnicodeDecodeError_Create(
        "utf-8", reinterpret_cast<const char*>(s), static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(at),
        static_cast<Py_ssize_t>(at + bad_len), "invalid utf-8 in string field"));
    if (exc) PyErr_SetObject(PyExc_UnicodeDecodeError, exc.get());
    return nullptr;
}

// Copies n >= 2 bytes from `src` to `dst` and tells whether they were all
// ASCII, in one pass and without a call: short strings are covered by two
// overlapping loads and stores instead of a loop over their bytes.
inline bool copy_ascii(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
    auto move = [dst, src](std::size_t at, auto width) {
        decltype(width) w;
        std::memcpy(&w, src + at, sizeof w);
        std::memcpy(dst + at, &w, sizeof w);
        return static_cast<std::uint64_t>(w);
    };
    std::uint64_t acc;
    if (n >= 8) {
        acc = move(n - 8, std::uint64_t{});
        for (std::size_t i = 0; i + 8 < n; i += 8) acc |= move(i, std::uint64_t{});
    } else if (n >= 4) {
        acc = move(0, std::uint32_t{}) | move(n - 4, std::uint32_t{});
    } else {
        acc = move(0, std::uint16_t{}) | move(n - 2, std::uint16_t{});
    }
    return (acc & 0x8080808080808080ULL) == 0;
}

PyObject* make_str(Span s) noexcept {
    // Short ASCII text (names, keys, tags): copied straight into a new compact
    // str, the object the interpreter's decoder makes for it too. Lengths 0
    // and 1 stay with the interpreter, which hands out its shared objects.
    if (s.size >= 2 && s.size <= 128) [[likely]] {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(s.size), 127);
        if (!str) return nullptr;
        if (copy_ascii(PyUnicode_1BYTE_DATA(str), s.data, s.size)) [[likely]]
            return str;
        Py_DECREF(str);  // not ASCII after all: the interpreter decodes (and validates) it
    }
    PyObject* str = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s.data), static_cast<Py_ssize_t>(s.size), nullptr);
    if (str) [[likely]]
        return str;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
    PyErr_Clear();
    return raise_bad_utf8(s.data, s.size);
}

// One scalar of `kind`, read from `r`. New reference, or nullptr with an
// exception set (a wire error included).
// Inlined: each call site then has a dispatch of its own, which the branch
// predictor learns per site (a repeated string field always takes one arm).
[[gnu::always_inline]] inline PyObject* read_scalar(FieldKind kind, WireReader& r) noexcept {
    PyObject* v;
    switch (kind) {
    case FieldKind::Double: {
        std::uint64_t bits = r.read_fixed64();
        v = r.failed() ? nullptr : PyFloat_FromDouble(std::bit_cast<double>(bits));
        break;
    }
    case FieldKind::Float: {
        std::uint32_t bits = r.read_fixed32();
        v = r.failed() ? nullptr : PyFloat_FromDouble(static_cast<double>(std::bit_cast<float>(bits)));
        break;
    }
    case FieldKind::Int32: {
        std::uint64_t x = r.read_varint();
        v = r.failed() ? nullptr : PyLong_FromLong(static_cast<std::int32_t>(static_cast<std::uint32_t>(x)));
        break;
    }
    case FieldKind::Int64: {
        std::uint64_t x = r.read_varint();
        v = r.failed() ? nullptr : PyLong_FromLongLong(static_cast<std::int64_t>(x));
        break;
    }
    case FieldKind::UInt32: {
        std::uint64_t x = r.read_varint();
        v = r.failed() ? nullptr : PyLong_FromUnsignedLong(static_cast<std::uint32_t>(x));
        break;
    }
    case FieldKind::UInt64: {
        std::uint64_t x = r.read_varint();
        v = r.failed() ? nullptr : PyLong_FromUnsignedLongLong(x);
        break;
    }
    case FieldKind::SInt32: {
        std::uint32_t n = static_cast<std::uint32_t>(r.read_varint());
        v = r.failed() ? nullptr : PyLong_FromLong(static_cast<std::int32_t>((n >> 1) ^ (0u - (n & 1))));
        break;
    }
    case FieldKind::SInt64: {
        std::uint64_t n = r.read_varint();
        v = r.failed() ? nullptr : PyLong_FromLongLong(static_cast<std::int64_t>((n >> 1) ^ (0ull - (n & 1))));
        break;
    }
    case FieldKind::Fixed32: {
        std::uint32_t x = r.read_fixed32();
        v = r.failed() ? nullptr : PyLong_FromUnsignedLong(x);
        break;
    }
    case FieldKind::Fixed64: {
        std::uint64_t x = r.read_fixed64();
        v = r.failed() ? nullptr : PyLong_FromUnsignedLongLong(x);
        break;
    }
    case FieldKind::SFixed32: {
        std::uint32_t x = r.read_fixed32();
        v = r.failed() ? nullptr : PyLong_FromLong(static_cast<std::int32_t>(x));
        break;
    }
    case FieldKind::SFixed64: {
        std::uint64_t x = r.read_fixed64();
        v = r.failed() ? nullptr : PyLong_FromLongLong(static_cast<std::int64_t>(x));
        break;
    }
    case FieldKind::Bool: {
        std::uint64_t x = r.read_varint();
        v = r.failed() ? nullptr : Py_NewRef(x ? Py_True : Py_False);
        break;
    }
    case FieldKind::String: {
        Span s = r.read_length_delimited();
        if (r.failed()) return raise_wire(r);
        return make_str(s);
    }
    case FieldKind::Bytes: {
        Span s = r.read_length_delimited();
        if (r.failed()) return raise_wire(r);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.data), static_cast<Py_ssize_t>(s.size));
    }
    default:
        return raise_panic("read_scalar called with a non-scalar kind");
    }
    if (r.failed()) return raise_wire(r);
    return v;
}

// The value of an enum number: the linked class called with the number, or
// the number itself when there is no class.
PyObject* enum_value(std::int32_t number, PyObject* enum_cls) noexcept {
    Ref n = Ref::steal(PyLong_FromLong(number));
    if (!n || !enum_cls) return n.release();
    return PyObject_CallOneArg(enum_cls, n.get());
}

PyObject* enum_from_varint(WireReader& r, PyObject* enum_cls) noexcept {
    std::uint64_t x = r.read_varint();
    if (r.failed()) return raise_wire(r);
    return enum_value(static_cast<std::int32_t>(static_cast<std::uint32_t>(x)), enum_cls);
}


// The records that make up one message value, in input order. Protobuf
// merges a message that occurs more than once as if its encodings were
// concatenated, so the value is decoded once, from all of them.
class Occurrences {
public:
    bool empty() const noexcept { return !seen_; }
    std::size_t size() const noexcept { return seen_ ? (more_.empty() ? 1 : more_.size()) : 0; }
    const Span* data() const noexcept { return more_.empty() ? &first_ : more_.data(); }
    void add(Span s) {
        if (!seen_) {
            first_ = s;
            seen_ = true;
            return;
        }
        if (more_.empty()) more_.push_back(first_);
        more_.push_back(s);
    }
    void clear() noexcept {
        seen_ = false;
        more_.clear();
    }

private:
    Span first_{};
    bool seen_ = false;
    std::vector<Span> more_;  // every record, once there are two or more
};

PyObject* decode_level(PyObject* cls, DescriptorObject* desc, const Span* records, std::size_t count, int depth,
                       ErrorPath& path);

// A nested message: a new instance of the linked class decoded, with the
// descriptor that class carries, from the concatenation of `records`.
PyObject* decode_nested(PyObject* linked, const Span* records, std::size_t count, int depth, ErrorPath& path) {
    if (!linked) {
        PyErr_SetString(PyExc_RuntimeError, "message field was not linked to a class");
        return nullptr;
    }
    Ref cls = Ref::borrow(linked);  // the link table may not outlive Python code run below
    Ref holder;
    DescriptorObject* nested = class_descriptor(cls.get(), holder, "linked class is not a quillspar message");
    if (!nested) return nullptr;
    NestedBorrow access(nested);
    if (!access.ok()) return nullptr;
    if (!PyType_Check(cls.get())) return raise_not_convertible(cls.get(), "PyType");
    return decode_level(cls.get(), nested, records, count, depth + 1, path);
}

PyObject* decode_nested(PyObject* linked, Span body, int depth, ErrorPath& path) {
    return decode_nested(linked, &body, 1, depth, path);
}

PyObject* default_value(FieldKind kind, PyObject* linked, int depth, ErrorPath& path) {
    switch (kind) {
    case FieldKind::Double: case FieldKind::Float: return PyFloat_FromDouble(0.0);
    case FieldKind::Bool: return Py_NewRef(Py_False);
    case FieldKind::String: return PyUnicode_FromStringAndSize("", 0);
    case FieldKind::Bytes: return PyBytes_FromStringAndSize("", 0);
    case FieldKind::Enum: return enum_value(0, linked);
    case FieldKind::Message: return decode_nested(linked, Span{nullptr, 0}, depth, path);
    default: return PyLong_FromLong(0);
    }
}

// One map entry record: (key, value) stored into `dict`. Keys and scalar
// values are made as they are read (a later one replaces an earlier one); a
// message value is decoded at the end, from all of its records. A failure in
// the value is placed under its key when the key came first, as encoders
// write it.
bool decode_map_entry(PyObject* dict, Span entry, FieldKind key_kind, FieldKind value_kind, PyObject* linked,
                      int depth, ErrorPath& path) {
    Ref key, value;
    Occurrences messages;
    auto fail_value = [&]() {
        if (key) path.key(key.get());
        return false;
    };
    WireReader r(entry);
    while (!r.at_end()) {
        std::uint32_t number;
        WireType wt;
        if (!r.read_tag(number, wt)) return wire_failed(r);
        if (number == 1 && wt == schema::wire_type_of(key_kind)) {
            key = Ref::steal(read_scalar(key_kind, r));
            if (!key) return false;
        } else if (number == 2 && schema::is_scalar(value_kind) && wt == schema::wire_type_of(value_kind)) {
            value = Ref::steal(read_scalar(value_kind, r));
            if (!value) return fail_value();
        } else if (number == 2 && value_kind == FieldKind::Enum && wt == WireType::Varint) {
            value = Ref::steal(enum_from_varint(r, linked));
            if (!value) return fail_value();
        } else if (number == 2 && value_kind == FieldKind::Message && wt == WireType::Len) {
            Span body = r.read_length_delimited();
            if (r.failed()) return wire_failed(r);
            messages.add(body);
        } else {
            r.skip_field(wt);
            if (r.failed()) return wire_failed(r);
        }
    }
    if (!key) {
        key = Ref::steal(default_value(key_kind, nullptr, depth, path));
        if (!key) return false;
    }
    if (!messages.empty())
        value = Ref::steal(decode_nested(linked, messages.data(), messages.size(), depth, path));
    else if (!value)
        value = Ref::steal(default_value(value_kind, linked, depth, path));
    if (!value) return fail_value();
    return PyDict_SetItem(dict, key.get(), value.get()) == 0;
}

// Appends a value (new reference, or nullptr after a failure) to a list.
inline bool append_new(PyObject* list, PyObject* item) noexcept {
    if (!item) return false;
    int rc = PyList_Append(list, item);
    Py_DECREF(item);
    return rc == 0;
}

// Number of values in a packed run of a numeric kind, known before reading
// them: the byte length over the width for fixed-width kinds, the number of
// final bytes (high bit clear) for varints. A well-formed run holds exactly
// that many; a damaged one fails while it is read.
std::size_t packed_count(FieldKind kind, Span run) noexcept {
    switch (schema::wire_type_of(kind)) {
    case WireType::I64: return run.size / 8;
    case WireType::I32: return run.size / 4;
    default: break;
    }
    std::size_t n = 0;
    for (std::size_t i = 0; i < run.size; ++i) n += run.data[i] < 0x80;
    return n;
}

// A packed run of a numeric kind, appended to `list`. The values go into a
// list of the right size first, so the target grows once instead of once
// per value; no Python code runs here, so the order of work is not visible.
// n values of kind K into the first n items of a new list: one loop per
// kind, with the dispatch on the kind folded away.
// A long run gives signal handlers (Ctrl-C) their turn between chunks of
// this many values, a few megabytes of input.
constexpr std::size_t kSignalChunk = std::size_t{1} << 20;

template <FieldKind K>
bool fill_packed(PyObject* values, std::size_t n, WireReader& packed) noexcept {
    for (std::size_t start = 0; start < n; start += kSignalChunk) {
        if (start != 0 && PyErr_CheckSignals() < 0) [[unlikely]]
            return false;
        const std::size_t end = n - start > kSignalChunk ? start + kSignalChunk : n;
        for (std::size_t i = start; i < end; ++i) {
            PyObject* v = read_scalar(K, packed);
            if (!v) return false;
            PyList_SET_ITEM(values, static_cast<Py_ssize_t>(i), v);
        }
    }
    return true;
}

bool fill_packed(FieldKind kind, PyObject* values, std::size_t n, WireReader& packed) noexcept {
    switch (kind) {
    case FieldKind::Double: return fill_packed<FieldKind::Double>(values, n, packed);
    case FieldKind::Float: return fill_packed<FieldKind::Float>(values, n, packed);
    case FieldKind::Int32: return fill_packed<FieldKind::Int32>(values, n, packed);
    case FieldKind::Int64: return fill_packed<FieldKind::Int64>(values, n, packed);
    case FieldKind::UInt32: return fill_packed<FieldKind::UInt32>(values, n, packed);
    case FieldKind::UInt64: return fill_packed<FieldKind::UInt64>(values, n, packed);
    case FieldKind::SInt32: return fill_packed<FieldKind::SInt32>(values, n, packed);
    case FieldKind::SInt64: return fill_packed<FieldKind::SInt64>(values, n, packed);
    case FieldKind::Fixed32: return fill_packed<FieldKind::Fixed32>(values, n, packed);
    case FieldKind::Fixed64: return fill_packed<FieldKind::Fixed64>(values, n, packed);
    case FieldKind::SFixed32: return fill_packed<FieldKind::SFixed32>(values, n, packed);
    case FieldKind::SFixed64: return fill_packed<FieldKind::SFixed64>(values, n, packed);
    case FieldKind::Bool: return fill_packed<FieldKind::Bool>(values, n, packed);
    default: break;
    }
    raise_panic("packed run of a kind that is not numeric");
    return false;
}

bool decode_packed(PyObject* list, FieldKind kind, Span run) {
    if (run.size == 0) return true;
    const std::size_t n = packed_count(kind, run);
    WireReader packed(run);
    Ref values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!values) return false;
    if (!fill_packed(kind, values.get(), n, packed)) return false;
    if (!packed.at_end()) {
        // A partial value at the end: reading it gives the reader's error.
        PyObject* v = read_scalar(kind, packed);
        if (v) {  // unreachable: every complete value was counted
            Py_DECREF(v);
            raise_panic("packed run holds more values than counted");
        }
        return false;
    }
    return PyList_Extend(list, values.get()) == 0;
}

// A packed run of enum numbers, appended to `list`: each value is what the
// linked object makes of its number, called in input order, into a list of
// the right size that then extends `list` at once. On failure, `failed_at`
// is the index in `list` the failing value would have had.
bool decode_packed_enum(PyObject* list, Span run, PyObject* linked, Py_ssize_t& failed_at) {
    const Py_ssize_t before = PyList_GET_SIZE(list);
    const std::size_t n = packed_count(FieldKind::Enum, run);
    WireReader packed(run);
    Ref values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!values) {
        failed_at = before;
        return false;
    }
    for (std::size_t start = 0; start < n; start += kSignalChunk) {
        if (start != 0 && PyErr_CheckSignals() < 0) [[unlikely]] {
            failed_at = before + static_cast<Py_ssize_t>(start);
            return false;
        }
        const std::size_t end = n - start > kSignalChunk ? start + kSignalChunk : n;
        for (std::size_t i = start; i < end; ++i) {
            PyObject* v = enum_from_varint(packed, linked);
            if (!v) {
                failed_at = before + static_cast<Py_ssize_t>(i);
                return false;
            }
            PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), v);
        }
    }
    if (!packed.at_end()) {
        // A partial value at the end: reading it gives the reader's error.
        failed_at = before + static_cast<Py_ssize_t>(n);
        (void)packed.read_varint();
        if (packed.failed()) {
            raise_wire(packed);
            return false;
        }
        raise_panic("packed run holds more values than counted");  // unreachable: every complete value was counted
        return false;
    }
    return PyList_Extend(list, values.get()) == 0;
}

// Containers of the repeated and map fields of one level, by field index.
// Small schemas keep them on the stack.
// Only the first n slots are initialised and released, so a small record
// pays for its own fields, not for the inline capacity.
class Containers {
public:
    explicit Containers(std::size_t n) : n_(n) {
        if (n > kInline) heap_.resize(n);
        else std::fill(inline_, inline_ + n, nullptr);
    }
    ~Containers() {
        if (n_ <= kInline)
            for (std::size_t i = 0; i < n_; ++i) Py_XDECREF(inline_[i]);
    }
    Containers(const Containers&) = delete;
    Containers& operator=(const Containers&) = delete;

    PyObject* get(std::size_t i) const noexcept { return n_ > kInline ? heap_[i].get() : inline_[i]; }
    // Takes over a new reference.
    void set(std::size_t i, PyObject* c) noexcept {
        if (n_ > kInline) heap_[i] = Ref::steal(c);
        else inline_[i] = c;
    }

private:
    static constexpr std::size_t kInline = 24;
    std::size_t n_;
    PyObject* inline_[kInline];
    std::vector<Ref> heap_;
};

// The keyword arguments of one level's call, by keyword (schema.keyword_of),
// in the order a dictionary filled the same way would hold them: a keyword
// set again keeps its place, one removed and set again goes last. The class
// is then called through vectorcall with a tuple of the names, which a class
// with a vectorcall of its own takes as it is.
class Keywords {
public:
    explicit Keywords(std::size_t nkeys) : n_(nkeys) {
        if (n_ > kInline) {
            heap_values_.assign(n_, nullptr);
            heap_order_.reserve(n_);
        } else {
            std::fill(inline_values_, inline_values_ + n_, nullptr);
        }
    }
    ~Keywords() {
        PyObject** v = values();
        for (std::size_t i = 0; i < count_; ++i) Py_XDECREF(v[order()[i]]);
    }
    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;

    // Takes over a new reference.
    void set(std::uint32_t key, PyObject* value) {
        PyObject*& slot = values()[key];
        if (!slot) {
            if (n_ > kInline) heap_order_.push_back(key);
            else inline_order_[count_] = key;
            ++count_;
        }
        PyObject* old = std::exchange(slot, value);
        Py_XDECREF(old);
    }
    // False (nothing to remove) when the keyword is not set.
    bool remove(std::uint32_t key) {
        PyObject*& slot = values()[key];
        if (!slot) return false;
        std::uint32_t* o = order();
        std::uint32_t* at = std::find(o, o + count_, key);
        std::copy(at + 1, o + count_, at);
        if (n_ > kInline) heap_order_.pop_back();
        --count_;
        PyObject* old = std::exchange(slot, nullptr);
        Py_DECREF(old);
        return true;
    }
    // cls(**keywords): a new reference, or nullptr with an exception set.
    PyObject* call(PyObject* cls, const DescriptorState& st, PyObject* unknown_name) {
        if (count_ == 0) return PyObject_Vectorcall(cls, nullptr, 0, nullptr);
        Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count_)));
        if (!names) return nullptr;
        PyObject* inline_args[kInline];
        std::vector<PyObject*> heap_args;
        PyObject** args = inline_args;
        if (count_ > kInline) {
            heap_args.resize(count_);
            args = heap_args.data();
        }
        const std::uint32_t* o = order();
        const std::uint32_t nfields = static_cast<std::uint32_t>(st.field_names.size());
        for (std::size_t i = 0; i < count_; ++i) {
            const std::uint32_t key = o[i];
            PyObject* name = key < nfields ? st.field_names[key].get() : unknown_name;
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(name));
            args[i] = values()[key];
        }
        return PyObject_Vectorcall(cls, args, 0, names.get());
    }

private:
    static constexpr std::size_t kInline = 24;
    PyObject** values() noexcept { return n_ > kInline ? heap_values_.data() : inline_values_; }
    std::uint32_t* order() noexcept { return n_ > kInline ? heap_order_.data() : inline_order_; }

    std::size_t n_;
    std::size_t count_ = 0;
    PyObject* inline_values_[kInline];
    std::uint32_t inline_order_[kInline];
    std::vector<PyObject*> heap_values_;
    std::vector<std::uint32_t> heap_order_;
};

// The field index of the member of each oneof seen so far in one record, or -1.
class OneofMembers {
public:
    explicit OneofMembers(std::size_t n) : n_(n) {
        if (n > kInline) heap_.assign(n, -1);
        else std::fill(inline_, inline_ + n, -1);
    }
    std::size_t size() const noexcept { return n_; }
    int& operator[](std::size_t i) noexcept { return n_ > kInline ? heap_[i] : inline_[i]; }

private:
    static constexpr std::size_t kInline = 8;
    std::size_t n_;
    int inline_[kInline];
    std::vector<int> heap_;
};


// The occurrences of the singular message fields of one level, by their
// position in the schema's `message_fields`. The first record of each sits
// in a slot (small schemas keep the slots on the stack); the records of a
// field that occurs again, rare in practice, go to one list for the level.
class PendingMessages {
public:
    explicit PendingMessages(std::size_t n) : n_(n) {
        if (n > kInline) heap_.resize(n);
        else std::fill(inline_, inline_ + n, Slot{});
    }
    PendingMessages(const PendingMessages&) = delete;
    PendingMessages& operator=(const PendingMessages&) = delete;

    bool empty(std::size_t i) const noexcept { return !slot(i).seen; }
    bool merged(std::size_t i) const noexcept { return slot(i).merged; }
    void add(std::size_t i, Span s) {
        Slot& sl = slot(i);
        if (!sl.seen) sl = Slot{s, true, false};
        else {
            more_.emplace_back(i, s);
            sl.merged = true;
        }
    }
    void clear(std::size_t i) {
        Slot& sl = slot(i);
        if (sl.merged) std::erase_if(more_, [i](const auto& m) { return m.first == i; });
        sl = Slot{};
    }
    // The records of slot i, in input order; `count` gets their number. Valid
    // until the next call.
    const Span* records(std::size_t i, std::size_t& count) {
        const Slot& sl = slot(i);
        if (!sl.merged) {
            count = 1;
            return &sl.first;
        }
        gathered_.assign(1, sl.first);
        for (const auto& m : more_)
            if (m.first == i) gathered_.push_back(m.second);
        count = gathered_.size();
        return gathered_.data();
    }

private:
    struct Slot {
        Span first{};
        bool seen = false;
        bool merged = false;  // later records are in more_
    };
    Slot& slot(std::size_t i) noexcept { return n_ > kInline ? heap_[i] : inline_[i]; }
    const Slot& slot(std::size_t i) const noexcept { return n_ > kInline ? heap_[i] : inline_[i]; }

    static constexpr std::size_t kInline = 6;
    std::size_t n_;
    Slot inline_[kInline];
    std::vector<Slot> heap_;
    std::vector<std::pair<std::size_t, Span>> more_;
    std::vector<Span> gathered_;
};

// The raw records of the fields a schema does not know (or meets with a wire
// type that cannot hold them), in input order. Records that follow each other
// in the input stay one range; the bytes are copied only across a gap.
class UnknownRecords {
public:
    bool empty() const noexcept { return !run_begin_ && buffer_.empty(); }
    void add(const std::uint8_t* begin, const std::uint8_t* end) {
        if (run_begin_ && begin == run_end_) {
            run_end_ = end;
            return;
        }
        flush();
        run_begin_ = begin;
        run_end_ = end;
    }
    // The records as one new bytes object, or nullptr with an exception set.
    PyObject* take() {
        if (buffer_.empty())
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(run_begin_), run_end_ - run_begin_);
        flush();
        return PyBytes_FromStringAndSize(buffer_.data(), static_cast<Py_ssize_t>(buffer_.size()));
    }

private:
    void flush() {
        if (run_begin_) buffer_.append(reinterpret_cast<const char*>(run_begin_), run_end_ - run_begin_);
        run_begin_ = run_end_ = nullptr;
    }
    const std::uint8_t* run_begin_ = nullptr;
    const std::uint8_t* run_end_ = nullptr;
    std::string buffer_;
};

// A failure while a known field is handled: the field joins the path.
[[gnu::cold]] PyObject* fail_in_field(ErrorPath& path, const DescriptorState& st, std::size_t idx) noexcept {
    path.field(st.field_names[idx].get());
    return nullptr;
}

[[gnu::cold]] PyObject* fail_wire_in(const WireReader& r, ErrorPath& path, const DescriptorState& st,
                                     std::size_t idx) noexcept {
    raise_wire(r);
    return fail_in_field(path, st, idx);
}

// A failure in the next element of a repeated field.
[[gnu::cold]] PyObject* fail_in_element(ErrorPath& path, const DescriptorState& st, std::size_t idx,
                                        PyObject* list) noexcept {
    path.index(PyList_GET_SIZE(list));
    return fail_in_field(path, st, idx);
}

// Decodes one level of nesting from the concatenation of `records` (each a
// whole encoding of the message: a record never runs from one into the next)
// and calls `cls`. On failure, the parts of the path below this level are
// in `path`.
PyObject* decode_level(PyObject* cls, DescriptorObject* desc, const Span* records, std::size_t count, int depth,
                       ErrorPath& path) {
    if (depth >= kMaxDepth) [[unlikely]] {
        raise_too_deep();
        return nullptr;
    }
    RecursionGuard guard(" while decoding a protobuf message");
    if (!guard.ok()) return nullptr;

    const DescriptorState& st = desc->state;
    const schema::MessageSchema& sc = st.schema;
    const auto& fields = sc.fields;
    const std::size_t nfields = fields.size();

    Keywords kwargs(nfields + 1);  // the last one for the unknown fields
    const auto& keyword_of = sc.keyword_of;

    // Every repeated and map field is passed, empty or not, in schema order.
    Containers containers(nfields);
    for (std::uint32_t i : sc.container_fields) {
        PyObject* c = fields[i].field_type.tag == FieldTypeTag::Map ? PyDict_New() : PyList_New(0);
        if (!c) return nullptr;
        containers.set(i, c);
        kwargs.set(keyword_of[i], Py_NewRef(c));
    }

    // Members of one oneof replace each other: the last one in the data wins,
    // so the instance never holds two of them.
    OneofMembers oneof_member(sc.oneofs.size());
    PendingMessages pending(sc.message_fields.size());
    UnknownRecords unknown;
    const bool keep_unknown = sc.keep_unknown;


    for (std::size_t seg = 0; seg < count; ++seg) {
        WireReader r(records[seg]);
        while (!r.at_end()) {
            std::uint32_t number;
            WireType wt;
            if (!r.read_tag(number, wt)) return raise_wire(r);
            const int found = sc.find(number);
            if (found < 0) goto unknown_field;
            {
                const std::size_t idx = static_cast<std::size_t>(found);
                const FieldSpec& f = fields[idx];
                const FieldKind kind = f.field_type.kind;
                PyObject* linked = st.field_links[idx];

                if (f.field_type.tag == FieldTypeTag::Map) {
                    if (wt != WireType::Len) goto unknown_field;
                    Span entry = r.read_length_delimited();
                    if (r.failed()) return fail_wire_in(r, path, st, idx);
                    if (!decode_map_entry(containers.get(idx), entry, f.field_type.key, f.field_type.value, linked,
                                          depth, path))
                        return fail_in_field(path, st, idx);
                    continue;
                }

                if (f.cardinality == Cardinality::Repeated) {
                    PyObject* list = containers.get(idx);
                    switch (f.field_type.tag) {
                    case FieldTypeTag::Scalar:
                        if (wt == WireType::Len && kind != FieldKind::String && kind != FieldKind::Bytes) {
                            Span run = r.read_length_delimited();
                            if (r.failed()) return fail_wire_in(r, path, st, idx);
                            if (!decode_packed(list, kind, run)) return fail_in_field(path, st, idx);
                        } else if (wt == schema::wire_type_of(kind)) {
                            if (!append_new(list, read_scalar(kind, r))) return fail_in_element(path, st, idx, list);
                        } else {
                            goto unknown_field;
                        }
                        break;
                    case FieldTypeTag::Enum:
                        if (wt == WireType::Varint) {
                            if (!append_new(list, enum_from_varint(r, linked))) return fail_in_element(path, st, idx, list);
                        } else if (wt == WireType::Len) {
                            Span run = r.read_length_delimited();
                            if (r.failed()) return fail_wire_in(r, path, st, idx);
                            Py_ssize_t failed_at = 0;
                            if (!decode_packed_enum(list, run, linked, failed_at)) [[unlikely]] {
                                path.index(failed_at);
                                return fail_in_field(path, st, idx);
                            }
                        } else {
                            goto unknown_field;
                        }
                        break;
                    case FieldTypeTag::Message: {
                        if (wt != WireType::Len) goto unknown_field;
                        Span body = r.read_length_delimited();
                        if (r.failed()) return fail_wire_in(r, path, st, idx);
                        if (!append_new(list, decode_nested(linked, body, depth, path))) return fail_in_element(path, st, idx, list);
                        break;
                    }
                    case FieldTypeTag::Map:
                        break;
                    }
                    continue;
                }

                // Singular and optional fields: a later occurrence replaces the
                // value, except that message values merge.
                Ref value;
                Span body{};
                switch (f.field_type.tag) {
                case FieldTypeTag::Scalar:
                    if (wt != schema::wire_type_of(kind)) goto unknown_field;
                    value = Ref::steal(read_scalar(kind, r));
                    break;
                case FieldTypeTag::Enum:
                    if (wt != WireType::Varint) goto unknown_field;
                    value = Ref::steal(enum_from_varint(r, linked));
                    break;
                case FieldTypeTag::Message: {
                    if (wt != WireType::Len) goto unknown_field;
                    body = r.read_length_delimited();
                    if (r.failed()) return fail_wire_in(r, path, st, idx);
                    // The first occurrence is decoded at once, so nested classes
                    // are made in input order. A later one makes the level decode
                    // all of them together at its end (a stand-in keeps the
                    // keyword at its first position meanwhile).
                    if (pending.empty(static_cast<std::size_t>(sc.message_slot[idx])))
                        value = Ref::steal(decode_nested(linked, body, depth, path));
                    else
                        value = Ref::borrow(Py_None);
                    break;
                }
                case FieldTypeTag::Map:
                    break;
                }
                if (!value) return fail_in_field(path, st, idx);
                if (f.in_oneof) {
                    int& current = oneof_member[*f.oneof_index];
                    if (current >= 0 && static_cast<std::size_t>(current) != idx) {
                        // Another member replaces this one. A message value
                        // merged from several records is still decoded (so that
                        // bad data in the later ones fails as it would have),
                        // then dropped.
                        const std::size_t prev = static_cast<std::size_t>(current);
                        if (keyword_of[prev] != keyword_of[idx] && !kwargs.remove(keyword_of[prev])) {
                            PyErr_SetObject(PyExc_KeyError, st.field_names[prev].get());
                            return nullptr;
                        }
                        if (sc.message_slot[prev] >= 0) {
                            const std::size_t gone = static_cast<std::size_t>(sc.message_slot[prev]);
                            if (pending.merged(gone)) {
                                std::size_t n;
                                const Span* records = pending.records(gone, n);
                                Ref dropped = Ref::steal(decode_nested(st.field_links[prev], records, n, depth, path));
                                if (!dropped) return fail_in_field(path, st, prev);
                            }
                            pending.clear(gone);
                        }
                    }
                    current = static_cast<int>(idx);
                }
                if (f.field_type.tag == FieldTypeTag::Message)
                    pending.add(static_cast<std::size_t>(sc.message_slot[idx]), body);
                kwargs.set(keyword_of[idx], value.release());
                continue;
            }
        unknown_field:
            r.skip_field(wt);
            if (r.failed()) return raise_wire(r);
            if (keep_unknown) unknown.add(r.tag_start(), r.cursor());
        }
    }

    // Message values that occurred more than once, each from all of its records.
    for (std::size_t slot = 0; slot < sc.message_fields.size(); ++slot) {
        if (!pending.merged(slot)) continue;  // decoded at its only occurrence
        const std::size_t idx = sc.message_fields[slot];
        std::size_t n;
        const Span* records = pending.records(slot, n);
        Ref value = Ref::steal(decode_nested(st.field_links[idx], records, n, depth, path));
        if (!value) return fail_in_field(path, st, idx);
        kwargs.set(keyword_of[idx], value.release());
    }
    if (keep_unknown && !unknown.empty()) {
        PyObject* raw = unknown.take();
        if (!raw) return nullptr;
        kwargs.set(sc.unknown_keyword, raw);
    }
    return kwargs.call(cls, st, module_state().unknown_name.get());
}

}  // namespace

PyObject* decode_message(PyObject* cls, DescriptorObject* desc, const std::uint8_t* data, std::size_t size,
                         int depth) {
    ErrorPath path;
    Span whole{data, size};
    PyObject* result = decode_level(cls, desc, &whole, 1, depth, path);
    if (!result) path.annotate(desc->state.schema.name, module_state().add_note_name.get());
    return result;
}

}  // namespace quillspar::decode
