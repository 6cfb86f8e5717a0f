// The compiled, immutable description of one message type.
//
// Built once by parse_descriptor (compiler.hpp) from DescriptorProto bytes,
// owned by a Descriptor object (py/descriptor.hpp), and walked by the message decoder
// and encoder on every call. Knows nothing of Python objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../wire/reader.hpp"

namespace quillspar::schema {

// Value type of a field, map key or map value. Codes 0..14 are scalar kinds.
enum class FieldKind : std::uint8_t {
    Double, Float, Int32, Int64, UInt32, UInt64, SInt32, SInt64,
    Fixed32, Fixed64, SFixed32, SFixed64, Bool, String, Bytes,
    Enum, Message,
};

constexpr bool is_scalar(FieldKind k) noexcept { return static_cast<unsigned>(k) <= 14; }

// FieldDescriptorProto.Type (1..18, 10 excepted) to FieldKind.
std::optional<FieldKind> kind_of_proto_type(std::uint64_t type) noexcept;

constexpr wire::WireType wire_type_by_kind(FieldKind k) noexcept {
    switch (k) {
    case FieldKind::Double: case FieldKind::Fixed64: case FieldKind::SFixed64:
        return wire::WireType::I64;
    case FieldKind::Float: case FieldKind::Fixed32: case FieldKind::SFixed32:
        return wire::WireType::I32;
    case FieldKind::String: case FieldKind::Bytes: case FieldKind::Message:
        return wire::WireType::Len;
    default:
        return wire::WireType::Varint;
    }
}

// A table lookup: the decoder asks for every value it reads.
inline constexpr wire::WireType kWireTypes[17] = {
    wire_type_by_kind(FieldKind::Double),   wire_type_by_kind(FieldKind::Float),
    wire_type_by_kind(FieldKind::Int32),    wire_type_by_kind(FieldKind::Int64),
    wire_type_by_kind(FieldKind::UInt32),   wire_type_by_kind(FieldKind::UInt64),
    wire_type_by_kind(FieldKind::SInt32),   wire_type_by_kind(FieldKind::SInt64),
    wire_type_by_kind(FieldKind::Fixed32),  wire_type_by_kind(FieldKind::Fixed64),
    wire_type_by_kind(FieldKind::SFixed32), wire_type_by_kind(FieldKind::SFixed64),
    wire_type_by_kind(FieldKind::Bool),     wire_type_by_kind(FieldKind::String),
    wire_type_by_kind(FieldKind::Bytes),    wire_type_by_kind(FieldKind::Enum),
    wire_type_by_kind(FieldKind::Message),
};

constexpr wire::WireType wire_type_of(FieldKind k) noexcept { return kWireTypes[static_cast<unsigned>(k)]; }

enum class FieldTypeTag : std::uint8_t { Scalar, Enum, Message, Map };
enum class Cardinality : std::uint8_t { Singular, Optional, Repeated };

// The tagged FieldType: `kind` is the scalar kind of a Scalar field; a Map
// carries its key kind in `key` and its value kind (any kind) in `value`.
struct FieldType {
    FieldTypeTag tag = FieldTypeTag::Scalar;
    FieldKind kind = FieldKind::Double;
    FieldKind key = FieldKind::String;
    FieldKind value = FieldKind::String;
};

struct FieldSpec {
    std::string name;
    std::uint32_t number = 0;
    FieldType field_type;
    Cardinality cardinality = Cardinality::Singular;
    std::optional<std::uint32_t> oneof_index;
    // `oneof_index` names an entry of the message's `oneofs` (set by
    // build_index). Decoding treats a field whose index names none as a
    // plain optional field; encoding a value for it is a broken invariant.
    bool in_oneof = false;
    std::optional<std::string> type_name;  // short form: text after the last "."
    // FieldOptions.packed: false only when the descriptor says `packed = false`;
    // a repeated scalar or enum field is then written one record per element.
    bool packed = true;
};

// How the decoder takes a record of one field number in the common cases,
// without walking the FieldSpec: one entry per number below
// `by_number.size()`, for the first field with that number. A record whose
// wire type is not `wire` (a packed run, a mismatch, an unknown number)
// takes the decoder's general path, as does every member of a oneof.
struct FastField {
    // A singular scalar (the value replaces an earlier one) has its kind as
    // its op, 0 to 14, so that one switch reaches the reading of its value.
    enum Op : std::uint8_t {
        Enum = 15,        // a singular enum
        Message,          // a singular message (its first occurrence)
        RepeatedScalar,   // one element of a repeated scalar field
        RepeatedEnum,     // one element of a repeated enum field
        RepeatedMessage,  // one element of a repeated message field
        MapEntry,         // one entry of a map field
        None,             // the general path
    };
    static constexpr std::uint8_t kNoWire = 0xFF;

