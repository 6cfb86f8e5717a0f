// libFuzzer target for the wire layer (src/wire): the reader over arbitrary
// bytes, the writer's output read back, and the UTF-8 validator.
//
// Every input is used three ways:
//   1. as wire data: walked with read_tag / read_* / skip_field, each step
//      checked against a plain reference decoder (values, errors, positions),
//      with every handed-out span inside the input and the position monotonic;
//   2. as a script of writer operations (varints, tags, fixed values, ZigZag,
//      length-delimited values, records, and in-place records opened with a
//      deliberately wrong length reservation), whose output must read back to
//      exactly what was written;
//   3. as text for the UTF-8 validator, compared with a reference decoder.
//
// Any mismatch aborts (a crash for libFuzzer); the sanitizers catch the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wire/reader.hpp"
#include "wire/utf8.hpp"
#include "wire/writer.hpp"

using namespace quillspar::wire;

#include "check.hpp"

namespace {

// ------------------------------------------------------------ reference reader

struct RefVarint {
    WireError::Kind error = WireError::None;
    std::uint64_t value = 0;
    std::size_t end = 0;  // position after the varint
};

// Base-128 varint at `pos`, the plain way: at most ten bytes, the tenth
// contributing bit 63 only and refused when its continuation bit is set.
RefVarint ref_varint(const std::uint8_t* d, std::size_t n, std::size_t pos) {
    RefVarint r;
    for (unsigned i = 0; i < 10; ++i) {
        if (pos + i >= n) {
            r.error = WireError::UnexpectedEof;
            return r;
        }
        std::uint8_t b = d[pos + i];
        if (i == 9) {
            if (b & 0x80) {
                r.error = WireError::VarintOverflow;
                return r;
            }
            r.value |= static_cast<std::uint64_t>(b & 1) << 63;
            r.end = pos + 10;
            return r;
        }
        r.value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) {
            r.end = pos + i + 1;
            return r;
        }
    }
    std::abort();
}

std::size_t position(const WireReader& r, std::size_t n) { return n - r.remaining(); }

// Walks `d[0..n)` as a message; length-delimited values are walked again as
// messages of their own (bounded depth), with a fresh reader over the record.
void walk(const std::uint8_t* d, std::size_t n, int depth) {
    WireReader r(d, n);
    std::size_t last = 0;
    unsigned step = 0;
    while (!r.at_end()) {
        const std::size_t pos = position(r, n);
        CHECK(pos >= last && pos < n);
        last = pos;
        RefVarint tag = ref_varint(d, n, pos);
        std::uint32_t field = 0;
        WireType wt{};
        bool ok = r.read_tag(field, wt);
        if (tag.error) {
            CHECK(!ok && r.failed() && r.error.kind == tag.error && r.at_end());
            return;
        }
        if (tag.end - pos > 5) {
            CHECK(!ok && r.error.kind == WireError::InvalidFieldNumber && r.error.text() == "InvalidFieldNumber");
            return;
        }
        unsigned code = static_cast<unsigned>(tag.value & 7);
        if (code == 3 || code == 4 || code > 5) {
            CHECK(!ok && r.error.kind == WireError::InvalidWireType && r.error.wire_type == code);
            CHECK(r.error.text() == "InvalidWireType(" + std::to_string(code) + ")");
            return;
        }
        if ((tag.value >> 3) == 0 || (tag.value >> 3) > 536870911u) {
            CHECK(!ok && r.error.kind == WireError::InvalidFieldNumber && r.at_end());
            return;
        }
        CHECK(ok && !r.failed());
        CHECK(field == tag.value >> 3);
        CHECK(static_cast<unsigned>(wt) == code);
        CHECK(position(r, n) == tag.end);

        const std::size_t vpos = tag.end;
        // Alternate between reading the value and skipping it: both must
        // agree with the reference on the error and the end position.
        const bool skip = (step++ + field) % 3 == 0;
        switch (wt) {
        case WireType::Varint: {
            RefVarint v = ref_varint(d, n, vpos);
            std::uint64_t got = 0;
            if (skip) r.skip_field(wt);
            else got = r.read_varint();
            if (v.error) {
                CHECK(r.failed() && r.error.kind == v.error);
                return;
            }
            CHECK(!r.failed() && position(r, n) == v.end);
            if (!skip) CHECK(got == v.value);
            break;
        }
        case WireType::I64:
        case WireType::I32: {
            const std::size_t w = wt == WireType::I64 ? 8 : 4;
            std::uint64_t got = 0;
            if (skip) r.skip_field(wt);
            else got = w == 8 ? r.read_fixed64() : r.read_fixed32();
            if (n - vpos < w) {
                CHECK(r.failed() && r.error.kind == WireError::UnexpectedEof);
                return;
            }
            CHECK(!r.failed() && position(r, n) == vpos + w);
            if (!skip) {
                std::uint64_t want = 0;
                for (std::size_t i = 0; i < w; ++i) want |= static_cast<std::uint64_t>(d[vpos + i]) << (8 * i);
                CHECK(got == want);
            }
            break;
        }
        case WireType::Len: {
            RefVarint len = ref_varint(d, n, vpos);
            Span s{};
            if (skip) r.skip_field(wt);
            else s = r.read_length_delimited();
            if (len.error) {
                CHECK(r.failed() && r.error.kind == len.error);
                return;
            }
            if (len.value > n - len.end) {
                CHECK(r.failed() && r.error.kind == WireError::InvalidLength);
                return;
            }
            CHECK(!r.failed() && position(r, n) == len.end + len.value);
            if (!skip) {
                CHECK(s.data == d + len.end && s.size == len.value);
                CHECK(s.data >= d && s.data + s.size <= d + n);
                if (depth < 8 && s.size) walk(s.data, s.size, depth + 1);
            }
            break;
        }
        }
        CHECK(position(r, n) > pos && position(r, n) <= n);
    }
    CHECK(!r.failed());
}

