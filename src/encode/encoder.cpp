// The message encoder. One call of encode_message writes one level: the oneof
// check first, then every present field in schema order, then the unknown
// fields kept by the decoder. Nested messages, packed runs and map entries are
// written in place behind a reserved length prefix that is filled in when the
// record is complete. On an error every frame records its step of the path
// (error_path.hpp) as it returns.
//
// Short paths: a field held in a slot of a class whose layout the descriptor
// has cached (attr.hpp) is read without a lookup, and a scalar of a built-in
// type is written from the borrowed slot value with its tag worked out once
// (write_fast). Everything else, and everything that may run Python code,
// takes the general path, after which the layout is looked up again.
#include "encoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "../py/depth.hpp"
#include "../py/descriptor.hpp"
#include "../py/errors.hpp"
#include "../py/nested.hpp"
#include "../py/ref.hpp"
#include "../py/state.hpp"
#include "attr.hpp"
#include "error_path.hpp"
#include "scalar.hpp"

namespace quillspar::encode {

using schema::Cardinality;
using schema::FieldKind;
using schema::FieldSpec;
using schema::FieldTypeTag;
using wire::OutputBuffer;
using wire::WireType;

namespace {

// A length-delimited record under construction: tag and reserved prefix on
// construction, the real length on close().
class Record {
public:
    bool open(OutputBuffer& out, std::uint32_t field, std::size_t expected_body = 0) noexcept {
        if (!out.write_tag(field, WireType::Len) || !out.begin_record(mark_, reserved_, expected_body))
            return out_of_memory();
        return true;
    }
    bool close(OutputBuffer& out) noexcept { return out.end_record(mark_, reserved_) || out_of_memory(); }
    std::size_t body_size(const OutputBuffer& out) const noexcept { return out.size() - mark_ - reserved_; }

private:
    std::size_t mark_ = 0, reserved_ = 0;
};

bool write_enum(OutputBuffer& out, PyObject* value) {
    std::int32_t n;
    if (!to_enum_number(value, n)) return false;
    return out.write_varint(static_cast<std::uint64_t>(static_cast<std::int64_t>(n))) || out_of_memory();
}

// The message type of a nested value: `nested` (the descriptor of the
// value's own class) must describe the field's type. Checked by class first,
// then by the linked class's descriptor, then by name, so that a value of the
// right type from another class (a subclass, a second class built from the
// same .proto) still counts.
bool is_expected_type(PyObject* value, DescriptorObject* nested, const FieldSpec& f, PyObject* linked) {
    if (linked) {
        if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == linked) [[likely]]
            return true;
        PyObject* marker = nullptr;
        if (PyType_Check(linked) && PyObject_GetOptionalAttr(linked, module_state().marker_name.get(), &marker) < 0) return false;
        Ref linked_desc = Ref::steal(marker);
        if (linked_desc.get() == reinterpret_cast<PyObject*>(nested)) return true;
    }
    if (f.type_name ? nested->state.schema.name == *f.type_name : !linked) return true;
    Ref cls = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!cls) return false;
    PyErr_Format(PyExc_TypeError, "field '%s' expects a message of type '%s', not '%U'", f.name.c_str(),
                 f.type_name ? f.type_name->c_str() : "", cls.get());
    return false;
}

// A nested message value of field `f` as a length-delimited record behind
// `tag` (a field's tag, or the one-byte tag of a map entry's value), encoded
// with its own class's descriptor; `linked` is the class linked to the field,
// if any. The length prefix is reserved as wide as the last encoding with
// that descriptor needed, so that a record of the usual size is not moved.
bool encode_nested(PyObject* value, const FieldSpec& f, PyObject* linked, NestedClassEntry* entry,
                   std::uint64_t tag, OutputBuffer& out, ErrorPath& path, int depth) {
    Ref holder;
    DescriptorObject* nested = nested_descriptor(value, entry, holder, "nested value is not a quillspar message");
    if (!nested) return false;
    if (!is_expected_type(value, nested, f, linked)) [[unlikely]]
        return false;
    NestedBorrow access(nested);
    if (!access.ok()) return false;
    std::size_t mark, reserved;
    if (!out.write_varint(tag) || !out.begin_record(mark, reserved, nested->state.encode_cache.last_size))
        return out_of_memory();
    return encode_message(value, nested, out, path, depth + 1) && (out.end_record(mark, reserved) || out_of_memory());
}

