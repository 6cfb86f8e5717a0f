#include "compiler.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>

#include "../wire/utf8.hpp"

namespace quillspar::schema {

using wire::Span;
using wire::WireReader;
using wire::WireType;

std::optional<FieldKind> kind_of_proto_type(std::uint64_t type) noexcept {
    switch (type) {
    case 1: return FieldKind::Double;
    case 2: return FieldKind::Float;
    case 3: return FieldKind::Int64;
    case 4: return FieldKind::UInt64;
    case 5: return FieldKind::Int32;
    case 6: return FieldKind::Fixed64;
    case 7: return FieldKind::Fixed32;
    case 8: return FieldKind::Bool;
    case 9: return FieldKind::String;
    case 11: return FieldKind::Message;
    case 12: return FieldKind::Bytes;
    case 13: return FieldKind::UInt32;
    case 14: return FieldKind::Enum;
    case 15: return FieldKind::SFixed32;
    case 16: return FieldKind::SFixed64;
    case 17: return FieldKind::SInt32;
    case 18: return FieldKind::SInt64;
    default: return std::nullopt;  // 0, 10 (group), above 18
    }
}

std::string short_type_name(const std::string& type_name) {
    auto dot = type_name.rfind('.');
    return dot == std::string::npos ? type_name : type_name.substr(dot + 1);
}

std::string DescriptorError::text() const {
    switch (kind) {
    case Wire: return "Wire(" + wire.text() + ")";
    case UnsupportedType: return "UnsupportedType(" + std::to_string(type) + ")";
    case MissingType: return "MissingType";
    case InvalidUtf8: return "InvalidUtf8";
    }
    return "?";
}

void MessageSchema::build_index() {
    constexpr std::uint32_t kDirect = 2048;
    max_number = 0;
    has_oneof_members = false;
    container_fields.clear();
    message_fields.clear();
    message_slot.assign(fields.size(), -1);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FieldSpec& f = fields[i];
        max_number = f.number > max_number ? f.number : max_number;
        if (f.oneof_index) has_oneof_members = true;
        f.in_oneof = f.oneof_index && *f.oneof_index < oneofs.size();
        if (f.field_type.tag == FieldTypeTag::Map || f.cardinality == Cardinality::Repeated) {
            container_fields.push_back(static_cast<std::uint32_t>(i));
        } else if (f.field_type.tag == FieldTypeTag::Message) {
            message_slot[i] = static_cast<std::int32_t>(message_fields.size());
            message_fields.push_back(static_cast<std::uint32_t>(i));
        }
    }
    const auto count = static_cast<std::uint32_t>(fields.size());
    keyword_of.assign(fields.size(), 0);
    unknown_keyword = count;
    std::unordered_map<std::string_view, std::uint32_t> first;
    first.reserve(fields.size() + 1);
    first.emplace(kUnknownFieldsName, unknown_keyword);
    for (std::uint32_t i = 0; i < count; ++i) keyword_of[i] = first.try_emplace(fields[i].name, i).first->second;
    std::uint32_t n = max_number < kDirect ? max_number + 1 : kDirect;
    by_number.assign(fields.empty() ? 0 : n, -1);
    for (std::size_t i = fields.size(); i-- > 0;)
        if (fields[i].number < by_number.size()) by_number[fields[i].number] = static_cast<std::int32_t>(i);
    std::vector<std::uint32_t> uses(fields.size() + 1, 0);
    for (std::uint32_t k : keyword_of) ++uses[k];
    containers_own_keywords = true;
    for (std::uint32_t i : container_fields)
        if (keyword_of[i] != i || uses[i] != 1) containers_own_keywords = false;
    fast_fields.assign(by_number.size(), FastField{});
    for (std::size_t number = 1; number < by_number.size(); ++number) {  // never 0: read_tag refuses it
        if (by_number[number] < 0) continue;
        const auto i = static_cast<std::uint32_t>(by_number[number]);
        const FieldSpec& f = fields[i];
        FastField& ff = fast_fields[number];
        ff.index = i;
        ff.keyword = keyword_of[i];
        ff.kind = f.field_type.kind;
        const bool repeated = f.cardinality == Cardinality::Repeated;
        switch (f.field_type.tag) {
        case FieldTypeTag::Scalar:
            ff.op = repeated ? FastField::RepeatedScalar : static_cast<FastField::Op>(f.field_type.kind);
            ff.wire = static_cast<std::uint8_t>(wire_type_of(f.field_type.kind));
            break;
        case FieldTypeTag::Enum:
            ff.op = repeated ? FastField::RepeatedEnum : FastField::Enum;
            ff.wire = static_cast<std::uint8_t>(wire::WireType::Varint);
            break;
        case FieldTypeTag::Message:
            ff.op = repeated ? FastField::RepeatedMessage : FastField::Message;
            ff.wire = static_cast<std::uint8_t>(wire::WireType::Len);
            break;
        case FieldTypeTag::Map:
            ff.op = FastField::MapEntry;
            ff.wire = static_cast<std::uint8_t>(wire::WireType::Len);
            break;
        }
        if (f.in_oneof && !repeated && f.field_type.tag != FieldTypeTag::Map) ff = FastField{};
    }
}

