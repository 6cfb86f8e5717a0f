// JSON text straight into message instances, for from_json: one pass over
// the text with the reader's plan, building only the values the fields
// hold. Reads plain well-formed JSON, as strictly as orjson does, and gives
// up (nullptr) on anything else: malformed text, numbers beyond 64 bits or
// beyond a double, a field given twice, a value the plan does not take as it
// stands. The caller then parses the text with orjson and reads the values,
// so that what orjson accepts and the messages of its errors stay the rule.
#include <Python.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "../py/depth.hpp"
#include "../py/ref.hpp"
#include "plan.hpp"
#include "reader.hpp"
#include "text.hpp"

namespace quillspar::json {
namespace {

// Deepest nesting of JSON arrays and objects read here; orjson's own limit
// (1024) is a little deeper, so all that this refuses is left to it.
constexpr int kMaxJsonDepth = 1000;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool has_high_bytes(std::string_view s) noexcept {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

// A str from UTF-8 (validated; nullptr with an exception set when invalid).
PyObject* new_text(std::string_view s) noexcept {
    if (!has_high_bytes(s)) {
        PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
        if (out) std::memcpy(PyUnicode_1BYTE_DATA(out), s.data(), s.size());
        return out;
    }
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

class Parser {
public:
    Parser(const char* text, std::size_t size, bool valid_utf8) noexcept
        : p_(text), end_(text + size), valid_utf8_(valid_utf8) {}

    PyObject* top(ReaderBody& b) {
        space();
        if (!at('{')) return nullptr;
        Ref out = Ref::steal(message(b, 0));
        if (!out) return nullptr;
        space();
        return p_ == end_ ? out.release() : nullptr;
    }

private:
    const char* p_;
    const char* end_;
    bool valid_utf8_;        // the text came from a str, so it is valid UTF-8
    std::string scratch_;    // unescaped strings
    std::string key_scratch_;

    bool at(char c) const noexcept { return p_ < end_ && *p_ == c; }

    void space() noexcept {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool word(std::string_view w) noexcept {
        if (static_cast<std::size_t>(end_ - p_) < w.size() || std::string_view(p_, w.size()) != w) return false;
        p_ += w.size();
        return true;
    }

    // A string token (at '"'): its UTF-8 bytes, unescaped (in `scratch`
    // when it had escapes). False for a malformed one.
    bool string(std::string_view& out, std::string& scratch) {
        const char* start = ++p_;
        while (p_ < end_) {
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                out = {start, static_cast<std::size_t>(p_ - start)};
                ++p_;
                return true;
            }
            if (c == '\\') break;
            if (c < 0x20) return false;
            ++p_;
        }
        if (p_ >= end_) return false;
        scratch.assign(start, static_cast<std::size_t>(p_ - start));
        while (p_ < end_) {
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                out = scratch;
                return true;
            }
            if (c < 0x20) return false;
            ++p_;
            if (c != '\\') {
                scratch.push_back(static_cast<char>(c));
                continue;
            }
            if (p_ >= end_) return false;
            switch (*p_++) {
                case '"': scratch.push_back('"'); break;
                case '\\': scratch.push_back('\\'); break;
                case '/': scratch.push_back('/'); break;
                case 'b': scratch.push_back('\b'); break;
                case 'f': scratch.push_back('\f'); break;
                case 'n': scratch.push_back('\n'); break;
                case 'r': scratch.push_back('\r'); break;
                case 't': scratch.push_back('\t'); break;
                case 'u': {
                    std::uint32_t cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a lone low surrogate
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        std::uint32_t low;
                        if (!word("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(scratch, cp);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool hex4(std::uint32_t& out) noexcept {
        if (end_ - p_ < 4) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hex_digit(*p_++);
            if (d < 0) return false;
            out = out << 4 | static_cast<std::uint32_t>(d);
        }
        return true;
    }

    // A number token: its text, and whether it is an integer (no fraction
    // or exponent).
    bool number(std::string_view& text, bool& integer) noexcept {
        const char* start = p_;
        if (at('-')) ++p_;
        if (at('0')) {
            ++p_;
        } else if (p_ < end_ && *p_ >= '1' && *p_ <= '9') {
            while (p_ < end_ && is_digit(*p_)) ++p_;
        } else {
            return false;
        }
        integer = true;
        if (at('.')) {
            ++p_;
            if (!(p_ < end_ && is_digit(*p_))) return false;
            while (p_ < end_ && is_digit(*p_)) ++p_;
            integer = false;
        }
        if (at('e') || at('E')) {
            ++p_;
            if (at('+') || at('-')) ++p_;
            if (!(p_ < end_ && is_digit(*p_))) return false;
            while (p_ < end_ && is_digit(*p_)) ++p_;
            integer = false;
        }
        text = {start, static_cast<std::size_t>(p_ - start)};
        return true;
    }

    // An integer token as a Python int, within 64 bits (orjson's ints).
    static PyObject* int_object(std::string_view text) noexcept {
        auto parsed = parse_integer(text);
        if (!parsed) return nullptr;
        if (!parsed->negative) return PyLong_FromUnsignedLongLong(parsed->magnitude);
        if (parsed->magnitude > std::uint64_t{1} << 63) return nullptr;
        if (parsed->magnitude == 0) return PyLong_FromLong(0);
        return PyLong_FromLongLong(-static_cast<long long>(parsed->magnitude - 1) - 1);
    }

    // A number token as orjson reads it: finite doubles only.
    static bool double_value(std::string_view text, double& out) noexcept {
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
        return ec == std::errc() && end == text.data() + text.size() && std::isfinite(out);
    }

    // Any JSON value as orjson gives it (for the converters of the
    // well-known types, and for skipped values).
    PyObject* python(int depth) {
        switch (p_ < end_ ? *p_ : '\0') {
            case '{': {
                if (depth >= kMaxJsonDepth) return nullptr;
                RecursionGuard guard(" while reading JSON");
                if (!guard.ok()) return nullptr;
                ++p_;
                Ref out = Ref::steal(PyDict_New());
                if (!out) return nullptr;
                space();
                if (at('}')) {
                    ++p_;
                    return out.release();
                }
                for (;;) {
                    std::string_view k;
                    if (!at('"') || !string(k, key_scratch_)) return nullptr;
                    Ref key = Ref::steal(new_text(k));
                    if (!key) return nullptr;
                    space();
                    if (!at(':')) return nullptr;
                    ++p_;
                    space();
                    Ref value = Ref::steal(python(depth + 1));
                    if (!value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
                    space();
                    if (at(',')) {
                        ++p_;
                        space();
                        continue;
                    }
                    if (!at('}')) return nullptr;
                    ++p_;
                    return out.release();
                }
            }
            case '[': {
                if (depth >= kMaxJsonDepth) return nullptr;
                RecursionGuard guard(" while reading JSON");
                if (!guard.ok()) return nullptr;
                ++p_;
                Ref out = Ref::steal(PyList_New(0));
                if (!out) return nullptr;
                space();
                if (at(']')) {
                    ++p_;
                    return out.release();
                }
                for (;;) {
                    Ref item = Ref::steal(python(depth + 1));
                    if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
                    space();
                    if (at(',')) {
                        ++p_;
                        space();
                        continue;
                    }
                    if (!at(']')) return nullptr;
                    ++p_;
                    return out.release();
                }
            }
            case '"': {
                std::string_view s;
                return string(s, scratch_) ? new_text(s) : nullptr;
            }
            case 't':
                if (word("true")) Py_RETURN_TRUE;
                return nullptr;
            case 'f':
                if (word("false")) Py_RETURN_FALSE;
                return nullptr;
            case 'n':
                if (word("null")) Py_RETURN_NONE;
                return nullptr;
            default: {
                std::string_view text;
                bool integer;
                if (!number(text, integer)) return nullptr;
                if (integer) return int_object(text);
                double d;
                return double_value(text, d) ? PyFloat_FromDouble(d) : nullptr;
            }
        }
    }

    // One value of a field (its only one, or an item of its list or map).
    PyObject* value(const InField& f, int depth) {
        if (f.kind == Kind::Call) {
            Ref v = Ref::steal(python(depth));
            return v ? PyObject_CallOneArg(f.aux.get(), v.get()) : nullptr;
        }
        const char c = p_ < end_ ? *p_ : '\0';
        if (c == '"') {
            std::string_view s;
            if (!string(s, scratch_)) return nullptr;
            switch (f.kind) {
                case Kind::Int32:
                case Kind::UInt32:
                case Kind::Int64:
                case Kind::UInt64: {
                    Ref text = Ref::steal(new_text(s));
                    return text ? read_integer(f.kind, text.get()) : nullptr;
                }
                case Kind::Double:
                case Kind::Float: {
                    const double d = s == "NaN" ? NAN : s == "Infinity" ? INFINITY : s == "-Infinity" ? -INFINITY : 0.0;
                    return d == 0.0 ? nullptr : PyFloat_FromDouble(d);
                }
                case Kind::String:
                    return new_text(s);
                case Kind::Bytes: {
                    auto size = base64_canonical_size(s);
                    if (!size) return nullptr;
                    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size));
                    if (out) base64_decode(s, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)));
                    return out;
                }
                case Kind::Enum:
                case Kind::NullEnum: {
                    Ref name = Ref::steal(new_text(s));
                    return name ? read_value(f, name.get(), depth) : nullptr;
                }
                default:
                    return nullptr;
            }
        }
        if (c == '{') {
            if (f.kind != Kind::Message || depth >= kMaxJsonDepth) return nullptr;
            ReaderBody* nested = as_reader(f.aux.get())->body;
            return nested && nested->index ? message(*nested, depth + 1) : nullptr;
        }
        if (c == 't' || c == 'f') {
            if (f.kind != Kind::Bool) return nullptr;
            if (word("true")) Py_RETURN_TRUE;
            if (word("false")) Py_RETURN_FALSE;
            return nullptr;
        }
        std::string_view text;
        bool integer;
        if (c == 'n' || c == '[' || !number(text, integer)) return nullptr;
        if (!integer) {  // orjson's float
            double d;
            if ((f.kind != Kind::Double && f.kind != Kind::Float) || !double_value(text, d)) return nullptr;
            Ref v = Ref::steal(PyFloat_FromDouble(d));
            return v ? read_value(f, v.get(), depth) : nullptr;
        }
        Ref v = Ref::steal(int_object(text));
        return v && f.kind != Kind::Bool && f.kind != Kind::String && f.kind != Kind::Bytes &&
                       f.kind != Kind::Message
                   ? read_value(f, v.get(), depth)
                   : nullptr;
    }

    PyObject* field(const InField& f, int depth) {
        if (f.shape == Shape::Repeated) {
            if (!at('[') || depth >= kMaxJsonDepth) return nullptr;
            ++p_;
            Ref out = Ref::steal(PyList_New(0));
            if (!out) return nullptr;
            space();
            if (at(']')) {
                ++p_;
                return out.release();
            }
            for (;;) {
                Ref item = Ref::steal(value(f, depth + 1));
                if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
                space();
                if (at(',')) {
                    ++p_;
                    space();
                    continue;
                }
                if (!at(']')) return nullptr;
                ++p_;
                return out.release();
            }
        }
        if (f.shape == Shape::Map) {
            if (!at('{') || depth >= kMaxJsonDepth) return nullptr;
            ++p_;
            Ref out = Ref::steal(PyDict_New());
            if (!out) return nullptr;
            space();
            if (at('}')) {
                ++p_;
                return out.release();
            }
            for (;;) {
                std::string_view k;
                if (!at('"') || !string(k, key_scratch_)) return nullptr;
                Ref text = Ref::steal(new_text(k));
                Ref key = Ref::steal(text ? read_map_key(f.key_kind, text.get()) : nullptr);
                if (!key) return nullptr;
                space();
                if (!at(':')) return nullptr;
                ++p_;
                space();
                Ref item = Ref::steal(value(f, depth + 1));
                const Py_ssize_t size = PyDict_GET_SIZE(out.get());
                if (!item || PyDict_SetItem(out.get(), key.get(), item.get()) < 0) return nullptr;
                // A key given again, or another spelling of a number: orjson
                // keeps the last value of a repeated key where the first stood.
                if (PyDict_GET_SIZE(out.get()) == size) return nullptr;
                space();
                if (at(',')) {
                    ++p_;
                    space();
                    continue;
                }
                if (!at('}')) return nullptr;
                ++p_;
                return out.release();
            }
        }
        return value(f, depth);
    }

    // The index of the field a key names, or -1; `hint` is where the
    // search starts (keys usually come in field order).
    static long find(const ReaderBody& b, std::string_view key, std::size_t& hint) noexcept {
        const std::size_t n = b.names.size();
        for (std::size_t j = 0, i = hint; j < n; ++j, ++i) {
            if (i >= n) i = 0;
            if (b.names[i].first == key) {
                hint = i + 1;
                return static_cast<long>(b.names[i].second);
            }
        }
        return -1;
    }

    // A message (at '{').
    PyObject* message(ReaderBody& b, int depth) {
        if (depth > 2 * kPlanDepth) return nullptr;  // depth counts levels of JSON here
        RecursionGuard guard(" while reading JSON");
        if (!guard.ok()) return nullptr;
        const std::size_t n = b.fields.size();
        if (n > 64) return nullptr;
        ++p_;
        FieldValues values(n);
        std::uint64_t seen = 0;
        std::size_t hint = 0;
        space();
        if (at('}')) {
            ++p_;
            return make_instance(b, values);
        }
        for (;;) {
            std::string_view key;
            if (!at('"') || !string(key, key_scratch_)) return nullptr;
            space();
            if (!at(':')) return nullptr;
            ++p_;
            space();
            const long i = find(b, key, hint);
            if (i < 0) {
                if (!b.ignore || (!valid_utf8_ && has_high_bytes(key))) return nullptr;
                Ref skipped = Ref::steal(python(depth + 1));
                if (!skipped) return nullptr;
            } else {
                const std::uint64_t bit = std::uint64_t{1} << i;
                if (seen & bit) return nullptr;  // given twice: orjson keeps the last, by either name
                seen |= bit;
                const InField& f = b.fields[static_cast<std::size_t>(i)];
                PyObject* v;
                if (at('n')) {
                    if (!word("null")) return nullptr;
                    if (f.null == Null::Unset) {
                        v = nullptr;
                    } else if (f.null == Null::Constant) {
                        v = Py_NewRef(f.null_value.get());
                    } else {
                        v = PyObject_CallOneArg(f.aux.get(), Py_None);
                        if (!v) return nullptr;
                    }
                } else {
                    v = field(f, depth + 1);
                    if (!v) return nullptr;
                }
                values[static_cast<std::size_t>(i)] = v;
            }
            space();
            if (at(',')) {
                ++p_;
                space();
                continue;
            }
            if (!at('}')) return nullptr;
            ++p_;
            return make_instance(b, values);
        }
    }
};

}  // namespace

PyObject* parse_text(ReaderBody& b, const char* text, std::size_t size, bool valid_utf8) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return Parser(text, size, valid_utf8).top(b); });
}

}  // namespace quillspar::json