constexpr std::uint64_t len_tag(std::uint32_t number) noexcept {
    return (static_cast<std::uint64_t>(number) << 3) | static_cast<std::uint64_t>(WireType::Len);
}

bool encode_field(OutputBuffer& out, const FieldSpec& f, PyObject* linked, NestedClassEntry* entry, PyObject* value,
                  ErrorPath& path, int depth) {
    switch (f.field_type.tag) {
    case FieldTypeTag::Scalar:
        if (!out.write_tag(f.number, schema::wire_type_of(f.field_type.kind))) return out_of_memory();
        return write_scalar(out, f.field_type.kind, value);
    case FieldTypeTag::Enum:
        if (!out.write_tag(f.number, WireType::Varint)) return out_of_memory();
        return write_enum(out, value);
    case FieldTypeTag::Message:
        return encode_nested(value, f, linked, entry, len_tag(f.number), out, path, depth);
    case FieldTypeTag::Map:
        break;
    }
    raise_panic("encode_field called for a map field");
    return false;
}

// Calls `each(item)` for every item of an iterable; an item that fails is
// recorded in `path` by its index. Lists are walked by index with the same
// bounds test per step as their own iterator.
template <class F>
bool for_each_item(PyObject* iterable, ErrorPath& path, F&& each) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (!each(item.get())) return path.index(i);
        }
        return true;
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i)
            if (!each(PyTuple_GET_ITEM(iterable, i))) return path.index(i);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return false;
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) break;
        if (!each(item.get())) return path.index(i);
    }
    return !PyErr_Occurred();
}

// Expected body size of a packed run, used only to size the length prefix.
std::size_t packed_estimate(FieldKind kind, PyObject* iterable) noexcept {
    Py_ssize_t n = PyList_CheckExact(iterable) ? PyList_GET_SIZE(iterable)
                   : PyTuple_CheckExact(iterable) ? PyTuple_GET_SIZE(iterable) : 0;
    switch (schema::wire_type_of(kind)) {
    case WireType::I64: return static_cast<std::size_t>(n) * 8;
    case WireType::I32: return static_cast<std::size_t>(n) * 4;
    default: return static_cast<std::size_t>(n);
    }
}

// One item of a packed run, when it is an exact float, a bool or a one-digit
// int: written at `p`, where room for it has been made (no Python code can
// run for such items). False when the item needs the general conversion.
template <FieldKind K>
[[gnu::always_inline]] inline bool put_packed_fast(std::uint8_t*& p, PyObject* item) noexcept {
    if constexpr (K == FieldKind::Double || K == FieldKind::Float) {
        if (!PyFloat_CheckExact(item)) [[unlikely]]
            return false;
        double d = PyFloat_AS_DOUBLE(item);
        if constexpr (K == FieldKind::Double) {
            std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
            std::memcpy(p, &bits, 8);
            p += 8;
        } else {
            std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(d));
            std::memcpy(p, &bits, 4);
            p += 4;
        }
        return true;
    } else if constexpr (K == FieldKind::Bool) {
        if (!PyBool_Check(item)) [[unlikely]]
            return false;
        *p++ = item == Py_True ? 1 : 0;
        return true;
    } else {
        // Enum items are usually IntEnum members: an int subclass, whose
        // compact value is read the same way without running Python code.
        const bool is_int = K == FieldKind::Enum ? PyLong_Check(item) : PyLong_CheckExact(item);
        if (!is_int || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) [[unlikely]]
            return false;
        // A compact int lies within +-2^30: inside every kind's range but for
        // negative values of the unsigned kinds, which take the general path
        // and its error.
        const std::int64_t x = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
        constexpr bool is_unsigned =
            K == FieldKind::UInt32 || K == FieldKind::UInt64 || K == FieldKind::Fixed32 || K == FieldKind::Fixed64;
        if (is_unsigned && x < 0) [[unlikely]]
            return false;
        if constexpr (K == FieldKind::Fixed32 || K == FieldKind::SFixed32) {
            std::uint32_t bits = static_cast<std::uint32_t>(x);
            std::memcpy(p, &bits, 4);
            p += 4;
        } else if constexpr (K == FieldKind::Fixed64 || K == FieldKind::SFixed64) {
            std::uint64_t bits = static_cast<std::uint64_t>(x);
            std::memcpy(p, &bits, 8);
            p += 8;
        } else {
            std::uint64_t v = K == FieldKind::SInt32   ? wire::zigzag32(static_cast<std::int32_t>(x))
                              : K == FieldKind::SInt64 ? wire::zigzag64(x)
                                                       : static_cast<std::uint64_t>(x);
            p = wire::put_varint(p, v);
        }
        return true;
    }
}

