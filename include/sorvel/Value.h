#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "sorvel/Export.h"

namespace sorvel {

// The one dynamic value of the SDK: the "any value" of every map it passes
// around. "Absent" is std::optional<Value> and is never stored inside a Value.
class SORVEL_API Value {
  public:
    using Array = std::vector<Value>;
    using Map = std::map<std::string, Value>;
    using Bytes = std::vector<std::uint8_t>;

    enum class Type { Null, Bool, Int64, UInt64, Double, String, Bytes, Array, Map };

    Value() noexcept = default;
    Value(std::nullptr_t) noexcept {}
    Value(bool b) noexcept : data_(b) {}
    template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && std::is_signed_v<T>) Value(T v)
    noexcept : data_(static_cast<std::int64_t>(v)) {}
    template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && std::is_unsigned_v<T>) Value(T v)
    noexcept : data_(static_cast<std::uint64_t>(v)) {}
    Value(double d) noexcept : data_(d) {}
    Value(float f) noexcept : data_(static_cast<double>(f)) {}
    Value(const char* s) : data_(std::string(s ? s : "")) {}
    Value(std::string s) noexcept : data_(std::move(s)) {}
    Value(std::string_view s) : data_(std::string(s)) {}
    Value(Bytes b) noexcept : data_(std::move(b)) {}
    Value(Array a) noexcept : data_(std::move(a)) {}
    Value(Map m) noexcept : data_(std::move(m)) {}

    Type type() const noexcept { return static_cast<Type>(data_.index()); }
    bool isNull() const noexcept { return type() == Type::Null; }
    bool isBool() const noexcept { return type() == Type::Bool; }
    bool isInt64() const noexcept { return type() == Type::Int64; }
    bool isUInt64() const noexcept { return type() == Type::UInt64; }
    bool isInteger() const noexcept { return isInt64() || isUInt64(); }
    bool isDouble() const noexcept { return type() == Type::Double; }
    bool isNumber() const noexcept { return isInteger() || isDouble(); }
    bool isString() const noexcept { return type() == Type::String; }
    bool isBytes() const noexcept { return type() == Type::Bytes; }
    bool isArray() const noexcept { return type() == Type::Array; }
    bool isMap() const noexcept { return type() == Type::Map; }

    // Pointer accessors: null when the value holds another type.
    const bool* getBool() const noexcept { return std::get_if<bool>(&data_); }
    const std::int64_t* getInt64() const noexcept { return std::get_if<std::int64_t>(&data_); }
    const std::uint64_t* getUInt64() const noexcept { return std::get_if<std::uint64_t>(&data_); }
    const double* getDouble() const noexcept { return std::get_if<double>(&data_); }
    const std::string* getString() const noexcept { return std::get_if<std::string>(&data_); }
    const Bytes* getBytes() const noexcept { return std::get_if<Bytes>(&data_); }
    const Array* getArray() const noexcept { return std::get_if<Array>(&data_); }
    const Map* getMap() const noexcept { return std::get_if<Map>(&data_); }
    std::string* getString() noexcept { return std::get_if<std::string>(&data_); }
    Array* getArray() noexcept { return std::get_if<Array>(&data_); }
    Map* getMap() noexcept { return std::get_if<Map>(&data_); }

    // Integer views that accept either integer type when the number fits.
    std::optional<std::int64_t> toInt64() const noexcept;
    std::optional<std::uint64_t> toUInt64() const noexcept;

    // Text rendering used for log lines and for the loose comparison below:
    // text renders in double quotes (embedded quotes and backslashes escaped),
    // integers as decimals, doubles as the shortest text that reads back as the
    // same double: fixed notation with at least one fractional digit for
    // decimal exponents -4..15 ("2.0", "0.1", "0.0001"), scientific otherwise
    // ("1e+16", "1e-05", "1e+300"), and "nan", "inf", "-inf"; bools as
    // true/false, null as "null", bytes as "<N bytes>", arrays as "[a, b]",
    // maps as "{k: v, ...}" sorted by key, keys bare.
    std::string render() const;

    // Strict structural equality: same type and same content.
    friend bool operator==(const Value& a, const Value& b) noexcept { return a.data_ == b.data_; }

    // JSON text. Non-finite doubles are written as null; invalid UTF-8 in
    // strings is replaced, never thrown. Bytes are written as Base64 text.
    std::string toJson(bool pretty = false) const;
    // Parses JSON text; absent when the text is not valid JSON. Integers become
    // int64 when they fit, uint64 when only that fits, otherwise double.
    static std::optional<Value> fromJson(std::string_view text) noexcept;

  private:
    std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, Bytes,
                 Array, Map>
        data_{nullptr};
};

// The loose comparison of two values that the registry's change test and the
// property saves use: two values are equal when their renderings are equal
// (so int64 5 equals uint64 5, while the text "5" differs from the number 5
// and true differs from 1, as does 5.0 from 5); otherwise two arrays are
// compared element by element and two maps key by key by the same rule. Maps
// being sorted, the rendering alone decides; it is compared piece by piece
// without building either string.
SORVEL_API bool isEqual(const Value& a, const Value& b) noexcept;
// The dictionary comparison: the same number of keys, every key of a present
// in b, and the values under each key equal by the rule above.
SORVEL_API bool isEqual(const Value::Map& a, const Value::Map& b) noexcept;
// Absent differs from any present value; two absents are equal.
SORVEL_API bool isEqual(const std::optional<Value>& a, const std::optional<Value>& b) noexcept;

}  // namespace sorvel
