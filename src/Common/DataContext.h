#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/UserDefaults.h"
#include "sorvel/Value.h"

namespace sorvel {

// The storage behind the registry.
class IDataContext {
  public:
    virtual ~IDataContext() = default;
    // An absent value removes the key. True once the change is on disk.
    virtual bool set(const std::string& key, const std::optional<Value>& value) = 0;
    // Several changes in one commit where the storage can (by default one set()
    // each); the answers in order.
    using Change = platform::UserDefaults::Change;
    virtual std::vector<bool> setAll(const std::vector<Change>& changes);
    virtual std::optional<Value> get(const std::string& key) const = 0;
    // Removes the value of every registry key. True once every removal is on disk.
    virtual bool removeAll() = 0;
};

// The registry's storage over the settings suite "svlPref". Installations that
// kept their values in the standard defaults get them moved over once.
class DefaultDataContext final : public IDataContext {
  public:
    static constexpr const char* SUITE_NAME = "svlPref";
    // Kept in the standard suite, where removeAll() does not reach, so the move
    // never runs twice in an installation.
    static constexpr const char* MIGRATION_MARKER = "svlPrefKey_movedFromStandardDefaults";

    DefaultDataContext();
    bool set(const std::string& key, const std::optional<Value>& value) override;
    std::vector<bool> setAll(const std::vector<Change>& changes) override;
    std::optional<Value> get(const std::string& key) const override;
    bool removeAll() override;

  private:
    void moveFromStandardDefaultsOnce();

    std::shared_ptr<platform::UserDefaults> suite_;
};

}  // namespace sorvel
