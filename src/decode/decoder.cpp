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
#include <memory>
#include <new>
#include <string>
#include <type_traits>
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
using schema::FastField;
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
        // A new compact ASCII str keeps its characters right after its header.
        auto* chars = reinterpret_cast<std::uint8_t*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
        if (copy_ascii(chars, s.data, s.size)) [[likely]]
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

// The class linked to a field and what the decoder remembers of it.
struct Link {
    PyObject* cls;    // borrowed from the link table, or nullptr
    ClassMemo* memo;  // the field's entry in its descriptor's link_memos
};

// A nested message: a new instance of the linked class decoded, with the
// descriptor that class carries, from the concatenation of `records`.
PyObject* decode_nested(Link link, const Span* records, std::size_t count, int depth, ErrorPath& path) {
    if (!link.cls) {
        PyErr_SetString(PyExc_RuntimeError, "message field was not linked to a class");
        return nullptr;
    }
    Ref cls = Ref::borrow(link.cls);  // the link table may not outlive Python code run below
    Ref holder;                       // nor the class's `__quillspar__`
    DescriptorObject* nested = remembered_descriptor(*link.memo, cls.get());
    if (nested) [[likely]] {
        holder = Ref::borrow(reinterpret_cast<PyObject*>(nested));
    } else {
        nested = class_descriptor(cls.get(), holder, "linked class is not a quillspar message");
        if (!nested) return nullptr;
        remember_descriptor(*link.memo, cls.get(), nested);
    }
    NestedBorrow access(nested);
    if (!access.ok()) return nullptr;
    if (!PyType_Check(cls.get())) return raise_not_convertible(cls.get(), "PyType");
    return decode_level(cls.get(), nested, records, count, depth + 1, path);
}

PyObject* decode_nested(Link link, Span body, int depth, ErrorPath& path) {
    return decode_nested(link, &body, 1, depth, path);
}

PyObject* default_value(FieldKind kind, Link linked, int depth, ErrorPath& path) {
    switch (kind) {
    case FieldKind::Double: case FieldKind::Float: return PyFloat_FromDouble(0.0);
    case FieldKind::Bool: return Py_NewRef(Py_False);
    case FieldKind::String: return PyUnicode_FromStringAndSize("", 0);
    case FieldKind::Bytes: return PyBytes_FromStringAndSize("", 0);
    case FieldKind::Enum: return enum_value(0, linked.cls);
    case FieldKind::Message: return decode_nested(linked, Span{nullptr, 0}, depth, path);
    default: return PyLong_FromLong(0);
    }
}

// One map entry record: (key, value) stored into `dict`. Keys and scalar
// values are made as they are read (a later one replaces an earlier one); a
// message value is decoded at the end, from all of its records. A failure in
// the value is placed under its key when the key came first, as encoders
// write it.
bool decode_map_entry(PyObject* dict, Span entry, FieldKind key_kind, FieldKind value_kind, Link linked,
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
            value = Ref::steal(enum_from_varint(r, linked.cls));
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
        key = Ref::steal(default_value(key_kind, Link{nullptr, nullptr}, depth, path));
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
    // Eight bytes at a time: the final bytes are those with the high bit clear.
    std::size_t n = 0, i = 0;
    for (; i + 8 <= run.size; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, run.data + i, 8);
        n += 8 - static_cast<std::size_t>(std::popcount(w & 0x8080808080808080ULL));
    }
    for (; i < run.size; ++i) n += run.data[i] < 0x80;
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
// The same between the records of one message, counted in bytes of input.
constexpr std::size_t kSignalBytes = std::size_t{4} << 20;

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

// The values of a packed run of a numeric kind in `values`, a new list of
// the right size (left empty for an empty run). False with an exception set
// on failure.
bool decode_packed(FieldKind kind, Span run, Ref& values) {
    if (run.size == 0) return true;
    const std::size_t n = packed_count(kind, run);
    WireReader packed(run);
    values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
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
    return true;
}

// A packed run of enum numbers into `values`, as decode_packed does: each
// value is what the linked object makes of its number, called in input
// order. On failure, `failed_at` is the index the failing value would have
// had in the field's list, which holds `before` values already.
bool decode_packed_enum(Span run, PyObject* linked, Ref& values, Py_ssize_t before, Py_ssize_t& failed_at) {
    const std::size_t n = packed_count(FieldKind::Enum, run);
    WireReader packed(run);
    values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
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
    return true;
}

