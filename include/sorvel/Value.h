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

/// The one dynamic value of the SDK: the "any value" of every map it passes
/// around. "Absent" is std::optional<Value> and is never stored inside a Value.
class SORVEL_API Value {
  public:
    /// A list of values.
    using Array = std::vector<Value>;
    /// A map from text keys to values, sorted by key.
    using Map = std::map<std::string, Value>;
    /// Raw bytes.
    using Bytes = std::vector<std::uint8_t>;

    /// What a value holds, in the order of the variant behind it.
    enum class Type { Null, Bool, Int64, UInt64, Double, String, Bytes, Array, Map };

    /// Null.
    Value() noexcept = default;
    /// Null.
    Value(std::nullptr_t) noexcept {}
    /// A Boolean.
    Value(bool b) noexcept : data_(b) {}
    /// Any signed integer, held as int64.
    template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && std::is_signed_v<T>) Value(T v)
    noexcept : data_(static_cast<std::int64_t>(v)) {}
    /// Any unsigned integer, held as uint64.
    template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && std::is_unsigned_v<T>) Value(T v)
    noexcept : data_(static_cast<std::uint64_t>(v)) {}
    /// A double, NaN and infinities included.
    Value(double d) noexcept : data_(d) {}
    /// A float, held as a double.
    Value(float f) noexcept : data_(static_cast<double>(f)) {}
    /// Text; a null pointer gives the empty text.
    Value(const char* s) : data_(std::string(s ? s : "")) {}
    /// Text, any bytes (not checked for UTF-8).
    Value(std::string s) noexcept : data_(std::move(s)) {}
    /// Text, copied.
    Value(std::string_view s) : data_(std::string(s)) {}
    /// Bytes.
    Value(Bytes b) noexcept : data_(std::move(b)) {}
    /// A list.
    Value(Array a) noexcept : data_(std::move(a)) {}
    /// A map.
    Value(Map m) noexcept : data_(std::move(m)) {}

    /// What the value holds.
    Type type() const noexcept { return static_cast<Type>(data_.index()); }
    /// Whether it holds null.
    bool isNull() const noexcept { return type() == Type::Null; }
    /// Whether it holds a Boolean.
    bool isBool() const noexcept { return type() == Type::Bool; }
    /// Whether it holds an int64.
    bool isInt64() const noexcept { return type() == Type::Int64; }
    /// Whether it holds a uint64.
    bool isUInt64() const noexcept { return type() == Type::UInt64; }
    /// Whether it holds an int64 or a uint64.
    bool isInteger() const noexcept { return isInt64() || isUInt64(); }
    /// Whether it holds a double.
    bool isDouble() const noexcept { return type() == Type::Double; }
    /// Whether it holds an integer or a double.
    bool isNumber() const noexcept { return isInteger() || isDouble(); }
    /// Whether it holds text.
    bool isString() const noexcept { return type() == Type::String; }
    /// Whether it holds bytes.
    bool isBytes() const noexcept { return type() == Type::Bytes; }
    /// Whether it holds a list.
    bool isArray() const noexcept { return type() == Type::Array; }
    /// Whether it holds a map.
    bool isMap() const noexcept { return type() == Type::Map; }

    /// The Boolean, or null when the value holds another type (so for every
    /// pointer accessor below).
    const bool* getBool() const noexcept { return std::get_if<bool>(&data_); }
    /// The int64, or null.
    const std::int64_t* getInt64() const noexcept { return std::get_if<std::int64_t>(&data_); }
    /// The uint64, or null.
    const std::uint64_t* getUInt64() const noexcept { return std::get_if<std::uint64_t>(&data_); }
    /// The double, or null.
    const double* getDouble() const noexcept { return std::get_if<double>(&data_); }
    /// The text, or null.
    const std::string* getString() const noexcept { return std::get_if<std::string>(&data_); }
    /// The bytes, or null.
    const Bytes* getBytes() const noexcept { return std::get_if<Bytes>(&data_); }
    /// The list, or null.
    const Array* getArray() const noexcept { return std::get_if<Array>(&data_); }
    /// The map, or null.
    const Map* getMap() const noexcept { return std::get_if<Map>(&data_); }
    /// The text, changeable in place, or null.
    std::string* getString() noexcept { return std::get_if<std::string>(&data_); }
    /// The list, changeable in place, or null.
    Array* getArray() noexcept { return std::get_if<Array>(&data_); }
    /// The map, changeable in place, or null.
    Map* getMap() noexcept { return std::get_if<Map>(&data_); }

    /// The number as an int64 when it is an integer (either type) that fits;
    /// absent otherwise.
    std::optional<std::int64_t> toInt64() const noexcept;
    /// The number as a uint64 when it is an integer that fits; absent otherwise.
    std::optional<std::uint64_t> toUInt64() const noexcept;

    /// Text rendering used for log lines and for the loose comparison below:
    /// text renders in double quotes (embedded quotes and backslashes escaped),
    /// integers as decimals, doubles as the shortest text that reads back as the
    /// same double: fixed notation with at least one fractional digit for
    /// decimal exponents -4..15 ("2.0", "0.1", "0.0001"), scientific otherwise
    /// ("1e+16", "1e-05", "1e+300"), and "nan", "inf", "-inf"; bools as
    /// true/false, null as "null", bytes as "<N bytes>", arrays as "[a, b]",
    /// maps as "{k: v, ...}" sorted by key, keys bare.
    std::string render() const;

    /// Strict structural equality: same type and same content.
    friend bool operator==(const Value& a, const Value& b) noexcept { return a.data_ == b.data_; }

    /// JSON text. Non-finite doubles are written as null; invalid UTF-8 in
    /// strings is replaced, never thrown. Bytes are written as Base64 text.
    std::string toJson(bool pretty = false) const;
    /// Parses JSON text; absent when the text is not valid JSON. Integers become
    /// int64 when they fit, uint64 when only that fits, otherwise double.
    static std::optional<Value> fromJson(std::string_view text) noexcept;

  private:
    std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, Bytes,
                 Array, Map>
        data_{nullptr};
};

/// The loose comparison of two values that the registry's change test and the
/// property saves use: two values are equal when their renderings are equal
/// (so int64 5 equals uint64 5, while the text "5" differs from the number 5
/// and true differs from 1, as does 5.0 from 5); otherwise two arrays are
/// compared element by element and two maps key by key by the same rule. Maps
/// being sorted, the rendering alone decides; it is compared piece by piece
/// without building either string.
SORVEL_API bool isEqual(const Value& a, const Value& b) noexcept;
/// The dictionary comparison: the same number of keys, every key of a present
/// in b, and the values under each key equal by the rule above.
SORVEL_API bool isEqual(const Value::Map& a, const Value::Map& b) noexcept;
/// Absent differs from any present value; two absents are equal.
SORVEL_API bool isEqual(const std::optional<Value>& a, const std::optional<Value>& b) noexcept;

}  // namespace sorvel
