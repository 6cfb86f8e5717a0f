// Wire reader: a bounds-checked cursor over protocol-buffers wire bytes.
//
// Used by the descriptor compiler (schema/) and the message decoder (decode/).
// Knows nothing of schemas or Python. Never allocates, never copies: length-
// delimited records are handed out as sub-ranges of the input.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace quillspar::wire {

// Fixed-width values are loaded and stored with memcpy: the wire format is
// little-endian, and so must the host be.
static_assert(std::endian::native == std::endian::little, "fixed-width values are read as little-endian");

enum class WireType : std::uint8_t { Varint = 0, I64 = 1, Len = 2, I32 = 5 };

// Largest field number a tag may carry (2^29 - 1).
inline constexpr std::uint32_t kMaxFieldNumber = (1u << 29) - 1;

// One kind of malformed input. `kind` is the variant; `wire_type` is the payload
// of InvalidWireType (the low three bits of the offending tag).
struct WireError {
    enum Kind : std::uint8_t {
        None = 0, UnexpectedEof, VarintOverflow, InvalidWireType, InvalidLength, InvalidFieldNumber,
    };
    Kind kind = None;
    std::uint64_t wire_type = 0;

    explicit operator bool() const noexcept { return kind != None; }
    // "UnexpectedEof", "VarintOverflow", "InvalidWireType(3)", "InvalidLength",
    // "InvalidFieldNumber".
    std::string text() const;
};

// A byte range of the input: what read_length_delimited returns.
// A plain aggregate (`Span{}` is empty), so that arrays of them cost nothing
// to set up.
struct Span {
    const std::uint8_t* data;
    std::size_t size;
};

// The reader keeps the first error it meets in `error`; every read returns a
// neutral value after that, so callers may test once per step instead of after
// every primitive. After an error the position is meaningless and the whole
// input is abandoned.
class WireReader {
public:
    WireReader(const std::uint8_t* data, std::size_t size) noexcept : p_(data), end_(data + size) {}
    explicit WireReader(Span s) noexcept : WireReader(s.data, s.size) {}

    bool at_end() const noexcept { return p_ >= end_; }
    // The next byte to read.
    const std::uint8_t* cursor() const noexcept { return p_; }
    // Where the tag last read by read_tag begins: with cursor() after the
    // value, the whole record as it stands in the input.
    const std::uint8_t* tag_start() const noexcept { return tag_start_; }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }
    bool failed() const noexcept { return static_cast<bool>(error); }
    void fail(WireError::Kind k, std::uint64_t wt = 0) noexcept {
        if (!error) error = WireError{k, wt};
        p_ = end_;
    }

    // Base-128 varint, at most ten bytes; the tenth byte contributes only bit 63.
    [[gnu::always_inline]] std::uint64_t read_varint() noexcept {
        if (p_ < end_ && *p_ < 0x80) [[likely]]
            return *p_++;
        return read_varint_slow();
    }

    std::uint32_t read_fixed32() noexcept {
        if (remaining() < 4) [[unlikely]] {
            fail(WireError::UnexpectedEof);
            return 0;
        }
        std::uint32_t v;
        std::memcpy(&v, p_, 4);
        p_ += 4;
        return v;
    }

    std::uint64_t read_fixed64() noexcept {
        if (remaining() < 8) [[unlikely]] {
            fail(WireError::UnexpectedEof);
            return 0;
        }
        std::uint64_t v;
        std::memcpy(&v, p_, 8);
        p_ += 8;
        return v;
    }

    // The body of a length-delimited record; its length is checked against the
    // bytes that remain before anything is handed out.
    [[gnu::always_inline]] Span read_length_delimited() noexcept {
        std::uint64_t len = read_varint();
        if (failed()) return {};
        if (len > remaining()) [[unlikely]] {
            fail(WireError::InvalidLength);
            return {};
        }
        Span s{p_, static_cast<std::size_t>(len)};
        p_ += len;
        return s;
    }

    // A tag: field number and wire type. Wire types 3, 4, 6 and 7 (groups and
    // undefined codes) are refused with InvalidWireType; a tag varint longer
    // than five bytes, field number 0 and numbers above kMaxFieldNumber with
    // InvalidFieldNumber (the varint's own errors come first, the wire type
    // before the number).
    [[gnu::always_inline]] bool read_tag(std::uint32_t& field, WireType& type) noexcept {
        tag_start_ = p_;
        std::uint64_t tag;
        bool in_range;  // below 2^32, so the number is at most 2^29 - 1
        if (p_ < end_ && *p_ < 0x80) [[likely]] {
            tag = *p_++;
            in_range = true;
        } else {
            const std::uint8_t* start = p_;
            tag = read_varint_slow();
            if (failed()) return false;
            in_range = p_ - start <= 5 && tag <= 0xFFFFFFFFu;
            if (p_ - start > 5) [[unlikely]] {
                fail(WireError::InvalidFieldNumber);
                return false;
            }
        }
        unsigned wt = static_cast<unsigned>(tag & 7);
        if (wt == 3 || wt == 4 || wt > 5) [[unlikely]] {
            fail(WireError::InvalidWireType, wt);
            return false;
        }
        if (tag < 8 || !in_range) [[unlikely]] {
            fail(WireError::InvalidFieldNumber);
            return false;
        }
        field = static_cast<std::uint32_t>(tag >> 3);
        type = static_cast<WireType>(wt);
        return true;
    }

    // The next byte when it is a whole tag by itself (below 0x80), consumed,
    // or -1 with nothing consumed. The caller checks the tag, or hands it
    // back with unread_tag() for read_tag to check.
    [[gnu::always_inline]] int read_short_tag() noexcept {
        if (p_ < end_ && *p_ < 0x80) [[likely]] {
            tag_start_ = p_;
            return *p_++;
        }
        return -1;
    }
    // Steps back to the start of the tag last read.
    void unread_tag() noexcept { p_ = tag_start_; }
    // Consumes the next byte when it is `tag`, a one-byte tag that the
    // caller has checked already (the next element of a repeated field).
    [[gnu::always_inline]] bool read_same_tag(int tag) noexcept {
        if (p_ < end_ && *p_ == tag) {
            tag_start_ = p_++;
            return true;
        }
        return false;
    }

    // Skip one value of a wire type that read_tag accepted.
    void skip_field(WireType type) noexcept {
        switch (type) {
        case WireType::Varint: read_varint(); break;
        case WireType::I64: skip(8); break;
        case WireType::Len: read_length_delimited(); break;
        case WireType::I32: skip(4); break;
        }
    }

    WireError error;