// The per-level state below comes in two forms: a small one, fixed arrays on
// the stack, for the schemas of everyday messages (up to kSmallKeys - 1
// fields, kSmallOneofs oneofs and kSmallMessages singular message fields),
// and a big one on the heap for the others.
constexpr std::size_t kSmallKeys = 32;
constexpr std::size_t kSmallOneofs = 8;
constexpr std::size_t kSmallMessages = 8;

// Room for n values of T: an array of N on the stack in the small form, n on
// the heap in the big one. Left uninitialised; the owner sets what it reads.
template <class T, std::size_t N, bool Small>
class Slots;

template <class T, std::size_t N>
class Slots<T, N, true> {
public:
    explicit Slots(std::size_t) noexcept {}
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    T* data() noexcept { return a_; }
    const T* data() const noexcept { return a_; }
    T& operator[](std::size_t i) noexcept { return a_[i]; }
    const T& operator[](std::size_t i) const noexcept { return a_[i]; }

private:
    T a_[N];
};

template <class T, std::size_t N>
class Slots<T, N, false> {
public:
    explicit Slots(std::size_t n) : p_(new T[n == 0 ? 1 : n]) {}
    T* data() noexcept { return p_.get(); }
    const T* data() const noexcept { return p_.get(); }
    T& operator[](std::size_t i) noexcept { return p_[i]; }
    const T& operator[](std::size_t i) const noexcept { return p_[i]; }

private:
    std::unique_ptr<T[]> p_;
};

// The keyword arguments of one level's call, in the order a dictionary
// filled the same way would hold them: a keyword set again keeps its place,
// one removed and set again goes last. The values are kept in that order,
// ready for vectorcall; the tuple of their names is the one the descriptor
// kept from its previous call whenever the keywords are the same (they
// almost always are), else a new one that the descriptor keeps instead.
template <bool Small>
class Keywords {
public:
    explicit Keywords(std::size_t nkeys) : args_(nkeys), keys_(nkeys), pos_(nkeys) {
        if constexpr (Small) {
            std::memset(pos_.data(), 0, kSmallKeys * sizeof(Pos));
            std::memset(keys_.data(), 0, kSmallKeys * sizeof(Key));
        } else {
            std::fill_n(pos_.data(), nkeys, Pos{0});
        }
    }
    ~Keywords() {
        for (std::size_t i = 0; i < count_; ++i) Py_DECREF(args_[i]);
    }
    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;

    // The value of `key`, borrowed, or nullptr when it is not set.
    PyObject* get(std::uint32_t key) const noexcept { return pos_[key] ? args_[pos_[key] - 1] : nullptr; }
    // Takes over a new reference.
    void set(std::uint32_t key, PyObject* value) noexcept {
        Pos& p = pos_[key];
        if (!p) {
            args_[count_] = value;
            keys_[count_] = static_cast<Key>(key);
            p = static_cast<Pos>(++count_);
            return;
        }
        PyObject* old = std::exchange(args_[p - 1], value);
        Py_DECREF(old);
    }
    // False (nothing to remove) when the keyword is not set.
    bool remove(std::uint32_t key) noexcept {
        const std::size_t p = pos_[key];
        if (!p) return false;
        PyObject* old = args_[p - 1];
        for (std::size_t i = p; i < count_; ++i) {
            args_[i - 1] = args_[i];
            keys_[i - 1] = keys_[i];
            pos_[keys_[i - 1]] = static_cast<Pos>(i);
        }
        --count_;
        keys_[count_] = 0;  // the small form compares all its bytes
        pos_[key] = 0;
        Py_DECREF(old);
        return true;
    }
    // cls(**keywords): a new reference, or nullptr with an exception set.
    PyObject* call(PyObject* cls, DescriptorState& st, PyObject* unknown_name) {
        if (count_ == 0) return PyObject_Vectorcall(cls, nullptr, 0, nullptr);
        Ref names = kept_names(st);
        if (!names) [[unlikely]] {
            names = new_names(st, unknown_name);
            if (!names) return nullptr;
        }
        return PyObject_Vectorcall(cls, args_.data(), 0, names.get());
    }

private:
    using Pos = std::conditional_t<Small, std::uint8_t, std::uint32_t>;  // a position + 1, or 0
    using Key = std::conditional_t<Small, std::uint8_t, std::uint32_t>;
    static_assert(kSmallKeys == DescriptorState::kCallKeyBytes);