// ------------------------------------------------------------ writer script

enum class Op : std::uint8_t {
    Varint, Tag, Fixed32, Fixed64, ZigZag32, ZigZag64, Byte, LengthDelimited, Record, Nested,
};

struct Item {
    Op op;
    std::uint64_t value = 0;
    std::uint32_t field = 0;
    WireType wt = WireType::Varint;
    std::string bytes;
    std::size_t expected_body = 0;  // Nested: the (possibly wrong) reservation
    std::vector<Item> children;     // Nested: the body
};

constexpr WireType kTypes[] = {WireType::Varint, WireType::I64, WireType::Len, WireType::I32};

std::uint64_t interesting_u64(FuzzedDataProvider& p) {
    switch (p.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return p.ConsumeIntegral<std::uint8_t>();
    case 1: return p.ConsumeIntegral<std::uint16_t>();
    case 2: return p.ConsumeIntegral<std::uint32_t>();
    case 3: return 1ull << p.ConsumeIntegralInRange<int>(0, 63);
    case 4: return ~0ull - p.ConsumeIntegral<std::uint8_t>();
    default: return p.ConsumeIntegral<std::uint64_t>();
    }
}

// A field number the reader accepts (1 .. 2^29 - 1), near the interesting
// values' low bits.
std::uint32_t field_number(FuzzedDataProvider& p) {
    std::uint32_t n = static_cast<std::uint32_t>(interesting_u64(p)) & kMaxFieldNumber;
    return n ? n : 1;
}