// Items of a list taken per block: room for a whole block is made at once,
// and pending signals are looked at between blocks, so that Ctrl-C stops a
// long run.
inline constexpr Py_ssize_t kPackedBlock = 1 << 16;

// One item of a packed run through the general conversion.
template <FieldKind K>
bool write_packed_item(OutputBuffer& out, PyObject* item) {
    if constexpr (K == FieldKind::Enum) return write_enum(out, item);
    else return write_scalar(out, K, item);
}

template <FieldKind K>
bool write_packed(OutputBuffer& out, PyObject* value, ErrorPath& path) {
    constexpr std::size_t kMaxItem = 10;  // the longest body of one item (a varint)
    if (PyList_CheckExact(value)) {
        // By index, with the list's own bounds test after every item that
        // took the general conversion, which may run Python code that
        // changes the list.
        Py_ssize_t i = 0;
        while (i < PyList_GET_SIZE(value)) {
            if (i != 0 && i % kPackedBlock == 0 && PyErr_CheckSignals() < 0) return path.index(i);
            const Py_ssize_t end = std::min(PyList_GET_SIZE(value), (i / kPackedBlock + 1) * kPackedBlock);
            // As many items as the room made so far surely holds, then more room.
            if (!out.ensure(kMaxItem)) return out_of_memory();
            std::uint8_t* p = out.cursor();
            const std::uint8_t* last = p + out.room() - kMaxItem;
            PyObject** items = reinterpret_cast<PyListObject*>(value)->ob_item;
            while (i < end && p <= last && put_packed_fast<K>(p, items[i])) ++i;
            out.advance_to(p);
            if (i == end || p > last) continue;
            Ref keep = Ref::borrow(items[i]);
            if (!write_packed_item<K>(out, keep.get())) return path.index(i);
            ++i;
        }
        return true;
    }
    return for_each_item(value, path, [&](PyObject* item) {
        if (!out.ensure(kMaxItem)) return out_of_memory();
        std::uint8_t* p = out.cursor();
        if (put_packed_fast<K>(p, item)) {
            out.advance_to(p);
            return true;
        }
        return write_packed_item<K>(out, item);
    });
}

// The items of a packed run of a numeric kind or Bool, without tags.
bool write_packed(OutputBuffer& out, FieldKind kind, PyObject* value, ErrorPath& path) {
    switch (kind) {
    case FieldKind::Double: return write_packed<FieldKind::Double>(out, value, path);
    case FieldKind::Float: return write_packed<FieldKind::Float>(out, value, path);
    case FieldKind::Int32: return write_packed<FieldKind::Int32>(out, value, path);
    case FieldKind::Int64: return write_packed<FieldKind::Int64>(out, value, path);
    case FieldKind::UInt32: return write_packed<FieldKind::UInt32>(out, value, path);
    case FieldKind::UInt64: return write_packed<FieldKind::UInt64>(out, value, path);
    case FieldKind::SInt32: return write_packed<FieldKind::SInt32>(out, value, path);
    case FieldKind::SInt64: return write_packed<FieldKind::SInt64>(out, value, path);
    case FieldKind::Fixed32: return write_packed<FieldKind::Fixed32>(out, value, path);
    case FieldKind::Fixed64: return write_packed<FieldKind::Fixed64>(out, value, path);
    case FieldKind::SFixed32: return write_packed<FieldKind::SFixed32>(out, value, path);
    case FieldKind::SFixed64: return write_packed<FieldKind::SFixed64>(out, value, path);
    case FieldKind::Bool: return write_packed<FieldKind::Bool>(out, value, path);
    default: break;
    }
    raise_panic("packed run of a kind that is not numeric");
    return false;
}

