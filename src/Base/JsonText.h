#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sorvel/Value.h"

namespace sorvel::json {

// Compact JSON appended to a text being built, byte for byte as
// Value::toJson() writes the same value, so a body can be put together from
// pieces (some written once and kept) without first building one Value of it.
void appendValue(std::string& out, const Value& value);
void appendMap(std::string& out, const Value::Map& map);
// A JSON string: quoted, escaped, ill-formed UTF-8 replaced.
void appendString(std::string& out, std::string_view text);
// The JSON string of prefix and text joined, without joining them first.
void appendString(std::string& out, std::string_view prefix, std::string_view text);

// Writes one JSON object, member by member, for a model that writes itself
// without building its dictionary first. The caller gives the members in the
// sorted order of their keys, as Value::toJson() writes a map; an absent
// member value is written as null. The destructor closes the object.
class ObjectWriter {
  public:
    explicit ObjectWriter(std::string& out);
    ~ObjectWriter();
    ObjectWriter(const ObjectWriter&) = delete;
    ObjectWriter& operator=(const ObjectWriter&) = delete;

    // Writes the key; the member's value is appended to the returned text.
    std::string& key(std::string_view name);
    void text(std::string_view name, std::string_view value);
    void text(std::string_view name, const std::string& value) {
        text(name, std::string_view(value));
    }
    void text(std::string_view name, const std::optional<std::string>& value);
    void value(std::string_view name, const Value& value);
    void map(std::string_view name, const Value::Map* value);

  private:
    std::string& out_;
    bool first_ = true;
};

}  // namespace sorvel::json
