// EnumTable: a callable from enum numbers to members, linked by the package to
// enum fields in place of a Python function. A number the table lacks maps to
// itself (protobuf 3 enums are open).
//
// Used by module.cpp only.
#pragma once

#include <Python.h>

namespace quillspar::classes {

// Creates the EnumTable type (a new reference), or nullptr with an exception set.
PyObject* new_enum_table_type() noexcept;

}  // namespace quillspar::classes
