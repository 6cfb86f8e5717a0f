// Scalar value conversion: one Python object to the wire body of one scalar
// kind, singular fields left out when they hold their default, and enum
// numbers.
//
// Used by the message encoder. Every function returns false (or -1) with a
// Python exception set on failure; a failed write_scalar may leave a partial
// body behind, which the encoder discards with the whole output.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstring>

#include "../schema/schema.hpp"
#include "../wire/writer.hpp"

namespace quillspar::encode {

// Byte strings longer than this are copied in pieces of this size, with a
// look at pending signals between pieces, so that Ctrl-C stops a long copy.
inline constexpr std::size_t kSignalCheckBytes = std::size_t{4} << 20;

// Appends the body of `value` as scalar `kind` (no tag).
bool write_scalar(wire::OutputBuffer& out, schema::FieldKind kind, PyObject* value);

// A field without presence of scalar `kind` or Enum: converts `value` once
// and writes the tag for `number` and the body, unless the converted value is
// the kind's default (then nothing is written).
bool write_unless_default(wire::OutputBuffer& out, schema::FieldKind kind, std::uint32_t number, PyObject* value);

// The signed 32-bit number of an enum value.
bool to_enum_number(PyObject* value, std::int32_t& number);

// Raises MemoryError for an output buffer that cannot grow. Returns false.
bool out_of_memory() noexcept;

// Appends the varint length and the `n` bytes at `s` (a copy of more than
// kSignalCheckBytes lets signal handlers run between its pieces; one that
// raises stops it). The bytes must stay where they are while Python code
// runs: those of an immutable object.
bool write_text(wire::OutputBuffer& out, const char* s, std::size_t n);

// A field's tag as written: its varint bytes, first byte lowest, and their
// count (at most five).
struct Tag {
    std::uint64_t bytes = 0;
    std::uint8_t size = 0;
};

constexpr Tag make_tag(std::uint32_t number, wire::WireType type) noexcept {
    std::uint64_t v = (static_cast<std::uint64_t>(number) << 3) | static_cast<std::uint64_t>(type);
    Tag t;
    while (v >= 0x80) {
        t.bytes |= ((v & 0x7F) | 0x80) << (8 * t.size++);
        v >>= 7;
    }
    t.bytes |= v << (8 * t.size++);
    return t;
}

namespace detail {

// Writes the tag at `p`, where at least eight bytes are writable.
[[gnu::always_inline]] inline std::uint8_t* put_tag(std::uint8_t* p, Tag tag) noexcept {
    std::memcpy(p, &tag.bytes, 8);  // the host is little-endian (wire/reader.hpp)
    return p + tag.size;
}

// Copies `n` bytes where at least 16 are writable, without a call for short runs.
[[gnu::always_inline]] inline void copy_short(std::uint8_t* d, const char* s, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        std::memcpy(d, s, 8);
        std::memcpy(d + n - 8, s + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(d, s, 4);
        std::memcpy(d + n - 4, s + n - 4, 4);
    } else if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(s[i]);
    } else {
        std::memcpy(d, s, n);
    }
}

// The tag and a length-delimited body, with room for it all made first.
[[gnu::always_inline]] inline bool put_delimited(wire::OutputBuffer& out, Tag tag, const char* s,
                                                 std::size_t n) noexcept {
    if (!out.ensure(n + 24)) return false;
    std::uint8_t* p = wire::put_varint(put_tag(out.cursor(), tag), n);
    copy_short(p, s, n);
    out.advance_to(p + n);
    return true;
}

// The value of an int (or subclass: bool, IntEnum members) that fits 64
// bits, read without a call for one digit. For an int neither runs Python
// code nor fails.
[[gnu::always_inline]] inline bool int64_of(PyObject* v, std::int64_t& x) noexcept {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) [[likely]] {
        x = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
        return true;
    }
    int overflow = 0;
    x = PyLong_AsLongAndOverflow(v, &overflow);
    return overflow == 0;
}

}  // namespace detail