    // The names tuple for the keywords set now (a new reference), or an empty
    // handle with an exception set. Runs no Python code, so nothing can
    // replace the descriptor's tuple between the comparison and its use; a
    // call made with it holds its own reference, whatever later calls keep.
    Ref kept_names(const DescriptorState& st) const noexcept {
        if constexpr (Small) {
            // All the bytes at once: those past count_ are zero on both sides.
            if (st.call_count == count_ && std::memcmp(keys_.data(), st.call_key_bytes, kSmallKeys) == 0)
                return Ref::borrow(st.call_names.get());
        } else {
            const std::uint32_t* kept = st.call_keys.data();
            if (st.call_keys.size() == count_) {
                std::size_t i = 0;
                while (i < count_ && kept[i] == keys_[i]) ++i;
                if (i == count_) return Ref::borrow(st.call_names.get());
            }
        }
        return Ref();
    }
    [[gnu::noinline]] Ref new_names(DescriptorState& st, PyObject* unknown_name) {
        Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count_)));
        if (!names) return names;
        const std::size_t nfields = st.field_names.size();
        for (std::size_t i = 0; i < count_; ++i) {
            const std::uint32_t key = keys_[i];
            PyObject* name = key < nfields ? st.field_names[key].get() : unknown_name;
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(name));
        }
        st.call_names.reset();  // consistent even if the copy below throws
        if constexpr (Small) {
            std::memcpy(st.call_key_bytes, keys_.data(), kSmallKeys);
            st.call_count = count_;
            st.call_keys.clear();
        } else {
            st.call_keys.assign(keys_.data(), keys_.data() + count_);
            st.call_count = static_cast<std::size_t>(-1);
        }
        st.call_names = Ref::borrow(names.get());
        return names;
    }

    std::size_t count_ = 0;
    // The values in call order, their keys, and per key its position.
    Slots<PyObject*, kSmallKeys, Small> args_;
    Slots<Key, kSmallKeys, Small> keys_;
    Slots<Pos, kSmallKeys, Small> pos_;
};

// The containers of the repeated and map fields of one level, by field
// index, each passed under its field's keyword. When that keyword is the
// field's own (schema.containers_own_keywords) the keywords hold the only
// reference; otherwise a field of the same name may replace it there, so
// the container is held here as well. Only the slots of container fields
// are ever read.
template <bool Small>
class Containers {
public:
    Containers(std::size_t n, const schema::MessageSchema& sc)
        : fields_(sc.container_fields.data()), keywords_(sc.keyword_of.data()),
          owned_(!sc.containers_own_keywords), slots_(n) {}
    ~Containers() {
        if (owned_) [[unlikely]]
            for (std::size_t k = 0; k < made_; ++k) Py_DECREF(slots_[fields_[k]]);
    }
    Containers(const Containers&) = delete;
    Containers& operator=(const Containers&) = delete;

    PyObject* get(std::size_t i) const noexcept { return slots_[i]; }
    // The container of the next field of the schema's `container_fields` (a
    // new reference), set under its keyword too.
    void add(Keywords<Small>& kwargs, PyObject* c) noexcept {
        const std::uint32_t i = fields_[made_++];
        slots_[i] = c;
        kwargs.set(keywords_[i], owned_ ? Py_NewRef(c) : c);
    }
    // Puts `c` (a new reference) in the place of the container of field i,
    // here and under its keyword when that still holds the old one.
    void replace(Keywords<Small>& kwargs, std::size_t i, PyObject* c) noexcept {
        PyObject* old = slots_[i];
        slots_[i] = c;
        if (!owned_) {
            kwargs.set(keywords_[i], c);  // releases the old one
            return;
        }
        if (kwargs.get(keywords_[i]) == old) kwargs.set(keywords_[i], Py_NewRef(c));
        Py_DECREF(old);
    }

private:
    const std::uint32_t* fields_;    // the container fields, in order
    const std::uint32_t* keywords_;  // schema.keyword_of
    bool owned_;
    std::size_t made_ = 0;  // how many of them have theirs
    Slots<PyObject*, kSmallKeys, Small> slots_;
};