std::vector<Item> make_script(FuzzedDataProvider& p, int depth, std::size_t& budget) {
    std::vector<Item> items;
    while (p.remaining_bytes() && budget) {
        --budget;
        Item it;
        it.op = static_cast<Op>(p.ConsumeIntegralInRange<int>(0, 9));
        if (it.op == Op::Nested && depth >= 6) it.op = Op::Record;
        switch (it.op) {
        case Op::Varint: case Op::Fixed64: case Op::ZigZag64: it.value = interesting_u64(p); break;
        case Op::Fixed32: case Op::ZigZag32: it.value = p.ConsumeIntegral<std::uint32_t>(); break;
        case Op::Byte: it.value = p.ConsumeIntegral<std::uint8_t>() & 0x7F; break;  // a one-byte varint
        case Op::Tag:
            it.field = field_number(p);
            it.wt = kTypes[p.ConsumeIntegralInRange<int>(0, 3)];
            break;
        case Op::LengthDelimited:
        case Op::Record:
            it.field = field_number(p);
            // Mostly short, sometimes long enough for a multi-byte length.
            it.bytes = p.ConsumeBool() ? p.ConsumeRandomLengthString(200)
                                       : std::string(p.ConsumeIntegralInRange<std::size_t>(0, 20000), 'x');
            break;
        case Op::Nested: {
            it.field = field_number(p);
            // A reservation that is right, too small or too large.
            switch (p.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: it.expected_body = 0; break;
            case 1: it.expected_body = p.ConsumeIntegral<std::uint16_t>(); break;
            case 2: it.expected_body = p.ConsumeIntegral<std::uint32_t>(); break;
            default: it.expected_body = static_cast<std::size_t>(interesting_u64(p)); break;
            }
            std::size_t n = p.ConsumeIntegralInRange<std::size_t>(0, 12);
            std::size_t child_budget = n < budget ? n : budget;
            budget -= child_budget;
            it.children = make_script(p, depth + 1, child_budget);
            // A few bulk children make the body cross a length-prefix width.
            if (p.ConsumeBool()) {
                Item bulk;
                bulk.op = Op::LengthDelimited;
                bulk.bytes = std::string(p.ConsumeIntegralInRange<std::size_t>(100, 20000), 'y');
                it.children.push_back(std::move(bulk));
            }
            break;
        }
        }
        items.push_back(std::move(it));
    }
    return items;
}

std::size_t encoded_size(const std::vector<Item>& items);

std::size_t encoded_size(const Item& it) {
    switch (it.op) {
    case Op::Varint: return varint_size(it.value);
    case Op::Tag: return varint_size((static_cast<std::uint64_t>(it.field) << 3) | static_cast<unsigned>(it.wt));
    case Op::Fixed32: return 4;
    case Op::Fixed64: return 8;
    case Op::ZigZag32: return varint_size(zigzag32(static_cast<std::int32_t>(it.value)));
    case Op::ZigZag64: return varint_size(zigzag64(static_cast<std::int64_t>(it.value)));
    case Op::Byte: return 1;
    case Op::LengthDelimited: return varint_size(it.bytes.size()) + it.bytes.size();
    case Op::Record:
        return varint_size(static_cast<std::uint64_t>(it.field) << 3 | 2) + varint_size(it.bytes.size()) +
               it.bytes.size();
    case Op::Nested: {
        std::size_t body = encoded_size(it.children);
        return varint_size(static_cast<std::uint64_t>(it.field) << 3 | 2) + varint_size(body) + body;
    }
    }
    std::abort();
}

std::size_t encoded_size(const std::vector<Item>& items) {
    std::size_t n = 0;
    for (const auto& it : items) n += encoded_size(it);
    return n;
}

void write_items(OutputBuffer& out, const std::vector<Item>& items) {
    for (const auto& it : items) {
        const std::size_t before = out.size();
        switch (it.op) {
        case Op::Varint: CHECK(out.write_varint(it.value)); break;
        case Op::Tag: CHECK(out.write_tag(it.field, it.wt)); break;
        case Op::Fixed32: CHECK(out.write_fixed32(static_cast<std::uint32_t>(it.value))); break;
        case Op::Fixed64: CHECK(out.write_fixed64(it.value)); break;
        case Op::ZigZag32: CHECK(out.write_varint(zigzag32(static_cast<std::int32_t>(it.value)))); break;
        case Op::ZigZag64: CHECK(out.write_varint(zigzag64(static_cast<std::int64_t>(it.value)))); break;
        case Op::Byte: CHECK(out.write_byte(static_cast<std::uint8_t>(it.value))); break;
        case Op::LengthDelimited: CHECK(out.write_length_delimited(it.bytes.data(), it.bytes.size())); break;
        case Op::Record: CHECK(out.write_record(it.field, it.bytes.data(), it.bytes.size())); break;
        case Op::Nested: {
            std::size_t mark = 0, reserved = 0;
            CHECK(out.write_tag(it.field, WireType::Len));
            CHECK(out.begin_record(mark, reserved, it.expected_body));
            CHECK(reserved == varint_size(it.expected_body));
            write_items(out, it.children);
            CHECK(out.end_record(mark, reserved));
            break;
        }
        }
        CHECK(out.size() - before == encoded_size(it));
    }
}

