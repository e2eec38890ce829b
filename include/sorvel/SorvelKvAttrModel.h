#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sorvel/Export.h"
#include "sorvel/Value.h"

namespace sorvel {

/// The attribute bag an app fills for events, user properties and products.
///
/// Each setter stores its value under the key only when the key passes the
/// user-property key rules: not empty, "-" becomes "_", at most 50 characters,
/// only lower-case letters, digits and "_". A refused key leaves a QA-only log
/// line and the model unchanged. String values keep their first 1024
/// user-perceived characters. A later set under the same key replaces the
/// earlier value, whatever its type. Values keep their native type.
///
/// A plain value: copy it freely; it has no lock, so fill it on one thread.
///
/// Only the public members are exported from the library.
class SorvelKvAttrModel {
  public:
    /// An empty model (attrData present and empty).
    SORVEL_API SorvelKvAttrModel() noexcept;

    /// The collected attributes. Public on purpose: an app may read or replace
    /// them directly, bypassing the checks; when it sets them absent the
    /// setters store nothing.
    std::optional<Value::Map> attrData;

    /// The attributes, or an empty map when attrData is absent.
    SORVEL_API Value::Map getAttrData() const;

    /// Stores text, cut to its first 1024 user-perceived characters. A cut is
    /// logged once per model with the warning "SorvelKvAttrModel :: the value of
    /// "\<key\>" (\<n\> bytes) was cut to its first 1024 characters; ...".
    SORVEL_API void setAttrDataString(const std::string& key, const std::string& value) noexcept;
    /// Stores a double (NaN and infinities too; events refuse them later).
    SORVEL_API void setAttrDataDouble(const std::string& key, double value) noexcept;
    /// Stores an unsigned 64-bit integer.
    SORVEL_API void setAttrDataUInt64(const std::string& key, std::uint64_t value) noexcept;
    /// Stores a signed 64-bit integer.
    SORVEL_API void setAttrDataInt64(const std::string& key, std::int64_t value) noexcept;
    /// The platform integer (64 bits here); stored like an Int64.
    SORVEL_API void setAttrDataInt(const std::string& key, long value) noexcept;
    /// Stores a Boolean.
    SORVEL_API void setAttrDataBool(const std::string& key, bool value) noexcept;

  private:
    /// The key the value went under, or null when it was refused.
    const std::string* store(const std::string& key, Value value) noexcept;

    bool cutLogged_ = false;
};

}  // namespace sorvel