private:
    void skip(std::size_t n) noexcept {
        if (remaining() < n) {
            fail(WireError::UnexpectedEof);
            return;
        }
        p_ += n;
    }

    std::uint64_t read_varint_slow() noexcept;

    const std::uint8_t* p_;
    const std::uint8_t* end_;
    const std::uint8_t* tag_start_ = nullptr;
};

inline std::uint64_t WireReader::read_varint_slow() noexcept {
    if (p_ >= end_) {
        fail(WireError::UnexpectedEof);
        return 0;
    }
    const std::uint8_t* p = p_;
    std::uint64_t result = 0;
    if (remaining() >= 10) {
        // Every byte of a maximal varint is in range: no per-byte bounds test.
        for (unsigned i = 0; i < 9; ++i) {
            std::uint64_t b = p[i];
            result |= (b & 0x7F) << (7 * i);
            if (b < 0x80) {
                p_ = p + i + 1;
                return result;
            }
        }
        std::uint8_t last = p[9];
        if (last & 0x80) {
            fail(WireError::VarintOverflow);
            return 0;
        }
        p_ = p + 10;
        return result | (static_cast<std::uint64_t>(last & 1) << 63);
    }
    for (unsigned i = 0;; ++i) {
        if (p + i >= end_) {
            fail(WireError::UnexpectedEof);
            return 0;
        }
        std::uint64_t b = p[i];
        if (i == 9) {
            if (b & 0x80) {
                fail(WireError::VarintOverflow);
                return 0;
            }
            p_ = p + 10;
            return result | ((b & 1) << 63);
        }
        result |= (b & 0x7F) << (7 * i);
        if (b < 0x80) {
            p_ = p + i + 1;
            return result;
        }
    }
}

inline std::string WireError::text() const {
    switch (kind) {
    case UnexpectedEof: return "UnexpectedEof";
    case VarintOverflow: return "VarintOverflow";
    case InvalidWireType: return "InvalidWireType(" + std::to_string(wire_type) + ")";
    case InvalidLength: return "InvalidLength";
    case InvalidFieldNumber: return "InvalidFieldNumber";
    case None: break;
    }
    return "None";
}

}  // namespace quillspar::wire
