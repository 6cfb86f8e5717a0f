// The text forms that JSON gives protobuf scalars: standard base64 for bytes,
// decimal digits for 64-bit integers, and the shortest decimal that reads
// back as a given 32-bit float. Plain C++, no Python objects: writer.cpp and
// reader.cpp wrap the results.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace quillspar::json {

inline constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Length of the padded base64 text of `n` bytes.
constexpr std::size_t base64_length(std::size_t n) noexcept { return (n + 2) / 3 * 4; }

// Writes the padded standard base64 text of `src` (base64_length(n) chars).
inline void base64_encode(const unsigned char* src, std::size_t n, unsigned char* out) noexcept {
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t{src[i]} << 16) | (std::uint32_t{src[i + 1]} << 8) | src[i + 2];
        *out++ = kBase64Alphabet[v >> 18];
        *out++ = kBase64Alphabet[(v >> 12) & 63];
        *out++ = kBase64Alphabet[(v >> 6) & 63];
        *out++ = kBase64Alphabet[v & 63];
    }
    if (i < n) {
        const std::uint32_t v = (std::uint32_t{src[i]} << 16) | (i + 1 < n ? std::uint32_t{src[i + 1]} << 8 : 0);
        *out++ = kBase64Alphabet[v >> 18];
        *out++ = kBase64Alphabet[(v >> 12) & 63];
        *out++ = i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
}

// The 6-bit value of a standard base64 character, or -1.
constexpr int base64_value(unsigned char c) noexcept {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Number of bytes that `text` decodes to when it is canonical standard
// base64 (whole quads, padding only at the end, unused bits zero), else
// nullopt. Any other spelling is left to the caller's general decoder.
inline std::optional<std::size_t> base64_canonical_size(std::string_view text) noexcept {
    const std::size_t n = text.size();
    if (n % 4 != 0) return std::nullopt;
    if (n == 0) return 0;
    std::size_t pad = text[n - 1] == '=' ? (text[n - 2] == '=' ? 2 : 1) : 0;
    for (std::size_t i = 0; i < n - pad; ++i)
        if (base64_value(static_cast<unsigned char>(text[i])) < 0) return std::nullopt;
    const int last = base64_value(static_cast<unsigned char>(text[n - pad - 1]));
    if ((pad == 2 && (last & 15) != 0) || (pad == 1 && (last & 3) != 0)) return std::nullopt;
    return n / 4 * 3 - pad;
}

// Decodes text that base64_canonical_size accepted into `out` (that many bytes).
inline void base64_decode(std::string_view text, unsigned char* out) noexcept {
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return static_cast<std::uint32_t>(base64_value(static_cast<unsigned char>(text[k]))); };
    for (; i + 4 <= n; i += 4) {
        const bool last = i + 4 == n;
        const std::size_t pad = last ? (text[n - 1] == '=' ? (text[n - 2] == '=' ? 2 : 1) : 0) : 0;
        std::uint32_t v = (at(i) << 18) | (at(i + 1) << 12);
        if (pad < 2) v |= at(i + 2) << 6;
        if (pad < 1) v |= at(i + 3);
        *out++ = static_cast<unsigned char>(v >> 16);
        if (pad < 2) *out++ = static_cast<unsigned char>(v >> 8);
        if (pad < 1) *out++ = static_cast<unsigned char>(v);
    }
}

// Decimal digits of `v` into `buf` (at least 21 chars); returns the length.
template <class Int>
std::size_t decimal(Int v, char* buf) noexcept {
    return static_cast<std::size_t>(std::to_chars(buf, buf + 21, v).ptr - buf);
}

// An integer written as JSON writes it in a string: an optional minus sign
// and ASCII digits, nothing else. nullopt for any other text, and for values
// beyond 64 bits (which no field holds; the caller's general path words the
// error).
struct ParsedInt {
    bool negative;
    std::uint64_t magnitude;
};
inline std::optional<ParsedInt> parse_integer(std::string_view text) noexcept {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) i = 1;
    if (i == text.size()) return std::nullopt;
    std::uint64_t m = 0;
    for (; i < text.size(); ++i) {
        const unsigned d = static_cast<unsigned char>(text[i]) - '0';
        if (d > 9) return std::nullopt;
        if (m > (UINT64_MAX - d) / 10) return std::nullopt;
        m = m * 10 + d;
    }
    return ParsedInt{negative, m};
}

// The shortest decimal (6 to 9 significant digits) that reads back as the
// 32-bit float `f`, as a double. nullopt only if none does, which cannot
// happen for a finite float (9 digits always do).
inline std::optional<double> shortest_float32(float f) noexcept {
    char buf[40];
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(f));
        const double d = std::strtod(buf, nullptr);
        const float back = static_cast<float>(d);
        if (std::isinf(back)) return std::nullopt;
        if (back == f) return d;
    }
    return std::nullopt;
}

// Appends `text` (UTF-8) as a JSON string: quoted, with '"', '\\' and the
// control characters escaped as orjson escapes them; everything else as it is.
inline void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t run = 0;  // start of the bytes not yet copied
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') [[likely]]
            continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\b': out.append("\\b"); break;
            case '\t': out.append("\\t"); break;
            case '\n': out.append("\\n"); break;
            case '\f': out.append("\\f"); break;
            case '\r': out.append("\\r"); break;
            default: {
                const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
                out.append(u, sizeof u);
            }
        }
    }
    out.append(text.data() + run, text.size() - run);
    out.push_back('"');
}

// Appends a finite double as orjson writes it: the shortest decimal that
// reads back as it (`repr` holds it), in plain notation from 1e-5 up to
// 1e16 and in exponent notation, with an unpadded exponent, outside that.
// `repr` is Python's repr of the double.
inline void append_float_repr(std::string& out, std::string_view repr) {
    const std::size_t e = repr.find('e');
    if (e == std::string_view::npos) {
        out.append(repr);
        return;
    }
    std::string_view mantissa = repr.substr(0, e);
    std::string_view exponent = repr.substr(e + 1);  // sign and at least two digits
    const char sign = exponent[0];
    std::string_view digits = exponent.substr(1);
    while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
    if (sign == '-' && digits == "5") {  // 1.25e-05 is written 0.0000125
        if (!mantissa.empty() && mantissa[0] == '-') {
            out.push_back('-');
            mantissa.remove_prefix(1);
        }
        out.append("0.0000");
        for (char c : mantissa)
            if (c != '.') out.push_back(c);
        return;
    }
    out.append(mantissa);
    out.push_back('e');
    out.push_back(sign);
    out.append(digits);
}

}  // namespace quillspar::json
