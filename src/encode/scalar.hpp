// Scalar value conversion: one Python object to the wire body of one scalar
// kind, singular fields left out when they hold their default, and enum
// numbers.
//
// Used by the message encoder. Every function returns false (or -1) with a
// Python exception set on failure; a failed write_scalar may leave a partial
// body behind, which the encoder discards with the whole output.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../schema/schema.hpp"
#include "../wire/writer.hpp"

namespace quillspar::encode {

// Appends the body of `value` as scalar `kind` (no tag).
bool write_scalar(wire::OutputBuffer& out, schema::FieldKind kind, PyObject* value);

// A field without presence of scalar `kind` or Enum: converts `value` once
// and writes the tag for `number` and the body, unless the converted value is
// the kind's default (then nothing is written).
bool write_unless_default(wire::OutputBuffer& out, schema::FieldKind kind, std::uint32_t number, PyObject* value);

// The signed 32-bit number of an enum value.
bool to_enum_number(PyObject* value, std::int32_t& number);

// Raises MemoryError for an output buffer that cannot grow. Returns false.
bool out_of_memory() noexcept;

}  // namespace quillspar::encode
