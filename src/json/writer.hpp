// The writer's plan (see plan.hpp): per message class and set of output
// options, each field's slot, JSON key and kind. writer.cpp defines the
// Writer type and builds the Python values of the JSON form; emit.cpp writes
// the JSON text itself, for to_json's compact form.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../py/ref.hpp"
#include "enum_names.hpp"
#include "plan.hpp"

namespace quillspar::json {

struct OutField {
    Ref attr;  // attribute name
    Ref key;   // JSON key
    std::string key_text;  // the key as JSON text, quoted, with its colon
    Py_ssize_t offset = 0;
    Shape shape = Shape::Singular;
    Kind kind = Kind::Double;
    Kind key_kind = Kind::String;
    Ref aux;  // Message: the Writer; Call: the converter; enums: the enum class or nullptr
    EnumNames names;
};

struct WriterBody {
    Ref cls;
    unsigned int version = 0;  // the class's version tag when the offsets were last checked
    bool defaults = false;     // include_defaults
    bool enum_numbers = false;
    bool unique_keys = true;  // no two fields share a JSON key (else only the dict form is exact)
    std::vector<OutField> fields;  // field number order
};

struct WriterObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    WriterBody* body;  // nullptr until set up, and after a clear
};

inline WriterObject* as_writer(PyObject* o) noexcept { return reinterpret_cast<WriterObject*>(o); }

// Whether the slot offsets still give what attribute reads give (checked
// again after any change to the class).
bool offsets_current(WriterBody& b) noexcept;

// The double a double or float field holds: exact floats and ints only.
bool double_of(PyObject* v, double& out) noexcept;

// The number of an enum value: an exact int, or a member of the field's own
// enum class; false for anything else and for numbers beyond 32 bits.
bool enum_number(const OutField& f, PyObject* v, std::int32_t& out) noexcept;

// Whether the field holding `v` is written: 1 yes, 0 left out (None, or a
// default value without include_defaults), -1 to give up, for a value whose
// truth only Python code tells.
int field_written(const WriterBody& b, const OutField& f, PyObject* v) noexcept;

// The compact JSON text of a message (a new str), or nullptr to give up
// (possibly with an exception set).
PyObject* write_text(WriterBody& b, PyObject* obj) noexcept;

}  // namespace quillspar::json
