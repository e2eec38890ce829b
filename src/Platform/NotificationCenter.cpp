#include "Platform/NotificationCenter.h"

#include <algorithm>
#include <vector>

#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"

namespace sorvel::platform {
namespace {

struct Entry {
    NotificationCenter::Token token;
    std::string name;
    NotificationCenter::Observer observer;
};

struct CenterState {
    Mutex mu;
    std::vector<Entry> entries GUARDED_BY(mu);
    NotificationCenter::Token next GUARDED_BY(mu) = 1;
};

CenterState& centerState() {
    // Never destroyed: threads of the SDK may still use it while the process exits.
    static NoDestructor<CenterState> s;
    return s.get();
}

}  // namespace

NotificationCenter& NotificationCenter::shared() {
    static NoDestructor<NotificationCenter> center;
    return center.get();
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name,
                                                          Observer observer) {
    auto& s = centerState();
    MutexLock lock(s.mu);
    Token t = s.next++;
    s.entries.push_back(Entry{t, name, std::move(observer)});
    return t;
}

void NotificationCenter::removeObserver(Token token) {
    // Destroyed after unlocking: the observer's captures may own objects whose
    // destructors use the centre again.
    Observer dropped;
    auto& s = centerState();
    MutexLock lock(s.mu);
    auto it = std::find_if(s.entries.begin(), s.entries.end(),
                           [token](const Entry& e) { return e.token == token; });
    if (it != s.entries.end()) {
        dropped = std::move(it->observer);
        s.entries.erase(it);
    }
}

void NotificationCenter::post(const std::string& name, const std::optional<Value>& info) {
    std::vector<Observer> targets;
    {
        auto& s = centerState();
        MutexLock lock(s.mu);
        for (const auto& e : s.entries) {
            if (e.name == name) {
                targets.push_back(e.observer);
            }
        }
    }
    // Observers run without the lock so they may add or remove observers.
    for (auto& o : targets) {
        o(name, info);
    }
}

namespace host {

void applicationDidBecomeActive() {
    setApplicationState(ApplicationState::active);
    NotificationCenter::shared().post(NotificationCenter::kApplicationDidBecomeActiveNotification);
}

void applicationWillResignActive() {
    NotificationCenter::shared().post(NotificationCenter::kApplicationWillResignActiveNotification);
    setApplicationState(ApplicationState::background);
}

}  // namespace host
}  // namespace sorvel::platform
