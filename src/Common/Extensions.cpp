#include "Common/Extensions.h"

#include <charconv>
#include <chrono>
#include <cmath>

#include "Base/Hex.h"
#include "Base/TextUnits.h"
#include "Common/SvlLog.h"

namespace sorvel::ext {
namespace {

// JSON text can carry neither non-finite numbers nor raw bytes, so a value
// holding either has no JSON text and is refused.
bool jsonCarriable(const Value& v) {
    if (const double* d = v.getDouble()) {
        return std::isfinite(*d);
    }
    if (v.isBytes()) {
        return false;
    }
    if (const Value::Array* a = v.getArray()) {
        for (const auto& e : *a) {
            if (!jsonCarriable(e)) {
                return false;
            }
        }
    }
    if (const Value::Map* m = v.getMap()) {
        for (const auto& [k, e] : *m) {
            if (!jsonCarriable(e)) {
                return false;
            }
        }
    }
    return true;
}

std::optional<std::string> prettyJson(const Value& v) {
    try {
        if (!jsonCarriable(v)) {
            return std::nullopt;
        }
        return v.toJson(true);
    } catch (...) {
        return std::nullopt;
    }
}

std::string jsonFormat(const Value& v) {
    auto text = prettyJson(v);
    if (!text) {
        return TO_JSON_FORMAT_EXCEPTION;
    }
    if (text->empty()) {
        return TO_JSON_FORMAT_DATA_EMPTY;
    }
    return *text;
}

bool isUnicodeSpace(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trimSpaces(std::string_view s) {
    std::size_t begin = 0;
    std::size_t end = 0;  // one past the last non-space character
    bool seenText = false;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t at = pos;
        char32_t c = text::decodeNext(s, pos);
        if (!isUnicodeSpace(c)) {
            if (!seenText) {
                begin = at;
                seenText = true;
            }
            end = pos;
        }
    }
    return seenText ? s.substr(begin, end - begin) : s.substr(0, 0);
}

}  // namespace

std::string toJsonFormat(const Value::Map& map) {
    return jsonFormat(Value(map));
}

std::string toJsonFormat(const Value::Array& array) {
    return jsonFormat(Value(array));
}

std::optional<std::string> toJsonString(const Value::Map& map) {
    auto text = prettyJson(Value(map));
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return text;
}

std::string toSqlInList(const std::vector<std::string>& items) {
    std::string out = "( ";
    bool first = true;
    for (const auto& item : items) {
        if (!first) {
            out.push_back(',');
        }
        first = false;
        out.push_back('"');
        for (char c : item) {
            if (c == '"') {
                out.push_back('"');
            }
            out.push_back(c);
        }
        out.push_back('"');
    }
    out += " )";
    return out;
}

std::optional<Value::Map> toDictionary(std::string_view text) {
    auto v = Value::fromJson(text);
    if (!v || !v->isMap()) {
        return std::nullopt;
    }
    return std::move(*v->getMap());
}

std::optional<Value::Array> toArray(std::string_view text) {
    auto v = Value::fromJson(text);
    if (!v || !v->isArray()) {
        return std::nullopt;
    }
    return std::move(*v->getArray());
}

std::optional<std::int64_t> toInt64(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
        // "+-5" must not pass as -5.
        if (!digits.empty() && digits.front() == '-') {
            digits = {};
        }
    }
    std::int64_t value = 0;
    if (!digits.empty()) {
        auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec == std::errc() && ptr == digits.data() + digits.size()) {
            return value;
        }
    }
    SvlLog::error("String.toInt64 :: can not convert '" + std::string(text) + "' to Int64", true);
    return std::nullopt;
}

std::string substringFrom(std::string_view text, std::int64_t i) {
    const std::size_t length = text::codePointCount(text);
    if (text.empty() || i < 0 || static_cast<std::uint64_t>(i) >= length) {
        SvlLog::warning("String Extension Error in string: " + std::string(text) +
                            ", range : " + std::to_string(i) + "..<" + std::to_string(length),
                        true);
        return "";
    }
    return std::string(text.substr(text::codePointOffset(text, static_cast<std::size_t>(i))));
}

std::int64_t toMillis(platform::WallTime date) {
    const std::int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
    std::int64_t ms = ns / 1'000'000;
    const std::int64_t rest = ns % 1'000'000;
    if (rest >= 500'000) {
        ++ms;
    } else if (rest <= -500'000) {
        --ms;
    }
    return ms;
}

std::vector<QueryItem> queryItems(const text::UrlParts& url) {
    std::vector<QueryItem> items;
    if (!url.query) {
        return items;
    }
    std::string_view q = *url.query;
    std::size_t start = 0;
    while (start <= q.size()) {
        std::size_t amp = q.find('&', start);
        std::string_view part = q.substr(start, amp == std::string_view::npos ? amp : amp - start);
        if (!part.empty()) {
            auto eq = part.find('=');
            if (eq == std::string_view::npos) {
                items.push_back({text::percentDecode(part), std::nullopt});
            } else {
                items.push_back({text::percentDecode(part.substr(0, eq)),
                                 text::percentDecode(part.substr(eq + 1))});
            }
        }
        if (amp == std::string_view::npos) {
            break;
        }
        start = amp + 1;
    }
    return items;
}

std::map<std::string, std::string> queryParameters(std::string_view urlText) {
    std::map<std::string, std::string> out;
    auto url = text::parseUrl(urlText);
    if (!url || !url->query) {
        return out;
    }
    std::string_view q = *url->query;
    std::size_t start = 0;
    while (start <= q.size()) {
        std::size_t amp = q.find('&', start);
        std::string_view part = q.substr(start, amp == std::string_view::npos ? amp : amp - start);
        if (auto eq = part.find('='); eq != std::string_view::npos) {
            out[std::string(part.substr(0, eq))] = std::string(part.substr(eq + 1));
        }
        if (amp == std::string_view::npos) {
            break;
        }
        start = amp + 1;
    }
    return out;
}

Color initHex(const std::optional<std::string>& hex, const Color& defaultColor) {
    if (!hex) {
        return defaultColor;
    }
    std::string s(trimSpaces(*hex));
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (!s.empty() && s.front() == '#') {
        s.erase(0, 1);
    }
    const std::size_t length = text::codePointCount(s);
    if (length != 6 && length != 8) {
        return defaultColor;
    }
    // A hex scanner: an optional "0X" prefix, then digits up to the first
    // character that is not one.
    std::size_t pos = 0;
    if (s.size() > 2 && s[0] == '0' && s[1] == 'X' && text::hexDigitValue(s[2]) >= 0) {
        pos = 2;
    }
    std::uint64_t value = 0;
    for (; pos < s.size(); ++pos) {
        int d = text::hexDigitValue(s[pos]);
        if (d < 0) {
            break;
        }
        value = (value << 4) | static_cast<std::uint64_t>(d);
    }
    auto channel = [value](int shift) {
        return static_cast<double>((value >> shift) & 0xFF) / 255.0;
    };
    Color c;
    c.red = channel(16);
    c.green = channel(8);
    c.blue = channel(0);
    c.alpha = length == 8 ? channel(24) : 1.0;
    return c;
}

TextAlignment toTextAlignment(const std::optional<std::string>& text) {
    if (text) {
        if (*text == "right") {
            return TextAlignment::RIGHT;
        }
        if (*text == "left") {
            return TextAlignment::LEFT;
        }
    }
    return TextAlignment::CENTER;
}

}  // namespace sorvel::ext