// Adds the values of a packed run (see decode_packed) to the list of field
// `idx`. A list that is still empty has been seen by no Python code, so the
// run's list takes its place instead and nothing is copied.
template <bool Small>
bool add_run(Containers<Small>& containers, Keywords<Small>& kwargs, std::size_t idx, Ref values) {
    if (!values) return true;
    PyObject* list = containers.get(idx);
    if (PyList_GET_SIZE(list) != 0) return PyList_Extend(list, values.get()) == 0;
    containers.replace(kwargs, idx, values.release());
    return true;
}

// The field index of the member of each oneof seen so far in one record, or -1.
template <bool Small>
class OneofMembers {
public:
    explicit OneofMembers(std::size_t n) : members_(n) { std::fill_n(members_.data(), n, -1); }
    int& operator[](std::size_t i) noexcept { return members_[i]; }

private:
    Slots<int, kSmallOneofs, Small> members_;
};

// The occurrences of the singular message fields of one level, by their
// position in the schema's `message_fields`. The first record of each sits
// in a slot; the records of a field that occurs again, rare in practice, go
// to one list for the level.
template <bool Small>
class PendingMessages {
public:
    explicit PendingMessages(std::size_t n) : slots_(n) {
        for (std::size_t i = 0; i < n; ++i) slots_[i].seen = slots_[i].merged = false;
    }

    bool empty(std::size_t i) const noexcept { return !slots_[i].seen; }
    bool merged(std::size_t i) const noexcept { return slots_[i].merged; }
    void add(std::size_t i, Span s) {
        Slot& sl = slots_[i];
        if (!sl.seen) {
            sl = Slot{s, true, false};
            return;
        }
        if (!more_) more_ = std::make_unique<More>();
        more_->records.emplace_back(i, s);
        sl.merged = true;
    }
    void clear(std::size_t i) {
        Slot& sl = slots_[i];
        if (sl.merged) std::erase_if(more_->records, [i](const auto& m) { return m.first == i; });
        sl.seen = sl.merged = false;
    }
    // The records of slot i, in input order; `count` gets their number. Valid
    // until the next call.
    const Span* records(std::size_t i, std::size_t& count) {
        const Slot& sl = slots_[i];
        if (!sl.merged) {
            count = 1;
            return &sl.first;
        }
        auto& gathered = more_->gathered;
        gathered.assign(1, sl.first);
        for (const auto& m : more_->records)
            if (m.first == i) gathered.push_back(m.second);
        count = gathered.size();
        return gathered.data();
    }

private:
    struct Slot {
        Span first;  // set with `seen`
        bool seen;
        bool merged;  // later records are in more_
    };
    struct More {
        std::vector<std::pair<std::size_t, Span>> records;
        std::vector<Span> gathered;
    };
    Slots<Slot, kSmallMessages, Small> slots_;
    std::unique_ptr<More> more_;
};

// The raw records of the fields a schema does not know (or meets with a wire
// type that cannot hold them), in input order. Records that follow each other
// in the input stay one range; the bytes are copied only across a gap.
class UnknownRecords {
public:
    bool empty() const noexcept { return !run_begin_ && !buffer_; }
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
        if (!buffer_)
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(run_begin_), run_end_ - run_begin_);
        flush();
        return PyBytes_FromStringAndSize(buffer_->data(), static_cast<Py_ssize_t>(buffer_->size()));
    }

