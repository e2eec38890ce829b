#include "Common/DataContext.h"

#include "Common/DataRegistryKey.h"
#include "Common/SvlLog.h"

namespace sorvel {

namespace {
constexpr bool keysInDeclarationOrder() {
    for (std::size_t i = 0; i < kDataRegistryKeys.size(); ++i) {
        if (static_cast<std::size_t>(kDataRegistryKeys[i].key) != i) {
            return false;
        }
    }
    return true;
}
static_assert(keysInDeclarationOrder(), "kDataRegistryKeys must follow the enum's order");
}  // namespace

DefaultDataContext::DefaultDataContext() : suite_(platform::UserDefaults::suite(SUITE_NAME)) {
    moveFromStandardDefaultsOnce();
}

void DefaultDataContext::moveFromStandardDefaultsOnce() {
    auto standard = platform::UserDefaults::standard();
    auto marker = standard->get(MIGRATION_MARKER);
    if (marker && marker->getBool() != nullptr && *marker->getBool()) {
        return;
    }
    int moved = 0;
    int kept = 0;
    for (const auto& info : kDataRegistryKeys) {
        std::string key(info.stored);
        auto value = standard->get(key);
        if (!value) {
            continue;
        }
        // Copy first, then remove: a crash in between leaves the value in both
        // places, never in neither. A value already in the suite came from its
        // file (an earlier move that stopped half-way) and wins. When the copy
        // does not reach the suite's file (the store is unavailable) the value
        // stays in the standard suite and the move runs again next launch.
        if (!suite_->get(key) && !suite_->set(key, value)) {
            ++kept;
            continue;
        }
        standard->remove(key);
        ++moved;
    }
    if (kept > 0) {
        SvlLog::warning("DefaultDataContext :: " + std::to_string(kept) +
                            " values could not be saved in " + SUITE_NAME +
                            "; they stay in the standard defaults until the next launch",
                        true);
        return;
    }
    standard->set(MIGRATION_MARKER, Value(true));
    if (moved > 0) {
        SvlLog::info("DefaultDataContext :: moved " + std::to_string(moved) +
                         " values from the standard defaults into " + SUITE_NAME,
                     true);
    }
}

bool DefaultDataContext::set(const std::string& key, const std::optional<Value>& value) {
    return suite_->set(key, value);
}

std::vector<bool> IDataContext::setAll(const std::vector<Change>& changes) {
    std::vector<bool> out;
    out.reserve(changes.size());
    for (const auto& [key, value] : changes) {
        out.push_back(set(key, value));
    }
    return out;
}

std::vector<bool> DefaultDataContext::setAll(const std::vector<Change>& changes) {
    return suite_->setAll(changes);
}

std::optional<Value> DefaultDataContext::get(const std::string& key) const {
    return suite_->get(key);
}

bool DefaultDataContext::removeAll() {
    bool all = true;
    for (const auto& info : kDataRegistryKeys) {
        all = suite_->remove(std::string(info.stored)) && all;
    }
    return all;
}

}  // namespace sorvel
