#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "Base/ValueCodec.h"
#include "Base/ValueText.h"
#include "sorvel/Value.h"

namespace sorvel {

namespace {

// Written by hand rather than through nlohmann's dump() so that doubles get
// the same shortest text as Value::render() (nlohmann's digit generator
// round-trips but is not always shortest), and so a value is not first copied
// into a second tree.
class JsonWriter {
  public:
    explicit JsonWriter(bool pretty) : pretty_(pretty) {}

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
            case Value::Type::Map: {
                const auto& m = *v.getMap();
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
                return;
            }
        }
    }

    std::string out;

  private:
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
        const std::size_t start = out.size();
        // EVP_EncodeBlock takes an int length; no Value comes near that.
        const int n = static_cast<int>(std::min<std::size_t>(b.size(), (1u << 30)));
        out.resize(start + 4 * ((static_cast<std::size_t>(n) + 2) / 3) + 1);
        const int written =
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + start), b.data(), n);
        out.resize(start + static_cast<std::size_t>(written));
        out += '"';
    }

    // Length of the maximal prefix of an ill-formed UTF-8 sequence starting at
    // s[i] (to be replaced by one U+FFFD), or 0 when a well-formed sequence of
    // `len` bytes starts there.
    static std::size_t illFormed(std::string_view s, std::size_t i, std::size_t& len) {
        const auto c = static_cast<unsigned char>(s[i]);
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        std::size_t need;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c == 0xE0) {
            need = 2;
            lo = 0xA0;  // overlong
        } else if (c == 0xED) {
            need = 2;
            hi = 0x9F;  // surrogates
        } else if (c >= 0xE1 && c <= 0xEF) {
            need = 2;
        } else if (c == 0xF0) {
            need = 3;
            lo = 0x90;  // overlong
        } else if (c >= 0xF1 && c <= 0xF3) {
            need = 3;
        } else if (c == 0xF4) {
            need = 3;
            hi = 0x8F;  // beyond U+10FFFF
        } else {
            return 1;
        }
        for (std::size_t k = 1; k <= need; ++k) {
            if (i + k >= s.size()) {
                return k;
            }
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if (k == 1 ? (cc < lo || cc > hi) : (cc < 0x80 || cc > 0xBF)) {
                return k;
            }
        }
        len = need + 1;
        return 0;
    }

    void string(std::string_view s) {
        static constexpr char kHex[] = "0123456789abcdef";
        out += '"';
        std::size_t run = 0;  // start of the pending run of bytes copied as is
        std::size_t i = 0;
        while (i < s.size()) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
                ++i;
                continue;
            }
            std::size_t len = 0;
            const std::size_t bad = c >= 0x80 ? illFormed(s, i, len) : 1;
            if (c >= 0x80 && bad == 0) {
                i += len;
                continue;
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
                out += kHex[c >> 4];
                out += kHex[c & 0xf];
            }
            i += bad;
            run = i;
        }
        out.append(s.data() + run, s.size() - run);
        out += '"';
    }

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
    JsonWriter w(pretty);
    w.value(*this, 0);
    return std::move(w.out);
}

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