void read_items(WireReader& r, const std::vector<Item>& items) {
    for (const auto& it : items) {
        switch (it.op) {
        case Op::Varint: CHECK(r.read_varint() == it.value); break;
        case Op::Tag: {
            std::uint32_t field = 0;
            WireType wt{};
            CHECK(r.read_tag(field, wt));
            CHECK(field == it.field && wt == it.wt);
            break;
        }
        case Op::Fixed32: CHECK(r.read_fixed32() == static_cast<std::uint32_t>(it.value)); break;
        case Op::Fixed64: CHECK(r.read_fixed64() == it.value); break;
        case Op::ZigZag32: {
            std::uint32_t z = static_cast<std::uint32_t>(r.read_varint());
            CHECK(static_cast<std::int32_t>((z >> 1) ^ (0u - (z & 1))) == static_cast<std::int32_t>(it.value));
            break;
        }
        case Op::ZigZag64: {
            std::uint64_t z = r.read_varint();
            CHECK(((z >> 1) ^ (0ull - (z & 1))) == it.value);
            break;
        }
        case Op::Byte: CHECK(r.read_varint() == it.value); break;
        case Op::LengthDelimited: {
            Span s = r.read_length_delimited();
            CHECK(!r.failed());
            CHECK(s.size == it.bytes.size() && std::memcmp(s.data, it.bytes.data(), s.size) == 0);
            break;
        }
        case Op::Record: {
            std::uint32_t field = 0;
            WireType wt{};
            CHECK(r.read_tag(field, wt) && field == it.field && wt == WireType::Len);
            Span s = r.read_length_delimited();
            CHECK(!r.failed());
            CHECK(s.size == it.bytes.size() && std::memcmp(s.data, it.bytes.data(), s.size) == 0);
            break;
        }
        case Op::Nested: {
            std::uint32_t field = 0;
            WireType wt{};
            CHECK(r.read_tag(field, wt) && field == it.field && wt == WireType::Len);
            Span s = r.read_length_delimited();
            CHECK(!r.failed());
            CHECK(s.size == encoded_size(it.children));
            WireReader sub(s);
            read_items(sub, it.children);
            break;
        }
        }
        CHECK(!r.failed());
    }
}

void round_trip(const std::uint8_t* d, std::size_t n) {
    FuzzedDataProvider p(d, n);
    std::size_t budget = 64;
    std::vector<Item> items = make_script(p, 0, budget);
    OutputBuffer out;
    write_items(out, items);
    CHECK(out.size() == encoded_size(items));
    WireReader r(out.data(), out.size());
    read_items(r, items);
}

// ------------------------------------------------------------ UTF-8

// Returns the offset of the first invalid sequence, or n: decode each code
// point and check its range, its shortest form and the surrogate gap.
std::size_t ref_utf8_invalid_at(const std::uint8_t* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        std::uint8_t c = s[i];
        std::size_t len;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        else return i;
        if (i + len > n) return i;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static const std::uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        i += len;
    }
    return n;
}

void utf8_check(const std::uint8_t* d, std::size_t n) {
    std::size_t bad_len = 0;
    std::size_t at = utf8_invalid_at(d, n, &bad_len);
    CHECK(at == ref_utf8_invalid_at(d, n));
    CHECK(utf8_valid(d, n) == (at == n));
    if (at < n) CHECK(bad_len >= 1 && bad_len <= 4 && at + bad_len <= n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    walk(data, size, 0);
    round_trip(data, size);
    utf8_check(data, size);
    return 0;
}
