// The descriptor compiler: serialised DescriptorProto bytes to a MessageSchema.
//
// Called by compile_descriptor (module/) once per message class. A pure
// function of its input; reads it in place with the wire reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>

#include "schema.hpp"

namespace quillspar::schema {

// Either the compiled schema or the first problem met in the input.
using ParseResult = std::variant<MessageSchema, DescriptorError>;

ParseResult parse_descriptor(const std::uint8_t* data, std::size_t size);

}  // namespace quillspar::schema
