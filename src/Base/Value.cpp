#include "sorvel/Value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "Base/ValueText.h"

namespace sorvel {

namespace detail {

std::string_view formatDouble(double d, DoubleText& buf) noexcept {
    if (std::isnan(d)) {
        return "nan";
    }
    if (std::isinf(d)) {
        return d < 0 ? "-inf" : "inf";
    }
    // Shortest round-trip digits in the form "[-]D[.DDD]e(+|-)XX".
    char sci[40];
    const auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    const std::string_view s(sci, static_cast<std::size_t>(res.ptr - sci));
    const std::size_t ePos = s.find('e');
    int exp = 0;
    std::from_chars(s.data() + ePos + 2, s.data() + s.size(), exp);
    if (s[ePos + 1] == '-') {
        exp = -exp;
    }
    if (exp < -4 || exp >= 16) {
        std::memcpy(buf.data(), s.data(), s.size());
        return {buf.data(), s.size()};
    }

    char digits[20];
    int n = 0;
    for (std::size_t i = 0; i < ePos; ++i) {
        if (s[i] >= '0' && s[i] <= '9') {
            digits[n++] = s[i];
        }
    }
    char* out = buf.data();
    if (s[0] == '-') {
        *out++ = '-';
    }
    if (exp >= 0) {
        const int whole = exp + 1;
        for (int i = 0; i < whole; ++i) {
            *out++ = i < n ? digits[i] : '0';
        }
        *out++ = '.';
        if (n > whole) {
            for (int i = whole; i < n; ++i) {
                *out++ = digits[i];
            }
        } else {
            *out++ = '0';
        }
    } else {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -exp - 1; ++i) {
            *out++ = '0';
        }
        for (int i = 0; i < n; ++i) {
            *out++ = digits[i];
        }
    }
    return {buf.data(), static_cast<std::size_t>(out - buf.data())};
}

}  // namespace detail

namespace {

// Produces the rendering of a value piece by piece. render() concatenates the
// pieces; isEqual() compares two streams and stops at the first differing
// character, so both share one definition of the text and a comparison of two
// large structures builds neither string.
class RenderStream {
  public:
    explicit RenderStream(const Value& v) : start_(&v) {}
    explicit RenderStream(const Value::Map& m) : startMap_(&m) {}

    // The next piece (possibly empty); false once the rendering is complete.
    // A piece stays valid until the next call.
    bool next(std::string_view& piece) {
        for (;;) {
            if (start_ != nullptr) {
                const Value* v = start_;
                start_ = nullptr;
                piece = begin(*v);
                return true;
            }
            if (startMap_ != nullptr) {
                pushMap(*startMap_);
                startMap_ = nullptr;
                piece = "{";
                return true;
            }
            if (stack_.empty()) {
                return false;
            }
            Frame& f = stack_.back();
            switch (f.kind) {
                case Kind::String: {
                    const std::string& s = *f.text;
                    if (f.pos == s.size()) {
                        stack_.pop_back();
                        piece = "\"";
                        return true;
                    }
                    if (s[f.pos] == '"' || s[f.pos] == '\\') {
                        piece = s[f.pos] == '"' ? "\\\"" : "\\\\";
                        ++f.pos;
                        return true;
                    }
                    std::size_t end = s.find_first_of("\"\\", f.pos);
                    if (end == std::string::npos) {
                        end = s.size();
                    }
                    piece = std::string_view(s).substr(f.pos, end - f.pos);
                    f.pos = end;
                    return true;
                }
                case Kind::Array:
                    if (f.pos == f.array->size()) {
                        stack_.pop_back();
                        piece = "]";
                        return true;
                    }
                    if (f.phase == 0 && f.pos > 0) {
                        f.phase = 1;
                        piece = ", ";
                        return true;
                    }
                    f.phase = 0;
                    start_ = &(*f.array)[f.pos++];
                    continue;
                case Kind::Map:
                    if (f.it == f.map->end()) {
                        stack_.pop_back();
                        piece = "}";
                        return true;
                    }
                    switch (f.phase) {
                        case 0:
                            f.phase = 1;
                            if (f.it != f.map->begin()) {
                                piece = ", ";
                                return true;
                            }
                            [[fallthrough]];
                        case 1:
                            f.phase = 2;
                            piece = f.it->first;
                            return true;
                        case 2:
                            f.phase = 3;
                            piece = ": ";
                            return true;
                        default:
                            f.phase = 0;
                            start_ = &f.it->second;
                            ++f.it;
                            continue;
                    }
            }
        }
    }

  private:
    enum class Kind : std::uint8_t { Array, Map, String };
    struct Frame {
        Kind kind;
        std::uint8_t phase = 0;
        std::size_t pos = 0;
        const std::string* text = nullptr;
        const Value::Array* array = nullptr;
        const Value::Map* map = nullptr;
        Value::Map::const_iterator it{};
    };

    void pushMap(const Value::Map& m) {
        Frame f{Kind::Map};
        f.map = &m;
        f.it = m.begin();
        stack_.push_back(f);
    }

    std::string_view number(auto n) {
        const auto res = std::to_chars(buf_.data(), buf_.data() + buf_.size(), n);
        return {buf_.data(), static_cast<std::size_t>(res.ptr - buf_.data())};
    }

