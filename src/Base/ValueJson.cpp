#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "Base/Base64.h"
#include "Base/Hex.h"
#include "Base/JsonText.h"
#include "Base/TextUnits.h"
#include "Base/ValueCodec.h"
#include "Base/ValueText.h"
#include "sorvel/Value.h"

namespace sorvel {

namespace {

// Written by hand rather than through nlohmann's dump() so that doubles get
// the same shortest text as Value::render() (nlohmann's digit generator
// round-trips but is not always shortest), and so a value is not first copied
// into a second tree.
// Whether one of the 8 bytes at p is not copied as is into a JSON string: a
// control character, '"', '\\' or a byte of a multi-byte sequence (checked
// for being well-formed). Most text has none, and is skipped 8 bytes at once.
bool needsWork(const char* p) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::uint64_t w = 0;
    std::memcpy(&w, p, sizeof w);
    // A byte below n shows as a high bit (exact as to whether there is one).
    auto below = [&](std::uint64_t x, std::uint64_t n) { return (x - ones * n) & ~x & highs; };
    return ((w & highs) | below(w, 0x20) | below(w ^ (ones * '"'), 1) |
            below(w ^ (ones * '\\'), 1)) != 0;
}

class JsonWriter {
  public:
    JsonWriter(std::string& out, bool pretty) : out(out), pretty_(pretty) {}

    void value(const Value& v, int level) {
        switch (v.type()) {
            case Value::Type::Null:
                out += "null";
                return;
            case Value::Type::Bool:
                out += *v.getBool() ? "true" : "false";
                return;
            case Value::Type::Int64:
                number(*v.getInt64());
                return;
            case Value::Type::UInt64:
                number(*v.getUInt64());
                return;
            case Value::Type::Double: {
                const double d = *v.getDouble();
                if (!std::isfinite(d)) {
                    out += "null";
                    return;
                }
                detail::DoubleText buf;
                out += detail::formatDouble(d, buf);
                return;
            }
            case Value::Type::String:
                string(*v.getString());
                return;
            case Value::Type::Bytes:
                base64(*v.getBytes());
                return;
            case Value::Type::Array: {
                const auto& a = *v.getArray();
                if (a.empty()) {
                    out += "[]";
                    return;
                }
                out += '[';
                for (std::size_t i = 0; i < a.size(); ++i) {
                    if (i > 0) {
                        out += ',';
                    }
                    newline(level + 1);
                    value(a[i], level + 1);
                }
                newline(level);
                out += ']';
                return;
            }
            case Value::Type::Map:
                map(*v.getMap(), level);
                return;
        }
    }

    void map(const Value::Map& m, int level) {
        if (m.empty()) {
            out += "{}";
            return;
        }
        out += '{';
        bool first = true;
        for (const auto& [k, e] : m) {
            if (!first) {
                out += ',';
            }
            first = false;
            newline(level + 1);
            string(k);
            out += pretty_ ? ": " : ":";
            value(e, level + 1);
        }
        newline(level);
        out += '}';
    }

    void newline(int level) {
        if (pretty_) {
            out += '\n';
            out.append(static_cast<std::size_t>(level) * 2, ' ');
        }
    }

    void number(auto n) {
        char buf[24];
        const auto res = std::to_chars(buf, buf + sizeof buf, n);
        out.append(buf, res.ptr);
    }

    void base64(const Value::Bytes& b) {
        out += '"';
        text::appendBase64(out, b);
        out += '"';
    }

    void string(std::string_view s) {
        out += '"';
        body(s);
        out += '"';
    }

    // The inside of a JSON string: escaped, ill-formed UTF-8 replaced.
    void body(std::string_view s) {
        std::size_t run = 0;  // start of the pending run of bytes copied as is
        std::size_t i = 0;
        while (i < s.size()) {
            while (i + 8 <= s.size() && !needsWork(s.data() + i)) {
                i += 8;
            }
            if (i == s.size() ||
                (i + 8 > s.size() && s.size() >= 8 && !needsWork(s.data() + s.size() - 8))) {
                // Fewer than eight bytes are left, and the last eight bytes
                // (overlapping some already checked) are plain.
                break;
            }
            const auto c = static_cast<unsigned char>(s[i]);
            if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
                ++i;
                continue;
            }
            std::size_t skip = 1;
            if (c >= 0x80) {
                const text::Utf8Char u = text::decodeAt(s, i);
                if (u.wellFormed) {
                    i += u.length;
                    continue;
                }
                skip = u.length;  // one U+FFFD for the whole ill-formed run
            }
            out.append(s.data() + run, i - run);
            if (c >= 0x80) {
                out += "\xEF\xBF\xBD";
            } else if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else if (c == '\t') {
                out += "\\t";
            } else if (c == '\b') {
                out += "\\b";
            } else if (c == '\f') {
                out += "\\f";
            } else {
                out += "\\u00";
                text::appendHex(out, std::span(&c, 1));
            }
            i += skip;
            run = i;
        }
        out.append(s.data() + run, s.size() - run);
    }

