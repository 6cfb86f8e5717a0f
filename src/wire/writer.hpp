// Wire writer: an append-only growable byte buffer and the protocol-buffers
// encodings appended to it (varints, ZigZag, fixed-width values, tags,
// length-delimited records).
//
// Used by the scalar conversion and the message encoder (encode/). Knows
// nothing of Python. Growth failure is reported by `ensure` returning false;
// nothing is ever written past the capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "reader.hpp"

namespace quillspar::wire {

constexpr std::uint32_t zigzag32(std::int32_t n) noexcept {
    return (static_cast<std::uint32_t>(n) << 1) ^ static_cast<std::uint32_t>(n >> 31);
}
constexpr std::uint64_t zigzag64(std::int64_t n) noexcept {
    return (static_cast<std::uint64_t>(n) << 1) ^ static_cast<std::uint64_t>(n >> 63);
}

constexpr std::size_t varint_size(std::uint64_t v) noexcept {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

// Writes a varint at `p` (which must have room for varint_size(v) bytes) and
// returns the position after it.
inline std::uint8_t* put_varint(std::uint8_t* p, std::uint64_t v) noexcept {
    while (v >= 0x80) {
        *p++ = static_cast<std::uint8_t>(v) | 0x80;
        v >>= 7;
    }
    *p++ = static_cast<std::uint8_t>(v);
    return p;
}

// Where an output buffer moves when it outgrows its first block, instead of
// a heap block of its own: it lets the encoder write straight into the object
// it returns.
class Storage {
public:
    // Makes the storage's block `cap` bytes long, its first `size` bytes
    // those at `data` (the buffer's current block, which may be the
    // storage's own), and returns its start; nullptr when that fails (the
    // storage's block is then gone).
    virtual std::uint8_t* grow(const std::uint8_t* data, std::size_t size, std::size_t cap) noexcept = 0;

protected:
    ~Storage() = default;
};

class OutputBuffer {
public:
    OutputBuffer() noexcept = default;
    // Starts in `data` (room for `n` bytes: the storage's block, or one the
    // caller owns and keeps alive as long as the buffer) and grows through
    // `storage`.
    OutputBuffer(Storage& storage, std::uint8_t* data, std::size_t n) noexcept
        : data_(data), cap_(n), owned_(false), storage_(&storage) {}
    // Starts in `initial` (room for `n` bytes, owned by the caller and living
    // at least as long as the buffer) and moves to the heap only when that is
    // full: most messages are encoded without a single allocation.
    OutputBuffer(std::uint8_t* initial, std::size_t n) noexcept : data_(initial), cap_(n), owned_(false) {}
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer() {
        if (owned_ && !storage_) std::free(data_);
    }

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Bytes that can be written before the buffer must grow.
    std::size_t room() const noexcept { return cap_ - size_; }

    // Makes room for `n` more bytes. False when memory cannot be had.
    [[nodiscard]] bool ensure(std::size_t n) noexcept {
        if (cap_ - size_ >= n) [[likely]]
            return true;
        return grow(n);
    }

    // Raw writes: the caller has ensured room.
    std::uint8_t* cursor() noexcept { return data_ + size_; }
    void advance_to(std::uint8_t* p) noexcept { size_ = static_cast<std::size_t>(p - data_); }
    void put_byte(std::uint8_t b) noexcept { data_[size_++] = b; }
    void put_bytes(const void* s, std::size_t n) noexcept {
        if (n) std::memcpy(data_ + size_, s, n);
        size_ += n;
    }
    void truncate(std::size_t n) noexcept { size_ = n; }

    // Checked appends; each returns false (and appends nothing) on failure.
    [[nodiscard]] bool write_byte(std::uint8_t b) noexcept {
        if (!ensure(1)) return false;
        put_byte(b);
        return true;
    }
    [[nodiscard]] bool write_varint(std::uint64_t v) noexcept {
        if (!ensure(10)) return false;
        advance_to(put_varint(cursor(), v));
        return true;
    }
    [[nodiscard]] bool write_tag(std::uint32_t field, WireType t) noexcept {
        return write_varint((static_cast<std::uint64_t>(field) << 3) | static_cast<std::uint64_t>(t));
    }
    [[nodiscard]] bool write_fixed32(std::uint32_t v) noexcept {
        if (!ensure(4)) return false;
        put_bytes(&v, 4);
        return true;
    }
    [[nodiscard]] bool write_fixed64(std::uint64_t v) noexcept {
        if (!ensure(8)) return false;
        put_bytes(&v, 8);
        return true;
    }
    [[nodiscard]] bool write_length_delimited(const void* s, std::size_t n) noexcept {
        if (n > std::numeric_limits<std::size_t>::max() - 10 || !ensure(10 + n)) return false;
        advance_to(put_varint(cursor(), n));
        put_bytes(s, n);
        return true;
    }
    [[nodiscard]] bool write_record(std::uint32_t field, const void* s, std::size_t n) noexcept {
        return write_tag(field, WireType::Len) && write_length_delimited(s, n);
    }

    // Nested records are written in place: reserve a length prefix sized for
    // the expected body, write the body behind it, then write the real length,
    // moving the body once if the prefix had the wrong width.
    [[nodiscard]] bool begin_record(std::size_t& mark, std::size_t& reserved, std::size_t expected_body = 0) noexcept {
        reserved = varint_size(expected_body);
        if (!ensure(reserved)) return false;
        mark = size_;
        size_ += reserved;
        return true;
    }
    [[nodiscard]] bool end_record(std::size_t mark, std::size_t reserved) noexcept {
        std::size_t body = size_ - mark - reserved;
        std::size_t need = varint_size(body);
        if (need != reserved) [[unlikely]] {
            if (need > reserved && !ensure(need - reserved)) return false;
            std::memmove(data_ + mark + need, data_ + mark + reserved, body);
            size_ = size_ + need - reserved;
        }
        put_varint(data_ + mark, body);
        return true;
    }


private:
    [[gnu::noinline]] bool grow(std::size_t n) noexcept {
        if (n > std::numeric_limits<std::size_t>::max() - size_) return false;
        std::size_t want = size_ + n;
        std::size_t twice = cap_ > std::numeric_limits<std::size_t>::max() / 2 ? want : cap_ * 2;
        std::size_t cap = want > twice ? want : twice;
        if (cap < 64) cap = 64;
        if (cap > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())) return false;
        void* d;
        if (storage_) {
            d = storage_->grow(data_, size_, cap);
            if (!d) {
                data_ = nullptr;
                size_ = cap_ = 0;
                return false;
            }
        } else if (owned_) {
            d = std::realloc(data_, cap);
            if (!d) return false;
        } else {
            d = std::malloc(cap);
            if (!d) return false;
            if (size_) std::memcpy(d, data_, size_);
            owned_ = true;
        }
        data_ = static_cast<std::uint8_t*>(d);
        cap_ = cap;
        return true;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
    bool owned_ = true;  // data_ is ours to free (or nullptr)
    Storage* storage_ = nullptr;  // where data_ lives, when set
};

}  // namespace quillspar::wire