bool encode_repeated(OutputBuffer& out, const FieldSpec& f, PyObject* linked, NestedClassEntry* entry,
                     PyObject* value, ErrorPath& path, int depth) {
    const FieldKind kind = f.field_type.kind;
    switch (f.field_type.tag) {
    case FieldTypeTag::Scalar:
        if (kind == FieldKind::String || kind == FieldKind::Bytes || !f.packed) {
            // One record per item: always for text and bytes, and for numbers
            // of a field declared `packed = false`.
            const WireType wt = schema::wire_type_of(kind);
            const Tag tag = make_tag(f.number, wt);
            auto general = [&](PyObject* item) {
                return (out.write_tag(f.number, wt) || out_of_memory()) && write_scalar(out, kind, item);
            };
            if (PyList_CheckExact(value)) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                    PyObject* item = PyList_GET_ITEM(value, i);
                    if (int r = write_fast(out, kind, tag, false, item)) [[likely]] {
                        if (r < 0) return out_of_memory();
                        continue;
                    }
                    Ref keep = Ref::borrow(item);
                    if (!general(keep.get())) return path.index(i);
                }
                return true;
            }
            return for_each_item(value, path, [&](PyObject* item) {
                if (int r = write_fast(out, kind, tag, false, item)) [[likely]]
                    return r > 0 || out_of_memory();
                return general(item);
            });
        }
        [[fallthrough]];
    case FieldTypeTag::Enum: {
        const bool is_enum = f.field_type.tag == FieldTypeTag::Enum;
        if (!f.packed) {
            return for_each_item(value, path, [&](PyObject* item) {
                return (out.write_tag(f.number, WireType::Varint) || out_of_memory()) && write_enum(out, item);
            });
        }
        std::size_t start = out.size();
        Record rec;
        if (!rec.open(out, f.number, packed_estimate(is_enum ? FieldKind::Enum : kind, value))) return false;
        bool ok = is_enum ? write_packed<FieldKind::Enum>(out, value, path) : write_packed(out, kind, value, path);
        if (!ok) return false;
        if (rec.body_size(out) == 0) {
            out.truncate(start);  // an empty run writes nothing
            return true;
        }
        return rec.close(out);
    }
    case FieldTypeTag::Message:
        return for_each_item(value, path, [&](PyObject* item) {
            return encode_nested(item, f, linked, entry, len_tag(f.number), out, path, depth);
        });
    case FieldTypeTag::Map:
        break;
    }
    raise_panic("encode_repeated called for a map field");
    return false;
}

