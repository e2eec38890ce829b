#include "ActionHistory/ActionHistoryListAnswer.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "Base/ValueCodec.h"
#include "Common/Constants.h"

namespace sorvel {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Follows the parser's events with a depth count only: what the answer holds
// at its top level and in its "histories" array, nothing built.
class AnswerCheck {
  public:
    using json = nlohmann::json;

    bool null() { return scalar(std::nullopt); }
    bool boolean(bool) { return scalar(std::nullopt); }
    bool number_integer(json::number_integer_t n) { return scalar(std::int64_t{n}); }
    bool number_unsigned(json::number_unsigned_t n) {
        // Beyond the signed range the JSON reader keeps it unsigned: not an
        // integer a registry value takes.
        return scalar(n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                          ? std::optional<std::int64_t>(static_cast<std::int64_t>(n))
                          : std::nullopt);
    }
    bool number_float(json::number_float_t, const json::string_t&) { return scalar(std::nullopt); }
    bool string(json::string_t&) { return scalar(std::nullopt); }
    bool binary(json::binary_t&) { return false; }
    bool start_object(std::size_t) { return open(Kind::Object); }
    bool start_array(std::size_t) { return open(Kind::Array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(json::string_t& k) {
        if (depth_ == 1) {
            key_ = std::move(k);
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

    std::optional<HistoryListAnswer> answer() const {
        if (!historiesAreObjects_) {
            return std::nullopt;
        }
        return HistoryListAnswer{minutes_, entries_};
    }

  private:
    enum class Kind { Scalar, Object, Array };

    // A value starts at the current depth; false stops the parse.
    bool begins(Kind kind, std::optional<std::int64_t> integer) {
        if (depth_ == 0) {
            return kind == Kind::Object;
        }
        if (depth_ == 1) {
            // A key given twice: its last value counts, as in the JSON reader.
            if (key_ == Constants::HISTORY_KEY_HISTORIES) {
                historiesAreObjects_ = kind == Kind::Array;
                inHistories_ = kind == Kind::Array;
                entries_ = 0;
            } else if (key_ == Constants::HISTORY_KEY_MINUTES_TO_REFRESH) {
                minutes_ = integer;
            }
        } else if (depth_ == 2 && inHistories_) {
            ++entries_;
            historiesAreObjects_ = historiesAreObjects_ && kind == Kind::Object;
        }
        return true;
    }

    bool scalar(std::optional<std::int64_t> integer) { return begins(Kind::Scalar, integer); }

    bool open(Kind kind) {
        // The JSON reader refuses the same nesting.
        if (depth_ >= static_cast<std::size_t>(ValueCodec::kMaxDepth) ||
            !begins(kind, std::nullopt)) {
            return false;
        }
        ++depth_;
        return true;
    }

    bool close() {
        if (--depth_ == 1) {
            inHistories_ = false;
        }
        return true;
    }

    std::size_t depth_ = 0;
    std::string key_;
    bool inHistories_ = false;
    bool historiesAreObjects_ = false;
    std::size_t entries_ = 0;
    std::optional<std::int64_t> minutes_;
};

// Finding values in a text already known to be valid JSON: only strings
// (which may hold brackets and escaped quotes) and nesting need care.

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::size_t skipSpace(std::string_view t, std::size_t i) {
    while (i < t.size() && isSpace(t[i])) {
        ++i;
    }
    return i;
}

// Just past the string whose opening quote is at i.
std::size_t stringEnd(std::string_view t, std::size_t i) {
    for (++i; i < t.size(); ++i) {
        if (t[i] == '\\') {
            ++i;
        } else if (t[i] == '"') {
            return i + 1;
        }
    }
    return t.size();
}

// Just past the value that starts at i.
std::size_t valueEnd(std::string_view t, std::size_t i) {
    if (i >= t.size()) {
        return t.size();
    }
    if (t[i] == '"') {
        return stringEnd(t, i);
    }
    if (t[i] != '{' && t[i] != '[') {
        while (i < t.size() && !isSpace(t[i]) && t[i] != ',' && t[i] != '}' && t[i] != ']') {
            ++i;
        }
        return i;
    }
    std::size_t depth = 0;
    while (i < t.size()) {
        const char c = t[i];
        if (c == '"') {
            i = stringEnd(t, i);
            continue;
        }
        ++i;
        if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            break;
        }
    }
    return i;
}

// The text of a key as quoted in the answer.
std::string keyText(std::string_view quoted) {
    if (quoted.find('\\') == std::string_view::npos) {
        return std::string(quoted.substr(1, quoted.size() - 2));
    }
    auto decoded = Value::fromJson(quoted);
    return decoded && decoded->isString() ? *decoded->getString() : std::string();
}

// Calls f(start, end) for each member value of the object or each element of
// the array that opens at t[0]; for an object, key receives the member's key.
template <class F>
void forEachMember(std::string_view t, bool object, F&& f) {
    std::size_t i = 1;
    for (;;) {
        i = skipSpace(t, i);
        if (i >= t.size() || t[i] == '}' || t[i] == ']') {
            return;
        }
        std::string key;
        if (object) {
            const std::size_t keyEnd = stringEnd(t, i);
            key = keyText(t.substr(i, keyEnd - i));
            i = skipSpace(t, skipSpace(t, keyEnd) + 1);  // past the colon
        }
        const std::size_t end = valueEnd(t, i);
        f(key, t.substr(i, end - i));
        i = skipSpace(t, end);
        if (i < t.size() && t[i] == ',') {
            ++i;
        }
    }
}

}  // namespace

std::optional<HistoryListAnswer> HistoryListAnswer::check(std::string_view text) noexcept {
    try {
        AnswerCheck check;
        if (!nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &check)) {
            return std::nullopt;
        }
        return check.answer();
    } catch (...) {
        // Malformed text is reported through parse_error(); what is left is
        // running out of memory.
        return std::nullopt;
    }
}

void HistoryListAnswer::forEachEntry(std::string_view text,
                                     const std::function<void(const Value::Map& entry)>& onEntry) {
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    text.remove_prefix(skipSpace(text, 0));
    std::string_view histories;
    forEachMember(text, true, [&](const std::string& key, std::string_view value) {
        if (key == Constants::HISTORY_KEY_HISTORIES) {
            histories = value;  // the last one counts
        }
    });
    forEachMember(histories, false, [&](const std::string&, std::string_view element) {
        if (auto entry = Value::fromJson(element); entry && entry->isMap()) {
            onEntry(*entry->getMap());
        }
    });
}

}  // namespace sorvel
