#include "Common/DataContext.h"

#include <filesystem>

#include "Common/DataRegistryKey.h"
#include "Common/SvlLog.h"
#include "Platform/Dispatch.h"
#include "Platform/FileSystem.h"

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
        if (!suite_->get(key) && !suite_->set(key, value).isOk()) {
            ++kept;
            continue;
        }
        // A removal that fails (the store logs it) leaves a copy the suite
        // already outranks.
        (void)standard->remove(key);
        ++moved;
    }
    if (kept > 0) {
        SvlLog::warning("DefaultDataContext :: " + std::to_string(kept) +
                            " values could not be saved in " + SUITE_NAME +
                            "; they stay in the standard defaults until the next launch",
                        true);
        return;
    }
    // Without the marker (the store logs why) the move runs again next
    // launch, and finds nothing the suite does not already hold.
    (void)standard->set(MIGRATION_MARKER, Value(true));
    if (moved > 0) {
        SvlLog::info("DefaultDataContext :: moved " + std::to_string(moved) +
                         " values from the standard defaults into " + SUITE_NAME,
                     true);
    }
}

Status DefaultDataContext::set(const std::string& key, const std::optional<Value>& value) {
    return suite_->set(key, value);
}

std::vector<Status> IDataContext::setAll(const std::vector<Change>& changes) {
    std::vector<Status> out;
    out.reserve(changes.size());
    for (const auto& [key, value] : changes) {
        out.push_back(set(key, value));
    }
    return out;
}

std::vector<Status> DefaultDataContext::setAll(const std::vector<Change>& changes) {
    return suite_->setAll(changes);
}

std::optional<Value> DefaultDataContext::get(const std::string& key) const {
    return suite_->get(key);
}

void DefaultDataContext::compact() {
    suite_->compact();
}

Status DefaultDataContext::removeAll() {
    Status all = Status::ok();
    for (const auto& info : kDataRegistryKeys) {
        Status removed = suite_->remove(std::string(info.stored));
        if (all.isOk() && !removed.isOk()) {
            all = std::move(removed);
        }
    }
    return all;
}

namespace {

// CondVar's annotation names its own mutex pointer; this names the caller's.
void waitOn(platform::CondVar& cv, platform::Mutex& mu)
    EXCLUSIVE_LOCKS_REQUIRED(mu) NO_THREAD_SAFETY_ANALYSIS {
    (void)mu;
    cv.wait();
}

// Both settings stores live in the Preferences folder; without it there is
// nothing stored yet. Asked without creating the folder.
bool storesMayExist() {
    std::error_code ec;
    return std::filesystem::exists(platform::homeFolder() + "/Library/Preferences", ec) || ec;
}

}  // namespace

DeferredDataContext::DeferredDataContext(Executor executor)
    : opening_(std::make_shared<Opening>()) {
    if (storesMayExist()) {
        auto context = std::make_shared<DefaultDataContext>();
        platform::MutexLock lock(opening_->mu);
        opening_->context = std::move(context);
        opening_->done = true;
        return;
    }
    if (!executor) {
        executor = [](std::function<void()> job) {
            platform::DispatchQueue::global().async(std::move(job));
        };
    }
    executor([opening = opening_] {
        std::shared_ptr<DefaultDataContext> context;
        try {
            context = std::make_shared<DefaultDataContext>();
        } catch (...) {
            // Only allocation fails here; opened() then tries again.
        }
        platform::MutexLock lock(opening->mu);
        opening->context = std::move(context);
        opening->done = true;
        opening->cv.signalAll();
    });
}

DeferredDataContext::~DeferredDataContext() {
    // The job builds the stores under the home folder it finds when it runs:
    // it must not outlive this context (the next launch of a test may change
    // the folder).
    platform::MutexLock lock(opening_->mu);
    while (!opening_->done) {
        waitOn(opening_->cv, opening_->mu);
    }
}

IDataContext& DeferredDataContext::opened() const {
    platform::MutexLock lock(opening_->mu);
    while (!opening_->done) {
        waitOn(opening_->cv, opening_->mu);
    }
    if (!opening_->context) {
        opening_->context = std::make_shared<DefaultDataContext>();
    }
    return *opening_->context;
}

bool DeferredDataContext::isOpen() const {
    platform::MutexLock lock(opening_->mu);
    return opening_->done && opening_->context != nullptr;
}

Status DeferredDataContext::set(const std::string& key, const std::optional<Value>& value) {
    return opened().set(key, value);
}

std::vector<Status> DeferredDataContext::setAll(const std::vector<Change>& changes) {
    return opened().setAll(changes);
}

std::optional<Value> DeferredDataContext::get(const std::string& key) const {
    const DefaultDataContext* context = nullptr;
    {
        platform::MutexLock lock(opening_->mu);
        if (!opening_->done) {
            // New stores hold nothing; what was written meanwhile the registry
            // still holds itself, as its write waits for the stores.
            return std::nullopt;
        }
        // Open (the common case): read it without taking the lock again. Once
        // set, the context stays for the life of opening_.
        context = opening_->context.get();
    }
    return context ? context->get(key) : opened().get(key);
}

void DeferredDataContext::compact() {
    if (isOpen()) {
        opened().compact();
    }
}

Status DeferredDataContext::removeAll() {
    return opened().removeAll();
}

}  // namespace sorvel