// One map entry: key (field 1) and value (field 2), both always written.
bool encode_entry(OutputBuffer& out, const FieldSpec& f, PyObject* linked, NestedClassEntry* entry, PyObject* key,
                  PyObject* val, ErrorPath& path, int depth) {
    const FieldKind kk = f.field_type.key, vk = f.field_type.value;
    Record rec;
    if (!rec.open(out, f.number)) return false;
    if (int r = write_fast(out, kk, make_tag(1, schema::wire_type_of(kk)), false, key)) [[likely]] {
        if (r < 0) return out_of_memory();
    } else {
        if (!out.write_byte(static_cast<std::uint8_t>(0x08 | static_cast<unsigned>(schema::wire_type_of(kk)))))
            return out_of_memory();
        if (!write_scalar(out, kk, key)) return false;
    }
    if (vk != FieldKind::Message) {
        if (int r = write_fast(out, vk, make_tag(2, schema::wire_type_of(vk)), false, val)) [[likely]] {
            if (r < 0) return out_of_memory();
            return rec.close(out);
        }
    }
    if (schema::is_scalar(vk)) {
        if (!out.write_byte(static_cast<std::uint8_t>(0x10 | static_cast<unsigned>(schema::wire_type_of(vk)))))
            return out_of_memory();
        if (!write_scalar(out, vk, val)) return false;
    } else if (vk == FieldKind::Enum) {
        if (!out.write_byte(0x10)) return out_of_memory();
        if (!write_enum(out, val)) return false;
    } else {
        if (!encode_nested(val, f, linked, entry, 0x12, out, path, depth)) return false;
    }
    return rec.close(out);
}

bool encode_map(OutputBuffer& out, const FieldSpec& f, PyObject* linked, NestedClassEntry* entry, PyObject* value,
                ErrorPath& path, int depth) {
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "map field must be a dict");
        return false;
    }
    const Py_ssize_t initial = PyDict_GET_SIZE(value);
    Py_ssize_t remaining = initial, pos = 0;
    PyObject *k_raw, *v_raw;
    while (PyDict_Next(value, &pos, &k_raw, &v_raw)) {
        Ref key = Ref::borrow(k_raw), val = Ref::borrow(v_raw);
        if (!encode_entry(out, f, linked, entry, key.get(), val.get(), path, depth)) return path.key(key.get());
        key.reset();
        val.reset();
        if (PyDict_GET_SIZE(value) != initial) {
            raise_panic("dictionary changed size during iteration");
            return false;
        }
        if (--remaining == -1) {
            raise_panic("dictionary keys changed during iteration");
            return false;
        }
    }
    return true;
}

// At most one member of each oneof may be set (not None).
bool check_oneofs(PyObject* instance, DescriptorState& st, const FieldPlan* plan, ErrorPath& path) {
    const auto& schema = st.schema;
    // Counters on the stack for the usual handful of oneofs.
    constexpr std::size_t kInline = 16;
    std::uint32_t inline_counts[kInline] = {};
    std::vector<std::uint32_t> heap_counts;
    const std::size_t n_oneofs = schema.oneofs.size();
    if (n_oneofs > kInline) heap_counts.assign(n_oneofs, 0);
    std::uint32_t* counts = n_oneofs > kInline ? heap_counts.data() : inline_counts;
    // Valid while no Python code runs, as in encode_message.
    const Py_ssize_t* slots = slot_offsets(instance, st);
    const std::size_t n = schema.fields.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!plan[i].oneof_member) continue;
        const FieldSpec& f = schema.fields[i];
        PyObject* v = slots ? slot_value(instance, slots[i]) : nullptr;  // borrowed
        bool set = v && v != Py_None;
        if (!v) {
            Ref held = Ref::steal(read_field(instance, st, i));
            if (!held) return path.field(f.name);
            set = held.get() != Py_None;
            held.reset();  // may run a finaliser, and so any Python code
            slots = slot_offsets(instance, st);
        }
        if (!set) continue;
        if (!f.in_oneof) [[unlikely]] {  // its index names no oneof of the schema
            raise_panic_format("index out of bounds: the len is %zu but the index is %u", n_oneofs,
                               static_cast<unsigned>(*f.oneof_index));
            return false;
        }
        ++counts[*f.oneof_index];
    }
    for (std::size_t k = 0; k < n_oneofs; ++k) {
        if (counts[k] > 1) {
            PyErr_Format(PyExc_ValueError, "at most one member of oneof '%s' may be set, got %u",
                         schema.oneofs[k].c_str(), static_cast<unsigned>(counts[k]));
            return false;
        }
    }
    return true;
}

