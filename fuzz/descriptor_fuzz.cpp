// libFuzzer target for the descriptor compiler (src/schema): parse_descriptor
// over arbitrary bytes.
//
// Besides surviving the input (the sanitizers watch every access), a result
// is checked for what the rest of the core relies on:
//   - an error has one of the four text forms;
//   - a map field's entry is a type nested in the message itself;
//   - a schema holds only valid UTF-8 names, scalar fields carry no type name,
//     map fields are singular and outside any oneof, field lookup by number
//     finds the first field of that number;
//   - compiling is deterministic;
//   - the schema survives a round trip: written back as a canonical
//     DescriptorProto (with the wire writer) it compiles to an equal schema.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <variant>

#include "schema/compiler.hpp"
#include "wire/utf8.hpp"
#include "wire/writer.hpp"

using namespace quillspar;
using schema::Cardinality;
using schema::FieldKind;
using schema::FieldSpec;
using schema::FieldTypeTag;
using schema::MessageSchema;

#include "check.hpp"

namespace {

bool valid_utf8(const std::string& s) {
    return wire::utf8_valid(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// FieldKind back to a FieldDescriptorProto.Type number.
std::uint64_t proto_type(FieldKind k) {
    switch (k) {
    case FieldKind::Double: return 1;
    case FieldKind::Float: return 2;
    case FieldKind::Int64: return 3;
    case FieldKind::UInt64: return 4;
    case FieldKind::Int32: return 5;
    case FieldKind::Fixed64: return 6;
    case FieldKind::Fixed32: return 7;
    case FieldKind::Bool: return 8;
    case FieldKind::String: return 9;
    case FieldKind::Message: return 11;
    case FieldKind::Bytes: return 12;
    case FieldKind::UInt32: return 13;
    case FieldKind::Enum: return 14;
    case FieldKind::SFixed32: return 15;
    case FieldKind::SFixed64: return 16;
    case FieldKind::SInt32: return 17;
    case FieldKind::SInt64: return 18;
    }
    std::abort();
}

void put_string(wire::OutputBuffer& out, std::uint32_t field, const std::string& s) {
    CHECK(out.write_record(field, s.data(), s.size()));
}

void put_varint(wire::OutputBuffer& out, std::uint32_t field, std::uint64_t v) {
    CHECK(out.write_tag(field, wire::WireType::Varint) && out.write_varint(v));
}

// One FieldDescriptorProto.
void put_field(wire::OutputBuffer& out, const std::string* name, std::uint32_t number, std::uint64_t label,
               std::uint64_t type, const std::string* type_name, const std::uint32_t* oneof, bool proto3_optional,
               bool packed = true) {
    wire::OutputBuffer f;
    if (name) put_string(f, 1, *name);
    put_varint(f, 3, number);
    put_varint(f, 4, label);
    put_varint(f, 5, type);
    if (type_name) put_string(f, 6, *type_name);
    if (oneof) put_varint(f, 9, *oneof);
    if (proto3_optional) put_varint(f, 17, 1);
    if (!packed) {
        wire::OutputBuffer options;
        put_varint(options, 2, 0);
        CHECK(f.write_record(8, options.data(), options.size()));
    }
    CHECK(out.write_record(2, f.data(), f.size()));
}

// A canonical DescriptorProto for `s`: the fields in order, the oneofs, and
// one nested map-entry type per map field under a name no type name uses,
// referred to by its bare name.
std::string serialise(const MessageSchema& s) {
    std::set<std::string> taken;
    for (const auto& f : s.fields)
        if (f.type_name) taken.insert(*f.type_name);
    unsigned counter = 0;
    auto fresh = [&] {
        std::string n;
        do n = "MapEntry" + std::to_string(counter++);
        while (taken.count(n));
        taken.insert(n);
        return n;
    };

    wire::OutputBuffer out;
    put_string(out, 1, s.name);
    if (s.keep_unknown) {
        wire::OutputBuffer options;
        put_varint(options, schema::kKeepUnknownOption, 1);
        CHECK(out.write_record(7, options.data(), options.size()));
    }
    for (const auto& f : s.fields) {
        const auto& ft = f.field_type;
        if (ft.tag == FieldTypeTag::Map) {
            std::string entry = fresh();
            put_field(out, &f.name, f.number, 3, 11, &entry, nullptr, false, f.packed);
            wire::OutputBuffer nested;
            put_string(nested, 1, entry);
            std::string key = "key", value = "value";
            put_field(nested, &key, 1, 1, proto_type(ft.key), nullptr, nullptr, false);
            std::string value_ref = f.type_name ? ".other." + *f.type_name : std::string();
            put_field(nested, &value, 2, 1, proto_type(ft.value), f.type_name ? &value_ref : nullptr, nullptr, false);
            wire::OutputBuffer options;
            put_varint(options, 7, 1);
            CHECK(nested.write_record(7, options.data(), options.size()));
            CHECK(out.write_record(3, nested.data(), nested.size()));
            continue;
        }
        FieldKind kind = ft.tag == FieldTypeTag::Scalar ? ft.kind
                         : ft.tag == FieldTypeTag::Enum ? FieldKind::Enum : FieldKind::Message;
        std::uint64_t label = f.cardinality == Cardinality::Repeated ? 3 : 1;
        bool proto3_optional = f.cardinality == Cardinality::Optional && !f.oneof_index && kind != FieldKind::Message;
        const std::string* tn = f.type_name ? &*f.type_name : nullptr;
        const std::uint32_t* oneof = f.oneof_index ? &*f.oneof_index : nullptr;
        put_field(out, &f.name, f.number, label, proto_type(kind), tn, oneof, proto3_optional, f.packed);
    }
    for (const auto& o : s.oneofs) {
        wire::OutputBuffer ob;
        put_string(ob, 1, o);
        CHECK(out.write_record(8, ob.data(), ob.size()));
    }
    return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

bool same_field(const FieldSpec& a, const FieldSpec& b) {
    if (a.name != b.name || a.number != b.number || a.cardinality != b.cardinality || a.packed != b.packed ||
        a.oneof_index != b.oneof_index || a.type_name != b.type_name || a.field_type.tag != b.field_type.tag)
        return false;
    switch (a.field_type.tag) {
    case FieldTypeTag::Scalar: return a.field_type.kind == b.field_type.kind;
    case FieldTypeTag::Map: return a.field_type.key == b.field_type.key && a.field_type.value == b.field_type.value;
    default: return true;
    }
}

bool same_schema(const MessageSchema& a, const MessageSchema& b) {
    if (a.name != b.name || a.oneofs != b.oneofs || a.keep_unknown != b.keep_unknown ||
        a.fields.size() != b.fields.size())
        return false;
    for (std::size_t i = 0; i < a.fields.size(); ++i)
        if (!same_field(a.fields[i], b.fields[i])) return false;
    return true;
}

void check_schema(const MessageSchema& s) {
    CHECK(valid_utf8(s.name));
    for (const auto& o : s.oneofs) CHECK(valid_utf8(o));
    for (std::size_t i = 0; i < s.fields.size(); ++i) {
        const FieldSpec& f = s.fields[i];
        const auto& ft = f.field_type;
        CHECK(valid_utf8(f.name));
        if (f.type_name) {
            CHECK(valid_utf8(*f.type_name));
            CHECK(f.type_name->find('.') == std::string::npos);
        }
        switch (ft.tag) {
        case FieldTypeTag::Scalar:
            CHECK(schema::is_scalar(ft.kind));
            CHECK(!f.type_name);
            break;
        case FieldTypeTag::Map:
            CHECK(schema::is_scalar(ft.key));
            CHECK(f.cardinality == Cardinality::Singular && !f.oneof_index);
            break;
        case FieldTypeTag::Enum:
        case FieldTypeTag::Message:
            break;
        }
        if (ft.tag == FieldTypeTag::Message && f.cardinality != Cardinality::Repeated)
            CHECK(f.cardinality == Cardinality::Optional);
        if (f.oneof_index) CHECK(f.cardinality != Cardinality::Singular);
        // The lookup finds the first field with this number.
        int idx = s.find(f.number);
        CHECK(idx >= 0 && static_cast<std::size_t>(idx) <= i);
        CHECK(s.fields[static_cast<std::size_t>(idx)].number == f.number);
        for (int j = 0; j < idx; ++j) CHECK(s.fields[static_cast<std::size_t>(j)].number != f.number);
    }
    // Numbers that no field has are not found.
    for (std::uint32_t probe : {0u, 1u, 2047u, 2048u, 536870911u, 4294967295u}) {
        bool present = false;
        for (const auto& f : s.fields) present |= f.number == probe;
        if (!present) CHECK(s.find(probe) == -1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    schema::ParseResult result = schema::parse_descriptor(data, size);
    schema::ParseResult again = schema::parse_descriptor(data, size);
    CHECK(result.index() == again.index());

    if (auto* err = std::get_if<schema::DescriptorError>(&result)) {
        std::string text = err->text();
        CHECK(text == std::get<schema::DescriptorError>(again).text());
        bool known = text == "MissingType" || text == "InvalidUtf8" ||
                     (text.rfind("UnsupportedType(", 0) == 0 && text.back() == ')') ||
                     text == "Wire(UnexpectedEof)" || text == "Wire(VarintOverflow)" ||
                     text == "Wire(InvalidLength)" || text == "Wire(InvalidFieldNumber)" ||
                     text == "Wire(InvalidWireType(3))" ||
                     text == "Wire(InvalidWireType(4))" || text == "Wire(InvalidWireType(6))" ||
                     text == "Wire(InvalidWireType(7))";
        if (!known) std::fprintf(stderr, "unexpected error text: %s\n", text.c_str());
        CHECK(known);
        return 0;
    }

    const MessageSchema& s = std::get<MessageSchema>(result);
    CHECK(same_schema(s, std::get<MessageSchema>(again)));
    check_schema(s);

    std::string canonical = serialise(s);
    schema::ParseResult back =
        schema::parse_descriptor(reinterpret_cast<const std::uint8_t*>(canonical.data()), canonical.size());
    auto* schema2 = std::get_if<MessageSchema>(&back);
    if (!schema2) std::fprintf(stderr, "round trip failed: %s\n", std::get<schema::DescriptorError>(back).text().c_str());
    CHECK(schema2);
    CHECK(same_schema(s, *schema2));
    return 0;
}
