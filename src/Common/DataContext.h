#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Base/Status.h"
#include "Platform/Mutex.h"
#include "Platform/UserDefaults.h"
#include "sorvel/Value.h"

namespace sorvel {

// The storage behind the registry.
class IDataContext {
  public:
    virtual ~IDataContext() = default;
    // An absent value removes the key. Succeeds once the change is on disk.
    virtual Status set(const std::string& key, const std::optional<Value>& value) = 0;
    // Several changes in one commit where the storage can (by default one set()
    // each); the answers in order.
    using Change = platform::UserDefaults::Change;
    virtual std::vector<Status> setAll(const std::vector<Change>& changes);
    virtual std::optional<Value> get(const std::string& key) const = 0;
    // Removes the value of every registry key. Succeeds once every removal is
    // on disk; else the first failure.
    virtual Status removeAll() = 0;
    // Gives back the disk space the storage holds beyond its values (see
    // platform::UserDefaults::compact); nothing by default.
    virtual void compact() {}
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
    Status set(const std::string& key, const std::optional<Value>& value) override;
    std::vector<Status> setAll(const std::vector<Change>& changes) override;
    std::optional<Value> get(const std::string& key) const override;
    Status removeAll() override;
    void compact() override;

  private:
    void moveFromStandardDefaultsOnce();

    std::shared_ptr<platform::UserDefaults> suite_;
};

// The registry's storage as the container builds it: never makes its caller
// wait for the stores to be created. When the app's data folder holds no
// settings stores yet (a first launch), creating them costs a dozen syncs to
// the device, so a DefaultDataContext is built on another thread (the global
// queue) while reads answer at once from what a new store holds: nothing.
// Writes, and reads once creation has finished, go to that context; a write
// waits for it (the registry writes on its own queue, and keeps the value it
// writes readable meanwhile). When the stores exist, it opens them at once,
// as DefaultDataContext does. Destruction waits for a creation under way.
class DeferredDataContext final : public IDataContext {
  public:
    // Runs a job on another thread; the global queue by default.
    using Executor = std::function<void(std::function<void()>)>;

    explicit DeferredDataContext(Executor executor = {});
    ~DeferredDataContext() override;
    DeferredDataContext(const DeferredDataContext&) = delete;
    DeferredDataContext& operator=(const DeferredDataContext&) = delete;

    Status set(const std::string& key, const std::optional<Value>& value) override;
    std::vector<Status> setAll(const std::vector<Change>& changes) override;
    std::optional<Value> get(const std::string& key) const override;
    Status removeAll() override;
    // Only once the stores are open: a store being created has nothing to give back.
    void compact() override;

    // Whether the stores are open (created, when they were new).
    bool isOpen() const;

  private:
    struct Opening {
        platform::Mutex mu;
        platform::CondVar cv{&mu};
        std::shared_ptr<DefaultDataContext> context GUARDED_BY(mu);
        bool done GUARDED_BY(mu) = false;
    };
    // The open context, once there is one; waits for a creation under way.
    IDataContext& opened() const;

    std::shared_ptr<Opening> opening_;
};

}  // namespace sorvel