    std::uint8_t wire = kNoWire;  // the wire type taken here, as its code
    Op op = None;
    FieldKind kind = FieldKind::Double;  // the scalar kind of a scalar field
    std::uint32_t index = 0;             // the field's index in `fields`
    std::uint32_t keyword = 0;           // keyword_of[index]
};

// MessageOptions extension number (from the range for private use) of the
// bool option that makes a message type keep its unknown fields.
inline constexpr std::uint32_t kKeepUnknownOption = 50555;
// Keyword argument and attribute that carry a message's unknown fields.
inline constexpr const char* kUnknownFieldsName = "_unknown_fields";

struct MessageSchema {
    std::string name;
    std::vector<FieldSpec> fields;  // descriptor order
    std::vector<std::string> oneofs;
    // The quillspar message option (MessageOptions extension kKeepUnknownOption):
    // the decoder hands unknown records to the class as `_unknown_fields`, the
    // encoder writes that attribute's bytes after the known fields.
    bool keep_unknown = false;

    // Index into `fields` of the first field with `number`, or -1. Constant
    // time for small field numbers, a scan otherwise.
    int find(std::uint32_t number) const noexcept {
        if (number < by_number.size()) return by_number[number];
        if (number > max_number) return -1;
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (fields[i].number == number) return static_cast<int>(i);
        return -1;
    }
    // Derives the lookup tables and per-field flags below from `fields` and
    // `oneofs`.
    void build_index();

    std::vector<std::int32_t> by_number;  // number -> first field index, or -1
    std::uint32_t max_number = 0;
    bool has_oneof_members = false;  // some field has an oneof_index
    std::vector<std::uint32_t> container_fields;  // indices of the map and repeated fields, in order
    // Indices of the singular and optional message fields, in order, and per
    // field index its position in that list (or -1): the decoder gathers the
    // occurrences of these fields to merge them.
    std::vector<std::uint32_t> message_fields;
    std::vector<std::int32_t> message_slot;
    // The constructor keyword of each field, as the index of the first field
    // with the same name (fields.size() standing for kUnknownFieldsName);
    // `unknown_keyword` that of the unknown fields. Names are unique in any
    // schema the package makes; these keep a hand-made one with repeated
    // names to one keyword per name.
    std::vector<std::uint32_t> keyword_of;
    std::uint32_t unknown_keyword = 0;
    // By field number, below by_number.size(): see FastField.
    std::vector<FastField> fast_fields;
    // Whether the keyword of every map and repeated field is its own: no
    // other field (nor the unknown fields) has the same name. Always so in
    // the schemas the package makes.
    bool containers_own_keywords = true;
};

struct DescriptorError {
    enum Kind : std::uint8_t { Wire, UnsupportedType, MissingType, InvalidUtf8 };
    Kind kind;
    wire::WireError wire{};
    std::int32_t type = 0;  // payload of UnsupportedType

    // "Wire(UnexpectedEof)", "UnsupportedType(10)", "MissingType", "InvalidUtf8".
    std::string text() const;
};

// Text after the last "." of a type name; the whole name when it has no ".".
std::string short_type_name(const std::string& type_name);

}  // namespace quillspar::schema
