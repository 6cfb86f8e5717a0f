// UTF-8 validation by the rules of RFC 3629: no overlong forms, no surrogate
// code points (U+D800..U+DFFF), nothing above U+10FFFF.
//
// Used for every name the descriptor compiler stores and every string value the
// decoder turns into a `str`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillspar::wire {

// Returns the index of the first byte of the first invalid sequence, or `size`
// when the whole input is valid. `bad_len` receives the length of the invalid
// sequence (at least 1), as far as it can be told apart.
inline std::size_t utf8_invalid_at(const std::uint8_t* s, std::size_t size, std::size_t* bad_len = nullptr) noexcept {
    std::size_t i = 0;
    while (i < size) {
        // ASCII runs, eight bytes at a time.
        while (i + 8 <= size) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= size) break;
        std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t need;
        std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;        // overlong
            else if (c == 0xED) hi = 0x9F;   // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;        // overlong
            else if (c == 0xF4) hi = 0x8F;   // above U+10FFFF
        } else {
            if (bad_len) *bad_len = 1;
            return i;
        }
        std::size_t k = 1;
        for (; k <= need; ++k) {
            if (i + k >= size) break;
            std::uint8_t b = s[i + k];
            std::uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
            if (b < l || b > h) break;
        }
        if (k <= need) {
            if (bad_len) *bad_len = k;
            return i;
        }
        i += need + 1;
    }
    return size;
}

inline bool utf8_valid(const std::uint8_t* s, std::size_t size) noexcept {
    return utf8_invalid_at(s, size) == size;
}

}  // namespace quillspar::wire