// The short path of one scalar or enum value with its tag (`implicit`: a
// field without presence, left out when it holds its kind's default): values
// of the built-in types whose conversion runs no Python code and cannot fail.
// 1 when the value was handled (written or left out), 0 when it needs the
// general conversion (nothing written then), -1 with MemoryError set.
[[gnu::always_inline]] inline int write_fast(wire::OutputBuffer& out, schema::FieldKind kind, Tag tag, bool implicit,
                                             PyObject* v) noexcept {
    using schema::FieldKind;
    switch (kind) {
    case FieldKind::String: {
        if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_COMPACT_ASCII(v)) return 0;
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
        if (n == 0 && implicit) return 1;
        if (n > kSignalCheckBytes) return 0;
        return detail::put_delimited(out, tag, static_cast<const char*>(PyUnicode_DATA(v)), n) ? 1 : -1;
    }
    case FieldKind::Bytes: {
        if (!PyBytes_CheckExact(v)) return 0;
        const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(v));
        if (n == 0 && implicit) return 1;
        if (n > kSignalCheckBytes) return 0;
        return detail::put_delimited(out, tag, PyBytes_AS_STRING(v), n) ? 1 : -1;
    }
    case FieldKind::Double:
    case FieldKind::Float: {
        if (!PyFloat_CheckExact(v)) return 0;
        const double d = PyFloat_AS_DOUBLE(v);
        if (!out.ensure(24)) return -1;
        std::uint8_t* p = out.cursor();
        if (kind == FieldKind::Double) {
            const auto bits = std::bit_cast<std::uint64_t>(d);
            if (bits == 0 && implicit) return 1;  // only +0.0 is left out
            p = detail::put_tag(p, tag);
            std::memcpy(p, &bits, 8);
            out.advance_to(p + 8);
        } else {
            const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(d));
            if (bits == 0 && implicit) return 1;
            p = detail::put_tag(p, tag);
            std::memcpy(p, &bits, 4);
            out.advance_to(p + 4);
        }
        return 1;
    }
    case FieldKind::Bool: {
        if (!PyBool_Check(v)) return 0;
        if (v == Py_False && implicit) return 1;
        if (!out.ensure(16)) return -1;
        std::uint8_t* p = detail::put_tag(out.cursor(), tag);
        *p = v == Py_True ? 1 : 0;
        out.advance_to(p + 1);
        return 1;
    }
    case FieldKind::Message:
        return 0;
    default: {
        // The integer kinds and Enum: an int (or subclass) within 64 bits and
        // within the kind's range; anything else takes the general path and
        // its error.
        std::int64_t x;
        if (!PyLong_Check(v) || !detail::int64_of(v, x)) return 0;
        if (x == 0 && implicit) return 1;
        switch (kind) {
        case FieldKind::Int32: case FieldKind::SInt32: case FieldKind::SFixed32: case FieldKind::Enum:
            if (x < INT32_MIN || x > INT32_MAX) return 0;
            break;
        case FieldKind::UInt32: case FieldKind::Fixed32:
            if (x < 0 || x > static_cast<std::int64_t>(UINT32_MAX)) return 0;
            break;
        case FieldKind::UInt64: case FieldKind::Fixed64:
            if (x < 0) return 0;
            break;
        default: break;
        }
        if (!out.ensure(24)) return -1;
        std::uint8_t* p = detail::put_tag(out.cursor(), tag);
        switch (kind) {
        case FieldKind::Fixed32:
        case FieldKind::SFixed32: {
            const auto bits = static_cast<std::uint32_t>(x);
            std::memcpy(p, &bits, 4);
            p += 4;
            break;
        }
        case FieldKind::Fixed64:
        case FieldKind::SFixed64: {
            const auto bits = static_cast<std::uint64_t>(x);
            std::memcpy(p, &bits, 8);
            p += 8;
            break;
        }
        case FieldKind::SInt32: p = wire::put_varint(p, wire::zigzag32(static_cast<std::int32_t>(x))); break;
        case FieldKind::SInt64: p = wire::put_varint(p, wire::zigzag64(x)); break;
        default: p = wire::put_varint(p, static_cast<std::uint64_t>(x)); break;
        }
        out.advance_to(p);
        return 1;
    }
    }
}

}  // namespace quillspar::encode
