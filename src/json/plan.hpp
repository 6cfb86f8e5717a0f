// The plans of the JSON mapping: per message class, what to read from each
// field and how to turn it into JSON values (Writer) and back (Reader). The
// package's Python side compiles them once per class and set of options
// (python/quillspar/_json.py) and calls them; a plan that meets anything it
// does not handle returns None, and the Python converters then run the call
// from the start, so results and errors are always theirs.
//
// writer.cpp and reader.cpp define the two types; module.cpp registers them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>

#include "../py/guard.hpp"

namespace quillspar::json {

// How many values a field holds; the numbers the package's schema uses.
enum class Shape : std::uint8_t { Singular = 0, Optional = 1, Repeated = 2, Map = 3 };

// What one value is. The scalar kinds group protobuf's types by their JSON
// form; Call hands the value to a Python converter (the well-known types
// with a special form).
enum class Kind : std::uint8_t {
    Double = 0,
    Float = 1,
    Int32 = 2,
    UInt32 = 3,
    Int64 = 4,
    UInt64 = 5,
    Bool = 6,
    String = 7,
    Bytes = 8,
    Enum = 9,
    NullEnum = 10,  // google.protobuf.NullValue: written as null
    Message = 11,
    Call = 12,
};
inline constexpr int kKindCount = 13;

// The range of an integer kind.
struct Range {
    long long lo;
    unsigned long long hi;
};
inline constexpr Range range_of(Kind k) noexcept {
    switch (k) {
        case Kind::Int32: return {INT32_MIN, INT32_MAX};
        case Kind::UInt32: return {0, UINT32_MAX};
        case Kind::Int64: return {INT64_MIN, INT64_MAX};
        case Kind::UInt64: return {0, UINT64_MAX};
        default: return {0, 0};
    }
}
inline constexpr bool is_integer(Kind k) noexcept {
    return k == Kind::Int32 || k == Kind::UInt32 || k == Kind::Int64 || k == Kind::UInt64;
}

// Deepest nesting of messages (and of the values of well-known types) that
// the plans take on; past it they give up, and the Python converters run the
// call. Those stop where the interpreter's recursion limit or orjson's limit
// on the levels of text it writes (254) stops them, so deep values must end
// there whichever path reads or writes them. A nesting level here is at most
// two levels of JSON (a message in a list or map), so text the plans write
// stays well within orjson's limit.
inline constexpr int kPlanDepth = 100;

// New type objects (strong references), or nullptr with an exception set.
PyObject* new_writer_type() noexcept;
PyObject* new_reader_type() noexcept;

// The plans' type objects, set once by the module initialiser.
inline PyTypeObject* g_writer_type = nullptr;
inline PyTypeObject* g_reader_type = nullptr;

// Whether the exception being raised is one a plan gives up on (any
// Exception), leaving the call to the Python converters; KeyboardInterrupt
// and the like go through.
inline bool recoverable_error() noexcept { return PyErr_ExceptionMatches(PyExc_Exception); }

// Runs `body`, turning anything thrown into a Python exception.
template <class R, class F>
R guarded(R fail, F&& body) noexcept {
    return guard(fail, static_cast<F&&>(body), raise_system_error, "quillspar._jsonc: internal failure");
}

}  // namespace quillspar::json
