#include "sorvel/SorvelKvAttrModel.h"

#include "Base/TextUnits.h"
#include "Common/Constants.h"
#include "Common/SvlLog.h"
#include "Event/UserPropertyRules.h"

namespace sorvel {

SorvelKvAttrModel::SorvelKvAttrModel() noexcept : attrData(Value::Map{}) {}

Value::Map SorvelKvAttrModel::getAttrData() const {
    return attrData.value_or(Value::Map{});
}

const std::string* SorvelKvAttrModel::store(const std::string& key, Value value) noexcept {
    try {
        auto [usable, usableKey] = FvnUtil::checkUserPropertyKey(key);
        if (!usable || !attrData) {
            return nullptr;
        }
        return &attrData->insert_or_assign(std::move(usableKey), std::move(value)).first->first;
    } catch (...) {
        // Only allocation can fail here; the attribute is then not stored.
        return nullptr;
    }
}

void SorvelKvAttrModel::setAttrDataString(const std::string& key,
                                          const std::string& value) noexcept {
    try {
        constexpr auto kLimit = static_cast<std::size_t>(Constants::MAX_ATTR_STRING_LENGTH);
        // A character takes at least one byte, so a value of no more bytes
        // than the limit is kept whole: most values never reach the walk.
        const std::string_view kept =
            value.size() <= kLimit ? std::string_view(value) : text::graphemePrefix(value, kLimit);
        const std::string* stored = store(key, Value(std::string(kept)));
        // One line per model, which an app fills for one event: a model of
        // many long values must not fill the log.
        if (stored != nullptr && kept.size() < value.size() && !cutLogged_) {
            cutLogged_ = true;
            SvlLog::warning("SorvelKvAttrModel :: the value of \"" + *stored + "\" (" +
                                std::to_string(value.size()) + " bytes) was cut to its first " +
                                std::to_string(Constants::MAX_ATTR_STRING_LENGTH) +
                                " characters; further cuts in this attribute model are not logged",
                            true);
        }
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