  private:
    std::string& out;
    const bool pretty_;
};

// Builds the Value straight from the parser's events, refusing nesting deeper
// than the codec accepts; the parser itself is not recursive.
class ValueBuilder {
  public:
    using json = nlohmann::json;

    bool null() { return add(Value()); }
    bool boolean(bool b) { return add(Value(b)); }
    bool number_integer(json::number_integer_t n) { return add(Value(std::int64_t{n})); }
    bool number_unsigned(json::number_unsigned_t n) {
        if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return add(Value(static_cast<std::int64_t>(n)));
        }
        return add(Value(std::uint64_t{n}));
    }
    bool number_float(json::number_float_t d, const json::string_t&) { return add(Value(d)); }
    bool string(json::string_t& s) { return add(Value(std::move(s))); }
    bool binary(json::binary_t&) { return false; }
    bool start_object(std::size_t) { return open(Value(Value::Map{})); }
    bool key(json::string_t& k) {
        levels_.back().key = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Value(Value::Array{})); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

    std::optional<Value> result;

  private:
    struct Level {
        Value container;
        std::string key;
    };

    bool add(Value v) {
        if (levels_.empty()) {
            result = std::move(v);
            return true;
        }
        Level& top = levels_.back();
        if (auto* a = top.container.getArray()) {
            a->push_back(std::move(v));
        } else {
            top.container.getMap()->insert_or_assign(std::move(top.key), std::move(v));
        }
        return true;
    }

    bool open(Value container) {
        if (levels_.size() >= static_cast<std::size_t>(ValueCodec::kMaxDepth)) {
            return false;
        }
        levels_.push_back(Level{std::move(container), {}});
        return true;
    }

    bool close() {
        Value v = std::move(levels_.back().container);
        levels_.pop_back();
        return add(std::move(v));
    }

    std::vector<Level> levels_;
};

}  // namespace

std::string Value::toJson(bool pretty) const {
    std::string out;
    JsonWriter(out, pretty).value(*this, 0);
    return out;
}

namespace json {

void appendValue(std::string& out, const Value& value) {
    JsonWriter(out, false).value(value, 0);
}

void appendMap(std::string& out, const Value::Map& map) {
    JsonWriter(out, false).map(map, 0);
}

void appendString(std::string& out, std::string_view text) {
    JsonWriter(out, false).string(text);
}

void appendString(std::string& out, std::string_view prefix, std::string_view text) {
    JsonWriter writer(out, false);
    out += '"';
    writer.body(prefix);
    writer.body(text);
    out += '"';
}

ObjectWriter::ObjectWriter(std::string& out) : out_(out) {
    out_ += '{';
}

ObjectWriter::~ObjectWriter() {
    out_ += '}';
}

std::string& ObjectWriter::key(std::string_view name) {
    if (!first_) {
        out_ += ',';
    }
    first_ = false;
    appendString(out_, name);
    out_ += ':';
    return out_;
}

void ObjectWriter::text(std::string_view name, std::string_view value) {
    appendString(key(name), value);
}

void ObjectWriter::text(std::string_view name, const std::optional<std::string>& value) {
    if (value) {
        text(name, *value);
    } else {
        key(name) += "null";
    }
}

void ObjectWriter::value(std::string_view name, const Value& value) {
    appendValue(key(name), value);
}

void ObjectWriter::map(std::string_view name, const Value::Map* value) {
    if (value != nullptr) {
        appendMap(key(name), *value);
    } else {
        key(name) += "null";
    }
}

}  // namespace json

std::optional<Value> Value::fromJson(std::string_view text) noexcept {
    try {
        ValueBuilder builder;
        if (!nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder)) {
            return std::nullopt;
        }
        return std::move(builder.result);
    } catch (...) {
        // The parser reports malformed text through parse_error(); what is
        // left is running out of memory.
        return std::nullopt;
    }
}

}  // namespace sorvel