namespace {

struct RawField {
    std::string name;
    std::uint32_t number = 0;
    std::uint64_t label = 0;
    std::optional<std::uint64_t> type;
    std::optional<std::string> type_name;
    std::optional<std::uint32_t> oneof_index;
    bool proto3_optional = false;
    bool packed = true;  // FieldOptions.packed, the last one read
};

struct MapEntryInfo {
    FieldKind key;
    FieldKind value;
    std::optional<std::string> value_type_name;
};

// Nested map entry types by their own (short) name.
using MapEntryTable = std::unordered_map<std::string, MapEntryInfo>;

// The first error of the compilation; once set, every step unwinds.
struct Ctx {
    std::optional<DescriptorError> error;

    bool ok() const noexcept { return !error; }
    void fail(DescriptorError e) {
        if (!error) error = std::move(e);
    }
    void fail(DescriptorError::Kind k) { fail(DescriptorError{k}); }
    // Moves a reader failure into the context; true when the reader is healthy.
    bool check(const WireReader& r) {
        if (r.failed()) fail(DescriptorError{DescriptorError::Wire, r.error});
        return ok();
    }
};

// Runs `on_field(number, wire_type, reader)` for every field of one record.
// The callback reads the value when it knows the (number, wire type) pair and
// returns true; otherwise the value is skipped.
template <class F>
void for_each_field(Ctx& cx, Span record, F&& on_field) {
    WireReader r(record);
    while (cx.ok() && !r.at_end()) {
        std::uint32_t number;
        WireType wt;
        if (!r.read_tag(number, wt)) break;
        if (!on_field(number, wt, r)) r.skip_field(wt);
        cx.check(r);
    }
    cx.check(r);
}

void read_string(Ctx& cx, WireReader& r, std::string& out) {
    Span s = r.read_length_delimited();
    if (!cx.check(r)) return;
    if (!wire::utf8_valid(s.data, s.size)) {
        cx.fail(DescriptorError::InvalidUtf8);
        return;
    }
    out.assign(reinterpret_cast<const char*>(s.data), s.size);
}

RawField parse_field(Ctx& cx, Span record) {
    RawField f;
    for_each_field(cx, record, [&](std::uint32_t number, WireType wt, WireReader& r) {
        if (wt == WireType::Len) {
            switch (number) {
            case 1: read_string(cx, r, f.name); return true;
            case 6: read_string(cx, r, f.type_name.emplace()); return true;
            case 8: {  // FieldOptions; only `packed` (2) matters
                Span body = r.read_length_delimited();
                if (!cx.check(r)) return true;
                for_each_field(cx, body, [&](std::uint32_t n, WireType t, WireReader& rr) {
                    if (n != 2 || t != WireType::Varint) return false;
                    f.packed = rr.read_varint() != 0;
                    return true;
                });
                return true;
            }
            default: return false;
            }
        }
        if (wt == WireType::Varint) {
            switch (number) {
            case 3: f.number = static_cast<std::uint32_t>(r.read_varint()); return true;
            case 4: f.label = r.read_varint(); return true;
            case 5: f.type = r.read_varint(); return true;
            case 9: f.oneof_index = static_cast<std::uint32_t>(r.read_varint()); return true;
            case 17: f.proto3_optional = r.read_varint() != 0; return true;
            default: return false;
            }
        }
        return false;
    });
    return f;
}

std::string parse_oneof(Ctx& cx, Span record) {
    std::string name;
    for_each_field(cx, record, [&](std::uint32_t number, WireType wt, WireReader& r) {
        if (number == 1 && wt == WireType::Len) {
            read_string(cx, r, name);
            return true;
        }
        return false;
    });
    return name;
}

// MessageOptions: only quillspar's own option, the keep-unknown-fields flag
// (a bool extension; the last occurrence wins, as for any singular field).
void parse_message_options(Ctx& cx, Span record, bool& keep_unknown) {
    for_each_field(cx, record, [&](std::uint32_t number, WireType wt, WireReader& r) {
        if (number != kKeepUnknownOption || wt != WireType::Varint) return false;
        keep_unknown = r.read_varint() != 0;
        return true;
    });
}

// A nested DescriptorProto: only whether it is a map entry, and its key and
// value types, matter. Every field read is checked for a usable type.
void scan_nested_type(Ctx& cx, Span record, MapEntryTable& table) {
    std::string name;
    std::optional<FieldKind> key, value;
    std::optional<std::string> value_type_name;
    bool map_entry = false;
    for_each_field(cx, record, [&](std::uint32_t number, WireType wt, WireReader& r) {
        if (number == 1 && wt == WireType::Len) {
            read_string(cx, r, name);
            return true;
        }
        if (number == 2 && wt == WireType::Len) {
            Span body = r.read_length_delimited();
            if (!cx.check(r)) return true;
            RawField f = parse_field(cx, body);
            if (!cx.ok()) return true;
            if (!f.type) {
                cx.fail(DescriptorError::MissingType);
                return true;
            }
            if (f.number == 2) {
                auto k = kind_of_proto_type(*f.type);
                if (!k) {
                    cx.fail(DescriptorError{DescriptorError::UnsupportedType, {}, static_cast<std::int32_t>(*f.type)});
                    return true;
                }
                value = k;
                value_type_name = f.type_name ? std::optional(short_type_name(*f.type_name)) : std::nullopt;
            } else if (f.number == 1) {
                auto k = kind_of_proto_type(*f.type);
                key = k && is_scalar(*k) ? k : std::nullopt;
            }
            return true;
        }
        if (number == 7 && wt == WireType::Len) {
            Span body = r.read_length_delimited();
            if (!cx.check(r)) return true;
            for_each_field(cx, body, [&](std::uint32_t n, WireType t, WireReader& rr) {
                if (n == 7 && t == WireType::Varint) {
                    map_entry = rr.read_varint() != 0;
                    return true;
                }
                return false;
            });
            return true;
        }
        return false;
    });
    if (cx.ok() && map_entry)
        table.insert_or_assign(std::move(name), MapEntryInfo{key.value_or(FieldKind::String),
                                                             value.value_or(FieldKind::String),
                                                             std::move(value_type_name)});
}

// The map entry a repeated message field refers to, or nullptr. Only a type
// nested in this very message counts: the type name's last two components
// are the message's name and the entry's name (".pkg.Msg.TagsEntry",
// "Msg.TagsEntry"), or the type name is the bare entry name. A message type
// that merely shares an entry's short name is not a map.
const MapEntryInfo* map_entry_of(const std::string& type_name, const std::string& message,
                                 const MapEntryTable& table) {
    auto dot = type_name.rfind('.');
    if (dot == std::string::npos) {
        auto it = table.find(type_name);
        return it == table.end() ? nullptr : &it->second;
    }
    auto outer_dot = dot == 0 ? std::string::npos : type_name.rfind('.', dot - 1);
    std::size_t outer_start = outer_dot == std::string::npos ? 0 : outer_dot + 1;
    if (type_name.compare(outer_start, dot - outer_start, message) != 0) return nullptr;
    auto it = table.find(type_name.substr(dot + 1));
    return it == table.end() ? nullptr : &it->second;
}

std::optional<FieldSpec> resolve_field(Ctx& cx, RawField&& raw, const std::string& message,
                                       const MapEntryTable& table) {
    if (!raw.type) {
        cx.fail(DescriptorError::MissingType);
        return std::nullopt;
    }
    auto kind = kind_of_proto_type(*raw.type);
    if (!kind) {
        cx.fail(DescriptorError{DescriptorError::UnsupportedType, {}, static_cast<std::int32_t>(*raw.type)});
        return std::nullopt;
    }
    FieldSpec f;
    f.name = std::move(raw.name);
    f.number = raw.number;
    f.packed = raw.packed;
    if (raw.label == 3 && *kind == FieldKind::Message && raw.type_name) {
        if (const MapEntryInfo* entry = map_entry_of(*raw.type_name, message, table)) {
            f.field_type = FieldType{FieldTypeTag::Map, FieldKind::Message, entry->key, entry->value};
            f.cardinality = Cardinality::Singular;
            f.type_name = entry->value_type_name;
            return f;
        }
    }
    if (*kind == FieldKind::Enum || *kind == FieldKind::Message) {
        f.field_type.tag = *kind == FieldKind::Enum ? FieldTypeTag::Enum : FieldTypeTag::Message;
        f.field_type.kind = *kind;
        if (raw.type_name) f.type_name = short_type_name(*raw.type_name);
    } else {
        f.field_type.tag = FieldTypeTag::Scalar;
        f.field_type.kind = *kind;
    }
    if (raw.label == 3)
        f.cardinality = Cardinality::Repeated;
    else if (*kind == FieldKind::Message || raw.proto3_optional || raw.oneof_index)
        f.cardinality = Cardinality::Optional;
    else
        f.cardinality = Cardinality::Singular;
    if (raw.oneof_index && !raw.proto3_optional) f.oneof_index = raw.oneof_index;
    return f;
}

}  // namespace

