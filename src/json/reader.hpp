// The reader's plan (see plan.hpp): per message class and ignore_unknown,
// each field's keyword, kind and null rule. reader.cpp defines the Reader
// type and reads the Python values of a JSON form; parse.cpp reads JSON text
// straight into instances.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../py/ref.hpp"
#include "plan.hpp"

namespace quillspar::json {

// What a field does with a JSON null.
enum class Null : std::uint8_t { Unset = 0, Constant = 1, Convert = 2 };

struct InField {
    Ref attr;  // the keyword (attribute name), interned
    Shape shape = Shape::Singular;
    Kind kind = Kind::Double;
    Kind key_kind = Kind::String;
    Null null = Null::Unset;
    int oneof = -1;   // index of its oneof, or -1
    Ref aux;          // Message: the Reader; Call: the converter; enums: {name or number: member}
    Ref null_value;   // Null::Constant: the value null gives
};

// Keyword-name tuples by the set of fields given (fields 0..63 only).
struct KwCache {
    std::uint64_t mask = 0;
    Ref names;
};

struct ReaderBody {
    Ref cls;
    Ref index;  // {JSON name or field name: field index}
    std::vector<std::pair<std::string, std::size_t>> names;  // the same, as UTF-8, for the text parser
    bool ignore = false;
    int groups = 0;  // number of oneofs
    std::vector<InField> fields;
    std::array<KwCache, 8> kw_cache;
    unsigned int kw_next = 0;
};

struct ReaderObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    ReaderBody* body;
};

inline ReaderObject* as_reader(PyObject* o) noexcept { return reinterpret_cast<ReaderObject*>(o); }

// The values of one message's fields, by field index: owned, on the stack
// for the usual sizes.
class FieldValues {
public:
    explicit FieldValues(std::size_t n) : n_(n) {
        if (n > kInline) {
            heap_ = std::make_unique<PyObject*[]>(n);
            data_ = heap_.get();
        }
        std::fill_n(data_, n, nullptr);
    }
    FieldValues(const FieldValues&) = delete;
    FieldValues& operator=(const FieldValues&) = delete;
    ~FieldValues() {
        for (std::size_t i = 0; i < n_; ++i) Py_XDECREF(data_[i]);
    }
    PyObject*& operator[](std::size_t i) noexcept { return data_[i]; }

private:
    static constexpr std::size_t kInline = 24;
    std::size_t n_;
    PyObject* inline_[kInline];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** data_ = inline_;
};

// A new instance of the plan's class from the values given (nullptr to
// give up: more than one member of a oneof, or the call failed).
PyObject* make_instance(ReaderBody& b, FieldValues& values) noexcept;

// Values of a field's kind from scalars the text parser found, as read_value
// makes them from Python values: new references, or nullptr to give up.
PyObject* read_integer(Kind kind, PyObject* v) noexcept;
PyObject* read_value(const InField& f, PyObject* v, int depth) noexcept;
PyObject* read_map_key(Kind kind, PyObject* k) noexcept;

// A new instance from JSON text (UTF-8; `valid_utf8` when it came from a
// str), or nullptr to give up (possibly with an exception set): anything but
// plain well-formed JSON that the plan reads as it stands is left to the
// path through orjson's values.
PyObject* parse_text(ReaderBody& b, const char* text, std::size_t size, bool valid_utf8) noexcept;

}  // namespace quillspar::json