private:
    void flush() {
        if (!run_begin_) return;
        if (!buffer_) buffer_ = std::make_unique<std::string>();
        buffer_->append(reinterpret_cast<const char*>(run_begin_), run_end_ - run_begin_);
        run_begin_ = run_end_ = nullptr;
    }
    const std::uint8_t* run_begin_ = nullptr;
    const std::uint8_t* run_end_ = nullptr;
    std::unique_ptr<std::string> buffer_;
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
template <bool Small>
PyObject* decode_level_as(PyObject* cls, DescriptorObject* desc, const Span* records, std::size_t count, int depth,
                          ErrorPath& path) {
    RecursionGuard guard(" while decoding a protobuf message");
    if (!guard.ok()) return nullptr;

    DescriptorState& st = desc->state;
    const schema::MessageSchema& sc = st.schema;
    const auto& fields = sc.fields;
    const std::size_t nfields = sc.keyword_of.size();
    ClassMemo* const memos = st.link_memos.data();
    PyObject* const* const links = st.field_links.data();
    const FastField* const fast = sc.fast_fields.data();
    const std::size_t nfast = sc.fast_fields.size();

    Keywords<Small> kwargs(nfields + 1);  // the last one for the unknown fields
    const auto& keyword_of = sc.keyword_of;

    // Every repeated and map field is passed, empty or not, in schema order.
    Containers<Small> containers(nfields, sc);
    for (std::uint32_t i : sc.container_fields) {
        PyObject* c = fields[i].field_type.tag == FieldTypeTag::Map ? PyDict_New() : PyList_New(0);
        if (!c) return nullptr;
        containers.add(kwargs, c);
    }

    // Members of one oneof replace each other: the last one in the data wins,
    // so the instance never holds two of them.
    OneofMembers<Small> oneof_member(sc.oneofs.size());
    PendingMessages<Small> pending(sc.message_fields.size());
    UnknownRecords unknown;
    const bool keep_unknown = sc.keep_unknown;


    for (std::size_t seg = 0; seg < count; ++seg) {
        WireReader r(records[seg]);
        // A long record gives signal handlers (Ctrl-C) their turn every few
        // megabytes; most never get there.
        std::uintptr_t signal_check = reinterpret_cast<std::uintptr_t>(r.cursor()) + kSignalBytes;
        while (!r.at_end()) {
            if (reinterpret_cast<std::uintptr_t>(r.cursor()) >= signal_check) [[unlikely]] {
                if (PyErr_CheckSignals() < 0) return nullptr;
                signal_check = reinterpret_cast<std::uintptr_t>(r.cursor()) + kSignalBytes;
            }
            // The common cases straight from the table: a one-byte tag whose
            // field and wire type the table knows (so the tag is valid).
            if (const int tag = r.read_short_tag(); tag >= 0) [[likely]] {
                const auto fnum = static_cast<std::uint32_t>(tag) >> 3;
                if (fnum >= nfast || fast[fnum].wire != (tag & 7)) [[unlikely]] {
                    r.unread_tag();
                    goto general;
                }
                const FastField& ff = fast[fnum];
                const std::size_t idx = ff.index;
                switch (ff.op) {
#define QUILLSPAR_SCALAR_CASE(K)                                    \
    case static_cast<FastField::Op>(FieldKind::K): {                \
        PyObject* v = read_scalar(FieldKind::K, r);                 \
        if (!v) return fail_in_field(path, st, idx);                \
        kwargs.set(ff.keyword, v);                                  \
        continue;                                                   \
    }
                QUILLSPAR_SCALAR_CASE(Double)
                QUILLSPAR_SCALAR_CASE(Float)
                QUILLSPAR_SCALAR_CASE(Int32)
                QUILLSPAR_SCALAR_CASE(Int64)
                QUILLSPAR_SCALAR_CASE(UInt32)
                QUILLSPAR_SCALAR_CASE(UInt64)
                QUILLSPAR_SCALAR_CASE(SInt32)
                QUILLSPAR_SCALAR_CASE(SInt64)
                QUILLSPAR_SCALAR_CASE(Fixed32)
                QUILLSPAR_SCALAR_CASE(Fixed64)
                QUILLSPAR_SCALAR_CASE(SFixed32)
                QUILLSPAR_SCALAR_CASE(SFixed64)
                QUILLSPAR_SCALAR_CASE(Bool)
                QUILLSPAR_SCALAR_CASE(String)
                QUILLSPAR_SCALAR_CASE(Bytes)
#undef QUILLSPAR_SCALAR_CASE
                case FastField::Enum: {
                    PyObject* v = enum_from_varint(r, links[idx]);
                    if (!v) return fail_in_field(path, st, idx);
                    kwargs.set(ff.keyword, v);
                    continue;
                }
                case FastField::Message: {
                    const auto slot = static_cast<std::size_t>(sc.message_slot[idx]);
                    if (!pending.empty(slot)) break;  // it merges: the general path
                    Span body = r.read_length_delimited();
                    if (r.failed()) return fail_wire_in(r, path, st, idx);
                    PyObject* v = decode_nested(Link{links[idx], &memos[idx]}, body, depth, path);
                    if (!v) return fail_in_field(path, st, idx);
                    pending.add(slot, body);
                    kwargs.set(ff.keyword, v);
                    continue;
                }
                // The elements of a repeated field usually follow each other:
                // they are taken here while they do (until the next signal check).
                case FastField::RepeatedScalar: {
                    PyObject* list = containers.get(idx);
                    do {
                        if (!append_new(list, read_scalar(ff.kind, r))) return fail_in_element(path, st, idx, list);
                    } while (reinterpret_cast<std::uintptr_t>(r.cursor()) < signal_check && r.read_same_tag(tag));
                    continue;
                }
                case FastField::RepeatedEnum: {
                    PyObject* list = containers.get(idx);
                    if (!append_new(list, enum_from_varint(r, links[idx]))) return fail_in_element(path, st, idx, list);
                    continue;
                }
                case FastField::RepeatedMessage: {
                    PyObject* list = containers.get(idx);
                    do {
                        Span body = r.read_length_delimited();
                        if (r.failed()) return fail_wire_in(r, path, st, idx);
                        if (!append_new(list, decode_nested(Link{links[idx], &memos[idx]}, body, depth, path)))
                            return fail_in_element(path, st, idx, list);
                    } while (reinterpret_cast<std::uintptr_t>(r.cursor()) < signal_check && r.read_same_tag(tag));
                    continue;
                }
                case FastField::MapEntry: {
                    const schema::FieldType& ft = fields[idx].field_type;
                    do {
                        Span entry = r.read_length_delimited();
                        if (r.failed()) return fail_wire_in(r, path, st, idx);
                        if (!decode_map_entry(containers.get(idx), entry, ft.key, ft.value,
                                              Link{links[idx], &memos[idx]}, depth, path))
                            return fail_in_field(path, st, idx);
                    } while (reinterpret_cast<std::uintptr_t>(r.cursor()) < signal_check && r.read_same_tag(tag));
                    continue;
                }
                case FastField::None:
                    break;
                }
                r.unread_tag();
            }
        general:
            std::uint32_t number;
            WireType wt;
            if (!r.read_tag(number, wt)) return raise_wire(r);
            const int found = sc.find(number);
            if (found < 0) goto unknown_field;
            {
                const std::size_t idx = static_cast<std::size_t>(found);
                const FieldSpec& f = fields[idx];
                const FieldKind kind = f.field_type.kind;
                const Link linked{st.field_links[idx], &memos[idx]};

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
                            Ref values;
                            if (!decode_packed(kind, run, values) ||
                                !add_run(containers, kwargs, idx, std::move(values)))
                                return fail_in_field(path, st, idx);
                        } else if (wt == schema::wire_type_of(kind)) {
                            if (!append_new(list, read_scalar(kind, r))) return fail_in_element(path, st, idx, list);
                        } else {
                            goto unknown_field;
                        }
                        break;
                    case FieldTypeTag::Enum:
                        if (wt == WireType::Varint) {
                            if (!append_new(list, enum_from_varint(r, linked.cls))) return fail_in_element(path, st, idx, list);
                        } else if (wt == WireType::Len) {
                            Span run = r.read_length_delimited();
                            if (r.failed()) return fail_wire_in(r, path, st, idx);
                            Ref values;
                            Py_ssize_t failed_at = 0;
                            if (!decode_packed_enum(run, linked.cls, values, PyList_GET_SIZE(list), failed_at))
                                [[unlikely]] {
                                path.index(failed_at);
                                return fail_in_field(path, st, idx);
                            }
                            if (!add_run(containers, kwargs, idx, std::move(values)))
                                return fail_in_field(path, st, idx);
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
                    value = Ref::steal(enum_from_varint(r, linked.cls));
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
                                Ref dropped = Ref::steal(decode_nested(Link{st.field_links[prev], &memos[prev]}, records, n, depth, path));
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
        Ref value = Ref::steal(decode_nested(Link{st.field_links[idx], &memos[idx]}, records, n, depth, path));
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

PyObject* decode_level(PyObject* cls, DescriptorObject* desc, const Span* records, std::size_t count, int depth,
                       ErrorPath& path) {
    if (depth >= kMaxDepth) [[unlikely]] {
        raise_too_deep();
        return nullptr;
    }
    DescriptorState& st = desc->state;
    const schema::MessageSchema& sc = st.schema;
    const std::size_t nfields = sc.keyword_of.size();
    if (st.link_memos.empty() && nfields != 0) [[unlikely]]
        st.link_memos.resize(nfields);  // once per descriptor, never again
    if (nfields < kSmallKeys && sc.oneofs.size() <= kSmallOneofs && sc.message_fields.size() <= kSmallMessages)
        [[likely]]
        return decode_level_as<true>(cls, desc, records, count, depth, path);
    return decode_level_as<false>(cls, desc, records, count, depth, path);
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