ParseResult parse_descriptor(const std::uint8_t* data, std::size_t size) {
    Ctx cx;
    MessageSchema schema;
    std::vector<RawField> raw_fields;
    MapEntryTable entries;

    for_each_field(cx, Span{data, size}, [&](std::uint32_t number, WireType wt, WireReader& r) {
        if (wt != WireType::Len) return false;
        switch (number) {
        case 1: read_string(cx, r, schema.name); return true;
        case 2: case 3: case 7: case 8: {
            Span body = r.read_length_delimited();
            if (!cx.check(r)) return true;
            if (number == 2) raw_fields.push_back(parse_field(cx, body));
            else if (number == 3) scan_nested_type(cx, body, entries);
            else if (number == 7) parse_message_options(cx, body, schema.keep_unknown);
            else schema.oneofs.push_back(parse_oneof(cx, body));
            return true;
        }
        default: return false;
        }
    });
    if (!cx.ok()) return *cx.error;

    schema.fields.reserve(raw_fields.size());
    for (auto& raw : raw_fields) {
        auto f = resolve_field(cx, std::move(raw), schema.name, entries);
        if (!f) return *cx.error;
        schema.fields.push_back(std::move(*f));
    }
    schema.build_index();
    return schema;
}

}  // namespace quillspar::schema
