#include "Platform/Bundle.h"

#include <fstream>
#include <sstream>

#include "Platform/Host.h"
#include "Platform/Mutex.h"
#include "Platform/ProcessState.h"
#include "Platform/SystemLog.h"

namespace sorvel::platform {
namespace {

struct BundleState {
    Mutex mu;
    std::string bundleId GUARDED_BY(mu) = "com.sorvel.sample";
    std::string version GUARDED_BY(mu) = "1.0";
    std::string build GUARDED_BY(mu) = "1";
    std::map<std::string, Value> info GUARDED_BY(mu);
};

BundleState& bundleState() {
    // Never destroyed: threads of the SDK may still use it while the process exits.
    static NoDestructor<BundleState> s;
    return s.get();
}

}  // namespace

std::string Bundle::bundleId() {
    MutexLock lock(bundleState().mu);
    return bundleState().bundleId;
}

std::string Bundle::appVersion() {
    MutexLock lock(bundleState().mu);
    return bundleState().version;
}

std::string Bundle::buildNumber() {
    MutexLock lock(bundleState().mu);
    return bundleState().build;
}

std::optional<Value> Bundle::info(const std::string& key) {
    MutexLock lock(bundleState().mu);
    auto it = bundleState().info.find(key);
    if (it == bundleState().info.end()) {
        return std::nullopt;
    }
    return it->second;
}

namespace host {

void setBundleId(const std::string& id) {
    MutexLock lock(bundleState().mu);
    bundleState().bundleId = id;
}

void setVersions(const std::string& version, const std::string& build) {
    MutexLock lock(bundleState().mu);
    bundleState().version = version;
    bundleState().build = build;
}

void setInfo(const std::string& key, const std::optional<Value>& value) {
    MutexLock lock(bundleState().mu);
    if (value) {
        bundleState().info[key] = *value;
    } else {
        bundleState().info.erase(key);
    }
}

void clearInfo() {
    MutexLock lock(bundleState().mu);
    bundleState().info.clear();
}

bool loadBundleFromJsonFile(const std::string& path, std::optional<IgnoredBundleId>* ignored) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        SystemLog::log(LogLevel::error, "Bundle :: can not read Info file " + path);
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    auto parsed = Value::fromJson(ss.str());
    const Value::Map* root = parsed ? parsed->getMap() : nullptr;
    if (root == nullptr) {
        SystemLog::log(LogLevel::error, "Bundle :: Info file is not a JSON object: " + path);
        return false;
    }
    auto text = [root](const char* key) -> const std::string* {
        auto it = root->find(key);
        return it == root->end() ? nullptr : it->second.getString();
    };
    // Before the bundle's lock: the check takes the folders' lock first.
    if (auto* v = text("bundleId")) {
        if (auto inUse = setAppBundleId(*v); inUse && ignored != nullptr) {
            *ignored = IgnoredBundleId{*inUse, *v};
        }
    }
    auto& s = bundleState();
    MutexLock lock(s.mu);
    if (auto* v = text("version")) {
        s.version = *v;
    }
    if (auto* v = text("build")) {
        s.build = *v;
    }
    if (auto it = root->find("info"); it != root->end() && it->second.getMap() != nullptr) {
        for (const auto& [k, v] : *it->second.getMap()) {
            s.info[k] = v;
        }
    }
    return true;
}

}  // namespace host
}  // namespace sorvel::platform