// The unknown fields a message kept from decoding: the bytes of its
// `_unknown_fields` attribute, written as they are.
bool write_unknown(PyObject* instance, DescriptorState& st, OutputBuffer& out) {
    Ref value = Ref::steal(read_field(instance, st, st.field_names.size()));
    if (!value) return false;
    PyObject* v = value.get();
    if (v == Py_None) return true;
    if (!PyBytes_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be bytes or None, not '%T'", schema::kUnknownFieldsName, v);
        return false;
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(v);
    if (n == 0) return true;
    if (!out.ensure(static_cast<std::size_t>(n))) return out_of_memory();
    out.put_bytes(PyBytes_AS_STRING(v), static_cast<std::size_t>(n));
    return true;
}

// The descriptor's field plan, made on first use; nullptr with MemoryError
// set when it cannot be.
const FieldPlan* field_plan(DescriptorState& st) noexcept {
    if (st.encode_cache.plan) [[likely]]
        return st.encode_cache.plan.get();
    const auto& fields = st.schema.fields;
    std::unique_ptr<FieldPlan[]> plan(new (std::nothrow) FieldPlan[fields.size()]);
    std::unique_ptr<NestedClassEntry[]> nested(new (std::nothrow) NestedClassEntry[fields.size()]);
    if (!plan || !nested) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldSpec& f = fields[i];
        FieldPlan& p = plan[i];
        const bool scalar = f.field_type.tag == FieldTypeTag::Scalar, is_enum = f.field_type.tag == FieldTypeTag::Enum;
        const FieldKind kind = is_enum ? FieldKind::Enum : scalar ? f.field_type.kind : FieldKind::Message;
        const Tag tag = make_tag(f.number, schema::wire_type_of(kind));
        p.tag = tag.bytes;
        p.tag_size = tag.size;
        p.kind = static_cast<std::uint8_t>(kind);
        p.direct = (scalar || is_enum) && f.cardinality != Cardinality::Repeated;
        p.implicit = f.cardinality == Cardinality::Singular;
        p.oneof_member = f.oneof_index.has_value();
    }
    st.encode_cache.nested = std::move(nested);
    st.encode_cache.plan = std::move(plan);
    return st.encode_cache.plan.get();
}

}  // namespace

bool encode_message(PyObject* instance, DescriptorObject* desc, OutputBuffer& out, ErrorPath& path, int depth) {
    if (depth >= kMaxDepth) [[unlikely]] {
        raise_too_deep();
        path.suppress();
        return false;
    }
    RecursionGuard guard(" while encoding a protobuf message");
    if (!guard.ok()) {
        path.suppress();
        return false;
    }

    DescriptorState& st = desc->state;
    const FieldPlan* plan = field_plan(st);
    if (!plan) return false;
    // Without members (a proto3 `optional` field's synthetic oneof has none)
    // every counter stays 0 and nothing is read: skip the pass.
    if (!st.schema.oneofs.empty() && st.schema.has_oneof_members && !check_oneofs(instance, st, plan, path))
        return false;

    const std::size_t start = out.size();
    const auto& fields = st.schema.fields;
    const std::size_t n = fields.size();
    // Valid while no Python code runs: looked up again after every field
    // that took the general path.
    const Py_ssize_t* slots = slot_offsets(instance, st);
    for (std::size_t i = 0; i < n; ++i) {
        const FieldPlan& p = plan[i];
        PyObject* in_slot = slots ? slot_value(instance, slots[i]) : nullptr;  // borrowed
        if (in_slot && p.direct) [[likely]] {
            // A scalar or enum of a type converted without Python code:
            // written from the borrowed slot value.
            if (in_slot == Py_None && !p.implicit) continue;
            if (int r = write_fast(out, static_cast<FieldKind>(p.kind), Tag{p.tag, p.tag_size}, p.implicit, in_slot))
                [[likely]] {
                if (r < 0) return out_of_memory();
                continue;
            }
        }
        const FieldSpec& f = fields[i];
        Ref value = in_slot ? Ref::borrow(in_slot) : Ref::steal(read_field(instance, st, i));
        if (!value) return path.field(f.name);
        PyObject* v = value.get();
        NestedClassEntry* entry = st.encode_cache.nested ? &st.encode_cache.nested[i] : nullptr;
        bool ok;
        if (f.field_type.tag == FieldTypeTag::Map) {
            ok = encode_map(out, f, st.field_links[i], entry, v, path, depth);
        } else if (f.cardinality == Cardinality::Repeated) {
            ok = encode_repeated(out, f, st.field_links[i], entry, v, path, depth);
        } else if (f.cardinality == Cardinality::Optional) {
            ok = v == Py_None || encode_field(out, f, st.field_links[i], entry, v, path, depth);
        } else {
            FieldKind k = f.field_type.tag == FieldTypeTag::Enum ? FieldKind::Enum : f.field_type.kind;
            ok = write_unless_default(out, k, f.number, v);
        }
        if (!ok) [[unlikely]]
            return path.field(f.name);
        value.reset();  // may run a finaliser, and so any Python code
        slots = slot_offsets(instance, st);
    }
    if (st.schema.keep_unknown && !write_unknown(instance, st, out)) return path.field(schema::kUnknownFieldsName);
    st.encode_cache.last_size = out.size() - start;
    return true;
}

