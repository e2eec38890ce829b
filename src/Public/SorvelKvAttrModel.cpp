#include "sorvel/SorvelKvAttrModel.h"

#include "Common/Constants.h"
#include "Common/FvnUtil.h"
#include "Base/TextUnits.h"

namespace sorvel {

SorvelKvAttrModel::SorvelKvAttrModel() noexcept : attrData(Value::Map{}) {}

Value::Map SorvelKvAttrModel::getAttrData() const {
    return attrData.value_or(Value::Map{});
}

void SorvelKvAttrModel::store(const std::string& key, Value value) noexcept {
    try {
        auto [usable, usableKey] = FvnUtil::checkUserPropertyKey(key);
        if (!usable || !attrData) {
            return;
        }
        (*attrData)[usableKey] = std::move(value);
    } catch (...) {
        // Only allocation can fail here; the attribute is then not stored.
    }
}

void SorvelKvAttrModel::setAttrDataString(const std::string& key,
                                          const std::string& value) noexcept {
    try {
        store(key, Value(std::string(text::graphemePrefix(
                       value, static_cast<std::size_t>(Constants::MAX_ATTR_STRING_LENGTH)))));
    } catch (...) {
    }
}

void SorvelKvAttrModel::setAttrDataDouble(const std::string& key, double value) noexcept {
    store(key, Value(value));
}

void SorvelKvAttrModel::setAttrDataUInt64(const std::string& key, std::uint64_t value) noexcept {
    store(key, Value(value));
}

void SorvelKvAttrModel::setAttrDataInt64(const std::string& key, std::int64_t value) noexcept {
    store(key, Value(value));
}

void SorvelKvAttrModel::setAttrDataInt(const std::string& key, long value) noexcept {
    store(key, Value(static_cast<std::int64_t>(value)));
}

void SorvelKvAttrModel::setAttrDataBool(const std::string& key, bool value) noexcept {
    store(key, Value(value));
}

}  // namespace sorvel