    std::string_view begin(const Value& v) {
        switch (v.type()) {
            case Value::Type::Null:
                return "null";
            case Value::Type::Bool:
                return *v.getBool() ? "true" : "false";
            case Value::Type::Int64:
                return number(*v.getInt64());
            case Value::Type::UInt64:
                return number(*v.getUInt64());
            case Value::Type::Double:
                return detail::formatDouble(*v.getDouble(), buf_);
            case Value::Type::String: {
                Frame f{Kind::String};
                f.text = v.getString();
                stack_.push_back(f);
                return "\"";
            }
            case Value::Type::Bytes: {
                char* p = buf_.data();
                *p++ = '<';
                p = std::to_chars(p, buf_.data() + buf_.size(), v.getBytes()->size()).ptr;
                std::memcpy(p, " bytes>", 7);
                return {buf_.data(), static_cast<std::size_t>(p + 7 - buf_.data())};
            }
            case Value::Type::Array: {
                Frame f{Kind::Array};
                f.array = v.getArray();
                stack_.push_back(f);
                return "[";
            }
            case Value::Type::Map:
                pushMap(*v.getMap());
                return "{";
        }
        return {};
    }

    const Value* start_ = nullptr;
    const Value::Map* startMap_ = nullptr;
    std::vector<Frame> stack_;
    detail::DoubleText buf_{};
};

bool sameRendering(RenderStream a, RenderStream b) {
    std::string_view pa;
    std::string_view pb;
    bool moreA = true;
    bool moreB = true;
    for (;;) {
        while (moreA && pa.empty()) {
            moreA = a.next(pa);
        }
        while (moreB && pb.empty()) {
            moreB = b.next(pb);
        }
        if (!moreA || !moreB) {
            return !moreA && !moreB;
        }
        const std::size_t n = std::min(pa.size(), pb.size());
        if (std::memcmp(pa.data(), pb.data(), n) != 0) {
            return false;
        }
        pa.remove_prefix(n);
        pb.remove_prefix(n);
    }
}

}  // namespace

std::optional<std::int64_t> Value::toInt64() const noexcept {
    if (const auto* i = getInt64()) {
        return *i;
    }
    if (const auto* u = getUInt64();
        u != nullptr &&
        *u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(*u);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> Value::toUInt64() const noexcept {
    if (const auto* u = getUInt64()) {
        return *u;
    }
    if (const auto* i = getInt64(); i != nullptr && *i >= 0) {
        return static_cast<std::uint64_t>(*i);
    }
    return std::nullopt;
}

std::string Value::render() const {
    std::string out;
    RenderStream s(*this);
    std::string_view piece;
    while (s.next(piece)) {
        out.append(piece);
    }
    return out;
}

bool isEqual(const Value& a, const Value& b) noexcept {
    using Type = Value::Type;
    if (a.type() != b.type()) {
        // Renderings of different kinds start differently (quote, '<', '[',
        // '{', a letter, or a number that has a '.', 'e' or letters only when
        // it is a double), except for the two integer types.
        if (a.isInteger() && b.isInteger()) {
            const auto x = a.toInt64();
            const auto y = b.toInt64();
            return x.has_value() && y.has_value() && *x == *y;
        }
        return false;
    }
    switch (a.type()) {
        case Type::Null:
            return true;
        case Type::Bool:
            return *a.getBool() == *b.getBool();
        case Type::Int64:
            return *a.getInt64() == *b.getInt64();
        case Type::UInt64:
            return *a.getUInt64() == *b.getUInt64();
        case Type::Double: {
            // Distinct doubles have distinct shortest texts, except that every
            // NaN renders "nan"; 0.0 and -0.0 compare equal but render apart.
            const double x = *a.getDouble();
            const double y = *b.getDouble();
            if (std::isnan(x) || std::isnan(y)) {
                return std::isnan(x) && std::isnan(y);
            }
            return x == y && std::signbit(x) == std::signbit(y);
        }
        case Type::String:
            return *a.getString() == *b.getString();
        case Type::Bytes:
            return a.getBytes()->size() == b.getBytes()->size();
        case Type::Array:
        case Type::Map:
            // Map keys render unquoted, so differently shaped structures can
            // render alike; only the text itself decides.
            return &a == &b || sameRendering(RenderStream(a), RenderStream(b));
    }
    return false;
}

bool isEqual(const Value::Map& a, const Value::Map& b) noexcept {
    // Key by key, not by the rendering of the whole map: keys render bare, so
    // {"a: 1, b": 2} prints like {"a": 1, "b": 2} although its keys differ.
    // Both maps are sorted, so equal sizes and equal keys in step mean every
    // key of one is present in the other.
    if (&a == &b) {
        return true;
    }
    if (a.size() != b.size()) {
        return false;
    }
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
        if (ia->first != ib->first || !isEqual(ia->second, ib->second)) {
            return false;
        }
    }
    return true;
}

bool isEqual(const std::optional<Value>& a, const std::optional<Value>& b) noexcept {
    if (!a.has_value() || !b.has_value()) {
        return a.has_value() == b.has_value();
    }
    return isEqual(*a, *b);
}

}  // namespace sorvel