namespace {

// The bytes object being written: where the output buffer moves when it
// outgrows its first block, resized as it grows and cut to the encoding's
// size at the end, so that a long result is never copied. Short results are
// written on the stack and copied once, which costs less than shrinking.
class BytesStorage final : public wire::Storage {
public:
    BytesStorage() noexcept = default;
    BytesStorage(const BytesStorage&) = delete;
    BytesStorage& operator=(const BytesStorage&) = delete;
    ~BytesStorage() { Py_XDECREF(bytes_); }

    // The storage's block, or nullptr before it has one.
    std::uint8_t* data() noexcept {
        return bytes_ ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_)) : nullptr;
    }

    std::uint8_t* grow(const std::uint8_t* data, std::size_t size, std::size_t cap) noexcept override {
        if (cap > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return nullptr;
        if (!bytes_) {
            bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(cap));
            if (!bytes_) return nullptr;
            if (size) std::memcpy(PyBytes_AS_STRING(bytes_), data, size);
            return this->data();
        }
        // Keeps the contents; releases the object when it fails.
        if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(cap)) < 0) return nullptr;
        return this->data();
    }

    // The result, `size` bytes at `data` (new reference), or nullptr.
    PyObject* finish(const std::uint8_t* data, std::size_t size) noexcept {
        if (!bytes_ || data != this->data())
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
        if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(size)) < 0) return nullptr;
        return std::exchange(bytes_, nullptr);
    }

private:
    PyObject* bytes_ = nullptr;
};

// Encodings up to this size start on the stack.
constexpr std::size_t kStackBytes = 1024;

// Room for a message whose last encoding took `last` bytes: a little more,
// so that a slightly longer one fits too; a long one grows from a bounded
// start.
std::size_t first_capacity(std::size_t last) noexcept {
    constexpr std::size_t kMax = std::size_t{1} << 20;
    const std::size_t cap = last + last / 16 + 64;
    return cap > kMax ? kMax : cap;
}

}  // namespace

PyObject* encode_to_bytes(PyObject* instance, DescriptorObject* desc) {
    std::uint8_t stack[kStackBytes];
    BytesStorage storage;
    std::uint8_t* first = stack;
    std::size_t cap = sizeof stack;
    if (const std::size_t last = desc->state.encode_cache.last_size; last > kStackBytes * 3 / 4) {
        // Most likely too long for the stack: straight into the result.
        cap = first_capacity(last);
        first = storage.grow(nullptr, 0, cap);
        if (!first) return nullptr;
    }
    OutputBuffer out(storage, first, cap);
    ErrorPath path;
    if (!encode_message(instance, desc, out, path, 0)) {
        path.annotate("while encoding ", desc->state.schema.name);
        return nullptr;
    }
    return storage.finish(out.data(), out.size());
}

}  // namespace quillspar::encode
